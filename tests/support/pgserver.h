#pragma once
// A real PostgreSQL server for the tests: initdb into a temporary folder (as user postgres when
// run as root), the server on a free loopback port with its own socket folder, a password
// login, stopped in the destructor. The server is a child of the test that dies with it, even
// when the test crashes.
//
// Typical use:
//     if (!PgServer::available())
//         QSKIP("PostgreSQL binaries not installed");
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

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QProcess> m_server;
    QString m_data;
    int m_port = 0;
    bool m_running = false;
    QString m_error;
};

// A loopback TCP port that nothing listens on (just freed).
int freeLoopbackPort();
