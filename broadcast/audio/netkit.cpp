#include "netkit.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace netkit {

namespace {

std::set<unsigned long>& ownSockets()
{
    static std::set<unsigned long> inodes;
    return inodes;
}

unsigned long inodeOf(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode) ? st.st_ino : 0;
}

int newOwnSocket(int domain, int type, int protocol)
{
    std::lock_guard lock(ownSocketsMutex());
    const int fd = ::socket(domain, type, protocol);
    if (fd >= 0)
        ownSockets().insert(inodeOf(fd));
    return fd;
}

} // namespace

std::mutex& ownSocketsMutex()
{
    static std::mutex m;
    return m;
}

bool isOwnSocket(unsigned long inode)
{
    return ownSockets().count(inode) != 0;
}

void UniqueFd::reset(int fd)
{
    if (m_fd >= 0) {
        const unsigned long ino = inodeOf(m_fd);
        ::close(m_fd);
        if (ino != 0) {
            std::lock_guard lock(ownSocketsMutex());
            ownSockets().erase(ino);
        }
    }
    m_fd = fd;
}

int msLeft(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

int pollUntil(int fd, short events, Clock::time_point deadline, const std::atomic<bool>* cancel,
              short* revents)
{
    for (;;) {
        if (cancel && cancel->load())
            return 0;
        const int left = msLeft(deadline);
        if (left == 0)
            return 0;
        pollfd p{fd, events, 0};
        const int r = ::poll(&p, 1, std::min(left, 100));
        if (r < 0 && errno == EINTR)
            continue;
        if (r != 0) {
            if (revents)
                *revents = p.revents;
            return r;
        }
    }
}

UniqueFd connectTcp(const std::string& host, std::uint16_t port, Clock::time_point deadline,
                    std::string* error, const std::atomic<bool>* cancel)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
        if (error)
            *error = "cannot resolve " + host + ": " + gai_strerror(rc);
        return {};
    }
    std::string last = "no address";
    UniqueFd found;
    for (addrinfo* a = list; a && !found.valid(); a = a->ai_next) {
        UniqueFd s(newOwnSocket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                a->ai_protocol));
        if (!s.valid()) {
            last = std::strerror(errno);
            continue;
        }
        if (::connect(s.get(), a->ai_addr, a->ai_addrlen) == 0) {
            found = std::move(s);
            break;
        }
        if (errno != EINPROGRESS) {
            last = std::strerror(errno);
            continue;
        }
        const int r = pollUntil(s.get(), POLLOUT, deadline, cancel);
        if (r != 1) {
            last = r == 0 ? "connection timed out" : std::strerror(errno);
            continue;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            last = std::strerror(err ? err : errno);
            continue;
        }
        found = std::move(s);
    }
    ::freeaddrinfo(list);
    if (!found.valid() && error)
        *error = "cannot connect to " + host + ":" + service + ": " + last;
    return found;
}

bool sendAll(int fd, const char* data, std::size_t size, Clock::time_point deadline,
             const std::atomic<bool>* cancel)
{
    while (size > 0) {
        const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (pollUntil(fd, POLLOUT, deadline, cancel) != 1)
                return false;
            continue;
        }
        return false;
    }
    return true;
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

void ignoreBrokenPipes()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction old {};
        if (::sigaction(SIGPIPE, nullptr, &old) == 0 && old.sa_handler == SIG_DFL)
            std::signal(SIGPIPE, SIG_IGN);
    });
}

} // namespace netkit
