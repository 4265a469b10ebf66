#pragma once
// A server on 127.0.0.1, on a free port, that answers every connection with a fixed answer
// and closes it, keeping the last request head; or, silent, takes connections and never
// answers (until it is destroyed). For the status queries and the timeouts of the tests.
//
//   LoopbackResponder r("HTTP/1.0 200 OK\r\n\r\n<icestats/>");
//   ... connect to r.port() ...  r.lastRequest()
#include <QByteArray>
#include <atomic>
#include <mutex>
#include <thread>

class LoopbackResponder {
public:
    explicit LoopbackResponder(QByteArray answer, bool silent = false);
    ~LoopbackResponder();
    LoopbackResponder(const LoopbackResponder&) = delete;
    LoopbackResponder& operator=(const LoopbackResponder&) = delete;

    quint16 port() const { return m_port; }
    QByteArray lastRequest();

private:
    void run();

    QByteArray m_answer;
    bool m_silent;
    int m_fd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_quit{false};
    std::mutex m_mutex;
    QByteArray m_request;
    std::thread m_thread;
};
