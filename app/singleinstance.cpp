#include "singleinstance.h"

#include "wllog.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
constexpr char kRequest[] = "activate";
constexpr char kAnswer[] = "ok\n";
constexpr int kClientMs = 5000; // a later launch that says nothing is dropped after that
} // namespace

SingleInstance::SingleInstance(const QString& id, const QString& folder, QObject* parent)
    : QObject(parent), m_id(id),
      m_folder(folder.isEmpty() ? QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation)
                                : folder)
{}

SingleInstance::~SingleInstance()
{
    if (m_server) {
        m_server->close(); // removes the socket file
        delete m_server;
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
    // A socket file left by a run that ended without closing it: nobody listens there any more,
    // since its owner held the lock that this process now holds.
    QLocalServer::removeServer(socketPath());
    m_server = new QLocalServer;
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(socketPath())) {
        qCWarning(lcUi, "single instance: cannot listen on %s: %s", qUtf8Printable(socketPath()),
                  qUtf8Printable(m_server->errorString()));
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* client = m_server->nextPendingConnection())
            serve(client);
    });
    qCInfo(lcUi, "single instance: this is the running program (%s)", qUtf8Printable(socketPath()));
    return true;
}

void SingleInstance::serve(QLocalSocket* client)
{
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    QTimer::singleShot(kClientMs, client, [client] { client->abort(); });
    connect(client, &QLocalSocket::readyRead, this, [this, client] {
        if (!client->canReadLine())
            return;
        const QByteArray line = client->readLine().trimmed();
        const qsizetype space = line.indexOf(' ');
        const QByteArray verb = space < 0 ? line : line.left(space);
        if (verb != kRequest) {
            qCWarning(lcUi, "single instance: unknown request \"%s\"", line.left(64).constData());
            client->abort();
            return;
        }
        qCInfo(lcUi, "single instance: another launch asks for the front window");
        client->write(kAnswer);
        client->flush();
        client->disconnectFromServer();
        emit activationRequested(space < 0 ? QString() : QString::fromUtf8(line.mid(space + 1)));
    });
}

SingleInstance::Role SingleInstance::forward(int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    QLocalSocket socket;
    // The running program takes the lock a moment before it listens: try again until then.
    for (;;) {
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(int(deadline.remainingTime())))
            break;
        if (deadline.hasExpired()) {
            qCWarning(lcUi,
                      "single instance: the running program holds %s but does not answer on "
                      "%s: %s",
                      qUtf8Printable(lockPath()), qUtf8Printable(socketPath()),
                      qUtf8Printable(socket.errorString()));
            return Role::Failed;
        }
        socket.abort();
        QThread::msleep(50);
    }
    QByteArray request = kRequest;
    const QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN");
    if (!token.isEmpty() && !token.contains('\n'))
        request += ' ' + token;
    socket.write(request + '\n');
    QByteArray answer;
    while (!answer.endsWith('\n') && socket.waitForReadyRead(int(deadline.remainingTime())))
        answer += socket.readAll();
    answer += socket.readAll();
    if (answer != kAnswer) {
        qCWarning(lcUi, "single instance: the running program did not answer on %s: %s",
                  qUtf8Printable(socketPath()), qUtf8Printable(socket.errorString()));
        return Role::Failed;
    }
    qCInfo(lcUi, "single instance: the program already runs; its window is brought to the front");
    return Role::Forwarded;
}
