#include "ufmRegistrazione.h"

TfmRegistrazione::TfmRegistrazione(AppContext& ctx) : TForm(QStringLiteral("fmRegistrazione"), QStringLiteral("Registrazione")), m_ctx(ctx) {}
