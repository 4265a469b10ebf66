#include "form.h"

#include <QGuiApplication>
#include <QScreen>

TForm::TForm(const QString& instanceName, const QString& caption, QWidget* parent)
    : QWidget(parent, Qt::Window)
{
    setObjectName(instanceName);
    setWindowTitle(caption);
}

void TForm::setFixedClientSize(int w, int h)
{
    setFixedSize(w, h);
    setWindowFlags((windowFlags() & ~Qt::WindowMaximizeButtonHint) |
                   Qt::MSWindowsFixedSizeDialogHint);
}

void TForm::centreOnScreen()
{
    if (QScreen* s = QGuiApplication::primaryScreen()) {
        const QRect r = s->availableGeometry();
        move(r.center() - QPoint(frameGeometry().width() / 2, frameGeometry().height() / 2));
    }
}
