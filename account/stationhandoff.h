#pragma once
// What sign-in hands on to the broadcast side once the account is read, without knowing its
// windows: the console line, the engine's station fields, the publishing point, the
// connection the connection log is written on, and the showing of the broadcast windows.
// Start-up implements it over the engine window, the console and the data module. Each call
// throws AppError (with the text sign-in shows) when what it needs does not exist.
#include <QString>

class DbConnection;
class TAudioMixer;
struct CastStationFields;

struct StationHandoff {
    virtual ~StationHandoff() = default;
    // Chooses the console line among mixer's source lines and sets the volumes through the
    // console's bar; returns the line's index. Throws EListError without source lines.
    virtual int chooseConsoleLine(TAudioMixer& mixer) = 0;
    // The engine window's settings edits.
    virtual void fillStationFields(const CastStationFields& fields) = 0;
    // The console's Windows Media publishing point.
    virtual void setPublishingPoint(const QString& address) = 0;
    // The data module's log connection.
    virtual DbConnection& logConnection() = 0;
    // Shows the engine window, then the console, whose show step starts the cast.
    virtual void showBroadcastWindows() = 0;
};
