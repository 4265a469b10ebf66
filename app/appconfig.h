#pragma once
#include <QString>

// Where one database lives. For QSQLITE the catalog is a file name, taken relative to the
// program's folder unless it is absolute.
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
    QString programDir; // the folder of the executable: QSQLITE files and skin.sui live there

    static AppConfig builtIn();
};
