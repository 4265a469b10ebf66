#include "castaddress.h"

#include <cstdlib>

std::optional<CastAddress> parseCastAddress(const std::string& server)
{
    std::string s = server;
    for (const char* scheme : {"http://", "icy://"}) {
        if (s.rfind(scheme, 0) == 0)
            s = s.substr(std::char_traits<char>::length(scheme));
    }
    const std::size_t colon = s.find(':');
    if (colon == std::string::npos || colon == 0)
        return std::nullopt;
    CastAddress a;
    a.host = s.substr(0, colon);
    const std::size_t slash = s.find('/', colon);
    const std::string port =
        s.substr(colon + 1, slash == std::string::npos ? std::string::npos : slash - colon - 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != port.npos)
        return std::nullopt;
    const long p = std::strtol(port.c_str(), nullptr, 10);
    if (p <= 0 || p > 65535)
        return std::nullopt;
    a.port = static_cast<std::uint16_t>(p);
    if (slash == std::string::npos || slash + 1 == s.size()) {
        a.shoutcast = true;
        a.mount = "/stream";
        if (a.port == 65535)
            return std::nullopt; // its source port would be 65536
    } else {
        a.mount = s.substr(slash);
    }
    return a;
}
