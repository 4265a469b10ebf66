#include "publishsender.h"
#include "wllog.h"

PublishSender::PublishSender(PublishConnection& connection) : m_connection(connection) {}

PublishSender::~PublishSender()
{
    stop(0);
}

void PublishSender::start()
{
    m_thread = std::thread([this] { run(); });
}

std::string PublishSender::error() const
{
    std::lock_guard lock(m_mutex);
    return m_error;
}

void PublishSender::push(const std::uint8_t* data, std::size_t size, bool keep)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_quit || m_failed.load())
            return;
        m_queue.push_back(Piece{std::vector<std::uint8_t>(data, data + size), keep});
        m_queuedBytes += size;
        std::size_t dropped = 0;
        for (auto it = m_queue.begin(); m_queuedBytes > maxQueued && it != m_queue.end();) {
            if (it->keep || std::next(it) == m_queue.end()) {
                ++it;
                continue;
            }
            m_queuedBytes -= it->bytes.size();
            dropped += it->bytes.size();
            it = m_queue.erase(it);
        }
        if (dropped > 0) {
            m_dropped += dropped;
            if (!m_stalled)
                qCWarning(lcPublish) << "the publishing point takes no data: the oldest" << dropped
                                     << "bytes of the stream are dropped";
            m_stalled = true;
        }
    }
    m_cv.notify_all();
}

bool PublishSender::stop(int waitMs)
{
    {
        std::unique_lock lock(m_mutex);
        m_cv.wait_for(lock, std::chrono::milliseconds(waitMs),
                      [this] { return (m_queue.empty() && !m_sending) || m_failed.load(); });
        m_quit = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    std::lock_guard lock(m_mutex);
    return m_queue.empty() && !m_failed.load();
}

void PublishSender::run()
{
    for (;;) {
        Piece piece;
        {
            std::unique_lock lock(m_mutex);
            m_cv.wait(lock, [this] { return m_quit || !m_queue.empty(); });
            if (m_quit)
                return;
            piece = std::move(m_queue.front());
            m_queue.pop_front();
            m_queuedBytes -= piece.bytes.size();
            m_sending = true;
        }
        const bool ok = m_connection.send(piece.bytes.data(), piece.bytes.size());
        {
            std::lock_guard lock(m_mutex);
            m_sending = false;
            if (ok && m_stalled && m_queue.empty()) {
                m_stalled = false;
                qCInfo(lcPublish) << "the publishing point takes the stream again";
            }
            if (!ok) {
                m_error = m_connection.error();
                m_failed.store(true);
                m_queue.clear();
                m_queuedBytes = 0;
            }
        }
        m_cv.notify_all();
        if (!ok) {
            qCWarning(lcPublish).noquote()
                << "publishing stopped:" << QString::fromStdString(m_connection.error());
            return;
        }
    }
}
