// The server's statistics, asked for the engine's listener count.
#include "bassenc.h"
#include "caststats.h"
#include "layer.h"

using namespace audiolayer;

namespace {
thread_local std::string t_statsText;
}

const char* BASS_Encode_CastGetStats(HENCODE handle, DWORD type, const char* pass)
{
    auto e = layer().encoder(handle);
    if (!e) {
        setLastError("no such encoder");
        return nullptr;
    }
    auto cast = e->currentCast();
    if (!cast) {
        setLastError("no cast");
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
        setLastError("no statistics");
        return nullptr;
    }
    t_statsText = std::move(*answer);
    return t_statsText.c_str();
}
