// A notification server on the session bus of $DBUS_SESSION_BUS_ADDRESS that shows nothing and
// prints every call, one line each, with the wall-clock time in seconds (for scripts/demo-checks):
//
//   1718000000.123 NOTIFY id=1 replaces=0 urgency=2 expire=0 | Stazione fuori onda | La ...
//   1718000031.456 CLOSE id=2
//
// It prints "ready" once it owns org.freedesktop.Notifications, and runs until killed.
#include "notificationserver.h"

#include <QCoreApplication>
#include <QDBusError>
#include <QDateTime>
#include <QTimer>
#include <cstdio>

namespace {

void print(const QString& line)
{
    const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    std::printf("%.3f %s\n", now, line.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    NotificationServer server(QDBusConnection::sessionBus());
    if (!server.isRegistered()) {
        std::fprintf(stderr, "notice-recorder: cannot own org.freedesktop.Notifications: %s\n",
                     qUtf8Printable(QDBusConnection::sessionBus().lastError().message()));
        return 1;
    }
    QObject::connect(&server, &NotificationServer::notified, [&server] {
        const NotificationServer::Call c = server.calls().constLast();
        print(QStringLiteral("NOTIFY id=%1 replaces=%2 urgency=%3 expire=%4 | %5 | %6")
                  .arg(c.id)
                  .arg(c.replacesId)
                  .arg(c.hints.value(QStringLiteral("urgency")).toInt())
                  .arg(c.expireTimeout)
                  .arg(c.summary, c.body));
    });
    // The server has no signal for a close: its list is looked at a few times a second.
    qsizetype closed = 0;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&server, &closed] {
        const QList<uint> all = server.closed();
        for (; closed < all.size(); ++closed)
            print(QStringLiteral("CLOSE id=%1").arg(all.at(closed)));
    });
    poll.start(100);
    print(QStringLiteral("ready"));
    return app.exec();
}
