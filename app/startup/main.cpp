#include "appconfig.h"
#include "platformmixer.h"
#include "program.h"
#include "shell.h"
#include "wavelornapplication.h"
#include "wllog.h"

#include <csignal>

int main(int argc, char** argv)
{
    // A streaming server or encoder process that goes away must never end the program.
    std::signal(SIGPIPE, SIG_IGN);

    wllog::install();
    WavelornApplication app(argc, argv);
    qCInfo(lcUi, "WAVELORN Encoder starting");
    const AppConfig config = AppConfig::builtIn();
    DesktopShell shell;
    auto mixerBackend = createPlatformMixerBackend();
    return runProgram(app, config, shell, *mixerBackend);
}
