#pragma once
#include <QString>

// The signed-in station, one record for the run. Every field is text.
struct StationProfile {
    QString signInEmail;
    QString signInPassword;
    QString stationName;
    QString port;
    QString streamPassword;
    QString genre;
    QString description;

    void clear() { *this = StationProfile{}; }
};

// What sign-in hands the engine window for its settings' edits: the server address, the
// stream password, the name, genre, address and description the server shows.
struct CastStationFields {
    QString server;
    QString password;
    QString name;
    QString genre;
    QString url;
    QString description;
};
