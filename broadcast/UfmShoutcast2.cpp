#include "UfmShoutcast2.h"

#include "appconfig.h"
#include "forms.h"
#include "ufmWMA.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QShowEvent>
#include <QtConcurrent/QtConcurrentRun>
#include <algorithm>

TfmShoutcast2::TfmShoutcast2(AppContext& ctx)
    : TForm(QStringLiteral("fmShoutcast2"), QString()), m_ctx(ctx)
{
    buildCastControls(this);
    resize(440, 380);

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

    FormCreate();
}

TfmShoutcast2::~TfmShoutcast2()
{
    m_reconnectTimer.stop();
    LevelTimer->stop();
    for (HENCODE e : m_notified)
        BASS_Encode_SetNotify(e, nullptr, nullptr);
    // Normally the console has freed the device by now, which ended the capture already.
    if (const HRECORD ch = m_state.CaptureChannel.exchange(0))
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
    if (!e->spontaneous())
        FormShow();
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

void TfmShoutcast2::StartCast()
{
    // A running cast that is alive stays as it is; a dead one is replaced.
    bool replacing = false;
    if (m_state.CaptureChannel != 0) {
        if (castAlive())
            return;
        BASS_ChannelStop(m_state.CaptureChannel.exchange(0));
        replacing = true;
    }
    ++m_state.StartAttempts;

    auto failed = [&] {
        if (replacing)
            StopCast(); // the old cast is gone: show the stopped engine
    };

    m_state.EncoderStarting = true;
    const HRECORD ch =
        BASS_RecordStart(44100, 2, 0, &TfmShoutcast2::CaptureProc, &m_state.EncoderStarting);
    m_state.CaptureChannel = ch;
    if (ch == 0) {
        m_state.EncoderStarting = false;
        failed();
        return;
    }

    const int rate = bitrate();
    const bool mp3 = chk_Mp3->isChecked();
    const QByteArray cmdline =
        mp3 ? QStringLiteral("lame -r -s 44100 -b %1 -").arg(rate).toUtf8()
            : QStringLiteral("oggenc -r -R 44100 -b %1 -m %2 -").arg(rate).arg(16).toUtf8();
    const char* content = mp3 ? "audio/mpeg" : "application/ogg";

    const HENCODE enc = BASS_Encode_Start(
        ch, cmdline.constData(), BASS_ENCODE_NOHEAD | BASS_ENCODE_AUTOFREE, nullptr, nullptr);
    m_state.EncoderHandle = enc;
    m_state.EncoderStarting = false;
    if (enc == 0) {
        BASS_ChannelStop(ch);
        m_state.CaptureChannel = 0;
        failed();
        return;
    }

    const QByteArray server = ed_server->text().toUtf8();
    const QByteArray pass = ed_Password->text().toUtf8();
    const QByteArray name = ed_Name->text().toUtf8();
    const QByteArray url = ed_url->text().toUtf8();
    const QByteArray genre = ed_genre->text().toUtf8();
    const QByteArray desc = ed_desc->text().toUtf8();
    const BOOL pub = chk_public->isChecked() ? BASS_TRUE : BASS_FALSE;
    if (!BASS_Encode_CastInit(enc, server.constData(), pass.constData(), content, name.constData(),
                              url.constData(), genre.constData(), desc.constData(), nullptr,
                              static_cast<DWORD>(rate), pub)) {
        BASS_ChannelStop(ch);
        m_state.CaptureChannel = 0;
        failed();
        return;
    }

    // On air.
    m_state.CastDead = false;
    ++m_state.StartsOnAir;
    btn_start->setText(QStringLiteral("Stop"));
    setSettingsEnabled(false);
    setTitleBoxEnabled(true);
    LevelTimer->start();
    BASS_Encode_SetNotify(enc, &TfmShoutcast2::EncoderNotifyProc, m_state.EngineWindowHandle);
    m_notified.push_back(enc);
    if (m_notified.size() > 64)
        m_notified.erase(m_notified.begin(), m_notified.end() - 64);

    // A cast that takes the place of a dead one goes on with the last title.
    if ((replacing || m_reconnecting) && !ed_TrackTitle->text().isEmpty()) {
        const QByteArray title = ed_TrackTitle->text().toUtf8();
        BASS_Encode_CastSetTitle(enc, title.constData(), nullptr);
    }
    if (m_reconnecting) {
        stopReconnecting();
        btn_start->setEnabled(true);
    }
}

void TfmShoutcast2::StopCast()
{
    BASS_ChannelStop(m_state.CaptureChannel.exchange(0));
    btn_start->setText(QStringLiteral("Start"));
    setSettingsEnabled(true);
    setTitleBoxEnabled(false);
    LevelTimer->stop();
    setConsoleBar(0);
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
        stopReconnecting();
        btn_start->setEnabled(true);
    }
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
    const DWORD level = BASS_ChannelGetLevel(m_state.CaptureChannel);
    const int peak = castengine::meterTick(m_state, level);
    setConsoleBar(peak / castengine::ConsoleBarDivisor);
    ++m_state.MeterTicks;
    if (m_state.MeterTicks % castengine::CountSkipEvery == 0)
        return;
    queryListeners();
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
    if (QProgressBar* bar = consoleBar())
        bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
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
    if (e->type() == WM_CAST_BUTTON || e->type() == WM_CAST_RUN || e->type() == WM_CAST_RECONNECT) {
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
    if (m.type() == WM_CAST_BUTTON) {
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
    m_reconnecting = true;
    m_reconnectAttempt = 0;
    m_reconnectTimer.start(castengine::reconnectDelayMs(0) / m_reconnectSpeedup);
}

void TfmShoutcast2::stopReconnecting()
{
    m_reconnecting = false;
    m_reconnectAttempt = 0;
    m_reconnectTimer.stop();
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
    StartCast(); // on success it ends the reconnection
    if (m_reconnecting) {
        ++m_reconnectAttempt;
        m_reconnectTimer.start(castengine::reconnectDelayMs(m_reconnectAttempt) /
                               m_reconnectSpeedup);
    }
}
