#include "Ufmdm.h"

Tdm::Tdm(AppContext& ctx) : m_ctx(ctx) { setObjectName(QStringLiteral("dm")); }
