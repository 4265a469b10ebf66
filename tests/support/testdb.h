#pragma once
// A service database for the tests, made from the schema scripts in db/: on SQLite (a file in
// a temporary folder) or as a new catalog of a PgServer. Helpers throw DbError.
#include "appconfig.h"
#include "dbconnection.h"

#include <QList>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>
#include <memory>

class PgServer;

struct TestAccount {
    int id = 1;
    QString user = QStringLiteral("utente");
    QString password = QStringLiteral("segreta");
    QString email = QStringLiteral("utente@example.com");
    QString station = QStringLiteral("RadioProva");
    QString mobile = QStringLiteral("3330000000");
    QVariant port = 10000; // a null QVariant stores NULL
    QString bitrate = QStringLiteral("128000");
    QString genre = QStringLiteral("Pop");
    QString description = QStringLiteral("Una radio di prova");
};

class TestDb {
public:
    // A fresh SQLite file "service.sqlite" with the schema, in a temporary folder that
    // config().programDir names.
    static std::unique_ptr<TestDb> sqlite();
    // A fresh catalog on a running PgServer, with the schema.
    static std::unique_ptr<TestDb> postgres(PgServer& server, const QString& catalog);
    ~TestDb();
    TestDb(const TestDb&) = delete;
    TestDb& operator=(const TestDb&) = delete;

    const QString& driver() const { return m_settings.driver; }
    // The settings of a connection to this database (full form unless told).
    DbConnectionSettings settings(int connectTimeoutSeconds = 15, bool fullForm = true) const;
    // A configuration whose service and second databases are this one.
    AppConfig config() const;
    // The SQLite file (empty on PostgreSQL).
    QString sqliteFile() const;

    // Opens the helpers' own connection again (after the server restarted).
    void reconnect();
    // Runs a statement with bound values.
    void exec(const QString& sql, const QVariantList& values = {});
    // The rows of a query, each a list of its column values.
    QList<QVariantList> rows(const QString& sql, const QVariantList& values = {});
    // The single value of a query's first row (a count, say).
    QVariant value(const QString& sql, const QVariantList& values = {});

    void addAccount(const TestAccount& account);
    void addMessage(const QString& station, const QString& listener, const QString& dedica,
                    const QString& date = QStringLiteral("2024-05-01T18:30:00"));
    int messageCount(const QString& station);

    // The script of db/ for a driver, and the folder of the sources.
    static QString sourceDir();
    static QString schemaFile(const QString& driver);
    // The statements of a script (comments dropped, split at ';' and "GO").
    static QStringList scriptStatements(const QString& path);

private:
    TestDb() = default;
    void openAdmin();
    void applySchema();

    std::unique_ptr<QTemporaryDir> m_dir;
    DbConnectionSettings m_settings;
    QString m_admin; // Qt connection name of the helpers' own connection
};
