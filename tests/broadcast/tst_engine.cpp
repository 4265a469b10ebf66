// The engine window's own rules, with no PulseAudio server to capture from: every start
// attempt fails at the capture.
#include "UfmShoutCast.h"
#include "UfmShoutcast2.h"
#include "bass.h"
#include "enginefixture.h"
#include "programhalt.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>
#include <thread>

using namespace castengine;

class TestEngine : public QObject {
    Q_OBJECT

    std::unique_ptr<EngineFixture> fx;
    std::unique_ptr<TfmShoutcast2> w;

    // The controls as a running cast shows them.
    void showRunning()
    {
        w->btn_start->setText(QStringLiteral("Stop"));
        w->setSettingsEnabled(false);
        w->setTitleBoxEnabled(true);
        w->LevelTimer->start();
        fx->consoleBar.setValue(77);
    }
    void verifyStopped()
    {
        QCOMPARE(w->btn_start->text(), QStringLiteral("Start"));
        for (QWidget* c : std::initializer_list<QWidget*>{
                 w->ed_server, w->ed_Password, w->ed_Name, w->ed_url, w->ed_genre, w->ed_desc,
                 w->chk_public, w->chk_Mp3, w->chk_ogg, w->cb_Bitrate})
            QVERIFY2(c->isEnabled(), qPrintable(c->objectName()));
        QVERIFY(!w->ed_TrackTitle->isEnabled());
        QCOMPARE(w->ed_TrackTitle->palette().color(QPalette::Base),
                 w->ed_TrackTitle->palette().color(QPalette::Button));
        QVERIFY(!w->LevelTimer->isActive());
        QCOMPARE(fx->consoleBar.value(), 0);
        QCOMPARE(w->state().CaptureChannel.load(), 0u);
    }
    // The notification as the audio layer gives it: from a thread of its own.
    void notifyFromThread(HENCODE handle, DWORD status)
    {
        std::thread t([&] { TfmShoutcast2::EncoderNotifyProc(handle, status, w.get()); });
        t.join();
    }

private slots:
    void initTestCase()
    {
        // No server to capture from: every start fails at its first step.
        qputenv("PULSE_SERVER", "unix:/nonexistent/native");
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
    }

    void layoutState()
    {
        QCOMPARE(w->objectName(), QStringLiteral("fmShoutcast2"));
        QCOMPARE(w->windowTitle(), QString());
        QVERIFY(!w->captureLostNote()->isVisible());
        QCOMPARE(w->GroupBox1->title(), QStringLiteral("Server"));
        QCOMPARE(w->btn_start->text(), QStringLiteral("Start"));
        QCOMPARE(w->chk_AutoReconnect->text(), QStringLiteral("Auto-reconnect"));
        QVERIFY(w->chk_AutoReconnect->isChecked());
        QVERIFY(w->chk_public->isChecked());
        QCOMPARE(w->chk_public->text(), QStringLiteral("Public (directory)"));
        QVERIFY(w->chk_Mp3->isChecked());
        QVERIFY(!w->chk_ogg->isChecked());
        QVERIFY(w->grp_Format->isHidden());
        QCOMPARE(w->cb_Bitrate->count(), 14);
        QCOMPARE(w->cb_Bitrate->currentIndex(), 8);
        QCOMPARE(w->cb_Bitrate->currentText(), QStringLiteral("128"));
        for (QLineEdit* e :
             {w->ed_server, w->ed_Password, w->ed_Name, w->ed_url, w->ed_genre, w->ed_desc})
            QVERIFY2(e->isReadOnly(), qPrintable(e->objectName()));
        QCOMPARE(w->ed_Password->echoMode(), QLineEdit::Password);
        QVERIFY(!w->ed_TrackTitle->isEnabled());
        QCOMPARE(w->Pr_level->orientation(), Qt::Vertical);
        QCOMPARE(w->Pr_level->maximum(), 32768);
        QCOMPARE(w->Pr_level->palette().color(QPalette::Highlight), QColor(Qt::black));
        QVERIFY(w->LevelTimer->isActive());
        QCOMPARE(w->LevelTimer->interval(), 10000);
        QVERIFY(w->isHidden());
        // The flag starts as the switch shows.
        QVERIFY(w->state().AutoReconnectFlag);
    }

    void showGivesTheSkinItsFile()
    {
        w->show();
        // The screen's title is blank, not the program's name, until the first count.
        QCOMPARE(w->windowHandle()->title(), QStringLiteral(" "));
        QCOMPARE(w->windowTitle(), QString());
        QVERIFY(!w->se.Active);
        QCOMPARE(w->se.SkinFile, fx->programDir.filePath(QStringLiteral("skin.sui")));
    }

    void autoReconnectFollowsTheSwitch()
    {
        w->chk_AutoReconnect->click();
        QVERIFY(!w->state().AutoReconnectFlag);
        w->chk_AutoReconnect->click();
        QVERIFY(w->state().AutoReconnectFlag);
    }

    void failedStartIsSilentAndChangesNoControl()
    {
        QSignalSpy finished(w.get(), &TfmShoutcast2::attemptFinished);
        w->StartCast();
        // The attempt runs on the worker: a second start meanwhile does nothing.
        QVERIFY(w->attemptPending());
        w->StartCast();
        QCOMPARE(w->state().StartAttempts, 1);
        QVERIFY(finished.wait(5000));
        QCOMPARE(finished.first().first().toBool(), false);
        QVERIFY(!w->attemptPending());
        QCOMPARE(w->airState(), TfmShoutcast2::AirState::Off);
        QCOMPARE(w->state().CaptureChannel.load(), 0u);
        QCOMPARE(w->btn_start->text(), QStringLiteral("Start"));
        QVERIFY(w->ed_server->isEnabled());
        QVERIFY(!w->ed_TrackTitle->isEnabled());
        QVERIFY(fx->run.shownTexts().isEmpty());
        QVERIFY(!w->reconnecting());
    }

    void startButtonNeverStartsAStoppedEngine()
    {
        w->btn_start->click();
        w->btn_startClick();
        QCOMPARE(w->state().StartAttempts, 0);
    }

    void castMessages()
    {
        QCoreApplication::postEvent(w.get(), new CastMessage(WM_CAST_BUTTON, 0));
        QCoreApplication::sendPostedEvents(w.get());
        QVERIFY(!w->btn_start->isEnabled());
        QCoreApplication::postEvent(w.get(), new CastMessage(WM_CAST_BUTTON, 1));
        QCoreApplication::sendPostedEvents(w.get());
        QVERIFY(w->btn_start->isEnabled());

        QCoreApplication::postEvent(w.get(), new CastMessage(WM_CAST_RUN, 0));
        QCoreApplication::sendPostedEvents(w.get());
        QCOMPARE(w->state().StartAttempts, 1);
        QTRY_VERIFY(!w->attemptPending());

        showRunning();
        QCoreApplication::postEvent(w.get(), new CastMessage(WM_CAST_RUN, 1));
        QCoreApplication::sendPostedEvents(w.get());
        verifyStopped();
    }

    void deathWithAutoReconnectOff()
    {
        w->chk_AutoReconnect->click();
        w->state().EncoderHandle = 77;
        showRunning();

        // A dead server connection changes nothing.
        notifyFromThread(77, BASS_ENCODE_NOTIFY_CAST);
        QCoreApplication::sendPostedEvents(w.get());
        QCOMPARE(w->btn_start->text(), QStringLiteral("Stop"));
        QVERIFY(!w->ed_server->isEnabled());
        QVERIFY(w->state().CastDead);

        // Notices that report no death, and deaths of encoders replaced since: nothing.
        notifyFromThread(77, BASS_ENCODE_NOTIFY_CAST_TIMEOUT);
        notifyFromThread(76, BASS_ENCODE_NOTIFY_ENCODER);
        QCoreApplication::sendPostedEvents(w.get());
        QCOMPARE(w->btn_start->text(), QStringLiteral("Stop"));

        // A dead encoder stops the engine.
        notifyFromThread(77, BASS_ENCODE_NOTIFY_ENCODER);
        QCoreApplication::sendPostedEvents(w.get());
        verifyStopped();
        QVERIFY(w->btn_start->isEnabled());
        QVERIFY(!w->reconnecting());
        QCOMPARE(w->state().StartAttempts, 0);
    }

    void deathWithAutoReconnectOnStopsThenRetriesWithinTwoSeconds()
    {
        w->setReconnectSpeedupForTesting(10);
        w->state().EncoderHandle = 77;
        showRunning();

        notifyFromThread(77, BASS_ENCODE_NOTIFY_CAST);
        QCoreApplication::sendPostedEvents(w.get());
        // First the stop, with the button disabled while the engine reconnects.
        verifyStopped();
        QVERIFY(!w->btn_start->isEnabled());
        QVERIFY(w->reconnecting());
        QCOMPARE(w->pendingReconnectDelayMs(), 100);
        QCOMPARE(w->state().StartAttempts, 0);

        // A second death report of the same cast does not restart the wait.
        notifyFromThread(77, BASS_ENCODE_NOTIFY_ENCODER);
        QCoreApplication::sendPostedEvents(w.get());
        QCOMPARE(w->pendingReconnectDelayMs(), 100);

        QTRY_COMPARE(w->airState(), TfmShoutcast2::AirState::Reconnecting);
        for (int n = 1; n <= 4; ++n) {
            QTRY_COMPARE_WITH_TIMEOUT(w->state().StartAttempts, n, 5000);
            QVERIFY(w->reconnecting());
            QTRY_COMPARE(w->pendingReconnectDelayMs(), 200);
            QVERIFY(!w->btn_start->isEnabled());
        }

        // Switching Auto-reconnect off ends the attempts and gives the button back.
        w->chk_AutoReconnect->click();
        QVERIFY(!w->reconnecting());
        QCOMPARE(w->pendingReconnectDelayMs(), -1);
        QVERIFY(w->btn_start->isEnabled());
        QTest::qWait(300);
        QCOMPARE(w->state().StartAttempts, 4);
    }

    void reconnectDelays()
    {
        QCOMPARE(reconnectDelayMs(0), 1000);
        QCOMPARE(reconnectDelayMs(1), 2000);
        QCOMPARE(reconnectDelayMs(2), 2000);
        QCOMPARE(reconnectDelayMs(1000), 2000);
    }

    void meterWithoutCaptureFallsToZero()
    {
        w->state().MeterBar = 128;
        int ticks = 0;
        do {
            w->meterTimerTimer();
            ++ticks;
        } while (fx->consoleBar.value() > 0 && ticks < 100);
        QCOMPARE(ticks, 16); // 0.8 s
        QCOMPARE(w->state().MeterBar, 0);
        w->LevelTimerTimer();
        QCOMPARE(w->windowTitle(), QStringLiteral("Utenti connessi (0 listeners)"));
    }

    void meterIsInDecibels()
    {
        QCOMPARE(barForPeak(32768), 128);
        QCOMPARE(barForPeak(40000), 128);
        QCOMPARE(barForPeak(10362), 107); // -10 dBFS
        QCOMPARE(barForPeak(3277), 85);   // -20 dBFS
        QCOMPARE(barForPeak(33), 0);      // -60 dBFS
        QCOMPARE(barForPeak(0), 0);
        EngineState s;
        // The louder channel counts; a quieter level lets the held peak fall, not drop.
        QCOMPARE(meterTick(s, 0x80002000u), 128);
        QCOMPARE(meterTick(s, 0x00010001u), 120);
        QCOMPARE(meterTick(s, 0xFFFFFFFFu), 112);
        QCOMPARE(meterTick(s, (10362u << 16) | 10362u), 107);
    }

    // The stall as the capture reports it while the sound server is away.
    void lostSoundServerIsShown()
    {
        DWORD state = BASS_ACTIVE_PLAYING;
        w->setCaptureStateForTesting([&](HRECORD) { return state; });
        QSignalSpy lost(w.get(), &TfmShoutcast2::captureLostChanged);
        w->show();
        w->state().CaptureChannel = 9999; // no such capture: its level reads as none
        w->state().MeterBar = 100;
        state = BASS_ACTIVE_STALLED;
        w->meterTimerTimer();
        QVERIFY(w->captureLost());
        QVERIFY(w->captureLostNote()->isVisible());
        QCOMPARE(w->captureLostNote()->text(), QStringLiteral("Sound server lost - reconnecting"));
        QCOMPARE(fx->consoleBar.value(), 92); // falling towards zero
        w->meterTimerTimer();
        QCOMPARE(lost.size(), 1); // once, not per tick
        state = BASS_ACTIVE_PLAYING;
        w->meterTimerTimer();
        QVERIFY(!w->captureLost());
        QVERIFY(!w->captureLostNote()->isVisible());
        QCOMPARE(lost.size(), 2);
        QCOMPARE(lost.last().first().toBool(), false);
        w->state().CaptureChannel = 0;
    }

    void everyHundredthTickSkipsTheCount()
    {
        w->state().MeterTicks = 98;
        w->LevelTimerTimer();
        QCOMPARE(w->windowTitle(), QStringLiteral("Utenti connessi (0 listeners)"));
        w->setWindowTitle(QStringLiteral("untouched"));
        w->LevelTimerTimer();
        QCOMPARE(w->state().MeterTicks, 100);
        QCOMPARE(w->windowTitle(), QStringLiteral("untouched"));
        w->LevelTimerTimer();
        QCOMPARE(w->windowTitle(), QStringLiteral("Utenti connessi (0 listeners)"));
    }

    void deferredStartWaitsForTheSwitch()
    {
        w->chk_AutoReconnect->click();
        w->RestartPending = true;
        w->LevelTimerTimer();
        QCOMPARE(w->state().StartAttempts, 0);
        QVERIFY(w->RestartPending);
        w->chk_AutoReconnect->click();
        w->LevelTimerTimer();
        QCOMPARE(w->state().StartAttempts, 1);
        QVERIFY(!w->RestartPending); // whatever the outcome
    }

    void listenerCountScan_data()
    {
        QTest::addColumn<QByteArray>("ice");
        QTest::addColumn<QByteArray>("shout");
        QTest::addColumn<int>("count");
        QTest::addColumn<QByteArray>("asked");
        const QByteArray ice12 =
            "<?xml version=\"1.0\"?><icestats><source mount=\"/live\"><Listeners>12</Listeners>"
            "<listener id=\"3\"><IP>127.0.0.1</IP></listener></source></icestats>";
        const QByteArray shout7 = "<?xml version=\"1.0\" standalone=\"yes\" ?><SHOUTCASTSERVER>"
                                  "<CURRENTLISTENERS>7</CURRENTLISTENERS><PEAKLISTENERS>9"
                                  "</PEAKLISTENERS></SHOUTCASTSERVER>";
        QTest::newRow("icecast") << ice12 << shout7 << 12 << QByteArray("I");
        QTest::newRow("icecast, no tag")
            << QByteArray("<icestats></icestats>") << shout7 << 0 << QByteArray("I");
        QTest::newRow("icecast, no digit")
            << QByteArray("<Listeners> 4</Listeners>") << shout7 << -1 << QByteArray("I");
        QTest::newRow("icecast, tag at the end")
            << QByteArray("x<Listeners>") << shout7 << -1 << QByteArray("I");
        QTest::newRow("icecast, case matters")
            << QByteArray("<listeners>5</listeners>") << shout7 << 0 << QByteArray("I");
        QTest::newRow("shoutcast") << QByteArray() << shout7 << 7 << QByteArray("IS");
        QTest::newRow("shoutcast, no tag")
            << QByteArray() << QByteArray("<SHOUTCASTSERVER/>") << 0 << QByteArray("IS");
        QTest::newRow("shoutcast, no digit")
            << QByteArray() << QByteArray("<CURRENTLISTENERS>x") << -1 << QByteArray("IS");
        QTest::newRow("both empty") << QByteArray() << QByteArray() << 0 << QByteArray("IS");
        QTest::newRow("huge") << QByteArray("<Listeners>99999999999999999999") << QByteArray()
                              << INT_MAX << QByteArray("I");
    }
    void listenerCountScan()
    {
        QFETCH(QByteArray, ice);
        QFETCH(QByteArray, shout);
        QFETCH(int, count);
        QFETCH(QByteArray, asked);
        QByteArray order;
        const int n = listenerCount([&](DWORD type) {
            order += type == BASS_ENCODE_STATS_ICE ? 'I' : 'S';
            return type == BASS_ENCODE_STATS_ICE ? ice : shout;
        });
        QCOMPARE(n, count);
        QCOMPARE(order, asked);
    }

    void connettiWindow()
    {
        TfmShoutCast7 c(fx->ctx);
        QCOMPARE(c.windowTitle(), QStringLiteral("Connetti"));
        QCOMPARE(c.objectName(), QStringLiteral("fmShoutCast7"));
        QVERIFY(c.isHidden());
        QCOMPARE(c.btn_start->text(), QStringLiteral("Start"));
        QCOMPARE(c.Pr_level->palette().color(QPalette::Highlight), QColor(Qt::white));
        QVERIFY(fx->run.shownTexts().isEmpty());
    }

    void wrongLibraryVersionShowsTheMessageAndHalts()
    {
        QString text, title;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QWidget* owner = nullptr;
        int boxes = 0;
        fx->run.setWaitHook([&](QWidget& box) {
            ++boxes;
            auto& mb = static_cast<QMessageBox&>(box);
            text = mb.text();
            title = mb.windowTitle();
            icon = mb.icon();
            owner = mb.parentWidget();
            mb.accept();
        });
        BASS_SetReportedVersionForTesting(0x02030000);
        if (BASS_GetVersion() != 0x02030000u) {
            BASS_SetReportedVersionForTesting(0);
            QSKIP("this audio layer cannot report another version");
        }
        bool halted = false;
        int exitCode = 0;
        try {
            TfmShoutCast7 c(fx->ctx);
        } catch (const ProgramHalt& h) {
            halted = true;
            exitCode = h.exitCode;
        }
        BASS_SetReportedVersionForTesting(0);
        QVERIFY(halted);
        QCOMPARE(exitCode, 1);
        QCOMPARE(boxes, 1);
        QCOMPARE(text, QStringLiteral("An incorrect version of BASS.DLL was loaded"));
        QCOMPARE(title, QString());
        QCOMPARE(icon, QMessageBox::Critical);
        QVERIFY(owner != nullptr);
        QCOMPARE(owner->objectName(), QStringLiteral("fmShoutCast7"));

        // Another minor version of 2.4 passes.
        BASS_SetReportedVersionForTesting(0x02040F00);
        TfmShoutCast7 ok(fx->ctx);
        BASS_SetReportedVersionForTesting(0);
        QCOMPARE(boxes, 1);
    }
};

QTEST_MAIN(TestEngine)
#include "tst_engine.moc"
