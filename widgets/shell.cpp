#include "shell.h"

#include <QDesktopServices>
#include <QProcess>
#include <QUrl>

void DesktopShell::open(QWidget*, const QString& address, const QString&, ShowCommand)
{
    // The browser decides how its window is shown.
    QDesktopServices::openUrl(QUrl::fromUserInput(address));
}

void DesktopShell::run(const QString& commandLine)
{
    QStringList args = QProcess::splitCommand(commandLine);
    if (args.isEmpty())
        return;
    const QString program = args.takeFirst();
    QProcess::startDetached(program, args);
}
