// Casting to a real Icecast server in both address forms: what a listener receives, titles,
// listener counts, refusals, and the deaths of the server connection.
#include "audiotesthelpers.h"
#include "bass.h"
#include "bassenc.h"
#include "encodetest.h"
#include "faultproxy.h"
#include "icecastserver.h"
#include "loopbackresponder.h"
#include "pulseserver.h"

#include <QtTest>
#include <atomic>
#include <csignal>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace audiotest;

namespace {

struct Cast {
    HRECORD channel = 0;
    HENCODE encoder = 0;
    bool ok = false;
    ~Cast()
    {
        if (channel)
            BASS_ChannelStop(channel);
    }
};

// The engine's start attempt, in short.
std::unique_ptr<Cast> startCast(const QString& server, const QString& password,
                                const char* name = "Radio di prova")
{
    auto c = std::make_unique<Cast>();
    c->channel = BASS_RecordStart(44100, 2, 0, whileEncoding, nullptr);
    if (!c->channel)
        return c;
    c->encoder = BASS_Encode_Start(c->channel, lameCommand,
                                   BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, nullptr, nullptr);
    if (!c->encoder)
        return c;
    c->ok =
        BASS_Encode_CastInit(c->encoder, server.toUtf8().constData(), password.toUtf8().constData(),
                             "audio/mpeg", name, "http://127.0.0.1", "Varietà", "Musica e parole",
                             nullptr, 128, BASS_TRUE) != 0;
    return c;
}

// The engine's listener-count query, one after the other, on a thread of its own.
class StatsPoller {
public:
    explicit StatsPoller(HENCODE enc)
        : m_thread([this, enc] {
              while (!m_quit.load()) {
                  BASS_Encode_CastGetStats(enc, BASS_ENCODE_STATS_ICE, nullptr);
                  std::this_thread::sleep_for(std::chrono::milliseconds(200));
              }
          })
    {}
    ~StatsPoller()
    {
        m_quit = true;
        m_thread.join();
    }

private:
    std::atomic<bool> m_quit{false};
    std::thread m_thread;
};

QString mountOf(const QString& server)
{
    const int slash = server.indexOf(QLatin1Char('/'));
    return slash < 0 ? QStringLiteral("/stream") : server.mid(slash);
}

} // namespace

class TestCast : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void listenerReceivesTheStream_data();
    void listenerReceivesTheStream();
    void titlesReachTheServer_data();
    void titlesReachTheServer();
    void listenerCount();
    void refusedQuickly_data();
    void refusedQuickly();
    void mountInUse_data();
    void mountInUse();
    void killedServerIsNotified();
    void hungServerIsNotifiedByTheWatchdog();
    void killedEncoderIsReplacedMidCast();
    void encoderThatDiesAtOnceInALoop();
    void titlesThatCannotHurtTheStream();
    void blackHoleIsSeenAndTheStationReturns();
    void stalledStatisticsDoNotEndTheCast();
    void nothingLeftAfterFree();

private:
    std::unique_ptr<PulseServer> m_pulse;
    std::unique_ptr<IcecastServer> m_ice;
};

void TestCast::initTestCase()
{
    m_pulse = std::make_unique<PulseServer>();
    QVERIFY2(m_pulse->isRunning(), qPrintable(m_pulse->error()));
    QVERIFY(m_pulse->playTone());
    m_ice = std::make_unique<IcecastServer>();
    QVERIFY2(m_ice->isRunning(), qPrintable(m_ice->error()));
    QCOMPARE(BASS_RecordInit(-1), BASS_TRUE);
}

void TestCast::cleanupTestCase()
{
    BASS_RecordFree();
    m_ice.reset();
    m_pulse.reset();
}

void TestCast::listenerReceivesTheStream_data()
{
    QTest::addColumn<QString>("mount");
    QTest::newRow("SHOUTcast address") << QString();
    QTest::newRow("Icecast address") << QStringLiteral("/live");
}

void TestCast::listenerReceivesTheStream()
{
    QFETCH(QString, mount);
    const QString server = m_ice->address(mount);
    auto cast = startCast(server, m_ice->options().sourcePassword);
    QVERIFY2(cast->ok, BASS_LastErrorText());
    QVERIFY(BASS_Encode_CastIsAlive(cast->encoder) != 0);
    QVERIFY(m_ice->waitForSource(mountOf(server), 3000));
    const IcecastServer::Listen l = m_ice->listen(mountOf(server), 64000, 20000);
    QVERIFY2(l.ok, l.headers.constData());
    const Mp3Header h = firstMp3Frame(l.audio);
    QVERIFY(h.valid);
    QCOMPARE(h.version, 1);
    QCOMPARE(h.bitrateKbps, 128);
    QCOMPARE(h.sampleRate, 44100);
    QVERIFY(h.stereo);
    const QByteArray pcm = decodeMp3(l.audio);
    QVERIFY(pcm.size() > 44100 * 4);
    QVERIFY2(medianToneLevel(pcm.mid(pcm.size() / 2), 1000) > 0.15, "the 1 kHz tone is missing");
    // The stream's headers.
    QVERIFY2(l.headers.contains("icy-name:Radio di prova"), l.headers.constData());
    QVERIFY(l.headers.contains("icy-genre:Varietà"));
    QVERIFY(l.headers.contains("icy-br:128"));
    // The SHOUTcast source protocol has no description header.
    if (!mount.isEmpty())
        QVERIFY(m_ice->statusJson().contains("Musica e parole"));
}

void TestCast::titlesReachTheServer_data()
{
    QTest::addColumn<QString>("mount");
    QTest::newRow("SHOUTcast address") << QString();
    QTest::newRow("Icecast address") << QStringLiteral("/titles");
}

void TestCast::titlesReachTheServer()
{
    QFETCH(QString, mount);
    const QString server = m_ice->address(mount);
    auto cast = startCast(server, m_ice->options().sourcePassword);
    QVERIFY2(cast->ok, BASS_LastErrorText());
    // Typographic punctuation goes as its plain look-alike, so that neither a server of single
    // bytes ('?') nor a mount of the default charset (HTML entities) spoils it; accents stay.
    const QString title = QStringLiteral("Perché è già l’una — Lùcio");
    const QString expected = QStringLiteral("Perché è già l'una - Lùcio");
    // Typed one letter at a time, as the title box sends it.
    for (int i = 1; i <= title.size(); ++i)
        QCOMPARE(
            BASS_Encode_CastSetTitle(cast->encoder, title.left(i).toUtf8().constData(), nullptr),
            BASS_TRUE);
    const bool arrived = waitFor([&] { return m_ice->title(mountOf(server)) == expected; }, 5000);
    QVERIFY2(arrived, qPrintable(m_ice->title(mountOf(server))));
    // A listener asking for ICY metadata sees it too.
    BASS_Encode_CastSetTitle(cast->encoder, "Ultimo \u201Cbrano\u201D", nullptr);
    QVERIFY(waitFor(
        [&] { return m_ice->title(mountOf(server)) == QStringLiteral("Ultimo \"brano\""); }, 5000));
    const IcecastServer::Listen l = m_ice->listen(mountOf(server), 40000, 15000, true);
    QVERIFY(l.ok);
    QVERIFY2(l.titles.contains(QStringLiteral("Ultimo \"brano\"")), qPrintable(l.titles.join('|')));
}

void TestCast::listenerCount()
{
    auto count = [](HENCODE enc) {
        const char* s = BASS_Encode_CastGetStats(enc, BASS_ENCODE_STATS_ICE, nullptr);
        const QByteArray xml(s ? s : "");
        const qsizetype at = xml.indexOf("<Listeners>");
        return at < 0 ? -1 : xml.mid(at + 11).split('<').first().toInt();
    };
    for (const QString& mount : {QString(), QStringLiteral("/count")}) {
        const QString server = m_ice->address(mount);
        auto cast = startCast(server, m_ice->options().sourcePassword);
        QVERIFY2(cast->ok, BASS_LastErrorText());
        QCOMPARE(count(cast->encoder), 0);
        {
            IcecastListener a(m_ice->port(), mountOf(server));
            IcecastListener b(m_ice->port(), mountOf(server));
            QVERIFY(waitFor([&] { return count(cast->encoder) == 2; }, 5000));
            a.close();
            QVERIFY(waitFor([&] { return count(cast->encoder) == 1; }, 5000));
        }
        QVERIFY(waitFor([&] { return count(cast->encoder) == 0; }, 5000));
        // Icecast serves no SHOUTcast status page: no answer at all.
        QCOMPARE(BASS_Encode_CastGetStats(cast->encoder, BASS_ENCODE_STATS_SHOUT, nullptr),
                 nullptr);
    }
}

void TestCast::refusedQuickly_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("withinMs");
    const QString pw = QStringLiteral("hackme");
    QTest::newRow("wrong password, SHOUTcast") << QString() << "wrong" << 2000;
    QTest::newRow("wrong password, Icecast") << "/live"
                                             << "wrong" << 2000;
    const QString closed = QStringLiteral("127.0.0.1:%1").arg(freePortPair());
    QTest::newRow("nothing listening, SHOUTcast") << closed << pw << 2000;
    QTest::newRow("nothing listening, Icecast") << closed + "/live" << pw << 2000;
    QTest::newRow("not a server address") << "127.0.0.1" << pw << 500;
}

void TestCast::refusedQuickly()
{
    QFETCH(QString, server);
    QFETCH(QString, password);
    QFETCH(int, withinMs);
    if (server.isEmpty() || server.startsWith(QLatin1Char('/')))
        server = m_ice->address(server);
    QElapsedTimer t;
    t.start();
    auto cast = startCast(server, password);
    QVERIFY(cast->encoder != 0);
    QVERIFY(!cast->ok);
    QVERIFY2(t.elapsed() < withinMs, qPrintable(QString::number(t.elapsed())));
    QVERIFY(QByteArray(BASS_LastErrorText()).size() > 0);
    QCOMPARE(BASS_Encode_CastIsAlive(cast->encoder), BASS_FALSE);
    QCOMPARE(BASS_Encode_CastSetTitle(cast->encoder, "x", nullptr), BASS_FALSE);
}

void TestCast::mountInUse_data()
{
    QTest::addColumn<QString>("mount");
    QTest::newRow("SHOUTcast address") << QString();
    QTest::newRow("Icecast address") << QStringLiteral("/busy");
}

void TestCast::mountInUse()
{
    QFETCH(QString, mount);
    auto first = startCast(m_ice->address(mount), m_ice->options().sourcePassword);
    QVERIFY2(first->ok, BASS_LastErrorText());
    QElapsedTimer t;
    t.start();
    auto second = startCast(m_ice->address(mount), m_ice->options().sourcePassword);
    QVERIFY(!second->ok);
    QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
    QVERIFY(BASS_Encode_CastIsAlive(first->encoder) != 0);
}

void TestCast::killedServerIsNotified()
{
    // An unanswering server: connected, never answered; the connect time-out ends the wait.
    {
        LoopbackResponder silent(QByteArray(), true);
        QElapsedTimer t;
        t.start();
        auto cast = startCast(QStringLiteral("127.0.0.1:%1/live").arg(silent.port()), "x");
        QVERIFY(!cast->ok);
        QVERIFY2(t.elapsed() < 8000, qPrintable(QString::number(t.elapsed())));
    }
    auto cast =
        startCast(m_ice->address(QStringLiteral("/killed")), m_ice->options().sourcePassword);
    QVERIFY2(cast->ok, BASS_LastErrorText());
    Notices n;
    n.sinceStart.start();
    BASS_Encode_SetNotify(cast->encoder, notifyProc, &n);
    m_ice->kill();
    QVERIFY(waitFor([&] { return !n.get().empty(); }, 5000));
    QCOMPARE(n.get().front(), BASS_ENCODE_NOTIFY_CAST);
    QCOMPARE(BASS_Encode_CastIsAlive(cast->encoder), BASS_FALSE);
    // The encoder and the capture go on; a stop ends them without a further notice.
    QVERIFY(BASS_Encode_IsActive(cast->encoder) != 0);
    QVERIFY(m_ice->start());
    // Casting again needs a new start, which the old mount no longer blocks.
    auto again =
        startCast(m_ice->address(QStringLiteral("/killed")), m_ice->options().sourcePassword);
    QVERIFY2(again->ok, BASS_LastErrorText());
    BASS_ChannelStop(cast->channel);
    cast->channel = 0;
    BASS_Layer_WaitForNotifications();
    QCOMPARE(n.get().size(), size_t(1));
}

void TestCast::hungServerIsNotifiedByTheWatchdog()
{
    auto cast = startCast(m_ice->address(QStringLiteral("/hung")), m_ice->options().sourcePassword);
    QVERIFY2(cast->ok, BASS_LastErrorText());
    Notices n;
    BASS_Encode_SetNotify(cast->encoder, notifyProc, &n);
    QTest::qWait(1000);
    n.sinceStart.start();
    m_ice->suspend();
    bool notified = false;
    {
        StatsPoller poller(cast->encoder);
        notified = waitFor([&] { return !n.get().empty(); }, 30000);
    }
    m_ice->resume();
    QVERIFY(notified);
    qInfo("watchdog reported the hung server after %lld ms", n.firstAtMs.load());
    QCOMPARE(n.get().front(), BASS_ENCODE_NOTIFY_CAST);
    QVERIFY(n.firstAtMs.load() < 12000);
}

void TestCast::killedEncoderIsReplacedMidCast()
{
    auto cast =
        startCast(m_ice->address(QStringLiteral("/relame")), m_ice->options().sourcePassword);
    QVERIFY2(cast->ok, BASS_LastErrorText());
    Notices n;
    BASS_Encode_SetNotify(cast->encoder, notifyProc, &n);
    IcecastListener listener(m_ice->port(), QStringLiteral("/relame"));
    QVERIFY(listener.isConnected());
    QVERIFY(listener.read(65536, 3000).size() > 0);
    const QList<pid_t> before = childProcesses("lame");
    QCOMPARE(before.size(), 1);
    ::kill(before.first(), SIGKILL);
    QVERIFY(waitFor(
        [&] {
            const QList<pid_t> now = childProcesses("lame");
            return now.size() == 1 && now.first() != before.first();
        },
        1000));
    // The listener's stream goes on from the new encoder; nobody was told of a death.
    QByteArray after;
    QVERIFY(waitFor(
        [&] {
            after += listener.read(65536, 200);
            return after.size() > 3 * 16000;
        },
        8000));
    QVERIFY(firstMp3Frame(after.right(16000)).valid);
    QCOMPARE(childProcesses("lame").size(), 1); // no zombie, no second encoder
    QVERIFY(BASS_Encode_CastIsAlive(cast->encoder) != 0);
    QVERIFY(n.get().empty());
}

void TestCast::encoderThatDiesAtOnceInALoop()
{
    // An encoder install that is broken: the encoder dies as soon as it starts, again and
    // again, while the cast connects; the engine stops the cast from another thread when it is
    // told, and starts a new one.
    QTemporaryDir bin;
    QFile script(bin.filePath(QStringLiteral("lame")));
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nexit 3\n");
    script.close();
    script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", bin.path().toLocal8Bit() + ':' + path);
    struct Stopper {
        std::atomic<HRECORD> channel{0};
        std::atomic<int> notices{0};
    } stopper;
    auto onNotice = [](HENCODE, DWORD, void* user) {
        auto* s = static_cast<Stopper*>(user);
        ++s->notices;
        // The engine's course: the stop comes from another thread than the layer's.
        std::thread([s] { BASS_ChannelStop(s->channel.load()); }).join();
    };
    QElapsedTimer total;
    total.start();
    for (int i = 0; i < 30; ++i) {
        const HRECORD ch = BASS_RecordStart(44100, 2, 0, whileEncoding, nullptr);
        QVERIFY(ch != 0);
        stopper.channel = ch;
        const HENCODE enc =
            BASS_Encode_Start(ch, lameCommand, BASS_ENCODE_NOHEAD, nullptr, nullptr);
        if (enc != 0) {
            BASS_Encode_SetNotify(enc, onNotice, &stopper);
            BASS_Encode_CastInit(enc, m_ice->address(QStringLiteral("/dying")).toUtf8().constData(),
                                 "hackme", "audio/mpeg", "x", "", "", "", nullptr, 128, BASS_FALSE);
            QTest::qWait(i * 8 % 250);
        }
        QElapsedTimer t;
        t.start();
        BASS_ChannelStop(ch);
        QVERIFY2(t.elapsed() < 3000, qPrintable(QString::number(t.elapsed())));
    }
    qputenv("PATH", path);
    BASS_Layer_WaitForNotifications();
    qInfo("30 starts with a dying encoder: %lld ms, %d death notices", total.elapsed(),
          stopper.notices.load());
    QVERIFY(waitFor([] { return childProcesses("lame").isEmpty(); }, 2000));
    // The engine's next start, with an encoder that works, goes on the air.
    auto cast = startCast(m_ice->address(QStringLiteral("/dying")), "hackme");
    QVERIFY2(cast->ok, BASS_LastErrorText());
    QCOMPARE(childProcesses("lame").size(), 1);
}

void TestCast::titlesThatCannotHurtTheStream()
{
    auto cast = startCast(m_ice->address(QStringLiteral("/long")), m_ice->options().sourcePassword);
    QVERIFY2(cast->ok, BASS_LastErrorText());
    IcecastListener listener(m_ice->port(), QStringLiteral("/long"));
    QVERIFY(listener.read(65536, 3000).size() > 0);
    const QByteArray pasted = QString(QStringLiteral("è")).repeated(5000).toUtf8();
    const QByteArray broken("Prima riga\r\nGET / HTTP/1.0\r\n\tfine");
    QElapsedTimer t;
    for (const QByteArray& title : {pasted, broken}) {
        t.start();
        QCOMPARE(BASS_Encode_CastSetTitle(cast->encoder, title.constData(), nullptr), BASS_TRUE);
        QVERIFY2(t.elapsed() < 50, qPrintable(QString::number(t.elapsed())));
    }
    // The latest arrives with its control characters as blanks.
    QVERIFY(waitFor(
        [&] {
            return m_ice->title(QStringLiteral("/long")) == "Prima riga  GET / HTTP/1.0   fine";
        },
        5000));
    // The long one, cut at a character boundary to 255 bytes, is taken whole by the server.
    BASS_Encode_CastSetTitle(cast->encoder, pasted.constData(), nullptr);
    QVERIFY(waitFor(
        [&] {
            return m_ice->title(QStringLiteral("/long")) ==
                   QString(QStringLiteral("è")).repeated(127);
        },
        5000));
    // The stream went on throughout.
    QByteArray after;
    QVERIFY(waitFor(
        [&] {
            after += listener.read(65536, 200);
            return after.size() > 2 * 16000;
        },
        6000));
    QVERIFY(BASS_Encode_CastIsAlive(cast->encoder) != 0);
}

void TestCast::blackHoleIsSeenAndTheStationReturns()
{
    FaultProxy proxy(m_ice->port());
    QVERIFY(proxy.start());
    const QString server = QStringLiteral("127.0.0.1:%1/hole").arg(proxy.port());
    auto cast = startCast(server, m_ice->options().sourcePassword);
    QVERIFY2(cast->ok, BASS_LastErrorText());
    Notices n;
    BASS_Encode_SetNotify(cast->encoder, notifyProc, &n);
    {
        StatsPoller poller(cast->encoder);
        QTest::qWait(1500);
        n.sinceStart.start();
        proxy.setMode(FaultProxy::Mode::BlackHole);
        QVERIFY(waitFor([&] { return !n.get().empty(); }, 15000));
    }
    qInfo("black hole seen after %lld ms", n.firstAtMs.load());
    QVERIFY(n.firstAtMs.load() <= 10000);
    QCOMPARE(n.get().front(), BASS_ENCODE_NOTIFY_CAST);
    // The path clears, and a link flap leaves the server holding the old source for a while
    // ("Mountpoint in use"): starts are refused quickly until it lets go, then one goes on air.
    proxy.setMode(FaultProxy::Mode::Pass);
    proxy.holdHalfOpen();
    cast.reset();
    QElapsedTimer back;
    back.start();
    std::unique_ptr<Cast> again;
    while (back.elapsed() < 25000) {
        QElapsedTimer attempt;
        attempt.start();
        again = startCast(server, m_ice->options().sourcePassword);
        QVERIFY2(attempt.elapsed() < 8000, qPrintable(QString::number(attempt.elapsed())));
        if (again->ok)
            break;
        again.reset();
        QTest::qWait(1000);
    }
    QVERIFY(again && again->ok);
    qInfo("back on the air %lld ms after the path cleared", back.elapsed());
    QVERIFY(m_ice->waitForSource(QStringLiteral("/hole"), 3000));
}

void TestCast::stalledStatisticsDoNotEndTheCast()
{
    FaultProxy proxy(m_ice->port());
    QVERIFY(proxy.start());
    auto cast = startCast(QStringLiteral("127.0.0.1:%1/slow").arg(proxy.port()),
                          m_ice->options().sourcePassword);
    QVERIFY2(cast->ok, BASS_LastErrorText());
    Notices n;
    BASS_Encode_SetNotify(cast->encoder, notifyProc, &n);
    StatsPoller poller(cast->encoder);
    // A 6 s stall of everything the server says (a slow name server does the same to a
    // query), then the path is clear again.
    proxy.setDelayMs(6000);
    proxy.setMode(FaultProxy::Mode::Delay);
    QTest::qWait(6000);
    proxy.setMode(FaultProxy::Mode::Pass);
    QTest::qWait(6000);
    QVERIFY(n.get().empty());
    QVERIFY(BASS_Encode_CastIsAlive(cast->encoder) != 0);
}

void TestCast::nothingLeftAfterFree()
{
    {
        auto warm =
            startCast(m_ice->address(QStringLiteral("/warm")), m_ice->options().sourcePassword);
        QVERIFY(warm->ok);
    }
    const int fds = openDescriptors();
    const int threads = threadCount();
    for (int i = 0; i < 3; ++i) {
        auto cast = startCast(m_ice->address(i % 2 ? QStringLiteral("/leak") : QString()),
                              m_ice->options().sourcePassword);
        QVERIFY2(cast->ok, BASS_LastErrorText());
        BASS_Encode_CastSetTitle(cast->encoder, "titolo", nullptr);
        QVERIFY(BASS_Encode_CastGetStats(cast->encoder, BASS_ENCODE_STATS_ICE, nullptr));
        QVERIFY(m_ice->waitForSource(i % 2 ? QStringLiteral("/leak") : QStringLiteral("/stream"),
                                     5000));
    }
    QVERIFY(childProcesses("lame").isEmpty());
    QCOMPARE(openDescriptors(), fds);
    QVERIFY(waitFor([&] { return threadCount() == threads; }, 2000));
}

QTEST_GUILESS_MAIN(TestCast)
#include "tst_cast.moc"
