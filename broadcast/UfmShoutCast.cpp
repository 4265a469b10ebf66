#include "UfmShoutCast.h"

TfmShoutCast7::TfmShoutCast7(AppContext& ctx) : TForm(QStringLiteral("fmShoutCast7"), QStringLiteral("Connetti")), m_ctx(ctx) {}
