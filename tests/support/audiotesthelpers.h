#pragma once
// Shared by the tests that run audio: resource counts, child processes, MP3 frame headers,
// tone detection.
#include <QByteArray>
#include <QList>
#include <functional>
#include <sys/types.h>

namespace audiotest {

int openDescriptors();
int threadCount();
// Processes whose parent is this process, by pid, those named comm only when it is given;
// zombies (ended, not yet reaped) too unless withZombies is false.
QList<pid_t> childProcesses(const QByteArray& comm = QByteArray(), bool withZombies = true);

// Polls cond every 10 ms until it holds or timeoutMs pass.
bool waitFor(const std::function<bool()>& cond, int timeoutMs);

struct Mp3Header {
    bool valid = false;
    int version = 0; // 1 = MPEG-1
    int layer = 0;
    int bitrateKbps = 0;
    int sampleRate = 0;
    bool stereo = false; // any two-channel mode
};
// The first frame header found in data that is followed by a second one where its length
// says (so a chance sync in the data is not taken for a frame).
Mp3Header firstMp3Frame(const QByteArray& data);

// Decodes MP3 with the ffmpeg command to s16le stereo 44.1 kHz PCM ("" on failure).
QByteArray decodeMp3(const QByteArray& mp3);
// Relative strength of frequency (Goertzel on the left channel), 0..1 of full scale.
double toneLevel(const QByteArray& pcm, double frequency, int rate = 44100);
// The median of toneLevel over 100 ms windows: a gap in the audio spoils one window only.
double medianToneLevel(const QByteArray& pcm, double frequency);

} // namespace audiotest
