#pragma once
// The desktop's notices (org.freedesktop.Notifications on the session bus) for what the owner
// must know while looking elsewhere: the station off the air for more than a few seconds,
// back on the air, dead air, the sound server lost and back.
//
// Each kind of event has one notice, updated in place (replaces_id): a link that drops and
// comes back twenty times shows one notice whose text changes. Nothing is shown before the
// station first goes on the air, nor after stop() (the end of the run). Calls on the bus are
// asynchronous; the GUI thread never waits for the notification server.
#include "stationstatus.h"

#include <QDBusConnection>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <optional>

class DesktopNotices : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds defaultOffAirDelay{10000};

    explicit DesktopNotices(StationStatus* status,
                            QDBusConnection bus = QDBusConnection::sessionBus(),
                            QObject* parent = nullptr);
    ~DesktopNotices() override;

    // How long the station must stay off the air before the notice; shortened by the tests.
    void setOffAirDelay(std::chrono::milliseconds delay) { m_offAirDelay = delay; }
    // The end of the run: no notice from now on.
    void stop();
    // The copy of the show has stopped by itself (a full disk, say): one notice, updated in
    // place if it happens again.
    void recordingStopped(const QString& reason);

    // Notify calls sent so far and those not answered yet (for the tests and the log).
    int sentCount() const { return m_sent; }
    bool idle() const;

private:
    struct Notice {
        QString summary, body;
        bool urgent = false;
        bool close = false; // withdraw the notice instead
    };
    struct Slot {
        explicit Slot(const char* n) : name(n) {}
        const char* name;
        uint id = 0;
        bool inFlight = false;
        std::optional<Notice> queued;
        bool shown = false; // its "lost" notice is up, so "back" is owed
    };

    void onChanged();
    void onOffAirTimeout();
    void post(Slot& slot, const Notice& notice);
    void send(Slot& slot, const Notice& notice);

    StationStatus* m_status;
    QDBusConnection m_bus;
    std::chrono::milliseconds m_offAirDelay = defaultOffAirDelay;
    QTimer m_offAirTimer;
    bool m_armed = false; // the station has been on the air once
    bool m_stopped = false;
    bool m_wasOnAir = false;
    bool m_wasDead = false;
    bool m_wasCaptureLost = false;
    bool m_failing = false; // the last call failed; logged once
    int m_sent = 0;
    Slot m_link{"link"};
    Slot m_deadAir{"dead air"};
    Slot m_capture{"sound server"};
    Slot m_recording{"recording"};
};
