#include "stationstatus.h"

StationStatus::StationStatus(QObject* parent) : QObject(parent)
{
    connect(&m_deadAir, &DeadAirWatch::deadChanged, this, &StationStatus::changed);
}

void StationStatus::setOnAir()
{
    setLink(State::OnAir, m_cause);
}

void StationStatus::setReconnecting(const QString& cause)
{
    setLink(State::Reconnecting, cause);
}

void StationStatus::setOffAir(const QString& cause)
{
    setLink(State::OffAir, cause);
}

void StationStatus::setLink(State link, const QString& cause)
{
    if (link == m_link && cause == m_cause)
        return;
    if (link == State::OnAir && m_link != State::OnAir)
        m_onAirSince.start();
    else if (link != State::OnAir)
        m_onAirSince.invalidate();
    m_link = link;
    m_cause = cause;
    const QSignalBlocker quiet(m_deadAir); // one changed() for the whole step
    updateWatch();
    emit changed();
}

void StationStatus::setCaptureLost(bool lost)
{
    if (lost == m_captureLost)
        return;
    m_captureLost = lost;
    const QSignalBlocker quiet(m_deadAir);
    updateWatch();
    emit changed();
}

void StationStatus::updateWatch()
{
    // With the sound server gone its own notice says why the station is silent.
    m_deadAir.setActive(m_link == State::OnAir && !m_captureLost);
}

void StationStatus::setListeners(int listeners)
{
    if (listeners == m_listeners)
        return;
    m_listeners = listeners;
    emit changed();
}

void StationStatus::setLevel(double peakDb)
{
    m_deadAir.feed(peakDb);
}

StationStatus::State StationStatus::state() const
{
    if (m_link == State::OnAir && m_deadAir.isDead())
        return State::DeadAir;
    return m_link;
}

qint64 StationStatus::secondsOnAir() const
{
    return m_onAirSince.isValid() ? m_onAirSince.elapsed() / 1000 : 0;
}

QString StationStatus::stateName(State state)
{
    switch (state) {
    case State::OffAir:
        return QStringLiteral("off air");
    case State::OnAir:
        return QStringLiteral("on air");
    case State::Reconnecting:
        return QStringLiteral("reconnecting");
    case State::DeadAir:
        return QStringLiteral("dead air");
    }
    return {};
}
