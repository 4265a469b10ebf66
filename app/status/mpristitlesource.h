#pragma once
// Titles from the desktop's music player: watches the session bus for MPRIS players
// (org.mpris.MediaPlayer2.*) and, for the one playing (the one that started playing last when
// several do), gives "Artist - Title" at each track change. A player that pauses or quits
// leaves the last title as it is: nothing is emitted. Every call on the bus is asynchronous.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QObject>
#include <QString>

class MprisTitleSource : public QObject {
    Q_OBJECT
public:
    explicit MprisTitleSource(QDBusConnection bus = QDBusConnection::sessionBus(),
                              QObject* parent = nullptr);
    ~MprisTitleSource() override;

    // The last title given ("" before the first).
    QString title() const { return m_title; }
    // The well-known name of the player the title comes from ("" when none plays).
    QString currentPlayer() const;

    // "Artist - Title" from an MPRIS metadata map (xesam:artist joined with ", "); just the
    // title without an artist; "" without a title.
    static QString titleFrom(const QVariantMap& metadata);

signals:
    void titleChanged(const QString& title);

private slots:
    void onNameOwnerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);
    void onPropertiesChanged(const QDBusMessage& message);

private:
    struct Player {
        QString name;  // org.mpris.MediaPlayer2.…
        QString owner; // its unique name on the bus
        bool playing = false;
        quint64 playingSince = 0; // order in which players started playing
        QString title;
    };

    void addPlayer(const QString& name, const QString& owner);
    void fetch(const QString& owner);
    void apply(Player& player, const QVariantMap& properties);
    void choose();

    QDBusConnection m_bus;
    QHash<QString, Player> m_players; // by unique name
    quint64 m_order = 0;
    QString m_title;
};
