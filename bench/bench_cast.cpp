// The cast pipeline for about a minute against a loopback Icecast (burst size 0) and a private
// PulseAudio server playing a click train over a noise bed, side by side with darkice on the
// same source, bit rate and server. Prints CPU per minute of audio, peak memory and the
// latency from a click at the source to its MP3 at a listener.
//
//   bench_cast [seconds]        (default 60)
//
// Our pipeline runs in a child process (this program with --cast) so that its figures hold
// nothing of the measuring; lame is that child's child.
#include "bass.h"
#include "bassenc.h"
#include "icecastserver.h"
#include "pulseserver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int clickAmplitude = 20000;
constexpr int clickEveryMs = 1000;

BOOL whileEncoding(HRECORD handle, const void*, DWORD, void*)
{
    return BASS_Encode_IsActive(handle) != 0 ? BASS_TRUE : BASS_FALSE;
}

int castMain(const char* server, const char* password)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (!BASS_RecordInit(-1))
        return 2;
    const HRECORD ch = BASS_RecordStart(44100, 2, 0, whileEncoding, nullptr);
    const HENCODE enc =
        ch ? BASS_Encode_Start(ch, "lame -r -s 44100 -b 128 -",
                               BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, nullptr, nullptr)
           : 0;
    if (!enc || !BASS_Encode_CastInit(enc, server, password, "audio/mpeg", "bench", "", "", "",
                                      nullptr, 128, BASS_FALSE)) {
        std::fprintf(stderr, "cast failed: %s\n", BASS_LastErrorText());
        return 3;
    }
    std::printf("casting\n");
    std::fflush(stdout);
    char c;
    while (::read(0, &c, 1) > 0) {
    } // until the parent closes our input
    BASS_RecordFree();
    return 0;
}

struct ProcStat {
    double cpuSeconds = 0;
    long peakRssKb = 0;
};

ProcStat procStat(qint64 pid)
{
    ProcStat s;
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
        for (const QByteArray& line : st.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                s.peakRssKb = line.mid(6).trimmed().split(' ').first().toLong();
    return s;
}

qint64 childNamed(qint64 parent, const QByteArray& comm)
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
};

BOOL referenceProc(HRECORD, const void* buffer, DWORD length, void* user)
{
    auto* r = static_cast<Reference*>(user);
    const auto now = Clock::now();
    const auto* s = static_cast<const qint16*>(buffer);
    const DWORD frames = length / 4;
    for (DWORD i = 0; i < frames; ++i) {
        if (std::abs(int(s[2 * i])) > clickAmplitude / 2) {
            const auto at = now - std::chrono::microseconds(qint64(frames - i) * 1000000 / 44100);
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

QByteArray decode(const QByteArray& mp3)
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

// Latencies (ms): for each click heard in the stream, the arrival of the MP3 frame holding it
// minus the click's onset at the source.
std::vector<double> latencies(const Listener& l, const std::vector<Clock::time_point>& onsets)
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
    std::vector<double> out;
    qsizetype lastClick = -44100;
    for (qsizetype n = 0; n < frames; ++n) {
        if (std::abs(int(s[2 * n])) < clickAmplitude / 3 || n - lastClick < 22050)
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
            out.push_back(ms);
    }
    return out;
}

void printLatency(const char* who, std::vector<double> v, double* median)
{
    std::sort(v.begin(), v.end());
    *median = v.empty() ? 0 : v[v.size() / 2];
    std::printf("%-10s latency: %zu clicks, median %.0f ms, worst %.0f ms\n", who, v.size(),
                *median, v.empty() ? 0 : v.back());
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--cast") == 0)
        return castMain(argv[2], argv[3]);
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(5, std::atoi(argv[1])) : 60;
    std::signal(SIGPIPE, SIG_IGN);

    PulseServer pulse;
    IcecastServer::Options o;
    o.burstSize = 0;
    IcecastServer ice(o);
    if (!pulse.isRunning() || !ice.isRunning()) {
        std::fprintf(stderr, "servers: %s %s\n", qPrintable(pulse.error()),
                     qPrintable(ice.error()));
        return 1;
    }
    const QString clicks = pulse.folder() + QStringLiteral("/clicks.raw");
    PulseServer::writeTestSignal(clicks, clickAmplitude, clickEveryMs);
    pulse.playLoop(clicks);

    QTemporaryDir dir;
    QFile conf(dir.path() + QStringLiteral("/darkice.cfg"));
    conf.open(QIODevice::WriteOnly);
    conf.write(QStringLiteral("[general]\nduration = 0\nbufferSecs = 1\nreconnect = yes\n"
                              "[input]\ndevice = pulseaudio\npaSourceName = default\n"
                              "sampleRate = 44100\nbitsPerSample = 16\nchannel = 2\n"
                              "[icecast2-0]\nbitrateMode = cbr\nformat = mp3\nbitrate = 128\n"
                              "server = 127.0.0.1\nport = %1\npassword = %2\n"
                              "mountPoint = darkice\nname = darkice\n")
                   .arg(ice.port())
                   .arg(o.sourcePassword)
                   .toUtf8());
    conf.close();

    QProcess ours, darkice;
    ours.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ours.start(QCoreApplication::applicationFilePath(),
               {QStringLiteral("--cast"), ice.address(QStringLiteral("/ours")), o.sourcePassword});
    darkice.setStandardOutputFile(dir.path() + QStringLiteral("/darkice.log"));
    darkice.setStandardErrorFile(dir.path() + QStringLiteral("/darkice.err"));
    darkice.start(QStringLiteral("darkice"), {QStringLiteral("-c"), conf.fileName()});
    if (!ours.waitForReadyRead(15000) || !ice.waitForSource(QStringLiteral("/ours"), 10000) ||
        !ice.waitForSource(QStringLiteral("/darkice"), 15000)) {
        std::fprintf(stderr, "a source did not come up\n");
        return 1;
    }
    BASS_RecordInit(-1);
    Reference ref;
    const HRECORD refCh = BASS_RecordStart(44100, 2, 0, referenceProc, &ref);
    Listener lo, ld;
    lo.start(ice.port(), QStringLiteral("/ours"));
    ld.start(ice.port(), QStringLiteral("/darkice"));
    QThread::sleep(2); // settle
    const qint64 lamePid = childNamed(ours.processId(), "lame");
    const ProcStat o0 = procStat(ours.processId()), l0 = procStat(lamePid),
                   d0 = procStat(darkice.processId());
    const auto t0 = Clock::now();
    QThread::sleep(seconds);
    const double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
    const ProcStat o1 = procStat(ours.processId()), l1 = procStat(lamePid),
                   d1 = procStat(darkice.processId());
    lo.stop();
    ld.stop();
    BASS_ChannelStop(refCh);
    ours.closeWriteChannel();
    ours.waitForFinished(5000);
    darkice.terminate();
    darkice.waitForFinished(5000);

    const double perMin = 60.0 / elapsed;
    const double oursCpu = (o1.cpuSeconds - o0.cpuSeconds) * perMin;
    const double lameCpu = (l1.cpuSeconds - l0.cpuSeconds) * perMin;
    const double darkCpu = (d1.cpuSeconds - d0.cpuSeconds) * perMin;
    std::printf("measured %.0f s of audio\n", elapsed);
    std::printf("program   CPU: %.2f s per minute (%.2f %% of a core)\n", oursCpu,
                oursCpu / 60 * 100);
    std::printf("lame      CPU: %.2f s per minute (%.2f %% of a core)\n", lameCpu,
                lameCpu / 60 * 100);
    std::printf("together  CPU: %.2f s per minute\n", oursCpu + lameCpu);
    std::printf("darkice   CPU: %.2f s per minute (%.2f %% of a core)\n", darkCpu,
                darkCpu / 60 * 100);
    std::printf("peak RSS: program %ld KiB, lame %ld KiB, darkice %ld KiB\n", o1.peakRssKb,
                l1.peakRssKb, d1.peakRssKb);
    std::vector<Clock::time_point> onsets;
    {
        std::lock_guard lock(ref.mutex);
        onsets = ref.onsets;
    }
    double mo = 0, md = 0;
    printLatency("program", latencies(lo, onsets), &mo);
    printLatency("darkice", latencies(ld, onsets), &md);
    if (darkCpu > 0 && md > 0)
        std::printf("ours / darkice: CPU (with lame) %.2f, median latency %.2f\n",
                    (oursCpu + lameCpu) / darkCpu, mo / md);
    BASS_RecordFree();
    return 0;
}
