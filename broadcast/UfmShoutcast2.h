#pragma once
#include "appcontext.h"
#include "castcontrols.h"
#include "castcourse.h"
#include "form.h"

#include <functional>

class QCheckBox;
class QLabel;
class QProgressBar;

// The cast engine's window: its controls bound to the engine's course (castcourse.h). Other
// windows use its members by these names: sign-in hands it the station's settings, the live
// console calls StartCast and btn_startClick and sets RestartPending.
class TfmShoutcast2 : public TForm, public CastControls {
    Q_OBJECT
public:
    using AirState = CastCourse::AirState;

    explicit TfmShoutcast2(AppContext& ctx);
    ~TfmShoutcast2() override;

    bool RestartPending = false;

    AirState airState() const { return m_course.airState(); }
    // True while a start attempt is on its way.
    bool attemptPending() const { return m_course.attemptPending(); }
    // True while the capture has lost the sound server and waits for it to come back.
    bool captureLost() const { return m_course.captureLost(); }

    // Starts an attempt with the settings the controls show, unless one is on its way or a
    // live cast with the same settings runs; a live cast with other settings stops and a new
    // one starts. Returns at once.
    void StartCast();
    void StopCast();
    void btn_startClick();
    void chk_AutoReconnectClick();
    void ed_TrackTitleChange();
    void LevelTimerTimer();
    // One tick of the console bar's meter (every 50 ms while there is something to show).
    void meterTimerTimer() { m_course.meterTick(); }
    // Whether the console's bar can be seen (start-up follows the console's visibility).
    void setMeterSeen(bool seen) { m_course.setMeterSeen(seen); }
    int meterIntervalMs() const { return m_course.meterIntervalMs(); }

    // The death notification of the window's course, user being the window.
    static void EncoderNotifyProc(HENCODE handle, DWORD status, void* user);

    EngineState& state() { return m_course.state(); }
    const EngineState& state() const { return m_course.state(); }

    // True while the engine waits to reconnect a dead cast.
    bool reconnecting() const { return m_course.reconnecting(); }
    // The delay of the pending reconnection attempt in ms, -1 when none is pending.
    int pendingReconnectDelayMs() const { return m_course.pendingReconnectDelayMs(); }
    // True while a listener-count query runs on its worker.
    bool listenerQueryRunning() const { return m_course.listenerQueryRunning(); }

    // Tests: a bar that follows consoleMeterChanged as the console's level bar does.
    void setConsoleBarForTesting(QProgressBar* bar);
    // The station's settings as sign-in hands them over: they fill the settings' edits.
    void setStationFields(const CastStationFields& fields);
    // Tests: the reconnection delays are divided by this factor.
    void setReconnectSpeedupForTesting(int factor)
    {
        m_course.setReconnectSpeedupForTesting(factor);
    }
    // Tests: the capture's state as the meter reads it (BASS_ChannelIsActive otherwise).
    void setCaptureStateForTesting(std::function<DWORD(HRECORD)> f)
    {
        m_course.setCaptureStateForTesting(std::move(f));
    }
    // "Title from player": while checked the title box takes the player's titles (read-only).
    QCheckBox* chk_TitleFromPlayer = nullptr;
    // "Record": while checked a copy of what goes on the air is written to the music folder.
    QCheckBox* chk_Record = nullptr;
    // A title from the desktop's music player: the title box takes it while
    // chk_TitleFromPlayer is checked, and sends it as typing would.
    void setPlayerTitle(const QString& title);
    // Why the station last failed to get on (or stay on) the air, in a few words.
    QString lastFailure() const { return m_course.lastFailure(); }
    // The recording of the current cast (files, error), for the owner and the tests.
    const ShowRecorder& recorder() const { return m_course.recorder(); }
    // Tests: where the recordings go (the music folder otherwise).
    void setRecordFolderForTesting(const QString& folder)
    {
        m_course.setRecordFolderForTesting(folder);
    }

    // Tests: the label that tells of a lost sound server.
    QLabel* captureLostNote() const { return m_captureLostNote; }

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
    CastRequest currentRequest() const;
    void pushRequest() { m_course.setRequest(currentRequest()); }
    void bindCourse();
    void showRunning(bool running);
    void FormCreate();
    void FormShow();
    int bitrate() const;

    AppContext& m_ctx;
    QLabel* m_captureLostNote = nullptr;
    CastCourse m_course;
};
