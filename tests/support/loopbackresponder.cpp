#include "loopbackresponder.h"

#include <QThread>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

LoopbackResponder::LoopbackResponder(QByteArray answer, bool silent)
    : m_answer(std::move(answer)), m_silent(silent)
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(m_fd, 8);
    socklen_t len = sizeof a;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { run(); });
}

LoopbackResponder::~LoopbackResponder()
{
    m_quit = true;
    m_thread.join();
    ::close(m_fd);
}

QByteArray LoopbackResponder::lastRequest()
{
    std::lock_guard lock(m_mutex);
    return m_request;
}

void LoopbackResponder::run()
{
    while (!m_quit) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 50) != 1)
            continue;
        const int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            continue;
        QByteArray req;
        char buf[4096];
        while (!req.contains("\r\n\r\n")) {
            pollfd q{c, POLLIN, 0};
            if (::poll(&q, 1, 2000) != 1)
                break;
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            req.append(buf, n);
        }
        {
            std::lock_guard lock(m_mutex);
            m_request = req;
        }
        if (m_silent) {
            while (!m_quit)
                QThread::msleep(20);
        } else {
            ::send(c, m_answer.constData(), m_answer.size(), MSG_NOSIGNAL);
        }
        ::close(c);
    }
}
