#include "appconfig.h"
#include "platformmixer.h"
#include "program.h"
#include "shell.h"
#include "wavelornapplication.h"

#include <csignal>

int main(int argc, char** argv)
{
    // A streaming server or encoder process that goes away must never end the program.
    std::signal(SIGPIPE, SIG_IGN);

    WavelornApplication app(argc, argv);
    const AppConfig config = AppConfig::builtIn();
    DesktopShell shell;
    auto mixerBackend = createPlatformMixerBackend();
    return runProgram(app, config, shell, *mixerBackend);
}
