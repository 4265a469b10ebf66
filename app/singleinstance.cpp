#include "singleinstance.h"

#include "wllog.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
constexpr char kRequest[] = "activate";
constexpr char kAnswer[] = "ok\n";
constexpr int kClientMs = 5000;      // a later launch that says nothing is dropped after that
constexpr qsizetype kLineMax = 4096; // nor is one that says too much

// The socket's address; false when the path does not fit in one.
bool socketAddress(const QByteArray& path, sockaddr_un* address)
{
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (path.isEmpty() || std::size_t(path.size()) >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, path.constData(), std::size_t(path.size()));
    return true;
}

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
} // namespace

// One later launch, heard on the GUI thread: a line with the request, the answer, the end.
class SingleInstance::Client : public QObject {
public:
    Client(int fd, SingleInstance* owner) : QObject(owner), m_fd(fd), m_owner(owner)
    {
        m_readable = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(m_readable, &QSocketNotifier::activated, this, &Client::readable);
        QTimer::singleShot(kClientMs, this, [this] { finish(); });
    }
    ~Client() override { closeFd(m_fd); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

private:
    void readable()
    {
        char buf[512];
        bool ended = false; // what came before the end still counts
        for (;;) {
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n > 0) {
                m_line.append(buf, n);
                continue;
            }
            if (n < 0 && errno == EINTR)
                continue;
            ended = n == 0 || errno != EAGAIN;
            break;
        }
        const qsizetype end = m_line.indexOf('\n');
        if (end < 0) {
            if (m_line.size() > kLineMax) {
                qCWarning(lcUi, "single instance: a request of more than %lld bytes, dropped",
                          static_cast<long long>(kLineMax));
                finish();
            } else if (ended) {
                finish(); // gone before it said a whole line
            }
            return;
        }
        const QByteArray line = m_line.left(end).trimmed();
        const qsizetype space = line.indexOf(' ');
        const QByteArray verb = space < 0 ? line : line.left(space);
        if (verb != kRequest) {
            qCWarning(lcUi, "single instance: unknown request \"%s\"", line.left(64).constData());
            finish();
            return;
        }
        qCInfo(lcUi, "single instance: another launch asks for the front window");
        // A fresh socket's buffer takes the three bytes at once.
        [[maybe_unused]] const ssize_t sent = ::send(m_fd, kAnswer, 3, MSG_NOSIGNAL);
        finish();
        emit m_owner->activationRequested(space < 0 ? QString()
                                                    : QString::fromUtf8(line.mid(space + 1)));
    }

    void finish()
    {
        m_readable->setEnabled(false);
        closeFd(m_fd);
        deleteLater();
    }

    int m_fd;
    SingleInstance* m_owner;
    QSocketNotifier* m_readable = nullptr;
    QByteArray m_line;
};

SingleInstance::SingleInstance(const QString& id, const QString& folder, QObject* parent)
    : QObject(parent), m_id(id),
      m_folder(folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)
                                : folder)
{}

SingleInstance::~SingleInstance()
{
    if (m_listenFd >= 0) {
        delete m_listening;
        closeFd(m_listenFd);
        ::unlink(QFile::encodeName(socketPath()).constData());
    }
    if (m_lockFd >= 0)
        ::close(m_lockFd); // releases the lock; the file stays for the next run
}

QString SingleInstance::lockPath() const
{
    return QDir(m_folder).filePath(m_id + QStringLiteral(".lock"));
}

QString SingleInstance::socketPath() const
{
    return QDir(m_folder).filePath(m_id + QStringLiteral(".socket"));
}

SingleInstance::Role SingleInstance::claim(int timeoutMs)
{
    if (m_folder.isEmpty() || !QDir().mkpath(m_folder)) {
        qCWarning(lcUi, "single instance: no runtime folder (%s); running without the check",
                  qUtf8Printable(m_folder));
        return Role::Primary;
    }
    // O_CLOEXEC: a child (the encoder) must not keep the lock after this process is gone.
    const QByteArray path = QFile::encodeName(lockPath());
    m_lockFd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (m_lockFd < 0) {
        qCWarning(lcUi, "single instance: cannot open %s: %s; running without the check",
                  path.constData(), std::strerror(errno));
        return Role::Primary;
    }
    int rc;
    do
        rc = ::flock(m_lockFd, LOCK_EX | LOCK_NB);
    while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        listen(); // without the socket the program still runs; later launches then fail
        return Role::Primary;
    }
    const int error = errno;
    ::close(m_lockFd);
    m_lockFd = -1;
    if (error != EWOULDBLOCK) {
        qCWarning(lcUi, "single instance: cannot lock %s: %s; running without the check",
                  path.constData(), std::strerror(error));
        return Role::Primary;
    }
    return forward(timeoutMs);
}

bool SingleInstance::listen()
{
    const QByteArray path = QFile::encodeName(socketPath());
    sockaddr_un address;
    if (!socketAddress(path, &address)) {
        qCWarning(lcUi, "single instance: the socket path %s is too long", path.constData());
        return false;
    }
    // A socket file left by a run that ended without closing it: nobody listens there any more,
    // since its owner held the lock that this process now holds.
    ::unlink(path.constData());
    m_listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    // Only this user may connect: the file is made without any right for the others.
    const mode_t oldMask = ::umask(077);
    const bool bound =
        m_listenFd >= 0 &&
        ::bind(m_listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    ::umask(oldMask);
    if (!bound || ::listen(m_listenFd, 8) != 0) {
        qCWarning(lcUi, "single instance: cannot listen on %s: %s", path.constData(),
                  std::strerror(errno));
        closeFd(m_listenFd);
        return false;
    }
    m_listening = new QSocketNotifier(m_listenFd, QSocketNotifier::Read, this);
    connect(m_listening, &QSocketNotifier::activated, this, &SingleInstance::acceptClients);
    qCInfo(lcUi, "single instance: this is the running program (%s)", path.constData());
    return true;
}

void SingleInstance::acceptClients()
{
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            new Client(fd, this);
            continue;
        }
        if (errno == EINTR || errno == ECONNABORTED)
            continue;
        if (errno != EAGAIN)
            qCWarning(lcUi, "single instance: accept: %s", std::strerror(errno));
        return;
    }
}

SingleInstance::Role SingleInstance::forward(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    const QByteArray path = QFile::encodeName(socketPath());
    sockaddr_un address;
    if (!socketAddress(path, &address)) {
        qCWarning(lcUi, "single instance: the socket path %s is too long", path.constData());
        return Role::Failed;
    }
    int fd = -1;
    // The running program takes the lock a moment before it listens: try again until then.
    for (;;) {
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd >= 0 &&
            ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            break;
        const int error = errno;
        closeFd(fd);
        if (deadline.hasExpired()) {
            qCWarning(lcUi,
                      "single instance: the running program holds %s but does not answer on "
                      "%s: %s",
                      qUtf8Printable(lockPath()), path.constData(), std::strerror(error));
            return Role::Failed;
        }
        QThread::msleep(50);
    }
    QByteArray request = kRequest;
    const QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN");
    if (!token.isEmpty() && !token.contains('\n'))
        request += ' ' + token;
    request += '\n';
    bool sent = ::send(fd, request.constData(), std::size_t(request.size()), MSG_NOSIGNAL) ==
                ssize_t(request.size());
    QByteArray answer;
    const char* why = sent ? "no answer in time" : std::strerror(errno);
    while (sent && !answer.endsWith('\n') && answer.size() < kLineMax) {
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, int(deadline.remainingTime()));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        char buf[64];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            why = n == 0 ? "the connection was closed" : std::strerror(errno);
            break;
        }
        answer.append(buf, n);
    }
    closeFd(fd);
    if (answer != kAnswer) {
        qCWarning(lcUi, "single instance: the running program did not answer on %s: %s",
                  path.constData(), why);
        return Role::Failed;
    }
    qCInfo(lcUi, "single instance: the program already runs; its window is brought to the front");
    return Role::Forwarded;
}
