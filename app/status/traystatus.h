#pragma once
// The station in the desktop's tray (StatusNotifierItem on today's desktops, through Qt):
// one icon whose look says on air, reconnecting, off air or dead air, a tooltip with the
// listeners and the time on air, and a menu that opens the windows and ends the program.
// Where the desktop has no tray nothing is shown and nothing else changes.
#include "stationstatus.h"

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QTimer>
#include <memory>

class QSystemTrayIcon;

class TrayStatus : public QObject {
    Q_OBJECT
public:
    explicit TrayStatus(StationStatus* status, QObject* parent = nullptr);
    ~TrayStatus() override;

    // False where the desktop has no tray: the object then does nothing.
    bool isShown() const { return m_tray != nullptr; }

    // The icon for each state, drawn here (also for the windows that want to show it).
    static QIcon iconFor(StationStatus::State state);
    // The tooltip's text for the status as it is now.
    static QString toolTipFor(const StationStatus& status);
    QMenu* menu() { return &m_menu; }

signals:
    void showConsoleRequested();
    void showEngineRequested();
    void showLogRequested();
    void quitRequested(); // "Esci": the end request

private:
    void refresh();

    StationStatus* m_status;
    QMenu m_menu;
    std::unique_ptr<QSystemTrayIcon> m_tray;
    QTimer m_tick; // the time on air in the tooltip
    StationStatus::State m_shownState = StationStatus::State::OffAir;
    bool m_iconSet = false;
};
