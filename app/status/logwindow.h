#pragma once
// The log window ("Registro"): the last lines of the program's log, newest last, warnings and
// errors in red, with "Copia" to copy them all. It collects from its creation, shown or not;
// lines reach it from the logging threads by a queued call, masked by redactLogLine().
#include <QStringList>
#include <QWidget>
#include <deque>
#include <mutex>

class QPlainTextEdit;

class LogWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int maxLines = 1000;

    explicit LogWindow(QWidget* parent = nullptr);
    ~LogWindow() override;

    // Shows the window (Ctrl+L on the console, the tray's menu) and brings it to the front.
    void showWindow();
    // The lines it holds, oldest first.
    QStringList lines() const;
    // Copies every line to the clipboard ("Copia").
    void copyAll();

protected:
    void showEvent(QShowEvent* event) override;

private:
    struct Entry {
        QString text;
        bool alert = false; // a warning or worse: shown in red
    };

    void takePending();
    void refill();
    void append(const Entry& entry);

    int m_sink = 0;
    std::mutex m_mutex; // guards the two below, written by the logging threads
    std::deque<Entry> m_pending;
    bool m_posted = false;

    std::deque<Entry> m_lines;
    QPlainTextEdit* m_view;
};
