#include "deadairwatch.h"

#include "wllog.h"

DeadAirWatch::DeadAirWatch(QObject* parent) : QObject(parent) {}

void DeadAirWatch::setActive(bool active)
{
    if (active == m_active)
        return;
    m_active = active;
    m_quietSince.invalidate();
    if (!active)
        setDead(false, "the station is off the air");
}

void DeadAirWatch::feed(double peakDb)
{
    if (!m_active)
        return;
    // NaN counts as silence: a level that cannot be read is no proof of sound.
    const bool quiet = !(peakDb >= m_thresholdDb);
    if (!quiet) {
        m_quietSince.invalidate();
        setDead(false, "sound is back");
        return;
    }
    if (!m_quietSince.isValid()) {
        m_quietSince.start();
        return;
    }
    if (!m_dead && m_quietSince.elapsed() >= m_bound.count())
        setDead(true, nullptr);
}

void DeadAirWatch::setDead(bool dead, const char* why)
{
    if (dead == m_dead)
        return;
    m_dead = dead;
    if (dead)
        qCWarning(lcUi).nospace() << "Dead air: the input has stayed below " << m_thresholdDb
                                  << " dBFS for " << m_bound.count() / 1000.0 << " s";
    else
        qCInfo(lcUi, "Dead air ends: %s", why);
    emit deadChanged(dead);
}
