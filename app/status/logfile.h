#pragma once
// The program's log in a file an owner can send to support: every line (masked by
// redactLogLine()) appended to <XDG state folder>/wavelorn-encoder/wavelorn-encoder.log,
// rotated at 1 MB into .log.1 and .log.2 (three files in all).
//
// The logger only queues a line; a writer thread of its own writes it. A failing write (a
// full disk) stops the file with one warning; the program goes on.
#include <QString>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

class QFile;

class LogFile {
public:
    static constexpr qint64 maxBytes = 1024 * 1024;
    static constexpr int keptFiles = 3;
    static constexpr size_t maxQueued = 20000; // beyond, lines are counted and dropped

    // ~/.local/state/wavelorn-encoder, or $XDG_STATE_HOME/wavelorn-encoder.
    static QString defaultFolder();

    explicit LogFile(const QString& folder = defaultFolder());
    ~LogFile(); // writes what is queued, then closes
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    QString path() const { return m_path; }
    // False once the file could not be opened or written.
    bool isWriting() const { return !m_failed; }
    // Waits until every line queued so far is written (the tests; the end of the run).
    void flush();

private:
    void run();
    bool open();
    bool rotate();
    bool write(const QByteArray& bytes);
    void fail(const QString& what);

    QString m_folder, m_path;
    int m_sink = 0;
    std::atomic<bool> m_failed{false};

    std::mutex m_mutex;
    std::condition_variable m_wake, m_idle;
    std::deque<QByteArray> m_queue;
    size_t m_dropped = 0;
    bool m_busy = false;
    bool m_quit = false;

    // The writer thread's own.
    std::unique_ptr<QFile> m_file;
    qint64 m_size = 0;
    std::thread m_thread;
};
