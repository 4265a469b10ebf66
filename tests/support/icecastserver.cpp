#include "icecastserver.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int bindLoopback(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int connectLoopback(quint16 port, int timeoutMs)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (errno != EINPROGRESS) {
            ::close(fd);
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (::poll(&p, 1, timeoutMs) != 1 ||
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            ::close(fd);
            return -1;
        }
    }
    return fd;
}

bool sendAll(int fd, const QByteArray& data)
{
    qsizetype done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.constData() + done, data.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 1000);
            continue;
        }
        return false;
    }
    return true;
}

// Reads into buf until it holds want bytes, EOF, or the deadline. False on EOF/error/time-out
// before want.
bool readUntil(int fd, QByteArray& buf, qsizetype want, const QDeadlineTimer& deadline)
{
    char chunk[16384];
    while (buf.size() < want) {
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(std::min<qint64>(left < 0 ? 1000 : left, 1000))) <= 0)
            continue;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return false;
        }
        buf.append(chunk, n);
    }
    return true;
}

QByteArray basicAuth(const QString& user, const QString& password)
{
    return "Authorization: Basic " + (user + QLatin1Char(':') + password).toUtf8().toBase64() +
           "\r\n";
}

} // namespace

quint16 freePortPair()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int fd = bindLoopback(0);
        if (fd < 0)
            continue;
        sockaddr_in a{};
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        const quint16 port = ntohs(a.sin_port);
        ::close(fd);
        if (port >= 65535)
            continue;
        const int f1 = bindLoopback(port);
        const int f2 = bindLoopback(port + 1);
        const bool free = f1 >= 0 && f2 >= 0;
        if (f1 >= 0)
            ::close(f1);
        if (f2 >= 0)
            ::close(f2);
        if (free)
            return port;
    }
    return 0;
}

IcecastServer::IcecastServer(Options options) : m_options(std::move(options))
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return;
    }
    m_port = freePortPair();
    const QString d = m_dir.path();
    QFile::setPermissions(d, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                 QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup |
                                 QFile::ExeGroup);
    QDir().mkpath(d + QStringLiteral("/log"));
    const bool root = ::geteuid() == 0;
    if (root) {
        const passwd* pw = ::getpwnam("icecast2");
        const group* gr = ::getgrnam("icecast");
        if (pw && gr &&
            ::chown(QFile::encodeName(d + QStringLiteral("/log")).constData(), pw->pw_uid,
                    gr->gr_gid) != 0)
            m_error = QStringLiteral("chown failed");
    }
    QString xml;
    xml += QStringLiteral("<icecast>\n<location>test</location><admin>test@localhost</admin>\n"
                          "<hostname>127.0.0.1</hostname>\n");
    xml += QStringLiteral("<limits><clients>100</clients><sources>20</sources>"
                          "<queue-size>524288</queue-size><client-timeout>30</client-timeout>"
                          "<header-timeout>15</header-timeout>"
                          "<source-timeout>%1</source-timeout>")
               .arg(m_options.sourceTimeout);
    if (m_options.burstSize >= 0)
        xml += QStringLiteral("<burst-size>%1</burst-size>").arg(m_options.burstSize);
    xml += QStringLiteral("</limits>\n");
    xml +=
        QStringLiteral("<authentication><source-password>%1</source-password>"
                       "<relay-password>%1</relay-password><admin-user>admin</admin-user>"
                       "<admin-password>%2</admin-password></authentication>\n")
            .arg(m_options.sourcePassword.toHtmlEscaped(), m_options.adminPassword.toHtmlEscaped());
    xml += QStringLiteral("<listen-socket><port>%1</port><bind-address>127.0.0.1</bind-address>"
                          "<shoutcast-mount>/stream</shoutcast-mount></listen-socket>\n")
               .arg(m_port);
    xml += QStringLiteral("<fileserve>1</fileserve>\n<paths><basedir>/usr/share/icecast2</basedir>"
                          "<logdir>%1/log</logdir><webroot>/usr/share/icecast2/web</webroot>"
                          "<adminroot>/usr/share/icecast2/admin</adminroot></paths>\n")
               .arg(d);
    xml += QStringLiteral("<logging><accesslog>access.log</accesslog><errorlog>error.log"
                          "</errorlog><loglevel>3</loglevel></logging>\n");
    if (root)
        xml += QStringLiteral("<security><chroot>0</chroot><changeowner><user>icecast2</user>"
                              "<group>icecast</group></changeowner></security>\n");
    xml += QStringLiteral("</icecast>\n");
    QFile conf(d + QStringLiteral("/icecast.xml"));
    if (!conf.open(QIODevice::WriteOnly) || conf.write(xml.toUtf8()) < 0) {
        m_error = QStringLiteral("cannot write the configuration");
        return;
    }
    conf.close();
    QFile::setPermissions(conf.fileName(), QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther |
                                               QFile::ReadGroup);
    if (m_port != 0)
        start();
}

IcecastServer::~IcecastServer()
{
    resume();
    kill();
}

bool IcecastServer::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

QString IcecastServer::address(const QString& mount) const
{
    return QStringLiteral("127.0.0.1:%1").arg(m_port) + mount;
}

bool IcecastServer::start()
{
    if (isRunning())
        return true;
    m_process.setStandardOutputFile(m_dir.path() + QStringLiteral("/stdout.log"),
                                    QIODevice::Append);
    m_process.setStandardErrorFile(m_dir.path() + QStringLiteral("/stderr.log"), QIODevice::Append);
    m_process.start(QStringLiteral("icecast2"),
                    {QStringLiteral("-c"), m_dir.path() + QStringLiteral("/icecast.xml")});
    if (!m_process.waitForStarted(5000)) {
        m_error = QStringLiteral("icecast2 did not start: ") + m_process.errorString();
        return false;
    }
    const QDeadlineTimer deadline(15000);
    while (!deadline.hasExpired() && isRunning()) {
        bool ok = false;
        get(QStringLiteral("/status-json.xsl"), &ok, QString(), QString(), 500);
        if (ok)
            return true;
        QThread::msleep(30);
    }
    m_error = QStringLiteral("icecast2 does not answer");
    return false;
}

void IcecastServer::kill()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.kill();
    m_process.waitForFinished(10000);
}

void IcecastServer::suspend()
{
    if (isRunning())
        ::kill(static_cast<pid_t>(m_process.processId()), SIGSTOP);
}

void IcecastServer::resume()
{
    if (isRunning())
        ::kill(static_cast<pid_t>(m_process.processId()), SIGCONT);
}

QByteArray IcecastServer::get(const QString& path, bool* ok, const QString& user,
                              const QString& password, int timeoutMs) const
{
    if (ok)
        *ok = false;
    const int fd = connectLoopback(m_port, timeoutMs);
    if (fd < 0)
        return {};
    QByteArray req = "GET " + path.toUtf8() + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    if (!user.isEmpty())
        req += basicAuth(user, password);
    req += "\r\n";
    QByteArray reply;
    if (sendAll(fd, req))
        readUntil(fd, reply, std::numeric_limits<qsizetype>::max(), QDeadlineTimer(timeoutMs));
    ::close(fd);
    const qsizetype end = reply.indexOf("\r\n\r\n");
    if (end < 0)
        return {};
    const QByteArray status = reply.left(reply.indexOf("\r\n"));
    const QList<QByteArray> parts = status.split(' ');
    if (parts.size() < 2 || !parts[1].startsWith('2'))
        return {};
    if (ok)
        *ok = true;
    return reply.mid(end + 4);
}

int IcecastServer::listeners(const QString& mount) const
{
    bool ok = false;
    const QByteArray xml = get(QStringLiteral("/admin/listclients?mount=") + mount, &ok,
                               QStringLiteral("admin"), m_options.adminPassword);
    static const QRegularExpression re(QStringLiteral("<Listeners>(\\d+)</Listeners>"));
    const auto m = re.match(QString::fromUtf8(xml));
    return ok && m.hasMatch() ? m.captured(1).toInt() : -1;
}

namespace {
QJsonObject sourceOf(const QByteArray& json, const QString& mount)
{
    const QJsonObject stats = QJsonDocument::fromJson(json).object().value("icestats").toObject();
    const QJsonValue src = stats.value("source");
    QJsonArray list = src.isArray() ? src.toArray() : QJsonArray{src};
    for (const QJsonValue& v : list) {
        const QJsonObject o = v.toObject();
        if (o.value("listenurl").toString().endsWith(mount))
            return o;
    }
    return {};
}
} // namespace

QString IcecastServer::title(const QString& mount) const
{
    // The status page writes characters beyond Latin-1 as numeric entities.
    QString t = sourceOf(statusJson(), mount).value("title").toString();
    static const QRegularExpression entity(QStringLiteral("&#(\\d+);"));
    QRegularExpressionMatch m;
    while ((m = entity.match(t)).hasMatch())
        t.replace(m.capturedStart(), m.capturedLength(), QChar(m.captured(1).toInt()));
    return t;
}

bool IcecastServer::hasSource(const QString& mount) const
{
    return !sourceOf(statusJson(), mount).isEmpty();
}

bool IcecastServer::waitForSource(const QString& mount, int timeoutMs, bool present) const
{
    const QDeadlineTimer deadline(timeoutMs);
    do {
        if (hasSource(mount) == present)
            return true;
        QThread::msleep(50);
    } while (!deadline.hasExpired());
    return false;
}

IcecastServer::Listen IcecastServer::listen(const QString& mount, int bytes, int timeoutMs,
                                            bool icyMetadata) const
{
    Listen out;
    const QDeadlineTimer deadline(timeoutMs);
    const int fd = connectLoopback(m_port, timeoutMs);
    if (fd < 0)
        return out;
    QByteArray req = "GET " + mount.toUtf8() + " HTTP/1.0\r\nHost: 127.0.0.1\r\n";
    if (icyMetadata)
        req += "Icy-MetaData: 1\r\n";
    req += "\r\n";
    QByteArray buf;
    if (!sendAll(fd, req)) {
        ::close(fd);
        return out;
    }
    qsizetype end = -1;
    while (end < 0) {
        if (!readUntil(fd, buf, buf.size() + 1, deadline)) {
            ::close(fd);
            return out;
        }
        end = buf.indexOf("\r\n\r\n");
    }
    out.headers = buf.left(end);
    buf.remove(0, end + 4);
    if (!out.headers.startsWith("HTTP/1.0 200") && !out.headers.startsWith("HTTP/1.1 200") &&
        !out.headers.startsWith("ICY 200")) {
        ::close(fd);
        return out;
    }
    int metaint = 0;
    static const QRegularExpression re(QStringLiteral("icy-metaint:\\s*(\\d+)"),
                                       QRegularExpression::CaseInsensitiveOption);
    const auto m = re.match(QString::fromLatin1(out.headers));
    if (icyMetadata && m.hasMatch())
        metaint = m.captured(1).toInt();
    if (metaint <= 0) {
        readUntil(fd, buf, bytes, deadline);
        out.audio = buf.left(bytes);
    } else {
        while (out.audio.size() < bytes) {
            if (!readUntil(fd, buf, metaint + 1, deadline))
                break;
            out.audio += buf.left(metaint);
            const int metaLen = static_cast<unsigned char>(buf[metaint]) * 16;
            if (!readUntil(fd, buf, metaint + 1 + metaLen, deadline))
                break;
            const QByteArray meta = buf.mid(metaint + 1, metaLen);
            buf.remove(0, metaint + 1 + metaLen);
            const qsizetype t = meta.indexOf("StreamTitle='");
            if (t >= 0) {
                const qsizetype e = meta.indexOf("';", t + 13);
                const QString title = QString::fromUtf8(meta.mid(t + 13, e - t - 13));
                if (out.titles.isEmpty() || out.titles.last() != title)
                    out.titles.append(title);
            }
        }
        out.audio.truncate(bytes);
    }
    ::close(fd);
    out.ok = out.audio.size() >= bytes;
    return out;
}

IcecastListener::IcecastListener(quint16 port, const QString& mount)
{
    m_fd = connectLoopback(port, 3000);
    if (m_fd < 0)
        return;
    const QByteArray req = "GET " + mount.toUtf8() + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (!sendAll(m_fd, req))
        close();
}

IcecastListener::~IcecastListener()
{
    close();
}

QByteArray IcecastListener::read(int max, int timeoutMs)
{
    QByteArray buf;
    if (m_fd < 0)
        return buf;
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return buf;
    buf.resize(max);
    const ssize_t n = ::recv(m_fd, buf.data(), max, MSG_DONTWAIT);
    buf.resize(n > 0 ? n : 0);
    return buf;
}

void IcecastListener::close()
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}
