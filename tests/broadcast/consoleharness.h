#pragma once
// What the console's tests share: the program's sixteen objects on a service database of the
// test's own, the boxes of the run recorded and closed as a user closes them, sign-in, and the
// sign-in window handed to the console as its sign-in side, as start-up hands it.
#include "UfmShoutcast2.h"
#include "WaveMixer.h"
#include "appconfig.h"
#include "apprun.h"
#include "boxrecorder.h"
#include "fakemixerbackend.h"
#include "fakeshell.h"
#include "forms.h"
#include "program.h"
#include "signinaccess.h"
#include "stationprofile.h"
#include "testdb.h"
#include "ufmLogin.h"
#include "ufmWMA.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QTest>
#include <memory>

namespace consoletest {

inline TestAccount radioUno()
{
    TestAccount a;
    a.email = QStringLiteral("UNO@RADIO.EXAMPLE");
    a.password = QStringLiteral("SEGRETA");
    a.station = QStringLiteral("Radio Uno");
    a.port = 10020;
    return a;
}

class Session {
public:
    explicit Session(std::unique_ptr<TestDb> db = TestDb::sqlite())
        : m_db(std::move(db)),
          m_config(m_db->config()), m_ctx{m_config, m_profile, m_run, m_shell, m_mixer},
          m_program(m_ctx)
    {
        m_mixer.layOutThreeLines(); // the second is the console line
        boxes.install(m_run);
    }
    ~Session()
    {
        m_program.destroy();
        QCoreApplication::processEvents();
    }

    // Creates the objects as start-up does and hands the console the sign-in side.
    bool start(QString* error = nullptr)
    {
        try {
            m_program.create();
        } catch (const AppError& e) {
            if (error)
                *error = e.text();
            return false;
        }
        Form2wma->setSignIn(&m_program.consoleSignIn());
        Form2wma->setEngine(fmShoutcast2);
        m_program.showMain();
        return true;
    }

    void signIn(const TestAccount& a)
    {
        fmLogin->edUser->setText(a.email);
        fmLogin->edPassword->setText(a.password);
        fmLogin->lbEntraClick();
    }

    TestDb& db() { return *m_db; }
    AppRun& run() { return m_run; }
    StationProfile& profile() { return m_profile; }
    FakeShell& shell() { return m_shell; }
    FakeMixerBackend& mixer() { return m_mixer; }
    const AppConfig& config() const { return m_config; }

    BoxRecorder boxes;

private:
    std::unique_ptr<TestDb> m_db;
    AppConfig m_config;
    StationProfile m_profile;
    AppRun m_run;
    FakeShell m_shell;
    FakeMixerBackend m_mixer;
    AppContext m_ctx;
    Program m_program;
};

} // namespace consoletest
