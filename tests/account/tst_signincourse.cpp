// The course of sign-in without any window: what it hands on, in which order, and how a failed
// account read ends it, on an embedded database of the test's own.
#include "WaveMixer.h"
#include "appconfig.h"
#include "apprun.h"
#include "boxrecorder.h"
#include "fakemixerbackend.h"
#include "signincourse.h"
#include "stationhandoff.h"
#include "stationprofile.h"
#include "testdb.h"

#include <QFile>
#include <QRegularExpression>
#include <QtTest>

namespace {

const QString kNotice = QStringLiteral(
    "IMPOSTA IL MIXER DI WINDOWS NELLA SORGENTE DI REGISTRAZIONE SUL CANALE AUDIO CHE VUOI "
    "TRASMETTERE AD ESEMPIO MIXSTEREO O STEREO QUEL CHE SENTI. PER ANDARE IN ONDA CI DEVONO "
    "ESSERE DELLE TRACCE IN ESECUZIONE");

// Writes down every call, and every box and hourglass change of the run, in one list.
struct RecordingHandoff final : StationHandoff {
    explicit RecordingHandoff(TestDb& db)
        : db(db), log(QStringLiteral("course.log"), db.settings(15, false))
    {
        log.open();
    }

    int chooseConsoleLine(TAudioMixer& mixer) override
    {
        calls << QStringLiteral("line of %1").arg(mixer.ConnectionCount());
        return 1;
    }
    void fillStationFields(const CastStationFields& f) override
    {
        calls << QStringLiteral("fields %1 %2 %3 %4 %5 %6")
                     .arg(f.server, f.password, f.name, f.genre, f.url, f.description);
    }
    void setPublishingPoint(const QString& address) override
    {
        calls << QStringLiteral("publishing ") + address;
    }
    DbConnection& logConnection() override
    {
        calls << QStringLiteral("log connection");
        return log;
    }
    void showBroadcastWindows() override
    {
        const int rows =
            db.value(QStringLiteral("SELECT COUNT(*) FROM ConnessioniTessaroFTP")).toInt();
        calls << QStringLiteral("windows after %1 log row").arg(rows);
    }

    TestDb& db;
    DbConnection log;
    QStringList calls;
};

} // namespace

class TestSignInCourse : public QObject {
    Q_OBJECT

private slots:
    // A known account: the console line first, the account's fields to the engine, the
    // publishing point, the notice, the log row on the data module's connection, then the
    // windows; the hourglass of the settings step is off again at the end.
    void handsTheStationOnInOrder()
    {
        auto db = TestDb::sqlite();
        TestAccount a;
        a.email = QStringLiteral("VERDE@RADIO.EXAMPLE");
        a.password = QStringLiteral("Verde1");
        a.station = QStringLiteral("Radio Verde");
        a.port = 10030;
        a.genre = QStringLiteral("Folk");
        a.description = QStringLiteral("Prati");
        db->addAccount(a);
        const AppConfig config = db->config();
        StationProfile profile;
        AppRun run;
        BoxRecorder boxes;
        boxes.install(run);
        RecordingHandoff handoff(*db);
        boxes.onBox = [&](const QString& text) {
            handoff.calls << (text == kNotice ? QStringLiteral("notice") : text);
        };
        FakeMixerBackend backend;
        backend.layOutThreeLines();
        TAudioMixer mixer(backend);

        SignInCourse course(config, profile, run);
        course.openConnection();
        course.setHandoff(&handoff);
        QList<bool> busy;
        course.setBusyHook([&](bool on) { busy << on; });

        QVERIFY(course.signIn(QStringLiteral(" verde@radio.example\t"), QStringLiteral("Verde1"),
                              mixer));
        QCOMPARE(handoff.calls,
                 (QStringList{QStringLiteral("line of 3"),
                              QStringLiteral("fields 127.0.0.1:10030 Verde1 127.0.0.1 Folk "
                                             "http://127.0.0.1 Prati"),
                              QStringLiteral("publishing https://127.0.0.1:11113/Radio Verde"),
                              QStringLiteral("notice"), QStringLiteral("log connection"),
                              QStringLiteral("windows after 1 log row")}));
        QCOMPARE(course.volumeLineIndex, 1);
        QCOMPARE(profile.signInEmail, QStringLiteral("verde@radio.example"));
        QCOMPARE(profile.stationName, QStringLiteral("Radio Verde"));
        QCOMPARE(busy.first(), true);
        QCOMPARE(busy.last(), false);
        QVERIFY(!run.endRequested());
    }

    // The database gone by the first read: one box with the provider's text, nothing handed
    // on after the console line, and the end of the run, asked for once.
    void aFailedReadEndsTheCourseOnce()
    {
        auto db = TestDb::sqlite();
        db->addAccount(TestAccount{});
        const AppConfig config = db->config();
        StationProfile profile;
        AppRun run;
        BoxRecorder boxes;
        boxes.install(run);
        int ends = 0;
        connect(&run, &AppRun::endRequestedSignal, this, [&] { ++ends; });
        RecordingHandoff handoff(*db);
        FakeMixerBackend backend;
        backend.layOutThreeLines();
        TAudioMixer mixer(backend);

        SignInCourse course(config, profile, run);
        course.openConnection();
        course.setHandoff(&handoff);
        QVERIFY(QFile::rename(db->sqliteFile(), db->sqliteFile() + QStringLiteral(".away")));

        QVERIFY(
            course.signIn(QStringLiteral("utente@example.com"), QStringLiteral("segreta"), mixer));
        QCOMPARE(boxes.waited.size(), 1);
        QVERIFY2(boxes.waited.first().startsWith(QStringLiteral("Exception: ")),
                 qPrintable(boxes.waited.first()));
        // The later reads neither wait for the database again nor show their own box.
        const QStringList failures =
            run.shownTexts().filter(QRegularExpression(QStringLiteral("^Exception: ")));
        QCOMPARE(failures.size(), 1);
        QCOMPARE(handoff.calls, QStringList{QStringLiteral("line of 3")});
        QVERIFY(run.endRequested());
        QCOMPARE(ends, 1);
        QVERIFY(profile.stationName.isEmpty());
    }
};

QTEST_MAIN(TestSignInCourse)
#include "tst_signincourse.moc"
