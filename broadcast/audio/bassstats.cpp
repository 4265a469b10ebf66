// The server's statistics, asked for the engine's listener count.
#include "bassenc.h"
#include "caststats.h"
#include "layer.h"

#include <chrono>

using namespace audiolayer;

namespace {
thread_local std::string t_statsText;
constexpr int statsTimeoutMs = 3000;
} // namespace

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
    std::optional<HttpAnswer> answer;
    const auto askedAt = std::chrono::steady_clock::now();
    std::string why;
    if (type == BASS_ENCODE_STATS_ICE)
        answer = httpGet(s.address.host, s.address.port,
                         "/admin/listclients?mount=" + urlEncode(s.address.mount), "source",
                         password, statsTimeoutMs, &why);
    else if (type == BASS_ENCODE_STATS_SHOUT)
        answer = httpGet(s.address.host, s.address.port,
                         "/admin.cgi?mode=viewxml&pass=" + urlEncode(password), "admin", password,
                         statsTimeoutMs, &why);
    else
        return setLastError("unknown statistics type"), nullptr;
    // Any answer tells that the server is there; none, that it may hang.
    cast->noteRequest(answer.has_value(), askedAt);
    if (!answer || answer->status < 200 || answer->status >= 300) {
        setLastError(answer ? "no statistics: the server answered " + std::to_string(answer->status)
                            : "no statistics: " + why);
        return nullptr;
    }
    t_statsText = std::move(answer->body);
    return t_statsText.c_str();
}
