#pragma once
// The live console's course, apart from its window: the show step that starts the cast, the
// go-on-air step, the reconnect tick, Windows Media publishing (start, status, stop) and the
// addresses its buttons open. It holds no widget; the console binds it to its controls and
// shows what its signals say.
//
// Publishing opens its connection to the publishing point (name look-up, connect, TLS, the
// request) on a worker thread of its own; the outcome comes back by a queued call. A start
// while one is on its way does nothing; a stop meanwhile drops its outcome, closing the
// connection it brings; the course's end waits for it at most as long as the open may take.
#include "appcontext.h"
#include "basswma.h"
#include "shell.h"

#include <QObject>
#include <QString>
#include <QThreadPool>
#include <atomic>
#include <memory>
#include <vector>

class QTimer;
class TfmShoutcast2;
struct SignInAccess;

class ConsoleCourse : public QObject {
    Q_OBJECT
public:
    explicit ConsoleCourse(AppContext& ctx, QObject* parent = nullptr);
    // end().
    ~ConsoleCourse() override;

    // The texts of the go-on-air button.
    static QString onAirCaption() { return QStringLiteral("SEI IN ONDA --- ON AIR!!!"); }
    static QString goOnAirCaption() { return QStringLiteral("CLICCA QUI PER ANDARE IN ONDA!!!"); }
    static QString reconnectingCaption() { return QStringLiteral("RICONNESSIONE IN CORSO..."); }
    static QString encoderErrorText() { return QStringLiteral("Non posso inizializzare Encoder"); }

    // The cast engine the console starts and follows; nullptr: the steps that need it do
    // nothing.
    void setEngine(TfmShoutcast2* engine) { m_engine = engine; }
    TfmShoutcast2* engine() const { return m_engine; }
    void setSignIn(SignInAccess* signIn) { m_signIn = signIn; }
    SignInAccess* signIn() const { return m_signIn; }
    // The Windows Media publishing point the next publishing start sends to.
    void setPublishingPoint(const QString& address) { m_publishingPoint = address; }
    // The auto-reconnect switch: a go-on-air step that did not find the station on the air
    // starts the reconnect tick while it is on.
    void setAutoReconnect(bool on) { m_autoReconnect = on; }
    // The go-on-air button's caption as the owner sees it (the layout's is the on-air one).
    const QString& caption() const { return m_caption; }

    // Steps.
    void showStep();      // the console is shown: the engine starts the cast
    void goOnAir();       // the go-on-air button
    void reconnectTick(); // every 15 s: the engine's start button
    void statusTick();    // every 50 s while publishing runs
    void startPublishing();
    void stopPublishing();
    void updateStatus();
    // The publishing caption was edited.
    void captionEdited(const QString& text);
    // Closes every publishing handle: a pending open is waited for (at most its own bound)
    // and the encoder it brings closed, then the publishing encoder. Once only.
    void end();

    // The pages the buttons open, and the command of the sound settings.
    struct Page {
        QString address;
        QString parameters;
        Shell::ShowCommand show = Shell::ShowNormal;
    };
    // Reads the station name from the account again first.
    Page playerPage();
    Page youtubePage() const;
    Page panelPage() const;
    static QString soundSettingsCommand();

    // The publishing state.
    std::atomic<HWMENCODE> PublishEncoder{0}; // as the last publishing start left it
    std::atomic<HRECORD> PublishChannel{0};   // set once a publishing start gets its capture
    std::atomic<float> AirSeconds{0};         // seconds of audio sent since that start
    DWORD PublishLevel = 0;                   // peak-hold level, 0..32768
    int WmaBitrate = 128000;                  // the publishing bit rate
    static BOOL PublishCaptureProc(HRECORD handle, const void* buffer, DWORD length, void* user);

    QTimer* Timer1 = nullptr;       // publishing status tick, 50 s, while publishing runs
    QTimer* TMRECONNECT2 = nullptr; // reconnect tick, 15 s, from creation

    // The rules of the status refresh, on their own.
    static constexpr DWORD BytesPerSecond = 176400; // 44,100 Hz, two channels, 16 bits
    static constexpr DWORD LevelDecay = 1500;
    static constexpr DWORD BarDivisor = 327;
    static constexpr int BarMaximum = 128;
    // "On Air - port: %d - %d:%.2d" with the port and the whole seconds as minutes:seconds.
    static QString onAirText(DWORD port, float airSeconds);
    // The peak after one tick: decayed by 1500 (to 0 at most), then the larger of it and the
    // two channel levels of level. A level of 0xFFFFFFFF (no capture) adds nothing.
    static DWORD nextPeak(DWORD peak, DWORD level);

    // Tests: the number of publishing starts made (those that opened a connection).
    int publishingStarts() const { return m_publishingStarts; }
    // True while a go-on-air step waits for its start attempt's or its publishing start's
    // outcome.
    bool goOnAirPending() const { return m_goOnAirPending || publishingPending(); }
    // True while a publishing start waits for its connection.
    bool publishingPending() const { return m_open != nullptr; }

signals:
    void captionChanged(const QString& caption);
    // The capture lost the sound server (true) or has it back.
    void captureLostChanged(bool lost);
    // A publishing start failed: the text for the error label.
    void publishingFailed(const QString& text);
    // A publishing start reached the publishing point: the text for the on-air label.
    void publishingOnAir(const QString& text);
    // Publishing runs (true) or has stopped: the publishing controls follow.
    void publishingRunning(bool running);
    // The status refresh: the status panel's text and the level bar's position.
    void statusShown(const QString& text, int bar);

private:
    struct Open;
    void watchEngine();
    void followEngine();
    void goOnAirRest(bool wasOnAir);
    void publishingOpened(const std::shared_ptr<Open>& open);
    void closeLater(HWMENCODE encoder);

    AppContext& m_ctx;
    TfmShoutcast2* m_engine = nullptr;
    SignInAccess* m_signIn = nullptr;
    QString m_publishingPoint;
    QString m_caption = onAirCaption();
    bool m_autoReconnect = true;
    bool m_goOnAirPending = false;
    bool m_watchingEngine = false;
    bool m_ended = false;
    int m_publishingStarts = 0;
    HWMENCODE m_closed = 0; // the last encoder handed to the worker to close
    // The pending open, and every open whose outcome has not been taken yet.
    std::shared_ptr<Open> m_open;
    std::vector<std::shared_ptr<Open>> m_opens;
    // Opens and closes of publishing connections, one after the other.
    QThreadPool m_worker;
};
