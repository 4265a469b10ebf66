// The capture side of the audio library: the recording device, captures and their levels.
#include "bass.h"
#include "layer.h"

#include <atomic>

using namespace audiolayer;

namespace {
std::atomic<DWORD> reportedVersion{0};
}

DWORD BASS_GetVersion()
{
    const DWORD v = reportedVersion.load();
    return v != 0 ? v : (BASSVERSION << 16) | 0x0000;
}

void BASS_SetReportedVersionForTesting(DWORD version)
{
    reportedVersion.store(version);
}

BOOL BASS_Init(int device, DWORD, DWORD, void*, void*)
{
    // Only the no-sound output device exists: nothing is played by this program.
    if (device != 0)
        return fail("no output device but the no-sound device 0");
    return BASS_TRUE;
}

BOOL BASS_RecordInit(int device)
{
    if (device != -1 && device != 0)
        return fail("no such recording device");
    std::string why;
    if (!PulseCapture::serverAnswers(&why))
        return fail(why.empty() ? "PulseAudio does not answer" : why);
    std::lock_guard lock(layer().mutex);
    layer().recordReady = true;
    return BASS_TRUE;
}

HRECORD BASS_RecordStart(DWORD freq, DWORD chans, DWORD flags, RECORDPROC* proc, void* user)
{
    Layer& l = layer();
    auto c = std::make_shared<Capture>();
    {
        std::lock_guard lock(l.mutex);
        if (!l.recordReady)
            return failHandle("the recording device is not initialised");
        c->handle = l.newHandle();
    }
    if (freq == 0 || chans == 0 || chans > 2)
        return failHandle("unsupported format");
    if (flags != 0)
        return failHandle("unsupported flags");
    c->proc = proc;
    c->user = user;
    Capture* raw = c.get();
    auto onBlock = [raw](const void* data, std::size_t bytes) {
        {
            std::lock_guard lock(raw->encodersMutex);
            for (const auto& e : raw->encoders)
                e->process.write(data, bytes);
        }
        if (!raw->proc)
            return true;
        return raw->proc(raw->handle, data, static_cast<DWORD>(bytes), raw->user) != 0;
    };
    const HRECORD h = c->handle;
    auto onEnd = [h] { layer().worker.post([h] { layer().freeCapture(h); }); };
    {
        std::lock_guard lock(l.mutex);
        l.captures[h] = c;
    }
    if (!c->capture.start(freq, chans, onBlock, onEnd)) {
        std::string why = c->capture.error();
        std::lock_guard lock(l.mutex);
        l.captures.erase(h);
        return failHandle(why);
    }
    return h;
}

DWORD BASS_ChannelGetLevel(DWORD handle)
{
    auto c = layer().capture(handle);
    if (!c || !c->capture.isActive()) {
        setLastError("no running capture");
        return 0xFFFFFFFFu;
    }
    return c->capture.isLost() ? 0 : c->capture.level();
}

DWORD BASS_ChannelIsActive(DWORD handle)
{
    auto c = layer().capture(handle);
    if (!c || !c->capture.isActive())
        return BASS_ACTIVE_STOPPED;
    return c->capture.isLost() ? BASS_ACTIVE_STALLED : BASS_ACTIVE_PLAYING;
}

BOOL BASS_ChannelStop(DWORD handle)
{
    return layer().freeCapture(handle) ? BASS_TRUE : fail("no such capture");
}

BOOL BASS_RecordFree()
{
    Layer& l = layer();
    l.freeAllCaptures();
    std::lock_guard lock(l.mutex);
    l.recordReady = false;
    return BASS_TRUE;
}

const char* BASS_LastErrorText()
{
    return lastError();
}

void BASS_Layer_WaitForNotifications()
{
    layer().worker.drain();
}
