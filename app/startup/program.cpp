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
#include <QEvent>
#include <exception>

namespace {

// The engine's meter keeps the bar's pace only while the console that shows it can be seen:
// hidden (to the tray) or minimized, it is read as often as the dead-air watch needs.
class MeterSight : public QObject {
public:
    MeterSight(TForm2wma* console, TfmShoutcast2* engine)
        : QObject(console), m_console(console), m_engine(engine)
    {
        console->installEventFilter(this);
        follow();
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        switch (event->type()) {
        case QEvent::Show:
        case QEvent::Hide:
        case QEvent::WindowStateChange:
            follow();
            break;
        default:
            break;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    void follow() { m_engine->setMeterSeen(m_console->isVisible() && !m_console->isMinimized()); }

    TForm2wma* m_console;
    TfmShoutcast2* m_engine;
};

} // namespace

Program::Program(AppContext& ctx) : m_ctx(ctx) {}

Program::~Program()
{
    destroy();
}

template <class T, class... Args> T* Program::make(T*& reference, Args&&... args)
{
    std::unique_ptr<T> object;
    if constexpr (std::is_constructible_v<T, AppContext&, Args...>)
        object = std::make_unique<T>(m_ctx, std::forward<Args>(args)...);
    else
        object = std::make_unique<T>(std::forward<Args>(args)...);
    reference = object.get();
    m_clearReferences.push_back([&reference] { reference = nullptr; });
    m_objects.push_back(std::move(object));
    return reference;
}

namespace {

// Destroys what a creation made so far unless the creation got to its end.
class CreationGuard {
public:
    explicit CreationGuard(Program& program) : m_program(program) {}
    ~CreationGuard()
    {
        if (!m_done)
            m_program.destroy();
    }
    CreationGuard(const CreationGuard&) = delete;
    CreationGuard& operator=(const CreationGuard&) = delete;
    void done() { m_done = true; }

private:
    Program& m_program;
    bool m_done = false;
};

} // namespace

void Program::create()
{
    CreationGuard guard(*this);
    make(fmLogin);
    // A catalog that opens but cannot serve (not a database, truncated, no accounts table)
    // ends the start-up here, not at the first sign-in.
    fmLogin->checkCatalog();
    // Sign-up runs its queries on the sign-in connection.
    make(fmRegistrazione, &fmLogin->dbsql());
    fmLogin->setSignUpWindow(fmRegistrazione);
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
    // The console reaches the sign-in window's mixer, line index and account reads; sign-in
    // hands the console and the engine window the station.
    Form2wma->setSignIn(&m_consoleSignIn);
    fmLogin->setHandoff(&m_handoff);
    Form2wma->setEngine(fmShoutcast2);
    // The engine's meter moves the console's level bar.
    QObject::connect(fmShoutcast2, &TfmShoutcast2::consoleMeterChanged, Form2wma,
                     &TForm2wma::showInputLevel);
    new MeterSight(Form2wma, fmShoutcast2); // owned by the console
    make(fmShoutCast7);
    guard.done();
}

void Program::showMain()
{
    fmLogin->show();
}

void Program::destroy()
{
    while (!m_objects.empty()) {
        m_objects.pop_back();
        m_clearReferences.back()();
        m_clearReferences.pop_back();
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
