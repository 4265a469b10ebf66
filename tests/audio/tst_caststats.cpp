// Server addresses, and the statistics queries against a loopback responder that answers as
// a SHOUTcast server's XML status does (no such server is packaged).
#include "caststats.h"
#include "shoutcast.h"

#include <QtTest>
#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// Answers each connection with answer (or nothing, when silent) and keeps the requests.
class Responder {
public:
    Responder(QByteArray answer, bool silent = false)
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
        port = ntohs(a.sin_port);
        m_thread = std::thread([this] { run(); });
    }
    ~Responder()
    {
        m_quit = true;
        m_thread.join();
        ::close(m_fd);
    }
    QByteArray lastRequest()
    {
        std::lock_guard lock(m_mutex);
        return m_request;
    }
    quint16 port = 0;

private:
    void run()
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
    QByteArray m_answer;
    bool m_silent;
    int m_fd = -1;
    std::atomic<bool> m_quit{false};
    std::mutex m_mutex;
    QByteArray m_request;
    std::thread m_thread;
};

} // namespace

class TestCastStats : public QObject {
    Q_OBJECT
private slots:
    void addresses();
    void shoutcastStatus();
    void icecastClientList();
    void noAnswer();
};

void TestCastStats::addresses()
{
    auto a = parseCastAddress("radio.example:8000");
    QVERIFY(a);
    QCOMPARE(a->host, std::string("radio.example"));
    QCOMPARE(a->port, std::uint16_t(8000));
    QVERIFY(a->shoutcast);
    QCOMPARE(a->mount, std::string("/stream"));
    a = parseCastAddress("127.0.0.1:8000/live.mp3");
    QVERIFY(a && !a->shoutcast);
    QCOMPARE(a->mount, std::string("/live.mp3"));
    QCOMPARE(a->port, std::uint16_t(8000));
    a = parseCastAddress("127.0.0.1:8000/");
    QVERIFY(a && a->shoutcast); // an empty mount is the SHOUTcast form
    QVERIFY(!parseCastAddress("127.0.0.1"));
    QVERIFY(!parseCastAddress(":8000"));
    QVERIFY(!parseCastAddress("host:"));
    QVERIFY(!parseCastAddress("host:80x0"));
    QVERIFY(!parseCastAddress("host:70000"));
    QVERIFY(!parseCastAddress("host:0"));
    QVERIFY(!parseCastAddress("host:65535")); // its source port would not exist
}

void TestCastStats::shoutcastStatus()
{
    Responder r("HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n"
                "<?xml version=\"1.0\"?><SHOUTCASTSERVER><CURRENTLISTENERS>7</CURRENTLISTENERS>"
                "</SHOUTCASTSERVER>");
    const auto xml = ::shoutcastStatus("127.0.0.1", r.port, "p&ss word");
    QVERIFY(xml);
    QVERIFY(xml->find("<CURRENTLISTENERS>7</CURRENTLISTENERS>") != std::string::npos);
    const QByteArray req = r.lastRequest();
    QVERIFY2(req.startsWith("GET /admin.cgi?mode=viewxml&pass=p%26ss%20word HTTP/1.0\r\n"),
             req.constData());
    QVERIFY(req.contains("Authorization: Basic " + QByteArray("admin:p&ss word").toBase64()));
}

void TestCastStats::icecastClientList()
{
    Responder r("HTTP/1.0 200 OK\r\n\r\n<icestats><source mount=\"/live\"><Listeners>3</Listeners>"
                "</source></icestats>");
    const auto xml = ::icecastClientList("127.0.0.1", r.port, "/live", "secret");
    QVERIFY(xml);
    QVERIFY(xml->find("<Listeners>3</Listeners>") != std::string::npos);
    const QByteArray req = r.lastRequest();
    QVERIFY(req.startsWith("GET /admin/listclients?mount=/live HTTP/1.0\r\n"));
    QVERIFY(req.contains("Authorization: Basic " + QByteArray("source:secret").toBase64()));
}

void TestCastStats::noAnswer()
{
    {
        Responder refused("HTTP/1.0 401 Authentication Required\r\n\r\nno");
        QVERIFY(!::icecastClientList("127.0.0.1", refused.port, "/live", "bad"));
    }
    {
        Responder silent("", true);
        QElapsedTimer t;
        t.start();
        QVERIFY(!::shoutcastStatus("127.0.0.1", silent.port, "x", 500));
        QVERIFY(t.elapsed() < 2000);
        QVERIFY(!httpAnswers("127.0.0.1", silent.port, 300));
    }
    {
        Responder any("HTTP/1.0 404 Not Found\r\n\r\n");
        QVERIFY(httpAnswers("127.0.0.1", any.port, 2000));
    }
}

QTEST_GUILESS_MAIN(TestCastStats)
#include "tst_caststats.moc"
