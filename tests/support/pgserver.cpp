#include "pgserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTcpServer>

#include <pwd.h>
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

bool PgServer::runTool(const QString& tool, const QStringList& args, int timeoutMs)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    env.remove(QStringLiteral("PGDATA"));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(m_dir->path());
    const QString program = binDir() + QLatin1Char('/') + tool;
    if (isRoot())
        p.start(QStringLiteral("runuser"),
                QStringList{QStringLiteral("-u"), QStringLiteral("postgres"), QStringLiteral("--"),
                            program} +
                    args);
    else
        p.start(program, args);
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
        const QString options =
            QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off")
                .arg(m_port)
                .arg(sock);
        m_running = runTool(QStringLiteral("pg_ctl"),
                            {QStringLiteral("-D"), m_data, QStringLiteral("-l"),
                             root + QStringLiteral("/server.log"), QStringLiteral("-w"),
                             QStringLiteral("-t"), QStringLiteral("60"), QStringLiteral("-o"),
                             options, QStringLiteral("start")},
                            90000);
        if (!m_running) {
            // A start that timed out may still come up: make sure it does not linger.
            runTool(QStringLiteral("pg_ctl"),
                    {QStringLiteral("-D"), m_data, QStringLiteral("-m"),
                     QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("stop")},
                    30000);
        }
    }
    if (!m_running) {
        QFile log(root + QStringLiteral("/server.log"));
        if (log.open(QIODevice::ReadOnly))
            m_error += QStringLiteral("\n") + QString::fromLocal8Bit(log.readAll());
    }
    return m_running;
}

void PgServer::stop()
{
    if (!m_dir || m_data.isEmpty() || !QFileInfo::exists(m_data + QStringLiteral("/PG_VERSION")))
        return;
    const QString keep = m_error;
    runTool(QStringLiteral("pg_ctl"),
            {QStringLiteral("-D"), m_data, QStringLiteral("-m"), QStringLiteral("immediate"),
             QStringLiteral("-w"), QStringLiteral("stop")},
            30000);
    m_error = keep;
    m_running = false;
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
