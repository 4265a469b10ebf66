// The console on the air from sign-in on: a private PulseAudio server playing a tone, Debian's
// lame and real Icecast servers, one per station. The go-on-air button says what the server
// has; a sign-in as another station moves the source.
#include "consoleharness.h"
#include "icecastserver.h"
#include "pulseserver.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>
#include <memory>

using namespace consoletest;

namespace {

const QString kStream = QStringLiteral("/stream");

IcecastServer::Options stationServer()
{
    IcecastServer::Options o;
    o.sourcePassword = QStringLiteral("SEGRETA"); // the account's password is the stream's
    return o;
}

TestAccount station(int id, const QString& name, quint16 port)
{
    TestAccount a;
    a.id = id;
    a.user = QStringLiteral("utente%1").arg(id);
    a.email = QStringLiteral("RADIO%1@RADIO.EXAMPLE").arg(id);
    a.password = QStringLiteral("SEGRETA");
    a.station = name;
    a.port = QString::number(port);
    return a;
}

QString caption()
{
    return Form2wma->btvaiinonda->text();
}

// The layout's caption is "SEI IN ONDA" too: first the outcome of the show step's attempt.
bool signedInOnAir(Session& s, const TestAccount& a)
{
    s.signIn(a);
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 15000 && (fmShoutcast2->attemptPending() ||
                                   fmShoutcast2->airState() != TfmShoutcast2::AirState::OnAir))
        QTest::qWait(20);
    return fmShoutcast2->airState() == TfmShoutcast2::AirState::OnAir;
}

} // namespace

class TstConsoleOnAir : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void buttonFollowsTheServer();
    void secondSignInMovesTheStation();

private:
    std::unique_ptr<PulseServer> m_pulse;
};

void TstConsoleOnAir::initTestCase()
{
    m_pulse = std::make_unique<PulseServer>();
    QVERIFY2(m_pulse->isRunning(), qPrintable(m_pulse->error()));
    QVERIFY(m_pulse->playTone());
}

void TstConsoleOnAir::cleanupTestCase()
{
    m_pulse.reset();
}

void TstConsoleOnAir::buttonFollowsTheServer()
{
    IcecastServer ice(stationServer());
    QVERIFY2(ice.isRunning(), qPrintable(ice.error()));
    Session s;
    const TestAccount a = station(1, QStringLiteral("Radio Uno"), ice.port());
    s.db().addAccount(a);
    QVERIFY(s.start());
    QVERIFY(signedInOnAir(s, a));
    QCOMPARE(caption(), TForm2wma::onAirCaption());
    QVERIFY(ice.waitForSource(kStream, 5000));

    // The server goes: the engine reconnects by itself, and the button says so.
    ice.kill();
    QTRY_COMPARE_WITH_TIMEOUT(caption(), TForm2wma::reconnectingCaption(), 15000);
    QVERIFY(ice.start());
    QElapsedTimer back;
    back.start();
    QTRY_COMPARE_WITH_TIMEOUT(caption(), TForm2wma::onAirCaption(), 15000);
    QVERIFY(ice.waitForSource(kStream, 5000));
    qInfo("on the air again %lld ms after the server's return", back.elapsed());

    // Without Auto-reconnect a lost server leaves the station off the air: the button says
    // so, and a click on it starts the cast again.
    fmShoutcast2->chk_AutoReconnect->click();
    ice.kill();
    QTRY_COMPARE_WITH_TIMEOUT(caption(), TForm2wma::goOnAirCaption(), 15000);
    QVERIFY(ice.start());
    const int attempts = fmShoutcast2->state().StartAttempts;
    Form2wma->btvaiinonda->click();
    QTRY_COMPARE_WITH_TIMEOUT(caption(), TForm2wma::onAirCaption(), 15000);
    QVERIFY(fmShoutcast2->state().StartAttempts > attempts);
    QVERIFY(ice.waitForSource(kStream, 5000));
}

void TstConsoleOnAir::secondSignInMovesTheStation()
{
    IcecastServer one(stationServer()), two(stationServer());
    QVERIFY2(one.isRunning(), qPrintable(one.error()));
    QVERIFY2(two.isRunning(), qPrintable(two.error()));
    Session s;
    const TestAccount a = station(1, QStringLiteral("Radio Uno"), one.port());
    const TestAccount b = station(2, QStringLiteral("Radio Due"), two.port());
    s.db().addAccount(a);
    s.db().addAccount(b);
    QVERIFY(s.start());
    EngineState& engine = fmShoutcast2->state();

    QVERIFY(signedInOnAir(s, a));
    QCOMPARE(caption(), TForm2wma::onAirCaption());
    QVERIFY(one.waitForSource(kStream, 5000));

    // The same station again: nothing changes on the air.
    const HRECORD first = engine.CaptureChannel;
    const int onAir = engine.StartsOnAir;
    s.signIn(a);
    QTest::qWait(500);
    QCOMPARE(engine.CaptureChannel.load(), first);
    QCOMPARE(engine.StartsOnAir, onAir);
    QVERIFY(!fmShoutcast2->attemptPending());

    // Another station: the source leaves the first server and goes to the second.
    s.signIn(b);
    QVERIFY(one.waitForSource(kStream, 2000, false));
    QVERIFY(two.waitForSource(kStream, 10000));
    QTRY_COMPARE_WITH_TIMEOUT(engine.StartsOnAir, onAir + 1, 5000);
    QCOMPARE(caption(), TForm2wma::onAirCaption());
    QCOMPARE(fmShoutcast2->ed_server->text(), QStringLiteral("127.0.0.1:%1").arg(two.port()));
    QVERIFY(!one.hasSource(kStream));
}

QTEST_MAIN(TstConsoleOnAir)
#include "tst_console_onair.moc"
