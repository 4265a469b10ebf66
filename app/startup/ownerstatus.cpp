#include "ownerstatus.h"

#include "UfmShoutcast2.h"
#include "apprun.h"
#include "forms.h"
#include "ufmWMA.h"
#include "wllog.h"

#include <QKeySequence>
#include <QShortcut>

namespace {

void bringUp(QWidget* w)
{
    if (!w)
        return;
    w->show();
    w->setWindowState(w->windowState() & ~Qt::WindowMinimized);
    w->raise();
    w->activateWindow();
}

} // namespace

OwnerStatus::OwnerStatus(AppRun& run, QObject* parent) : QObject(parent), m_run(run)
{
    m_tray = std::make_unique<TrayStatus>(&m_status);
    m_notices = std::make_unique<DesktopNotices>(&m_status);
    m_player = std::make_unique<MprisTitleSource>();

    connect(m_tray.get(), &TrayStatus::showConsoleRequested, this, [] { bringUp(Form2wma); });
    connect(m_tray.get(), &TrayStatus::showEngineRequested, this, [] { bringUp(fmShoutcast2); });
    connect(m_tray.get(), &TrayStatus::showLogRequested, this, [this] { m_log.showWindow(); });
    connect(m_tray.get(), &TrayStatus::quitRequested, this, [this] { m_run.requestEnd(); });
    connect(&m_run, &AppRun::endRequestedSignal, this, [this] { m_notices->stop(); });

    if (fmShoutcast2) {
        TfmShoutcast2* e = fmShoutcast2;
        connect(e, &TfmShoutcast2::airStateChanged, this, &OwnerStatus::followEngine);
        // Each failed attempt while reconnecting brings its own cause: the notice and the
        // tooltip give the latest, the words of the log's line about it.
        connect(e, &TfmShoutcast2::attemptFinished, this, &OwnerStatus::followEngine);
        connect(e, &TfmShoutcast2::captureLostChanged, &m_status, &StationStatus::setCaptureLost);
        connect(e, &TfmShoutcast2::listenersChanged, &m_status, &StationStatus::setListeners);
        connect(e, &TfmShoutcast2::levelRead, &m_status, &StationStatus::setLevel);
        connect(e, &TfmShoutcast2::recordingFailed, m_notices.get(),
                &DesktopNotices::recordingStopped);
        connect(m_player.get(), &MprisTitleSource::titleChanged, e, &TfmShoutcast2::setPlayerTitle);
    }
    if (Form2wma) {
        TForm2wma* console = Form2wma;
        connect(&m_status, &StationStatus::changed, console, [this, console] {
            console->setDeadAir(m_status.state() == StationStatus::State::DeadAir);
        });
        auto* showLog = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_L), console);
        connect(showLog, &QShortcut::activated, this, [this] { m_log.showWindow(); });
    }
}

OwnerStatus::~OwnerStatus()
{
    m_notices->stop();
}

void OwnerStatus::followEngine()
{
    switch (fmShoutcast2->airState()) {
    case TfmShoutcast2::AirState::OnAir:
        m_status.setOnAir();
        break;
    case TfmShoutcast2::AirState::Reconnecting:
        m_status.setReconnecting(fmShoutcast2->lastFailure());
        break;
    case TfmShoutcast2::AirState::Off:
        m_status.setOffAir(fmShoutcast2->lastFailure());
        break;
    }
}
