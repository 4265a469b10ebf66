#pragma once
// What tells the owner how the station is doing while they look elsewhere: the tray icon,
// the desktop's notices, the dead-air note, the log window (Ctrl+L on the console) and the
// music player's titles. Made after the windows, destroyed before them.
#include "desktopnotices.h"
#include "logwindow.h"
#include "mpristitlesource.h"
#include "stationstatus.h"
#include "traystatus.h"

#include <QObject>
#include <memory>

class AppRun;

class OwnerStatus : public QObject {
    Q_OBJECT
public:
    explicit OwnerStatus(AppRun& run, QObject* parent = nullptr);
    ~OwnerStatus() override;

    StationStatus& status() { return m_status; }
    LogWindow& logWindow() { return m_log; }
    DesktopNotices& notices() { return *m_notices; }

private:
    void followEngine();

    AppRun& m_run;
    StationStatus m_status;
    LogWindow m_log;
    std::unique_ptr<TrayStatus> m_tray;
    std::unique_ptr<DesktopNotices> m_notices;
    std::unique_ptr<MprisTitleSource> m_player;
};
