#include "dbconnection.h"

#include "appconfig.h"

#include <QAtomicInt>
#include <QDir>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QUrl>
#include <QVariant>

#include <sqlite3.h>

QString providerText(const QSqlError& error)
{
    const QString db = error.databaseText().trimmed();
    if (!db.isEmpty())
        return db;
    const QString driver = error.driverText().trimmed();
    if (!driver.isEmpty())
        return driver;
    return error.text().trimmed();
}

DbConnectionSettings DbConnectionSettings::service(const AppConfig& config,
                                                   int connectTimeoutSeconds, bool fullForm)
{
    DbConnectionSettings s;
    s.driver = config.dbDriver;
    s.host = config.serviceDb.host;
    s.port = config.serviceDb.port;
    s.catalog = config.serviceDb.catalog;
    s.user = config.serviceDb.user;
    s.password = config.serviceDb.password;
    s.workstation = config.workstation;
    s.programDir = config.programDir;
    s.connectTimeoutSeconds = connectTimeoutSeconds;
    s.fullForm = fullForm;
    return s;
}

DbConnectionSettings DbConnectionSettings::second(const AppConfig& config,
                                                  int connectTimeoutSeconds)
{
    DbConnectionSettings s = service(config, connectTimeoutSeconds, false);
    s.host = config.secondDb.host;
    s.port = config.secondDb.port;
    s.catalog = config.secondDb.catalog;
    s.user = config.secondDb.user;
    s.password = config.secondDb.password;
    return s;
}

int DbConnectionSettings::effectiveTimeoutSeconds() const
{
    if (connectTimeoutSeconds <= 0 || connectTimeoutSeconds > kTimeoutCeilingSeconds)
        return kTimeoutCeilingSeconds;
    return connectTimeoutSeconds;
}

QString DbConnectionSettings::sqliteFile() const
{
    if (QFileInfo(catalog).isAbsolute() || programDir.isEmpty())
        return QDir::cleanPath(catalog);
    return QDir::cleanPath(QDir(programDir).filePath(catalog));
}

namespace {

QString uniqueName(const QString& name)
{
    static QAtomicInt counter;
    return QStringLiteral("%1#%2").arg(name).arg(counter.fetchAndAddRelaxed(1) + 1);
}

// An ODBC attribute value, in braces when it holds characters the string's syntax uses.
QString odbcValue(const QString& value)
{
    static const QString special = QStringLiteral(";{}=");
    bool needsBraces = value != value.trimmed();
    for (QChar c : value)
        needsBraces = needsBraces || special.contains(c);
    if (!needsBraces)
        return value;
    QString v = value;
    v.replace(QLatin1Char('}'), QStringLiteral("}}"));
    return QLatin1Char('{') + v + QLatin1Char('}');
}

// SQLite's own upper() folds ASCII letters only; the service database folds every letter.
void unicodeUpper(sqlite3_context* context, int argc, sqlite3_value** argv)
{
    if (argc != 1 || sqlite3_value_type(argv[0]) == SQLITE_NULL) {
        sqlite3_result_null(context);
        return;
    }
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const int bytes = sqlite3_value_bytes(argv[0]);
    const QByteArray upper = QString::fromUtf8(text, bytes).toUpper().toUtf8();
    sqlite3_result_text(context, upper.constData(), int(upper.size()), SQLITE_TRANSIENT);
}

void installSqliteFunctions(QSqlDatabase& db)
{
    const QVariant v = db.driver()->handle();
    if (!v.isValid() || qstrcmp(v.typeName(), "sqlite3*") != 0)
        return;
    sqlite3* handle = *static_cast<sqlite3* const*>(v.constData());
    if (handle)
        sqlite3_create_function_v2(handle, "upper", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                                   unicodeUpper, nullptr, nullptr, nullptr);
}

} // namespace

QString DbConnection::odbcConnectionString(const DbConnectionSettings& s)
{
    // The provider's keys carried over to FreeTDS's.
    QStringList parts;
    parts << QStringLiteral("DRIVER={FreeTDS}");
    parts << QStringLiteral("SERVER=") + odbcValue(s.host);
    parts << QStringLiteral("PORT=%1").arg(s.port > 0 ? s.port : 1433);
    parts << QStringLiteral("DATABASE=") + odbcValue(s.catalog);
    parts << QStringLiteral("UID=") + odbcValue(s.user);
    parts << QStringLiteral("PWD=") + odbcValue(s.password);
    parts << QStringLiteral("TDS_Version=7.4");
    parts << QStringLiteral("ClientCharset=UTF-8");
    if (s.fullForm) {
        parts << QStringLiteral("PacketSize=4096");
        parts << QStringLiteral("WSID=") + odbcValue(s.workstation);
        parts << QStringLiteral("Encryption=off");
    }
    return parts.join(QLatin1Char(';'));
}

DbConnection::DbConnection(QString name, DbConnectionSettings settings)
    : m_name(uniqueName(name)), m_settings(std::move(settings))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(m_settings.driver, m_name);
    if (!db.isValid())
        return; // open() reports the unknown driver
    const int timeout = m_settings.effectiveTimeoutSeconds();
    if (m_settings.driver == QLatin1String("QSQLITE")) {
        // mode=rw: a missing file fails to open, as an unreachable server does, and is not
        // created.
        const QString uri =
            QUrl::fromLocalFile(m_settings.sqliteFile()).toString(QUrl::FullyEncoded);
        db.setDatabaseName(uri + QStringLiteral("?mode=rw"));
        db.setConnectOptions(
            QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(timeout * 1000));
    } else if (m_settings.driver == QLatin1String("QPSQL")) {
        db.setHostName(m_settings.host);
        if (m_settings.port > 0)
            db.setPort(m_settings.port);
        db.setDatabaseName(m_settings.catalog);
        db.setUserName(m_settings.user);
        db.setPassword(m_settings.password);
        db.setConnectOptions(QStringLiteral("connect_timeout=%1").arg(timeout));
    } else if (m_settings.driver == QLatin1String("QODBC")) {
        db.setDatabaseName(odbcConnectionString(m_settings));
        db.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(timeout));
    } else {
        db.setHostName(m_settings.host);
        db.setDatabaseName(m_settings.catalog);
        db.setUserName(m_settings.user);
        db.setPassword(m_settings.password);
    }
}

DbConnection::~DbConnection()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

void DbConnection::open()
{
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    if (!db.isValid())
        throw DbError(QStringLiteral("Driver not loaded: %1").arg(m_settings.driver));
    if (db.isOpen())
        return;
    if (!db.open()) {
        const QString text = providerText(db.lastError());
        db.close();
        throw DbError(text.isEmpty() ? QStringLiteral("Cannot open the database") : text);
    }
    if (m_settings.driver == QLatin1String("QSQLITE"))
        installSqliteFunctions(db);
}

void DbConnection::close()
{
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    if (db.isValid())
        db.close();
}

bool DbConnection::isOpen() const
{
    QSqlDatabase db = QSqlDatabase::database(m_name, false);
    return db.isValid() && db.isOpen();
}

QSqlDatabase DbConnection::database() const
{
    return QSqlDatabase::database(m_name, false);
}
