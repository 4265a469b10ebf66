// The engine window on air: a real PulseAudio server playing a tone, Debian's lame, and a real
// Icecast server taking the source in both address forms.
#include "UfmShoutcast2.h"
#include "audiotesthelpers.h"
#include "enginefixture.h"
#include "icecastserver.h"
#include "pulseserver.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace {

// The lame processes that are children of this process, zombies left out.
QList<pid_t> lameChildren()
{
    return audiotest::childProcesses("lame", false);
}

} // namespace

class TestEngineCast : public QObject {
    Q_OBJECT

    std::unique_ptr<PulseServer> pulse;
    std::unique_ptr<IcecastServer> ice;
    std::unique_ptr<EngineFixture> fx;
    std::unique_ptr<TfmShoutcast2> w;

    // What sign-in leaves in the settings edits.
    void fillSettings(TfmShoutcast2& win, const QString& server, const QString& password)
    {
        win.ed_server->setText(server);
        win.ed_Password->setText(password);
        win.ed_Name->setText(QStringLiteral("127.0.0.1"));
        win.ed_url->setText(QStringLiteral("http://127.0.0.1"));
        win.ed_genre->setText(QStringLiteral("Varietà"));
        win.ed_desc->setText(QStringLiteral("La radio di prova"));
    }
    void verifyOnAir(TfmShoutcast2& win)
    {
        QVERIFY(win.state().CaptureChannel != 0);
        QCOMPARE(win.btn_start->text(), QStringLiteral("Stop"));
        QVERIFY(!win.ed_server->isEnabled());
        QVERIFY(!win.cb_Bitrate->isEnabled());
        QVERIFY(!win.chk_public->isEnabled());
        QVERIFY(win.ed_TrackTitle->isEnabled());
        QCOMPARE(win.ed_TrackTitle->palette().color(QPalette::Base), QColor(Qt::white));
        QVERIFY(win.LevelTimer->isActive());
    }
    void verifyStartFailed()
    {
        QCOMPARE(w->state().CaptureChannel.load(), 0u);
        QCOMPARE(w->btn_start->text(), QStringLiteral("Start"));
        QVERIFY(w->ed_server->isEnabled());
        QVERIFY(!w->ed_TrackTitle->isEnabled());
        QVERIFY(fx->run.shownTexts().isEmpty());
        QTRY_VERIFY_WITH_TIMEOUT(lameChildren().isEmpty(), 5000);
    }
    // Types text into the title box one letter at a time.
    void typeTitle(TfmShoutcast2& win, const QString& text)
    {
        win.ed_TrackTitle->clear();
        for (QChar c : text)
            win.ed_TrackTitle->insert(QString(c));
    }

private slots:
    void initTestCase()
    {
        pulse = std::make_unique<PulseServer>();
        QVERIFY2(pulse->isRunning(), qPrintable(pulse->error()));
        QVERIFY(pulse->playTone());
        ice = std::make_unique<IcecastServer>();
        QVERIFY2(ice->isRunning(), qPrintable(ice->error()));
    }
    void cleanupTestCase()
    {
        ice.reset();
        pulse.reset();
    }
    void init()
    {
        fx = std::make_unique<EngineFixture>();
        w = std::make_unique<TfmShoutcast2>(fx->ctx);
        w->setConsoleBarForTesting(&fx->consoleBar);
    }
    void cleanup()
    {
        w.reset();
        fx.reset();
        QTRY_VERIFY_WITH_TIMEOUT(lameChildren().isEmpty(), 5000);
    }

    void onAirInBothAddressForms_data()
    {
        QTest::addColumn<QString>("mount");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("expectedTitle");
        // A SHOUTcast source's title reaches Icecast as Latin-1 bytes: only ASCII survives.
        QTest::newRow("address port")
            << QString() << QStringLiteral("Primo brano") << QStringLiteral("Primo brano");
        QTest::newRow("address port/mount")
            << QStringLiteral("/live") << QStringLiteral("Città è già qui")
            << QStringLiteral("Città è già qui");
    }
    void onAirInBothAddressForms()
    {
        QFETCH(QString, mount);
        QFETCH(QString, title);
        QFETCH(QString, expectedTitle);
        const QString served = mount.isEmpty() ? QStringLiteral("/stream") : mount;
        QVERIFY(ice->waitForSource(served, 5000, false));
        fillSettings(*w, ice->address(mount), ice->options().sourcePassword);

        w->StartCast();
        verifyOnAir(*w);
        QVERIFY(ice->waitForSource(served, 5000));
        QCOMPARE(lameChildren().size(), 1);

        const IcecastServer::Listen l = ice->listen(served, 24000, 10000);
        QVERIFY(l.ok);
        QVERIFY2(l.headers.toLower().contains("audio/mpeg"), l.headers.constData());
        const audiotest::Mp3Header f = audiotest::firstMp3Frame(l.audio);
        QVERIFY(f.valid);
        QCOMPARE(f.version, 1);
        QCOMPARE(f.bitrateKbps, 128);
        QCOMPARE(f.sampleRate, 44100);
        QVERIFY(f.stereo);

        // Typed one letter at a time; the last text stands.
        typeTitle(*w, title);
        QTRY_COMPARE_WITH_TIMEOUT(ice->title(served), expectedTitle, 8000);

        // The meter moves with the tone: the console bar shows the peak div 327.
        w->LevelTimerTimer();
        QVERIFY2(fx->consoleBar.value() > 5 && fx->consoleBar.value() <= 100,
                 qPrintable(QString::number(fx->consoleBar.value())));

        // A start attempt on a live cast changes nothing.
        const HRECORD ch = w->state().CaptureChannel;
        const int attempts = w->state().StartAttempts;
        w->btn_startClick();
        w->StartCast();
        QCOMPARE(w->state().CaptureChannel.load(), ch);
        QCOMPARE(w->state().StartAttempts, attempts);
        QCOMPARE(lameChildren().size(), 1);

        QCoreApplication::postEvent(w.get(), new CastMessage(WM_CAST_RUN, 1));
        QCoreApplication::sendPostedEvents(w.get());
        QCOMPARE(w->btn_start->text(), QStringLiteral("Start"));
        QCOMPARE(fx->consoleBar.value(), 0);
        QVERIFY(ice->waitForSource(served, 8000, false));
    }

    void listenerCountInTheCaption()
    {
        const QString mount = QStringLiteral("/count");
        fillSettings(*w, ice->address(mount), ice->options().sourcePassword);
        w->StartCast();
        verifyOnAir(*w);
        QVERIFY(ice->waitForSource(mount, 5000));

        // Level ticks until the caption shows n; the answer comes after the tick returns.
        auto tickUntil = [&](int n) -> bool {
            const QString want = QStringLiteral("Utenti connessi (%1 listeners)").arg(n);
            QElapsedTimer t;
            t.start();
            while (w->windowTitle() != want && t.elapsed() < 15000) {
                w->LevelTimerTimer();
                QTest::qWait(200);
            }
            return w->windowTitle() == want;
        };
        QVERIFY(tickUntil(0));
        {
            IcecastListener a(ice->port(), mount), b(ice->port(), mount);
            QVERIFY(a.isConnected() && b.isConnected());
            QVERIFY2(tickUntil(2), qPrintable(w->windowTitle()));
            b.close();
            QVERIFY2(tickUntil(1), qPrintable(w->windowTitle()));
        }
        QVERIFY2(tickUntil(0), qPrintable(w->windowTitle()));
    }

    void refusedStartsAreSilent_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("mountInUse");
        QTest::newRow("wrong password, address port")
            << ice->address() << QStringLiteral("sbagliata") << false;
        QTest::newRow("wrong password, address port/mount")
            << ice->address(QStringLiteral("/pw")) << QStringLiteral("sbagliata") << false;
        QTest::newRow("unreachable")
            << QStringLiteral("127.0.0.1:%1").arg(freePortPair()) << QStringLiteral("x") << false;
        QTest::newRow("mount in use")
            << ice->address(QStringLiteral("/busy")) << ice->options().sourcePassword << true;
    }
    void refusedStartsAreSilent()
    {
        QFETCH(QString, server);
        QFETCH(QString, password);
        QFETCH(bool, mountInUse);
        std::unique_ptr<TfmShoutcast2> first;
        if (mountInUse) {
            first = std::make_unique<TfmShoutcast2>(fx->ctx);
            fillSettings(*first, server, password);
            first->StartCast();
            verifyOnAir(*first);
        }
        fillSettings(*w, server, password);
        w->StartCast();
        QCOMPARE(w->state().StartAttempts, 1);
        QCOMPARE(w->state().CaptureChannel.load(), 0u);
        QCOMPARE(w->btn_start->text(), QStringLiteral("Start"));
        QVERIFY(w->ed_server->isEnabled());
        QVERIFY(!w->ed_TrackTitle->isEnabled());
        QVERIFY(fx->run.shownTexts().isEmpty());
        first.reset();
        QTRY_VERIFY_WITH_TIMEOUT(lameChildren().isEmpty(), 5000);
    }

    void lameNotOnTheSearchPath()
    {
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", "/nonexistent");
        fillSettings(*w, ice->address(QStringLiteral("/nolame")), ice->options().sourcePassword);
        w->StartCast();
        qputenv("PATH", path);
        verifyStartFailed();
    }

    void lameKilledWithAutoReconnectOff()
    {
        w->chk_AutoReconnect->click();
        fillSettings(*w, ice->address(QStringLiteral("/kill")), ice->options().sourcePassword);
        w->StartCast();
        verifyOnAir(*w);
        const QList<pid_t> lames = lameChildren();
        QCOMPARE(lames.size(), 1);
        ::kill(lames.first(), SIGKILL);
        // The engine stops: the stopped controls, the bar at 0.
        QTRY_COMPARE_WITH_TIMEOUT(w->btn_start->text(), QStringLiteral("Start"), 5000);
        QCOMPARE(w->state().CaptureChannel.load(), 0u);
        QVERIFY(w->ed_server->isEnabled());
        QVERIFY(!w->ed_TrackTitle->isEnabled());
        QVERIFY(!w->LevelTimer->isActive());
        QCOMPARE(fx->consoleBar.value(), 0);
        QVERIFY(w->btn_start->isEnabled());
        QVERIFY(fx->run.shownTexts().isEmpty());
    }

    void lameKilledWithAutoReconnectOn()
    {
        const QString mount = QStringLiteral("/respawn");
        fillSettings(*w, ice->address(mount), ice->options().sourcePassword);
        w->StartCast();
        verifyOnAir(*w);
        typeTitle(*w, QStringLiteral("Dopo la pausa"));
        QTRY_COMPARE_WITH_TIMEOUT(ice->title(mount), QStringLiteral("Dopo la pausa"), 8000);
        const pid_t old = lameChildren().value(0);
        ::kill(old, SIGKILL);
        QTRY_VERIFY_WITH_TIMEOUT(w->state().StartsOnAir == 2, 20000);
        verifyOnAir(*w);
        QVERIFY(w->btn_start->isEnabled());
        QVERIFY(!w->reconnecting());
        QCOMPARE(lameChildren().size(), 1);
        QVERIFY(lameChildren().value(0) != old);
        QVERIFY(ice->waitForSource(mount, 5000));
    }

    void serverKilledAndRestartedWithAutoReconnectOn()
    {
        IcecastServer own;
        QVERIFY2(own.isRunning(), qPrintable(own.error()));
        fillSettings(*w, own.address(), own.options().sourcePassword);
        w->StartCast();
        verifyOnAir(*w);
        QVERIFY(own.waitForSource(QStringLiteral("/stream"), 5000));
        typeTitle(*w, QStringLiteral("Prima del guasto"));
        QTRY_COMPARE_WITH_TIMEOUT(own.title(QStringLiteral("/stream")),
                                  QStringLiteral("Prima del guasto"), 8000);

        own.kill();
        // Stopped, the button held while the engine tries again.
        QTRY_VERIFY_WITH_TIMEOUT(w->reconnecting(), 10000);
        QCOMPARE(w->btn_start->text(), QStringLiteral("Start"));
        QVERIFY(!w->btn_start->isEnabled());
        QCOMPARE(w->state().CaptureChannel.load(), 0u);
        QTRY_VERIFY_WITH_TIMEOUT(w->state().StartAttempts >= 2, 10000);

        QVERIFY(own.start());
        QTRY_VERIFY_WITH_TIMEOUT(w->state().StartsOnAir == 2, 30000);
        verifyOnAir(*w);
        QVERIFY(w->btn_start->isEnabled());
        QVERIFY(own.waitForSource(QStringLiteral("/stream"), 5000));
        // The last title goes out again with the new cast.
        QTRY_COMPARE_WITH_TIMEOUT(own.title(QStringLiteral("/stream")),
                                  QStringLiteral("Prima del guasto"), 8000);
        QVERIFY(fx->run.shownTexts().isEmpty());
    }

    void hungServerThenConsoleTickStartsAnew()
    {
        IcecastServer own;
        QVERIFY2(own.isRunning(), qPrintable(own.error()));
        const QString mount = QStringLiteral("/hang");
        w->chk_AutoReconnect->click();
        fillSettings(*w, own.address(mount), own.options().sourcePassword);
        w->StartCast();
        verifyOnAir(*w);
        typeTitle(*w, QStringLiteral("In attesa"));
        QTRY_COMPARE_WITH_TIMEOUT(own.title(mount), QStringLiteral("In attesa"), 8000);

        own.suspend();
        struct Resume {
            IcecastServer& s;
            ~Resume() { s.resume(); } // in every outcome
        } resumeAtEnd{own};
        // The watchdog reports the dead connection; with Auto-reconnect off nothing changes.
        QTRY_VERIFY_WITH_TIMEOUT(w->state().CastDead, 30000);
        QCoreApplication::processEvents();
        QCOMPARE(w->btn_start->text(), QStringLiteral("Stop"));
        QVERIFY(w->state().CaptureChannel != 0);
        own.resume();
        QVERIFY(own.waitForSource(mount, 15000, false));

        // The console's reconnect tick: the dead cast is replaced, not stacked.
        const HRECORD old = w->state().CaptureChannel;
        w->btn_startClick();
        verifyOnAir(*w);
        QVERIFY(w->state().CaptureChannel != old);
        QCOMPARE(w->state().StartsOnAir, 2);
        QCOMPARE(lameChildren().size(), 1);
        QVERIFY(own.waitForSource(mount, 5000));
        QTRY_COMPARE_WITH_TIMEOUT(own.title(mount), QStringLiteral("In attesa"), 8000);
    }
};

QTEST_MAIN(TestEngineCast)
#include "tst_engine_cast.moc"
