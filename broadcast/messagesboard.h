#pragma once
// The listeners' messages board on the right half of the live console: the list of the
// station's messages (DBGMESSAGGI2), the selected message's text (DBMMESSAGGIO), and the
// refresh, delete and delete-all buttons.
//
// The console creates it on its board area, which covers the console's whole client area:
//     board = new MessagesBoard(ctx, *DQMESSAGGI2, boardArea);
// The board places itself at consoleRect() and each control at its place in the console's
// own coordinates. The console's connection must outlive the board's use of it: the board
// writes a pending edit when the application is about to quit, and programEnd() does the
// same at once (the console's FormDestroy calls it).
#include "appcontext.h"
#include "dbquery.h"

#include <QAbstractTableModel>
#include <QRect>
#include <QString>
#include <QVector>
#include <QWidget>
#include <array>
#include <functional>
#include <memory>

class QFrame;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTableView;

// The rows of the messages query as the grid shows them: four columns of each row read.
// The query's current row is the current message; while its text is being edited, the
// DEDICA cell of that row shows the edited text.
class MessagesModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { NomeUtente, Dedica, Data, NomeRadio, ColumnCount };

    explicit MessagesModel(DbQuery& query, QObject* parent = nullptr);

    // The column of the table a grid column shows, its title and its width in pixels.
    static QString columnName(int column);
    static QString columnTitle(int column);
    static int columnWidth(int column);
    // A message date as the grid writes it: dd/MM/yyyy hh:mm:ss; other text as it is.
    static QString displayDate(const QVariant& value);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    // Runs change, which opens or closes the query, and reads the rows again, in every
    // outcome; an error of change goes on to the caller. No edit may be pending.
    void reload(const std::function<void()>& change);
    // The query's row `row` has been deleted.
    void removeListedRow(int row);
    // The text of `row` was written to the table.
    void setStoredDedica(int row, const QString& text);
    // The text of `row` is being edited (the cell shows the query's pending value).
    void dedicaEdited(int row);

private:
    void load();

    DbQuery& m_query;
    QVector<std::array<QVariant, ColumnCount>> m_rows;
};

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

    // Data: the console's connection, the list and its cursor, the grid's model, the
    // delete-all statement with its own connection.
    DbConnection& DQMESSAGGI2;
    DbQuery DQMESSAGGI;
    MessagesModel* DSMESSAGGI = nullptr;
    std::unique_ptr<DbQuery> QRCANCELLATUTTI;

    // Handlers.
    void BTAGGIORNAClick();
    void BTCANCELLADEDICAClick();
    void BTCANCELLATUTTIMESSAGGIClick();

    // Moving the list, as the grid does for a click or the arrow keys. A pending edit is
    // written first; when it cannot be, "Exception: " and the provider's text are shown and
    // the list stays on the edited row. Return false then.
    bool moveToRow(int row);
    bool moveNext();  // past the last row: the end-of-data mark, no current message
    bool movePrior(); // from the end-of-data mark back to the last row

    int currentRow() const { return DQMESSAGGI.recNo(); } // -1: none
    bool atEnd() const { return DQMESSAGGI.eof(); }

    // Writes a pending edit (a failure is shown) and closes the list. Once only; afterwards
    // the board runs no statement. Runs by itself when the application is about to quit.
    void programEnd();

    // Why the last single delete failed; empty after a success.
    const QString& lastDeleteError() const { return m_lastDeleteError; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildLayout();
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
    void showCurrent();
    void boxEdited();
    void gridRowChanged(int row);
    void showException(const QString& text);

    AppContext& m_ctx;
    bool m_syncing = false;
    bool m_ended = false;
    QString m_lastDeleteError;
};
