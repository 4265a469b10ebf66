#pragma once
// The cast: a source connection to a SHOUTcast v1 or Icecast 2 server, owned by a sender
// thread of its own, fed through a bounded queue and watched through the connection itself
// (what the server acknowledges and reads), never by extra requests. While the server takes
// everything, data goes out on the thread that hands it over; the sender thread wakes only
// for what has to wait and for the watch. Titles go their own way (casttitle.h).
#include "castaddress.h"
#include "casttitle.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

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

    // Seconds without the server acknowledging data that waits for it.
    static constexpr int watchdogSeconds = 4;
    // Seconds in which the server has read nothing of what its kernel took: a hung server
    // process (or a path that swallows everything) still has a kernel that acknowledges.
    static constexpr int unreadSeconds = 4;
    // A server whose HTTP side has answered none of the requests the program sends anyway
    // (titles, listener counts; two at least) for this long is hung: its kernel still takes
    // the stream into a buffer that Linux grows to megabytes, so the source connection
    // alone shows a stopped server process only after minutes.
    static constexpr int httpSilentSeconds = 8;
    // The kernel fails a connection whose data stays unacknowledged this long.
    static constexpr int userTimeoutMs = 8000;

    explicit ShoutCast(CastSettings settings);
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
    // Hands the stream title (UTF-8) to the title sender; returns at once.
    void setTitle(const std::string& title);
    // Ends the connection and joins the sender thread, once; any thread, any number of times
    // (a later call returns once the first one has finished). After it no onDeath comes.
    void stop();

    // The outcome of a request to the server's HTTP side made at askedAt: answered (any
    // answer) or not at all. Any thread.
    void noteRequest(bool answered, std::chrono::steady_clock::time_point askedAt);

    bool isAlive() const { return m_alive.load(); }
    std::string error() const;
    const CastSettings& settings() const { return m_settings; }
    std::size_t droppedBytes() const { return m_dropped.load(); }

private:
    void run(int timeoutMs);
    bool connect(int timeoutMs);
    // One round of sending, with m_shoutMutex held. False once the connection failed.
    bool pump();
    void setError(std::string text);

    CastSettings m_settings;
    DeathFn m_onDeath;
    std::thread m_thread;
    std::mutex m_stopMutex; // one stop() joins; the others wait for it
    mutable std::mutex m_mutex;
    std::condition_variable m_cv; // the sender thread and open() wait here
    std::deque<unsigned char> m_queue;
    bool m_quit = false;
    enum class Open { Pending, Taken, Refused } m_open = Open::Pending;
    std::atomic<bool> m_alive{false};
    std::atomic<std::size_t> m_dropped{0};
    std::string m_error;      // under m_mutex
    std::mutex m_titlesMutex; // never held while anything waits
    std::unique_ptr<TitleSender> m_titles;
    // The connection: made and closed by the sender thread; used under m_shoutMutex, which
    // a sending thread only tries (it never waits for the sender thread).
    std::mutex m_shoutMutex;
    // libshout's handle, freed (shout_free) by its holder; used as the handle itself.
    class ShoutHandle {
    public:
        ShoutHandle() = default;
        ~ShoutHandle() { reset(); }
        ShoutHandle(const ShoutHandle&) = delete;
        ShoutHandle& operator=(const ShoutHandle&) = delete;
        void reset(struct shout* s = nullptr);
        operator struct shout *() const { return m_p; }

    private:
        struct shout* m_p = nullptr;
    } m_shout;
    int m_fd = -1;           // libshout's socket, watched (never used for I/O)
    bool m_sendable = false; // connected and not failed
    std::atomic<bool> m_pumpFailed{false};
    std::chrono::steady_clock::time_point m_lastProgress{};
    std::chrono::steady_clock::time_point m_lastRead{};
    std::atomic<long long> m_httpSilentSinceMs{0}; // the first unanswered request, 0: none
    std::atomic<int> m_httpSilentCount{0};
    std::atomic<long long> m_lastQueued{0}; // libshout's queue after the latest round
    std::uint64_t m_lastAcked = 0;
    std::uint32_t m_lastWindow = 0;
    std::uint32_t m_maxWindow = 0;
    std::vector<unsigned char> m_chunk;
};
