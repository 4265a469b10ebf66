#pragma once
// A private D-Bus session bus for tests: a dbus-daemon of its own, on a unix socket in a
// temporary folder, with a policy that lets everybody own and call anything.
//
//   SessionBus bus;
//   QVERIFY2(bus.isRunning(), qPrintable(bus.error()));
//   QDBusConnection c = bus.connect("client"); // a new connection, closed by ~SessionBus
//
// The process's own session bus (QDBusConnection::sessionBus()) is left alone.
#include <QDBusConnection>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

class SessionBus {
public:
    SessionBus();
    ~SessionBus(); // closes the connections made by connect(), then stops the daemon
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;

    bool isRunning() const { return m_running; }
    QString error() const { return m_error; }
    QString address() const { return m_address; }

    // A new connection to this bus, under a name of its own (made unique here).
    QDBusConnection connect(const QString& name);
    // Closes one made by connect(): its names go, as when a program quits.
    void disconnect(const QDBusConnection& connection);

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QString m_address;
    QStringList m_connections;
    bool m_running = false;
    QString m_error;
};
