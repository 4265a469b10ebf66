// The cast side of the audio library: an encoder's output sent to a streaming server.
#include "bassenc.h"
#include "layer.h"

using namespace audiolayer;

BOOL BASS_Encode_CastInit(HENCODE handle, const char* server, const char* pass, const char* content,
                          const char* name, const char* url, const char* genre, const char* desc,
                          const char* headers, DWORD bitrate, BOOL pub)
{
    auto e = layer().encoder(handle);
    if (!e || !e->active.load())
        return fail("no running encoder");
    if (!server)
        return fail("no server");
    const auto address = parseCastAddress(server);
    if (!address)
        return fail(std::string("not a server address: ") + server);
    std::lock_guard initLock(e->castInitMutex);
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
    std::weak_ptr<Encoder> weakEncoder = e;
    std::weak_ptr<ShoutCast> weakCast = cast;
    const bool ok = cast->open([weakEncoder, weakCast] {
        layer().worker.post([weakEncoder, weakCast] {
            auto enc = weakEncoder.lock();
            auto dead = weakCast.lock();
            // A cast that its encoder has let go of (stopped, replaced, or taken down with a
            // dead encoder) is no news.
            if (enc && dead && enc->currentCast() == dead)
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
