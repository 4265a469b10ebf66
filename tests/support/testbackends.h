#pragma once
// The databases a test runs against: SQLite always, and PostgreSQL on one server of the test
// program's own, started at the first need, when its binaries are installed.
//
// One function on both (a data row each):
//   void listing_data() { TestBackends::addColumn(); }
//   void listing() { WL_MAKE_DB(m_backends, db); ... }
// Every function on both (global rows):
//   initTestCase_data() { TestBackends::addColumn(); }
//   initTestCase()      { m_backends.startPostgres(); }
//   init()              { WL_SKIP_WITHOUT_POSTGRES(m_backends); }
//   a function          { auto db = m_backends.make(TestBackends::globalBackend()); ... }
#include "pgserver.h"
#include "testdb.h"

#include <QTest>
#include <memory>

class TestBackends {
public:
    // Each PostgreSQL database is a new catalog, named the prefix and a number.
    explicit TestBackends(QString catalogPrefix = QStringLiteral("service"))
        : m_prefix(std::move(catalogPrefix))
    {}

    // Adds a "backend" column with the rows "sqlite" and "postgres".
    static void addColumn();
    // The backend of the current global row.
    static QString globalBackend();
    static bool onSqlite() { return globalBackend() == QLatin1String("sqlite"); }

    // A fresh database on backend ("sqlite" or "postgres"); nullptr when the PostgreSQL server
    // is missing or cannot start.
    std::unique_ptr<TestDb> make(const QString& backend);
    // Starts the PostgreSQL server now, when installed; false (with a warning) when it is not
    // running afterwards.
    bool startPostgres();
    bool postgresRunning() const { return m_pg != nullptr; }
    void stop() { m_pg.reset(); }

private:
    QString m_prefix;
    std::unique_ptr<PgServer> m_pg;
    bool m_pgFailed = false;
    int m_catalogs = 0;
};

// Runs make() for the current data row in a test function: skips the row when PostgreSQL is
// not installed, fails it when its server cannot start.
#define WL_MAKE_DB(backends, var)                                                                  \
    QFETCH(QString, backend);                                                                      \
    if (backend == QLatin1String("postgres"))                                                      \
        WL_REQUIRE_POSTGRES();                                                                     \
    std::unique_ptr<TestDb> var = (backends).make(backend);                                        \
    QVERIFY2(var, "the database server did not start");

// In init(): skips the functions of the PostgreSQL global row when its server is not running;
// under CI (CI=true) fails them.
#define WL_SKIP_WITHOUT_POSTGRES(backends)                                                         \
    if (!TestBackends::onSqlite() && !(backends).postgresRunning()) {                              \
        if (PgServer::required())                                                                  \
            QFAIL("the PostgreSQL server did not start, and CI needs it");                         \
        QSKIP("no PostgreSQL server");                                                             \
    }
