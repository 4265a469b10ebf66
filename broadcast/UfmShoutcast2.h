#pragma once
#include "appcontext.h"
#include "castcontrols.h"
#include "castengine.h"
#include "form.h"
#include "showrecorder.h"
#include "stationprofile.h"

#include <QByteArray>
#include <QEvent>
#include <QFutureWatcher>
#include <QPointer>
#include <QThreadPool>
#include <QTimer>
#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

#include <QProgressBar>

// The engine window's private messages, posted to it from the audio layer's notification
// thread (or by anyone on the GUI thread).
// (WM_USER + 100 and on, WM_USER being 0x400.)
constexpr QEvent::Type WM_CAST_BUTTON = static_cast<QEvent::Type>(1124);
constexpr QEvent::Type WM_CAST_RUN = static_cast<QEvent::Type>(1125);
// The cast died while Auto-reconnect is on: reconnect with a growing delay.
constexpr QEvent::Type WM_CAST_RECONNECT = static_cast<QEvent::Type>(1126);
// A cast died: what the window shows of the air is looked at again.
constexpr QEvent::Type WM_CAST_STATE = static_cast<QEvent::Type>(1127);

// WM_CAST_BUTTON: lParam 0 disables btn_start, non-zero enables it. WM_CAST_RUN: lParam 0
// is a start attempt, non-zero a stop. A message that names an encoder is about that
// encoder's death and is dropped once another encoder has taken its place.
class CastMessage : public QEvent {
public:
    CastMessage(QEvent::Type type, long lParam, HENCODE encoder = 0)
        : QEvent(type), lParam(lParam), encoder(encoder)
    {}
    const long lParam;
    const HENCODE encoder;
};

class QLabel;

// What a start attempt sends the server: the settings edits, the bit rate and the switches
// as the attempt found them.
struct CastRequest {
    QByteArray server, password, name, url, genre, description;
    int bitrate = 128;
    bool mp3 = true;
    bool isPublic = true;
    bool operator==(const CastRequest&) const = default;
};

// The cast engine's window. Other windows use its members by these names: sign-in fills the
// six settings edits, the live console calls StartCast and btn_startClick and sets
// RestartPending.
//
// A start attempt runs on the window's own worker thread (the capture, the encoder and the
// connection to the server all take time, a black-holed server up to several seconds); its
// outcome comes back to the GUI thread, which then shows it. One attempt at a time: a start
// while one is on its way does nothing.
class TfmShoutcast2 : public TForm, public CastControls {
    Q_OBJECT
public:
    explicit TfmShoutcast2(AppContext& ctx);
    ~TfmShoutcast2() override;

    bool RestartPending = false;

    // What the station's listeners get, as far as the engine knows.
    enum class AirState {
        Off,          // no source on the server
        OnAir,        // the source is on the server
        Reconnecting, // the cast died and the engine is bringing it back by itself
    };
    AirState airState() const;
    // True while a start attempt is on its way.
    bool attemptPending() const { return m_attemptPending; }
    // True while the capture has lost the sound server and waits for it to come back.
    bool captureLost() const { return m_captureLost; }

    // Starts an attempt unless one is on its way or a live cast with the same settings runs;
    // a live cast with other settings stops and a new one starts. Returns at once.
    void StartCast();
    void StopCast();
    void btn_startClick();
    void chk_AutoReconnectClick();
    void ed_TrackTitleChange();
    void LevelTimerTimer();

    // The audio layer's callbacks.
    static BOOL CaptureProc(HRECORD handle, const void* buffer, DWORD length, void* user);
    static void EncoderNotifyProc(HENCODE handle, DWORD status, void* user);

    EngineState& state() { return m_state; }
    const EngineState& state() const { return m_state; }

    // True while the engine waits to reconnect a dead cast.
    bool reconnecting() const { return m_reconnecting; }
    // The delay of the pending reconnection attempt in ms, -1 when none is pending.
    int pendingReconnectDelayMs() const;
    // True while a listener-count query runs on its worker.
    bool listenerQueryRunning() const { return m_statsWatcher.isRunning(); }

    // Tests: a bar that follows consoleMeterChanged as the console's level bar does.
    void setConsoleBarForTesting(QProgressBar* bar);
    // The station's settings as sign-in hands them over: they fill the settings' edits.
    void setStationFields(const CastStationFields& fields);
    // Tests: the reconnection delays are divided by this factor.
    void setReconnectSpeedupForTesting(int factor) { m_reconnectSpeedup = factor; }
    // Tests: the capture's state as the meter reads it (BASS_ChannelIsActive otherwise).
    void setCaptureStateForTesting(std::function<DWORD(HRECORD)> f)
    {
        m_captureState = std::move(f);
    }
    // "Title from player": while checked the title box takes the player's titles (read-only).
    QCheckBox* chk_TitleFromPlayer = nullptr;
    // "Record": while checked a copy of what goes on the air is written to the music folder.
    QCheckBox* chk_Record = nullptr;
    // A title from the desktop's music player: the title box takes it while
    // chk_TitleFromPlayer is checked, and sends it as typing would.
    void setPlayerTitle(const QString& title);
    // Why the station last failed to get on (or stay on) the air, in a few words.
    QString lastFailure() const { return m_lastFailure; }
    // The recording of the current cast (files, error), for the owner and the tests.
    const ShowRecorder& recorder() const { return m_recorder; }
    // Tests: where the recordings go (the music folder otherwise).
    void setRecordFolderForTesting(const QString& folder) { m_recordFolder = folder; }

    // Tests: the label that tells of a lost sound server.
    QLabel* captureLostNote() const { return m_captureLostNote; }
    // One tick of the console bar's meter (every 50 ms while there is something to show).
    void meterTimerTimer();

signals:
    // A start attempt has ended: on the air or not.
    void attemptFinished(bool onAir);
    // airState() has changed.
    void airStateChanged();
    // The capture lost the sound server (true) or has it back (false).
    void captureLostChanged(bool lost);
    // The listener count read from the server.
    void listenersChanged(int count);
    // The position of the console's level bar (0..128) at each change of the meter.
    void consoleMeterChanged(int position);
    // The input's peak in dBFS at each tick of the meter (-inf for silence), while on the air.
    void levelRead(double dbfs);
    // The recording ended by itself (a full disk, say).
    void recordingFailed(const QString& reason);

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void resizeEvent(QResizeEvent* e) override;

private:
    struct AttemptResult {
        CastRequest request;
        HRECORD channel = 0;
        HENCODE encoder = 0;
        bool onAir = false;
        QString failure; // where and why it failed
    };
    CastRequest currentRequest() const;
    AttemptResult runAttempt(HRECORD old, const CastRequest& req); // on the worker
    void attemptDone(const AttemptResult& r);
    void stopChannelLater(HRECORD channel);
    void noteAirState();
    void checkSettings();
    void FormCreate();
    void FormShow();
    bool castAlive() const;
    void castMessage(const CastMessage& m);
    void startReconnecting();
    void stopReconnecting();
    void reconnectTimerTimer();
    void queryListeners();
    void startRecording();
    void stopRecording();
    static void EncodeProc(HENCODE handle, DWORD channel, const void* buffer, DWORD length,
                           void* user);
    void setListenerCaption(int count);
    void setConsoleBar(int position);
    int bitrate() const;

    AppContext& m_ctx;
    EngineState m_state;
    QTimer m_reconnectTimer;
    int m_reconnectAttempt = 0;
    bool m_reconnecting = false;
    int m_reconnectSpeedup = 1;
    QFutureWatcher<int> m_statsWatcher;
    // Every encoder given our notification, so that none can call us once we are gone.
    std::vector<HENCODE> m_notified;
    int m_consoleMeter = -1; // the position last sent, -1 before the first

    // Start attempts and stops, one after the other, off the GUI thread.
    QThreadPool m_worker;
    bool m_attemptPending = false;
    bool m_attemptReplacing = false;
    // The capture of an attempt that reached the air but whose outcome the window has not
    // taken yet: stopped at destruction if it never arrives.
    std::atomic<HRECORD> m_unclaimed{0};
    CastRequest m_running; // what the running cast was started with
    QTimer m_settingsTimer;
    AirState m_shownAir = AirState::Off;
    QTimer m_airTimer;

    QTimer m_meterTimer;
    // While on the air the server is asked for its listener count every few seconds: a
    // server whose process hangs keeps taking the stream in its kernel for minutes, and only
    // its silence to a request tells it (the audio layer watches the answers).
    QTimer m_watchTimer;
    bool m_captureLost = false;
    std::function<DWORD(HRECORD)> m_captureState;
    QLabel* m_captureLostNote = nullptr;
    QString m_lastFailure;
    QString m_recordFolder;
    // Fed by the encoder's reader thread; outlives every encoder (they end in the destructor).
    ShowRecorder m_recorder;
};
