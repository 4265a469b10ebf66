// The console's Windows Media publishing from a real capture (a private PulseAudio server
// playing a tone) to a real receiving end (FFmpeg listening on 127.0.0.1).
#include "asfreceiver.h"
#include "consoleharness.h"
#include "pulseserver.h"

#include <QComboBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QtTest>
#include <memory>

using namespace consoletest;

class TstConsolePublishing : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void publishingRunOverHttps();
    void receiverGoneStopsPublishing();

private:
    std::unique_ptr<PulseServer> m_pulse;
};

void TstConsolePublishing::initTestCase()
{
    m_pulse = std::make_unique<PulseServer>();
    QVERIFY2(m_pulse->isRunning(), qPrintable(m_pulse->error()));
    QVERIFY(m_pulse->playTone(8000));
}

void TstConsolePublishing::cleanupTestCase()
{
    m_pulse.reset();
}

void TstConsolePublishing::publishingRunOverHttps()
{
    AsfReceiver rx(AsfReceiver::Https, QStringLiteral("Radio Uno"));
    QVERIFY2(rx.isListening(), qPrintable(rx.error()));
    BASS_WMA_SetTrustFile(rx.certificateFile().toUtf8().constData());
    Session s;
    QVERIFY(s.start());
    TForm2wma& c = *Form2wma;
    EngineState& engine = fmShoutcast2->state();
    c.Edit1->setText(rx.url());

    c.btvaiinonda->click();
    QTRY_VERIFY_WITH_TIMEOUT(!c.course->goOnAirPending(), 15000);
    BASS_WMA_SetTrustFile(nullptr);
    QVERIFY2(c.course->PublishEncoder != 0, BASS_WMA_LastErrorText());
    QVERIFY2(c.course->PublishChannel != 0, BASS_LastErrorText());
    // The button tells of the cast (no server here), not of publishing.
    QCOMPARE(c.btvaiinonda->text(), TForm2wma::goOnAirCaption());
    QCOMPARE(c.ONAIR->text(), QStringLiteral("SEI IN ONDA --- ON AIR!!!"));
    QVERIFY(c.ONAIR->isHidden());
    QVERIFY(!c.Edit1->isEnabled());
    QVERIFY(!c.ComboBox1->isEnabled());
    QVERIFY(c.Edit2->isEnabled());
    QVERIFY(c.course->Timer1->isActive());
    QVERIFY(c.lberrore->text().isEmpty());

    QTRY_VERIFY_WITH_TIMEOUT(c.course->AirSeconds >= 3.0f, 30000);
    c.course->statusTick(); // capture running: a status refresh
    QVERIFY2(c.Panel1->text().startsWith(QStringLiteral("On Air - port: %1 - 0:0").arg(rx.port())),
             qPrintable(c.Panel1->text()));
    QVERIFY(c.course->PublishLevel > 4000 &&
            c.course->PublishLevel <= 32768); // the tone peaks at 8000
    QCOMPARE(c.ProgressBar1->value(), int(c.course->PublishLevel / 327));
    QVERIFY(c.course->Timer1->isActive());

    // A click while publishing runs: one start attempt, no restart, publishing goes on.
    const int attempts = engine.StartAttempts;
    c.btvaiinonda->click();
    QCOMPARE(engine.StartAttempts, attempts + 1);
    QTRY_VERIFY_WITH_TIMEOUT(!c.course->goOnAirPending(), 15000);
    QCOMPARE(fmShoutcast2->RestartPending, false);
    QCOMPARE(c.course->publishingStarts(), 1);
    QVERIFY(BASS_ChannelIsActive(c.course->PublishChannel) != 0);

    // The capture ends: the next tick stops publishing, and the stream ends whole.
    const HRECORD channel = c.course->PublishChannel;
    const HWMENCODE encoder = c.course->PublishEncoder;
    BASS_ChannelStop(channel);
    c.course->statusTick();
    QCOMPARE(c.btvaiinonda->text(), TForm2wma::goOnAirCaption());
    QCOMPARE(c.Panel1->text(), QStringLiteral("Off Air"));
    QCOMPARE(c.ProgressBar1->value(), 0);
    QVERIFY(!c.course->Timer1->isActive());
    QVERIFY(c.Edit1->isEnabled());
    QVERIFY(!c.Edit2->isEnabled());
    QCOMPARE(c.course->PublishChannel.load(), channel); // both handles keep their values
    QCOMPARE(c.course->PublishEncoder.load(), encoder);

    QVERIFY(rx.waitFinished());
    const AsfReceiver::Probe p = rx.probe();
    QCOMPARE(p.format, QStringLiteral("asf"));
    QCOMPARE(p.codec, QStringLiteral("wmav2"));
    QCOMPARE(p.sampleRate, 44100);
    QCOMPARE(p.channels, 2);
    QCOMPARE(p.tags.value(QStringLiteral("title")), rx.url());
    const QByteArray pcm = rx.decode();
    QVERIFY2(pcm.size() >= 44100 * 4 * 2, qPrintable(QString::number(pcm.size())));
    const QByteArray second = pcm.mid(44100 * 4, 44100 * 4);
    QVERIFY(qAbs(AsfReceiver::frequency(second) - 1000) < 20);
    QVERIFY(AsfReceiver::rms(second) > 2000);

    // An ended run is never started again.
    for (int i = 0; i < 3; ++i) {
        c.btvaiinonda->click();
        QTRY_VERIFY_WITH_TIMEOUT(!c.course->goOnAirPending() && !fmShoutcast2->attemptPending(),
                                 15000);
    }
    QCOMPARE(c.course->publishingStarts(), 1);
    QCOMPARE(fmShoutcast2->RestartPending, true); // the capture is no longer active
}

void TstConsolePublishing::receiverGoneStopsPublishing()
{
    AsfReceiver rx;
    QVERIFY2(rx.isListening(), qPrintable(rx.error()));
    Session s;
    QVERIFY(s.start());
    TForm2wma& c = *Form2wma;
    c.Edit1->setText(rx.url());
    c.btvaiinonda->click();
    QTRY_VERIFY_WITH_TIMEOUT(!c.course->goOnAirPending(), 15000);
    QVERIFY2(c.course->PublishChannel != 0, BASS_WMA_LastErrorText());
    QTRY_VERIFY_WITH_TIMEOUT(c.course->AirSeconds >= 1.0f, 30000);

    rx.kill();
    // The publishing encoder refuses the next blocks: the capture ends by itself.
    QTRY_VERIFY_WITH_TIMEOUT(BASS_ChannelIsActive(c.course->PublishChannel) == 0, 30000);
    c.course->statusTick();
    QCOMPARE(c.Panel1->text(), QStringLiteral("Off Air"));
    QVERIFY(!c.course->Timer1->isActive());
}

QTEST_MAIN(TstConsolePublishing)
#include "tst_console_publishing.moc"
