#pragma once
// A real PostgreSQL server for the tests: initdb into a temporary folder (as user postgres when
// run as root), the server on a free loopback port with its own socket folder, a password
// login, stopped in the destructor. The server is a child of the test that dies with it, even
// when the test crashes.
//
// Typical use:
//     WL_REQUIRE_POSTGRES();  // skips without the binaries, fails under CI
//     PgServer pg;
//     QVERIFY2(pg.start(), qPrintable(pg.error()));
#include "dbconnection.h"

#include <QProcess>
#include <QString>
#include <QTemporaryDir>
#include <memory>

class PgServer {
public:
    PgServer();
    ~PgServer();
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // The folder of initdb and pg_ctl, empty when PostgreSQL is not installed.
    static QString binDir();
    static bool available() { return !binDir().isEmpty(); }

    bool start(); // false with error() on failure; nothing is left running then
    void stop();
    // Stops the server and starts it again on the same port and data: every connection is
    // dropped, the catalogs stay.
    bool restart();
    // Under CI (CI=true) a server that cannot run fails the test instead of skipping it.
    static bool required();
    bool isRunning() const { return m_running; }
    const QString& error() const { return m_error; }

    QString host() const { return QStringLiteral("127.0.0.1"); }
    int port() const { return m_port; }
    QString user() const { return QStringLiteral("sa"); }
    QString password() const { return QStringLiteral("Pw'Test;14ch!"); }

    // Creates a catalog (database) owned by the login. Throws DbError.
    void createCatalog(const QString& name);
    // Settings of a QPSQL connection to a catalog of this server.
    DbConnectionSettings settings(const QString& catalog, int connectTimeoutSeconds = 15) const;

private:
    bool runTool(const QString& tool, const QStringList& args, int timeoutMs);
    void prepare(QProcess& p, const QString& tool, const QStringList& args);
    bool waitReady(int timeoutMs);
    void launch(); // the server on m_port over m_data; m_running tells
    void appendLog();

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_server;
    QString m_data;
    int m_port = 0;
    bool m_running = false;
    QString m_error;
};

// A loopback TCP port that nothing listens on (just freed).
int freeLoopbackPort();

// Skips the test when PostgreSQL is not installed; under CI (CI=true) fails it instead.
#define WL_REQUIRE_POSTGRES()                                                                      \
    do {                                                                                           \
        if (!PgServer::available()) {                                                              \
            if (PgServer::required())                                                              \
                QFAIL("PostgreSQL binaries are not installed, and CI needs them");                 \
            QSKIP("PostgreSQL binaries are not installed");                                        \
        }                                                                                          \
    } while (false)
