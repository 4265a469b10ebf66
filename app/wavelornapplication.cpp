#include "wavelornapplication.h"
#include "apprun.h"
#include "wllog.h"

#include <exception>

WavelornApplication::WavelornApplication(int& argc, char** argv) : QApplication(argc, argv)
{
    // The name alone: a display name set explicitly would be appended to every window title.
    setApplicationName(AppRun::title());
    setQuitOnLastWindowClosed(false);
}

bool WavelornApplication::notify(QObject* receiver, QEvent* event)
{
    QString text;
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        text = QString::fromUtf8(e.what());
    }
    qCWarning(lcUi).noquote() << "a handler let an error through:" << text;
    if (m_run)
        m_run->showError(text);
    return false;
}
