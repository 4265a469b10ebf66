#include "UfmShoutcast2.h"

#include "appconfig.h"
#include "forms.h"
#include "ufmWMA.h"
#include "wllog.h"

#include "stationprofile.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QShowEvent>
#include <QStandardPaths>
#include <QWindow>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

const char* airText(TfmShoutcast2::AirState s)
{
    switch (s) {
    case TfmShoutcast2::AirState::OnAir:
        return "on the air";
    case TfmShoutcast2::AirState::Reconnecting:
        return "reconnecting";
    case TfmShoutcast2::AirState::Off:
        break;
    }
    return "off the air";
}

} // namespace

TfmShoutcast2::TfmShoutcast2(AppContext& ctx)
    : TForm(QStringLiteral("fmShoutcast2"), QString()), m_ctx(ctx)
{
    buildCastControls(this);
    resize(440, 380);

    // Over the layout's free bottom edge, so that it moves none of the controls.
    m_captureLostNote = new QLabel(QStringLiteral("Sound server lost - reconnecting"), this);
    m_captureLostNote->setObjectName(QStringLiteral("captureLostNote"));
    QPalette p = m_captureLostNote->palette();
    p.setColor(QPalette::WindowText, Qt::red);
    m_captureLostNote->setPalette(p);
    QFont f = m_captureLostNote->font();
    f.setBold(true);
    m_captureLostNote->setFont(f);
    m_captureLostNote->hide();

    // Below the title box, where the layout leaves room: none of its controls moves.
    chk_TitleFromPlayer = new QCheckBox(QStringLiteral("Title from player"), this);
    chk_TitleFromPlayer->setObjectName(QStringLiteral("chk_TitleFromPlayer"));
    chk_Record = new QCheckBox(QStringLiteral("Record"), this);
    chk_Record->setObjectName(QStringLiteral("chk_Record"));
    extraRow->addWidget(chk_TitleFromPlayer);
    extraRow->addWidget(chk_Record);
    extraRow->addStretch();
    connect(chk_TitleFromPlayer, &QCheckBox::toggled, this, [this](bool on) {
        ed_TrackTitle->setReadOnly(on);
        qCInfo(lcUi) << (on ? "Titles come from the music player" : "Titles are typed");
    });
    connect(chk_Record, &QCheckBox::toggled, this, [this](bool on) {
        if (!on)
            stopRecording();
        else if (airState() == AirState::OnAir)
            startRecording();
    });

    connect(btn_start, &QPushButton::clicked, this, &TfmShoutcast2::btn_startClick);
    // The flag follows the switch whenever it changes.
    connect(chk_AutoReconnect, &QCheckBox::toggled, this, &TfmShoutcast2::chk_AutoReconnectClick);
    connect(ed_TrackTitle, &QLineEdit::textChanged, this, &TfmShoutcast2::ed_TrackTitleChange);
    connect(LevelTimer, &QTimer::timeout, this, &TfmShoutcast2::LevelTimerTimer);
    m_reconnectTimer.setSingleShot(true);
    connect(&m_reconnectTimer, &QTimer::timeout, this, &TfmShoutcast2::reconnectTimerTimer);
    connect(&m_statsWatcher, &QFutureWatcher<int>::finished, this, [this] {
        if (m_statsWatcher.future().isValid() && m_statsWatcher.future().resultCount() > 0)
            setListenerCaption(m_statsWatcher.result());
    });

    // One thread, so that stops and attempts run in the order given.
    m_worker.setMaxThreadCount(1);
    m_worker.setExpiryTimeout(-1);

    // Sign-in writes the settings one edit at a time: they are compared once it is done.
    m_settingsTimer.setSingleShot(true);
    m_settingsTimer.setInterval(0);
    connect(&m_settingsTimer, &QTimer::timeout, this, &TfmShoutcast2::checkSettings);
    for (QLineEdit* e : {ed_server, ed_Password, ed_Name, ed_url, ed_genre, ed_desc})
        connect(e, &QLineEdit::textChanged, &m_settingsTimer, qOverload<>(&QTimer::start));
    connect(chk_public, &QCheckBox::toggled, &m_settingsTimer, qOverload<>(&QTimer::start));
    connect(cb_Bitrate, &QComboBox::currentIndexChanged, &m_settingsTimer,
            qOverload<>(&QTimer::start));

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
    connect(&m_watchTimer, &QTimer::timeout, this, &TfmShoutcast2::queryListeners);
    m_meterTimer.setInterval(castengine::MeterIntervalMs);
    connect(&m_meterTimer, &QTimer::timeout, this, &TfmShoutcast2::meterTimerTimer);

    FormCreate();
}

TfmShoutcast2::~TfmShoutcast2()
{
    m_reconnectTimer.stop();
    m_meterTimer.stop();
    m_watchTimer.stop();
    LevelTimer->stop();
    for (HENCODE e : m_notified)
        BASS_Encode_SetNotify(e, nullptr, nullptr);
    // Normally the console has freed the device by now, which ended the capture already.
    if (const HRECORD ch = m_state.CaptureChannel.exchange(0))
        stopChannelLater(ch);
    m_worker.waitForDone();
    // An attempt that reached the air after the window stopped listening.
    if (const HRECORD ch = m_unclaimed.exchange(0))
        BASS_ChannelStop(ch);
    m_statsWatcher.waitForFinished();
}

void TfmShoutcast2::FormCreate()
{
    m_state.EngineWindowHandle = this;
    m_state.AutoReconnectFlag = chk_AutoReconnect->isChecked();
    if (!BASS_RecordInit(-1))
        close();
    setLevelBarColour(0x000000);
    LevelTimer->start();
}

void TfmShoutcast2::showEvent(QShowEvent* e)
{
    TForm::showEvent(e);
    // The platform shows an empty title as the application's name: until the first listener
    // count the screen gets a blank one, the window's own title staying empty.
    if (windowTitle().isEmpty() && windowHandle())
        windowHandle()->setTitle(QStringLiteral(" "));
    if (!e->spontaneous())
        FormShow();
}

void TfmShoutcast2::resizeEvent(QResizeEvent* e)
{
    TForm::resizeEvent(e);
    m_captureLostNote->setGeometry(9, height() - 24, width() - 40, 18);
}

void TfmShoutcast2::FormShow()
{
    if (!se.Active)
        se.SkinFile = m_ctx.config.dataFile(QStringLiteral("skin.sui"));
}

int TfmShoutcast2::bitrate() const
{
    if (cb_Bitrate->currentIndex() < 0)
        return 128;
    bool ok = false;
    const int value = cb_Bitrate->currentText().toInt(&ok);
    return ok ? value : 128;
}

bool TfmShoutcast2::castAlive() const
{
    const HRECORD ch = m_state.CaptureChannel;
    return ch != 0 && !m_state.CastDead && BASS_ChannelIsActive(ch) != 0 &&
           BASS_Encode_IsActive(ch) != 0;
}

TfmShoutcast2::AirState TfmShoutcast2::airState() const
{
    if (m_reconnecting)
        return AirState::Reconnecting;
    if (m_state.CaptureChannel != 0 && !m_state.CastDead)
        return AirState::OnAir;
    return AirState::Off;
}

void TfmShoutcast2::noteAirState()
{
    m_airTimer.start();
}

CastRequest TfmShoutcast2::currentRequest() const
{
    CastRequest r;
    r.server = ed_server->text().toUtf8();
    r.password = ed_Password->text().toUtf8();
    r.name = ed_Name->text().toUtf8();
    r.url = ed_url->text().toUtf8();
    r.genre = ed_genre->text().toUtf8();
    r.description = ed_desc->text().toUtf8();
    r.bitrate = bitrate();
    r.mp3 = chk_Mp3->isChecked();
    r.isPublic = chk_public->isChecked();
    return r;
}

void TfmShoutcast2::StartCast()
{
    if (m_attemptPending)
        return; // its outcome decides
    const CastRequest req = currentRequest();
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
    m_worker.start([this, old, req] {
        const AttemptResult r = runAttempt(old, req);
        QMetaObject::invokeMethod(
            this, [this, r] { attemptDone(r); }, Qt::QueuedConnection);
    });
}

TfmShoutcast2::AttemptResult TfmShoutcast2::runAttempt(HRECORD old, const CastRequest& req)
{
    // On the worker: the audio layer only, no widget.
    AttemptResult r;
    r.request = req;
    if (old != 0)
        BASS_ChannelStop(old);

    m_state.EncoderStarting = true;
    const HRECORD ch =
        BASS_RecordStart(44100, 2, 0, &TfmShoutcast2::CaptureProc, &m_state.EncoderStarting);
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
                          &TfmShoutcast2::EncodeProc, &m_recorder);
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

void TfmShoutcast2::attemptDone(const AttemptResult& r)
{
    m_attemptPending = false;
    if (r.encoder != 0)
        m_state.EncoderHandle = r.encoder;
    if (!r.onAir) {
        qCWarning(lcCast).noquote() << "Start attempt failed at the" << r.failure;
        m_lastFailure = r.failure;
        if (m_attemptReplacing)
            StopCast(); // the old cast is gone: show the stopped engine
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
    if (chk_Record->isChecked())
        startRecording(); // a new file at each start of a cast
    btn_start->setText(QStringLiteral("Stop"));
    setSettingsEnabled(false);
    setTitleBoxEnabled(true);
    LevelTimer->start();
    m_meterTimer.start();
    m_watchTimer.start();
    BASS_Encode_SetNotify(enc, &TfmShoutcast2::EncoderNotifyProc, m_state.EngineWindowHandle);
    m_notified.push_back(enc);
    if (m_notified.size() > 64)
        m_notified.erase(m_notified.begin(), m_notified.end() - 64);
    // A death before the notification was set told nobody: tell it now.
    if (BASS_Encode_IsActive(enc) == 0)
        EncoderNotifyProc(enc, BASS_ENCODE_NOTIFY_ENCODER, this);
    else if (BASS_Encode_CastIsAlive(enc) == 0)
        EncoderNotifyProc(enc, BASS_ENCODE_NOTIFY_CAST, this);

    // A cast that takes the place of a dead one goes on with the last title.
    if ((m_attemptReplacing || m_reconnecting) && !ed_TrackTitle->text().isEmpty()) {
        const QByteArray title = ed_TrackTitle->text().toUtf8();
        BASS_Encode_CastSetTitle(enc, title.constData(), nullptr);
    }
    if (m_reconnecting) {
        qCInfo(lcCast) << "Reconnected after" << m_reconnectAttempt + 1 << "attempts";
        stopReconnecting();
        btn_start->setEnabled(true);
    }
    noteAirState();
    emit attemptFinished(true);
    // Settings changed while the attempt was on its way.
    if (currentRequest() != m_running)
        m_settingsTimer.start();
}

void TfmShoutcast2::checkSettings()
{
    if (m_attemptPending || m_state.CaptureChannel == 0 || !castAlive())
        return; // the next attempt reads the edits anyway
    if (currentRequest() != m_running)
        StartCast();
}

void TfmShoutcast2::stopChannelLater(HRECORD channel)
{
    // Stopping joins the capture's, the encoder's and the cast's threads.
    m_worker.start([channel] { BASS_ChannelStop(channel); });
}

void TfmShoutcast2::StopCast()
{
    if (const HRECORD ch = m_state.CaptureChannel.exchange(0))
        stopChannelLater(ch);
    stopRecording();
    btn_start->setText(QStringLiteral("Start"));
    setSettingsEnabled(true);
    setTitleBoxEnabled(false);
    LevelTimer->stop();
    m_watchTimer.stop();
    m_state.MeterBar = 0;
    setConsoleBar(0);
    noteAirState();
}

void TfmShoutcast2::btn_startClick()
{
    if (m_state.CaptureChannel != 0)
        StartCast();
}

void TfmShoutcast2::chk_AutoReconnectClick()
{
    m_state.AutoReconnectFlag = chk_AutoReconnect->isChecked();
    if (!m_state.AutoReconnectFlag && m_reconnecting) {
        qCInfo(lcCast) << "Reconnection ended: Auto-reconnect switched off";
        stopReconnecting();
        btn_start->setEnabled(true);
    }
}

void TfmShoutcast2::setPlayerTitle(const QString& title)
{
    if (chk_TitleFromPlayer->isChecked() && !title.isEmpty())
        ed_TrackTitle->setText(title); // its change handler sends it
}

void TfmShoutcast2::startRecording()
{
    stopRecording();
    QString base = m_recordFolder;
    if (base.isEmpty()) {
        base = QStandardPaths::writableLocation(QStandardPaths::MusicLocation);
        if (base.isEmpty())
            base = QDir::home().filePath(QStringLiteral("Music"));
    }
    const QString station =
        m_ctx.profile.stationName.isEmpty() ? ed_Name->text() : m_ctx.profile.stationName;
    ShowRecorder::Options o;
    o.folder =
        QDir(base)
            .filePath(QString::fromStdString(ShowRecorder::safeFolderName(station.toStdString())))
            .toStdString();
    QPointer<TfmShoutcast2> self(this);
    o.onFailure = [self](const std::string& why) {
        const QString reason = QString::fromStdString(why);
        QMetaObject::invokeMethod(
            qApp,
            [self, reason] {
                qCWarning(lcAudio).noquote() << "Recording stopped:" << reason;
                if (self)
                    emit self->recordingFailed(reason);
            },
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

void TfmShoutcast2::stopRecording()
{
    const bool was = m_recorder.isRecording();
    m_recorder.stop();
    if (was)
        qCInfo(lcAudio) << "Recording ended";
}

void TfmShoutcast2::EncodeProc(HENCODE, DWORD, const void* buffer, DWORD length, void* user)
{
    // On the encoder's reader thread: hands the bytes over, never waits for the disk.
    static_cast<ShowRecorder*>(user)->write(static_cast<const unsigned char*>(buffer), length);
}

void TfmShoutcast2::ed_TrackTitleChange()
{
    const QByteArray title = ed_TrackTitle->text().toUtf8();
    BASS_Encode_CastSetTitle(m_state.EncoderHandle, title.constData(), nullptr);
}

void TfmShoutcast2::LevelTimerTimer()
{
    if (RestartPending && chk_AutoReconnect->isChecked()) {
        StartCast();
        RestartPending = false;
    }
    // The console's bar has a meter of its own (meterTimerTimer).
    ++m_state.MeterTicks;
    if (m_state.MeterTicks % castengine::CountSkipEvery == 0)
        return;
    queryListeners();
}

void TfmShoutcast2::meterTimerTimer()
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
        m_captureLostNote->setVisible(lost);
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

void TfmShoutcast2::queryListeners()
{
    if (m_statsWatcher.isRunning())
        return; // the previous answer is still on its way
    const HENCODE enc = m_state.EncoderHandle;
    if (enc == 0) {
        setListenerCaption(0);
        return;
    }
    m_statsWatcher.setFuture(QtConcurrent::run([enc] {
        return castengine::listenerCount([enc](DWORD type) {
            const char* stats = BASS_Encode_CastGetStats(enc, type, nullptr);
            return stats ? QByteArray(stats) : QByteArray();
        });
    }));
}

void TfmShoutcast2::setListenerCaption(int count)
{
    emit listenersChanged(count);
    setWindowTitle(QStringLiteral("Utenti connessi (%1 listeners)").arg(count));
}

QProgressBar* TfmShoutcast2::consoleBar() const
{
    if (m_consoleBarOverride)
        return m_consoleBarOverride;
    return Form2wma ? Form2wma->ProgressBar1 : nullptr;
}

void TfmShoutcast2::setConsoleBar(int position)
{
    QProgressBar* bar = consoleBar();
    if (!bar)
        return;
    const int v = std::clamp(position, bar->minimum(), bar->maximum());
    if (v == bar->value())
        return;
    // The bar repaints by itself only for steps of a whole chunk: every step is painted, once
    // (marked first, the bar's own repaint of a big step takes the mark along).
    bar->update();
    bar->setValue(v);
}

BOOL TfmShoutcast2::CaptureProc(HRECORD handle, const void*, DWORD, void* user)
{
    // Until the encoder is attached no encoder can be active yet.
    if (auto* starting = static_cast<std::atomic<bool>*>(user); starting && *starting)
        return BASS_TRUE;
    return BASS_Encode_IsActive(handle) != 0 ? BASS_TRUE : BASS_FALSE;
}

void TfmShoutcast2::EncoderNotifyProc(HENCODE handle, DWORD status, void* user)
{
    if (status >= 0x10000)
        return;
    auto* window = static_cast<TfmShoutcast2*>(user);
    if (!window)
        return;
    EngineState& s = window->m_state;
    if (handle == s.EncoderHandle)
        s.CastDead = true;
    QCoreApplication::postEvent(window, new CastMessage(WM_CAST_STATE, long(status), handle));
    if (s.AutoReconnectFlag) {
        // Stop the dead cast; the window then reconnects.
        QCoreApplication::postEvent(window, new CastMessage(WM_CAST_RUN, 1, handle));
        QCoreApplication::postEvent(window, new CastMessage(WM_CAST_BUTTON, 0, handle));
        QCoreApplication::postEvent(window, new CastMessage(WM_CAST_RECONNECT, 0, handle));
    } else if (status != BASS_ENCODE_NOTIFY_CAST) {
        QCoreApplication::postEvent(window, new CastMessage(WM_CAST_RUN, 1, handle));
    }
}

bool TfmShoutcast2::event(QEvent* e)
{
    const bool handled = TForm::event(e);
    if (e->type() == WM_CAST_BUTTON || e->type() == WM_CAST_RUN || e->type() == WM_CAST_RECONNECT ||
        e->type() == WM_CAST_STATE) {
        castMessage(static_cast<const CastMessage&>(*e));
        return true;
    }
    return handled;
}

void TfmShoutcast2::castMessage(const CastMessage& m)
{
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
        btn_start->setEnabled(m.lParam != 0);
    } else if (m.type() == WM_CAST_RUN) {
        if (m.lParam == 0)
            StartCast();
        else
            StopCast();
    } else if (m.type() == WM_CAST_RECONNECT) {
        if (m_state.AutoReconnectFlag)
            startReconnecting();
        else
            btn_start->setEnabled(true);
    }
}

void TfmShoutcast2::startReconnecting()
{
    if (m_reconnecting)
        return;
    qCInfo(lcCast) << "Reconnecting by itself";
    m_reconnecting = true;
    m_reconnectAttempt = 0;
    m_reconnectTimer.start(castengine::reconnectDelayMs(0) / m_reconnectSpeedup);
    noteAirState();
}

void TfmShoutcast2::stopReconnecting()
{
    m_reconnecting = false;
    m_reconnectAttempt = 0;
    m_reconnectTimer.stop();
    noteAirState();
}

int TfmShoutcast2::pendingReconnectDelayMs() const
{
    return m_reconnectTimer.isActive() ? m_reconnectTimer.interval() : -1;
}

void TfmShoutcast2::reconnectTimerTimer()
{
    if (!m_reconnecting)
        return;
    if (!m_state.AutoReconnectFlag || castAlive()) {
        // Switched off meanwhile, or someone else has put the station on air again.
        stopReconnecting();
        btn_start->setEnabled(true);
        return;
    }
    // The outcome ends the reconnection or sets the next attempt; an attempt already on its
    // way does the same.
    StartCast();
}
