#pragma once
#include "appcontext.h"
#include "windowlinks.h"

#include <QObject>
#include <functional>
#include <memory>
#include <vector>

// Start-up and exit: the sixteen objects of the program, created once in their order, each
// completely before the next, and destroyed in the reverse order.
class Program {
public:
    explicit Program(AppContext& ctx);
    ~Program();

    // Creates every object; throws what a creation throws, with the objects made so far
    // destroyed again.
    void create();
    // Shows the main window (its show step runs).
    void showMain();
    // Destroys the objects, the last created first, then empties the station profile.
    void destroy();

    // The created objects in creation order.
    std::vector<QObject*> objects() const;

    // What the console is handed of the sign-in window.
    SignInAccess& consoleSignIn() { return m_consoleSignIn; }

private:
    // Creates a T (given the context when it takes one, then args) and points reference at it.
    template <class T, class... Args> T* make(T*& reference, Args&&... args);

    AppContext& m_ctx;
    BroadcastHandoff m_handoff;
    ConsoleSignIn m_consoleSignIn;
    std::vector<std::unique_ptr<QObject>> m_objects;
    // One per object, in the same order: empties the object's process-wide reference.
    std::vector<std::function<void()>> m_clearReferences;
};

class AppRun;
class WavelornApplication;
struct AppConfig;

// The whole run of the program on the given configuration: start-up, the event loop until
// an end request, exit. Returns the process's exit code.
// beforeStart, for tests, sees the run before the first object is created.
int runProgram(WavelornApplication& app, const AppConfig& config, Shell& shell,
               MixerBackend& mixerBackend, const std::function<void(AppRun&)>& beforeStart = {});

// Brings the program's front window to the front: an open modal box, else the console when it
// is shown (signed in), else the sign-in window. token: a Wayland activation token, or empty.
void raiseFrontWindow(const QString& token);
