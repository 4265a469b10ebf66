#include "logfile.h"

#include "logredaction.h"
#include "wllog.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>

QString LogFile::defaultFolder()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 7, 0)
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericStateLocation);
#else
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/state");
#endif
    return base + QStringLiteral("/wavelorn-encoder");
}

LogFile::LogFile(const QString& folder)
    : m_folder(folder), m_path(folder + QStringLiteral("/wavelorn-encoder.log"))
{
    if (!open())
        return;
    m_thread = std::thread([this] { run(); });
    m_sink = wllog::addSink([this](const wllog::Line& line) {
        // The logger's lock is held: queue and go.
        if (m_failed.load(std::memory_order_relaxed))
            return;
        QByteArray bytes = redactLogLine(line.formatted).toUtf8();
        bytes.append('\n');
        {
            std::lock_guard lock(m_mutex);
            if (m_queue.size() >= maxQueued) {
                ++m_dropped;
                return;
            }
            m_queue.push_back(std::move(bytes));
        }
        m_wake.notify_one();
    });
}

LogFile::~LogFile()
{
    if (m_sink)
        wllog::removeSink(m_sink);
    if (m_thread.joinable()) {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }
}

void LogFile::flush()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return (m_queue.empty() && !m_busy) || !m_thread.joinable(); });
}

bool LogFile::open()
{
    if (!QDir().mkpath(m_folder)) {
        fail(QStringLiteral("cannot make the folder %1").arg(m_folder));
        return false;
    }
    m_file = std::make_unique<QFile>(m_path);
    if (!m_file->open(QIODevice::WriteOnly | QIODevice::Append)) {
        fail(m_file->errorString());
        m_file.reset();
        return false;
    }
    m_size = m_file->size();
    return true;
}

void LogFile::run()
{
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || !m_queue.empty(); });
        if (m_queue.empty() && m_quit)
            break;
        std::deque<QByteArray> batch;
        batch.swap(m_queue);
        const size_t dropped = std::exchange(m_dropped, 0);
        m_busy = true;
        lock.unlock();
        bool ok = !m_failed;
        if (ok && dropped)
            ok = write(QStringLiteral("(%1 log lines lost: the log file could not keep up)\n")
                           .arg(dropped)
                           .toUtf8());
        for (const QByteArray& b : batch) {
            if (!ok)
                break;
            ok = write(b);
        }
        if (ok && !m_file->flush())
            fail(m_file->errorString());
        lock.lock();
        m_busy = false;
        if (m_failed)
            m_queue.clear();
        m_idle.notify_all();
    }
    lock.unlock();
    if (m_file)
        m_file->close();
    m_idle.notify_all();
}

bool LogFile::write(const QByteArray& bytes)
{
    if (m_size > 0 && m_size + bytes.size() > maxBytes && !rotate())
        return false;
    if (m_file->write(bytes) != bytes.size()) {
        fail(m_file->errorString());
        return false;
    }
    m_size += bytes.size();
    return true;
}

bool LogFile::rotate()
{
    if (!m_file->flush()) {
        fail(m_file->errorString());
        return false;
    }
    m_file->close();
    for (int i = keptFiles - 1; i >= 1; --i) {
        const QString older = m_path + QLatin1Char('.') + QString::number(i);
        const QString newer = i == 1 ? m_path : m_path + QLatin1Char('.') + QString::number(i - 1);
        QFile::remove(older);
        if (QFile::exists(newer) && !QFile::rename(newer, older)) {
            fail(QStringLiteral("cannot rename %1 to %2").arg(newer, older));
            return false;
        }
    }
    if (!m_file->open(QIODevice::WriteOnly | QIODevice::Append)) {
        fail(m_file->errorString());
        return false;
    }
    m_size = m_file->size();
    return true;
}

void LogFile::fail(const QString& what)
{
    // Set before logging: the warning passes through the sink, which then drops it.
    if (m_failed.exchange(true))
        return;
    qCWarning(lcUi).noquote() << "Log file" << m_path << "stopped:" << what;
}
