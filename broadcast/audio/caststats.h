#pragma once
// Small blocking HTTP queries to a streaming server: listener statistics and title updates.
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

struct HttpAnswer {
    int status = 0;
    std::string body;
};

// GET path from host:port with Basic authentication (user:password when user is not empty).
// nullopt, with *error set when given, when the server does not answer within timeoutMs
// (connect and read together) or cancel turns true.
std::optional<HttpAnswer> httpGet(const std::string& host, std::uint16_t port,
                                  const std::string& path, const std::string& user,
                                  const std::string& password, int timeoutMs,
                                  std::string* error = nullptr,
                                  const std::atomic<bool>* cancel = nullptr);

// Icecast: the mount's client list, /admin/listclients?mount=<mount> as user "source".
// SHOUTcast: its XML status, /admin.cgi?mode=viewxml with the password.
// The answer's body when the server gave a 2xx answer, otherwise nullopt.
std::optional<std::string> icecastClientList(const std::string& host, std::uint16_t port,
                                             const std::string& mount, const std::string& password,
                                             int timeoutMs = 3000);
std::optional<std::string> shoutcastStatus(const std::string& host, std::uint16_t port,
                                           const std::string& password, int timeoutMs = 3000);

std::string urlEncode(const std::string& s);
