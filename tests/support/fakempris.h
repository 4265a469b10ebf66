#pragma once
// A music player on a test's session bus as the desktop's players show themselves over MPRIS:
// org.mpris.MediaPlayer2.<name> with the Player interface's PlaybackStatus and Metadata, and
// PropertiesChanged at each change.
//
//   FakeMprisPlayer player(bus.connect("player"), "fake");
//   player.play({"Artista"}, "Brano");   // a track change, playing
//   player.pause();
//   player.quit();                       // its name leaves the bus
#include <QDBusConnection>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

class FakeMprisPlayer : public QObject {
    Q_OBJECT
public:
    FakeMprisPlayer(QDBusConnection connection, const QString& name, QObject* parent = nullptr);
    ~FakeMprisPlayer() override;

    bool isRegistered() const { return m_registered; }
    QString busName() const; // org.mpris.MediaPlayer2.<name>

    // A new track, and playing.
    void play(const QStringList& artists, const QString& title);
    void pause();
    void resume();
    // Releases its name, as a player that quits.
    void quit();

    QString playbackStatus() const { return m_status; }
    QVariantMap metadata() const { return m_metadata; }

private:
    void announce(const QVariantMap& changed);

    QDBusConnection m_connection;
    QString m_name;
    QString m_status = QStringLiteral("Stopped");
    QVariantMap m_metadata;
    int m_track = 0;
    bool m_registered = false;
};
