#include "Ufmdm.h"

#include "serviceconnections.h"

Tdm::Tdm(AppContext& ctx) : m_ctx(ctx)
{
    setObjectName(QStringLiteral("dm"));
    m_db = ServiceConnections::openLogConnection(m_ctx.config);
    m_ADOConnection1 = ServiceConnections::openSecondConnection(m_ctx.config);
}

Tdm::~Tdm() = default;
