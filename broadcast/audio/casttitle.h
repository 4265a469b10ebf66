#pragma once
// Stream titles, sent on a thread and a connection of their own: a slow or hanging server
// delays only the title, never the audio. While one update is on its way, later titles
// collapse into the latest, which goes out next.
#include "castaddress.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

class TitleSender {
public:
    // An update that has no answer within this is abandoned (and logged).
    static constexpr int updateTimeoutMs = 4000;

    // Told of each update's outcome: answered at all, and when it was asked.
    using OutcomeFn = std::function<void(bool answered, std::chrono::steady_clock::time_point)>;

    TitleSender(CastAddress address, std::string password, OutcomeFn onOutcome = {});
    ~TitleSender(); // stop()
    TitleSender(const TitleSender&) = delete;
    TitleSender& operator=(const TitleSender&) = delete;

    // Queues title (UTF-8, any length, any characters) and returns at once.
    void set(const std::string& title);
    // Abandons what is under way and joins the thread. Safe from any thread, more than once.
    void stop();

    // The request that sends title (for tests): path and query, as it goes on the request line.
    static std::string requestPath(const CastAddress& address, const std::string& password,
                                   const std::string& title);
    // Updates the server took, and those that failed or were abandoned.
    int sentCount() const { return m_sent.load(); }
    int failedCount() const { return m_failed.load(); }

private:
    void run();

    const CastAddress m_address;
    const std::string m_password;
    const OutcomeFn m_onOutcome;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::optional<std::string> m_pending;
    bool m_quit = false;
    std::atomic<bool> m_cancel{false};
    std::atomic<int> m_sent{0};
    std::atomic<int> m_failed{0};
    std::mutex m_stopMutex;
    std::thread m_thread;
};
