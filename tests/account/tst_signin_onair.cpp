// End to end: the station owner signs in against the embedded database, with a real
// PulseAudio server playing into the default source and a real Icecast server at the
// station's port; a listener then receives the station's MP3 there.
#include "WaveMixer.h"
#include "icecastserver.h"
#include "platformmixer.h"
#include "pulseserver.h"
#include "tst_signin_harness.h"

#include <QtTest>

using namespace signintest;

namespace {

// The length of the MPEG-1 Layer III frame of 128 kbit/s at 44.1 kHz whose header starts at
// i, or 0 when no such header is there.
int frameAt(const QByteArray& data, int i)
{
    if (i + 3 >= data.size())
        return 0;
    const auto b0 = static_cast<unsigned char>(data[i]);
    const auto b1 = static_cast<unsigned char>(data[i + 1]);
    const auto b2 = static_cast<unsigned char>(data[i + 2]);
    if (b0 != 0xFF || (b1 & 0xFE) != 0xFA || (b2 >> 4) != 0x9 || ((b2 >> 2) & 0x3) != 0)
        return 0;
    return 144 * 128000 / 44100 + ((b2 >> 1) & 1);
}

// Whether data holds eight frames in a row, each header where the last frame ends.
bool looksLikeMp3(const QByteArray& data)
{
    for (int i = 0; i < data.size(); ++i) {
        int at = i, frames = 0;
        while (frames < 8) {
            const int length = frameAt(data, at);
            if (length == 0)
                break;
            at += length;
            ++frames;
        }
        if (frames == 8)
            return true;
    }
    return false;
}

} // namespace

class TestSignInOnAir : public QObject {
    Q_OBJECT
private slots:
    void aListenerHearsTheStationAfterSignIn()
    {
        PulseServer pulse({{QStringLiteral("s1"), QStringLiteral("Altoparlanti di prova")}});
        QVERIFY2(pulse.isRunning(), qPrintable(pulse.error()));
        QVERIFY(pulse.playTone());

        IcecastServer::Options options;
        options.sourcePassword = QStringLiteral("Onda2024");
        IcecastServer ice(options);
        QVERIFY2(ice.isRunning(), qPrintable(ice.error()));

        auto db = TestDb::sqlite();
        TestAccount station;
        station.email = QStringLiteral("Onda@Radio.Example");
        station.password = options.sourcePassword; // the stream password is the account's
        station.station = QStringLiteral("RadioOnda");
        station.port = ice.port();
        db->addAccount(station);

        auto mixer = createPlatformMixerBackend();
        QTRY_VERIFY(mixer->deviceCount() > 0); // the mixer connects in the background
        Session s(db->config(), *mixer);
        QVERIFY(s.start());
        s.signIn(QStringLiteral("onda@radio.example"), QStringLiteral("onda2024"));
        QVERIFY2(!s.run().endRequested(), qPrintable(s.run().shownTexts().join(QLatin1Char('|'))));
        QCOMPARE(s.boxes.waited.size(), 1); // the notice about the recording source
        QCOMPARE(fmShoutcast2->ed_server->text(), QStringLiteral("127.0.0.1:%1").arg(ice.port()));

        // The sink named "Altoparlanti ..." is the console line, at 75 %.
        QCOMPARE(fmLogin->VolumeLineIndex, 0);
        QCOMPARE(fmLogin->a1().Connection(0).Volume(), 75);

        // The console's show step started the cast: SHOUTcast source at port + 1, heard as
        // /stream at the station's port.
        QTRY_VERIFY_WITH_TIMEOUT(ice.hasSource(QStringLiteral("/stream")), 20000);
        const IcecastServer::Listen heard = ice.listen(QStringLiteral("/stream"), 32768, 15000);
        QVERIFY(heard.ok);
        QVERIFY2(heard.audio.size() >= 32768, qPrintable(QString::number(heard.audio.size())));
        QVERIFY(looksLikeMp3(heard.audio));
        QCOMPARE(db->value(QStringLiteral("SELECT COUNT(*) FROM ConnessioniTessaroFTP")).toInt(),
                 1);
    }
};

QTEST_MAIN(TestSignInOnAir)
#include "tst_signin_onair.moc"
