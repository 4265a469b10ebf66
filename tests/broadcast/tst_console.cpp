// The live console: its layout, the go-on-air step, the status rules, the buttons and the road
// from sign-in to the console.
#include "answeringserver.h"
#include "consoleharness.h"
#include "faultproxy.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QtTest>

using namespace consoletest;

namespace {
const QString kAudioMessage = QStringLiteral(
    "DEVI ANDARE NELLA PAGINA DI REGISTRAZIONE SCRITTA IN ALTO ED ABILITARE MISSAGGIO STEREO");

// Our connections to 127.0.0.1:port that are still established (the kernel's table).
int establishedTo(quint16 port)
{
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return -1;
    int n = 0;
    const QByteArray remote =
        QByteArray("0100007F:") + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 3 && f[2] == remote && f[3] == "01")
            ++n;
    }
    return n;
}
} // namespace

class TstConsole : public QObject {
    Q_OBJECT
private slots:
    void layout();
    void goOnAirSteps();
    void refusingPublishingPoint();
    void silentPublishingPoint();
    void statusRules();
    void buttons();
    void fromSignInToTheConsole();
};

void TstConsole::layout()
{
    Session s;
    QString error;
    QVERIFY2(s.start(&error), qPrintable(error));
    TForm2wma& c = *Form2wma;
    QCOMPARE(c.windowTitle(), QStringLiteral("Trasmissione Live!!!  Vers. 5.0"));
    QCOMPARE(c.size(), QSize(1197, 457));
    QCOMPARE(c.minimumSize(), c.maximumSize());

    QCOMPARE(c.btvaiinonda->text(), QStringLiteral("SEI IN ONDA --- ON AIR!!!"));
    QCOMPARE(c.btvaiinonda->geometry(), QRect(0, 11, 434, 62));
    QCOMPARE(c.btvaiinonda->font().family(), QStringLiteral("Times New Roman"));
    QCOMPARE(c.btvaiinonda->font().pixelSize(), 19);
    QCOMPARE(c.Panel3->text(), QStringLiteral("CHIUDI IL PROGRAMMA PER ANDARE OFF LINE"));
    QCOMPARE(c.Panel3->geometry(), QRect(0, 80, 433, 41));
    QVERIFY(c.CBRECONNECT->isChecked());
    QCOMPARE(c.CBRECONNECT->text(), QStringLiteral("AUTO RICONNESIONE"));
    QCOMPARE(c.CBRECONNECT->geometry(), QRect(259, 138, 177, 17));
    QCOMPARE(c.BTAPRIPLAYER->geometry(), QRect(0, 177, 433, 24));
    QCOMPARE(c.BTAUDIO->text(),
             QStringLiteral("APRI PANNELLO DI CONTROLLO AUDIO MIXER DI WINDOWS"));
    QCOMPARE(c.BTAUDIO->geometry(), QRect(0, 224, 433, 25));
    QCOMPARE(c.btYouTube->geometry(), QRect(0, 257, 433, 24));
    QCOMPARE(c.BTPANNELLOSHOUTCAST->geometry(), QRect(0, 375, 1137, 82));
    QVERIFY(c.BTPANNELLOSHOUTCASTText->wordWrap());
    QVERIFY(c.BTPANNELLOSHOUTCASTText->text().startsWith(
        QStringLiteral("PANNELLO DI CONTROLLO PER VEDERE")));
    QCOMPARE(c.BTAPRIPLAYER->font().family(), QStringLiteral("Arial Black"));

    // The error label lies under the sound settings button.
    QCOMPARE(c.lberrore->pos(), QPoint(75, 234));
    QVERIFY(c.lberrore->text().isEmpty());
    QVERIFY(c.children().indexOf(c.lberrore) < c.children().indexOf(c.BTAUDIO));

    QCOMPARE(c.ProgressBar1->geometry(), QRect(412, 13, 29, 53));
    QCOMPARE(c.ProgressBar1->orientation(), Qt::Vertical);
    QCOMPARE(c.ProgressBar1->minimum(), 0);
    QCOMPARE(c.ProgressBar1->maximum(), 128);
    QVERIFY(c.ProgressBar1->toolTip().startsWith(
        QStringLiteral("QUANDO QUESTA BARRA DIVENTA COLORATA")));
    QCOMPARE(c.scb->geometry(), QRect(448, 14, 17, 121));
    QCOMPARE(c.scb->value(), 75);
    QCOMPARE(c.lbvol->text(), QStringLiteral("100"));
    QCOMPARE(c.lbvol->pos(), QPoint(440, 139));
    QVERIFY(c.lbvol->font().bold());

    // The note of a lost sound server has a place of its own.
    QVERIFY(c.lbaudioperso->isHidden());
    for (QWidget* w : std::initializer_list<QWidget*>{
             c.btvaiinonda, c.Panel3, c.CBRECONNECT, c.BTAPRIPLAYER, c.BTAUDIO, c.btYouTube,
             c.BTPANNELLOSHOUTCAST, c.ProgressBar1, c.scb, c.lbvol})
        QVERIFY2(!c.lbaudioperso->geometry().intersects(w->geometry()),
                 qPrintable(w->objectName()));

    // The publishing path's controls are never shown.
    for (QWidget* w : std::initializer_list<QWidget*>{c.Edit1, c.Label1, c.ComboBox1, c.Label2,
                                                      c.Edit2, c.Label3, c.Panel1, c.ONAIR})
        QVERIFY2(w->isHidden(), qPrintable(w->objectName()));
    QCOMPARE(c.Edit1->text(), QStringLiteral("NetWork ") + s.config().serviceHost);
    QVERIFY(c.Edit1->isReadOnly());
    QCOMPARE(c.ComboBox1->count(), 1);
    QCOMPARE(c.ComboBox1->itemText(0), QStringLiteral("128000"));
    QCOMPARE(c.Label2->text(), QStringLiteral("Bitrate: 128000"));
    QCOMPARE(c.Edit2->text(), QStringLiteral("WELCOME!!!"));
    QVERIFY(!c.Edit2->isEnabled());
    QCOMPARE(c.Panel1->text(), QStringLiteral("Off Air"));
    QCOMPARE(c.ONAIR->text(), QStringLiteral("NON SEI IN ONDA SU WINDOWS MEDIA!!!"));
    QCOMPARE(c.course->WmaBitrate, 128000);

    // The board's place spans the window, under every control of the console.
    QCOMPARE(c.boardArea->geometry(), QRect(0, 0, 1197, 457));
    QCOMPARE(c.children().indexOf(c.boardArea), 0);

    QVERIFY(c.course->TMRECONNECT2->isActive());
    QCOMPARE(c.course->TMRECONNECT2->interval(), 15000);
    QVERIFY(!c.course->Timer1->isActive());
    QCOMPARE(c.course->Timer1->interval(), 50000);
    QVERIFY(c.DBSQL && c.DBSQL->isOpen());
    QVERIFY(c.DQMESSAGGI2 && c.DQMESSAGGI2->isOpen());
    QVERIFY(!c.isVisible()); // sign-in shows it
}

// Without a publishing point to reach, every go-on-air step tries publishing again; with no
// sound server every start attempt fails, so the button says the station is off the air.
void TstConsole::goOnAirSteps()
{
    Session s;
    QVERIFY(s.start());
    TForm2wma& c = *Form2wma;
    EngineState& engine = fmShoutcast2->state();
    const int before = engine.StartAttempts;

    c.btvaiinonda->click(); // first click, on the layout's "SEI IN ONDA"
    QCOMPARE(engine.StartAttempts, before + 1);
    QVERIFY(c.course->goOnAirPending());
    c.btvaiinonda->click(); // while the attempt is on its way: nothing
    QCOMPARE(engine.StartAttempts, before + 1);
    QTRY_VERIFY(!c.course->goOnAirPending());
    QCOMPARE(fmShoutcast2->RestartPending, false);
    QCOMPARE(c.btvaiinonda->text(), QStringLiteral("CLICCA QUI PER ANDARE IN ONDA!!!"));
    QVERIFY(fmShoutcast2->isVisible());
    QCOMPARE(c.course->publishingStarts(), 1);
    QCOMPARE(c.lberrore->text(), QStringLiteral("Non posso inizializzare Encoder"));
    QCOMPARE(c.course->PublishEncoder.load(), 0u);
    QCOMPARE(c.course->PublishChannel.load(), 0u);

    // On "CLICCA QUI", publishing not running: a second attempt once the first has failed.
    c.course->TMRECONNECT2->stop();
    c.btvaiinonda->click();
    QTRY_VERIFY(!c.course->goOnAirPending() && !fmShoutcast2->attemptPending());
    QCOMPARE(engine.StartAttempts, before + 3);
    QCOMPARE(fmShoutcast2->RestartPending, true);
    QCOMPARE(c.btvaiinonda->text(), QStringLiteral("CLICCA QUI PER ANDARE IN ONDA!!!"));
    QVERIFY(c.course->TMRECONNECT2->isActive()); // CBRECONNECT is checked
    QCOMPARE(c.course->publishingStarts(), 2);

    // Unchecked, the switch neither stops the reconnect tick nor restarts it.
    c.CBRECONNECT->setChecked(false);
    c.btvaiinonda->click();
    QTRY_VERIFY(!c.course->goOnAirPending() && !fmShoutcast2->attemptPending());
    QVERIFY(c.course->TMRECONNECT2->isActive());
    c.course->TMRECONNECT2->stop();
    c.btvaiinonda->click();
    QTRY_VERIFY(!c.course->goOnAirPending() && !fmShoutcast2->attemptPending());
    QVERIFY(!c.course->TMRECONNECT2->isActive());
    QCOMPARE(c.course->publishingStarts(), 4);
    QCOMPARE(engine.StartAttempts, before + 7);

    // The reconnect tick calls the engine's start button, which starts nothing while stopped.
    const int attempts = engine.StartAttempts;
    c.course->reconnectTick();
    QCOMPARE(engine.StartAttempts, attempts);

    // A capture that has lost the sound server: the console says so until it is back.
    DWORD captureState = BASS_ACTIVE_STALLED;
    fmShoutcast2->setCaptureStateForTesting([&](HRECORD) { return captureState; });
    engine.CaptureChannel = 9999;
    fmShoutcast2->meterTimerTimer();
    QVERIFY(!c.lbaudioperso->isHidden());
    QCOMPARE(c.lbaudioperso->text(), TForm2wma::captureLostText());
    QCOMPARE(c.ProgressBar1->value(), 0);
    captureState = BASS_ACTIVE_PLAYING;
    fmShoutcast2->meterTimerTimer();
    QVERIFY(c.lbaudioperso->isHidden());
    engine.CaptureChannel = 0;
}

void TstConsole::refusingPublishingPoint()
{
    Session s;
    QVERIFY(s.start());
    TForm2wma& c = *Form2wma;
    AnsweringServer server("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
    c.Edit1->setText(QStringLiteral("http://127.0.0.1:%1/Radio Uno").arg(server.port()));
    c.btvaiinonda->click();
    QTRY_VERIFY(!c.course->goOnAirPending());
    QCOMPARE(c.lberrore->text(), QStringLiteral("Non posso inizializzare Encoder"));
    QVERIFY(server.request().startsWith("POST /Radio%20Uno HTTP/1.1"));
    QCOMPARE(c.course->PublishEncoder.load(), 0u);
    QCOMPARE(c.course->PublishChannel.load(), 0u);
    QCOMPARE(c.btvaiinonda->text(), QStringLiteral("CLICCA QUI PER ANDARE IN ONDA!!!"));
    QVERIFY(c.Edit1->isEnabled());
    QVERIFY(!c.course->Timer1->isActive());
    QCOMPARE(c.Panel1->text(), QStringLiteral("Off Air"));
}

// A publishing point that takes the connection and never answers: the console keeps answering
// while the start waits, a second start meanwhile does nothing, and a stop drops the start
// with its connection.
void TstConsole::silentPublishingPoint()
{
    Session s;
    QVERIFY(s.start());
    TForm2wma& c = *Form2wma;
    FaultProxy proxy(1); // nothing behind it: the black hole answers for it
    QVERIFY(proxy.start());
    proxy.setMode(FaultProxy::Mode::BlackHole);

    QElapsedTimer clock;
    qint64 last = 0;
    qint64 worst = 0;
    QTimer probe;
    probe.setInterval(10);
    connect(&probe, &QTimer::timeout, this, [&] {
        const qint64 now = clock.elapsed();
        worst = std::max(worst, now - last - 10);
        last = now;
    });

    // Over TLS the handshake meets the silence and fails at its bound (5 s).
    c.Edit1->setText(QStringLiteral("https://127.0.0.1:%1/Radio Uno").arg(proxy.port()));
    clock.start();
    probe.start();
    c.btvaiinonda->click();
    QTRY_VERIFY_WITH_TIMEOUT(c.course->publishingPending(), 5000);
    const qint64 started = clock.elapsed();
    c.course->startPublishing();
    c.btvaiinonda->click();
    QCOMPARE(c.course->publishingStarts(), 1);
    QVERIFY(c.lberrore->text().isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!c.course->goOnAirPending(), 15000);
    const qint64 took = clock.elapsed() - started;
    probe.stop();
    qInfo("publishing start failed after %lld ms; the event loop was at most %lld ms late", took,
          worst);
    QCOMPARE(c.lberrore->text(), QStringLiteral("Non posso inizializzare Encoder"));
    QVERIFY2(took >= 4000, qPrintable(QString::number(took)));
    QVERIFY2(worst < 200, qPrintable(QString::number(worst)));
    QCOMPARE(c.course->PublishEncoder.load(), 0u);
    QCOMPARE(c.course->publishingStarts(), 1);

    // Over HTTP a silent point is taken to answer at the end of the stream, after 3 s: a stop
    // before then drops the start, and the connection it opens is closed, not left behind.
    c.Edit1->setText(QStringLiteral("http://127.0.0.1:%1/Radio Uno").arg(proxy.port()));
    const int accepted = proxy.acceptedCount();
    c.course->startPublishing();
    QVERIFY(c.course->publishingPending());
    QTRY_COMPARE(proxy.acceptedCount(), accepted + 1);
    QCOMPARE(establishedTo(proxy.port()), 1);
    c.course->stopPublishing();
    QVERIFY(!c.course->publishingPending());
    QCOMPARE(c.Panel1->text(), QStringLiteral("Off Air"));
    QTRY_COMPARE_WITH_TIMEOUT(establishedTo(proxy.port()), 0, 10000);
    QCOMPARE(c.course->PublishEncoder.load(), 0u);
    QCOMPARE(c.course->PublishChannel.load(), 0u);
    QCOMPARE(c.course->publishingStarts(), 2);
}

void TstConsole::statusRules()
{
    QCOMPARE(ConsoleCourse::onAirText(11113, 187.9f),
             QStringLiteral("On Air - port: 11113 - 3:07"));
    QCOMPARE(ConsoleCourse::onAirText(11113, 0.f), QStringLiteral("On Air - port: 11113 - 0:00"));
    QCOMPARE(ConsoleCourse::onAirText(80, 3600.5f), QStringLiteral("On Air - port: 80 - 60:00"));

    // 1500 or less falls to 0 at the next tick; above, it decays by 1500.
    QCOMPARE(ConsoleCourse::nextPeak(1500, 0), 0u);
    QCOMPARE(ConsoleCourse::nextPeak(1000, 0), 0u);
    QCOMPARE(ConsoleCourse::nextPeak(1501, 0), 1u);
    // The larger of the two channels, compared unsigned; a higher held peak stays.
    QCOMPARE(ConsoleCourse::nextPeak(0, (32768u << 16) | 200u), 32768u);
    QCOMPARE(ConsoleCourse::nextPeak(0, (200u << 16) | 32768u), 32768u);
    QCOMPARE(ConsoleCourse::nextPeak(20000, (100u << 16) | 200u), 18500u);
    // No capture's level adds nothing.
    QCOMPARE(ConsoleCourse::nextPeak(3000, 0xFFFFFFFFu), 1500u);
    QCOMPARE(32768 / int(ConsoleCourse::BarDivisor), 100); // full scale stands at 100 of 128

    Session s;
    QVERIFY(s.start());
    TForm2wma& c = *Form2wma;
    // The capture callback counts seconds from the bytes sent: 176,400 bytes add exactly one.
    QByteArray block(176400 / 4, '\0');
    c.course->AirSeconds = 0;
    for (int i = 0; i < 4; ++i)
        ConsoleCourse::PublishCaptureProc(0, block.constData(), DWORD(block.size()), c.course);
    QCOMPARE(c.course->AirSeconds.load(), 1.0f);
    // With no publishing encoder the callback ends the capture.
    QCOMPARE(ConsoleCourse::PublishCaptureProc(0, block.constData(), DWORD(block.size()), c.course),
             BASS_FALSE);

    // No capture: "Off Air" and the bar at 0, whatever the held level.
    c.course->PublishLevel = 30000;
    c.ProgressBar1->setValue(90);
    c.course->updateStatus();
    QCOMPARE(c.course->PublishLevel, 0u);
    QCOMPARE(c.ProgressBar1->value(), 0);
    QCOMPARE(c.Panel1->text(), QStringLiteral("Off Air"));
}

void TstConsole::buttons()
{
    Session s;
    s.db().addAccount(radioUno());
    QVERIFY(s.start());
    s.signIn(radioUno());
    TForm2wma& c = *Form2wma;
    s.shell().calls.clear();

    // The player page reads the station name again from the account.
    s.db().exec(QStringLiteral("UPDATE utenti SET mynomeradio = ? WHERE myemail = ?"),
                {QStringLiteral("Radio Due"), radioUno().email});
    c.BTAPRIPLAYER->click();
    QCOMPARE(s.profile().stationName, QStringLiteral("Radio Due"));
    QCOMPARE(s.shell().calls.size(), 1);
    QCOMPARE(s.shell().calls[0].kind, QStringLiteral("open"));
    QCOMPARE(s.shell().calls[0].address,
             QStringLiteral("HTTPS://127.0.0.1/radiosito/player.asp?n=Radio%20Due"));
    QCOMPARE(s.shell().calls[0].parameters,
             QStringLiteral("https://www.127.0.0.1/RADIOSITO/PLAYZUNVARI?N=Radio%20Due"));
    QCOMPARE(s.shell().calls[0].show, int(Shell::ShowMaximized));

    c.BTPANNELLOSHOUTCAST->click();
    QCOMPARE(s.shell().calls[1].address, QStringLiteral("HTTPS://127.0.0.1:10020"));
    QVERIFY(s.shell().calls[1].parameters.isEmpty());
    QCOMPARE(s.shell().calls[1].show, int(Shell::ShowNormal));

    c.btYouTube->click();
    QCOMPARE(s.shell().calls[2].address, QStringLiteral("httpS://") + s.config().youtubeHome);
    QCOMPARE(s.shell().calls[2].parameters, QStringLiteral("https://") + s.config().youtubeHome);
    QCOMPARE(s.shell().calls[2].show, int(Shell::ShowMaximized));

    // The sound settings open only once the message box has been closed.
    qsizetype callsWhileBoxWaits = -1;
    s.boxes.onBox = [&](const QString&) { callsWhileBoxWaits = s.shell().calls.size(); };
    s.boxes.waited.clear();
    c.BTAUDIO->click();
    QCOMPARE(s.boxes.waited, QStringList{kAudioMessage});
    QCOMPARE(callsWhileBoxWaits, 3);
    QCOMPARE(s.shell().calls.size(), 4);
    QCOMPARE(s.shell().calls[3].kind, QStringLiteral("run"));
    QCOMPARE(s.shell().calls[3].address, TForm2wma::soundSettingsCommand());
    QVERIFY(TForm2wma::soundSettingsCommand() == QStringLiteral("pavucontrol") ||
            TForm2wma::soundSettingsCommand() == QStringLiteral("gnome-control-center sound"));
}

void TstConsole::fromSignInToTheConsole()
{
    Session s;
    s.db().addAccount(radioUno());
    QVERIFY(s.start());
    TForm2wma& c = *Form2wma;
    QVERIFY(!c.isVisible());
    const int before = fmShoutcast2->state().StartAttempts;

    s.signIn(radioUno());
    QVERIFY(c.isVisible());
    QVERIFY(fmShoutcast2->isVisible());
    QCOMPARE(fmShoutcast2->state().StartAttempts, before + 1); // the console's show step
    // No sound server here: once the attempt has failed the button says so.
    QTRY_VERIFY(!fmShoutcast2->attemptPending());
    QCOMPARE(c.btvaiinonda->text(), QStringLiteral("CLICCA QUI PER ANDARE IN ONDA!!!"));
    QVERIFY(c.lbaudioperso->isHidden());
    QCOMPARE(c.Edit1->text(), QStringLiteral("https://127.0.0.1:11113/Radio Uno"));

    // The volume bar drives the console line (the second) and shows it read back.
    QCOMPARE(fmLogin->VolumeLineIndex, 1);
    c.scb->setValue(40);
    QCOMPARE(fmLogin->a1().Connection(1).Volume(), 40);
    QCOMPARE(s.mixer().value(1002), 26214u); // 40 % of 65535
    QCOMPARE(c.lbvol->text(), QStringLiteral("40"));
    QCOMPARE(fmLogin->a1().Connection(0).Volume(), 75);
    // A console line that is not there: the error is swallowed, the label keeps its text.
    fmLogin->VolumeLineIndex = 7;
    c.scb->setValue(30);
    QCOMPARE(c.lbvol->text(), QStringLiteral("40"));

    // A second sign-in shows the console again, which is already shown: no second start.
    s.signIn(radioUno());
    QCOMPARE(fmShoutcast2->state().StartAttempts, before + 1);
}

QTEST_MAIN(TstConsole)
#include "tst_console.moc"
