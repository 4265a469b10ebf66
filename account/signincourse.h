#pragma once
// The course of sign-in without its window: the account's columns read afresh from the service
// database, the checks, the hand-off to the broadcast side, the connection log, the messages
// and the end requests. The sign-in window binds it to its fields and links.
#include "dbconnection.h"
#include "dbquery.h"

#include <QString>
#include <functional>

class AppRun;
class TAudioMixer;
struct AppConfig;
struct StationHandoff;
struct StationProfile;

class SignInCourse {
public:
    SignInCourse(const AppConfig& config, StationProfile& profile, AppRun& run);

    // Opens dbsql: throws DbError when the service database cannot be reached.
    void openConnection() { dbsql.open(); }

    // Where the station goes once signed in; without one, sign-in fails at its first step.
    void setHandoff(StationHandoff* handoff) { m_handoff = handoff; }
    // Shows or hides the hourglass of the settings step (the window's).
    void setBusyHook(std::function<void(bool)> hook) { m_busy = std::move(hook); }

    // Runs a cheap statement on the accounts table: throws DbError when the catalog cannot
    // serve sign-in.
    void checkCatalog();

    // Sign-in with what the owner typed; the mixer is the sign-in window's. False when a step
    // failed: its text has been shown, and the window closes and asks for the end.
    bool signIn(const QString& email, const QString& password, TAudioMixer& mixer);
    // The account settings step: the profile and the engine window's settings.
    void readSettings();
    // One column of the signed-in account, read afresh from the service database. Never
    // throws: a failure is shown and ends the program.
    QString readColumn(const QString& name);

    // The index of the console line among the mixer's source lines.
    int volumeLineIndex = 0;
    // Shown in the message of an unknown account; the window's show step sets it.
    int debugCode = 0;

    // Number of account reads (runs of the account query) since creation.
    int accountReads() const { return m_accountReads; }

    // The sign-in connection (15 s) and its account query (no command time-out).
    DbConnection dbsql;
    DbQuery qrSQL3;

private:
    void writeConnectionLog();
    void setBusy(bool busy);

    const AppConfig& m_config;
    StationProfile& m_profile;
    AppRun& m_run;
    StationHandoff* m_handoff = nullptr;
    std::function<void(bool)> m_busy;
    int m_accountReads = 0;
    bool m_readFailed = false; // an account read of this sign-in failed
};
