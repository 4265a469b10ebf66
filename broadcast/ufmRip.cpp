#include "ufmRip.h"
#include "bass.h"
#include "wllog.h"

TfmRip::TfmRip(AppContext& ctx) : TForm(QStringLiteral("fmRip"), QString()), m_ctx(ctx)
{
    // The audio library's output on its no-sound device; a failure changes nothing here.
    if (!BASS_Init(0, 44100, 0, this, nullptr))
        qCWarning(lcCast) << "The no-sound output cannot be opened:" << BASS_LastErrorText();
}
