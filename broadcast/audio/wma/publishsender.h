#pragma once
// The sending side of a publishing stream: a thread of its own takes the muxer's output from
// a bounded queue and writes it to the connection, so that the thread that encodes (the
// capture's) never waits on a socket. When the publishing point stalls, the oldest queued
// data goes (the stream's header never), with one log line per stall.
#include "publishconnection.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class PublishSender {
public:
    static constexpr std::size_t maxQueued = 256 * 1024; // about 16 s at 128 kbit/s

    explicit PublishSender(PublishConnection& connection);
    ~PublishSender(); // stop(0)
    PublishSender(const PublishSender&) = delete;
    PublishSender& operator=(const PublishSender&) = delete;

    void start();
    // Queues one piece of the stream; keep: never dropped (the header). Any thread.
    void push(const std::uint8_t* data, std::size_t size, bool keep);
    // Waits up to waitMs for the queue to empty, then ends the thread; the connection is
    // the caller's again afterwards. True when everything went out.
    bool stop(int waitMs);

    bool failed() const { return m_failed.load(); }
    std::string error() const;
    std::size_t droppedBytes() const { return m_dropped.load(); }

private:
    void run();
    struct Piece {
        std::vector<std::uint8_t> bytes;
        bool keep = false;
    };
    PublishConnection& m_connection;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Piece> m_queue;
    std::size_t m_queuedBytes = 0;
    bool m_quit = false;
    bool m_sending = false;
    bool m_stalled = false; // dropping since the last log line
    std::string m_error;
    std::atomic<bool> m_failed{false};
    std::atomic<std::size_t> m_dropped{0};
    std::thread m_thread;
};
