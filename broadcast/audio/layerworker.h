#pragma once
// The audio layer's own thread: death notifications and the freeing of captures that ended
// by themselves run here, in the order posted.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class LayerWorker {
public:
    LayerWorker();
    ~LayerWorker(); // runs what is still queued, then joins
    LayerWorker(const LayerWorker&) = delete;
    LayerWorker& operator=(const LayerWorker&) = delete;

    void post(std::function<void()> task);
    bool onWorkerThread() const { return std::this_thread::get_id() == m_thread.get_id(); }
    // Waits until everything posted before this call has run (not on the worker itself).
    void drain();

private:
    void run();
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::function<void()>> m_tasks;
    bool m_quit = false;
    bool m_busy = false;
    std::thread m_thread;
};
