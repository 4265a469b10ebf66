// A music player on the session bus of $DBUS_SESSION_BUS_ADDRESS, as the desktop's players
// show themselves over MPRIS, playing one track until killed (for scripts/demo-checks):
//
//   mpris-player <name> <artist or ""> <title>
//
// It prints "playing" once its name is on the bus.
#include "fakempris.h"

#include <QCoreApplication>
#include <QDBusError>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        std::fprintf(stderr, "usage: mpris-player <name> <artist or \"\"> <title>\n");
        return 2;
    }
    FakeMprisPlayer player(QDBusConnection::sessionBus(), args.at(1));
    if (!player.isRegistered()) {
        std::fprintf(stderr, "mpris-player: cannot own %s: %s\n", qUtf8Printable(player.busName()),
                     qUtf8Printable(QDBusConnection::sessionBus().lastError().message()));
        return 1;
    }
    const QStringList artists = args.at(2).isEmpty() ? QStringList() : QStringList{args.at(2)};
    QTimer::singleShot(0, &player, [&] {
        player.play(artists, args.at(3));
        std::printf("playing\n");
        std::fflush(stdout);
    });
    return app.exec();
}
