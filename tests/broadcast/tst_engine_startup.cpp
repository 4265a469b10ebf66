// The engine windows within the program's start-up: window 14 and its meter on the
// console's bar, window 16 and the check of the audio library's version.
#include "UfmShoutCast.h"
#include "bass.h"
#include "consoleharness.h"
#include "programhalt.h"

#include <QProgressBar>
#include <QTest>

class TestEngineStartup : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { qputenv("PULSE_SERVER", "unix:/nonexistent/native"); }

    void engineWindowsAtStartUp()
    {
        consoletest::Session s;
        QString error;
        QVERIFY2(s.start(&error), qPrintable(error));
        QVERIFY(fmShoutcast2 && fmShoutCast7 && Form2wma);
        QVERIFY(fmShoutcast2->isHidden());
        QVERIFY(fmShoutCast7->isHidden());
        QCOMPARE(fmShoutCast7->windowTitle(), QStringLiteral("Connetti"));
        QVERIFY(fmShoutcast2->LevelTimer->isActive());

        // The engine's meter moves the console's bar; the level tick writes the caption.
        fmShoutcast2->state().MeterBar = 128;
        fmShoutcast2->meterTimerTimer();
        QCOMPARE(Form2wma->ProgressBar1->value(), 120);
        QCOMPARE(fmShoutcast2->windowTitle(), QString());
        fmShoutcast2->LevelTimerTimer();
        QCOMPARE(fmShoutcast2->windowTitle(), QStringLiteral("Utenti connessi (0 listeners)"));
        // A stop sets it to 0.
        fmShoutcast2->StopCast();
        QCOMPARE(Form2wma->ProgressBar1->value(), 0);
        QVERIFY(!s.boxes.waited.contains(TfmShoutCast7::incorrectVersionText()));
    }

    void wrongVersionShowsTheMessageAndHalts()
    {
        BASS_SetReportedVersionForTesting(0x02030000);
        consoletest::Session s;
        bool consoleExisted = false;
        s.boxes.onBox = [&](const QString&) { consoleExisted = Form2wma != nullptr; };
        bool halted = false;
        try {
            s.start();
        } catch (const ProgramHalt& h) {
            halted = true;
            QCOMPARE(h.exitCode, 1);
        }
        BASS_SetReportedVersionForTesting(0);
        QVERIFY(halted);
        QCOMPARE(s.boxes.waited, QStringList{TfmShoutCast7::incorrectVersionText()});
        // The box came after the engine window and the console existed; then every object
        // was destroyed again.
        QVERIFY(consoleExisted);
        QVERIFY(!fmLogin && !fmShoutcast2 && !Form2wma && !fmShoutCast7);
    }
};

QTEST_MAIN(TestEngineStartup)
#include "tst_engine_startup.moc"
