#include "sessionbus.h"

#include <QDeadlineTimer>
#include <QFile>

namespace {
int serial = 0;
}

SessionBus::SessionBus()
{
    if (!m_dir.isValid()) {
        m_error = QStringLiteral("no temporary folder");
        return;
    }
    const QString config = m_dir.path() + QStringLiteral("/bus.conf");
    QFile f(config);
    if (!f.open(QIODevice::WriteOnly)) {
        m_error = f.errorString();
        return;
    }
    f.write(QStringLiteral(
                R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=%1/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)")
                .arg(m_dir.path())
                .toUtf8());
    f.close();

    m_daemon.setStandardErrorFile(m_dir.path() + QStringLiteral("/dbus.stderr"));
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + config, QStringLiteral("--print-address"),
                    QStringLiteral("--nofork")});
    if (!m_daemon.waitForStarted(5000)) {
        m_error = QStringLiteral("dbus-daemon did not start: ") + m_daemon.errorString();
        return;
    }
    const QDeadlineTimer deadline(10000);
    QByteArray out;
    while (!out.contains('\n') && !deadline.hasExpired() && m_daemon.state() == QProcess::Running) {
        m_daemon.waitForReadyRead(100);
        out += m_daemon.readAllStandardOutput();
    }
    m_address = QString::fromUtf8(out.left(out.indexOf('\n'))).trimmed();
    if (m_address.isEmpty()) {
        m_error = QStringLiteral("dbus-daemon gave no address");
        return;
    }
    m_running = true;
}

SessionBus::~SessionBus()
{
    for (const QString& name : std::as_const(m_connections))
        QDBusConnection::disconnectFromBus(name);
    if (m_daemon.state() != QProcess::NotRunning) {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(5000)) {
            m_daemon.kill();
            m_daemon.waitForFinished(5000);
        }
    }
}

QDBusConnection SessionBus::connect(const QString& name)
{
    const QString unique = QStringLiteral("%1-%2").arg(name).arg(++serial);
    m_connections.append(unique);
    return QDBusConnection::connectToBus(m_address, unique);
}

void SessionBus::disconnect(const QDBusConnection& connection)
{
    const QString name = connection.name();
    m_connections.removeAll(name);
    QDBusConnection::disconnectFromBus(name);
}
