#pragma once
#include <QString>

class QWidget;

// The desktop shell: opening an address in the user's browser and starting a command.
// Results are not reported to the caller: the product never tells the user about them.
class Shell {
public:
    enum ShowCommand { ShowNormal = 1, ShowMaximized = 3 };
    virtual ~Shell() = default;
    // Opens address with the verb "open". parameters is what the address's own row hands
    // along; a browser takes the address alone.
    virtual void open(QWidget* owner, const QString& address, const QString& parameters,
                      ShowCommand show) = 0;
    // Starts a command line detached from the program.
    virtual void run(const QString& commandLine) = 0;
};

class DesktopShell final : public Shell {
public:
    void open(QWidget* owner, const QString& address, const QString& parameters,
              ShowCommand show) override;
    void run(const QString& commandLine) override;
};
