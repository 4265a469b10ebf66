#include "castsocket.h"
#include "netkit.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <dirent.h>
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace castsocket {

namespace {

template <typename Fn> void forEachSocket(Fn fn)
{
    DIR* d = ::opendir("/proc/self/fd");
    if (!d)
        return;
    const int self = ::dirfd(d);
    std::vector<int> fds;
    while (dirent* e = ::readdir(d)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        const int fd = std::atoi(e->d_name);
        if (fd != self)
            fds.push_back(fd);
    }
    ::closedir(d);
    for (int fd : fds) {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode))
            fn(fd, st.st_ino);
    }
}

int peerPort(int fd)
{
    sockaddr_storage peer{};
    socklen_t len = sizeof peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) != 0)
        return -1;
    if (peer.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
    if (peer.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port);
    return -1;
}

} // namespace

std::set<ino_t> openSockets()
{
    std::set<ino_t> out;
    forEachSocket([&](int, ino_t ino) { out.insert(ino); });
    return out;
}

int findNewSocket(const std::set<ino_t>& before, std::uint16_t port)
{
    std::lock_guard lock(netkit::ownSocketsMutex());
    int found = -1, count = 0;
    forEachSocket([&](int fd, ino_t ino) {
        if (before.count(ino) || netkit::isOwnSocket(ino))
            return;
        if (peerPort(fd) != port)
            return;
        found = fd;
        ++count;
    });
    return count == 1 ? found : -1;
}

bool progress(int fd, Progress* out)
{
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
        return false;
    int queued = 0;
    if (::ioctl(fd, SIOCOUTQ, &queued) != 0)
        return false;
    out->bytesAcked = info.tcpi_bytes_acked;
    out->peerWindow = info.tcpi_snd_wnd;
    out->unacked = queued > 0 ? static_cast<std::uint32_t>(queued) : 0;
    return true;
}

void limitSendBuffer(int fd, int bytes)
{
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void watchConnection(int fd, int userTimeoutMs)
{
    const int on = 1, idle = 2, interval = 1, count = 3;
    ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

void noDelay(int fd)
{
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

} // namespace castsocket
