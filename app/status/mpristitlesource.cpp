#include "mpristitlesource.h"

#include "wllog.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

namespace {
const QString prefix = QStringLiteral("org.mpris.MediaPlayer2.");
const QString objectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString playerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// A value out of a D-Bus variant: nested maps arrive as QDBusArgument.
QVariant plain(const QVariant& v)
{
    if (v.canConvert<QDBusVariant>() && v.userType() == qMetaTypeId<QDBusVariant>())
        return plain(v.value<QDBusVariant>().variant());
    if (v.userType() == qMetaTypeId<QDBusArgument>()) {
        const auto arg = v.value<QDBusArgument>();
        if (arg.currentType() == QDBusArgument::MapType) {
            QVariantMap map;
            arg >> map;
            for (auto it = map.begin(); it != map.end(); ++it)
                it.value() = plain(it.value());
            return map;
        }
        if (arg.currentType() == QDBusArgument::ArrayType) {
            QStringList list;
            arg >> list;
            return list;
        }
    }
    return v;
}

QVariantMap plainMap(const QVariant& v)
{
    return plain(v).toMap();
}
} // namespace

MprisTitleSource::MprisTitleSource(QDBusConnection bus, QObject* parent)
    : QObject(parent), m_bus(std::move(bus))
{
    if (!m_bus.isConnected()) {
        qCInfo(lcUi).noquote() << "Titles from the music player: no session bus:"
                               << m_bus.lastError().message();
        return;
    }
    m_bus.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                  QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"), this,
                  SLOT(onNameOwnerChanged(QString, QString, QString)));
    m_bus.connect(QString(), objectPath, propertiesInterface, QStringLiteral("PropertiesChanged"),
                  this, SLOT(onPropertiesChanged(QDBusMessage)));

    const QDBusMessage list = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("ListNames"));
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(list), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<QStringList> reply = *w;
        if (reply.isError()) {
            qCWarning(lcUi).noquote()
                << "Titles from the music player: cannot list the bus:" << reply.error().message();
            return;
        }
        for (const QString& name : reply.value()) {
            if (!name.startsWith(prefix))
                continue;
            QDBusMessage owner = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
            auto* ow = new QDBusPendingCallWatcher(m_bus.asyncCall(owner << name), this);
            connect(ow, &QDBusPendingCallWatcher::finished, this,
                    [this, name](QDBusPendingCallWatcher* w2) {
                        w2->deleteLater();
                        const QDBusPendingReply<QString> r = *w2;
                        if (!r.isError())
                            addPlayer(name, r.value());
                    });
        }
    });
}

MprisTitleSource::~MprisTitleSource() = default;

QString MprisTitleSource::currentPlayer() const
{
    const Player* best = nullptr;
    for (const Player& p : m_players)
        if (p.playing && (!best || p.playingSince > best->playingSince))
            best = &p;
    return best ? best->name : QString();
}

QString MprisTitleSource::titleFrom(const QVariantMap& metadata)
{
    const QString title = metadata.value(QStringLiteral("xesam:title")).toString().trimmed();
    if (title.isEmpty())
        return {};
    const QVariant a = metadata.value(QStringLiteral("xesam:artist"));
    QStringList artists =
        a.userType() == QMetaType::QString ? QStringList{a.toString()} : a.toStringList();
    artists.removeAll(QString());
    if (artists.isEmpty())
        return title;
    return artists.join(QStringLiteral(", ")) + QStringLiteral(" - ") + title;
}

void MprisTitleSource::onNameOwnerChanged(const QString& name, const QString& oldOwner,
                                          const QString& newOwner)
{
    if (!name.startsWith(prefix))
        return;
    if (!oldOwner.isEmpty()) {
        if (m_players.remove(oldOwner))
            qCInfo(lcUi).noquote() << "Music player gone:" << name;
    }
    if (!newOwner.isEmpty())
        addPlayer(name, newOwner);
}

void MprisTitleSource::addPlayer(const QString& name, const QString& owner)
{
    if (m_players.contains(owner))
        return;
    Player p;
    p.name = name;
    p.owner = owner;
    m_players.insert(owner, p);
    qCInfo(lcUi).noquote() << "Music player found:" << name;
    fetch(owner);
}

void MprisTitleSource::fetch(const QString& owner)
{
    QDBusMessage get = QDBusMessage::createMethodCall(owner, objectPath, propertiesInterface,
                                                      QStringLiteral("GetAll"));
    get << playerInterface;
    auto* w = new QDBusPendingCallWatcher(m_bus.asyncCall(get), this);
    connect(w, &QDBusPendingCallWatcher::finished, this, [this, owner](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<QVariantMap> reply = *w;
        auto it = m_players.find(owner);
        if (it == m_players.end())
            return;
        if (reply.isError()) {
            qCWarning(lcUi).noquote()
                << "Music player" << it->name << "does not answer:" << reply.error().message();
            return;
        }
        apply(*it, reply.value());
    });
}

void MprisTitleSource::onPropertiesChanged(const QDBusMessage& message)
{
    const QList<QVariant> args = message.arguments();
    if (args.size() < 2 || args.at(0).toString() != playerInterface)
        return;
    auto it = m_players.find(message.service());
    if (it == m_players.end())
        return; // not (yet) known as a player; its GetAll will tell
    const QStringList invalidated =
        args.size() > 2 ? plain(args.at(2)).toStringList() : QStringList();
    apply(*it, plainMap(args.at(1)));
    if (invalidated.contains(QStringLiteral("Metadata")) ||
        invalidated.contains(QStringLiteral("PlaybackStatus")))
        fetch(it->owner);
}

void MprisTitleSource::apply(Player& player, const QVariantMap& properties)
{
    const auto status = properties.find(QStringLiteral("PlaybackStatus"));
    if (status != properties.end()) {
        const bool playing = plain(*status).toString() == QStringLiteral("Playing");
        if (playing && !player.playing)
            player.playingSince = ++m_order;
        player.playing = playing;
    }
    const auto metadata = properties.find(QStringLiteral("Metadata"));
    if (metadata != properties.end())
        player.title = titleFrom(plainMap(*metadata));
    choose();
}

void MprisTitleSource::choose()
{
    const QString current = currentPlayer();
    if (current.isEmpty())
        return; // paused or gone: the last title stays
    for (const Player& p : std::as_const(m_players)) {
        if (p.name != current || p.title.isEmpty() || p.title == m_title)
            continue;
        m_title = p.title;
        qCInfo(lcUi).noquote() << "Title from" << p.name << ":" << m_title;
        emit titleChanged(m_title);
        return;
    }
}
