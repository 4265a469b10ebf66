#pragma once
// The layer's small network kit: an owned descriptor, a TCP connect bounded by a deadline,
// Base64, and the process's broken-pipe policy.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace netkit {

using Clock = std::chrono::steady_clock;

// A descriptor with one owner: closed when the owner goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& o) noexcept : m_fd(o.release()) {}
    UniqueFd& operator=(UniqueFd&& o) noexcept
    {
        if (this != &o)
            reset(o.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// The sockets made by connectTcp, by inode, while they are open: every TCP socket of the
// process that is not one of these belongs to a library (libshout's source connection).
std::mutex& ownSocketsMutex();
bool isOwnSocket(unsigned long inode); // with ownSocketsMutex() held

// Milliseconds left until deadline, 0 when it has passed.
int msLeft(Clock::time_point deadline);

// Connects to host:port (a name or an address) before deadline, trying each address the
// name has. The socket is non-blocking and close-on-exec. Invalid, with *error set, when no
// address takes the connection in time or cancel turns true.
UniqueFd connectTcp(const std::string& host, std::uint16_t port, Clock::time_point deadline,
                    std::string* error, const std::atomic<bool>* cancel = nullptr);

// poll() on one descriptor until deadline, in short slices so that cancel is seen. The
// poll result: 1 ready, 0 timed out or cancelled, -1 failed.
int pollUntil(int fd, short events, Clock::time_point deadline,
              const std::atomic<bool>* cancel = nullptr, short* revents = nullptr);

// Writes all of data before deadline (MSG_NOSIGNAL). False on a failure or the deadline.
bool sendAll(int fd, const char* data, std::size_t size, Clock::time_point deadline,
             const std::atomic<bool>* cancel = nullptr);

std::string base64(const std::string& in);

// Writes to a closed connection or pipe fail with EPIPE instead of ending the process. The
// program sets this at start; the layer makes sure of it before its first connection.
void ignoreBrokenPipes();

} // namespace netkit
