#pragma once
#include "shell.h"

#include <QList>
#include <QString>

// Records what the program asks of the shell.
class FakeShell final : public Shell {
public:
    struct Call {
        QString kind; // "open" or "run"
        QString address;
        QString parameters;
        int show = 0;
    };
    void open(QWidget*, const QString& address, const QString& parameters,
              ShowCommand show) override
    {
        calls.append({QStringLiteral("open"), address, parameters, show});
    }
    void run(const QString& commandLine) override
    {
        calls.append({QStringLiteral("run"), commandLine, QString(), 0});
    }
    QList<Call> calls;
};
