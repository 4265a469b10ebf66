#include "testdb.h"

#include "pgserver.h"

#include <QAtomicInt>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>

#ifndef WL_TESTSUPPORT_SOURCE_DIR
#define WL_TESTSUPPORT_SOURCE_DIR ""
#endif

namespace {
QString adminName()
{
    static QAtomicInt n;
    return QStringLiteral("testdb-admin-%1").arg(n.fetchAndAddRelaxed(1) + 1);
}
} // namespace

QString TestDb::sourceDir()
{
    const QString env = qEnvironmentVariable("WL_SOURCE_DIR");
    if (!env.isEmpty())
        return env;
    return QStringLiteral(WL_TESTSUPPORT_SOURCE_DIR);
}

QString TestDb::schemaFile(const QString& driver)
{
    const QString dir = sourceDir() + QStringLiteral("/db/");
    if (driver == QLatin1String("QPSQL"))
        return dir + QStringLiteral("schema.postgresql.sql");
    if (driver == QLatin1String("QODBC"))
        return dir + QStringLiteral("schema.sqlserver.sql");
    return dir + QStringLiteral("schema.sqlite.sql");
}

QStringList TestDb::scriptStatements(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text))
        throw DbError(QStringLiteral("cannot read %1").arg(path));
    QStringList statements;
    QString current;
    const QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    for (QString line : lines) {
        const int comment = line.indexOf(QStringLiteral("--"));
        if (comment >= 0)
            line.truncate(comment);
        if (line.trimmed().compare(QLatin1String("GO"), Qt::CaseInsensitive) == 0) {
            if (!current.trimmed().isEmpty())
                statements << current.trimmed();
            current.clear();
            continue;
        }
        current += line + QLatin1Char('\n');
        if (line.trimmed().endsWith(QLatin1Char(';'))) {
            statements << current.trimmed();
            current.clear();
        }
    }
    if (!current.trimmed().isEmpty())
        statements << current.trimmed();
    return statements;
}

std::unique_ptr<TestDb> TestDb::sqlite()
{
    std::unique_ptr<TestDb> t(new TestDb);
    t->m_dir = std::make_unique<QTemporaryDir>();
    if (!t->m_dir->isValid())
        throw DbError(QStringLiteral("no temporary folder"));
    t->m_settings.driver = QStringLiteral("QSQLITE");
    t->m_settings.catalog = QStringLiteral("service.sqlite");
    t->m_settings.programDir = t->m_dir->path();
    t->m_settings.user = QStringLiteral("sa");
    t->m_settings.workstation = QStringLiteral("TEST-WS");
    t->openAdmin();
    t->applySchema();
    return t;
}

std::unique_ptr<TestDb> TestDb::postgres(PgServer& server, const QString& catalog)
{
    server.createCatalog(catalog);
    std::unique_ptr<TestDb> t(new TestDb);
    t->m_settings = server.settings(catalog);
    t->openAdmin();
    t->applySchema();
    return t;
}

TestDb::~TestDb()
{
    if (m_admin.isEmpty())
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_admin, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_admin);
}

void TestDb::openAdmin()
{
    m_admin = adminName();
    QSqlDatabase db = QSqlDatabase::addDatabase(m_settings.driver, m_admin);
    if (m_settings.driver == QLatin1String("QSQLITE")) {
        db.setDatabaseName(sqliteFile()); // created here
    } else {
        db.setHostName(m_settings.host);
        db.setPort(m_settings.port);
        db.setDatabaseName(m_settings.catalog);
        db.setUserName(m_settings.user);
        db.setPassword(m_settings.password);
        db.setConnectOptions(QStringLiteral("connect_timeout=10"));
    }
    if (!db.open())
        throw DbError(providerText(db.lastError()));
}

void TestDb::reconnect()
{
    QSqlDatabase db = QSqlDatabase::database(m_admin, false);
    db.close();
    if (!db.open())
        throw DbError(providerText(db.lastError()));
}

void TestDb::applySchema()
{
    for (const QString& s : scriptStatements(schemaFile(m_settings.driver)))
        exec(s);
}

DbConnectionSettings TestDb::settings(int connectTimeoutSeconds, bool fullForm) const
{
    DbConnectionSettings s = m_settings;
    s.connectTimeoutSeconds = connectTimeoutSeconds;
    s.fullForm = fullForm;
    return s;
}

AppConfig TestDb::config() const
{
    AppConfig c;
    c.serviceHost = m_settings.host.isEmpty() ? QStringLiteral("127.0.0.1") : m_settings.host;
    c.secondServiceHost = c.serviceHost;
    c.youtubeHome = QStringLiteral("www.youtube.it");
    c.dbDriver = m_settings.driver;
    c.serviceDb = {m_settings.host, m_settings.port, m_settings.catalog, m_settings.user,
                   m_settings.password};
    c.secondDb = c.serviceDb;
    c.workstation = m_settings.workstation;
    c.programDir = m_settings.programDir;
    return c;
}

QString TestDb::sqliteFile() const
{
    return m_settings.driver == QLatin1String("QSQLITE") ? m_settings.sqliteFile() : QString();
}

QList<QVariantList> TestDb::rows(const QString& sql, const QVariantList& values)
{
    QSqlQuery q(QSqlDatabase::database(m_admin, false));
    bool ok = false;
    if (values.isEmpty()) {
        ok = q.exec(sql);
    } else if (q.prepare(sql)) {
        for (const QVariant& v : values)
            q.addBindValue(v);
        ok = q.exec();
    }
    if (!ok)
        throw DbError(providerText(q.lastError()) + QStringLiteral(" in: ") + sql);
    QList<QVariantList> result;
    while (q.next()) {
        QVariantList row;
        for (int c = 0; c < q.record().count(); ++c)
            row << q.value(c);
        result << row;
    }
    return result;
}

void TestDb::exec(const QString& sql, const QVariantList& values)
{
    rows(sql, values);
}

QVariant TestDb::value(const QString& sql, const QVariantList& values)
{
    const QList<QVariantList> r = rows(sql, values);
    return r.isEmpty() || r.first().isEmpty() ? QVariant() : r.first().first();
}

void TestDb::addAccount(const TestAccount& a)
{
    exec(QStringLiteral("INSERT INTO utenti (myid, myuser, mypassword, myemail, mynomeradio, "
                        "cellulare, myporta, mybitrate, mygenere, mydescrizione) "
                        "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
         {a.id, a.user, a.password, a.email, a.station, a.mobile,
          a.port.isNull() ? QVariant(QMetaType::fromType<int>()) : a.port, a.bitrate, a.genre,
          a.description});
}

void TestDb::addMessage(const QString& station, const QString& listener, const QString& dedica,
                        const QString& date)
{
    const QString dateMark = m_settings.driver == QLatin1String("QPSQL")
                                 ? QStringLiteral("CAST(? AS timestamp)")
                                 : QStringLiteral("?");
    exec(QStringLiteral("INSERT INTO MESSAGGIVOCALI2 (mynomeradio, mynomeutente, mydedica, mydata) "
                        "VALUES (?, ?, ?, ") +
             dateMark + QLatin1Char(')'),
         {station, listener, dedica, date});
}

int TestDb::messageCount(const QString& station)
{
    return value(QStringLiteral("SELECT COUNT(*) FROM MESSAGGIVOCALI2 WHERE mynomeradio = ?"),
                 {station})
        .toInt();
}
