#pragma once
// A desktop notification server for tests (org.freedesktop.Notifications) that shows nothing
// and records every call: Notify with its replaces_id and the id it answered, and
// CloseNotification. Ids follow the rules of the desktop's servers: a new one for
// replaces_id 0 or an unknown id, the same one when the notice is replaced.
//
//   SessionBus bus;
//   NotificationServer server(bus.connect("notices"));
//   QVERIFY(server.isRegistered());
//   ... server.notices(), server.calls()
#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QVariantMap>

class NotificationServer : public QObject {
    Q_OBJECT
public:
    struct Call {
        uint replacesId = 0;
        uint id = 0; // the answer
        QString summary, body;
        int expireTimeout = -1;
        QVariantMap hints;
    };

    explicit NotificationServer(QDBusConnection connection, QObject* parent = nullptr);
    ~NotificationServer() override;

    bool isRegistered() const { return m_registered; }

    QList<Call> calls() const { return m_calls; }
    QList<uint> closed() const { return m_closed; }
    // Distinct notices ever made (ids answered to replaces_id 0 or unknown).
    int notices() const { return m_made; }
    // Notices up now.
    QSet<uint> open() const { return m_open; }

    // Called by the adaptor.
    uint notify(uint replacesId, const QString& summary, const QString& body,
                const QVariantMap& hints, int expireTimeout);
    void close(uint id);

signals:
    void notified();

private:
    QDBusConnection m_connection;
    bool m_registered = false;
    QList<Call> m_calls;
    QList<uint> m_closed;
    QSet<uint> m_open;
    uint m_nextId = 1;
    int m_made = 0;
};
