// Publishing a WMA stream to a real receiving end (FFmpeg listening on 127.0.0.1).
#include "answeringserver.h"
#include "asfreceiver.h"
#include "audiotesthelpers.h"
#include "basswma.h"
#include "publishconnection.h"

#include <QTcpServer>
#include <QtTest>

using audiotest::openDescriptors;

namespace {

// Writes pcm in blocks of uneven sizes (odd byte counts split sample frames across writes).
bool writeAll(HWMENCODE h, const QByteArray& pcm)
{
    static const int sizes[] = {17640, 4097, 3, 9001, 1, 35279};
    qsizetype pos = 0;
    for (int i = 0; pos < pcm.size(); ++i) {
        const qsizetype n = qMin<qsizetype>(sizes[i % 6], pcm.size() - pos);
        if (!BASS_WMA_EncodeWrite(h, pcm.constData() + pos, DWORD(n)))
            return false;
        pos += n;
    }
    return true;
}

} // namespace

class TstWma : public QObject {
    Q_OBJECT
private slots:
    void addresses();
    void publishesToneOverHttp();
    void publishesWholeStreamOverHttps();
    void untrustedCertificateFailsTheOpen();
    void refusalFailsTheOpen();
    void nothingListening();
    void receiverKilledEndsWrites();
    void badHandles();
};

void TstWma::addresses()
{
    PublishUrl u = PublishUrl::parse("https://wavelorn.example:11113/Radio Uno");
    QVERIFY(u.valid);
    QVERIFY(u.tls);
    QCOMPARE(u.host, std::string("wavelorn.example"));
    QCOMPARE(u.port, 11113);
    QCOMPARE(u.target, std::string("/Radio%20Uno")); // only the request line needs the escape

    u = PublishUrl::parse("HTTP://10.0.0.1");
    QVERIFY(u.valid);
    QVERIFY(!u.tls);
    QCOMPARE(u.port, 80);
    QCOMPARE(u.target, std::string("/"));
    QCOMPARE(PublishUrl::parse("https://[::1]/x").host, std::string("::1"));
    QCOMPARE(PublishUrl::parse("https://[::1]/x").port, 443);

    QVERIFY(!PublishUrl::parse("NetWork www.example.it").valid);
    QVERIFY(!PublishUrl::parse("ftp://host/x").valid);
    QVERIFY(!PublishUrl::parse("http://:80/x").valid);
    QVERIFY(!PublishUrl::parse("http://host:99999/x").valid);
    QVERIFY(!PublishUrl::parse("http://host:8o/x").valid);
}

void TstWma::publishesToneOverHttp()
{
    AsfReceiver rx(AsfReceiver::Http, QStringLiteral("Radio Uno"));
    QVERIFY2(rx.isListening(), qPrintable(rx.error()));
    const int descriptors = openDescriptors();
    HWMENCODE h = BASS_WMA_EncodeOpenPublish(44100, 2, BASS_WMA_ENCODE_SOURCE, 128000,
                                             rx.url().toUtf8().constData(), nullptr, nullptr);
    QVERIFY2(h, BASS_WMA_LastErrorText());
    QCOMPARE(BASS_WMA_EncodeGetPort(h), DWORD(rx.port()));
    QVERIFY(BASS_WMA_EncodeSetTag(h, "Title", rx.url().toUtf8().constData(), BASS_WMA_TAG_ANSI));
    QVERIFY(BASS_WMA_EncodeSetTag(h, "Caption", "WELCOME!!!", BASS_WMA_TAG_ANSI));
    QVERIFY2(writeAll(h, AsfReceiver::tone(440, 3.0)), BASS_WMA_LastErrorText());
    // Once the stream has begun its header is out: a tag can no longer go into it.
    QVERIFY(!BASS_WMA_EncodeSetTag(h, "Caption", "late", BASS_WMA_TAG_ANSI));
    QVERIFY2(BASS_WMA_EncodeClose(h), BASS_WMA_LastErrorText());
    QCOMPARE(openDescriptors(), descriptors);
    QVERIFY(rx.waitFinished());

    const AsfReceiver::Probe p = rx.probe();
    QCOMPARE(p.format, QStringLiteral("asf"));
    QCOMPARE(p.codec, QStringLiteral("wmav2"));
    QCOMPARE(p.sampleRate, 44100);
    QCOMPARE(p.channels, 2);
    QCOMPARE(p.tags.value(QStringLiteral("title")), rx.url());
    QCOMPARE(p.tags.value(QStringLiteral("Caption")), QStringLiteral("WELCOME!!!"));

    const QByteArray pcm = rx.decode();
    QVERIFY2(pcm.size() >= 44100 * 4 * 29 / 10, qPrintable(QString::number(pcm.size())));
    const QByteArray middle = pcm.mid(44100 * 4, 44100 * 4);
    QVERIFY(qAbs(AsfReceiver::frequency(middle) - 440) < 5);
    QVERIFY(AsfReceiver::rms(middle) > 5000); // 10000 peak: ~7071 RMS
}

void TstWma::publishesWholeStreamOverHttps()
{
    AsfReceiver rx(AsfReceiver::Https);
    QVERIFY2(rx.isListening(), qPrintable(rx.error()));
    BASS_WMA_SetTrustFile(rx.certificateFile().toUtf8().constData());
    HWMENCODE h = BASS_WMA_EncodeOpenPublish(44100, 2, BASS_WMA_ENCODE_SOURCE, 128000,
                                             rx.url().toUtf8().constData(), nullptr, nullptr);
    BASS_WMA_SetTrustFile(nullptr);
    QVERIFY2(h, BASS_WMA_LastErrorText());
    QCOMPARE(BASS_WMA_EncodeGetPort(h), DWORD(rx.port()));
    // The tone's last second is silent: all of it must arrive, the end included.
    QByteArray pcm = AsfReceiver::tone(1000, 4.0);
    pcm.append(QByteArray(44100 * 4, '\0'));
    QVERIFY2(writeAll(h, pcm), BASS_WMA_LastErrorText());
    QVERIFY2(BASS_WMA_EncodeClose(h), BASS_WMA_LastErrorText());
    QVERIFY(rx.waitFinished());

    const AsfReceiver::Probe p = rx.probe();
    QCOMPARE(p.format, QStringLiteral("asf"));
    QCOMPARE(p.codec, QStringLiteral("wmav2"));
    const QByteArray got = rx.decode();
    QVERIFY2(got.size() >= 44100 * 4 * 49 / 10, qPrintable(QString::number(got.size())));
    QVERIFY(qAbs(AsfReceiver::frequency(got.mid(44100 * 4, 44100 * 4)) - 1000) < 10);
    QVERIFY(AsfReceiver::rms(got.mid(44100 * 4 * 45 / 10, 44100 * 2)) < 100);
}

void TstWma::untrustedCertificateFailsTheOpen()
{
    AsfReceiver rx(AsfReceiver::Https);
    QVERIFY2(rx.isListening(), qPrintable(rx.error()));
    HWMENCODE h = BASS_WMA_EncodeOpenPublish(44100, 2, 0, 128000, rx.url().toUtf8().constData(),
                                             nullptr, nullptr);
    QCOMPARE(h, HWMENCODE(0));
    QVERIFY2(QByteArray(BASS_WMA_LastErrorText()).contains("TLS"), BASS_WMA_LastErrorText());
}

void TstWma::refusalFailsTheOpen()
{
    AnsweringServer server("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
    const QByteArray url = "http://127.0.0.1:" + QByteArray::number(server.port()) + "/Radio Uno";
    HWMENCODE h = BASS_WMA_EncodeOpenPublish(44100, 2, 0, 128000, url.constData(), "me", "secret");
    QCOMPARE(h, HWMENCODE(0));
    QVERIFY2(QByteArray(BASS_WMA_LastErrorText()).contains("403"), BASS_WMA_LastErrorText());
    const QByteArray head = server.request();
    QVERIFY2(head.startsWith("POST /Radio%20Uno HTTP/1.1\r\n"), head.constData());
    QVERIFY(head.contains("\r\nTransfer-Encoding: chunked\r\n"));
    QVERIFY(head.contains("\r\nAuthorization: Basic bWU6c2VjcmV0\r\n")); // me:secret
}

void TstWma::nothingListening()
{
    quint16 port;
    {
        QTcpServer s;
        s.listen(QHostAddress::LocalHost, 0);
        port = s.serverPort();
    }
    const QByteArray url = "http://127.0.0.1:" + QByteArray::number(port) + "/x";
    QCOMPARE(BASS_WMA_EncodeOpenPublish(44100, 2, 0, 0, url.constData(), nullptr, nullptr),
             HWMENCODE(0));
    QVERIFY(QByteArray(BASS_WMA_LastErrorText()).contains("connect"));
    QCOMPARE(BASS_WMA_EncodeOpenPublish(44100, 2, 0, 0, "NetWork www.example.it", nullptr, nullptr),
             HWMENCODE(0));
}

void TstWma::receiverKilledEndsWrites()
{
    AsfReceiver rx;
    QVERIFY2(rx.isListening(), qPrintable(rx.error()));
    HWMENCODE h = BASS_WMA_EncodeOpenPublish(44100, 2, 0, 128000, rx.url().toUtf8().constData(),
                                             nullptr, nullptr);
    QVERIFY2(h, BASS_WMA_LastErrorText());
    const QByteArray block = AsfReceiver::tone(440, 0.1);
    for (int i = 0; i < 10; ++i)
        QVERIFY2(BASS_WMA_EncodeWrite(h, block.constData(), DWORD(block.size())),
                 BASS_WMA_LastErrorText());
    rx.kill();
    // The connection's end shows within a few blocks: a dead peer resets the next sends.
    bool refused = false;
    for (int i = 0; i < 200 && !refused; ++i)
        refused = !BASS_WMA_EncodeWrite(h, block.constData(), DWORD(block.size()));
    QVERIFY(refused);
    QVERIFY(!BASS_WMA_EncodeWrite(h, block.constData(), DWORD(block.size()))); // and stays so
    QVERIFY(!BASS_WMA_EncodeClose(h));
}

void TstWma::badHandles()
{
    QVERIFY(!BASS_WMA_EncodeWrite(0, "abcd", 4));
    QVERIFY(!BASS_WMA_EncodeSetTag(0, "Caption", "x", 0));
    QCOMPARE(BASS_WMA_EncodeGetPort(0), DWORD(0));
    QVERIFY(!BASS_WMA_EncodeClose(0));
    QVERIFY(!BASS_WMA_EncodeClose(12345));
}

QTEST_GUILESS_MAIN(TstWma)
#include "tst_wma.moc"
