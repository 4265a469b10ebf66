// The cast pipeline for about a minute against a loopback Icecast (burst size 0) and a private
// PulseAudio server playing a click train over a noise bed, side by side with darkice on the
// same source, bit rate and server. Prints CPU per minute of audio, peak memory and the
// latency from a click at the source to its MP3 at a listener.
//
//   bench_cast [seconds]        (default 60)
//
// Our pipeline runs in a child process (this program with --cast) so that its figures hold
// nothing of the measuring; lame is that child's child.
#include "bassenc.h"
#include "benchkit.h"
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
#include <cstring>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace benchkit;

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

void printLatency(const char* who, const std::vector<Click>& clicks, double* median)
{
    std::vector<double> v;
    for (const Click& c : clicks)
        v.push_back(c.ms);
    const Spread s = spread(v);
    *median = s.median;
    std::printf("%-10s latency: %zu clicks, median %.0f ms, p90 %.0f ms, worst %.0f ms\n", who,
                s.count, s.median, s.p90, s.worst);
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
    if (!clicksPlaying(pulse, ice))
        return 1;

    QTemporaryDir dir;
    QProcess ours, darkice;
    ours.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    ours.start(QCoreApplication::applicationFilePath(),
               {QStringLiteral("--cast"), ice.address(QStringLiteral("/ours")), o.sourcePassword});
    startDarkice(darkice, dir.path(), ice);
    if (!ours.waitForReadyRead(15000) || !ice.waitForSource(QStringLiteral("/ours"), 10000) ||
        !ice.waitForSource(QStringLiteral("/darkice"), 15000)) {
        std::fprintf(stderr, "a source did not come up\n");
        return 1;
    }
    BASS_RecordInit(-1);
    Reference ref;
    const HRECORD refCh = BASS_RecordStart(44100, 2, 0, &Reference::proc, &ref);
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
    const std::vector<Clock::time_point> onsets = ref.copy();
    double mo = 0, md = 0;
    printLatency("program", latencies(lo, onsets), &mo);
    printLatency("darkice", latencies(ld, onsets), &md);
    if (darkCpu > 0 && md > 0)
        std::printf("ours / darkice: CPU (with lame) %.2f, median latency %.2f\n",
                    (oursCpu + lameCpu) / darkCpu, mo / md);
    BASS_RecordFree();
    return 0;
}
