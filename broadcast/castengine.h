#pragma once
// The cast engine's state and the rules of its level tick, listener count and reconnection,
// apart from any window so that they can be checked on their own.
#include "bassenc.h"

#include <QByteArray>
#include <atomic>
#include <functional>

// One set for the whole program, held by the engine's course. The capture and notification
// threads of the audio layer read the atomics; everything else is touched only on the GUI
// thread.
struct EngineState {
    // The running capture; 0 when there is none. The engine counts as running while non-zero.
    std::atomic<HRECORD> CaptureChannel{0};
    // The encoder that the last start attempt attached, if it got that far. Stop keeps it.
    std::atomic<HENCODE> EncoderHandle{0};
    // The engine's course, given to the death notification (set once, at its creation).
    void* EngineWindowHandle = nullptr;
    // The copy of the Auto-reconnect switch that the notification thread reads.
    std::atomic<bool> AutoReconnectFlag{true};
    // The meter's held position on the console's bar, 0..128.
    int MeterBar = 0;
    // Level ticks since start-up; never reset.
    int MeterTicks = 0;

    // True between the capture's start and the encoder's attachment: the capture callback
    // keeps the capture alive while no encoder can be active yet.
    std::atomic<bool> EncoderStarting{false};
    // Set by the death notification of the running encoder: its server connection or its
    // process has died.
    std::atomic<bool> CastDead{false};

    // For diagnostics and tests: start attempts made and successful so far.
    int StartAttempts = 0;
    int StartsOnAir = 0;
};

namespace castengine {

// The meter on the console's bar (0..128): a dB scale from -60 dBFS (empty) to 0 dBFS (full),
// read every MeterIntervalMs; the held peak falls MeterFallPerTick a tick, so full scale
// empties in 0.8 s of silence.
constexpr int MeterBarMax = 128;
constexpr int MeterFloorDb = -60;
constexpr int MeterIntervalMs = 50;
// While no window shows the bar (the console hidden or minimized), the level is still read for
// what hears of it (the dead-air watch, the capture's loss), four times a second.
constexpr int MeterUnseenIntervalMs = 250;
// How often the server is asked for its listener count while on the air.
constexpr int WatchIntervalMs = 2000;
constexpr int MeterFallPerTick = 8;
// Every this many ticks the listener count is skipped.
constexpr int CountSkipEvery = 100;

// The bar position of a peak level 0..32768 (full scale): 0 at -60 dBFS or less, 128 at
// 0 dBFS, linear in dB between.
int barForPeak(int peak);

// One meter tick: the held position falls by MeterFallPerTick, then rises to the louder
// channel of level (0xFFFFFFFF, no level, counts as silence). Returns the new position.
int meterTick(EngineState& s, DWORD level);

// The count after tag in stats: 0 when the tag is absent, the decimal number of the digits
// that follow it directly, or -1 when no digit follows. Very long numbers stop at INT_MAX.
int listenersAfterTag(const QByteArray& stats, const QByteArray& tag);

// The listener count of a cast: the Icecast statistics first, the SHOUTcast XML status when
// the Icecast answer is empty; 0 when both are empty. query(type) returns the statistics
// text of that type (empty when there is none).
int listenerCount(const std::function<QByteArray(DWORD type)>& query);

// The delay before reconnection attempt n (0 for the first, a second after the death), then
// 2 seconds: a server that returns after any outage has the source back within a few seconds.
int reconnectDelayMs(int attempt);

} // namespace castengine
