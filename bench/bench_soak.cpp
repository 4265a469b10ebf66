// The engine window on the air for a quarter of an hour against a real Icecast reached through
// a fault proxy, with a private PulseAudio server playing a tone: the server is killed and
// started again after a short outage, and the path is black-holed for a while, again and
// again. Prints how many faults the station came back from and how fast, what the process
// holds before and after (descriptors, threads, memory, lame children), and how late the GUI
// thread's event loop ran: a 10 ms timer on it measures each tick's lateness.
//
//   bench_soak [kills] [blackholes]        (default 100 20, about 12 minutes)
//
// Everything that waits (the servers, the proxy, the bookkeeping) runs on a controller
// thread; the GUI thread runs the window, the probe and nothing else. A GUI-thread stall above
// 150 ms prints the GUI thread's stack to standard error while it lasts.
#include "../tests/broadcast/enginefixture.h"
#include "UfmShoutcast2.h"
#include "audiotesthelpers.h"
#include "faultproxy.h"
#include "icecastserver.h"
#include "pulseserver.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <execinfo.h>
#include <mutex>
#include <pthread.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Air = TfmShoutcast2::AirState;

double msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

void sleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

struct Resources {
    int fds = 0;
    int threads = 0;
    long rssKb = 0;
};

Resources resources()
{
    Resources r;
    r.fds = audiotest::openDescriptors();
    r.threads = audiotest::threadCount();
    QFile f(QStringLiteral("/proc/self/status"));
    if (f.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : f.readAll().split('\n'))
            if (line.startsWith("VmRSS:"))
                r.rssKb = line.mid(6).trimmed().split(' ').value(0).toLong();
    }
    return r;
}

// The air as the window reports it: each change with its time, kept by the GUI thread.
class AirLog {
public:
    void note(Air a)
    {
        std::lock_guard lock(m_mutex);
        m_changes.push_back({a, Clock::now()});
    }
    // The first change to want after since, when there is one.
    bool firstAfter(Clock::time_point since, Air want, Clock::time_point* at) const
    {
        std::lock_guard lock(m_mutex);
        for (const auto& c : m_changes)
            if (c.at >= since && c.air == want) {
                *at = c.at;
                return true;
            }
        return false;
    }
    // The first change away from the air after since.
    bool firstOffAfter(Clock::time_point since, Clock::time_point* at) const
    {
        std::lock_guard lock(m_mutex);
        for (const auto& c : m_changes)
            if (c.at >= since && c.air != Air::OnAir) {
                *at = c.at;
                return true;
            }
        return false;
    }
    Air now() const
    {
        std::lock_guard lock(m_mutex);
        return m_changes.empty() ? Air::Off : m_changes.back().air;
    }

private:
    struct Change {
        Air air;
        Clock::time_point at;
    };
    mutable std::mutex m_mutex;
    std::vector<Change> m_changes;
};

// Waits on the controller thread until cond holds or timeoutMs pass.
template <typename F> bool waitUntil(F cond, int timeoutMs)
{
    const auto until = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!cond()) {
        if (Clock::now() >= until)
            return false;
        sleepMs(5);
    }
    return true;
}

// The lateness of each tick of a 10 ms timer on the GUI thread, tagged by the phase.
struct StallProbe {
    static constexpr int intervalMs = 10;
    std::atomic<bool> inBlackHole{false};
    std::atomic<bool> measuring{false};
    std::atomic<long long> lastTickNs{0};
    std::mutex mutex;
    std::vector<double> all, blackHole;
    double worst = 0;
    Clock::time_point worstAt{};
    Clock::time_point last{};

    void tick()
    {
        const auto now = Clock::now();
        lastTickNs = now.time_since_epoch().count();
        if (!measuring) {
            last = {};
            return;
        }
        if (last != Clock::time_point{}) {
            const double late = std::max(0.0, msBetween(last, now) - intervalMs);
            std::lock_guard lock(mutex);
            all.push_back(late);
            if (inBlackHole)
                blackHole.push_back(late);
            if (late > worst) {
                worst = late;
                worstAt = now;
            }
        }
        last = now;
    }
};

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    const auto k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

double median(std::vector<double> v)
{
    return percentile(std::move(v), 0.5);
}

double maximum(const std::vector<double>& v)
{
    return v.empty() ? 0 : *std::max_element(v.begin(), v.end());
}

// The GUI thread's stack, written to standard error from a signal sent to it while it stalls.
void stackHandler(int)
{
    void* frames[64];
    const int n = ::backtrace(frames, 64);
    static const char head[] = "--- GUI thread stack during a stall:\n";
    [[maybe_unused]] auto w = ::write(STDERR_FILENO, head, sizeof head - 1);
    ::backtrace_symbols_fd(frames, n, STDERR_FILENO);
}

// Sends the GUI thread the stack signal once per stall above thresholdMs.
class StallWatch {
public:
    StallWatch(StallProbe& probe, pthread_t gui, int thresholdMs)
        : m_probe(probe), m_gui(gui), m_threshold(thresholdMs)
    {
        void* warm[4];
        ::backtrace(warm, 4); // loads what backtrace needs before any signal
        struct sigaction sa {};
        sa.sa_handler = stackHandler;
        sa.sa_flags = SA_RESTART;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGUSR2, &sa, nullptr);
        m_thread = std::thread([this] { run(); });
    }
    ~StallWatch()
    {
        m_quit = true;
        m_thread.join();
    }
    StallWatch(const StallWatch&) = delete;
    StallWatch& operator=(const StallWatch&) = delete;

private:
    void run()
    {
        long long traced = 0;
        while (!m_quit) {
            sleepMs(20);
            const long long last = m_probe.lastTickNs;
            if (!m_probe.measuring || last == 0 || last == traced)
                continue;
            const auto lastAt = Clock::time_point(Clock::duration(last));
            if (msBetween(lastAt, Clock::now()) > m_threshold) {
                traced = last;
                std::fprintf(stderr, "--- the GUI thread has not ticked for %.0f ms\n",
                             msBetween(lastAt, Clock::now()));
                ::pthread_kill(m_gui, SIGUSR2);
            }
        }
    }
    StallProbe& m_probe;
    pthread_t m_gui;
    int m_threshold;
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};

struct Figures {
    int kills = 0, killRecoveries = 0, killConfirmed = 0;
    int holes = 0, holeRecoveries = 0, holeConfirmed = 0, holesSeen = 0;
    std::vector<double> killRecoveryMs, holeRecoveryMs, killDetectMs, holeDetectMs;
};

class Soak {
public:
    Soak(int kills, int holes, TfmShoutcast2& w, AirLog& air, StallProbe& probe)
        : m_kills(kills), m_holes(holes), m_w(w), m_air(air), m_probe(probe)
    {}
    int run(); // on the controller thread; the exit code

private:
    // Runs f on the GUI thread and waits for it.
    template <typename F> void onGui(F f)
    {
        QMetaObject::invokeMethod(&m_w, f, Qt::BlockingQueuedConnection);
    }
    bool waitOnAirSince(Clock::time_point since, int timeoutMs, Clock::time_point* at)
    {
        return waitUntil([&] { return m_air.firstAfter(since, Air::OnAir, at); }, timeoutMs) &&
               waitUntil([&] { return m_air.now() == Air::OnAir; }, timeoutMs);
    }
    void killOnce(IcecastServer& ice, Figures& f);
    void blackHoleOnce(IcecastServer& ice, FaultProxy& proxy, Figures& f);

    int m_kills, m_holes;
    TfmShoutcast2& m_w;
    AirLog& m_air;
    StallProbe& m_probe;
    const QString m_mount = QStringLiteral("/soak");
};

void Soak::killOnce(IcecastServer& ice, Figures& f)
{
    ++f.kills;
    const auto killedAt = Clock::now();
    ice.kill();
    // Outages of 0.5 to 3 s, so that the server comes back at every point of the retry cycle.
    sleepMs(500 + (f.kills * 737) % 2500);
    if (!ice.start()) {
        std::fprintf(stderr, "icecast did not start again: %s\n", qPrintable(ice.error()));
        return;
    }
    const auto backAt = Clock::now();
    Clock::time_point offAt, onAt;
    if (m_air.firstOffAfter(killedAt, &offAt) ||
        waitUntil([&] { return m_air.firstOffAfter(killedAt, &offAt); }, 10000))
        f.killDetectMs.push_back(msBetween(killedAt, offAt));
    else
        std::fprintf(stderr, "kill %d: the station never left the air\n", f.kills);
    if (!waitOnAirSince(backAt, 30000, &onAt)) {
        std::fprintf(stderr, "kill %d: not back on the air within 30 s\n", f.kills);
        waitOnAirSince(backAt, 60000, &onAt);
        return;
    }
    ++f.killRecoveries;
    f.killRecoveryMs.push_back(msBetween(backAt, onAt));
    if (ice.waitForSource(m_mount, 5000))
        ++f.killConfirmed;
    sleepMs(1500); // on the air a while before the next fault
}

void Soak::blackHoleOnce(IcecastServer& ice, FaultProxy& proxy, Figures& f)
{
    ++f.holes;
    const auto holeAt = Clock::now();
    m_probe.inBlackHole = true;
    proxy.setMode(FaultProxy::Mode::BlackHole);
    Clock::time_point offAt;
    // Until the engine has seen it and has tried again into the hole, or 30 s.
    if (waitUntil([&] { return m_air.firstOffAfter(holeAt, &offAt); }, 30000)) {
        ++f.holesSeen;
        f.holeDetectMs.push_back(msBetween(holeAt, offAt));
        sleepMs(1000 + (f.holes * 1913) % 5000); // attempts go into the hole meanwhile
    } else {
        std::fprintf(stderr, "black hole %d: not seen within 30 s\n", f.holes);
    }
    proxy.setMode(FaultProxy::Mode::Pass);
    const auto backAt = Clock::now();
    Clock::time_point onAt;
    const bool back = waitOnAirSince(backAt, 30000, &onAt);
    m_probe.inBlackHole = false;
    if (!back) {
        std::fprintf(stderr, "black hole %d: not back on the air within 30 s\n", f.holes);
        waitOnAirSince(backAt, 60000, &onAt);
        return;
    }
    ++f.holeRecoveries;
    f.holeRecoveryMs.push_back(msBetween(backAt, onAt));
    if (ice.waitForSource(m_mount, 15000))
        ++f.holeConfirmed;
    sleepMs(1500);
}

int Soak::run()
{
    IcecastServer ice;
    if (!ice.isRunning()) {
        std::fprintf(stderr, "icecast: %s\n", qPrintable(ice.error()));
        return 2;
    }
    FaultProxy proxy(ice.port());
    if (!proxy.start()) {
        std::fprintf(stderr, "the proxy did not start\n");
        return 2;
    }
    const QString server = QStringLiteral("127.0.0.1:%1").arg(proxy.port()) + m_mount;
    const auto startAt = Clock::now();
    onGui([&] {
        m_w.ed_server->setText(server);
        m_w.ed_Password->setText(ice.options().sourcePassword);
        m_w.ed_Name->setText(QStringLiteral("Soak"));
        m_w.ed_url->setText(QStringLiteral("http://127.0.0.1"));
        m_w.ed_genre->setText(QStringLiteral("Varie"));
        m_w.ed_desc->setText(QStringLiteral("Prova di durata"));
        m_w.StartCast();
    });
    Clock::time_point onAt;
    if (!waitOnAirSince(startAt, 20000, &onAt) || !ice.waitForSource(m_mount, 5000)) {
        std::fprintf(stderr, "the station did not go on the air\n");
        return 3;
    }
    sleepMs(5000);
    const Resources before = resources();
    const int lameBefore = static_cast<int>(audiotest::childProcesses("lame", false).size());
    m_probe.measuring = true;

    Figures f;
    const int total = m_kills + m_holes;
    // The black holes spread evenly among the kills.
    for (int i = 0, k = 0, h = 0; i < total; ++i) {
        const bool hole = h < m_holes && (k >= m_kills || (h + 1) * total <= (i + 1) * m_holes);
        if (hole) {
            blackHoleOnce(ice, proxy, f);
            ++h;
        } else {
            killOnce(ice, f);
            ++k;
        }
        if ((i + 1) % 10 == 0)
            std::fprintf(stderr, "soak: %d of %d faults, %.0f s, VmRSS %ld kB\n", i + 1, total,
                         msBetween(startAt, Clock::now()) / 1000.0, resources().rssKb);
    }
    sleepMs(5000);
    m_probe.measuring = false;
    const Resources after = resources();
    const int lameOnAir = static_cast<int>(audiotest::childProcesses("lame", false).size());
    const bool onAirAtEnd = m_air.now() == Air::OnAir;
    const double soakS = msBetween(startAt, Clock::now()) / 1000.0;

    onGui([&] { m_w.StopCast(); });
    waitUntil([] { return audiotest::childProcesses("lame", false).isEmpty(); }, 10000);
    const int lameStopped = static_cast<int>(audiotest::childProcesses("lame", false).size());

    std::vector<double> allRecoveries = f.killRecoveryMs;
    allRecoveries.insert(allRecoveries.end(), f.holeRecoveryMs.begin(), f.holeRecoveryMs.end());
    std::printf("soak: %d server kills and %d black holes in %.0f s\n", f.kills, f.holes, soakS);
    std::printf("recoveries / faults:        %d / %d (kills %d / %d, black holes %d / %d)\n",
                f.killRecoveries + f.holeRecoveries, f.kills + f.holes, f.killRecoveries, f.kills,
                f.holeRecoveries, f.holes);
    std::printf("source on the server after: %d kills, %d black holes\n", f.killConfirmed,
                f.holeConfirmed);
    std::printf("recovery (back -> on air):  median %.0f ms, max %.0f ms\n", median(allRecoveries),
                maximum(allRecoveries));
    std::printf("  after a kill:             median %.0f ms, max %.0f ms\n",
                median(f.killRecoveryMs), maximum(f.killRecoveryMs));
    std::printf("  after a black hole:       median %.0f ms, max %.0f ms\n",
                median(f.holeRecoveryMs), maximum(f.holeRecoveryMs));
    std::printf("detection of a kill:        median %.0f ms, max %.0f ms\n", median(f.killDetectMs),
                maximum(f.killDetectMs));
    std::printf("detection of a black hole:  median %.0f ms, max %.0f ms (%d of %d seen)\n",
                median(f.holeDetectMs), maximum(f.holeDetectMs), f.holesSeen, f.holes);
    std::printf("descriptors:                %d before, %d after\n", before.fds, after.fds);
    std::printf("threads:                    %d before, %d after\n", before.threads, after.threads);
    std::printf("VmRSS:                      %ld kB before, %ld kB after\n", before.rssKb,
                after.rssKb);
    std::printf("lame children:              %d on the air at the start, %d at the end%s, "
                "%d after stop\n",
                lameBefore, lameOnAir, onAirAtEnd ? "" : " (NOT on the air)", lameStopped);
    {
        std::lock_guard lock(m_probe.mutex);
        std::printf("GUI thread lateness:        worst %.1f ms at %.0f s, p99.9 %.1f ms "
                    "(%zu ticks)\n",
                    m_probe.worst, msBetween(startAt, m_probe.worstAt) / 1000.0,
                    percentile(m_probe.all, 0.999), m_probe.all.size());
        std::printf("  during black holes:       worst %.1f ms, p99.9 %.1f ms (%zu ticks)\n",
                    maximum(m_probe.blackHole), percentile(m_probe.blackHole, 0.999),
                    m_probe.blackHole.size());
    }
    std::fflush(stdout);
    const bool good = f.killRecoveries + f.holeRecoveries == f.kills + f.holes && onAirAtEnd &&
                      lameOnAir == 1 && lameStopped == 0;
    return good ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const int kills = argc > 1 ? std::max(0, std::atoi(argv[1])) : 100;
    const int holes = argc > 2 ? std::max(0, std::atoi(argv[2])) : 20;
    QApplication app(argc, argv);

    PulseServer pulse;
    if (!pulse.isRunning() || !pulse.playTone()) {
        std::fprintf(stderr, "sound server: %s\n", qPrintable(pulse.error()));
        return 2;
    }
    auto fx = std::make_unique<EngineFixture>();
    auto w = std::make_unique<TfmShoutcast2>(fx->ctx);
    w->setConsoleBarForTesting(&fx->consoleBar);
    w->show();
    fx->consoleBar.show();

    AirLog air;
    QObject::connect(w.get(), &TfmShoutcast2::airStateChanged, w.get(),
                     [&air, win = w.get()] { air.note(win->airState()); });
    StallProbe probe;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(StallProbe::intervalMs);
    QObject::connect(&tick, &QTimer::timeout, [&probe] { probe.tick(); });
    tick.start();
    StallWatch watch(probe, ::pthread_self(), 150);

    int code = 0;
    std::thread controller([&] {
        code = Soak(kills, holes, *w, air, probe).run();
        QMetaObject::invokeMethod(&app, &QCoreApplication::quit, Qt::QueuedConnection);
    });
    app.exec();
    controller.join();
    tick.stop();
    w.reset();
    fx.reset();
    return code;
}
