// Server addresses, and the statistics queries against a loopback responder that answers as
// a SHOUTcast server's XML status does (no such server is packaged).
#include "caststats.h"
#include "shoutcast.h"

#include "loopbackresponder.h"

#include <QtTest>

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
    LoopbackResponder r(
        "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n"
        "<?xml version=\"1.0\"?><SHOUTCASTSERVER><CURRENTLISTENERS>7</CURRENTLISTENERS>"
        "</SHOUTCASTSERVER>");
    const auto xml = ::shoutcastStatus("127.0.0.1", r.port(), "p&ss word");
    QVERIFY(xml);
    QVERIFY(xml->find("<CURRENTLISTENERS>7</CURRENTLISTENERS>") != std::string::npos);
    const QByteArray req = r.lastRequest();
    QVERIFY2(req.startsWith("GET /admin.cgi?mode=viewxml&pass=p%26ss%20word HTTP/1.0\r\n"),
             req.constData());
    QVERIFY(req.contains("Authorization: Basic " + QByteArray("admin:p&ss word").toBase64()));
}

void TestCastStats::icecastClientList()
{
    LoopbackResponder r(
        "HTTP/1.0 200 OK\r\n\r\n<icestats><source mount=\"/live\"><Listeners>3</Listeners>"
        "</source></icestats>");
    const auto xml = ::icecastClientList("127.0.0.1", r.port(), "/live", "secret");
    QVERIFY(xml);
    QVERIFY(xml->find("<Listeners>3</Listeners>") != std::string::npos);
    const QByteArray req = r.lastRequest();
    QVERIFY(req.startsWith("GET /admin/listclients?mount=/live HTTP/1.0\r\n"));
    QVERIFY(req.contains("Authorization: Basic " + QByteArray("source:secret").toBase64()));
}

void TestCastStats::noAnswer()
{
    {
        LoopbackResponder refused("HTTP/1.0 401 Authentication Required\r\n\r\nno");
        QVERIFY(!::icecastClientList("127.0.0.1", refused.port(), "/live", "bad"));
    }
    {
        LoopbackResponder silent("", true);
        QElapsedTimer t;
        t.start();
        QVERIFY(!::shoutcastStatus("127.0.0.1", silent.port(), "x", 500));
        QVERIFY(t.elapsed() < 2000);
    }
}

QTEST_GUILESS_MAIN(TestCastStats)
#include "tst_caststats.moc"
