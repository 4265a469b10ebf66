#pragma once
#include "appcontext.h"
#include "castcontrols.h"
#include "castengine.h"
#include "form.h"

#include <QEvent>
#include <QFutureWatcher>
#include <QPointer>
#include <QTimer>
#include <vector>

#include <QProgressBar>

// The engine window's private messages, posted to it from the audio layer's notification
// thread (or by anyone on the GUI thread).
// (WM_USER + 100 and on, WM_USER being 0x400.)
constexpr QEvent::Type WM_CAST_BUTTON = static_cast<QEvent::Type>(1124);
constexpr QEvent::Type WM_CAST_RUN = static_cast<QEvent::Type>(1125);
// The cast died while Auto-reconnect is on: reconnect with a growing delay.
constexpr QEvent::Type WM_CAST_RECONNECT = static_cast<QEvent::Type>(1126);

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

// The cast engine's window. Other windows use its members by these names: sign-in fills the
// six settings edits, the live console calls StartCast and btn_startClick and sets
// RestartPending.
class TfmShoutcast2 : public TForm, public CastControls {
    Q_OBJECT
public:
    explicit TfmShoutcast2(AppContext& ctx);
    ~TfmShoutcast2() override;

    bool RestartPending = false;

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

    // Tests: the bar the engine moves in place of the console's ProgressBar1.
    void setConsoleBarForTesting(QProgressBar* bar) { m_consoleBarOverride = bar; }
    // Tests: the reconnection delays are divided by this factor.
    void setReconnectSpeedupForTesting(int factor) { m_reconnectSpeedup = factor; }

protected:
    bool event(QEvent* e) override;
    void showEvent(QShowEvent* e) override;

private:
    void FormCreate();
    void FormShow();
    bool castAlive() const;
    void castMessage(const CastMessage& m);
    void startReconnecting();
    void stopReconnecting();
    void reconnectTimerTimer();
    void queryListeners();
    void setListenerCaption(int count);
    void setConsoleBar(int position);
    QProgressBar* consoleBar() const;
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
    QPointer<QProgressBar> m_consoleBarOverride;
};
