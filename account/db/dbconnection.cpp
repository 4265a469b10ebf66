#include "dbconnection.h"

#include "appconfig.h"
#include "driverlibs.h"
#include "wllog.h"

#include <QAbstractEventDispatcher>
#include <QAtomicInt>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEvent>
#include <QFileInfo>
#include <QPointer>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QVariant>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <sys/socket.h>

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

int DbConnectionSettings::statementTimeoutSeconds(int commandTimeoutSeconds) const
{
    const int ceiling =
        statementCeilingSeconds > 0 ? statementCeilingSeconds : kTimeoutCeilingSeconds;
    if (commandTimeoutSeconds <= 0 || commandTimeoutSeconds > ceiling)
        return ceiling;
    return commandTimeoutSeconds;
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
    // Installed only once the library was found.
    const driverlibs::Sqlite& lib = *driverlibs::sqlite();
    if (argc != 1 || lib.valueType(argv[0]) == SQLITE_NULL) {
        lib.resultNull(context);
        return;
    }
    const auto* text = reinterpret_cast<const char*>(lib.valueText(argv[0]));
    const int bytes = lib.valueBytes(argv[0]);
    const QByteArray upper = QString::fromUtf8(text, bytes).toUpper().toUtf8();
    lib.resultText(context, upper.constData(), int(upper.size()), SQLITE_TRANSIENT);
}

void installSqliteFunctions(QSqlDatabase& db)
{
    const QVariant v = db.driver()->handle();
    if (!v.isValid() || qstrcmp(v.typeName(), "sqlite3*") != 0)
        return;
    sqlite3* handle = *static_cast<sqlite3* const*>(v.constData());
    const driverlibs::Sqlite* lib = driverlibs::sqlite();
    if (handle && lib)
        lib->createFunction(handle, "upper", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
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
    // FreeTDS's own query time-out: a server that stops answering fails the statement.
    parts << QStringLiteral("Timeout=%1").arg(s.statementTimeoutSeconds(0));
    if (s.fullForm) {
        parts << QStringLiteral("PacketSize=4096");
        parts << QStringLiteral("WSID=") + odbcValue(s.workstation);
        parts << QStringLiteral("Encryption=off");
    }
    return parts.join(QLatin1Char(';'));
}

QString DbConnection::postgresOptions(const DbConnectionSettings& s)
{
    // The connect, a dead peer (keepalives, unacknowledged data) and a statement that the
    // server works on for too long. A peer that accepts and keeps silent is left to the
    // caller's own bound, which shuts the socket.
    const int statementMs = s.statementTimeoutSeconds(0) * 1000;
    return QStringLiteral("connect_timeout=%1;keepalives=1;keepalives_idle=10;"
                          "keepalives_interval=5;keepalives_count=3;tcp_user_timeout=%2;"
                          "options='-c statement_timeout=%2'")
        .arg(s.effectiveTimeoutSeconds())
        .arg(statementMs);
}

namespace {

QString describe(const QString& name, const DbConnectionSettings& s)
{
    if (s.driver == QLatin1String("QSQLITE"))
        return QStringLiteral("%1 (%2 %3)").arg(name, s.driver, s.sqliteFile());
    return QStringLiteral("%1 (%2 %3:%4/%5)")
        .arg(name, s.driver, s.host, s.port > 0 ? QString::number(s.port) : QStringLiteral("-"),
             s.catalog);
}

void configure(QSqlDatabase& db, const DbConnectionSettings& s)
{
    const int timeout = s.effectiveTimeoutSeconds();
    if (s.driver == QLatin1String("QSQLITE")) {
        // mode=rw: a missing file fails to open, as an unreachable server does, and is not
        // created. The busy time-out bounds the wait for another writer's lock.
        const QString uri = QUrl::fromLocalFile(s.sqliteFile()).toString(QUrl::FullyEncoded);
        db.setDatabaseName(uri + QStringLiteral("?mode=rw"));
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1")
                                 .arg(s.statementTimeoutSeconds(0) * 1000));
    } else if (s.driver == QLatin1String("QPSQL")) {
        db.setHostName(s.host);
        if (s.port > 0)
            db.setPort(s.port);
        db.setDatabaseName(s.catalog);
        db.setUserName(s.user);
        db.setPassword(s.password);
        db.setConnectOptions(DbConnection::postgresOptions(s));
    } else if (s.driver == QLatin1String("QODBC")) {
        db.setDatabaseName(DbConnection::odbcConnectionString(s));
        db.setConnectOptions(
            QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1;SQL_ATTR_CONNECTION_TIMEOUT=%1")
                .arg(timeout));
    } else {
        db.setHostName(s.host);
        db.setDatabaseName(s.catalog);
        db.setUserName(s.user);
        db.setPassword(s.password);
    }
}

PGconn* postgresHandle(const QSqlDatabase& db)
{
    if (!db.isValid() || !db.driver())
        return nullptr;
    const QVariant v = db.driver()->handle();
    // PGconn is libpq's typedef of struct pg_conn; Qt names the type by the struct.
    if (!v.isValid() ||
        (qstrcmp(v.typeName(), "pg_conn*") != 0 && qstrcmp(v.typeName(), "PGconn*") != 0))
        return nullptr;
    return *static_cast<PGconn* const*>(v.constData());
}

// Whether the failure of a statement came from a connection that is gone.
bool connectionLost(QSqlDatabase& db)
{
    if (!db.isValid())
        return false;
    // Qt's driver marks the connection closed after such a failure; libpq tells.
    if (PGconn* conn = postgresHandle(db))
        if (const driverlibs::Postgres* pq = driverlibs::postgres())
            return pq->status(conn) == CONNECTION_BAD;
    if (!db.isOpen())
        return false;
    if (db.driverName() == QLatin1String("QODBC")) {
        QSqlQuery probe(db);
        return !probe.exec(QStringLiteral("SELECT 1"));
    }
    return false;
}

// Swallows the user's input while a call waits: nothing starts a second submission, and the
// input does not reach the windows afterwards either.
class InputSwallower : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
        case QEvent::Wheel:
        case QEvent::KeyPress:
        case QEvent::KeyRelease:
        case QEvent::ShortcutOverride:
        case QEvent::Shortcut:
        case QEvent::TouchBegin:
        case QEvent::TouchUpdate:
        case QEvent::TouchEnd:
        case QEvent::ContextMenu:
        case QEvent::Drop:
            return true;
        case QEvent::Close:
            if (event->spontaneous()) {
                event->ignore();
                return true;
            }
            return false;
        default:
            return QObject::eventFilter(watched, event);
        }
    }
};

std::function<void(bool)>& busyHook()
{
    static std::function<void(bool)> hook;
    return hook;
}

// One busy wait of the GUI thread; the first of nested ones installs the swallower and calls
// the hook, the last removes them.
class BusyScope {
public:
    BusyScope()
    {
        if (s_depth++ > 0)
            return;
        s_swallower = new InputSwallower;
        QCoreApplication::instance()->installEventFilter(s_swallower);
        if (busyHook())
            busyHook()(true);
    }
    ~BusyScope()
    {
        if (--s_depth > 0)
            return;
        if (busyHook())
            busyHook()(false);
        if (QCoreApplication::instance())
            QCoreApplication::instance()->removeEventFilter(s_swallower);
        delete s_swallower;
        s_swallower = nullptr;
    }
    BusyScope(const BusyScope&) = delete;
    BusyScope& operator=(const BusyScope&) = delete;

private:
    static inline int s_depth = 0;
    static inline InputSwallower* s_swallower = nullptr;
};

struct Job {
    DbConnection::Work work;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool lost = false;
    std::exception_ptr error;

    bool waitFor(int ms)
    {
        std::unique_lock lock(mutex);
        return done.wait_for(lock, std::chrono::milliseconds(ms), [this] { return finished; });
    }
    bool isFinished()
    {
        std::lock_guard lock(mutex);
        return finished;
    }
};

QString errorTextOf(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const AppError& e) {
        return e.text();
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    }
    return {};
}

} // namespace

// The thread that owns the Qt SQL connection and runs every call on it, one at a time.
struct DbConnection::Worker {
    QString qtName;
    DbConnectionSettings settings;
    QThread* waiterThread = nullptr;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::shared_ptr<Job>> queue;
    bool quit = false;
    // The PostgreSQL handle of the open connection, for interrupt().
    std::mutex handleMutex;
    PGconn* pg = nullptr;

    Worker(QString name, DbConnectionSettings s) : qtName(std::move(name)), settings(std::move(s))
    {
        if (QCoreApplication::instance())
            waiterThread = QCoreApplication::instance()->thread();
        thread = std::thread([this] { loop(); });
    }
    ~Worker()
    {
        {
            std::lock_guard lock(mutex);
            quit = true;
        }
        wake.notify_all();
        thread.join();
    }

    void post(const std::shared_ptr<Job>& job)
    {
        {
            std::lock_guard lock(mutex);
            queue.push_back(job);
        }
        wake.notify_all();
    }

    // Breaks off the call that runs now: a PostgreSQL socket is shut, so that libpq's wait
    // ends at once. The other drivers end their calls by their own time-outs.
    void interrupt()
    {
        std::lock_guard lock(handleMutex);
        const driverlibs::Postgres* pq = pg ? driverlibs::postgres() : nullptr;
        const int fd = pq ? pq->socket(pg) : -1;
        qCInfo(lcDb).noquote() << "breaking off the call on" << qtName
                               << (fd >= 0 ? "by shutting its socket" : "(no socket to shut)");
        if (fd >= 0)
            ::shutdown(fd, SHUT_RDWR);
    }

    void setHandle(PGconn* conn)
    {
        std::lock_guard lock(handleMutex);
        pg = conn;
    }

    void loop()
    {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(settings.driver, qtName);
            if (db.isValid())
                configure(db, settings);
        }
        for (;;) {
            std::shared_ptr<Job> job;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return quit || !queue.empty(); });
                if (queue.empty())
                    break;
                job = queue.front();
                queue.pop_front();
            }
            {
                QSqlDatabase db = QSqlDatabase::database(qtName, false);
                try {
                    job->work(db);
                } catch (const std::exception&) {
                    // Thrown again on the caller's thread, which logs it.
                    job->error = std::current_exception();
                    job->lost = connectionLost(db);
                }
            }
            {
                std::lock_guard lock(job->mutex);
                job->finished = true;
            }
            job->done.notify_all();
            if (waiterThread)
                if (QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance(waiterThread))
                    d->wakeUp();
        }
        setHandle(nullptr);
        {
            QSqlDatabase db = QSqlDatabase::database(qtName, false);
            if (db.isValid())
                db.close();
        }
        QSqlDatabase::removeDatabase(qtName);
    }

    // Runs work and waits for it at most boundMs, keeping the windows painting after a
    // moment. Returns false when the bound ran out and the call had to be broken off.
    bool call(const Work& work, int boundMs, std::exception_ptr& error, bool& lost)
    {
        auto job = std::make_shared<Job>();
        job->work = work;
        post(job);
        bool interrupted = false;
        if (!job->waitFor(std::min(kMomentMs, boundMs))) {
            QElapsedTimer clock;
            clock.start();
            const bool painting =
                QCoreApplication::instance() && QThread::currentThread() == waiterThread;
            std::unique_ptr<BusyScope> busy;
            std::unique_ptr<QTimer> tick;
            if (painting) {
                busy = std::make_unique<BusyScope>();
                tick = std::make_unique<QTimer>();
                tick->start(50);
            }
            while (!job->isFinished()) {
                if (!interrupted && clock.elapsed() + kMomentMs >= boundMs) {
                    interrupted = true;
                    interrupt();
                }
                if (painting)
                    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
                else
                    job->waitFor(50);
            }
        }
        error = job->error;
        lost = job->lost;
        return !(interrupted && error);
    }
};

void DbConnection::setBusyHook(std::function<void(bool)> hook)
{
    busyHook() = std::move(hook);
}

DbConnection::DbConnection(QString name, DbConnectionSettings settings)
    : m_name(std::move(name)), m_settings(std::move(settings))
{
    openWorker();
}

DbConnection::~DbConnection() = default;

void DbConnection::openWorker()
{
    m_worker = std::make_shared<Worker>(uniqueName(m_name), m_settings);
}

void DbConnection::markBroken()
{
    m_open = false;
    m_inTransaction = false;
    std::exception_ptr error;
    bool lost = false;
    m_worker->call(
        [w = m_worker.get()](QSqlDatabase& db) {
            w->setHandle(nullptr);
            if (db.isValid())
                db.close();
        },
        5000, error, lost);
}

void DbConnection::open()
{
    if (m_open)
        return;
    const DbConnectionSettings& s = m_settings;
    std::exception_ptr error;
    bool lost = false;
    const bool inTime = m_worker->call(
        [w = m_worker.get(), &s](QSqlDatabase& db) {
            if (!db.isValid())
                throw DbError(QStringLiteral("Driver not loaded: %1").arg(s.driver));
            if (db.isOpen())
                return;
            if (!db.open()) {
                const QString text = providerText(db.lastError());
                db.close();
                throw DbError(text.isEmpty() ? QStringLiteral("Cannot open the database") : text);
            }
            if (s.driver == QLatin1String("QSQLITE"))
                installSqliteFunctions(db);
            w->setHandle(postgresHandle(db));
        },
        // libpq and FreeTDS end a connect by their own time-out; a little more is their
        // margin.
        (s.effectiveTimeoutSeconds() + 5) * 1000, error, lost);
    if (error) {
        const QString text = inTime ? errorTextOf(error) : QString::fromLatin1(kTimeoutText);
        qCWarning(lcDb).noquote() << "cannot open" << describe(m_name, s) << ":" << text;
        throw DbError(text);
    }
    m_open = true;
}

void DbConnection::close()
{
    if (!m_open && !m_inTransaction)
        return;
    markBroken();
}

bool DbConnection::isOpen() const
{
    return m_open;
}

void DbConnection::run(const Work& work, int timeoutSeconds, bool retry)
{
    for (int attempt = 1;; ++attempt) {
        open();
        std::exception_ptr error;
        bool lost = false;
        const int bound = m_settings.statementTimeoutSeconds(timeoutSeconds);
        if (!m_worker->call(work, bound * 1000, error, lost)) {
            qCWarning(lcDb).noquote()
                << "a statement on" << describe(m_name, m_settings) << "found no answer within"
                << bound << "s and was broken off:" << errorTextOf(error);
            markBroken();
            throw DbError(QString::fromLatin1(kTimeoutText));
        }
        if (!error)
            return;
        if (!lost) {
            qCWarning(lcDb).noquote() << "a statement on" << describe(m_name, m_settings)
                                      << "failed:" << errorTextOf(error);
            std::rethrow_exception(error);
        }
        const bool again = retry && !m_inTransaction && attempt == 1;
        qCInfo(lcDb).noquote() << "the connection" << describe(m_name, m_settings)
                               << "was lost:" << errorTextOf(error)
                               << (again ? "- reopening it" : "- it reopens at the next use");
        markBroken();
        if (!again)
            std::rethrow_exception(error);
        ++m_reconnects;
        open();
        qCInfo(lcDb).noquote() << "the connection" << describe(m_name, m_settings)
                               << "is open again";
    }
}

void DbConnection::begin(int timeoutSeconds)
{
    const bool sqlite = m_settings.driver == QLatin1String("QSQLITE");
    run(
        [sqlite](QSqlDatabase& db) {
            if (sqlite) {
                QSqlQuery q(db);
                if (!q.exec(QStringLiteral("BEGIN IMMEDIATE")))
                    throw DbError(providerText(q.lastError()));
            } else if (!db.transaction()) {
                throw DbError(providerText(db.lastError()));
            }
        },
        timeoutSeconds);
    m_inTransaction = true;
}

void DbConnection::commit(int timeoutSeconds)
{
    const bool sqlite = m_settings.driver == QLatin1String("QSQLITE");
    run(
        [sqlite](QSqlDatabase& db) {
            if (sqlite) {
                QSqlQuery q(db);
                if (!q.exec(QStringLiteral("COMMIT")))
                    throw DbError(providerText(q.lastError()));
            } else if (!db.commit()) {
                throw DbError(providerText(db.lastError()));
            }
        },
        timeoutSeconds, false);
    m_inTransaction = false;
}

void DbConnection::rollback() noexcept
{
    if (!m_inTransaction)
        return;
    m_inTransaction = false;
    if (!m_open)
        return;
    const bool sqlite = m_settings.driver == QLatin1String("QSQLITE");
    try {
        run(
            [sqlite](QSqlDatabase& db) {
                if (sqlite)
                    QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
                else
                    db.rollback();
            },
            30, false);
    } catch (const std::exception& e) {
        qCWarning(lcDb).noquote() << "rollback on" << m_name << "failed:" << e.what();
    }
}
