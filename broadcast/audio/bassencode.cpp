// The encoder side of the audio library: encoder processes fed by a capture, restarted when
// they die, and their death notices.
#include "bassenc.h"
#include "layer.h"
#include "wllog.h"

using namespace audiolayer;

namespace {

// A WAV header for a stream of unknown length, for encoders that want one.
std::vector<unsigned char> wavHeader(DWORD rate, DWORD chans)
{
    std::vector<unsigned char> h(44);
    std::size_t at = 0;
    auto text = [&](const char* t) {
        for (; *t; ++t)
            h[at++] = static_cast<unsigned char>(*t);
    };
    auto put = [&](std::uint32_t x, int bytes) {
        for (int i = 0; i < bytes; ++i)
            h[at++] = static_cast<unsigned char>(x >> (8 * i));
    };
    text("RIFF");
    put(0xFFFFFFFFu, 4);
    text("WAVEfmt ");
    put(16, 4);
    put(1, 2);
    put(chans, 2);
    put(rate, 4);
    put(rate * chans * 2, 4);
    put(chans * 2, 2);
    put(16, 2);
    text("data");
    put(0xFFFFFFFFu, 4);
    return h;
}

} // namespace

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
    // The process gave up (it died again right after its restart): the only death notice
    // an encoder gives. Its cast goes first, so that the cast's own death is no second notice.
    auto onExit = [weak](const std::string&) {
        layer().worker.post([weak] {
            auto enc = weak.lock();
            if (!enc || enc->freed.load())
                return;
            if (auto cast = enc->takeCast())
                cast->stop();
            enc->sendNotify(BASS_ENCODE_NOTIFY_ENCODER);
            enc->active.store(false);
        });
    };
    ++c->encodersStarting;
    e->active.store(true);
    const bool started = e->process.start(
        cmdline, onOutput, onExit,
        (flags & BASS_ENCODE_NOHEAD) ? std::vector<unsigned char>{} : wavHeader(44100, 2));
    if (!started) {
        --c->encodersStarting;
        qCWarning(lcAudio).noquote()
            << "encoder not started:" << QString::fromStdString(e->process.error());
        return failHandle(e->process.error());
    }
    qCInfo(lcAudio).noquote() << QStringLiteral("encoder started: %1 (pid %2)")
                                     .arg(QString::fromUtf8(cmdline))
                                     .arg(e->process.pid());
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
        return e->active.load() ? 1 : 0;
    if (auto c = l.capture(handle)) {
        if (c->encodersStarting.load() > 0)
            return 1;
        std::lock_guard lock(c->encodersMutex);
        for (const auto& e : c->encoders)
            if (e->active.load())
                return 1;
    }
    return 0;
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

DWORD BASS_Encode_GetRestarts(HENCODE handle)
{
    auto e = layer().encoder(handle);
    return e ? static_cast<DWORD>(e->process.restarts()) : 0;
}
