#pragma once
#include "appcontext.h"
#include "castcontrols.h"
#include "form.h"

// The Connetti window: the cast controls once more, never shown. Its creation checks the
// audio library's version and halts the program (ProgramHalt) on a mismatch.
class TfmShoutCast7 : public TForm, public CastControls {
    Q_OBJECT
public:
    explicit TfmShoutCast7(AppContext& ctx);

    // The text of the version message.
    static QString incorrectVersionText()
    {
        return QStringLiteral("An incorrect version of BASS.DLL was loaded");
    }

private:
    void FormCreate();

    AppContext& m_ctx;
};
