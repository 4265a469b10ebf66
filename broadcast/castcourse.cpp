#include "castcourse.h"

#include "threadhandoff.h"
#include "wllog.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QStandardPaths>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const char* airText(CastCourse::AirState s)
{
    switch (s) {
    case CastCourse::AirState::OnAir:
        return "on the air";
    case CastCourse::AirState::Reconnecting:
        return "reconnecting";
    case CastCourse::AirState::Off:
        break;
    }
    return "off the air";
}

} // namespace

CastCourse::CastCourse(const StationProfile& profile, QObject* parent)
    : QObject(parent), m_profile(profile)
{
    m_state.EngineWindowHandle = this;
    m_reconnectTimer.setSingleShot(true);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &CastCourse::reconnectTimerTimer);
    connect(&m_statsWatcher, &QFutureWatcher<int>::finished, this, [this] {
        if (m_statsWatcher.future().isValid() && m_statsWatcher.future().resultCount() > 0)
            emit listenersChanged(m_statsWatcher.result());
    });

    // One thread, so that stops and attempts run in the order given.
    m_worker.setMaxThreadCount(1);
    m_worker.setExpiryTimeout(-1);

    // Sign-in writes the settings one edit at a time: they are compared once it is done.
    m_settingsTimer.setSingleShot(true);
    m_settingsTimer.setInterval(0);
    connect(&m_settingsTimer, &QTimer::timeout, this, &CastCourse::checkSettings);

    // The death course posts several messages: the air is looked at once they have run.
    m_airTimer.setSingleShot(true);
    m_airTimer.setInterval(0);
    connect(&m_airTimer, &QTimer::timeout, this, [this] {
        const AirState now = airState();
        if (now == m_shownAir)
            return;
        m_shownAir = now;
        qCInfo(lcCast) << "The station is" << airText(now);
        emit airStateChanged();
    });

    m_watchTimer.setInterval(castengine::WatchIntervalMs);
    connect(&m_watchTimer, &QTimer::timeout, this, &CastCourse::queryListeners);
    m_meterTimer.setInterval(castengine::MeterIntervalMs);
    connect(&m_meterTimer, &QTimer::timeout, this, &CastCourse::meterTick);
}

CastCourse::~CastCourse()
{
    m_reconnectTimer.stop();
    m_meterTimer.stop();
    m_watchTimer.stop();
    for (HENCODE e : m_notified)
        BASS_Encode_SetNotify(e, nullptr, nullptr);
    // Normally the console has freed the device by now, which ended the capture already.
    if (const HRECORD ch = m_state.CaptureChannel.exchange(0))
        stopChannelLater(ch);
    m_worker.waitForDone();
    wl::handoffAcquire(&m_worker);
    // An attempt that reached the air after the course stopped listening.
    if (const HRECORD ch = m_unclaimed.exchange(0))
        BASS_ChannelStop(ch);
    m_statsWatcher.waitForFinished();
}

bool CastCourse::castAlive() const
{
    const HRECORD ch = m_state.CaptureChannel;
    return ch != 0 && !m_state.CastDead && BASS_ChannelIsActive(ch) != 0 &&
           BASS_Encode_IsActive(ch) != 0;
}

CastCourse::AirState CastCourse::airState() const
{
    if (m_reconnecting)
        return AirState::Reconnecting;
    if (m_state.CaptureChannel != 0 && !m_state.CastDead)
        return AirState::OnAir;
    return AirState::Off;
}

void CastCourse::noteAirState()
{
    m_airTimer.start();
}

void CastCourse::setRequest(const CastRequest& request)
{
    if (request == m_request)
        return;
    m_request = request;
    m_settingsTimer.start();
}

void CastCourse::start()
{
    if (m_attemptPending)
        return; // its outcome decides
    const CastRequest req = m_request;
    // A running cast that is alive stays as it is, unless the station's settings have
    // changed since it started; a dead one is replaced.
    HRECORD old = 0;
    if (m_state.CaptureChannel != 0) {
        if (castAlive()) {
            if (req == m_running)
                return;
            qCInfo(lcCast) << "The station's settings have changed: the cast to"
                           << m_running.server.constData() << "stops, one to"
                           << req.server.constData() << "starts";
        }
        old = m_state.CaptureChannel.exchange(0);
    }
    ++m_state.StartAttempts;
    m_attemptPending = true;
    m_attemptReplacing = old != 0;
    m_worker.start(wl::tsanHandoff(
        [this, old, req] {
            const AttemptResult r = runAttempt(old, req);
            QMetaObject::invokeMethod(this, wl::tsanHandoff([this, r] { attemptDone(r); }),
                                      Qt::QueuedConnection);
        },
        &m_worker));
}

CastCourse::AttemptResult CastCourse::runAttempt(HRECORD old, const CastRequest& req)
{
    // On the worker: the audio layer only.
    AttemptResult r;
    r.request = req;
    if (old != 0)
        BASS_ChannelStop(old);

    m_state.EncoderStarting = true;
    const HRECORD ch =
        BASS_RecordStart(44100, 2, 0, &CastCourse::CaptureProc, &m_state.EncoderStarting);
    if (ch == 0) {
        m_state.EncoderStarting = false;
        r.failure = QStringLiteral("capture: ") + QString::fromUtf8(BASS_LastErrorText());
        return r;
    }

    const QByteArray cmdline =
        req.mp3
            ? QStringLiteral("lame -r -s 44100 -b %1 -").arg(req.bitrate).toUtf8()
            : QStringLiteral("oggenc -r -R 44100 -b %1 -m %2 -").arg(req.bitrate).arg(16).toUtf8();
    const char* content = req.mp3 ? "audio/mpeg" : "application/ogg";
    // The encoder's output also feeds the show's copy, which takes it only while recording.
    const HENCODE enc =
        BASS_Encode_Start(ch, cmdline.constData(), BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE,
                          &CastCourse::EncodeProc, &m_recorder);
    m_state.EncoderStarting = false;
    if (enc == 0) {
        r.failure = QStringLiteral("encoder: ") + QString::fromUtf8(BASS_LastErrorText());
        BASS_ChannelStop(ch);
        return r;
    }
    r.encoder = enc;

    if (!BASS_Encode_CastInit(enc, req.server.constData(), req.password.constData(), content,
                              req.name.constData(), req.url.constData(), req.genre.constData(),
                              req.description.constData(), nullptr, static_cast<DWORD>(req.bitrate),
                              req.isPublic ? BASS_TRUE : BASS_FALSE)) {
        r.failure =
            QStringLiteral("server %1: %2")
                .arg(QString::fromUtf8(req.server), QString::fromUtf8(BASS_LastErrorText()));
        BASS_ChannelStop(ch);
        return r;
    }
    r.channel = ch;
    r.onAir = true;
    m_unclaimed = ch;
    return r;
}

void CastCourse::attemptDone(const AttemptResult& r)
{
    m_attemptPending = false;
    if (r.encoder != 0)
        m_state.EncoderHandle = r.encoder;
    if (!r.onAir) {
        qCWarning(lcCast).noquote() << "Start attempt failed at the" << r.failure;
        m_lastFailure = r.failure;
        if (m_attemptReplacing)
            stop(); // the old cast is gone: show the stopped engine
        if (m_reconnecting && !m_reconnectTimer.isActive()) {
            ++m_reconnectAttempt;
            m_reconnectTimer.start(castengine::reconnectDelayMs(m_reconnectAttempt) /
                                   m_reconnectSpeedup);
        }
        noteAirState();
        emit attemptFinished(false);
        return;
    }

    // On air.
    HRECORD claimed = r.channel;
    m_unclaimed.compare_exchange_strong(claimed, 0);
    const HENCODE enc = r.encoder;
    m_state.CaptureChannel = r.channel;
    m_state.CastDead = false;
    m_running = r.request;
    ++m_state.StartsOnAir;
    qCInfo(lcCast) << "On the air at" << r.request.server.constData();
    m_lastFailure.clear();
    if (m_record)
        startRecording(); // a new file at each start of a cast
    emit castStarted();
    m_meterTimer.start();
    m_watchTimer.start();
    if (!BASS_Encode_SetNotify(enc, &CastCourse::EncoderNotifyProc, m_state.EngineWindowHandle))
        qCWarning(lcCast) << "The cast's death notice cannot be set:" << BASS_LastErrorText();
    m_notified.push_back(enc);
    if (m_notified.size() > 64)
        m_notified.erase(m_notified.begin(), m_notified.end() - 64);
    // A death before the notification was set told nobody: tell it now.
    if (BASS_Encode_IsActive(enc) == 0)
        EncoderNotifyProc(enc, BASS_ENCODE_NOTIFY_ENCODER, this);
    else if (BASS_Encode_CastIsAlive(enc) == 0)
        EncoderNotifyProc(enc, BASS_ENCODE_NOTIFY_CAST, this);

    // A cast that takes the place of a dead one goes on with the last title.
    if ((m_attemptReplacing || m_reconnecting) && !m_title.isEmpty())
        setTitle(m_title);
    if (m_reconnecting) {
        qCInfo(lcCast) << "Reconnected after" << m_reconnectAttempt + 1 << "attempts";
        stopReconnecting();
        emit startButtonEnabled(true);
    }
    noteAirState();
    emit attemptFinished(true);
    // Settings changed while the attempt was on its way.
    if (m_request != m_running)
        m_settingsTimer.start();
}

void CastCourse::checkSettings()
{
    if (m_attemptPending || m_state.CaptureChannel == 0 || !castAlive())
        return; // the next attempt reads the settings anyway
    if (m_request != m_running)
        start();
}

void CastCourse::stopChannelLater(HRECORD channel)
{
    // Stopping joins the capture's, the encoder's and the cast's threads.
    m_worker.start(wl::tsanHandoff([channel] { BASS_ChannelStop(channel); }, &m_worker));
}

void CastCourse::stop()
{
    if (const HRECORD ch = m_state.CaptureChannel.exchange(0))
        stopChannelLater(ch);
    stopRecording();
    emit castStopped();
    m_watchTimer.stop();
    m_state.MeterBar = 0;
    setConsoleBar(0);
    noteAirState();
}

void CastCourse::setAutoReconnect(bool on)
{
    m_state.AutoReconnectFlag = on;
    if (!on && m_reconnecting) {
        qCInfo(lcCast) << "Reconnection ended: Auto-reconnect switched off";
        stopReconnecting();
        emit startButtonEnabled(true);
    }
}

void CastCourse::setTitle(const QByteArray& title)
{
    m_title = title;
    const HENCODE enc = m_state.EncoderHandle;
    if (enc != 0 && !BASS_Encode_CastSetTitle(enc, title.constData(), nullptr))
        qCWarning(lcCast) << "The title cannot be sent:" << BASS_LastErrorText();
}

void CastCourse::setRecording(bool on)
{
    m_record = on;
    if (!on)
        stopRecording();
    else if (airState() == AirState::OnAir)
        startRecording();
}

void CastCourse::startRecording()
{
    stopRecording();
    QString base = m_recordFolder;
    if (base.isEmpty()) {
        base = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
        if (base.isEmpty())
            base = QDir::home().filePath(QStringLiteral("Music"));
    }
    const QString station =
        m_profile.stationName.isEmpty() ? QString::fromUtf8(m_request.name) : m_profile.stationName;
    ShowRecorder::Options o;
    o.folder =
        QDir(base)
            .filePath(QString::fromStdString(ShowRecorder::safeFolderName(station.toStdString())))
            .toStdString();
    QPointer<CastCourse> self(this);
    o.onFailure = [self](const std::string& why) {
        const QString reason = QString::fromStdString(why);
        QMetaObject::invokeMethod(qApp, wl::tsanHandoff([self, reason] {
                                      qCWarning(lcAudio).noquote()
                                          << "Recording stopped:" << reason;
                                      if (self)
                                          emit self->recordingFailed(reason);
                                  }),
                                  Qt::QueuedConnection);
    };
    if (!m_recorder.start(std::move(o))) {
        const QString reason = QString::fromStdString(m_recorder.error());
        qCWarning(lcAudio).noquote() << "Recording not started:" << reason;
        emit recordingFailed(reason);
        return;
    }
    qCInfo(lcAudio).noquote() << "Recording to"
                              << QString::fromStdString(m_recorder.files().back());
}

void CastCourse::stopRecording()
{
    const bool was = m_recorder.isRecording();
    m_recorder.stop();
    if (was)
        qCInfo(lcAudio) << "Recording ended";
}

void CastCourse::EncodeProc(HENCODE, DWORD, const void* buffer, DWORD length, void* user)
{
    // On the encoder's reader thread: hands the bytes over, never waits for the disk.
    static_cast<ShowRecorder*>(user)->write(static_cast<const unsigned char*>(buffer), length);
}

void CastCourse::levelTick()
{
    ++m_state.MeterTicks;
    if (m_state.MeterTicks % castengine::CountSkipEvery == 0)
        return;
    queryListeners();
}

void CastCourse::setMeterSeen(bool seen)
{
    const int interval = seen ? castengine::MeterIntervalMs : castengine::MeterUnseenIntervalMs;
    if (interval == m_meterTimer.interval())
        return;
    // setInterval() restarts a running timer and leaves a stopped one stopped.
    m_meterTimer.setInterval(interval);
    qCInfo(lcUi, "meter: %s, read every %d ms", seen ? "shown" : "not shown", interval);
}

void CastCourse::meterTick()
{
    const HRECORD ch = m_state.CaptureChannel;
    const DWORD active = ch == 0          ? BASS_ACTIVE_STOPPED
                         : m_captureState ? m_captureState(ch)
                                          : BASS_ChannelIsActive(ch);
    const bool lost = active == BASS_ACTIVE_STALLED;
    if (lost != m_captureLost) {
        m_captureLost = lost;
        if (lost)
            qCWarning(lcUi) << "The capture has lost the sound server; waiting for it to return";
        else
            qCInfo(lcUi) << "The capture has the sound server again";
        emit captureLostChanged(lost);
    }
    // A lost capture reads silence.
    const DWORD level = lost ? 0 : BASS_ChannelGetLevel(ch);
    setConsoleBar(castengine::meterTick(m_state, level));
    if (ch != 0 && level != 0xFFFFFFFFu) {
        const int peak = static_cast<int>(std::max(level & 0xFFFFu, level >> 16));
        emit levelRead(peak > 0 ? 20.0 * std::log10(peak / 32768.0)
                                : -std::numeric_limits<double>::infinity());
    }
    if (ch == 0 && m_state.MeterBar == 0)
        m_meterTimer.stop(); // started again with the next cast
}

void CastCourse::queryListeners()
{
    if (m_statsWatcher.isRunning())
        return; // the previous answer is still on its way
    const HENCODE enc = m_state.EncoderHandle;
    if (enc == 0) {
        emit listenersChanged(0);
        return;
    }
    m_statsWatcher.setFuture(QtConcurrent::run(wl::tsanHandoff([enc] {
        return castengine::listenerCount([enc](DWORD type) {
            const char* stats = BASS_Encode_CastGetStats(enc, type, nullptr);
            return stats ? QByteArray(stats) : QByteArray();
        });
    })));
}

void CastCourse::setConsoleBar(int position)
{
    if (position == m_consoleMeter)
        return;
    m_consoleMeter = position;
    emit consoleMeterChanged(position);
}

BOOL CastCourse::CaptureProc(HRECORD handle, const void*, DWORD, void* user)
{
    // Until the encoder is attached no encoder can be active yet.
    if (auto* starting = static_cast<std::atomic<bool>*>(user); starting && *starting)
        return BASS_TRUE;
    return BASS_Encode_IsActive(handle) != 0 ? BASS_TRUE : BASS_FALSE;
}

void CastCourse::EncoderNotifyProc(HENCODE handle, DWORD status, void* user)
{
    // On the audio layer's notification thread: atomics and posted messages only.
    if (status >= 0x10000)
        return;
    auto* course = static_cast<CastCourse*>(user);
    if (!course)
        return;
    EngineState& s = course->m_state;
    if (handle == s.EncoderHandle)
        s.CastDead = true;
    QObject* to = course->m_messageTarget;
    const auto post = [to](CastMessage* m) {
        wl::handoffRelease(m); // castMessage() acquires it
        QCoreApplication::postEvent(to, m);
    };
    post(new CastMessage(WM_CAST_STATE, long(status), handle));
    if (s.AutoReconnectFlag) {
        // Stop the dead cast; the course then reconnects.
        post(new CastMessage(WM_CAST_RUN, 1, handle));
        post(new CastMessage(WM_CAST_BUTTON, 0, handle));
        post(new CastMessage(WM_CAST_RECONNECT, 0, handle));
    } else if (status != BASS_ENCODE_NOTIFY_CAST) {
        post(new CastMessage(WM_CAST_RUN, 1, handle));
    }
}

bool CastCourse::event(QEvent* e)
{
    if (CastMessage::isCastMessage(e->type())) {
        castMessage(static_cast<const CastMessage&>(*e));
        return true;
    }
    return QObject::event(e);
}

void CastCourse::castMessage(const CastMessage& m)
{
    wl::handoffAcquire(&m); // posted from the notification thread
    // The death of an encoder that has been replaced since is no news.
    if (m.encoder != 0 && m.encoder != m_state.EncoderHandle)
        return;
    if (m.type() == WM_CAST_STATE) {
        const bool link = m.lParam == long(BASS_ENCODE_NOTIFY_CAST);
        qCWarning(lcCast) << (link ? "The server connection of the cast has died"
                                   : "The encoder process of the cast has died");
        m_lastFailure =
            link ? QStringLiteral("server connection lost") : QStringLiteral("encoder stopped");
        noteAirState();
    } else if (m.type() == WM_CAST_BUTTON) {
        emit startButtonEnabled(m.lParam != 0);
    } else if (m.type() == WM_CAST_RUN) {
        if (m.lParam == 0)
            start();
        else
            stop();
    } else if (m.type() == WM_CAST_RECONNECT) {
        if (m_state.AutoReconnectFlag)
            startReconnecting();
        else
            emit startButtonEnabled(true);
    }
}

void CastCourse::startReconnecting()
{
    if (m_reconnecting)
        return;
    qCInfo(lcCast) << "Reconnecting by itself";
    m_reconnecting = true;
    m_reconnectAttempt = 0;
    m_reconnectTimer.start(castengine::reconnectDelayMs(0) / m_reconnectSpeedup);
    noteAirState();
}

void CastCourse::stopReconnecting()
{
    m_reconnecting = false;
    m_reconnectAttempt = 0;
    m_reconnectTimer.stop();
    noteAirState();
}

int CastCourse::pendingReconnectDelayMs() const
{
    return m_reconnectTimer.isActive() ? m_reconnectTimer.interval() : -1;
}

void CastCourse::reconnectTimerTimer()
{
    if (!m_reconnecting)
        return;
    if (!m_state.AutoReconnectFlag || castAlive()) {
        // Switched off meanwhile, or someone else has put the station on air again.
        stopReconnecting();
        emit startButtonEnabled(true);
        return;
    }
    // The outcome ends the reconnection or sets the next attempt; an attempt already on its
    // way does the same.
    start();
}
