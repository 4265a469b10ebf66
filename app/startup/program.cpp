#include "program.h"

#include "UfmShoutCast.h"
#include "UfmShoutcast2.h"
#include "Ufmdm.h"
#include "appconfig.h"
#include "apperror.h"
#include "apprun.h"
#include "forms.h"
#include "hiddenwindows.h"
#include "ownerstatus.h"
#include "programhalt.h"
#include "stationprofile.h"
#include "ufmLogin.h"
#include "ufmRegistrazione.h"
#include "ufmRip.h"
#include "ufmWMA.h"
#include "wavelornapplication.h"
#include "wllog.h"

#include <QApplication>
#include <exception>

Program::Program(AppContext& ctx) : m_ctx(ctx) {}

Program::~Program()
{
    destroy();
}

template <class T> T* Program::make(T*& reference)
{
    std::unique_ptr<T> object;
    if constexpr (std::is_constructible_v<T, AppContext&>)
        object = std::make_unique<T>(m_ctx);
    else
        object = std::make_unique<T>();
    reference = object.get();
    m_references.push_back(reinterpret_cast<void**>(&reference));
    m_objects.push_back(std::move(object));
    return reference;
}

void Program::create()
{
    try {
        make(fmLogin);
        // A catalog that opens but cannot serve (not a database, truncated, no accounts
        // table) ends the start-up here, not at the first sign-in.
        fmLogin->checkCatalog();
        make(fmRegistrazione);
        make(fmMusica2);
        make(dm);
        make(fmFrasiPredefinite);
        make(fmCrealatuaradiowm);
        make(fmRip);
        make(fmCollegati);
        make(fmCreazioneCollegati);
        make(fmAscolta);
        make(fmStatistiche2);
        make(fmPannelloDiControlloShoutcast);
        make(FMATTESA);
        make(fmShoutcast2);
        make(Form2wma);
        // The console reaches the sign-in window's mixer, line index and account reads.
        Form2wma->setSignIn(fmLogin);
        Form2wma->setEngine(fmShoutcast2);
        // The engine's meter moves the console's level bar.
        QObject::connect(fmShoutcast2, &TfmShoutcast2::consoleMeterChanged, Form2wma,
                         &TForm2wma::showInputLevel);
        make(fmShoutCast7);
    } catch (...) {
        destroy();
        throw;
    }
}

void Program::showMain()
{
    fmLogin->show();
}

void Program::destroy()
{
    while (!m_objects.empty()) {
        m_objects.pop_back();
        *m_references.back() = nullptr;
        m_references.pop_back();
    }
    m_ctx.profile.clear();
}

std::vector<QObject*> Program::objects() const
{
    std::vector<QObject*> list;
    for (const auto& o : m_objects)
        list.push_back(o.get());
    return list;
}

int runProgram(WavelornApplication& app, const AppConfig& config, Shell& shell,
               MixerBackend& mixerBackend, const std::function<void(AppRun&)>& beforeStart)
{
    StationProfile profile;
    AppRun run;
    app.setRun(&run);
    if (beforeStart)
        beforeStart(run);
    AppContext ctx{config, profile, run, shell, mixerBackend};
    Program program(ctx);
    try {
        program.create();
    } catch (const ProgramHalt& halt) {
        app.setRun(nullptr);
        return halt.exitCode;
    } catch (const AppError& e) {
        run.showError(e.text());
        app.setRun(nullptr);
        return 1;
    } catch (const std::exception& e) {
        run.showError(QString::fromUtf8(e.what()));
        app.setRun(nullptr);
        return 1;
    }
    {
        OwnerStatus owner(run);
        program.showMain();
        QApplication::exec();
    }
    program.destroy();
    app.setRun(nullptr);
    return 0;
}

void raiseFrontWindow(const QString& token)
{
    QWidget* window = QApplication::activeModalWidget();
    if (!window && Form2wma && Form2wma->isVisible())
        window = Form2wma;
    if (!window && fmLogin && fmLogin->isVisible())
        window = fmLogin;
    if (!window) {
        qCInfo(lcUi, "no window to bring to the front yet");
        return;
    }
    // Qt's Wayland plugin activates with the token found in the environment.
    if (!token.isEmpty())
        qputenv("XDG_ACTIVATION_TOKEN", token.toUtf8());
    window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->raise();
    window->activateWindow();
    qCInfo(lcUi, "brought %s to the front", qUtf8Printable(window->objectName()));
}
