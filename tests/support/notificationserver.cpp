#include "notificationserver.h"

#include <QDBusAbstractAdaptor>

namespace {

class NotificationsAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit NotificationsAdaptor(NotificationServer* server)
        : QDBusAbstractAdaptor(server), m_server(server)
    {}

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int expireTimeout)
    {
        return m_server->notify(replacesId, summary, body, hints, expireTimeout);
    }
    void CloseNotification(uint id)
    {
        m_server->close(id);
        emit NotificationClosed(id, 3);
    }
    QStringList GetCapabilities() { return {QStringLiteral("body")}; }
    QString GetServerInformation(QString& vendor, QString& version, QString& protocolVersion)
    {
        vendor = QStringLiteral("tests");
        version = QStringLiteral("1");
        protocolVersion = QStringLiteral("1.2");
        return QStringLiteral("recording notification server");
    }

signals:
    void NotificationClosed(uint id, uint reason);

private:
    NotificationServer* m_server;
};

} // namespace

NotificationServer::NotificationServer(QDBusConnection connection, QObject* parent)
    : QObject(parent), m_connection(std::move(connection))
{
    new NotificationsAdaptor(this);
    m_registered =
        m_connection.registerObject(QStringLiteral("/org/freedesktop/Notifications"), this) &&
        m_connection.registerService(QStringLiteral("org.freedesktop.Notifications"));
}

NotificationServer::~NotificationServer()
{
    m_connection.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
    m_connection.unregisterObject(QStringLiteral("/org/freedesktop/Notifications"));
}

uint NotificationServer::notify(uint replacesId, const QString& summary, const QString& body,
                                const QVariantMap& hints, int expireTimeout)
{
    uint id = replacesId;
    if (id == 0 || !m_open.contains(id)) {
        id = m_nextId++;
        ++m_made;
    }
    m_open.insert(id);
    m_calls.append({replacesId, id, summary, body, expireTimeout, hints});
    emit notified();
    return id;
}

void NotificationServer::close(uint id)
{
    m_closed.append(id);
    m_open.remove(id);
}

#include "notificationserver.moc"
