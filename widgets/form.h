#pragma once
#include <QWidget>

class QCloseEvent;

// A window of the program: one instance for the run, created at start-up. Closing it hides
// it, except for the main window, whose close is an end request.
class TForm : public QWidget {
    Q_OBJECT
public:
    TForm(const QString& instanceName, const QString& caption, QWidget* parent = nullptr);

    // A fixed single border: the client area is w x h and the user cannot resize it.
    void setFixedClientSize(int w, int h);
    // Centres the window on the primary screen.
    void centreOnScreen();
};
