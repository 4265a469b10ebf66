#pragma once
#include <QString>

// The program's names on the desktop. The command is also the folder of its files in the data
// locations; the application id names the desktop entry, the icon, the AppStream data and the
// single-instance socket. The install rules (cmake/Install.cmake) use the same two names.
inline constexpr char kCommandName[] = "wavelorn-encoder";
inline constexpr char kApplicationId[] = "it.wavelorn.Encoder";

// Where one database lives. For QSQLITE the catalog is a file name, taken relative to the
// program's folder unless it is absolute (builtIn() makes it absolute, see dataFile()).
struct DatabaseSettings {
    QString host;
    int port = 0; // 0: the driver's own default
    QString catalog;
    QString user = QStringLiteral("sa");
    QString password;
};

// The program's fixed configuration. The program itself only ever uses builtIn(), whose
// values are compiled in; tests build their own.
struct AppConfig {
    QString serviceHost;       // written without "www."
    QString secondServiceHost; // written with "www." by the addresses that use it
    QString youtubeHome;       // host of the YouTube home page, no scheme
    QString dbDriver;          // QSQLITE, QPSQL or QODBC
    DatabaseSettings serviceDb;
    DatabaseSettings secondDb;
    QString workstation;
    QString
        programDir; // the folder of the executable: the first place of QSQLITE files and skin.sui

    // Where the program's file name is: an absolute name as it is; else the file in the
    // program's folder when it is there (an uninstalled build); else the first found in the
    // data locations: QStandardPaths::AppDataLocation, then kCommandName/ in
    // GenericDataLocation (~/.local/share/wavelorn-encoder/, /usr/share/wavelorn-encoder/, ...).
    // A file found nowhere is named in the program's folder. Nothing is created.
    QString dataFile(const QString& name) const;

    // The compiled-in values; a relative QSQLITE catalog is resolved with dataFile().
    static AppConfig builtIn();
};
