// Start-up and exit: the sixteen objects in their order, the main window, the creation
// failure, closing windows.
#include "UfmShoutCast.h"
#include "UfmShoutcast2.h"
#include "Ufmdm.h"
#include "apprun.h"
#include "fakemixerbackend.h"
#include "fakeshell.h"
#include "forms.h"
#include "program.h"
#include "stationprofile.h"
#include "testdb.h"
#include "ufmLogin.h"
#include "ufmWMA.h"
#include "wavelornapplication.h"

#include <QAbstractButton>
#include <QFile>
#include <QMessageBox>
#include <QTimer>
#include <QtTest>

namespace {
struct Expected {
    const char* className;
    const char* instance;
    const char* caption; // nullptr: not a window
};
const Expected kOrder[] = {
    {"TfmLogin", "fmLogin", "Wavelorn Encoder 5.0"},
    {"TfmRegistrazione", "fmRegistrazione", "Registrazione"},
    {"TfmMusica2", "fmMusica2", "Libreria Musicale"},
    {"Tdm", "dm", nullptr},
    {"TfmFrasiPredefinite", "fmFrasiPredefinite", "Scegli la frase"},
    {"TfmCrealatuaradiowm", "fmCrealatuaradiowm", "Crea la tua radio"},
    {"TfmRip", "fmRip", ""},
    {"TfmCollegati", "fmCollegati", "Collegamento ad un altra radio"},
    {"TfmCreazioneCollegati", "fmCreazioneCollegati",
     "Creazione elenco radio in corso Attendere..."},
    {"TfmAscolta", "fmAscolta", "Ascolta o guarda"},
    {"TfmStatistiche2", "fmStatistiche2", "Statistiche Iin tempo reale"},
    {"TfmPannelloDiControlloShoutcast", "fmPannelloDiControlloShoutcast",
     "Pannello di Controllo ShoutCast"},
    {"TFMATTESA", "FMATTESA", "ATTENDERE PREGO!!!"},
    {"TfmShoutcast2", "fmShoutcast2", ""},
    {"TForm2wma", "Form2wma", "Trasmissione Live!!!  Vers. 5.0"},
    {"TfmShoutCast7", "fmShoutCast7", "Connetti"},
};

QStringList visibleTopLevels(const QWidget* except = nullptr)
{
    QStringList names;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible() && w != except)
            names << w->objectName() + QLatin1Char('|') + w->windowTitle();
    return names;
}

// A watchdog so that a loop that does not end fails the test instead of hanging it.
void armWatchdog(bool& fired)
{
    QTimer::singleShot(20000, qApp, [&fired] {
        fired = true;
        qApp->exit(99);
    });
}
} // namespace

class TestStartup : public QObject {
    Q_OBJECT
private slots:
    void init();
    void createsInOrderShowsOnlyTheMainWindowAndDestroysInReverse();
    void creationFailureShowsTheErrorAndEndsWithCode1();
    void closingAnotherWindowHidesItClosingTheMainWindowEndsTheRun();
    void theMeterKeepsTheBarsPaceOnlyWhileTheConsoleCanBeSeen();
    void unusableCatalogEndsTheStartUpWithCode1_data();
    void unusableCatalogEndsTheStartUpWithCode1();

private:
    std::unique_ptr<TestDb> m_db;
    FakeShell m_shell;
    FakeMixerBackend m_mixer;
};

void TestStartup::init()
{
    m_db = TestDb::sqlite();
    FakeMixerBackend::Destination playback;
    playback.line = {100, QStringLiteral("Volume"), {FakeMixerBackend::volume(1000)}};
    playback.sources = {{101, QStringLiteral("Altoparlanti"), {FakeMixerBackend::volume(1001)}}};
    m_mixer.devices = {{QStringLiteral("Fake mixer"), {playback}}};
}

void TestStartup::createsInOrderShowsOnlyTheMainWindowAndDestroysInReverse()
{
    const AppConfig config = m_db->config();
    StationProfile profile;
    AppRun run;
    AppContext ctx{config, profile, run, m_shell, m_mixer};
    Program program(ctx);
    program.create();

    const auto objects = program.objects();
    QCOMPARE(int(objects.size()), 16);
    for (int i = 0; i < 16; ++i) {
        QCOMPARE(objects[i]->metaObject()->className(), kOrder[i].className);
        QCOMPARE(objects[i]->objectName(), QString::fromLatin1(kOrder[i].instance));
        auto* w = qobject_cast<QWidget*>(objects[i]);
        QCOMPARE(w != nullptr, kOrder[i].caption != nullptr);
        if (w) {
            QCOMPARE(w->windowTitle(), QString::fromUtf8(kOrder[i].caption));
            QVERIFY2(!w->isVisible(), kOrder[i].instance);
        }
    }
    QCOMPARE(static_cast<QObject*>(fmLogin), objects[0]);
    QVERIFY(dm && fmShoutcast2 && Form2wma && fmShoutCast7 && FMATTESA);

    program.showMain();
    QCOMPARE(visibleTopLevels(), QStringList{QStringLiteral("fmLogin|Wavelorn Encoder 5.0")});
    QCOMPARE(QApplication::applicationDisplayName(), QStringLiteral("WAVELORN Encoder"));
    QCOMPARE(AppRun::title(), QStringLiteral("WAVELORN Encoder"));

    // Exit: the last created first, then the profile emptied.
    QStringList destroyed;
    for (QObject* o : program.objects())
        connect(o, &QObject::destroyed,
                [&destroyed, name = o->objectName()] { destroyed << name; });
    profile.stationName = QStringLiteral("RadioProva");
    profile.port = QStringLiteral("10000");
    program.destroy();

    QStringList expected;
    for (int i = 15; i >= 0; --i)
        expected << QString::fromLatin1(kOrder[i].instance);
    QCOMPARE(destroyed, expected);
    QVERIFY(!fmLogin && !dm && !Form2wma && !fmShoutCast7);
    QVERIFY(profile.stationName.isEmpty() && profile.port.isEmpty());
}

void TestStartup::creationFailureShowsTheErrorAndEndsWithCode1()
{
    AppConfig config = m_db->config();
    QVERIFY(QFile::remove(m_db->sqliteFile())); // the service host is gone
    QString text;
    QStringList visibleMeanwhile;
    auto* app = static_cast<WavelornApplication*>(qApp);
    const int rc = runProgram(*app, config, m_shell, m_mixer, [&](AppRun& run) {
        run.setWaitHook([&](QWidget& box) {
            text = static_cast<QMessageBox&>(box).text();
            visibleMeanwhile = visibleTopLevels(&box);
            static_cast<QMessageBox&>(box).buttons().value(0)->click();
        });
    });
    QCOMPARE(rc, 1);
    QVERIFY2(!text.isEmpty(), "the error box shows the error's text");
    QVERIFY2(visibleMeanwhile.isEmpty(), qPrintable(visibleMeanwhile.join(", ")));
    QVERIFY(!fmLogin && !dm);
    QVERIFY(!QFile::exists(m_db->sqliteFile())); // nothing created in its place
}

void TestStartup::unusableCatalogEndsTheStartUpWithCode1_data()
{
    QTest::addColumn<QString>("damage");
    QTest::newRow("not a database") << QStringLiteral("text");
    QTest::newRow("truncated") << QStringLiteral("truncated");
    QTest::newRow("no accounts table") << QStringLiteral("no utenti");
}

// A catalog file that opens but cannot serve: the error box before any window, exit code 1.
void TestStartup::unusableCatalogEndsTheStartUpWithCode1()
{
    QFETCH(QString, damage);
    const QString file = m_db->sqliteFile();
    if (damage == QLatin1String("no utenti")) {
        m_db->exec(QStringLiteral("DROP TABLE utenti"));
    } else {
        for (int i = 0; i < 200; ++i) // enough rows for the table to span pages
            m_db->exec(QStringLiteral("INSERT INTO utenti (myid, myemail, mynomeradio, myporta) "
                                      "VALUES (?, ?, ?, ?)"),
                       {i + 1, QStringLiteral("a%1@x.it").arg(i), QStringLiteral("R%1").arg(i),
                        10000 + 2 * i});
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadWrite));
        if (damage == QLatin1String("text")) {
            f.resize(0);
            f.write("Questo non è un database, ma un file di testo.\n");
        } else {
            QVERIFY(f.size() > 8192);
            f.resize(f.size() / 2);
        }
    }
    QString text;
    QStringList visibleMeanwhile;
    auto* app = static_cast<WavelornApplication*>(qApp);
    const int rc = runProgram(*app, m_db->config(), m_shell, m_mixer, [&](AppRun& run) {
        run.setWaitHook([&](QWidget& box) {
            text = static_cast<QMessageBox&>(box).text();
            visibleMeanwhile = visibleTopLevels(&box);
            static_cast<QMessageBox&>(box).buttons().value(0)->click();
        });
    });
    QCOMPARE(rc, 1);
    QVERIFY2(!text.isEmpty(), "the error box shows the error's text");
    QVERIFY2(visibleMeanwhile.isEmpty(), qPrintable(visibleMeanwhile.join(", ")));
    QVERIFY(!fmLogin);
}

void TestStartup::closingAnotherWindowHidesItClosingTheMainWindowEndsTheRun()
{
    const AppConfig config = m_db->config();
    bool consoleHiddenAndAlive = false;
    bool watchdog = false;
    armWatchdog(watchdog);
    auto* app = static_cast<WavelornApplication*>(qApp);
    const int rc = runProgram(*app, config, m_shell, m_mixer, [&](AppRun&) {
        QTimer::singleShot(0, qApp, [&] {
            QWidget* console = Form2wma;
            console->show();
            console->close();
            consoleHiddenAndAlive = Form2wma && !console->isVisible();
            fmLogin->close();
        });
    });
    QVERIFY(!watchdog);
    QCOMPARE(rc, 0);
    QVERIFY(consoleHiddenAndAlive);
    QVERIFY(!fmLogin && !Form2wma);
}

void TestStartup::theMeterKeepsTheBarsPaceOnlyWhileTheConsoleCanBeSeen()
{
    const AppConfig config = m_db->config();
    StationProfile profile;
    AppRun run;
    AppContext ctx{config, profile, run, m_shell, m_mixer};
    Program program(ctx);
    program.create();
    const int pace = castengine::MeterIntervalMs, unseen = castengine::MeterUnseenIntervalMs;
    QCOMPARE(fmShoutcast2->meterIntervalMs(), unseen);
    Form2wma->show();
    QCOMPARE(fmShoutcast2->meterIntervalMs(), pace);
    Form2wma->showMinimized();
    QCOMPARE(fmShoutcast2->meterIntervalMs(), unseen);
    Form2wma->showNormal();
    QCOMPARE(fmShoutcast2->meterIntervalMs(), pace);
    Form2wma->hide(); // to the tray
    QCOMPARE(fmShoutcast2->meterIntervalMs(), unseen);
    program.destroy();
}

int main(int argc, char** argv)
{
    WavelornApplication app(argc, argv);
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
