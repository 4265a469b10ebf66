// The whole program on the air beside darkice, in one run: a private PulseAudio server plays a
// click train over a noise bed into the default source, a loopback Icecast (burst size 0)
// takes both sources, and the program (onair_program: the real windows, signed in on a
// catalog of the bench's own by a programmatic click on "Entra", offscreen) casts to its
// station as an owner would. Prints, for the program and for darkice: CPU seconds per minute
// (each process alone, lame apart), resident memory (each minute, peak, final), the
// click-to-listener latency (median, p90) and the ratios; and Entra -> on air. Beside them,
// parec on the same source: what recording alone costs any client of that sound server.
//
//   bench_onair [seconds] [--no-hogs] [--long [minutes]] [--minimized]
//
// A quiet phase of the given seconds (default 60), then, unless --no-hogs, as long again with
// two CPU hogs running. --long: one quiet phase of the minutes given (default 10), no hogs.
// --minimized: the program's windows minimized once it is on the air.
#include "benchkit.h"
#include "pulseserver.h"
#include "testdb.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/prctl.h>

using namespace benchkit;

namespace {

constexpr char email[] = "bench@wavelorn.local";
constexpr char password[] = "Onda2024";

[[noreturn]] void hogMain()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    volatile unsigned long long n = 0;
    for (;;)
        n = n + 1;
}

struct Phase {
    explicit Phase(const char* n) : name(n) {}
    const char* name;
    double seconds = 0;
    ProcStat program0, lame0, dark0, parec0, program1, lame1, dark1, parec1;
    std::map<qint64, ThreadStat> threads0, threads1;
    Clock::time_point from, to;
};

double perMinute(const ProcStat& a, const ProcStat& b, double seconds)
{
    return seconds > 0 ? (b.cpuSeconds - a.cpuSeconds) * 60.0 / seconds : 0;
}

Spread phaseSpread(const std::vector<Click>& clicks, const Phase& p)
{
    std::vector<double> v;
    for (const Click& c : clicks)
        if (c.onset >= p.from && c.onset < p.to)
            v.push_back(c.ms);
    return spread(v);
}

double ratio(double a, double b)
{
    return b > 0 ? a / b : 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--hog") == 0)
        hogMain();
    QCoreApplication app(argc, argv);
    int seconds = 60;
    bool hogs = true;
    int longMinutes = 0;
    bool minimized = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-hogs") == 0)
            hogs = false;
        else if (std::strcmp(argv[i], "--minimized") == 0)
            minimized = true;
        else if (std::strcmp(argv[i], "--long") == 0) {
            longMinutes = 10;
            if (i + 1 < argc && std::atoi(argv[i + 1]) > 0)
                longMinutes = std::atoi(argv[++i]);
        } else if (std::atoi(argv[i]) > 0)
            seconds = std::max(10, std::atoi(argv[i]));
    }
    if (longMinutes > 0) {
        seconds = longMinutes * 60;
        hogs = false;
    }
    std::signal(SIGPIPE, SIG_IGN);

    PulseServer pulse({{QStringLiteral("s1"), QStringLiteral("Altoparlanti di prova")}});
    IcecastServer::Options o;
    o.burstSize = 0;
    o.sourcePassword = QString::fromLatin1(password);
    IcecastServer ice(o);
    if (!clicksPlaying(pulse, ice))
        return 1;

    // The station's catalog: the account, with the server's port, and a few messages.
    std::unique_ptr<TestDb> db;
    try {
        db = TestDb::sqlite();
        TestAccount a;
        a.email = QString::fromLatin1(email);
        a.password = QString::fromLatin1(password);
        a.station = QStringLiteral("RadioBanco");
        a.port = ice.port();
        db->addAccount(a);
        for (int i = 0; i < 5; ++i)
            db->addMessage(a.station, QStringLiteral("Ascoltatore %1").arg(i),
                           QStringLiteral("Un saluto dalla banca di prova"));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "catalog: %s\n", e.what());
        return 1;
    }

    QTemporaryDir dir;
    QProcess darkice;
    startDarkice(darkice, dir.path(), ice);
    if (!ice.waitForSource(QStringLiteral("/darkice"), 15000)) {
        std::fprintf(stderr, "darkice did not come up\n");
        return 1;
    }

    // The program, in a home of its own, offscreen.
    QDir(dir.path()).mkpath(QStringLiteral("home"));
    QDir(dir.path()).mkpath(QStringLiteral("xdg"));
    QFile::setPermissions(dir.path() + QStringLiteral("/xdg"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), dir.path() + QStringLiteral("/home"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), dir.path() + QStringLiteral("/xdg"));
    env.remove(QStringLiteral("XDG_STATE_HOME"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    // Experiments: BENCH_PROGRAM_ENV="NAME=value ..." adds to the program's environment.
    for (const QString& kv :
         qEnvironmentVariable("BENCH_PROGRAM_ENV").split(QLatin1Char(' '), Qt::SkipEmptyParts))
        env.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
    QProcess program;
    program.setProcessEnvironment(env);
    if (qEnvironmentVariableIsSet("BENCH_SHOW_LOG"))
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    else
        program.setStandardErrorFile(dir.path() + QStringLiteral("/program.err"));
    // Profiling: BENCH_PROGRAM_WRAP="heaptrack -o FILE" runs the program under a tool (the
    // figures of such a run are the tool's too).
    QStringList command =
        qEnvironmentVariable("BENCH_PROGRAM_WRAP").split(QLatin1Char(' '), Qt::SkipEmptyParts);
    command << QCoreApplication::applicationDirPath() + QStringLiteral("/onair_program")
            << db->sqliteFile() << QString::fromLatin1(email) << QString::fromLatin1(password);
    if (minimized)
        command << QStringLiteral("--minimized");
    program.start(command.takeFirst(), command);
    long long entraNs = 0, onAirNs = 0;
    bool onAir = false;
    const auto startedAt = Clock::now();
    while (onAirNs == 0 && Clock::now() - startedAt < std::chrono::seconds(30)) {
        if (!program.canReadLine() && !program.waitForReadyRead(500)) {
            if (program.state() == QProcess::NotRunning)
                break;
            continue;
        }
        while (program.canReadLine()) {
            const QList<QByteArray> w = program.readLine().trimmed().split(' ');
            if (w.size() >= 2 && w[0] == "entra")
                entraNs = w[1].toLongLong();
            else if (w.size() >= 3 && w[0] == "onair") {
                onAirNs = w[1].toLongLong();
                onAir = w[2] == "1";
            }
        }
    }
    if (!onAir || !ice.waitForSource(QStringLiteral("/stream"), 10000)) {
        std::fprintf(stderr, "the program did not go on the air (its log: %s/program.err)\n",
                     qPrintable(dir.path()));
        dir.setAutoRemove(false);
        return 1;
    }
    const qint64 pid = program.processId();
    std::printf("program pid %lld, darkice pid %lld\n", pid, darkice.processId());
    std::fflush(stdout);

    BASS_RecordInit(-1);
    Reference ref;
    const HRECORD refCh = BASS_RecordStart(44100, 2, 0, &Reference::proc, &ref);
    Listener lo, ld;
    lo.start(ice.port(), QStringLiteral("/stream"));
    ld.start(ice.port(), QStringLiteral("/darkice"));
    QThread::sleep(3); // settle
    const qint64 lamePid = childNamed(pid, "lame");
    // The floor of any client of the sound server: its own recording client, reading the same
    // source as the program and darkice with the latency the capture asks for, into nothing.
    QProcess parec;
    parec.setStandardOutputFile(QProcess::nullDevice());
    parec.setStandardErrorFile(QProcess::nullDevice());
    parec.start(QStringLiteral("parec"),
                {QStringLiteral("--latency-msec=20"), QStringLiteral("--rate=44100"),
                 QStringLiteral("--channels=2"), QStringLiteral("--format=s16le")});
    parec.waitForStarted();
    QThread::sleep(1);

    std::vector<Phase> phases;
    phases.emplace_back("quiet");
    if (hogs)
        phases.emplace_back("two hogs");
    std::vector<std::pair<double, long>> rssByMinute; // minutes on the air, KiB
    const auto airFrom = Clock::now();
    std::vector<std::unique_ptr<QProcess>> hogProcesses;
    for (Phase& p : phases) {
        if (&p != &phases.front())
            for (int i = 0; i < 2; ++i) {
                auto h = std::make_unique<QProcess>();
                h->start(QCoreApplication::applicationFilePath(), {QStringLiteral("--hog")});
                h->waitForStarted();
                hogProcesses.push_back(std::move(h));
            }
        QThread::msleep(hogs && &p != &phases.front() ? 1000 : 0);
        p.threads0 = threadStats(pid);
        p.program0 = procStat(pid);
        p.lame0 = procStat(lamePid);
        p.dark0 = procStat(darkice.processId());
        p.parec0 = procStat(parec.processId());
        p.from = Clock::now();
        const auto until = p.from + std::chrono::seconds(seconds);
        auto nextSample = p.from;
        while (Clock::now() < until) {
            if (Clock::now() >= nextSample) {
                const double minutes =
                    std::chrono::duration<double>(Clock::now() - airFrom).count() / 60;
                rssByMinute.emplace_back(minutes, procStat(pid).rssKb);
                nextSample += std::chrono::seconds(60);
            }
            QThread::msleep(std::max<long long>(
                1, std::min<long long>(500, std::chrono::duration_cast<std::chrono::milliseconds>(
                                                until - Clock::now())
                                                .count())));
        }
        p.to = Clock::now();
        p.seconds = std::chrono::duration<double>(p.to - p.from).count();
        p.program1 = procStat(pid);
        p.threads1 = threadStats(pid);
        p.lame1 = procStat(lamePid);
        p.dark1 = procStat(darkice.processId());
        p.parec1 = procStat(parec.processId());
    }
    parec.kill();
    parec.waitForFinished(2000);
    for (auto& h : hogProcesses) {
        h->kill();
        h->waitForFinished(2000);
    }
    const ProcStat finalProgram = procStat(pid), finalLame = procStat(lamePid),
                   finalDark = procStat(darkice.processId());
    rssByMinute.emplace_back(std::chrono::duration<double>(Clock::now() - airFrom).count() / 60,
                             finalProgram.rssKb);
    lo.stop();
    ld.stop();
    BASS_ChannelStop(refCh);
    program.closeWriteChannel();
    if (!program.waitForFinished(10000))
        program.kill();
    darkice.terminate();
    darkice.waitForFinished(5000);

    const std::vector<Clock::time_point> onsets = ref.copy();
    const std::vector<Click> ours = latencies(lo, onsets), theirs = latencies(ld, onsets);

    std::printf("\nEntra -> on the air: %.0f ms\n", (onAirNs - entraNs) / 1e6);
    for (const Phase& p : phases) {
        const double oc = perMinute(p.program0, p.program1, p.seconds);
        const double lc = perMinute(p.lame0, p.lame1, p.seconds);
        const double dc = perMinute(p.dark0, p.dark1, p.seconds);
        const double pc = perMinute(p.parec0, p.parec1, p.seconds);
        const Spread so = phaseSpread(ours, p), sd = phaseSpread(theirs, p);
        std::printf("\n[%s, %.0f s]\n", p.name, p.seconds);
        std::printf("CPU s/min   program %.3f (%.2f %% of a core)  lame %.3f  darkice %.3f  "
                    "program/darkice %.2f  (program+lame)/darkice %.2f\n",
                    oc, oc / 60 * 100, lc, dc, ratio(oc, dc), ratio(oc + lc, dc));
        std::printf("            parec alone (the sound server's recording client, no work) %.3f "
                    "(%.2f %% of a core)  program/parec %.2f\n",
                    pc, pc / 60 * 100, ratio(oc, pc));
        std::printf("latency ms  program median %.0f p90 %.0f (%zu clicks)  darkice median %.0f "
                    "p90 %.0f (%zu clicks)  ratio median %.2f p90 %.2f\n",
                    so.median, so.p90, so.count, sd.median, sd.p90, sd.count,
                    ratio(so.median, sd.median), ratio(so.p90, sd.p90));
        std::printf("program threads (CPU s/min, wake-ups/s of which preempted):");
        for (const auto& [tid, t1] : p.threads1) {
            const auto t0 = p.threads0.find(tid);
            if (t0 == p.threads0.end())
                continue;
            const double cpu = (t1.cpuSeconds - t0->second.cpuSeconds) * 60 / p.seconds;
            const double vol = (t1.voluntary - t0->second.voluntary) / p.seconds;
            const double inv = (t1.involuntary - t0->second.involuntary) / p.seconds;
            if (cpu > 0 || vol + inv >= 0.5)
                std::printf("\n  %-7lld %-16s %.3f  %.1f  %.1f", tid, t1.name.constData(), cpu,
                            vol + inv, inv);
        }
        std::printf("\n");
    }
    std::printf("\nRSS KiB     program peak %ld final %ld  lame peak %ld  darkice peak %ld final "
                "%ld  program/darkice (final) %.2f\n",
                finalProgram.peakRssKb, finalProgram.rssKb, finalLame.peakRssKb,
                finalDark.peakRssKb, finalDark.rssKb,
                ratio(double(finalProgram.rssKb), double(finalDark.rssKb)));
    std::printf("program RSS by minute on the air:");
    for (const auto& [m, kb] : rssByMinute)
        std::printf(" %.1f:%ld", m, kb);
    std::printf("\n");
    if (rssByMinute.size() >= 2)
        std::printf("growth from the first sample: %+ld KiB\n",
                    rssByMinute.back().second - rssByMinute.front().second);
    BASS_RecordFree();
    return 0;
}
