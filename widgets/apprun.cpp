#include "apprun.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

AppRun::AppRun(QObject* parent) : QObject(parent) {}

void AppRun::requestEnd()
{
    if (m_endRequested)
        return;
    m_endRequested = true;
    emit endRequestedSignal();
    // Takes effect once the running handler is back in the event loop.
    QMetaObject::invokeMethod(qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

static void centreOnScreen(QWidget& w)
{
    w.adjustSize();
    if (QScreen* s = QGuiApplication::primaryScreen()) {
        const QRect r = s->availableGeometry();
        w.move(r.center() - QPoint(w.width() / 2, w.height() / 2));
    }
}

void AppRun::showMessage(const QString& text)
{
    m_shown << text;
    QMessageBox box;
    box.setWindowTitle(title());
    box.setText(text);
    box.setIcon(QMessageBox::NoIcon);
    box.setStandardButtons(QMessageBox::NoButton);
    box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
    box.setWindowModality(Qt::ApplicationModal);
    centreOnScreen(box);
    runModal(box);
}

void AppRun::showError(const QString& text)
{
    m_shown << text;
    QMessageBox box;
    box.setWindowTitle(title());
    box.setText(text);
    box.setIcon(QMessageBox::Critical);
    box.setStandardButtons(QMessageBox::Ok);
    centreOnScreen(box);
    runModal(box);
}

int AppRun::execModal(QDialog& dialog)
{
    return runModal(dialog);
}

int AppRun::runModal(QDialog& dialog)
{
    if (m_endRequested) {
        // Appears and closes again without waiting.
        dialog.show();
        dialog.reject();
        return QDialog::Rejected;
    }
    if (m_waitHook) {
        QDialog* d = &dialog;
        QTimer::singleShot(0, d, [this, d] {
            if (m_waitHook)
                m_waitHook(*d);
        });
    }
    return dialog.exec();
}
