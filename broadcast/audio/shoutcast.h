#pragma once
// The cast: a source connection to a SHOUTcast v1 or Icecast 2 server, owned by a sender
// thread of its own, fed through a bounded queue and watched by a watchdog. While the server
// takes everything, data goes out on the thread that hands it over; the sender thread
// wakes only for what has to wait, titles and the watchdog.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

// "host:port" is a SHOUTcast v1 server (its source port is port + 1, and it is served as
// "/stream"); "host:port/mount" an Icecast 2 mount.
struct CastAddress {
    std::string host;
    std::uint16_t port = 0;
    std::string mount; // "/stream" for the SHOUTcast form
    bool shoutcast = false;
};
std::optional<CastAddress> parseCastAddress(const std::string& server);

struct CastSettings {
    CastAddress address;
    std::string password;
    std::string contentType; // "audio/mpeg", "application/ogg"
    std::string name, url, genre, description;
    std::uint32_t bitrate = 0;
    bool isPublic = false;
};

class ShoutCast {
public:
    using DeathFn = std::function<void()>; // on the sender thread, once

    // Seconds without the server taking data before the connection counts as dead.
    static constexpr int watchdogSeconds = 4;
    // The watchdog also asks the server's HTTP side every probeSeconds: a server whose
    // process hangs leaves its kernel taking our data for minutes, but answers no request.
    static constexpr int probeSeconds = 3;
    static constexpr int probeTimeoutSeconds = 4;

    explicit ShoutCast(CastSettings settings) : m_settings(std::move(settings)) {}
    ~ShoutCast(); // stop()
    ShoutCast(const ShoutCast&) = delete;
    ShoutCast& operator=(const ShoutCast&) = delete;

    // Connects; returns once the server took (true) or refused (false) the source, or after
    // timeoutMs. onDeath is called when a connection that was taken dies later.
    // Only once per object. Data sent while it connects waits in the queue.
    bool open(DeathFn onDeath, int timeoutMs = 5000);
    // Queues encoded data (any thread) and sends what the connection takes at once, without
    // blocking. Past the queue's bound the oldest data goes.
    void send(const unsigned char* data, std::size_t bytes);
    // Sends the stream title (UTF-8) from the sender thread; only the latest of several
    // waiting titles goes out.
    void setTitle(const std::string& title);
    void stop();

    bool isAlive() const { return m_alive.load(); }
    const std::string& error() const { return m_error; }
    const CastSettings& settings() const { return m_settings; }
    std::size_t droppedBytes() const { return m_dropped.load(); }

private:
    void run(int timeoutMs);
    void probeLoop();
    bool connect(int timeoutMs);
    void sendTitle(const std::string& title);
    // One round of sending, with m_shoutMutex held. False once the connection failed.
    bool pump();

    CastSettings m_settings;
    DeathFn m_onDeath;
    std::thread m_thread;
    std::thread m_prober;
    std::atomic<bool> m_probeFailed{false};
    std::atomic<bool> m_probeCancel{false};
    std::mutex m_mutex;
    std::condition_variable m_cv;      // the sender thread and open() wait here
    std::condition_variable m_probeCv; // the prober waits here
    std::deque<unsigned char> m_queue;
    std::optional<std::string> m_title;
    bool m_quit = false;
    enum class Open { Pending, Taken, Refused } m_open = Open::Pending;
    std::atomic<bool> m_alive{false};
    std::atomic<std::size_t> m_dropped{0};
    std::string m_error;
    // The connection: made and closed by the sender thread; used under m_shoutMutex, which
    // a sending thread only tries (it never waits for the sender thread).
    std::mutex m_shoutMutex;
    struct shout* m_shout = nullptr;
    int m_fd = -1;           // libshout's socket, watched (never used for I/O)
    bool m_sendable = false; // connected and not failed
    std::atomic<bool> m_pumpFailed{false};
    std::chrono::steady_clock::time_point m_lastProgress{};
    std::atomic<long long> m_lastQueued{0}; // libshout's queue after the latest round
    std::uint64_t m_lastAcked = 0;
    std::vector<unsigned char> m_chunk;
};
