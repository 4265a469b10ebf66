#pragma once
// What the engine's tests give the windows they create.
#include "appconfig.h"
#include "appcontext.h"
#include "apprun.h"
#include "fakeshell.h"
#include "platformmixer.h"
#include "stationprofile.h"

#include <QProgressBar>
#include <QTemporaryDir>
#include <memory>

struct EngineFixture {
    QTemporaryDir programDir;
    AppConfig config = makeConfig(programDir.path());
    StationProfile profile;
    AppRun run;
    FakeShell shell;
    std::unique_ptr<MixerBackend> mixer = createPlatformMixerBackend();
    AppContext ctx{config, profile, run, shell, *mixer};
    // Stands in for the console's level bar (range 0 to 128).
    QProgressBar consoleBar;

    EngineFixture() { consoleBar.setRange(0, 128); }

    static AppConfig makeConfig(const QString& dir)
    {
        AppConfig c;
        c.serviceHost = QStringLiteral("127.0.0.1");
        c.programDir = dir;
        return c;
    }
};
