#include "pgserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>

#include <QElapsedTimer>
#include <QTcpSocket>

#include <csignal>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isRoot()
{
    return ::geteuid() == 0;
}

bool chownToPostgres(const QString& path)
{
    if (!isRoot())
        return true;
    const passwd* pw = ::getpwnam("postgres");
    if (!pw)
        return false;
    return ::chown(QFile::encodeName(path).constData(), pw->pw_uid, pw->pw_gid) == 0;
}

} // namespace

int freeLoopbackPort()
{
    QTcpServer s;
    if (!s.listen(QHostAddress::LocalHost, 0))
        return 0;
    const int port = s.serverPort();
    s.close();
    return port;
}

QString PgServer::binDir()
{
    QDir base(QStringLiteral("/usr/lib/postgresql"));
    QStringList versions = base.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    std::sort(versions.begin(), versions.end(),
              [](const QString& a, const QString& b) { return a.toInt() > b.toInt(); });
    for (const QString& v : versions) {
        const QString bin = base.filePath(v + QStringLiteral("/bin"));
        if (QFileInfo(bin + QStringLiteral("/initdb")).isExecutable() &&
            QFileInfo(bin + QStringLiteral("/pg_ctl")).isExecutable())
            return bin;
    }
    return {};
}

PgServer::PgServer() = default;

PgServer::~PgServer()
{
    stop();
}

void PgServer::prepare(QProcess& p, const QString& tool, const QStringList& args)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.remove(QStringLiteral("PGDATA"));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(m_dir->path());
    p.setProgram(binDir() + QLatin1Char('/') + tool);
    p.setArguments(args);
    uid_t uid = 0;
    gid_t gid = 0;
    const bool drop = isRoot();
    if (drop) {
        if (const passwd* pw = ::getpwnam("postgres")) {
            uid = pw->pw_uid;
            gid = pw->pw_gid;
        }
    }
    // In the child, before exec: become postgres, and die with the test.
    p.setChildProcessModifier([drop, uid, gid] {
        if (drop) {
            if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(127);
        }
        ::prctl(PR_SET_PDEATHSIG, SIGQUIT);
    });
}

bool PgServer::runTool(const QString& tool, const QStringList& args, int timeoutMs)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    prepare(p, tool, args);
    p.start();
    if (!p.waitForStarted(10000)) {
        m_error = tool + QStringLiteral(": ") + p.errorString();
        return false;
    }
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
        m_error = tool + QStringLiteral(" did not finish");
        return false;
    }
    if (p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
        m_error = tool + QStringLiteral(" failed: ") + QString::fromLocal8Bit(p.readAll());
        return false;
    }
    return true;
}

bool PgServer::waitReady(int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < timeoutMs) {
        if (m_server->state() == QProcess::NotRunning)
            return false;
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, quint16(m_port));
        if (s.waitForConnected(1000)) {
            s.abort();
            // Accepting connections is not yet accepting logins: ask the server itself.
            if (runTool(QStringLiteral("pg_isready"),
                        {QStringLiteral("-h"), host(), QStringLiteral("-p"),
                         QString::number(m_port), QStringLiteral("-t"), QStringLiteral("5")},
                        10000))
                return true;
        }
        m_server->waitForFinished(100); // returns early only if the server ends
    }
    return false;
}

bool PgServer::start()
{
    if (m_running)
        return true;
    m_error.clear();
    if (!available()) {
        m_error = QStringLiteral("PostgreSQL binaries not installed");
        return false;
    }
    m_dir = std::make_unique<QTemporaryDir>();
    if (!m_dir->isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return false;
    }
    const QString root = m_dir->path();
    m_data = root + QStringLiteral("/data");
    const QString sock = root + QStringLiteral("/sock");
    const QString pwfile = root + QStringLiteral("/pw");
    QDir().mkpath(sock);
    {
        QFile f(pwfile);
        if (!f.open(QIODevice::WriteOnly)) {
            m_error = QStringLiteral("cannot write the password file");
            return false;
        }
        f.write(password().toUtf8() + '\n');
    }
    ::chmod(QFile::encodeName(root).constData(), 0700);
    if (!chownToPostgres(root) || !chownToPostgres(sock) || !chownToPostgres(pwfile)) {
        m_error = QStringLiteral("cannot hand the folder to user postgres");
        return false;
    }
    if (!runTool(QStringLiteral("initdb"),
                 {QStringLiteral("-D"), m_data, QStringLiteral("-U"), user(),
                  QStringLiteral("--pwfile=") + pwfile, QStringLiteral("--auth-host=scram-sha-256"),
                  QStringLiteral("--auth-local=trust"), QStringLiteral("-E"),
                  QStringLiteral("UTF8"), QStringLiteral("--locale=C.UTF-8"), QStringLiteral("-N")},
                 120000))
        return false;
    for (int attempt = 0; attempt < 3 && !m_running; ++attempt) {
        m_port = freeLoopbackPort();
        launch();
    }
    if (!m_running)
        appendLog();
    return m_running;
}

void PgServer::launch()
{
    const QString root = m_dir->path();
    const QString log = root + QStringLiteral("/server.log");
    m_server = std::make_unique<QProcess>();
    m_server->setStandardOutputFile(log, QIODevice::Append);
    m_server->setStandardErrorFile(log, QIODevice::Append);
    prepare(*m_server, QStringLiteral("postgres"),
            {QStringLiteral("-D"), m_data, QStringLiteral("-p"), QString::number(m_port),
             QStringLiteral("-k"), root + QStringLiteral("/sock"), QStringLiteral("-c"),
             QStringLiteral("listen_addresses=127.0.0.1"), QStringLiteral("-c"),
             QStringLiteral("fsync=off")});
    m_server->start();
    m_running = m_server->waitForStarted(10000) && waitReady(60000);
    if (!m_running)
        stop();
}

void PgServer::appendLog()
{
    QFile f(m_dir->path() + QStringLiteral("/server.log"));
    if (f.open(QIODevice::ReadOnly))
        m_error += QStringLiteral("\n") + QString::fromLocal8Bit(f.readAll());
}

bool PgServer::restart()
{
    if (!m_dir || m_data.isEmpty())
        return false;
    stop();
    m_error.clear();
    launch();
    if (!m_running)
        appendLog();
    return m_running;
}

bool PgServer::required()
{
    return qgetenv("CI") == "true";
}

void PgServer::stop()
{
    m_running = false;
    if (!m_server)
        return;
    if (m_server->state() != QProcess::NotRunning) {
        ::kill(pid_t(m_server->processId()), SIGINT); // fast shutdown
        if (!m_server->waitForFinished(30000)) {
            m_server->kill();
            m_server->waitForFinished(5000);
        }
    }
    m_server.reset();
}

void PgServer::createCatalog(const QString& name)
{
    const QString cname = QStringLiteral("pgserver-admin-%1").arg(quintptr(this));
    QString error;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), cname);
        db.setHostName(host());
        db.setPort(m_port);
        db.setDatabaseName(QStringLiteral("postgres"));
        db.setUserName(user());
        db.setPassword(password());
        db.setConnectOptions(QStringLiteral("connect_timeout=10"));
        if (!db.open()) {
            error = providerText(db.lastError());
        } else {
            QSqlQuery q(db);
            if (!q.exec(QStringLiteral("CREATE DATABASE \"%1\"").arg(name)))
                error = providerText(q.lastError());
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(cname);
    if (!error.isEmpty())
        throw DbError(error);
}

DbConnectionSettings PgServer::settings(const QString& catalog, int connectTimeoutSeconds) const
{
    DbConnectionSettings s;
    s.driver = QStringLiteral("QPSQL");
    s.host = host();
    s.port = m_port;
    s.catalog = catalog;
    s.user = user();
    s.password = password();
    s.workstation = QStringLiteral("TEST-WS");
    s.connectTimeoutSeconds = connectTimeoutSeconds;
    return s;
}
