#include "UfmShoutCast.h"

#include "apprun.h"
#include "bass.h"
#include "programhalt.h"
#include "wllog.h"

#include <QMessageBox>

TfmShoutCast7::TfmShoutCast7(AppContext& ctx)
    : TForm(QStringLiteral("fmShoutCast7"), QStringLiteral("Connetti")), m_ctx(ctx)
{
    buildCastControls(this);
    resize(440, 380);
    FormCreate();
}

void TfmShoutCast7::FormCreate()
{
    if ((BASS_GetVersion() >> 16) != BASSVERSION) {
        QMessageBox box(this);
        box.setWindowTitle(QString());
        box.setIcon(QMessageBox::Critical);
        box.setText(incorrectVersionText());
        box.setStandardButtons(QMessageBox::Ok);
        m_ctx.run.execModal(box);
        throw ProgramHalt{1};
    }
    if (!BASS_RecordInit(-1)) {
        qCWarning(lcCast) << "The recording device cannot be opened:" << BASS_LastErrorText();
        close();
    }
    setLevelBarColour(0xFFFFFF);
}
