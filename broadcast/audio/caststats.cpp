#include "caststats.h"
#include "castsocket.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace {

using Clock = std::chrono::steady_clock;

int msLeft(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::string base64(const std::string& in)
{
    static const char* t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8) |
                           static_cast<unsigned char>(in[i + 2]);
        out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], t[v & 63]};
    }
    if (i + 1 == in.size()) {
        const unsigned v = static_cast<unsigned char>(in[i]) << 16;
        out += {t[v >> 18], t[(v >> 12) & 63], '=', '='};
    } else if (i + 2 == in.size()) {
        const unsigned v = (static_cast<unsigned char>(in[i]) << 16) |
                           (static_cast<unsigned char>(in[i + 1]) << 8);
        out += {t[v >> 18], t[(v >> 12) & 63], t[(v >> 6) & 63], '='};
    }
    return out;
}

// poll on one descriptor until the deadline, in slices, giving up when cancel turns true.
int pollUntil(pollfd& p, Clock::time_point deadline, const std::atomic<bool>* cancel)
{
    for (;;) {
        if (cancel && cancel->load())
            return 0;
        const int left = msLeft(deadline);
        if (left == 0)
            return 0;
        const int r = ::poll(&p, 1, std::min(left, 100));
        if (r != 0)
            return r;
    }
}

struct Fd {
    int fd = -1;
    ~Fd() { castsocket::closeQuerySocket(fd); }
};

struct AddrInfo {
    addrinfo* list = nullptr;
    ~AddrInfo()
    {
        if (list)
            ::freeaddrinfo(list);
    }
};

} // namespace

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

namespace {
std::optional<HttpAnswer> request(const std::string& host, std::uint16_t port,
                                  const std::string& path, const std::string& user,
                                  const std::string& password, int timeoutMs, bool firstBytesOnly,
                                  const std::atomic<bool>* cancel)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    AddrInfo ai;
    const std::string service = std::to_string(port);
    if (::getaddrinfo(host.c_str(), service.c_str(), &hints, &ai.list) != 0)
        return std::nullopt;
    Fd sock;
    for (addrinfo* a = ai.list; a && sock.fd < 0; a = a->ai_next) {
        Fd attempt;
        attempt.fd = castsocket::newQuerySocket(
            a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        const int fd = attempt.fd;
        if (fd < 0)
            continue;
        if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
            std::swap(sock.fd, attempt.fd);
            break;
        }
        if (errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int err = 0;
            socklen_t len = sizeof err;
            if (pollUntil(p, deadline, cancel) == 1 &&
                ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0) {
                std::swap(sock.fd, attempt.fd);
                break;
            }
        }
    }
    if (sock.fd < 0)
        return std::nullopt;
    std::string req = "GET " + path + " HTTP/1.0\r\nHost: " + host + ":" + service +
                      "\r\nUser-Agent: WavelornEncoder\r\n";
    if (!user.empty())
        req += "Authorization: Basic " + base64(user + ":" + password) + "\r\n";
    req += "Connection: close\r\n\r\n";
    std::size_t sent = 0;
    while (sent < req.size()) {
        const ssize_t n = ::send(sock.fd, req.data() + sent, req.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{sock.fd, POLLOUT, 0};
            if (pollUntil(p, deadline, cancel) <= 0)
                return std::nullopt;
            continue;
        }
        return std::nullopt;
    }
    std::string reply;
    char buf[8192];
    for (;;) {
        pollfd p{sock.fd, POLLIN, 0};
        if (pollUntil(p, deadline, cancel) <= 0)
            return std::nullopt;
        const ssize_t n = ::recv(sock.fd, buf, sizeof buf, 0);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            break;
        }
        reply.append(buf, static_cast<std::size_t>(n));
        if (firstBytesOnly)
            return HttpAnswer{};
        if (reply.size() > 4 * 1024 * 1024)
            break;
    }
    const std::size_t end = reply.find("\r\n\r\n");
    const std::size_t sp = reply.find(' ');
    if (end == std::string::npos || sp == std::string::npos || sp > end)
        return std::nullopt;
    HttpAnswer a;
    a.status = std::atoi(reply.c_str() + sp + 1);
    a.body = reply.substr(end + 4);
    return a;
}
} // namespace

std::optional<HttpAnswer> httpGet(const std::string& host, std::uint16_t port,
                                  const std::string& path, const std::string& user,
                                  const std::string& password, int timeoutMs)
{
    return request(host, port, path, user, password, timeoutMs, false, nullptr);
}

bool httpAnswers(const std::string& host, std::uint16_t port, int timeoutMs,
                 const std::atomic<bool>* cancel)
{
    return request(host, port, "/", "", "", timeoutMs, true, cancel).has_value();
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
