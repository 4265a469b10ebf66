#pragma once
// The rows of the listeners' messages as the board's grid shows them.
#include "dbquery.h"

#include <QAbstractTableModel>
#include <QString>
#include <QVector>
#include <array>
#include <functional>

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
