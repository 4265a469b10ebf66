#include "castengine.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace castengine {

int barForPeak(int peak)
{
    if (peak <= 0)
        return 0;
    const double db = 20.0 * std::log10(std::min(peak, 32768) / 32768.0);
    const double bar = MeterBarMax * (db - MeterFloorDb) / -MeterFloorDb;
    return std::clamp(static_cast<int>(std::lround(bar)), 0, MeterBarMax);
}

int meterTick(EngineState& s, DWORD level)
{
    int now = 0;
    if (level != 0xFFFFFFFFu)
        now = barForPeak(static_cast<int>(std::max(level & 0xFFFFu, level >> 16)));
    s.MeterBar = std::max(now, s.MeterBar - MeterFallPerTick);
    return s.MeterBar;
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
    return attempt <= 0 ? 1000 : 2000;
}

} // namespace castengine
