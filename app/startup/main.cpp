#include "appconfig.h"
#include "logfile.h"
#include "platformmixer.h"
#include "program.h"
#include "shell.h"
#include "singleinstance.h"
#include "wavelornapplication.h"
#include "wllog.h"

#include <QIcon>
#include <csignal>

int main(int argc, char** argv)
{
    // A streaming server or encoder process that goes away must never end the program.
    std::signal(SIGPIPE, SIG_IGN);

    wllog::install();
    WavelornApplication app(argc, argv);
    qCInfo(lcUi, "WAVELORN Encoder starting");
    // Links the windows to the desktop entry (the Wayland app id) and its icon.
    QGuiApplication::setDesktopFileName(QLatin1String(kApplicationId));
    QGuiApplication::setWindowIcon(QIcon::fromTheme(QLatin1String(kApplicationId)));
    // One program per user: a later launch brings this one's window to the front and ends.
    SingleInstance instance{QLatin1String(kApplicationId)};
    switch (instance.claim()) {
    case SingleInstance::Role::Forwarded:
        return 0;
    case SingleInstance::Role::Failed:
        return 1;
    case SingleInstance::Role::Primary:
        break;
    }
    QObject::connect(&instance, &SingleInstance::activationRequested, &raiseFrontWindow);
    // The log also goes to a file an owner can send to support.
    LogFile logFile;
    const AppConfig config = AppConfig::builtIn();
    DesktopShell shell;
    auto mixerBackend = createPlatformMixerBackend();
    return runProgram(app, config, shell, *mixerBackend);
}
