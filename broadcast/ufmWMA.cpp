#include "ufmWMA.h"

TForm2wma::TForm2wma(AppContext& ctx)
    : TForm(QStringLiteral("Form2wma"), QStringLiteral("Trasmissione Live!!!  Vers. 5.0")), m_ctx(ctx)
{
}

TForm2wma::~TForm2wma() = default;
