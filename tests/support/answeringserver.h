#pragma once
// A server on 127.0.0.1 that takes one connection, reads the request head, sends a fixed
// answer and closes: a publishing point that refuses, say.
//
//   AnsweringServer server("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
//   ... connect to server.port() ...
#include <QByteArray>
#include <atomic>
#include <thread>

class AnsweringServer {
public:
    explicit AnsweringServer(QByteArray answer);
    ~AnsweringServer();
    AnsweringServer(const AnsweringServer&) = delete;
    AnsweringServer& operator=(const AnsweringServer&) = delete;

    quint16 port() const { return m_port; }
    // The request head received (complete once the answer has gone).
    QByteArray request() const;

private:
    void serve();

    int m_fd = -1;
    quint16 m_port = 0;
    QByteArray m_answer;
    QByteArray m_request;
    std::atomic<bool> m_done{false};
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
