#include "castengine.h"

#include <algorithm>
#include <climits>

namespace castengine {

int meterTick(EngineState& s, DWORD level)
{
    s.PeakLeft = std::max(0, s.PeakLeft - PeakDecay);
    s.PeakRight = std::max(0, s.PeakRight - PeakDecay);
    if (level != 0xFFFFFFFFu) {
        s.PeakLeft = std::max(s.PeakLeft, static_cast<int>(level & 0xFFFFu));
        s.PeakRight = std::max(s.PeakRight, static_cast<int>(level >> 16));
    }
    return std::max(s.PeakLeft, s.PeakRight);
}

int listenersAfterTag(const QByteArray& stats, const QByteArray& tag)
{
    const qsizetype at = stats.indexOf(tag);
    if (at < 0)
        return 0;
    qsizetype i = at + tag.size();
    if (i >= stats.size() || stats[i] < '0' || stats[i] > '9')
        return -1;
    long long n = 0;
    for (; i < stats.size() && stats[i] >= '0' && stats[i] <= '9'; ++i)
        n = std::min<long long>(INT_MAX, n * 10 + (stats[i] - '0'));
    return static_cast<int>(n);
}

int listenerCount(const std::function<QByteArray(DWORD type)>& query)
{
    const QByteArray ice = query(BASS_ENCODE_STATS_ICE);
    if (!ice.isEmpty())
        return listenersAfterTag(ice, QByteArrayLiteral("<Listeners>"));
    const QByteArray shout = query(BASS_ENCODE_STATS_SHOUT);
    if (!shout.isEmpty())
        return listenersAfterTag(shout, QByteArrayLiteral("<CURRENTLISTENERS>"));
    return 0;
}

int reconnectDelayMs(int attempt)
{
    static constexpr int delays[] = {1000, 2000, 4000, 8000};
    if (attempt < 0)
        attempt = 0;
    if (attempt < 4)
        return delays[attempt];
    return 15000;
}

} // namespace castengine
