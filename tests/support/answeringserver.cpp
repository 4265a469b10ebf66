#include "answeringserver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

AnsweringServer::AnsweringServer(QByteArray answer) : m_answer(std::move(answer))
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&a), len) < 0 || ::listen(m_fd, 1) < 0)
        return;
    ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len);
    m_port = ntohs(a.sin_port);
    m_thread = std::thread([this] { serve(); });
}

AnsweringServer::~AnsweringServer()
{
    m_stop = true;
    if (m_thread.joinable())
        m_thread.join();
    if (m_fd >= 0)
        ::close(m_fd);
}

QByteArray AnsweringServer::request() const
{
    return m_done ? m_request : QByteArray();
}

void AnsweringServer::serve()
{
    while (!m_stop) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, 10) <= 0)
            continue;
        const int c = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            return;
        char buf[4096];
        QByteArray request;
        while (!request.contains("\r\n\r\n")) {
            const ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            request.append(buf, n);
        }
        m_request = request.left(request.indexOf("\r\n\r\n") + 4);
        m_done = true;
        ::send(c, m_answer.constData(), size_t(m_answer.size()), MSG_NOSIGNAL);
        ::shutdown(c, SHUT_WR);
        while (!m_stop) {
            pollfd q{c, POLLIN, 0};
            if (::poll(&q, 1, 10) > 0 && ::recv(c, buf, sizeof buf, 0) <= 0)
                break;
        }
        ::close(c);
        return;
    }
}
