#pragma once
// The data-access layer: connections and queries over Qt SQL. Every failure throws DbError,
// which carries the provider's message text.
#include "apperror.h"

#include <QSqlDatabase>
#include <QString>

struct AppConfig;
struct DatabaseSettings;
class QSqlError;

class DbError : public AppError {
public:
    using AppError::AppError;
};

// The provider's own text of a Qt SQL error (the server's or driver's message, else Qt's).
QString providerText(const QSqlError& error);

// How a connection reaches its database: the driver, the database and the time-outs.
struct DbConnectionSettings {
    QString driver; // QSQLITE, QPSQL or QODBC
    QString host;
    int port = 0;    // 0: the driver's default
    QString catalog; // QSQLITE: a file; relative names are taken in programDir
    QString user;
    QString password;
    QString workstation;
    QString programDir;
    int connectTimeoutSeconds = 15; // 0 in the table is kept as a generous ceiling, never none
    bool fullForm = true;           // the full or the short form of the connection string

    // The service database, or the second one, as the configuration names them.
    static DbConnectionSettings service(const AppConfig& config, int connectTimeoutSeconds,
                                        bool fullForm);
    static DbConnectionSettings second(const AppConfig& config, int connectTimeoutSeconds);

    // The time-out actually handed to the driver: 0 becomes kTimeoutCeilingSeconds.
    int effectiveTimeoutSeconds() const;
    // The SQLite file a QSQLITE connection opens.
    QString sqliteFile() const;
};

// FreeTDS and libpq wait for ever on a host that accepts and never answers: "no limit" is
// this ceiling instead.
inline constexpr int kTimeoutCeilingSeconds = 60;

class DbConnection {
public:
    DbConnection(QString name, DbConnectionSettings settings);
    ~DbConnection();
    DbConnection(const DbConnection&) = delete;
    DbConnection& operator=(const DbConnection&) = delete;

    void open(); // throws DbError
    void close();
    bool isOpen() const;

    const QString& name() const { return m_name; }
    const DbConnectionSettings& settings() const { return m_settings; }
    QSqlDatabase database() const;

    // The ODBC connection string that a QODBC connection hands to the driver manager.
    static QString odbcConnectionString(const DbConnectionSettings& settings);

private:
    QString m_name; // unique Qt connection name
    DbConnectionSettings m_settings;
};
