#pragma once
// The server address the engine is given.
#include <cstdint>
#include <optional>
#include <string>

// "host:port" is a SHOUTcast v1 server (its source port is port + 1, and it is served as
// "/stream"); "host:port/mount" an Icecast 2 mount.
struct CastAddress {
    std::string host;
    std::uint16_t port = 0;
    std::string mount; // "/stream" for the SHOUTcast form
    bool shoutcast = false;
};
std::optional<CastAddress> parseCastAddress(const std::string& server);
