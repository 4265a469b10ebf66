// A capture that outlives its sound server: the server killed mid-cast and started again after
// a pause, the default source switched, the recorded device removed. Runs on PulseAudio, or on
// PipeWire with WL_SOUND_SERVER=pipewire. WL_CAPTURE_OUTAGES="3,60" replaces the pauses tried
// (seconds); each prints how long the audio took to come back.
#include "audiotesthelpers.h"
#include "bass.h"
#include "bassenc.h"
#include "encodetest.h"
#include "icecastserver.h"
#include "pulseserver.h"

#include <QtTest>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <vector>

using namespace audiotest;

namespace {

qint64 monotonicMs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return qint64(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

// Every block the capture handed on: when, how big, its peak.
struct BlockLog {
    struct Block {
        qint64 atMs;
        DWORD bytes;
        int peak;
    };
    std::mutex mutex;
    std::vector<Block> blocks;

    std::vector<Block> since(qint64 ms)
    {
        std::lock_guard lock(mutex);
        std::vector<Block> out;
        for (const Block& b : blocks)
            if (b.atMs >= ms)
                out.push_back(b);
        return out;
    }
    // When the first block at or after ms had a peak above peak (-1 when none).
    qint64 firstLoudSince(qint64 ms, int peak)
    {
        for (const Block& b : since(ms))
            if (b.peak > peak)
                return b.atMs;
        return -1;
    }
    int lastPeak()
    {
        std::lock_guard lock(mutex);
        return blocks.empty() ? -1 : blocks.back().peak;
    }
};

BOOL logBlock(HRECORD, const void* data, DWORD length, void* user)
{
    const auto* p = static_cast<const qint16*>(data);
    int peak = 0;
    for (DWORD i = 0; i < length / 2; ++i)
        peak = std::max(peak, std::abs(int(p[i])));
    auto* log = static_cast<BlockLog*>(user);
    std::lock_guard lock(log->mutex);
    log->blocks.push_back({monotonicMs(), length, peak});
    return BASS_TRUE;
}

constexpr double blockMs = 1152 * 1000.0 / 44100;

// Stops what a test started, however it ends (a running capture would call into the test's
// dead stack).
struct Captures {
    ~Captures()
    {
        for (HRECORD h : handles)
            BASS_ChannelStop(h);
        BASS_RecordFree();
    }
    QList<HRECORD> handles;
};

} // namespace

class TestCaptureRecovery : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void serverRestartKeepsTheCastUp_data();
    void serverRestartKeepsTheCastUp();
    void followsTheDefaultSourceAndARemovedDevice();
};

void TestCaptureRecovery::initTestCase()
{
    qInfo("sound server: %s", PulseServer::kindFromEnvironment() == PulseServer::Kind::PipeWire
                                  ? "PipeWire"
                                  : "PulseAudio");
}

void TestCaptureRecovery::serverRestartKeepsTheCastUp_data()
{
    QTest::addColumn<int>("pauseMs");
    QList<int> pauses{1000, 15000};
    if (qEnvironmentVariableIsSet("WL_CAPTURE_OUTAGES")) {
        pauses.clear();
        for (const QString& s : qEnvironmentVariable("WL_CAPTURE_OUTAGES").split(QLatin1Char(',')))
            pauses << qRound(s.toDouble() * 1000);
    }
    for (int p : pauses)
        QTest::addRow("%d ms down", p) << p;
}

void TestCaptureRecovery::serverRestartKeepsTheCastUp()
{
    QFETCH(int, pauseMs);
    PulseServer pulse;
    QVERIFY2(pulse.isRunning(), qPrintable(pulse.error()));
    QVERIFY(pulse.playTone(8000));
    IcecastServer ice;
    QVERIFY2(ice.isRunning(), qPrintable(ice.error()));
    QCOMPARE(BASS_RecordInit(-1), BASS_TRUE);
    const auto startCast = [&](HRECORD h) {
        const HENCODE enc = BASS_Encode_Start(
            h, lameCommand, BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, nullptr, nullptr);
        if (enc &&
            !BASS_Encode_CastInit(enc, ice.address(QStringLiteral("/live")).toUtf8().constData(),
                                  ice.options().sourcePassword.toUtf8().constData(), "audio/mpeg",
                                  "Radio di prova", "http://127.0.0.1", "Varietà", "Musica",
                                  nullptr, 128, BASS_TRUE))
            return HENCODE(0);
        return enc;
    };
    // Once, so that the counts below see only what this cast holds.
    {
        const HRECORD warm = BASS_RecordStart(44100, 2, 0, nullptr, nullptr);
        QVERIFY(startCast(warm) != 0);
        QVERIFY(ice.waitForSource(QStringLiteral("/live"), 5000));
        BASS_ChannelStop(warm);
        QVERIFY(ice.waitForSource(QStringLiteral("/live"), 5000, false));
        QVERIFY(waitFor([] { return childProcesses("lame").isEmpty(); }, 3000));
    }
    const int fds = openDescriptors();
    const int threads = threadCount();

    BlockLog log;
    Captures captures;
    const HRECORD h = BASS_RecordStart(44100, 2, 0, logBlock, &log);
    QVERIFY2(h != 0, BASS_LastErrorText());
    captures.handles << h;
    const HENCODE enc = startCast(h);
    QVERIFY2(enc != 0, BASS_LastErrorText());
    IcecastListener listener(ice.port(), QStringLiteral("/live"));
    QVERIFY(listener.isConnected());

    // Waits ms while the listener reads, checking that capture, encoder and cast stay up.
    qint64 heard = 0;
    QString down; // what went down first
    const auto run = [&](int ms) {
        QElapsedTimer t;
        t.start();
        qint64 lastCheck = 0; // the mount shows its source once audio came
        while (t.elapsed() < ms) {
            heard += listener.read(65536, 20).size();
            const auto check = [&](bool up, const char* what) {
                if (!up && down.isEmpty())
                    down = QString::fromLatin1(what);
            };
            check(BASS_ChannelIsActive(h) != 0, "the capture");
            check(BASS_Encode_IsActive(enc) != 0, "the encoder");
            check(BASS_Encode_CastIsAlive(enc) != 0, "the cast");
            if (t.elapsed() - lastCheck >= 1000) {
                lastCheck = t.elapsed();
                check(ice.hasSource(QStringLiteral("/live")), "the mount's source");
            }
        }
    };
    for (int i = 0; i < 30 && log.firstLoudSince(0, 6000) < 0; ++i)
        run(100);
    QVERIFY(log.firstLoudSince(0, 6000) > 0);

    const qint64 killedAt = monotonicMs();
    QVERIFY(pulse.kill());
    run(1000);
    QCOMPARE(BASS_ChannelIsActive(h), BASS_ACTIVE_STALLED);
    QCOMPARE(BASS_ChannelGetLevel(h), DWORD(0));
    run(std::max(0, pauseMs - 1000));
    const qint64 restartedAt = monotonicMs();
    QVERIFY2(pulse.restart(), qPrintable(pulse.error()));
    const qint64 backAt = pulse.backAtMs();

    // Silence meanwhile, in blocks of the one size, at the clock's pace.
    {
        const auto blocks = log.since(killedAt);
        int during = 0;
        for (const auto& b : blocks) {
            if (b.atMs >= backAt)
                break;
            QCOMPARE(b.bytes, DWORD(4608));
            if (b.atMs > killedAt + 200) {
                QCOMPARE(b.peak, 0);
                ++during;
            }
        }
        const double expected = (backAt - killedAt - 200) / blockMs;
        QVERIFY2(
            std::abs(during - expected) <= expected * 0.1 + 3,
            qPrintable(QStringLiteral("%1 blocks in %2 ms").arg(during).arg(backAt - killedAt)));
    }

    QElapsedTimer t;
    t.start();
    while (log.firstLoudSince(backAt, 6000) < 0 && t.elapsed() < 5000)
        run(10);
    const qint64 audioAt = log.firstLoudSince(backAt, 6000);
    QVERIFY(audioAt > 0);
    qInfo("down %d ms: audio back %lld ms after the server was (%lld ms after its restart "
          "began)",
          pauseMs, audioAt - backAt, audioAt - restartedAt);
    QVERIFY2(audioAt - backAt <= 2000, qPrintable(QString::number(audioAt - backAt)));
    QCOMPARE(BASS_ChannelIsActive(h), BASS_ACTIVE_PLAYING);
    heard = 0;
    run(1500);
    QVERIFY2(down.isEmpty(), qPrintable(down + QStringLiteral(" went down")));
    QVERIFY2(heard > 8000,
             qPrintable(QString::number(heard))); // 128 kbit/s for 1.5 s: 24000
    QVERIFY(ice.hasSource(QStringLiteral("/live")));

    QCOMPARE(BASS_ChannelStop(h), BASS_TRUE);
    listener.close();
    QVERIFY(waitFor([] { return childProcesses("lame").isEmpty(); }, 3000));
    QVERIFY(waitFor([&] { return openDescriptors() == fds; }, 3000));
    QVERIFY(waitFor([&] { return threadCount() == threads; }, 3000));
}

void TestCaptureRecovery::followsTheDefaultSourceAndARemovedDevice()
{
    PulseServer pulse({{QStringLiteral("s1"), QStringLiteral("Uno")},
                       {QStringLiteral("s2"), QStringLiteral("Due")}});
    QVERIFY2(pulse.isRunning(), qPrintable(pulse.error()));
    QVERIFY(pulse.playTone(8000, QStringLiteral("s1")));
    QCOMPARE(BASS_RecordInit(-1), BASS_TRUE);
    BlockLog log;
    Captures captures;
    const HRECORD h = BASS_RecordStart(44100, 2, 0, logBlock, &log);
    QVERIFY2(h != 0, BASS_LastErrorText());
    captures.handles << h;
    const auto peakNear = [&](int peak) {
        return waitFor(
            [&] {
                const int p = log.lastPeak();
                return p > peak - peak / 8 - 50 && p < peak + peak / 8 + 50;
            },
            2000);
    };
    QVERIFY(peakNear(8000));

    // Nothing plays into s2: its monitor's silence, then its tone.
    QVERIFY(pulse.setDefaultSource(QStringLiteral("s2")));
    QVERIFY(peakNear(0));
    QVERIFY(pulse.playTone(16000, QStringLiteral("s2")));
    QVERIFY(peakNear(16000));

    // s2 goes away: the capture goes on from what is the default then, s1's monitor.
    QString module;
    for (const QString& line :
         pulse.pactl({QStringLiteral("list"), QStringLiteral("short"), QStringLiteral("modules")})
             .split(QLatin1Char('\n'))) {
        if (line.contains(QStringLiteral("sink_name=s2")))
            module = line.section(QLatin1Char('\t'), 0, 0);
    }
    QVERIFY(!module.isEmpty());
    pulse.stopPlaying();
    bool ok = false;
    pulse.pactl({QStringLiteral("unload-module"), module}, &ok);
    QVERIFY(ok);
    QVERIFY(pulse.playTone(8000, QStringLiteral("s1")));
    QVERIFY(peakNear(8000));
    QVERIFY(BASS_ChannelIsActive(h) != 0);
    QVERIFY(waitFor([&] { return BASS_ChannelIsActive(h) == BASS_ACTIVE_PLAYING; }, 2000));
}

QTEST_GUILESS_MAIN(TestCaptureRecovery)
#include "tst_capture_recovery.moc"
