#pragma once
// The kernel's view of a cast's TCP connection. libshout keeps its socket to itself; the
// watchdog needs to know whether the server still takes data, which the kernel's buffers hide
// for many seconds (a stopped server's kernel still acknowledges until its window is full).
#include <cstdint>
#include <set>
#include <sys/types.h>

namespace castsocket {

// Inodes of this process's open sockets.
std::set<ino_t> openSockets();

// The one TCP socket opened since before (not one of the layer's own, netkit's) whose peer
// port is port; -1 when there is none or more than one.
int findNewSocket(const std::set<ino_t>& before, std::uint16_t port);

struct Progress {
    std::uint64_t bytesAcked = 0; // by the peer, over the connection's life
    std::uint32_t unacked = 0;    // bytes in our send queue, sent or not
    std::uint32_t peerWindow = 0; // the receive window the peer last advertised
};
bool progress(int fd, Progress* out);

// Bounds the kernel's send buffer (which otherwise grows to megabytes on a fast link).
void limitSendBuffer(int fd, int bytes);

// The kernel's own watch over a source connection: data left unacknowledged for userTimeoutMs
// fails the connection (TCP_USER_TIMEOUT), and an idle one is probed by keepalive.
void watchConnection(int fd, int userTimeoutMs);

// Sends small writes at once (no waiting for the acknowledgement of the previous one).
void noDelay(int fd);

} // namespace castsocket
