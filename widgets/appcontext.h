#pragma once

struct AppConfig;
struct StationProfile;
class AppRun;
class Shell;
class MixerBackend;

// What every window is given at its creation. The objects live for the whole run, owned by
// the start-up code (or by a test).
struct AppContext {
    const AppConfig& config;
    StationProfile& profile;
    AppRun& run;
    Shell& shell;
    MixerBackend& mixerBackend;
};
