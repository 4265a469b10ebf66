#include "ufmLogin.h"
#include "apprun.h"

#include <QCloseEvent>

TfmLogin::TfmLogin(AppContext& ctx)
    : TForm(QStringLiteral("fmLogin"), QStringLiteral("Wavelorn Encoder 5.0")), m_ctx(ctx)
{
}

TfmLogin::~TfmLogin() = default;

QString TfmLogin::LEGGICAMPO(const QString&)
{
    return {};
}

void TfmLogin::closeEvent(QCloseEvent* event)
{
    // Closing the main window ends the program.
    QWidget::closeEvent(event);
    m_ctx.run.requestEnd();
}
