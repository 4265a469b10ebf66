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
