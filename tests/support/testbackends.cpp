#include "backends.h"

void Backends::addColumn()
{
    QTest::addColumn<QString>("backend");
    QTest::newRow("sqlite") << QStringLiteral("sqlite");
    QTest::newRow("postgres") << QStringLiteral("postgres");
}

std::unique_ptr<TestDb> Backends::make(const QString& backend)
{
    if (backend == QLatin1String("sqlite"))
        return TestDb::sqlite();
    if (m_pgFailed)
        return nullptr;
    if (!m_pg) {
        m_pg = std::make_unique<PgServer>();
        if (!m_pg->start()) {
            qWarning("%s", qPrintable(m_pg->error()));
            m_pgFailed = true;
            m_pg.reset();
            return nullptr;
        }
    }
    return TestDb::postgres(*m_pg, QStringLiteral("service%1").arg(++m_catalogs));
}
