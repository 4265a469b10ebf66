#pragma once
// A query: one statement text at a time, its whole result fetched into memory, a current row.
#include "dbconnection.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

// A statement text with '?' marks and the values bound to them, in order.
struct Statement {
    QString text;
    QStringList values;
};

class DbQuery {
public:
    explicit DbQuery(DbConnection& connection, int commandTimeoutSeconds = 0);
    // A query with a connection string of its own: each open() or execute() opens that
    // connection for the statement, and execute() closes it again afterwards.
    explicit DbQuery(std::unique_ptr<DbConnection> ownConnection, int commandTimeoutSeconds = 0);
    ~DbQuery();
    DbQuery(const DbQuery&) = delete;
    DbQuery& operator=(const DbQuery&) = delete;

    // Replaces the statement text. Values are bound positionally to its '?' marks, never
    // spliced into it.
    void setSql(const QString& text, const QStringList& values = {});
    void setSql(const Statement& statement) { setSql(statement.text, statement.values); }
    const QString& sql() const;
    const QStringList& values() const;

    // Runs the statement and fetches every row; the current row is the first. A closed
    // connection is opened first. Throws DbError.
    void open();
    // Drops the result and any pending append or edit.
    void close();
    bool isOpen() const;
    void execute();           // a statement without rows; throws DbError
    int rowsAffected() const; // by the last execute()

    // Moving posts a pending append or edit first (which may throw DbError).
    void first();
    void last();
    void next();
    void prior();
    void moveTo(int row);
    int recordCount() const;
    int recNo() const; // the current row's index, -1 when none
    bool eof() const;  // no current row: no rows, or moved past the last one

    // The named column of the current row, looked up without regard to letter case. A column
    // the result does not have, or a closed query, throws DbError.
    QString fieldAsString(const QString& column) const; // empty for NULL or no current row
    int fieldAsInteger(const QString& column) const;    // 0 for NULL or no current row
    bool fieldIsNull(const QString& column) const;      // true for NULL or no current row
    QVariant fieldValue(const QString& column) const;   // null for no current row
    QStringList columnNames() const;

    // Row changes, written to the single table that the statement reads.
    void append(); // starts a new row
    void setField(const QString& column,
                  const QString& value); // the new row, or edits the current one
    void post();   // INSERT of the set columns only / UPDATE of the current row; throws DbError
    void cancel(); // drops a pending append or edit
    bool modified() const; // an append or edit is pending
    // DELETE of the current row, and only that row; the next row becomes current (the new
    // last one when the last was deleted). Throws DbError, also when there is no current row.
    void deleteRow();

    // The table that row changes go to ("" when the statement does not read one table), and
    // the columns that identify a row in it: its key, or every column read.
    QString table() const;
    QStringList rowIdentity() const;

    // Whether an error of post() or deleteRow() says the row is no longer in the table as it
    // was read (deleted, or changed where no key identifies it).
    static bool isRowNotFound(const DbError& error);

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
