#pragma once
// The listener statistics of a streaming server, asked over HTTP with a small blocking client.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

struct HttpAnswer {
    int status = 0;
    std::string body;
};

// GET path from host:port with Basic authentication (user:password when user is not empty).
// nullopt when the server does not answer within timeoutMs (connect and read together).
std::optional<HttpAnswer> httpGet(const std::string& host, std::uint16_t port,
                                  const std::string& path, const std::string& user,
                                  const std::string& password, int timeoutMs);

// Icecast: the mount's client list, /admin/listclients?mount=<mount> as user "source".
// SHOUTcast: its XML status, /admin.cgi?mode=viewxml with the password.
// The answer's body when the server gave a 2xx answer, otherwise nullopt.
std::optional<std::string> icecastClientList(const std::string& host, std::uint16_t port,
                                             const std::string& mount, const std::string& password,
                                             int timeoutMs = 3000);
std::optional<std::string> shoutcastStatus(const std::string& host, std::uint16_t port,
                                           const std::string& password, int timeoutMs = 3000);

// Whether the server's HTTP side answers at all (any first bytes of an answer to GET /
// within timeoutMs). A stopped server process still has its kernel accept connections.
bool httpAnswers(const std::string& host, std::uint16_t port, int timeoutMs,
                 const std::atomic<bool>* cancel = nullptr);

std::string urlEncode(const std::string& s);
