#pragma once
#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>

class QDialog;
class QMessageBox;
class QWidget;

// The run of the program: its title, the message box every window shows its texts in, and
// the end request.
//
// After requestEnd() the running handler goes on to its end; every message box or modal
// window opened from then on closes at once, and the event loop ends as soon as control is
// back in it.
class AppRun : public QObject {
    Q_OBJECT
public:
    static QString title() { return QStringLiteral("WAVELORN Encoder"); }

    explicit AppRun(QObject* parent = nullptr);

    void requestEnd();
    bool endRequested() const { return m_endRequested; }

    // A modal box centred on the screen, captioned with the title, the text and one "OK"
    // button, no icon. Returns once the user has closed it (at once after an end request).
    void showMessage(const QString& text);

    // The error box of an error a handler let through: captioned with the title.
    void showError(const QString& text);

    // Runs dialog modally, honouring the end request. Returns QDialog::exec's result.
    int execModal(QDialog& dialog);

    // Every text shown in a message or error box, in order (for tests and diagnostics).
    const QStringList& shownTexts() const { return m_shown; }

    // Tests: called once a box or modal window waits for the user, with that window. The
    // hook may close it (a click on OK); without a hook the box waits for a real user.
    void setWaitHook(std::function<void(QWidget&)> hook) { m_waitHook = std::move(hook); }

signals:
    void endRequestedSignal();

private:
    int runModal(QDialog& dialog);

    bool m_endRequested = false;
    QStringList m_shown;
    std::function<void(QWidget&)> m_waitHook;
};
