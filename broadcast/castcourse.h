#pragma once
// The cast engine's course, apart from any window: start attempts on a worker thread of their
// own, the death of a cast and the reconnection that follows, the state of the air, the meter
// and the listener count while on the air, and the show's recording. The engine window binds
// it to its controls; nothing here touches a widget.
#include "bassenc.h"
#include "castengine.h"
#include "showrecorder.h"
#include "stationprofile.h"

#include <QByteArray>
#include <QEvent>
#include <QFutureWatcher>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>
#include <atomic>
#include <functional>
#include <vector>

// The engine's private messages, posted from the audio layer's notification thread (or by
// anyone on the GUI thread) to the engine window, which hands them to its course.
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
    static bool isCastMessage(QEvent::Type t)
    {
        return t == WM_CAST_BUTTON || t == WM_CAST_RUN || t == WM_CAST_RECONNECT ||
               t == WM_CAST_STATE;
    }
    const long lParam;
    const HENCODE encoder;
};

// What a start attempt sends the server: the settings edits, the bit rate and the switches
// as the attempt found them.
struct CastRequest {
    QByteArray server, password, name, url, genre, description;
    int bitrate = 128;
    bool mp3 = true;
    bool isPublic = true;
    bool operator==(const CastRequest&) const = default;
};

// One attempt at a time: a start while one is on its way does nothing; its outcome comes
// back to the GUI thread by a queued call.
class CastCourse : public QObject {
    Q_OBJECT
public:
    // What the station's listeners get, as far as the engine knows.
    enum class AirState {
        Off,          // no source on the server
        OnAir,        // the source is on the server
        Reconnecting, // the cast died and the engine is bringing it back by itself
    };

    // profile names the recordings' folder (the request's name when it has none).
    explicit CastCourse(const StationProfile& profile, QObject* parent = nullptr);
    ~CastCourse() override;

    // Where the death notices are posted as CastMessages (this course by default); the
    // target hands them to castMessage().
    void postMessagesTo(QObject* target) { m_messageTarget = target; }
    void castMessage(const CastMessage& m);

    // The settings of the next attempt. A change while a live cast runs replaces the cast,
    // once the changes of one turn of the event loop are all in.
    void setRequest(const CastRequest& request);
    const CastRequest& request() const { return m_request; }

    // Starts an attempt with request() unless one is on its way or a live cast with the same
    // settings runs; a live cast with other settings stops and a new one starts. Returns at
    // once.
    void start();
    // Ends the cast (on the worker) and its recording; castStopped follows.
    void stop();
    void setAutoReconnect(bool on);
    // The stream title: sent now and again with each cast that replaces a dead one.
    void setTitle(const QByteArray& title);
    // While on, each cast that reaches the air is recorded to a new file.
    void setRecording(bool on);
    // The level tick (every 10 s): the listener count, skipped every CountSkipEvery ticks.
    void levelTick();
    // The meter's tick (every 50 ms while there is something to show).
    void meterTick();
    // Whether a window shows the meter now: the tick keeps the bar's pace only then.
    void setMeterSeen(bool seen);
    int meterIntervalMs() const { return m_meterTimer.interval(); }

    AirState airState() const;
    // True while a start attempt is on its way.
    bool attemptPending() const { return m_attemptPending; }
    // True while the capture has lost the sound server and waits for it to come back.
    bool captureLost() const { return m_captureLost; }
    // True while the engine waits to reconnect a dead cast.
    bool reconnecting() const { return m_reconnecting; }
    // The delay of the pending reconnection attempt in ms, -1 when none is pending.
    int pendingReconnectDelayMs() const;
    // True while a listener-count query runs on its worker.
    bool listenerQueryRunning() const { return m_statsWatcher.isRunning(); }
    // Why the station last failed to get on (or stay on) the air, in a few words.
    QString lastFailure() const { return m_lastFailure; }
    // The recording of the current cast (files, error).
    const ShowRecorder& recorder() const { return m_recorder; }
    EngineState& state() { return m_state; }
    const EngineState& state() const { return m_state; }

    // Tests: the reconnection delays are divided by this factor.
    void setReconnectSpeedupForTesting(int factor) { m_reconnectSpeedup = factor; }
    // Tests: the capture's state as the meter reads it (BASS_ChannelIsActive otherwise).
    void setCaptureStateForTesting(std::function<DWORD(HRECORD)> f)
    {
        m_captureState = std::move(f);
    }
    // Tests: where the recordings go (the music folder otherwise).
    void setRecordFolderForTesting(const QString& folder) { m_recordFolder = folder; }

    // The audio layer's callbacks. The notification's user is the course.
    static BOOL CaptureProc(HRECORD handle, const void* buffer, DWORD length, void* user);
    static void EncoderNotifyProc(HENCODE handle, DWORD status, void* user);

signals:
    // A cast reached the air: the controls of a running engine.
    void castStarted();
    // The engine stopped: the controls of a stopped one.
    void castStopped();
    // The start button is held (false) while the engine reconnects by itself.
    void startButtonEnabled(bool enabled);
    void attemptFinished(bool onAir);
    void airStateChanged();
    void captureLostChanged(bool lost);
    void listenersChanged(int count);
    // The position of the console's level bar (0..128) at each change of the meter.
    void consoleMeterChanged(int position);
    // The input's peak in dBFS at each tick of the meter (-inf for silence), while on the air.
    void levelRead(double dbfs);
    // The recording ended by itself (a full disk, say), or did not start.
    void recordingFailed(const QString& reason);

protected:
    bool event(QEvent* e) override;

private:
    struct AttemptResult {
        CastRequest request;
        HRECORD channel = 0;
        HENCODE encoder = 0;
        bool onAir = false;
        QString failure; // where and why it failed
    };
    AttemptResult runAttempt(HRECORD old, const CastRequest& req); // on the worker
    void attemptDone(const AttemptResult& r);
    void stopChannelLater(HRECORD channel);
    void noteAirState();
    void checkSettings();
    bool castAlive() const;
    void startReconnecting();
    void stopReconnecting();
    void reconnectTimerTimer();
    void queryListeners();
    void startRecording();
    void stopRecording();
    void setConsoleBar(int position);
    static void EncodeProc(HENCODE handle, DWORD channel, const void* buffer, DWORD length,
                           void* user);

    const StationProfile& m_profile;
    EngineState m_state;
    // Fed by the encoder's reader thread; every encoder ends in the destructor, before it.
    ShowRecorder m_recorder;
    QObject* m_messageTarget = this;
    CastRequest m_request;
    CastRequest m_running; // what the running cast was started with
    QByteArray m_title;
    bool m_record = false;

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
    // The capture of an attempt that reached the air but whose outcome the course has not
    // taken yet: stopped at destruction if it never arrives.
    std::atomic<HRECORD> m_unclaimed{0};
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
    QString m_lastFailure;
    QString m_recordFolder;
};
