#pragma once
// The databases the tests run every statement against: SQLite always, and PostgreSQL on a
// server of our own when its binaries are installed.
#include "pgserver.h"
#include "testdb.h"

#include <QTest>
#include <memory>

class Backends {
public:
    // Adds a "backend" column with the rows "sqlite" and "postgres".
    static void addColumn();
    // The fresh database of the current row's backend; skips when PostgreSQL is not
    // installed, fails when its server cannot start.
    std::unique_ptr<TestDb> make(const QString& backend);
    void stop() { m_pg.reset(); }

private:
    std::unique_ptr<PgServer> m_pg;
    bool m_pgFailed = false;
    int m_catalogs = 0;
};

// Runs make() in a test function: skips or fails the row as needed.
#define WL_MAKE_DB(backends, var)                                                                  \
    QFETCH(QString, backend);                                                                      \
    if (backend == QLatin1String("postgres") && !PgServer::available())                            \
        QSKIP("PostgreSQL binaries are not installed");                                            \
    std::unique_ptr<TestDb> var = (backends).make(backend);                                        \
    QVERIFY2(var, "the database server did not start");
