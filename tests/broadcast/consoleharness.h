#pragma once
// What the console's tests share: the program's sixteen objects on a service database of the
// test's own, the boxes of the run recorded and closed as a user closes them, sign-in, and the
// sign-in window handed to the console as its sign-in side, as start-up hands it.
#include "UfmShoutcast2.h"
#include "WaveMixer.h"
#include "appconfig.h"
#include "apprun.h"
#include "fakemixerbackend.h"
#include "fakeshell.h"
#include "forms.h"
#include "program.h"
#include "signinaccess.h"
#include "stationprofile.h"
#include "testdb.h"
#include "ufmLogin.h"
#include "ufmWMA.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <functional>
#include <memory>

namespace consoletest {

// Three source lines; the second is the console line ("Altoparlanti").
inline void threeLines(FakeMixerBackend& fake)
{
    FakeMixerBackend::Destination d;
    d.line = {100, QStringLiteral("Riproduzione"), {FakeMixerBackend::volume(1000)}};
    d.sources = {
        {101, QStringLiteral("Line In"), {FakeMixerBackend::volume(1001, 65535, 0)}},
        {102, QStringLiteral("Altoparlanti (scheda)"), {FakeMixerBackend::volume(1002, 65535, 0)}},
        {103, QStringLiteral("Microfono"), {FakeMixerBackend::volume(1003, 65535, 0)}},
    };
    fake.devices = {{QStringLiteral("Scheda audio di prova"), {d}}};
}

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
        threeLines(m_mixer);
        m_run.setWaitHook([this](QWidget& w) {
            if (auto* box = qobject_cast<QMessageBox*>(&w)) {
                waited << box->text();
                if (onBox)
                    onBox(box->text());
                if (!box->buttons().isEmpty())
                    box->buttons().first()->click();
                else
                    box->reject();
            } else if (auto* dialog = qobject_cast<QDialog*>(&w)) {
                waited << dialog->windowTitle();
                dialog->reject();
            }
        });
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
        Form2wma->setSignIn(fmLogin);
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

    QStringList waited;                        // the texts of the boxes that waited
    std::function<void(const QString&)> onBox; // called while a box waits, before it closes

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
