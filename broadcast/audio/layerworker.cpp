#include "layerworker.h"

LayerWorker::LayerWorker()
{
    m_thread = std::thread([this] { run(); });
}

LayerWorker::~LayerWorker()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void LayerWorker::post(std::function<void()> task)
{
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_cv.notify_all();
}

void LayerWorker::drain()
{
    if (onWorkerThread())
        return;
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [this] { return m_tasks.empty() && !m_busy; });
}

void LayerWorker::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_cv.wait(lock, [this] { return m_quit || !m_tasks.empty(); });
        if (m_tasks.empty())
            break;
        std::function<void()> task = std::move(m_tasks.front());
        m_tasks.pop_front();
        m_busy = true;
        lock.unlock();
        task();
        task = nullptr;
        lock.lock();
        m_busy = false;
        m_cv.notify_all();
    }
}
