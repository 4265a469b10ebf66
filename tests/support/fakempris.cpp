#include "fakempris.h"

#include <QDBusAbstractAdaptor>
#include <QDBusMessage>
#include <QDBusObjectPath>

namespace {

class PlayerAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
public:
    explicit PlayerAdaptor(FakeMprisPlayer* player) : QDBusAbstractAdaptor(player), m_p(player) {}
    QString playbackStatus() const { return m_p->playbackStatus(); }
    QVariantMap metadata() const { return m_p->metadata(); }

private:
    FakeMprisPlayer* m_p;
};

class RootAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(QString Identity READ identity)
public:
    explicit RootAdaptor(QObject* parent) : QDBusAbstractAdaptor(parent) {}
    QString identity() const { return QStringLiteral("Test player"); }
};

const QString objectPath = QStringLiteral("/org/mpris/MediaPlayer2");

} // namespace

FakeMprisPlayer::FakeMprisPlayer(QDBusConnection connection, const QString& name, QObject* parent)
    : QObject(parent), m_connection(std::move(connection)), m_name(name)
{
    new RootAdaptor(this);
    new PlayerAdaptor(this);
    m_registered =
        m_connection.registerObject(objectPath, this) && m_connection.registerService(busName());
}

FakeMprisPlayer::~FakeMprisPlayer()
{
    quit();
}

QString FakeMprisPlayer::busName() const
{
    return QStringLiteral("org.mpris.MediaPlayer2.") + m_name;
}

void FakeMprisPlayer::play(const QStringList& artists, const QString& title)
{
    m_metadata = {
        {QStringLiteral("mpris:trackid"),
         QVariant::fromValue(QDBusObjectPath(QStringLiteral("/test/track/%1").arg(++m_track)))},
        {QStringLiteral("xesam:title"), title},
    };
    if (!artists.isEmpty())
        m_metadata.insert(QStringLiteral("xesam:artist"), artists);
    m_status = QStringLiteral("Playing");
    announce(
        {{QStringLiteral("Metadata"), m_metadata}, {QStringLiteral("PlaybackStatus"), m_status}});
}

void FakeMprisPlayer::pause()
{
    m_status = QStringLiteral("Paused");
    announce({{QStringLiteral("PlaybackStatus"), m_status}});
}

void FakeMprisPlayer::resume()
{
    m_status = QStringLiteral("Playing");
    announce({{QStringLiteral("PlaybackStatus"), m_status}});
}

void FakeMprisPlayer::quit()
{
    if (!m_registered)
        return;
    m_registered = false;
    m_connection.unregisterService(busName());
    m_connection.unregisterObject(objectPath);
}

void FakeMprisPlayer::announce(const QVariantMap& changed)
{
    QDBusMessage signal =
        QDBusMessage::createSignal(objectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                   QStringLiteral("PropertiesChanged"));
    signal << QStringLiteral("org.mpris.MediaPlayer2.Player") << changed << QStringList();
    m_connection.send(signal);
}

#include "fakempris.moc"
