#include "UfmShoutcast2.h"

TfmShoutcast2::TfmShoutcast2(AppContext& ctx)
    : TForm(QStringLiteral("fmShoutcast2"), QString()), m_ctx(ctx)
{
}

TfmShoutcast2::~TfmShoutcast2() = default;

void TfmShoutcast2::StartCast() {}
void TfmShoutcast2::StopCast() {}
void TfmShoutcast2::btn_startClick() {}
