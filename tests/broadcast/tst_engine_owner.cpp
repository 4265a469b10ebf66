// What the owner gets besides the air itself, on a real cast: a copy of the show, the music
// player's titles on the server, and dead air when the sound stops.
#include "UfmShoutcast2.h"
#include "audiotesthelpers.h"
#include "enginefixture.h"
#include "fakempris.h"
#include "icecastserver.h"
#include "mpristitlesource.h"
#include "pulseserver.h"
#include "sessionbus.h"
#include "stationstatus.h"

#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTest>

using namespace std::chrono_literals;

class TestEngineOwner : public QObject {
    Q_OBJECT

    std::unique_ptr<PulseServer> pulse;
    std::unique_ptr<IcecastServer> ice;
    std::unique_ptr<EngineFixture> fx;
    std::unique_ptr<TfmShoutcast2> w;

    bool goOnAir(const QString& mount)
    {
        w->ed_server->setText(ice->address(mount));
        w->ed_Password->setText(ice->options().sourcePassword);
        w->ed_Name->setText(QStringLiteral("127.0.0.1"));
        w->StartCast();
        QElapsedTimer t;
        t.start();
        while (w->attemptPending() && t.elapsed() < 15000)
            QTest::qWait(10);
        return w->airState() == TfmShoutcast2::AirState::OnAir;
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
        fx->profile.stationName = QStringLiteral("Radio Prova");
        w = std::make_unique<TfmShoutcast2>(fx->ctx);
        w->setConsoleBarForTesting(&fx->consoleBar);
    }
    void cleanup()
    {
        w.reset();
        fx.reset();
    }

    void theRecordingIsTheShow()
    {
        QTemporaryDir music;
        w->setRecordFolderForTesting(music.path());
        w->chk_Record->setChecked(true);
        QVERIFY(goOnAir(QStringLiteral("/rec")));
        QElapsedTimer onAir;
        onAir.start();
        QTest::qWait(5000);
        w->StopCast();
        const double seconds = onAir.elapsed() / 1000.0;
        const QStringList files =
            QDir(music.filePath(QStringLiteral("Radio Prova"))).entryList({"*.mp3"}, QDir::Files);
        QCOMPARE(files.size(), 1);
        QFile f(music.filePath(QStringLiteral("Radio Prova/") + files.first()));
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray mp3 = f.readAll();
        QVERIFY(audiotest::firstMp3Frame(mp3).valid);
        const QByteArray pcm = audiotest::decodeMp3(mp3);
        const double played = pcm.size() / (44100.0 * 4);
        // As long as the time on the air, less what was still in the encoder at the stop.
        QVERIFY2(played > seconds - 1.0 && played <= seconds + 0.2,
                 qPrintable(QStringLiteral("%1 s recorded of %2 s").arg(played).arg(seconds)));
        QVERIFY(audiotest::medianToneLevel(pcm, 1000.0) > 0.05);
    }

    void thePlayersTitleGoesOnTheAir()
    {
        SessionBus bus;
        QVERIFY2(bus.isRunning(), qPrintable(bus.error()));
        MprisTitleSource source(bus.connect(QStringLiteral("program")));
        connect(&source, &MprisTitleSource::titleChanged, w.get(), &TfmShoutcast2::setPlayerTitle);
        w->chk_TitleFromPlayer->setChecked(true);
        QVERIFY(w->ed_TrackTitle->isReadOnly());
        const QString mount = QStringLiteral("/player");
        QVERIFY(goOnAir(mount));
        FakeMprisPlayer player(bus.connect(QStringLiteral("player")), QStringLiteral("prova"));
        QVERIFY(player.isRegistered());
        player.play({QStringLiteral("Lùcio"), QStringLiteral("Gli Amici")},
                    QStringLiteral("Perché è già l’una — dal vivo"));
        QTRY_COMPARE_WITH_TIMEOUT(
            ice->title(mount), QStringLiteral("Lùcio, Gli Amici - Perché è già l'una - dal vivo"),
            10000);
        // Off again: the box is the owner's, and a new track leaves it alone.
        w->chk_TitleFromPlayer->setChecked(false);
        QVERIFY(!w->ed_TrackTitle->isReadOnly());
        player.play({QStringLiteral("Altri")}, QStringLiteral("Altro brano"));
        QTest::qWait(500);
        QVERIFY(!w->ed_TrackTitle->text().contains(QStringLiteral("Altro brano")));
    }

    void silenceIsDeadAir()
    {
        StationStatus status;
        status.deadAir().setBound(1500ms);
        connect(w.get(), &TfmShoutcast2::levelRead, &status, &StationStatus::setLevel);
        QVERIFY(goOnAir(QStringLiteral("/quiet")));
        status.setOnAir();
        QTest::qWait(2500);
        QVERIFY(status.state() == StationStatus::State::OnAir);
        pulse->stopPlaying();
        QTRY_VERIFY_WITH_TIMEOUT(status.state() == StationStatus::State::DeadAir, 10000);
        QVERIFY(pulse->playTone());
        QTRY_VERIFY_WITH_TIMEOUT(status.state() == StationStatus::State::OnAir, 5000);
    }
};

QTEST_MAIN(TestEngineOwner)
#include "tst_engine_owner.moc"
