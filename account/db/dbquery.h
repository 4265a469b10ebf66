#pragma once
// A query: one statement text at a time, its whole result fetched into memory, a current row.
#include "dbconnection.h"

#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

class DbQuery {
public:
    explicit DbQuery(DbConnection& connection, int commandTimeoutSeconds = 0);
    ~DbQuery();
    DbQuery(const DbQuery&) = delete;
    DbQuery& operator=(const DbQuery&) = delete;

    // Replaces the statement text. Values are bound positionally to its '?' marks, never
    // spliced into it.
    void setSql(const QString& text, const QStringList& values = {});
    const QString& sql() const;

    void open();    // runs the statement and fetches every row; current row is the first
    void close();
    bool isOpen() const;
    void execute(); // a statement without rows

    void first();
    void last();
    void next();
    void prior();
    int recordCount() const;
    int recNo() const;        // the current row's index, -1 when none
    bool eof() const;         // past the last row, or no rows
    void moveTo(int row);

    // The named column of the current row, looked up without regard to letter case.
    QString fieldAsString(const QString& column) const; // empty for NULL or no current row
    int fieldAsInteger(const QString& column) const;    // 0 for NULL or no current row
    QStringList columnNames() const;

    // Row changes, written to the table of the statement at once (post).
    void append();                                          // starts a new row
    void setField(const QString& column, const QString& value); // in the appended or current row
    void post();                                            // INSERT of the set columns / UPDATE
    void cancel();                                          // drops a pending append or edit
    bool modified() const;                                  // an append or edit is pending
    void deleteRow();                                       // DELETE of the current row

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};
