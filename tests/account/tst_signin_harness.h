#pragma once
// What the sign-in tests share: the program's sixteen objects created on a service database
// of the test's own (SQLite, or a catalog of a private PostgreSQL server), and the boxes the
// run shows, recorded and closed the way a user closes them (BoxRecorder).
#include "UfmShoutcast2.h"
#include "appconfig.h"
#include "apprun.h"
#include "boxrecorder.h"
#include "fakeshell.h"
#include "forms.h"
#include "program.h"
#include "signinaccess.h"
#include "stationprofile.h"
#include "testbackends.h"
#include "testdb.h"
#include "ufmLogin.h"
#include "ufmWMA.h"

#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QTest>
#include <memory>

namespace signintest {

// The program's objects on one configuration and mixer backend, as start-up makes them.
class Session {
public:
    Session(const AppConfig& config, MixerBackend& mixer)
        : m_config(config), m_ctx{m_config, m_profile, m_run, m_shell, mixer}, m_program(m_ctx)
    {
        boxes.install(m_run);
    }
    ~Session()
    {
        m_program.destroy();
        // An end request's quit may still be queued: let it go before the next test.
        QCoreApplication::processEvents();
    }

    // Creates the objects and shows the main window (its show step runs); false (with the error)
    // when start-up failed.
    bool start(QString* error = nullptr, bool show = true)
    {
        try {
            m_program.create();
        } catch (const AppError& e) {
            if (error)
                *error = e.text();
            return false;
        }
        if (show)
            m_program.showMain();
        return true;
    }
    void showMain() { m_program.showMain(); }

    // Types into the two fields (replacing what they hold) and presses Enter in the last one.
    void signIn(const QString& email, const QString& password)
    {
        fmLogin->edUser->clear();
        fmLogin->edPassword->clear();
        QTest::keyClicks(fmLogin->edUser, email);
        QTest::keyClicks(fmLogin->edPassword, password);
        QTest::keyClick(fmLogin->edPassword, Qt::Key_Return);
    }

    Program& program() { return m_program; }
    AppRun& run() { return m_run; }
    StationProfile& profile() { return m_profile; }
    FakeShell& shell() { return m_shell; }
    const AppConfig& config() const { return m_config; }

    BoxRecorder boxes;

private:
    AppConfig m_config;
    StationProfile m_profile;
    AppRun m_run;
    FakeShell m_shell;
    AppContext m_ctx;
    Program m_program;
};

} // namespace signintest
