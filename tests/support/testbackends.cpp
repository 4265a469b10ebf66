#include "testbackends.h"

void TestBackends::addColumn()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("sqlite") << QStringLiteral("sqlite");
    QTest::newRow("postgres") << QStringLiteral("postgres");
}

QString TestBackends::globalBackend()
{
    QFETCH_GLOBAL(QString, backend);
    return backend;
}

bool TestBackends::startPostgres()
{
    if (m_pg)
        return true;
    if (m_pgFailed || !PgServer::available())
        return false;
    m_pg = std::make_unique<PgServer>();
    if (!m_pg->start()) {
        qWarning("PostgreSQL did not start: %s", qPrintable(m_pg->error()));
        m_pgFailed = true;
        m_pg.reset();
        return false;
    }
    return true;
}

std::unique_ptr<TestDb> TestBackends::make(const QString& backend)
{
    if (backend == QLatin1String("sqlite"))
        return TestDb::sqlite();
    if (!startPostgres())
        return nullptr;
    return TestDb::postgres(*m_pg, m_prefix + QString::number(++m_catalogs));
}
