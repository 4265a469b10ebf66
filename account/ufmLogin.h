#pragma once
#include "appcontext.h"
#include "form.h"

class QCloseEvent;

// The sign-in window, the program's main window. The live console reads VolumeLineIndex and
// calls LEGGICAMPO.
class TfmLogin : public TForm {
    Q_OBJECT
public:
    explicit TfmLogin(AppContext& ctx);
    ~TfmLogin() override;

    int VolumeLineIndex = 0;
    int DebugCode = 0;

    // One column of the signed-in account, read afresh from the service database.
    QString LEGGICAMPO(const QString& name);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    AppContext& m_ctx;
};
