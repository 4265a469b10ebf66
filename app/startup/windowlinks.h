#pragma once
// What start-up connects between the sign-in side and the broadcast side, neither of which
// knows the other: each reaches the other's windows through the process-wide references, so
// that a window not made (yet, or any more) is an error with its text, never a dangling one.
#include "signinaccess.h"
#include "stationhandoff.h"

// Sign-in's hand-off: the console's line and publishing point, the engine window's station
// fields, the data module's log connection, the showing of the engine window and the console.
class BroadcastHandoff final : public StationHandoff {
public:
    int chooseConsoleLine(TAudioMixer& mixer) override;
    void fillStationFields(const CastStationFields& fields) override;
    void setPublishingPoint(const QString& address) override;
    DbConnection& logConnection() override;
    void showBroadcastWindows() override;
};

// The console's view of the sign-in window: its line index, its account reads, its mixer.
class ConsoleSignIn final : public SignInAccess {
public:
    int volumeLineIndex() override;
    QString readAccountColumn(const QString& column) override;
    TAudioMixer* mixer() override;
};
