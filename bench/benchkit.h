#pragma once
// What the cast benchmarks share: figures of a process from /proc, the click onsets seen at
// the source, listeners that note when each piece of the stream arrived, and the latency of
// each click from its onset to the arrival of the MP3 frame that carries it.
#include "bass.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QString>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "icecastserver.h"
#include "pulseserver.h"

namespace benchkit {

using Clock = std::chrono::steady_clock;
constexpr int clickAmplitude = 20000;
constexpr int clickEveryMs = 1000;
// The thresholds leave room for the sink's volume: the program sets its console line to 75 %
// (-7.5 dB), which the monitor source records after.
constexpr int onsetThreshold = clickAmplitude / 4;
constexpr int heardThreshold = clickAmplitude / 6;

struct ProcStat {
    double cpuSeconds = 0; // user + system, this process alone
    long rssKb = 0;
    long peakRssKb = 0;
};

inline ProcStat procStat(qint64 pid)
{
    ProcStat s;
    if (pid <= 0)
        return s;
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (f.open(QIODevice::ReadOnly)) {
        const QByteArray stat = f.readAll();
        const QList<QByteArray> rest = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (rest.size() > 13)
            s.cpuSeconds =
                (rest[11].toLongLong() + rest[12].toLongLong()) / double(::sysconf(_SC_CLK_TCK));
    }
    QFile st(QStringLiteral("/proc/%1/status").arg(pid));
    if (st.open(QIODevice::ReadOnly))
        for (const QByteArray& line : st.readAll().split('\n')) {
            if (line.startsWith("VmHWM:"))
                s.peakRssKb = line.mid(6).trimmed().split(' ').first().toLong();
            else if (line.startsWith("VmRSS:"))
                s.rssKb = line.mid(6).trimmed().split(' ').first().toLong();
        }
    return s;
}

// One thread of a process: CPU seconds and context switches so far.
struct ThreadStat {
    QByteArray name;
    double cpuSeconds = 0;
    long long voluntary = 0, involuntary = 0;
};

inline std::map<qint64, ThreadStat> threadStats(qint64 pid)
{
    std::map<qint64, ThreadStat> out;
    const QString dir = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString& t : QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        ThreadStat s;
        QFile f(dir + QLatin1Char('/') + t + QStringLiteral("/stat"));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = f.readAll();
        const qsizetype o = stat.indexOf('('), c = stat.lastIndexOf(')');
        s.name = stat.mid(o + 1, c - o - 1);
        const QList<QByteArray> rest = stat.mid(c + 2).split(' ');
        if (rest.size() > 13)
            s.cpuSeconds =
                (rest[11].toLongLong() + rest[12].toLongLong()) / double(::sysconf(_SC_CLK_TCK));
        QFile st(dir + QLatin1Char('/') + t + QStringLiteral("/status"));
        if (st.open(QIODevice::ReadOnly))
            for (const QByteArray& line : st.readAll().split('\n')) {
                if (line.startsWith("voluntary_ctxt_switches:"))
                    s.voluntary = line.mid(24).trimmed().toLongLong();
                else if (line.startsWith("nonvoluntary_ctxt_switches:"))
                    s.involuntary = line.mid(27).trimmed().toLongLong();
            }
        out[t.toLongLong()] = s;
    }
    return out;
}

inline qint64 childNamed(qint64 parent, const QByteArray& comm)
{
    for (const QString& e : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile f(QStringLiteral("/proc/%1/stat").arg(e));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = f.readAll();
        const qsizetype o = stat.indexOf('('), c = stat.lastIndexOf(')');
        if (o < 0 || c < 0)
            continue;
        const QList<QByteArray> rest = stat.mid(c + 2).split(' ');
        if (stat.mid(o + 1, c - o - 1) == comm && rest.size() > 1 && rest[1].toLongLong() == parent)
            return e.toLongLong();
    }
    return 0;
}

// Click onsets seen at the source, by a capture of our own.
struct Reference {
    std::mutex mutex;
    std::vector<Clock::time_point> onsets;
    Clock::time_point last{};

    static BOOL proc(HRECORD, const void* buffer, DWORD length, void* user)
    {
        auto* r = static_cast<Reference*>(user);
        const auto now = Clock::now();
        const auto* s = static_cast<const qint16*>(buffer);
        const DWORD frames = length / 4;
        for (DWORD i = 0; i < frames; ++i) {
            if (std::abs(int(s[2 * i])) > onsetThreshold) {
                const auto at =
                    now - std::chrono::microseconds(qint64(frames - i) * 1000000 / 44100);
                std::lock_guard lock(r->mutex);
                if (at - r->last > std::chrono::milliseconds(clickEveryMs / 2)) {
                    r->onsets.push_back(at);
                    r->last = at;
                }
                break;
            }
        }
        return BASS_TRUE;
    }
    std::vector<Clock::time_point> copy()
    {
        std::lock_guard lock(mutex);
        return onsets;
    }
};

// A listener that keeps what arrives with the time it arrived.
struct Listener {
    std::vector<std::pair<Clock::time_point, QByteArray>> chunks;
    std::atomic<bool> quit{false};
    std::thread thread;
    void start(quint16 port, const QString& mount)
    {
        thread = std::thread([this, port, mount] {
            IcecastListener l(port, mount);
            while (!quit) {
                QByteArray b = l.read(65536, 100);
                if (!b.isEmpty())
                    chunks.emplace_back(Clock::now(), std::move(b));
            }
        });
    }
    void stop()
    {
        quit = true;
        if (thread.joinable())
            thread.join();
    }
};

inline QByteArray decode(const QByteArray& mp3)
{
    QProcess ffmpeg;
    ffmpeg.start(QStringLiteral("ffmpeg"),
                 QStringLiteral("-hide_banner -loglevel error -f mp3 -i pipe:0 -f s16le -ac 2 "
                                "-ar 44100 pipe:1")
                     .split(' '));
    ffmpeg.waitForStarted();
    ffmpeg.write(mp3);
    ffmpeg.closeWriteChannel();
    QByteArray out;
    while (ffmpeg.state() != QProcess::NotRunning || ffmpeg.bytesAvailable()) {
        ffmpeg.waitForReadyRead(200);
        out += ffmpeg.readAllStandardOutput();
    }
    return out + ffmpeg.readAllStandardOutput();
}

struct Click {
    Clock::time_point onset;
    double ms; // from the onset to the arrival of the frame that carries the click
};

// For each click heard in the stream, the arrival of the MP3 frame holding it minus the
// click's onset at the source.
inline std::vector<Click> latencies(const Listener& l, const std::vector<Clock::time_point>& onsets)
{
    QByteArray all;
    std::vector<std::pair<qsizetype, Clock::time_point>> ends; // byte count -> arrival time
    for (const auto& [t, b] : l.chunks) {
        all += b;
        ends.emplace_back(all.size(), t);
    }
    // Frame offsets (MPEG-1 layer III, 44.1 kHz).
    const auto* p = reinterpret_cast<const unsigned char*>(all.constData());
    static const int br[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    std::vector<qsizetype> frameEnd;
    qsizetype i = 0;
    while (i + 4 <= all.size() && !(p[i] == 0xFF && (p[i + 1] & 0xFE) == 0xFA))
        ++i;
    const qsizetype first = i;
    while (i + 4 <= all.size() && p[i] == 0xFF && (p[i + 1] & 0xFE) == 0xFA) {
        const int b = br[std::min(p[i + 2] >> 4, 14)];
        const int len = 144 * b * 1000 / 44100 + ((p[i + 2] >> 1) & 1);
        if (len <= 4)
            break;
        i += len;
        frameEnd.push_back(i);
    }
    const QByteArray pcm = decode(all.mid(first));
    const auto* s = reinterpret_cast<const qint16*>(pcm.constData());
    const qsizetype frames = pcm.size() / 4;
    std::vector<Click> out;
    qsizetype lastClick = -44100;
    for (qsizetype n = 0; n < frames; ++n) {
        if (std::abs(int(s[2 * n])) < heardThreshold || n - lastClick < 22050)
            continue;
        lastClick = n;
        const qsizetype frame = n / 1152;
        if (frame >= qsizetype(frameEnd.size()))
            break;
        const qsizetype byteEnd = frameEnd[frame];
        auto it = std::lower_bound(ends.begin(), ends.end(), byteEnd,
                                   [](const auto& e, qsizetype v) { return e.first < v; });
        if (it == ends.end())
            break;
        const Clock::time_point arrival = it->second;
        auto o = std::upper_bound(onsets.begin(), onsets.end(), arrival);
        if (o == onsets.begin())
            continue;
        --o;
        const double ms = std::chrono::duration<double, std::milli>(arrival - *o).count();
        if (ms >= 0 && ms < clickEveryMs)
            out.push_back({*o, ms});
    }
    return out;
}

struct Spread {
    std::size_t count = 0;
    double median = 0, p90 = 0, worst = 0;
};

inline Spread spread(std::vector<double> v)
{
    Spread s;
    std::sort(v.begin(), v.end());
    s.count = v.size();
    if (v.empty())
        return s;
    s.median = v[v.size() / 2];
    s.p90 = v[std::min(v.size() - 1, (v.size() * 9 + 9) / 10 - 1)];
    s.worst = v.back();
    return s;
}

// The servers of a latency run, both up, and the click train playing into the sound server's
// default source; false, with the servers' errors printed, when either did not start.
inline bool clicksPlaying(PulseServer& pulse, const IcecastServer& ice)
{
    if (!pulse.isRunning() || !ice.isRunning()) {
        std::fprintf(stderr, "servers: %s %s\n", qPrintable(pulse.error()),
                     qPrintable(ice.error()));
        return false;
    }
    const QString clicks = pulse.folder() + QStringLiteral("/clicks.raw");
    PulseServer::writeTestSignal(clicks, clickAmplitude, clickEveryMs);
    pulse.playLoop(clicks);
    return true;
}

// Starts darkice on the sound server's default source as the source of ice's /darkice (MP3,
// 128 kbit/s, as the program casts); its configuration and output in folder.
inline void startDarkice(QProcess& darkice, const QString& folder, const IcecastServer& ice)
{
    QFile conf(folder + QStringLiteral("/darkice.cfg"));
    conf.open(QIODevice::WriteOnly);
    conf.write(QStringLiteral("[general]\nduration = 0\nbufferSecs = 1\nreconnect = yes\n"
                              "[input]\ndevice = pulseaudio\npaSourceName = default\n"
                              "sampleRate = 44100\nbitsPerSample = 16\nchannel = 2\n"
                              "[icecast2-0]\nbitrateMode = cbr\nformat = mp3\nbitrate = 128\n"
                              "server = 127.0.0.1\nport = %1\npassword = %2\n"
                              "mountPoint = darkice\nname = darkice\n")
                   .arg(ice.port())
                   .arg(ice.options().sourcePassword)
                   .toUtf8());
    conf.close();
    darkice.setStandardOutputFile(folder + QStringLiteral("/darkice.log"));
    darkice.setStandardErrorFile(folder + QStringLiteral("/darkice.err"));
    darkice.start(QStringLiteral("darkice"), {QStringLiteral("-c"), conf.fileName()});
}

} // namespace benchkit
