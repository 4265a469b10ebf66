#include "consolecourse.h"

#include "UfmShoutcast2.h"
#include "serviceaddresses.h"
#include "signinaccess.h"
#include "stationprofile.h"
#include "threadhandoff.h"
#include "wllog.h"

#include <QStandardPaths>
#include <QTimer>
#include <algorithm>

// One publishing open on the worker. The encoder it brings belongs to whoever takes it out of
// encoder first: the course once the outcome is back, or the worker when the open was dropped
// meanwhile, or the course's end.
struct ConsoleCourse::Open {
    std::atomic<HWMENCODE> encoder{0};
    std::atomic<bool> dropped{false};
    QByteArray address;
    QString error; // written by the worker before the outcome is posted
};

ConsoleCourse::ConsoleCourse(AppContext& ctx, QObject* parent) : QObject(parent), m_ctx(ctx)
{
    m_worker.setMaxThreadCount(1);
    m_worker.setObjectName(QStringLiteral("publishing"));

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(50000);
    connect(Timer1, &QTimer::timeout, this, &ConsoleCourse::statusTick);

    TMRECONNECT2 = new QTimer(this);
    TMRECONNECT2->setObjectName(QStringLiteral("TMRECONNECT2"));
    TMRECONNECT2->setInterval(15000);
    connect(TMRECONNECT2, &QTimer::timeout, this, &ConsoleCourse::reconnectTick);
    TMRECONNECT2->start();
}

ConsoleCourse::~ConsoleCourse()
{
    end();
}

void ConsoleCourse::end()
{
    if (m_ended)
        return;
    m_ended = true;
    Timer1->stop();
    TMRECONNECT2->stop();
    for (const auto& open : m_opens)
        open->dropped = true;
    m_open.reset();
    // A pending open ends within its own bound; closes queued before it go out first.
    m_worker.waitForDone();
    wl::handoffAcquire(&m_worker);
    for (const auto& open : m_opens)
        if (const HWMENCODE encoder = open->encoder.exchange(0))
            BASS_WMA_EncodeClose(encoder);
    m_opens.clear();
    if (PublishEncoder != 0 && PublishEncoder != m_closed)
        BASS_WMA_EncodeClose(PublishEncoder);
}

// ---------------------------------------------------------------------------------------------
// The engine

void ConsoleCourse::watchEngine()
{
    if (m_watchingEngine || !m_engine)
        return;
    m_watchingEngine = true;
    connect(m_engine, &TfmShoutcast2::airStateChanged, this, &ConsoleCourse::followEngine);
    connect(m_engine, &TfmShoutcast2::attemptFinished, this, &ConsoleCourse::followEngine);
    connect(m_engine, &TfmShoutcast2::captureLostChanged, this, &ConsoleCourse::captureLostChanged);
    emit captureLostChanged(m_engine->captureLost());
}

void ConsoleCourse::followEngine()
{
    if (!m_engine)
        return;
    QString caption = goOnAirCaption();
    switch (m_engine->airState()) {
    case TfmShoutcast2::AirState::OnAir:
        caption = onAirCaption();
        break;
    case TfmShoutcast2::AirState::Reconnecting:
        caption = reconnectingCaption();
        break;
    case TfmShoutcast2::AirState::Off:
        break;
    }
    if (m_caption == caption)
        return;
    qCInfo(lcUi).noquote() << "Go-on-air button:" << caption;
    m_caption = caption;
    emit captionChanged(caption);
}

void ConsoleCourse::showStep()
{
    watchEngine();
    if (m_engine)
        m_engine->StartCast();
}

void ConsoleCourse::goOnAir()
{
    TfmShoutcast2* engine = m_engine;
    if (!engine)
        return;
    watchEngine();
    // A click while an attempt or a publishing start is on its way does nothing: its outcome
    // decides.
    if (goOnAirPending() || engine->attemptPending())
        return;
    engine->RestartPending = false;
    // The caption as the owner saw it when clicking: on the air, or anything else.
    const bool wasOnAir = m_caption == onAirCaption();
    engine->StartCast();
    if (!engine->attemptPending()) {
        goOnAirRest(wasOnAir); // the live cast stays as it is
        return;
    }
    m_goOnAirPending = true;
    connect(
        engine, &TfmShoutcast2::attemptFinished, this,
        [this, wasOnAir] {
            m_goOnAirPending = false;
            goOnAirRest(wasOnAir);
        },
        Qt::SingleShotConnection);
}

void ConsoleCourse::goOnAirRest(bool wasOnAir)
{
    TfmShoutcast2* engine = m_engine;
    if (!engine)
        return;
    if (wasOnAir) {
        engine->RestartPending = false;
    } else {
        if (BASS_ChannelIsActive(PublishChannel) == 0) {
            engine->RestartPending = true;
            engine->StartCast(); // a second try when the first did not reach the air
        } else {
            engine->RestartPending = false;
        }
        if (m_autoReconnect)
            TMRECONNECT2->start();
    }
    // The caption says what is on the air.
    followEngine();
    engine->show();
    if (PublishChannel == 0)
        startPublishing();
}

void ConsoleCourse::reconnectTick()
{
    if (m_engine)
        m_engine->btn_startClick();
}

// ---------------------------------------------------------------------------------------------
// Publishing

void ConsoleCourse::startPublishing()
{
    if (m_open || m_ended)
        return; // its outcome decides
    ++m_publishingStarts;
    auto open = std::make_shared<Open>();
    open->address = m_publishingPoint.toLocal8Bit();
    m_open = open;
    m_opens.push_back(open);
    const auto bitrate = static_cast<DWORD>(WmaBitrate);
    m_worker.start(wl::tsanHandoff(
        [this, open, bitrate] {
            // On the worker: the audio layer only.
            const HWMENCODE encoder =
                BASS_WMA_EncodeOpenPublish(44100, 2, BASS_WMA_ENCODE_SOURCE, bitrate,
                                           open->address.constData(), nullptr, nullptr);
            if (encoder == 0)
                open->error = QString::fromLocal8Bit(BASS_WMA_LastErrorText());
            open->encoder = encoder;
            if (open->dropped) {
                if (const HWMENCODE unwanted = open->encoder.exchange(0))
                    BASS_WMA_EncodeClose(unwanted);
                return;
            }
            QMetaObject::invokeMethod(this,
                                      wl::tsanHandoff([this, open] { publishingOpened(open); }),
                                      Qt::QueuedConnection);
        },
        &m_worker));
}

void ConsoleCourse::publishingOpened(const std::shared_ptr<Open>& open)
{
    std::erase(m_opens, open);
    const HWMENCODE encoder = open->encoder.exchange(0);
    if (open != m_open) {
        // Stopped meanwhile: the connection it brings is not wanted.
        if (encoder != 0) {
            qCInfo(lcPublish) << "a publishing start that was stopped meanwhile is closed";
            closeLater(encoder);
        }
        return;
    }
    m_open.reset();
    PublishEncoder = encoder;
    if (encoder == 0) {
        qCWarning(lcPublish).noquote()
            << "publishing to" << QString::fromLocal8Bit(open->address) << "failed:" << open->error;
        emit publishingFailed(encoderErrorText());
        return;
    }
    emit publishingOnAir(onAirCaption());
    BASS_WMA_EncodeSetTag(encoder, "Title", open->address.constData(), BASS_WMA_TAG_ANSI);
    AirSeconds = 0;
    PublishChannel = BASS_RecordStart(44100, 2, 0, &ConsoleCourse::PublishCaptureProc, this);
    if (PublishChannel == 0) {
        qCWarning(lcPublish).noquote()
            << "publishing stopped: no capture of the recording device:" << BASS_LastErrorText();
        closeLater(encoder);
        return;
    }
    emit publishingRunning(true);
    Timer1->start();
}

void ConsoleCourse::closeLater(HWMENCODE encoder)
{
    m_closed = encoder;
    // Ending a stream waits for the publishing point to take its end: off the GUI thread.
    m_worker.start(wl::tsanHandoff(
        [encoder] {
            if (!BASS_WMA_EncodeClose(encoder))
                qCInfo(lcPublish).noquote()
                    << "the publishing stream did not end whole:" << BASS_WMA_LastErrorText();
        },
        &m_worker));
}

BOOL ConsoleCourse::PublishCaptureProc(HRECORD, const void* buffer, DWORD length, void* user)
{
    // On the audio layer's recording thread: only the atomics of the course are touched.
    auto* self = static_cast<ConsoleCourse*>(user);
    self->AirSeconds =
        self->AirSeconds + static_cast<float>(length) / static_cast<float>(BytesPerSecond);
    return BASS_WMA_EncodeWrite(self->PublishEncoder, buffer, length);
}

QString ConsoleCourse::onAirText(DWORD port, float airSeconds)
{
    const int s = static_cast<int>(airSeconds);
    return QString::asprintf("On Air - port: %d - %d:%.2d", static_cast<int>(port), s / 60, s % 60);
}

DWORD ConsoleCourse::nextPeak(DWORD peak, DWORD level)
{
    peak = peak > LevelDecay ? peak - LevelDecay : 0;
    if (level == 0xFFFFFFFFu)
        return peak;
    return std::max({peak, level & 0xFFFFu, level >> 16});
}

void ConsoleCourse::updateStatus()
{
    QString text = QStringLiteral("Off Air");
    const HRECORD channel = PublishChannel;
    if (BASS_ChannelIsActive(channel) != 0) {
        PublishLevel = nextPeak(PublishLevel, BASS_ChannelGetLevel(channel));
        text = onAirText(BASS_WMA_EncodeGetPort(PublishEncoder), AirSeconds);
    } else {
        PublishLevel = 0;
    }
    emit statusShown(text, std::min<int>(static_cast<int>(PublishLevel / BarDivisor), BarMaximum));
}

void ConsoleCourse::stopPublishing()
{
    Timer1->stop();
    if (m_open) {
        // Its outcome, when it comes, is closed unseen.
        qCInfo(lcPublish) << "publishing stopped while its start was on its way";
        m_open->dropped = true;
        m_open.reset();
    }
    BASS_ChannelStop(PublishChannel);
    if (const HWMENCODE encoder = PublishEncoder; encoder != 0 && encoder != m_closed)
        closeLater(encoder); // the handle keeps its value, as the owner last saw it
    emit publishingRunning(false);
    updateStatus();
}

void ConsoleCourse::statusTick()
{
    if (BASS_ChannelIsActive(PublishChannel) != 0)
        updateStatus();
    else
        stopPublishing();
}

void ConsoleCourse::captionEdited(const QString& text)
{
    const HWMENCODE encoder = PublishEncoder;
    if (encoder == 0)
        return;
    if (!BASS_WMA_EncodeSetTag(encoder, "Caption", text.toLocal8Bit().constData(),
                               BASS_WMA_TAG_ANSI))
        qCInfo(lcPublish).noquote()
            << "publishing caption" << text << "not sent:" << BASS_WMA_LastErrorText();
}

// ---------------------------------------------------------------------------------------------
// The buttons' pages

ConsoleCourse::Page ConsoleCourse::playerPage()
{
    if (m_signIn)
        m_ctx.profile.stationName = m_signIn->readAccountColumn(QStringLiteral("mynomeradio"));
    return {serviceaddress::playerPage(m_ctx.config, m_ctx.profile),
            serviceaddress::secondPlayerPage(m_ctx.config, m_ctx.profile), Shell::ShowMaximized};
}

ConsoleCourse::Page ConsoleCourse::youtubePage() const
{
    return {serviceaddress::youtubeHome(m_ctx.config, m_ctx.profile),
            serviceaddress::youtubeHomeParameters(m_ctx.config, m_ctx.profile),
            Shell::ShowMaximized};
}

ConsoleCourse::Page ConsoleCourse::panelPage() const
{
    return {serviceaddress::streamingServerPage(m_ctx.config, m_ctx.profile), QString(),
            Shell::ShowNormal};
}

QString ConsoleCourse::soundSettingsCommand()
{
    if (QStandardPaths::findExecutable(QStringLiteral("pavucontrol")).isEmpty() &&
        !QStandardPaths::findExecutable(QStringLiteral("gnome-control-center")).isEmpty())
        return QStringLiteral("gnome-control-center sound");
    // A program that is not there fails to start without a word.
    return QStringLiteral("pavucontrol");
}
