#pragma once
// Dead air: the station on the air while its input stays silent, as when the music player
// stopped. Fed with the peak level the capture already computes, a few times a second; it
// says "dead" after the level stays below the threshold for the bound while on the air, and
// "sound again" at the first level above it. One log line each way.
#include <QElapsedTimer>
#include <QObject>
#include <chrono>

class DeadAirWatch : public QObject {
    Q_OBJECT
public:
    static constexpr double defaultThresholdDb = -50.0;
    static constexpr std::chrono::milliseconds defaultBound{30000};

    explicit DeadAirWatch(QObject* parent = nullptr);

    // Whether the station is on the air and its input can be judged; off, the watch forgets
    // the silence it has seen and dead air ends.
    void setActive(bool active);
    bool isActive() const { return m_active; }
    // One reading of the input's peak level in dBFS (-inf for digital silence).
    void feed(double peakDb);

    bool isDead() const { return m_dead; }

    // How long the input must stay below the threshold; shortened by the tests.
    void setBound(std::chrono::milliseconds bound) { m_bound = bound; }
    std::chrono::milliseconds bound() const { return m_bound; }
    void setThresholdDb(double db) { m_thresholdDb = db; }

signals:
    void deadChanged(bool dead);

private:
    void setDead(bool dead, const char* why);

    std::chrono::milliseconds m_bound = defaultBound;
    double m_thresholdDb = defaultThresholdDb;
    QElapsedTimer m_quietSince; // invalid while there is sound
    bool m_active = false;
    bool m_dead = false;
};
