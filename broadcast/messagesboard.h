#pragma once
// The listeners' messages board on the right half of the live console: the list of the
// station's messages (DBGMESSAGGI2), the selected message's text (DBMMESSAGGIO), and the
// refresh, delete and delete-all buttons, bound to the board's course (messagescourse.h).
//
// The console creates it on its board area, which covers the console's whole client area:
//     board = new MessagesBoard(ctx, *DQMESSAGGI2, boardArea);
// The board places itself at consoleRect() and each control at its place in the console's
// own coordinates. The console's connection must outlive the board's use of it: the board
// writes a pending edit when the application is about to quit, and programEnd() does the
// same at once (the console's FormDestroy calls it).
#include "appcontext.h"
#include "messagescourse.h"
#include "messagesmodel.h"

#include <QRect>
#include <QString>
#include <QWidget>

class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableView;

class MessagesBoard : public QWidget {
    Q_OBJECT
public:
    // consoleConnection is the console's DQMESSAGGI2. Creating the board runs no statement.
    MessagesBoard(AppContext& ctx, DbConnection& consoleConnection, QWidget* parent = nullptr);
    ~MessagesBoard() override;

    // Where the board lies on the console's client area (x 440..1197, y 0..365).
    static QRect consoleRect();
    // A control's place in the console's client area.
    QRect consoleGeometry(const QWidget* control) const;

    static QString labelCaption() { return QStringLiteral("MESSAGGIO O DEDICA:"); }

    // Controls.
    QTableView* DBGMESSAGGI2 = nullptr;
    QFrame* Panel2 = nullptr;
    QPushButton* BTCANCELLADEDICA = nullptr;
    QPushButton* BTCANCELLATUTTIMESSAGGI = nullptr;
    QPushButton* BTAGGIORNA = nullptr;
    QLabel* Label4 = nullptr;
    QPlainTextEdit* DBMMESSAGGIO = nullptr;

    // The course: the list, its cursor and model, the statements.
    MessagesCourse* course = nullptr;

    // Handlers.
    void BTAGGIORNAClick() { course->refreshList(); }
    void BTCANCELLADEDICAClick() { course->deleteCurrent(); }
    void BTCANCELLATUTTIMESSAGGIClick() { course->deleteAll(); }

    // Writes a pending edit (a failure is shown) and closes the list; runs by itself when the
    // application is about to quit. See MessagesCourse::programEnd.
    void programEnd() { course->programEnd(); }
    int currentRow() const { return course->currentRow(); } // -1: none
    bool atEnd() const { return course->atEnd(); }
    const QString& lastDeleteError() const { return course->lastDeleteError(); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildLayout();
    void showCurrent();
    void boxEdited();
    void gridRowChanged(int row);

    bool m_syncing = false;
};
