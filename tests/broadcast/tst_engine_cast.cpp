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
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// The lame processes that are children of this process, zombies left out.
QList<pid_t> lameChildren()
{
    return audiotest::childProcesses("lame", false);
}

// The layer restarts a lame that dies once; one that dies again at once is given up and
// reported. Kills the running lame and then the one started in its place.
bool killLameAndItsRestart()
{
    const pid_t first = lameChildren().value(0);
    if (first <= 0 || ::kill(first, SIGKILL) != 0)
        return false;
    pid_t second = 0;
    if (!audiotest::waitFor(
            [&] {
                for (pid_t p : lameChildren())
                    if (p != first)
                        second = p;
                return second > 0;
            },
            1500))
        return false;
    return ::kill(second, SIGKILL) == 0;
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
    // A start attempt and its outcome (it runs on the window's worker).
    static bool startAndWait(TfmShoutcast2& win, int timeoutMs = 15000)
    {
        win.StartCast();
        QElapsedTimer t;
        t.start();
        while (win.attemptPending() && t.elapsed() < timeoutMs)
            QTest::qWait(10);
        return !win.attemptPending();
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

        QVERIFY(startAndWait(*w));
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

        // The meter shows the tone in dB: 8000 of 32768 (-12.2 dBFS) stands at 102 of 128.
        QTRY_VERIFY2(qAbs(fx->consoleBar.value() - 102) <= 2,
                     qPrintable(QString::number(fx->consoleBar.value())));

        // A start attempt on a live cast changes nothing.
        const HRECORD ch = w->state().CaptureChannel;
        const int attempts = w->state().StartAttempts;
        w->btn_startClick();
        QVERIFY(startAndWait(*w));
        QCOMPARE(w->state().CaptureChannel.load(), ch);
        QCOMPARE(w->state().StartAttempts, attempts);
        QCOMPARE(lameChildren().size(), 1);

        QCoreApplication::postEvent(w.get(), new CastMessage(WM_CAST_RUN, 1));
        QCoreApplication::sendPostedEvents(w.get());
        QCOMPARE(w->btn_start->text(), QStringLiteral("Start"));
        QCOMPARE(fx->consoleBar.value(), 0);
        QVERIFY(ice->waitForSource(served, 8000, false));
    }

    // A tone at -10 dBFS stands at 107 of the bar's 128; silence empties the bar.
    void meterShowsTheToneInDecibels()
    {
        QVERIFY(pulse->playTone(10362));
        struct Restore {
            PulseServer& p;
            ~Restore() { p.playTone(); }
        } restore{*pulse};
        fillSettings(*w, ice->address(QStringLiteral("/meter")), ice->options().sourcePassword);
        QVERIFY(startAndWait(*w));
        verifyOnAir(*w);
        QTRY_VERIFY2(qAbs(fx->consoleBar.value() - 107) <= 2,
                     qPrintable(QString::number(fx->consoleBar.value())));

        // What the screen shows: at least 40 % of the bar painted in the bar's colour.
        fx->consoleBar.setOrientation(Qt::Vertical);
        fx->consoleBar.setTextVisible(false);
        fx->consoleBar.resize(29, 53);
        const QImage shot = fx->consoleBar.grab().toImage();
        const QColor fill = fx->consoleBar.palette().color(QPalette::Highlight);
        int painted = 0;
        for (int y = 0; y < shot.height(); ++y) {
            const QColor c = shot.pixelColor(shot.width() / 2, y);
            if (qAbs(c.hue() - fill.hue()) < 20 && c.saturation() > 60)
                ++painted;
        }
        QVERIFY2(painted * 100 >= 40 * shot.height(),
                 qPrintable(QStringLiteral("%1 of %2 rows").arg(painted).arg(shot.height())));

        pulse->stopPlaying();
        QTRY_COMPARE_WITH_TIMEOUT(fx->consoleBar.value(), 0, 2000);
    }

    // A server that takes the connection and never answers: the attempt runs on the worker
    // while the window goes on handling events, and a second start meanwhile does nothing.
    void blackHoledServerNeverHoldsTheWindow()
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        struct Close {
            int fd;
            ~Close() { ::close(fd); }
        } closeAtEnd{fd};
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        QCOMPARE(::listen(fd, 16), 0); // the kernel completes connections; none is accepted
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        fillSettings(*w, QStringLiteral("127.0.0.1:%1/hole").arg(ntohs(a.sin_port)),
                     QStringLiteral("x"));

        QSignalSpy finished(w.get(), &TfmShoutcast2::attemptFinished);
        QElapsedTimer gap;
        qint64 worst = 0;
        QTimer probe;
        probe.setInterval(20);
        connect(&probe, &QTimer::timeout, [&] { worst = std::max(worst, gap.restart()); });
        gap.start();
        probe.start();
        w->StartCast();
        QVERIFY(w->attemptPending());
        QTest::qWait(1000);
        QVERIFY(w->attemptPending()); // still waiting for the server
        w->StartCast();
        w->btn_startClick();
        QCOMPARE(w->state().StartAttempts, 1);
        QVERIFY(finished.wait(15000));
        probe.stop();
        qInfo("longest pause of the event loop during the attempt: %lld ms", worst);
        QCOMPARE(finished.first().first().toBool(), false);
        verifyStartFailed();
    }

    void listenerCountInTheCaption()
    {
        const QString mount = QStringLiteral("/count");
        fillSettings(*w, ice->address(mount), ice->options().sourcePassword);
        QVERIFY(startAndWait(*w));
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
            QVERIFY(startAndWait(*first));
            verifyOnAir(*first);
        }
        fillSettings(*w, server, password);
        QVERIFY(startAndWait(*w));
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
        QVERIFY(startAndWait(*w));
        qputenv("PATH", path);
        verifyStartFailed();
    }

    void lameKilledWithAutoReconnectOff()
    {
        w->chk_AutoReconnect->click();
        fillSettings(*w, ice->address(QStringLiteral("/kill")), ice->options().sourcePassword);
        QVERIFY(startAndWait(*w));
        verifyOnAir(*w);
        QCOMPARE(lameChildren().size(), 1);
        QVERIFY(killLameAndItsRestart());
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
        QVERIFY(startAndWait(*w));
        verifyOnAir(*w);
        typeTitle(*w, QStringLiteral("Dopo la pausa"));
        QTRY_COMPARE_WITH_TIMEOUT(ice->title(mount), QStringLiteral("Dopo la pausa"), 8000);
        const pid_t old = lameChildren().value(0);
        QVERIFY(killLameAndItsRestart());
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
        QVERIFY(startAndWait(*w));
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

        QVERIFY2(own.start(), qPrintable(own.error()));
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
        QVERIFY(startAndWait(*w));
        verifyOnAir(*w);
        typeTitle(*w, QStringLiteral("In attesa"));
        QTRY_COMPARE_WITH_TIMEOUT(own.title(mount), QStringLiteral("In attesa"), 8000);

        own.suspend();
        QElapsedTimer hung;
        hung.start();
        struct Resume {
            IcecastServer& s;
            ~Resume() { s.resume(); } // in every outcome
        } resumeAtEnd{own};
        // The watchdog reports the dead connection; with Auto-reconnect off nothing changes.
        QTRY_VERIFY_WITH_TIMEOUT(w->state().CastDead, 30000);
        qInfo("a hung server was seen after %.1f s", hung.elapsed() / 1000.0);
        QCoreApplication::processEvents();
        QCOMPARE(w->btn_start->text(), QStringLiteral("Stop"));
        QVERIFY(w->state().CaptureChannel != 0);
        own.resume();
        QVERIFY(own.waitForSource(mount, 15000, false));

        // The console's reconnect tick: the dead cast is replaced, not stacked.
        const HRECORD old = w->state().CaptureChannel;
        w->btn_startClick();
        QTRY_VERIFY_WITH_TIMEOUT(!w->attemptPending(), 15000);
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
