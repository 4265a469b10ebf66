#pragma once
// What the encoder and cast tests share: the engine's lame command, a capture that lasts as
// long as its encoder, and the encoder's notices as the audio layer delivers them.
#include "bass.h"
#include "bassenc.h"

#include <QElapsedTimer>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace audiotest {

inline const char* const lameCommand = "lame -r -s 44100 -b 128 -";

// A recording callback that keeps the capture going while its encoder is active.
inline BOOL whileEncoding(HRECORD handle, const void*, DWORD, void*)
{
    return BASS_Encode_IsActive(handle) != 0 ? BASS_TRUE : BASS_FALSE;
}

// The notices an encoder got (notifyProc with this as its user value).
struct Notices {
    std::mutex mutex;
    std::vector<DWORD> statuses;
    QElapsedTimer sinceStart;              // started by the test
    std::atomic<qint64> firstAtMs{-1};     // sinceStart at the first notice
    std::atomic<bool> offMainThread{true}; // no notice came on the test's thread
    std::thread::id main = std::this_thread::get_id();
    std::vector<DWORD> get()
    {
        std::lock_guard lock(mutex);
        return statuses;
    }
};

inline void notifyProc(HENCODE, DWORD status, void* user)
{
    auto* n = static_cast<Notices*>(user);
    if (std::this_thread::get_id() == n->main)
        n->offMainThread = false;
    std::lock_guard lock(n->mutex);
    if (n->statuses.empty() && n->sinceStart.isValid())
        n->firstAtMs = n->sinceStart.elapsed();
    n->statuses.push_back(status);
}

} // namespace audiotest
