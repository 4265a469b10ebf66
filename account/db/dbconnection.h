#pragma once
// The data-access layer: connections and queries over Qt SQL. Every failure throws DbError,
// which carries the provider's message text.
//
// Each connection lives on a thread of its own (a Qt SQL connection belongs to the thread that
// made it); the caller's thread waits for every call. A wait of more than a moment keeps the
// windows painting, swallows the user's input meanwhile and shows the busy cursor (through the
// hook that the window layer installs), so a silent server never freezes a window and no
// second submission starts while the first is out.
#include "apperror.h"

#include <QSqlDatabase>
#include <QString>
#include <functional>
#include <memory>

struct AppConfig;
struct DatabaseSettings;
class QSqlError;

class DbError : public AppError {
public:
    using AppError::AppError;
};

// The provider's own text of a Qt SQL error (the server's or driver's message, else Qt's).
QString providerText(const QSqlError& error);

// FreeTDS and libpq wait for ever on a host that accepts and never answers: "no limit" is
// this ceiling instead.
inline constexpr int kTimeoutCeilingSeconds = 60;

// The text of a statement or connect that ran out of its time.
inline constexpr char kTimeoutText[] = "timeout expired";

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
    // The longest any statement on this connection may take, whatever its query's own
    // command time-out says (0 there means this).
    int statementCeilingSeconds = kTimeoutCeilingSeconds;

    // The service database, or the second one, as the configuration names them.
    static DbConnectionSettings service(const AppConfig& config, int connectTimeoutSeconds,
                                        bool fullForm);
    static DbConnectionSettings second(const AppConfig& config, int connectTimeoutSeconds);

    // The time-out actually handed to the driver: 0 becomes kTimeoutCeilingSeconds.
    int effectiveTimeoutSeconds() const;
    // The bound of a statement whose query has this command time-out (0: none of its own).
    int statementTimeoutSeconds(int commandTimeoutSeconds) const;
    // The SQLite file a QSQLITE connection opens.
    QString sqliteFile() const;
};

class DbConnection {
public:
    DbConnection(QString name, DbConnectionSettings settings);
    ~DbConnection();
    DbConnection(const DbConnection&) = delete;
    DbConnection& operator=(const DbConnection&) = delete;

    void open(); // throws DbError
    void close();
    // Open as far as this side knows: a connection that the server dropped counts as open
    // until the next call finds it gone.
    bool isOpen() const;

    const QString& name() const { return m_name; }
    const DbConnectionSettings& settings() const { return m_settings; }

    // Runs work on the connection's thread with its database, opened first when closed, and
    // waits for it at most timeoutSeconds (then the call is broken off and "timeout expired"
    // thrown; the connection is closed and reopens at the next use). A DbError thrown by work
    // goes on to the caller. When work fails because the server dropped the connection, the
    // connection is reopened and, when retry is set and no transaction is open, work runs
    // once more; work must then be safe to run twice.
    using Work = std::function<void(QSqlDatabase&)>;
    void run(const Work& work, int timeoutSeconds, bool retry = true);

    // A transaction: SQLite takes its write lock at the start (BEGIN IMMEDIATE).
    void begin(int timeoutSeconds);
    void commit(int timeoutSeconds);
    void rollback() noexcept;
    bool inTransaction() const { return m_inTransaction; }

    // Reconnections made by run() since creation.
    int reconnects() const { return m_reconnects; }

    // The ODBC connection string that a QODBC connection hands to the driver manager.
    static QString odbcConnectionString(const DbConnectionSettings& settings);
    // The libpq options that a QPSQL connection hands to the driver.
    static QString postgresOptions(const DbConnectionSettings& settings);

    // Called with true when a call has been waiting for more than a moment, and with false
    // when the last such call ends (the window layer shows the busy cursor). Process-wide.
    static void setBusyHook(std::function<void(bool)> hook);
    // How long a call may take before the windows are kept painting and the hook is called.
    static constexpr int kMomentMs = 150;

    struct Worker;

private:
    void openWorker();
    void markBroken();

    QString m_name; // the connection's name in logs
    DbConnectionSettings m_settings;
    std::shared_ptr<Worker> m_worker;
    bool m_open = false;
    bool m_inTransaction = false;
    int m_reconnects = 0;
};
