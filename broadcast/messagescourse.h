#pragma once
// The course of the listeners' messages board, apart from its controls: the list of the
// station's messages and its cursor, the refresh, the single and the full delete, the moves
// of the cursor, an edit of the current message, and the failures the owner is told of. It
// holds no widget; the board shows the current message whenever currentChanged() says so.
#include "appcontext.h"
#include "dbquery.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

class MessagesModel;

class MessagesCourse : public QObject {
    Q_OBJECT
public:
    // consoleConnection is the console's DQMESSAGGI2. Creating the course runs no statement.
    MessagesCourse(AppContext& ctx, DbConnection& consoleConnection, QObject* parent = nullptr);
    ~MessagesCourse() override;

    // Data: the console's connection, the list and its cursor, the grid's model, the
    // delete-all statement with its own connection.
    DbConnection& DQMESSAGGI2;
    DbQuery DQMESSAGGI;
    MessagesModel* DSMESSAGGI = nullptr;
    std::unique_ptr<DbQuery> QRCANCELLATUTTI;

    // The buttons: refresh, delete the current message, delete all of the station's.
    void refreshList();
    void deleteCurrent();
    void deleteAll();

    // Moving the list, as the grid does for a click or the arrow keys. A pending edit is
    // written first; when it cannot be, "Exception: " and the provider's text are shown and
    // the list stays on the edited row. Return false then.
    bool moveToRow(int row);
    bool moveNext();  // past the last row: the end-of-data mark, no current message
    bool movePrior(); // from the end-of-data mark back to the last row

    // The text of the current message was edited to text; Escape drops the edit.
    void editCurrent(const QString& text);
    void dropEdit();

    // Writes a pending edit (a failure is shown) and closes the list. Once only; afterwards
    // the course runs no statement.
    void programEnd();

    int currentRow() const { return DQMESSAGGI.recNo(); } // -1: none
    bool atEnd() const { return DQMESSAGGI.eof(); }
    bool ended() const { return m_ended; }
    // True while the list is being read again or moved by the course itself: the grid's own
    // notices of it are not moves of the owner.
    bool syncing() const { return m_syncing; }
    // The text of the current message as the list holds it (edited or stored).
    QString currentText() const;
    // Why the last single delete failed; empty after a success.
    const QString& lastDeleteError() const { return m_lastDeleteError; }

signals:
    // The board shows the list's current message again.
    void currentChanged();

private:
    void refresh();    // throws
    void reloadList(); // runs the list's statement again, no edit pending; throws
    // Handles an error that says the current row was changed or deleted elsewhere: the list
    // is read again, an edit goes to the clipboard, the owner is told. False for any other
    // error.
    bool changedElsewhere(const DbError& error);
    // Runs a move of the cursor, which posts a pending edit; keeps the grid's copy of the
    // written text. Throws as the move does.
    void postingMove(const std::function<void()>& move);
    bool tryMove(const std::function<void()>& move);
    void showException(const QString& text);

    AppContext& m_ctx;
    bool m_syncing = false;
    bool m_ended = false;
    QString m_lastDeleteError;
};
