#pragma once
// The audio layer's registry: captures and encoders behind small integer handles. Each
// capture (pulsecapture) feeds its encoders (encoderprocess), each encoder's output feeds its
// cast (shoutcast). The registry lock is never held while a stage stops, since stopping joins
// threads whose callbacks look handles up. Each encoder is torn down exactly once, by
// whichever thread comes first; a second caller waits until the first has finished.
#include "bass.h"
#include "bassenc.h"
#include "encoderprocess.h"
#include "layerworker.h"
#include "pulsecapture.h"
#include "shoutcast.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace audiolayer {

// The calling thread's last failure (BASS_LastErrorText).
BOOL fail(std::string reason);
DWORD failHandle(std::string reason);
void setLastError(std::string reason);
const char* lastError();

struct Encoder {
    HENCODE handle = 0;
    HRECORD channel = 0;
    EncoderProcess process;
    ENCODEPROC* proc = nullptr;
    void* procUser = nullptr;

    std::mutex castMutex;
    std::shared_ptr<ShoutCast> cast;
    std::mutex castInitMutex; // one CastInit at a time

    std::recursive_mutex notifyMutex; // held while the notification runs
    ENCODENOTIFYPROC* notify = nullptr;
    void* notifyUser = nullptr;

    std::atomic<bool> freed{false};
    std::atomic<bool> active{false}; // started, not freed, not given up
    std::mutex teardownMutex;
    bool tornDown = false; // under teardownMutex

    ~Encoder() { process.stop(); } // its reader thread uses the members below

    std::shared_ptr<ShoutCast> currentCast()
    {
        std::lock_guard lock(castMutex);
        return cast;
    }
    std::shared_ptr<ShoutCast> takeCast()
    {
        std::lock_guard lock(castMutex);
        return std::move(cast);
    }
    void sendNotify(DWORD status)
    {
        std::lock_guard lock(notifyMutex);
        if (!freed.load() && notify)
            notify(handle, status, notifyUser);
    }
};

struct Capture {
    HRECORD handle = 0;
    PulseCapture capture;
    RECORDPROC* proc = nullptr;
    void* user = nullptr;
    std::mutex encodersMutex;
    std::vector<std::shared_ptr<Encoder>> encoders;
    std::atomic<int> encodersStarting{0};

    ~Capture() { capture.stop(); } // its thread uses the members below
};

class Layer {
public:
    ~Layer() { freeAllCaptures(); }

    std::mutex mutex;
    std::map<DWORD, std::shared_ptr<Capture>> captures;
    std::map<DWORD, std::shared_ptr<Encoder>> encoders;
    DWORD next = 1;
    bool recordReady = false;
    LayerWorker worker; // last member: joined first, while the maps still exist

    DWORD newHandle();
    std::shared_ptr<Capture> capture(DWORD h);
    std::shared_ptr<Encoder> encoder(DWORD h);
    // Stops the encoder's process and cast, once; any thread but the encoder's own.
    void freeEncoder(const std::shared_ptr<Encoder>& e);
    bool freeCapture(HRECORD h);
    void finishCapture(const std::shared_ptr<Capture>& c);
    void freeAllCaptures();
};

Layer& layer();

} // namespace audiolayer
