#include "ufmRip.h"
#include "bass.h"

TfmRip::TfmRip(AppContext& ctx) : TForm(QStringLiteral("fmRip"), QString()), m_ctx(ctx)
{
    // The audio library's output on its no-sound device; the result is not looked at.
    BASS_Init(0, 44100, 0, this, nullptr);
}
