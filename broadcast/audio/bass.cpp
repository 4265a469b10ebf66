// The audio layer's entry points: a registry of captures and encoders behind small integer
// handles. Each capture (pulsecapture) feeds its encoders (encoderprocess), each encoder's
// output feeds its cast (shoutcast). The registry lock is never held while a stage stops,
// since stopping joins threads whose callbacks look handles up.
#include "bass.h"
#include "bassenc.h"
#include "caststats.h"
#include "encoderprocess.h"
#include "layerworker.h"
#include "pulsecapture.h"
#include "shoutcast.h"

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

thread_local std::string lastError;
thread_local std::string statsText;

std::atomic<DWORD> reportedVersion{0};

BOOL fail(std::string reason)
{
    lastError = std::move(reason);
    return BASS_FALSE;
}

DWORD failHandle(std::string reason)
{
    lastError = std::move(reason);
    return 0;
}

struct Encoder {
    HENCODE handle = 0;
    HRECORD channel = 0;
    EncoderProcess process;
    ENCODEPROC* proc = nullptr;
    void* procUser = nullptr;

    std::mutex castMutex;
    std::shared_ptr<ShoutCast> cast;

    std::recursive_mutex notifyMutex; // held while the notification runs
    ENCODENOTIFYPROC* notify = nullptr;
    void* notifyUser = nullptr;

    std::atomic<bool> freed{false};

    ~Encoder() { process.stop(); } // its reader thread uses the members below

    std::shared_ptr<ShoutCast> currentCast()
    {
        std::lock_guard lock(castMutex);
        return cast;
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

    DWORD newHandle()
    {
        DWORD h = next++;
        if (next == 0)
            next = 1;
        return h;
    }
    std::shared_ptr<Capture> capture(DWORD h)
    {
        std::lock_guard lock(mutex);
        auto it = captures.find(h);
        return it == captures.end() ? nullptr : it->second;
    }
    std::shared_ptr<Encoder> encoder(DWORD h)
    {
        std::lock_guard lock(mutex);
        auto it = encoders.find(h);
        return it == encoders.end() ? nullptr : it->second;
    }

    void freeEncoder(const std::shared_ptr<Encoder>& e)
    {
        {
            std::lock_guard lock(mutex);
            encoders.erase(e->handle);
        }
        e->freed.store(true);
        if (auto c = capture(e->channel)) {
            std::lock_guard lock(c->encodersMutex);
            std::erase(c->encoders, e);
        }
        e->process.stop();
        std::shared_ptr<ShoutCast> cast;
        {
            std::lock_guard lock(e->castMutex);
            cast.swap(e->cast);
        }
        if (cast)
            cast->stop();
    }

    bool freeCapture(HRECORD h)
    {
        std::shared_ptr<Capture> c;
        {
            std::lock_guard lock(mutex);
            auto it = captures.find(h);
            if (it == captures.end())
                return false;
            c = it->second;
            captures.erase(it);
        }
        if (c->capture.onCaptureThread()) {
            // Stopped from inside its own callback: finish on the layer's thread.
            worker.post([this, c] { finishCapture(c); });
            return true;
        }
        finishCapture(c);
        return true;
    }

    void finishCapture(const std::shared_ptr<Capture>& c)
    {
        c->capture.stop();
        std::vector<std::shared_ptr<Encoder>> encs;
        {
            std::lock_guard lock(c->encodersMutex);
            encs.swap(c->encoders);
        }
        for (const auto& e : encs)
            freeEncoder(e);
    }

    void freeAllCaptures()
    {
        std::vector<DWORD> handles;
        {
            std::lock_guard lock(mutex);
            for (const auto& [h, c] : captures)
                handles.push_back(h);
        }
        for (DWORD h : handles)
            freeCapture(h);
    }
};

Layer& layer()
{
    static Layer instance;
    return instance;
}

// A WAV header for a stream of unknown length, for encoders that want one.
std::vector<unsigned char> wavHeader(DWORD rate, DWORD chans)
{
    auto put32 = [](std::vector<unsigned char>& v, std::uint32_t x) {
        for (int i = 0; i < 4; ++i)
            v.push_back(static_cast<unsigned char>(x >> (8 * i)));
    };
    auto put16 = [](std::vector<unsigned char>& v, std::uint16_t x) {
        v.push_back(static_cast<unsigned char>(x));
        v.push_back(static_cast<unsigned char>(x >> 8));
    };
    std::vector<unsigned char> h;
    const char* riff = "RIFF";
    h.insert(h.end(), riff, riff + 4);
    put32(h, 0xFFFFFFFFu);
    const char* wavefmt = "WAVEfmt ";
    h.insert(h.end(), wavefmt, wavefmt + 8);
    put32(h, 16);
    put16(h, 1);
    put16(h, static_cast<std::uint16_t>(chans));
    put32(h, rate);
    put32(h, rate * chans * 2);
    put16(h, static_cast<std::uint16_t>(chans * 2));
    put16(h, 16);
    const char* data = "data";
    h.insert(h.end(), data, data + 4);
    put32(h, 0xFFFFFFFFu);
    return h;
}

} // namespace

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
        lastError = "no running capture";
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
    return lastError.c_str();
}

HENCODE BASS_Encode_Start(DWORD handle, const char* cmdline, DWORD flags, ENCODEPROC* proc,
                          void* user)
{
    Layer& l = layer();
    auto c = l.capture(handle);
    if (!c || !c->capture.isActive())
        return failHandle("no running capture");
    if (!cmdline || !*cmdline)
        return failHandle("no command line");
    auto e = std::make_shared<Encoder>();
    {
        std::lock_guard lock(l.mutex);
        e->handle = l.newHandle();
    }
    e->channel = handle;
    e->proc = proc;
    e->procUser = user;
    std::weak_ptr<Encoder> weak = e;
    Encoder* raw = e.get();
    auto onOutput = [raw](const unsigned char* data, std::size_t bytes) {
        if (raw->proc)
            raw->proc(raw->handle, raw->channel, data, static_cast<DWORD>(bytes), raw->procUser);
        if (auto cast = raw->currentCast())
            cast->send(data, bytes);
    };
    auto onExit = [weak] {
        layer().worker.post([weak] {
            auto enc = weak.lock();
            if (!enc || enc->freed.load())
                return;
            std::shared_ptr<ShoutCast> cast;
            {
                std::lock_guard lock(enc->castMutex);
                cast.swap(enc->cast);
            }
            if (cast)
                cast->stop();
            enc->sendNotify(BASS_ENCODE_NOTIFY_ENCODER);
        });
    };
    ++c->encodersStarting;
    const bool started = e->process.start(cmdline, onOutput, onExit);
    if (!started) {
        --c->encodersStarting;
        return failHandle(e->process.error());
    }
    if (!(flags & BASS_ENCODE_NOHEAD)) {
        const auto h = wavHeader(44100, 2);
        e->process.write(h.data(), h.size());
    }
    {
        std::lock_guard lock(l.mutex);
        l.encoders[e->handle] = e;
    }
    {
        std::lock_guard lock(c->encodersMutex);
        c->encoders.push_back(e);
    }
    --c->encodersStarting;
    if (!l.capture(handle)) {
        // The capture ended while the encoder started: the encoder ends with it.
        l.freeEncoder(e);
        return failHandle("the capture ended");
    }
    return e->handle;
}

DWORD BASS_Encode_IsActive(DWORD handle)
{
    Layer& l = layer();
    if (auto e = l.encoder(handle))
        return e->process.isRunning() ? 1 : 0;
    if (auto c = l.capture(handle)) {
        if (c->encodersStarting.load() > 0)
            return 1;
        std::lock_guard lock(c->encodersMutex);
        for (const auto& e : c->encoders)
            if (e->process.isRunning())
                return 1;
    }
    return 0;
}

BOOL BASS_Encode_CastInit(HENCODE handle, const char* server, const char* pass, const char* content,
                          const char* name, const char* url, const char* genre, const char* desc,
                          const char* headers, DWORD bitrate, BOOL pub)
{
    auto e = layer().encoder(handle);
    if (!e || !e->process.isRunning())
        return fail("no running encoder");
    if (!server)
        return fail("no server");
    const auto address = parseCastAddress(server);
    if (!address)
        return fail(std::string("not a server address: ") + server);
    if (auto old = e->currentCast(); old && old->isAlive())
        return fail("the encoder is casting already");
    CastSettings s;
    s.address = *address;
    s.password = pass ? pass : "";
    s.contentType = content ? content : "audio/mpeg";
    s.name = name ? name : "";
    s.url = url ? url : "";
    s.genre = genre ? genre : "";
    s.description = desc ? desc : "";
    s.bitrate = bitrate;
    s.isPublic = pub != 0;
    (void)headers; // extra headers are not sent
    auto cast = std::make_shared<ShoutCast>(std::move(s));
    std::shared_ptr<ShoutCast> previous;
    {
        std::lock_guard lock(e->castMutex);
        previous.swap(e->cast);
        e->cast = cast;
    }
    if (previous)
        previous->stop();
    std::weak_ptr<Encoder> weak = e;
    const bool ok = cast->open([weak] {
        layer().worker.post([weak] {
            if (auto enc = weak.lock())
                enc->sendNotify(BASS_ENCODE_NOTIFY_CAST);
        });
    });
    if (!ok) {
        {
            std::lock_guard lock(e->castMutex);
            if (e->cast == cast)
                e->cast.reset();
        }
        return fail(cast->error());
    }
    return BASS_TRUE;
}

BOOL BASS_Encode_SetNotify(HENCODE handle, ENCODENOTIFYPROC* proc, void* user)
{
    auto e = layer().encoder(handle);
    if (!e)
        return fail("no such encoder");
    // Waits for a notification that is running, so that after this call the old callback
    // and its user value are no longer used.
    std::lock_guard lock(e->notifyMutex);
    e->notify = proc;
    e->notifyUser = user;
    return BASS_TRUE;
}

BOOL BASS_Encode_CastSetTitle(HENCODE handle, const char* title, const char* url)
{
    (void)url;
    auto e = layer().encoder(handle);
    if (!e)
        return fail("no such encoder");
    auto cast = e->currentCast();
    if (!cast || !cast->isAlive())
        return fail("no cast");
    cast->setTitle(title ? title : "");
    return BASS_TRUE;
}

BOOL BASS_Encode_CastIsAlive(HENCODE handle)
{
    auto e = layer().encoder(handle);
    if (!e)
        return BASS_FALSE;
    auto cast = e->currentCast();
    return cast && cast->isAlive() ? BASS_TRUE : BASS_FALSE;
}

const char* BASS_Encode_CastGetStats(HENCODE handle, DWORD type, const char* pass)
{
    auto e = layer().encoder(handle);
    if (!e) {
        lastError = "no such encoder";
        return nullptr;
    }
    auto cast = e->currentCast();
    if (!cast) {
        lastError = "no cast";
        return nullptr;
    }
    const CastSettings& s = cast->settings();
    const std::string password = pass && *pass ? std::string(pass) : s.password;
    std::optional<std::string> answer;
    if (type == BASS_ENCODE_STATS_ICE)
        answer = icecastClientList(s.address.host, s.address.port, s.address.mount, password);
    else if (type == BASS_ENCODE_STATS_SHOUT)
        answer = shoutcastStatus(s.address.host, s.address.port, password);
    if (!answer) {
        lastError = "no statistics";
        return nullptr;
    }
    statsText = std::move(*answer);
    return statsText.c_str();
}

void BASS_Layer_WaitForNotifications()
{
    layer().worker.drain();
}
