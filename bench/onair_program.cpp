// The program as bench_onair runs it: main.cpp's start-up on a catalog of the bench's own,
// with the owner's part played by the program itself. Once the sign-in window is up and the
// mixer knows the sound server, it types the e-mail and the password, clicks "Entra" and
// closes each box as an owner does (its first button); then it stays on the air until its
// standard input ends.
//
//   onair_program CATALOG EMAIL PASSWORD [--minimized]
//
// --minimized: once on the air, the console and the engine window are minimized, as an owner
// leaves them for the day.
//
// Standard output gets "entra <ns>" at the click and "onair <ns> <1|0>" when the first start
// attempt ends, in CLOCK_MONOTONIC nanoseconds.
#include "UfmShoutcast2.h"
#include "appconfig.h"
#include "apprun.h"
#include "forms.h"
#include "logfile.h"
#include "platformmixer.h"
#include "program.h"
#include "shell.h"
#include "singleinstance.h"
#include "ufmLogin.h"
#include "ufmWMA.h"
#include "wavelornapplication.h"
#include "wllog.h"

#include <QAbstractButton>
#include <QDialog>
#include <QFileInfo>
#include <QIcon>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

long long monotonicNs()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000000LL + t.tv_nsec;
}

void say(const char* what, const char* extra = "")
{
    std::printf("%s %lld%s\n", what, monotonicNs(), extra);
    std::fflush(stdout);
}

void click(QWidget* w)
{
    const QPointF at(w->width() / 2.0, w->height() / 2.0);
    const QPointF global = w->mapToGlobal(at);
    QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(w, &press);
    QCoreApplication::sendEvent(w, &release);
}

} // namespace

int main(int argc, char** argv)
{
    const bool minimize = argc == 5 && std::strcmp(argv[4], "--minimized") == 0;
    if (argc != 4 && !minimize) {
        std::fprintf(stderr, "usage: %s CATALOG EMAIL PASSWORD [--minimized]\n", argv[0]);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    wllog::install();
    WavelornApplication app(argc, argv);
    QGuiApplication::setDesktopFileName(QLatin1String(kApplicationId));
    QGuiApplication::setWindowIcon(QIcon::fromTheme(QLatin1String(kApplicationId)));
    SingleInstance instance{QLatin1String(kApplicationId)};
    if (instance.claim() != SingleInstance::Role::Primary)
        return 1;
    LogFile logFile;
    AppConfig config = AppConfig::builtIn();
    const QString catalog = QFileInfo(QString::fromLocal8Bit(argv[1])).absoluteFilePath();
    config.dbDriver = QStringLiteral("QSQLITE");
    config.serviceDb.catalog = catalog;
    config.secondDb.catalog = catalog;
    config.programDir = QFileInfo(catalog).absolutePath();
    const QString email = QString::fromLocal8Bit(argv[2]);
    const QString password = QString::fromLocal8Bit(argv[3]);
    DesktopShell shell;
    auto mixerBackend = createPlatformMixerBackend();

    // The end of standard input ends the program, as the tray's "Esci" would.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    AppRun* theRun = nullptr;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char c;
        if (::read(STDIN_FILENO, &c, 1) <= 0) {
            input.setEnabled(false);
            if (theRun)
                theRun->requestEnd();
            QCoreApplication::quit();
        }
    });

    return runProgram(app, config, shell, *mixerBackend, [&](AppRun& run) {
        theRun = &run;
        run.setWaitHook([](QWidget& w) {
            if (auto* box = qobject_cast<QMessageBox*>(&w); box && !box->buttons().isEmpty())
                box->buttons().first()->click();
            else if (auto* dialog = qobject_cast<QDialog*>(&w))
                dialog->reject();
        });
        // An owner reads the window before typing: the click comes once the window is shown
        // and the mixer has the sound server's devices, and half a second more has passed.
        auto* poll = new QTimer(&app);
        poll->setInterval(20);
        const long long since = monotonicNs();
        QObject::connect(poll, &QTimer::timeout, &app,
                         [poll, since, &mixerBackend, email, password, minimize] {
                             const bool ready = fmLogin && fmLogin->isVisible() && fmShoutcast2 &&
                                                mixerBackend->deviceCount() > 0;
                             if (!ready && monotonicNs() - since < 10000000000LL)
                                 return;
                             if (monotonicNs() - since < 500000000LL)
                                 return;
                             poll->deleteLater();
                             poll->stop();
                             QObject::connect(fmShoutcast2, &TfmShoutcast2::attemptFinished,
                                              fmShoutcast2, [minimize](bool onAir) {
                                                  static bool once = false;
                                                  if (once)
                                                      return;
                                                  once = true;
                                                  if (minimize) {
                                                      Form2wma->showMinimized();
                                                      fmShoutcast2->showMinimized();
                                                  }
                                                  say("onair", onAir ? " 1" : " 0");
                                              });
                             fmLogin->edUser->setText(email);
                             fmLogin->edPassword->setText(password);
                             say("entra");
                             click(fmLogin->lbEntra);
                         });
        poll->start();
    });
}
