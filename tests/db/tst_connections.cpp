// Connections that cannot open: every driver fails with the provider's own text, within the
// time-out, and a start-up that meets one ends with the error box and exit code 1.
#include "Ufmdm.h"
#include "apprun.h"
#include "dbquery.h"
#include "fakemixerbackend.h"
#include "fakeshell.h"
#include "program.h"
#include "serviceconnections.h"
#include "stationprofile.h"
#include "testbackends.h"
#include "wavelornapplication.h"

#include <QAbstractButton>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QTcpServer>
#include <QtTest>

namespace {

// The text of the DbError that opening these settings throws; empty if it opened.
QString openError(const DbConnectionSettings& s, qint64* elapsedMs = nullptr)
{
    QElapsedTimer clock;
    clock.start();
    DbConnection c(QStringLiteral("failing"), s);
    QString text;
    try {
        c.open();
    } catch (const DbError& e) {
        text = e.text();
    }
    if (elapsedMs)
        *elapsedMs = clock.elapsed();
    return text;
}

// A loopback port that accepts connections and never answers: the kernel completes the
// handshake for the listening socket, nobody reads.
struct SilentPeer {
    QTcpServer server;
    SilentPeer() { server.listen(QHostAddress::LocalHost, 0); }
    int port() const { return server.serverPort(); }
};

DbConnectionSettings freeTds(int port, int timeout)
{
    DbConnectionSettings s;
    s.driver = QStringLiteral("QODBC");
    s.host = QStringLiteral("127.0.0.1");
    s.port = port;
    s.catalog = QStringLiteral("servizio");
    s.user = QStringLiteral("sa");
    s.password = QStringLiteral("Pw;{x}=14chars");
    s.workstation = QStringLiteral("POSTAZIONE1");
    s.connectTimeoutSeconds = timeout;
    return s;
}

bool freeTdsInstalled()
{
    return QSqlDatabase::isDriverAvailable(QStringLiteral("QODBC")) &&
           QFile::exists(QStringLiteral("/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so"));
}

} // namespace

class TestConnections : public QObject {
    Q_OBJECT
    std::unique_ptr<PgServer> m_pg;
    FakeShell m_shell;
    FakeMixerBackend m_mixer;

    PgServer& pg()
    {
        if (!m_pg) {
            m_pg = std::make_unique<PgServer>();
            if (!m_pg->start())
                qWarning("%s", qPrintable(m_pg->error()));
        }
        return *m_pg;
    }

private slots:
    void cleanupTestCase() { m_pg.reset(); }

    void sqliteMissingFileFailsAndIsNotCreated()
    {
        auto t = TestDb::sqlite();
        DbConnectionSettings s = t->settings();
        s.catalog = QStringLiteral("assente.sqlite");
        const QString text = openError(s);
        QVERIFY(!text.isEmpty());
        QVERIFY(!QFile::exists(s.sqliteFile()));

        // The real file opens, read-write, from the program's folder.
        DbConnection c(QStringLiteral("ok"), t->settings());
        c.open();
        QVERIFY(c.isOpen());
        DbQuery q(c);
        q.setSql(QStringLiteral("INSERT INTO ConnessioniTessaroFTP (mynomecanale) VALUES (?)"),
                 {QStringLiteral("x")});
        q.execute();
        QCOMPARE(q.rowsAffected(), 1);
        c.close();
        QVERIFY(!c.isOpen());
    }

    void postgresFailures()
    {
        WL_REQUIRE_POSTGRES();
        QVERIFY2(pg().isRunning(), qPrintable(pg().error()));
        auto t = TestDb::postgres(pg(), QStringLiteral("servizio"));

        DbConnectionSettings down = t->settings(5);
        down.port = freeLoopbackPort();
        QVERIFY2(openError(down).contains(QLatin1String("refused")), qPrintable(openError(down)));

        DbConnectionSettings wrong = t->settings(5);
        wrong.password = QStringLiteral("sbagliata");
        QVERIFY2(openError(wrong).contains(QLatin1String("password authentication failed")),
                 qPrintable(openError(wrong)));

        DbConnectionSettings unknown = t->settings(5);
        unknown.catalog = QStringLiteral("inesistente");
        QVERIFY2(openError(unknown).contains(QLatin1String("\"inesistente\" does not exist")),
                 qPrintable(openError(unknown)));

        // A host that accepts and never answers: the exception comes with the time-out
        // (libpq's shortest is 2 s), not never.
        SilentPeer silent;
        DbConnectionSettings hung = t->settings(2);
        hung.port = silent.port();
        qint64 ms = 0;
        const QString text = openError(hung, &ms);
        QVERIFY2(text.contains(QLatin1String("timeout"), Qt::CaseInsensitive), qPrintable(text));
        QVERIFY2(ms < 30000, qPrintable(QString::number(ms)));

        // A statement refused by the server carries its text too.
        DbConnection c(QStringLiteral("ok"), t->settings());
        DbQuery q(c); // opens the connection itself
        q.setSql(QStringLiteral("SELECT * FROM tabella_assente"));
        try {
            q.open();
            QFAIL("the statement ran");
        } catch (const DbError& e) {
            QVERIFY2(e.text().contains(QLatin1String("tabella_assente")), qPrintable(e.text()));
        }
    }

    void timeoutZeroIsACeiling()
    {
        DbConnectionSettings s;
        s.connectTimeoutSeconds = 0;
        QCOMPARE(s.effectiveTimeoutSeconds(), kTimeoutCeilingSeconds);
        s.connectTimeoutSeconds = 15;
        QCOMPARE(s.effectiveTimeoutSeconds(), 15);
    }

    void freeTdsConnectionString()
    {
        DbConnectionSettings s = freeTds(0, 15);
        QCOMPARE(DbConnection::odbcConnectionString(s),
                 QStringLiteral(
                     "DRIVER={FreeTDS};SERVER=127.0.0.1;PORT=1433;DATABASE=servizio;"
                     "UID=sa;PWD={Pw;{x}}=14chars};TDS_Version=7.4;ClientCharset=UTF-8;Timeout=60;"
                     "PacketSize=4096;WSID=POSTAZIONE1;Encryption=off"));
        s.fullForm = false;
        s.port = 1444;
        s.password = QStringLiteral("semplice");
        QCOMPARE(
            DbConnection::odbcConnectionString(s),
            QStringLiteral("DRIVER={FreeTDS};SERVER=127.0.0.1;PORT=1444;DATABASE=servizio;"
                           "UID=sa;PWD=semplice;TDS_Version=7.4;ClientCharset=UTF-8;Timeout=60"));
    }

    void freeTdsFailures()
    {
        if (!freeTdsInstalled())
            QSKIP("FreeTDS ODBC driver not installed");
        const QString closed = openError(freeTds(freeLoopbackPort(), 5));
        QVERIFY2(closed.contains(QLatin1String("[FreeTDS]")) &&
                     closed.contains(QLatin1String("Unable to connect")),
                 qPrintable(closed));

        SilentPeer silent;
        qint64 ms = 0;
        const QString hung = openError(freeTds(silent.port(), 2), &ms);
        QVERIFY2(hung.contains(QLatin1String("[FreeTDS]")) &&
                     hung.contains(QLatin1String("Timeout expired")),
                 qPrintable(hung));
        QVERIFY2(ms < 30000, qPrintable(QString::number(ms)));
    }

    void dataModuleOpensBothConnections()
    {
        auto t = TestDb::sqlite();
        const AppConfig config = t->config();
        StationProfile profile;
        AppRun run;
        AppContext ctx{config, profile, run, m_shell, m_mixer};
        Tdm dm(ctx);
        QCOMPARE(dm.objectName(), QStringLiteral("dm"));
        QVERIFY(dm.db().isOpen());
        QVERIFY(dm.ADOConnection1().isOpen());
        QVERIFY(!dm.db().settings().fullForm);
        QCOMPARE(dm.db().settings().connectTimeoutSeconds, 0);

        AppConfig broken = config;
        broken.secondDb.catalog = QStringLiteral("seconda.sqlite");
        AppContext brokenCtx{broken, profile, run, m_shell, m_mixer};
        QVERIFY_THROWS_EXCEPTION(DbError, Tdm{brokenCtx});
    }

    // A start-up whose service database refuses the login: the error box shows the
    // provider's text, no window appears, the exit code is 1.
    void startUpWithRefusedLogin()
    {
        WL_REQUIRE_POSTGRES();
        QVERIFY2(pg().isRunning(), qPrintable(pg().error()));
        auto t = TestDb::postgres(pg(), QStringLiteral("avvio"));
        AppConfig config = t->config();
        config.serviceDb.password = QStringLiteral("sbagliata");
        config.secondDb.password = config.serviceDb.password;
        const QString expected = openError(DbConnectionSettings::service(config, 15, true));
        QVERIFY(expected.contains(QLatin1String("password authentication failed")));

        QString text;
        bool windowVisible = false;
        auto* app = static_cast<WavelornApplication*>(qApp);
        const int rc = runProgram(*app, config, m_shell, m_mixer, [&](AppRun& run) {
            run.setWaitHook([&](QWidget& box) {
                text = static_cast<QMessageBox&>(box).text();
                for (QWidget* w : QApplication::topLevelWidgets())
                    windowVisible = windowVisible || (w != &box && w->isVisible());
                static_cast<QMessageBox&>(box).buttons().value(0)->click();
            });
        });
        QCOMPARE(rc, 1);
        QCOMPARE(text, expected);
        QVERIFY(!windowVisible);
    }
};

int main(int argc, char** argv)
{
    WavelornApplication app(argc, argv);
    TestConnections test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_connections.moc"
