// The desktop's notices and the music player's titles, on a private session bus with a
// recording notification server and fake players.
#include "deadairwatch.h"
#include "desktopnotices.h"
#include "fakempris.h"
#include "mpristitlesource.h"
#include "notificationserver.h"
#include "sessionbus.h"
#include "stationstatus.h"
#include "wllog.h"

#include <QSignalSpy>
#include <QTimer>
#include <QtTest>
#include <memory>
#include <mutex>

using namespace std::chrono_literals;

class TestNotices : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cutGivesOneNoticeAndOneBack();
    void flappingLinkUpdatesOneNotice();
    void silenceGivesDeadAirAndSoundClearsIt();
    void playerTrackChangesBecomeTitles();

private:
    std::unique_ptr<SessionBus> m_bus;
};

void TestNotices::initTestCase()
{
    wllog::install(false);
    m_bus = std::make_unique<SessionBus>();
    QVERIFY2(m_bus->isRunning(), qPrintable(m_bus->error()));
}

void TestNotices::cutGivesOneNoticeAndOneBack()
{
    NotificationServer server(m_bus->connect(QStringLiteral("notices")));
    QVERIFY(server.isRegistered());
    StationStatus status;
    DesktopNotices notices(&status, m_bus->connect(QStringLiteral("app")));
    notices.setOffAirDelay(500ms);

    // Start-up: off the air until the first connection, however long it takes.
    status.setOffAir(QStringLiteral("avvio"));
    QTest::qWait(700);
    status.setOnAir();
    QTest::qWait(100);
    QCOMPARE(server.calls().size(), 0);

    // A drop shorter than the delay says nothing.
    status.setReconnecting(QStringLiteral("connessione chiusa"));
    QTest::qWait(50);
    status.setOnAir();
    QTest::qWait(700);
    QCOMPARE(server.calls().size(), 0);

    status.setReconnecting(QStringLiteral("server irraggiungibile"));
    QTRY_COMPARE(server.calls().size(), 1);
    const NotificationServer::Call off = server.calls().at(0);
    QCOMPARE(off.replacesId, 0u);
    QCOMPARE(off.summary, QStringLiteral("Stazione fuori onda"));
    QVERIFY2(off.body.contains(QStringLiteral("server irraggiungibile")), qPrintable(off.body));
    QCOMPARE(off.expireTimeout, 0); // stays until seen

    status.setOffAir(QStringLiteral("arrestata")); // still off: nothing new
    QTest::qWait(700);
    QCOMPARE(server.calls().size(), 1);

    status.setOnAir();
    QTRY_COMPARE(server.calls().size(), 2);
    const NotificationServer::Call back = server.calls().at(1);
    QCOMPARE(back.summary, QStringLiteral("Di nuovo in onda"));
    QCOMPARE(back.replacesId, off.id);
    QCOMPARE(server.notices(), 1);

    // The end of the run: the engine stops, nothing is said.
    notices.stop();
    status.setOffAir(QStringLiteral("fine"));
    QTest::qWait(700);
    QCOMPARE(server.calls().size(), 2);
}

void TestNotices::flappingLinkUpdatesOneNotice()
{
    NotificationServer server(m_bus->connect(QStringLiteral("notices")));
    QVERIFY(server.isRegistered());
    StationStatus status;
    DesktopNotices notices(&status, m_bus->connect(QStringLiteral("app")));
    constexpr auto delay = 40ms;
    notices.setOffAirDelay(delay);
    status.setOnAir();

    // Twenty drops, each just past the delay; the link comes back while the "off" notice may
    // still be on its way to the server.
    for (int i = 0; i < 20; ++i) {
        status.setReconnecting(QStringLiteral("connessione interrotta %1").arg(i));
        QTest::qWait(delay.count() + 15);
        status.setOnAir();
        QTest::qWait(5);
    }
    QTRY_VERIFY(notices.idle());
    QTest::qWait(100);
    QTRY_VERIFY(notices.idle());

    QCOMPARE(server.notices(), 1);
    QCOMPARE(server.open().size(), 1);
    QVERIFY(server.calls().size() >= 2);
    QVERIFY(server.calls().size() <= 40);
    for (const auto& c : server.calls())
        QCOMPARE(c.id, server.calls().first().id);
    QCOMPARE(server.calls().last().summary, QStringLiteral("Di nuovo in onda"));
}

void TestNotices::silenceGivesDeadAirAndSoundClearsIt()
{
    std::mutex mutex;
    QStringList lines;
    const int sink = wllog::addSink([&](const wllog::Line& l) {
        if (l.text.startsWith(QStringLiteral("Dead air"))) {
            std::lock_guard lock(mutex);
            lines << l.text;
        }
    });
    auto cleanup = qScopeGuard([&] { wllog::removeSink(sink); });

    NotificationServer server(m_bus->connect(QStringLiteral("notices")));
    QVERIFY(server.isRegistered());
    StationStatus status;
    DesktopNotices notices(&status, m_bus->connect(QStringLiteral("app")));
    status.deadAir().setBound(1000ms);
    status.setOnAir();

    // The meter's readings, a few a second: a faint noise bed, below the threshold.
    double level = -62.0;
    QTimer meter;
    QObject::connect(&meter, &QTimer::timeout, [&] { status.setLevel(level); });
    meter.start(50);

    QTest::qWait(300);
    QCOMPARE(status.state(), StationStatus::State::OnAir);
    QTRY_COMPARE(status.state(), StationStatus::State::DeadAir);
    QTRY_COMPARE(server.calls().size(), 1);
    QCOMPARE(server.calls().at(0).summary, QStringLiteral("Silenzio in onda"));

    level = -14.0;
    QTRY_COMPARE(status.state(), StationStatus::State::OnAir);
    QTRY_COMPARE(server.closed().size(), 1);
    QCOMPARE(server.closed().at(0), server.calls().at(0).id);

    // Sound that comes back in bursts shorter than the bound: never dead air again.
    for (int i = 0; i < 6; ++i) {
        level = i % 2 ? -14.0 : -70.0;
        QTest::qWait(150);
        QCOMPARE(status.state(), StationStatus::State::OnAir);
    }
    meter.stop();
    QCOMPARE(server.calls().size(), 1);
    std::lock_guard lock(mutex);
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines.at(1).startsWith(QStringLiteral("Dead air ends")));
}

void TestNotices::playerTrackChangesBecomeTitles()
{
    // A player already playing when the program starts.
    FakeMprisPlayer a(m_bus->connect(QStringLiteral("a")), QStringLiteral("primo"));
    QVERIFY(a.isRegistered());
    a.play({QStringLiteral("Lùcio")}, QStringLiteral("Perché è già l’una"));

    MprisTitleSource source(m_bus->connect(QStringLiteral("app")));
    QSignalSpy titles(&source, &MprisTitleSource::titleChanged);
    QTRY_COMPARE(titles.size(), 1);
    QCOMPARE(titles.at(0).at(0).toString(), QStringLiteral("Lùcio - Perché è già l’una"));

    a.play({}, QStringLiteral("Senza autore"));
    QTRY_COMPARE(titles.size(), 2);
    QCOMPARE(titles.at(1).at(0).toString(), QStringLiteral("Senza autore"));

    // A second player that starts later is the one that counts.
    QDBusConnection bConnection = m_bus->connect(QStringLiteral("b"));
    FakeMprisPlayer b(bConnection, QStringLiteral("secondo"));
    QVERIFY(b.isRegistered());
    QTest::qWait(200); // found while stopped: nothing yet
    QCOMPARE(titles.size(), 2);
    b.play({QStringLiteral("Uno"), QStringLiteral("Due")}, QStringLiteral("Insieme"));
    QTRY_COMPARE(titles.size(), 3);
    QCOMPARE(titles.at(2).at(0).toString(), QStringLiteral("Uno, Due - Insieme"));
    QCOMPARE(source.currentPlayer(), QStringLiteral("org.mpris.MediaPlayer2.secondo"));

    // The first one changes track meanwhile: not the one on the air.
    a.play({QStringLiteral("X")}, QStringLiteral("Fuori"));
    QTest::qWait(200);
    QCOMPARE(titles.size(), 3);

    // Paused, then quitting: the last title stays.
    a.pause();
    b.pause();
    QTest::qWait(200);
    b.quit();
    m_bus->disconnect(bConnection);
    QTest::qWait(200);
    QCOMPARE(titles.size(), 3);
    QCOMPARE(source.title(), QStringLiteral("Uno, Due - Insieme"));

    // The first resumes: its track is the one playing.
    a.resume();
    QTRY_COMPARE(titles.size(), 4);
    QCOMPARE(titles.at(3).at(0).toString(), QStringLiteral("X - Fuori"));
}

QTEST_MAIN(TestNotices)
#include "tst_notices.moc"
