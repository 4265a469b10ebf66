#include "caststats.h"
#include "netkit.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <sys/socket.h>

std::string urlEncode(const std::string& s)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::optional<HttpAnswer> httpGet(const std::string& host, std::uint16_t port,
                                  const std::string& path, const std::string& user,
                                  const std::string& password, int timeoutMs, std::string* error,
                                  const std::atomic<bool>* cancel)
{
    std::string why;
    auto failed = [&](std::string text) -> std::optional<HttpAnswer> {
        if (error)
            *error = std::move(text);
        return std::nullopt;
    };
    const auto deadline = netkit::Clock::now() + std::chrono::milliseconds(timeoutMs);
    netkit::UniqueFd sock = netkit::connectTcp(host, port, deadline, &why, cancel);
    if (!sock.valid())
        return failed(why);
    std::string req = "GET " + path + " HTTP/1.0\r\nHost: " + host + ":" + std::to_string(port) +
                      "\r\nUser-Agent: WavelornEncoder\r\n";
    if (!user.empty())
        req += "Authorization: Basic " + netkit::base64(user + ":" + password) + "\r\n";
    req += "Connection: close\r\n\r\n";
    if (!netkit::sendAll(sock.get(), req.data(), req.size(), deadline, cancel))
        return failed("the server takes no request");
    std::string reply;
    char buf[8192];
    for (;;) {
        if (netkit::pollUntil(sock.get(), POLLIN, deadline, cancel) != 1)
            return failed("no answer within " + std::to_string(timeoutMs) + " ms");
        const ssize_t n = ::recv(sock.get(), buf, sizeof buf, 0);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            break;
        }
        reply.append(buf, static_cast<std::size_t>(n));
        if (reply.size() > 4 * 1024 * 1024)
            break;
    }
    const std::size_t end = reply.find("\r\n\r\n");
    const std::size_t sp = reply.find(' ');
    if (end == std::string::npos || sp == std::string::npos || sp > end)
        return failed("not an HTTP answer");
    HttpAnswer a;
    a.status = std::atoi(reply.c_str() + sp + 1);
    a.body = reply.substr(end + 4);
    return a;
}

std::optional<std::string> icecastClientList(const std::string& host, std::uint16_t port,
                                             const std::string& mount, const std::string& password,
                                             int timeoutMs)
{
    const auto a = httpGet(host, port, "/admin/listclients?mount=" + urlEncode(mount), "source",
                           password, timeoutMs);
    if (!a || a->status < 200 || a->status >= 300)
        return std::nullopt;
    return a->body;
}

std::optional<std::string> shoutcastStatus(const std::string& host, std::uint16_t port,
                                           const std::string& password, int timeoutMs)
{
    const auto a = httpGet(host, port, "/admin.cgi?mode=viewxml&pass=" + urlEncode(password),
                           "admin", password, timeoutMs);
    if (!a || a->status < 200 || a->status >= 300)
        return std::nullopt;
    return a->body;
}
