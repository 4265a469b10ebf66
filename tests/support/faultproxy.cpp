#include "faultproxy.h"

#include <QByteArray>
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <deque>
#include <fcntl.h>
#include <list>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void closeFd(int& fd, bool reset = false)
{
    if (fd < 0)
        return;
    if (reset) {
        linger l{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(fd);
    fd = -1;
}

// Bytes on their way one direction, each piece with the time it may go.
struct Direction {
    struct Piece {
        Clock::time_point due;
        std::vector<char> bytes;
        std::size_t sent = 0;
    };
    std::deque<Piece> pieces;
    bool readEnded = false; // the source side said FIN
    bool shutDown = false;  // we passed the FIN on
    std::size_t pending() const
    {
        std::size_t n = 0;
        for (const auto& p : pieces)
            n += p.bytes.size() - p.sent;
        return n;
    }
};

struct Link {
    int client = -1;
    int server = -1;
    bool connecting = false; // server connect in progress
    bool halfOpen = false;   // client side gone, server side kept silent
    Direction up;            // client -> server
    Direction down;          // server -> client
};

} // namespace

struct FaultProxy::Impl {
    std::uint16_t target = 0;
    QByteArray host;
    std::uint16_t port = 0;
    int listenFd = -1;
    int wakeFd = -1;
    std::thread thread;

    std::mutex mutex; // guards the requests below
    Mode mode = Mode::Pass;
    int delayMs = 0;
    bool cutRequested = false;
    bool halfOpenRequested = false;
    bool quit = false;

    std::atomic<int> accepted{0};
    std::atomic<int> open{0};
    std::atomic<std::uint64_t> up{0};
    std::atomic<std::uint64_t> down{0};

    std::list<Link> links; // proxy thread only

    bool openListener()
    {
        listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (listenFd < 0)
            return false;
        int one = 1;
        ::setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (::bind(listenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listenFd, 64) != 0) {
            closeFd(listenFd);
            return false;
        }
        socklen_t len = sizeof a;
        ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        return true;
    }

    void wake()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
    }

    bool connectServer(Link& l)
    {
        l.server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (l.server < 0)
            return false;
        int one = 1;
        ::setsockopt(l.server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(target);
        ::inet_pton(AF_INET, host.constData(), &a.sin_addr);
        if (::connect(l.server, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return true;
        if (errno == EINPROGRESS) {
            l.connecting = true;
            return true;
        }
        closeFd(l.server);
        return false;
    }

    void closeLink(Link& l, bool reset)
    {
        closeFd(l.client, reset);
        closeFd(l.server, reset);
    }

    // Reads what fd has into dir, due after delay. False when the peer failed.
    bool readInto(int fd, Direction& dir, int delay, std::atomic<std::uint64_t>& counter)
    {
        char buf[16384];
        for (;;) {
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n > 0) {
                Direction::Piece p;
                p.due = Clock::now() + std::chrono::milliseconds(delay);
                p.bytes.assign(buf, buf + n);
                dir.pieces.push_back(std::move(p));
                counter += static_cast<std::uint64_t>(n);
                if (dir.pending() > (1u << 20))
                    return true; // enough held; read more once it has gone
                continue;
            }
            if (n == 0) {
                dir.readEnded = true;
                return true;
            }
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
    }

    // Writes what is due of dir to fd. False when the peer failed.
    bool writeFrom(int fd, Direction& dir)
    {
        const auto now = Clock::now();
        while (!dir.pieces.empty() && dir.pieces.front().due <= now) {
            auto& p = dir.pieces.front();
            const ssize_t n =
                ::send(fd, p.bytes.data() + p.sent, p.bytes.size() - p.sent, MSG_NOSIGNAL);
            if (n < 0)
                return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
            p.sent += static_cast<std::size_t>(n);
            if (p.sent < p.bytes.size())
                return true;
            dir.pieces.pop_front();
        }
        if (dir.pieces.empty() && dir.readEnded && !dir.shutDown) {
            ::shutdown(fd, SHUT_WR);
            dir.shutDown = true;
        }
        return true;
    }

    void run()
    {
        for (;;) {
            Mode m;
            int delay;
            bool cut, half;
            {
                std::lock_guard lock(mutex);
                if (quit)
                    break;
                m = mode;
                delay = m == Mode::Delay ? delayMs : 0;
                cut = std::exchange(cutRequested, false);
                half = std::exchange(halfOpenRequested, false);
            }
            if (cut) {
                for (auto& l : links)
                    closeLink(l, true);
                links.clear();
            }
            if (half) {
                for (auto& l : links) {
                    closeFd(l.client);
                    l.halfOpen = true;
                }
            }
            // Refuse closes the listening socket; any other mode has one.
            if (m == Mode::Refuse && listenFd >= 0)
                closeFd(listenFd);
            else if (m != Mode::Refuse && listenFd < 0)
                openListener();
            // Links accepted in a black hole reach the server once the path is clear.
            if (m == Mode::Pass || m == Mode::Delay) {
                for (auto& l : links)
                    if (l.server < 0 && l.client >= 0 && !l.halfOpen && !connectServer(l))
                        closeLink(l, true);
            }

            const bool flowing = m == Mode::Pass || m == Mode::Delay;
            std::vector<pollfd> fds;
            fds.push_back({wakeFd, POLLIN, 0});
            if (listenFd >= 0)
                fds.push_back({listenFd, POLLIN, 0});
            const std::size_t firstLink = fds.size();
            auto nextDue = Clock::time_point::max();
            for (auto& l : links) {
                short ce = 0, se = 0;
                if (flowing && !l.halfOpen) {
                    if (l.client >= 0 && !l.up.readEnded && l.up.pending() < (1u << 20))
                        ce |= POLLIN;
                    if (l.server >= 0 && !l.connecting && !l.down.readEnded &&
                        l.down.pending() < (1u << 20))
                        se |= POLLIN;
                    if (l.server >= 0 && l.connecting)
                        se |= POLLOUT;
                    for (Direction* d : {&l.up, &l.down}) {
                        if (!d->pieces.empty())
                            nextDue = std::min(nextDue, d->pieces.front().due);
                    }
                    if (!l.up.pieces.empty() && l.up.pieces.front().due <= Clock::now())
                        se |= POLLOUT;
                    if (!l.down.pieces.empty() && l.down.pieces.front().due <= Clock::now())
                        ce |= POLLOUT;
                }
                fds.push_back({l.client, ce, 0});
                fds.push_back({l.server, se, 0});
            }
            int timeout = 200;
            if (nextDue != Clock::time_point::max()) {
                const auto ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(nextDue - Clock::now())
                        .count();
                timeout = static_cast<int>(std::clamp<long long>(ms + 1, 0, 200));
            }
            ::poll(fds.data(), fds.size(), timeout);

            // What changed while waiting applies to what the wait brought.
            {
                std::lock_guard lock(mutex);
                m = mode;
                delay = m == Mode::Delay ? delayMs : 0;
            }
            const bool flowingNow = flowing && (m == Mode::Pass || m == Mode::Delay);
            if (fds[0].revents & POLLIN) {
                std::uint64_t v;
                [[maybe_unused]] auto n = ::read(wakeFd, &v, sizeof v);
            }
            if (listenFd >= 0 && fds.size() > 1 && fds[1].fd == listenFd &&
                (fds[1].revents & POLLIN)) {
                for (;;) {
                    const int c =
                        ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                    if (c < 0)
                        break;
                    int one = 1;
                    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                    ++accepted;
                    Link l;
                    l.client = c;
                    if (flowingNow && !connectServer(l)) {
                        closeFd(l.client, true);
                        continue;
                    }
                    links.push_back(std::move(l));
                }
            }
            std::size_t i = firstLink;
            for (auto it = links.begin(); it != links.end(); i += 2) {
                if (i + 1 >= fds.size())
                    break; // accepted during this round
                Link& l = *it;
                const pollfd& cf = fds[i];
                const pollfd& sf = fds[i + 1];
                bool failed = false;
                if (l.connecting && (sf.revents & (POLLOUT | POLLERR | POLLHUP))) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    ::getsockopt(l.server, SOL_SOCKET, SO_ERROR, &err, &len);
                    l.connecting = false;
                    failed = err != 0;
                }
                if (!failed && flowingNow && !l.halfOpen) {
                    if (cf.revents & (POLLIN | POLLHUP | POLLERR))
                        failed |= !readInto(l.client, l.up, delay, up);
                    if (!l.connecting && (sf.revents & (POLLIN | POLLHUP | POLLERR)))
                        failed |= !readInto(l.server, l.down, delay, down);
                    if (!l.connecting && l.server >= 0)
                        failed |= !writeFrom(l.server, l.up);
                    if (l.client >= 0)
                        failed |= !writeFrom(l.client, l.down);
                } else if (!failed) {
                    // A silent path: a side that breaks is gone for itself only; the other
                    // hears nothing of it, as across a dead link.
                    if (l.client >= 0 && (cf.revents & (POLLERR | POLLHUP))) {
                        closeFd(l.client);
                        l.halfOpen = true;
                    }
                    if (l.server >= 0 && (sf.revents & (POLLERR | POLLHUP)))
                        closeFd(l.server);
                }
                const bool done =
                    (l.up.shutDown && l.down.shutDown) || (l.client < 0 && l.server < 0);
                if (failed || done) {
                    closeLink(l, failed);
                    it = links.erase(it);
                } else {
                    ++it;
                }
            }
            open = static_cast<int>(links.size());
        }
        for (auto& l : links)
            closeLink(l, true);
        links.clear();
        open = 0;
        closeFd(listenFd);
    }
};

FaultProxy::FaultProxy(std::uint16_t targetPort, QString targetHost) : d(std::make_unique<Impl>())
{
    d->target = targetPort;
    d->host = targetHost.toLatin1();
}

FaultProxy::~FaultProxy()
{
    if (d->thread.joinable()) {
        {
            std::lock_guard lock(d->mutex);
            d->quit = true;
        }
        d->wake();
        d->thread.join();
    }
    closeFd(d->listenFd);
    closeFd(d->wakeFd);
}

bool FaultProxy::start()
{
    if (d->thread.joinable())
        return true;
    d->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (d->wakeFd < 0 || !d->openListener())
        return false;
    d->thread = std::thread([this] { d->run(); });
    return true;
}

std::uint16_t FaultProxy::port() const
{
    return d->port;
}

void FaultProxy::setMode(Mode mode)
{
    {
        std::lock_guard lock(d->mutex);
        d->mode = mode;
    }
    d->wake();
}

FaultProxy::Mode FaultProxy::mode() const
{
    std::lock_guard lock(d->mutex);
    return d->mode;
}

void FaultProxy::setDelayMs(int ms)
{
    {
        std::lock_guard lock(d->mutex);
        d->delayMs = std::max(0, ms);
    }
    d->wake();
}

void FaultProxy::cutAll()
{
    {
        std::lock_guard lock(d->mutex);
        d->cutRequested = true;
    }
    d->wake();
}

void FaultProxy::holdHalfOpen()
{
    {
        std::lock_guard lock(d->mutex);
        d->halfOpenRequested = true;
    }
    d->wake();
}

int FaultProxy::acceptedCount() const
{
    return d->accepted.load();
}

int FaultProxy::openCount() const
{
    return d->open.load();
}

std::uint64_t FaultProxy::bytesUp() const
{
    return d->up.load();
}

std::uint64_t FaultProxy::bytesDown() const
{
    return d->down.load();
}
