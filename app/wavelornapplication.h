#pragma once
#include <QApplication>

class AppRun;

// The application object: an error that a handler lets through is shown in an error box
// captioned with the title, and the program goes on.
class WavelornApplication : public QApplication {
public:
    WavelornApplication(int& argc, char** argv);
    void setRun(AppRun* run) { m_run = run; }
    bool notify(QObject* receiver, QEvent* event) override;

private:
    AppRun* m_run = nullptr;
};
