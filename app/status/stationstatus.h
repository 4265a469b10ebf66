#pragma once
// The station's state as the owner sees it, fed by the engine on the GUI thread and read by
// the tray icon and the desktop notices. Every change that shows emits one changed().
//
//   status.setOnAir();                       // the source connection is up
//   status.setReconnecting("server chiuso"); // it dropped; the engine tries again
//   status.setOffAir("arrestata");           // it is down and nobody retries
//   status.setLevel(peakDb);                 // a few times a second, from the capture's meter
#include "deadairwatch.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

class StationStatus : public QObject {
    Q_OBJECT
public:
    enum class State { OffAir, OnAir, Reconnecting, DeadAir };
    Q_ENUM(State)

    explicit StationStatus(QObject* parent = nullptr);

    void setOnAir();
    void setReconnecting(const QString& cause);
    void setOffAir(const QString& cause);
    // The sound server is gone (true) or back (false); the cast may stay up meanwhile.
    void setCaptureLost(bool lost);
    void setListeners(int listeners);
    // The input's peak level in dBFS, as the meter has it; feeds the dead-air watch.
    void setLevel(double peakDb);

    // DeadAir is on the air with a silent input.
    State state() const;
    bool isOnAir() const { return m_link == State::OnAir; }
    bool captureLost() const { return m_captureLost; }
    int listeners() const { return m_listeners; }
    // Seconds since the station last went on the air; 0 off the air.
    qint64 secondsOnAir() const;
    // The cause given with the last drop ("" before the first).
    QString cause() const { return m_cause; }

    DeadAirWatch& deadAir() { return m_deadAir; }

    static QString stateName(State state);

signals:
    void changed();

private:
    void setLink(State link, const QString& cause);
    void updateWatch();

    State m_link = State::OffAir; // OffAir, OnAir or Reconnecting
    bool m_captureLost = false;
    int m_listeners = 0;
    QString m_cause;
    QElapsedTimer m_onAirSince;
    DeadAirWatch m_deadAir;
};
