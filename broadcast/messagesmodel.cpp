#include "messagesmodel.h"

#include "statements.h"

#include <QBrush>
#include <QColor>
#include <QDateTime>
#include <QSize>

namespace {

const QColor kNavy(0, 0, 128);

struct ColumnSpec {
    const char* name;
    const char* title;
    int width;
};

constexpr ColumnSpec kColumns[MessagesModel::ColumnCount] = {
    {"mynomeutente", "NOME UTENTE", 140},
    {"mydedica", "DEDICA", 220},
    {"mydata", "DATA", 180},
    {"mynomeradio", "NOME RADIO", 150},
};

QString dedicaColumn()
{
    return QString::fromLatin1(Statements::kDedicaColumn);
}

} // namespace

MessagesModel::MessagesModel(DbQuery& query, QObject* parent)
    : QAbstractTableModel(parent), m_query(query)
{}

QString MessagesModel::columnName(int column)
{
    return column >= 0 && column < ColumnCount ? QString::fromLatin1(kColumns[column].name)
                                               : QString();
}

QString MessagesModel::columnTitle(int column)
{
    return column >= 0 && column < ColumnCount ? QString::fromLatin1(kColumns[column].title)
                                               : QString();
}

int MessagesModel::columnWidth(int column)
{
    return column >= 0 && column < ColumnCount ? kColumns[column].width : 0;
}

QString MessagesModel::displayDate(const QVariant& value)
{
    if (value.isNull())
        return QString();
    QDateTime when;
    if (value.metaType().id() == QMetaType::QDateTime) {
        when = value.toDateTime();
    } else if (value.metaType().id() == QMetaType::QDate) {
        when = value.toDate().startOfDay();
    } else {
        const QString text = value.toString().trimmed();
        when = QDateTime::fromString(text, Qt::ISODate);
        if (!when.isValid())
            when = QDateTime::fromString(text, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
        if (!when.isValid())
            return value.toString();
    }
    return when.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
}

int MessagesModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

int MessagesModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant MessagesModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_rows.size() || index.column() >= ColumnCount)
        return QVariant();
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return QVariant();
    QVariant value = m_rows[index.row()][index.column()];
    if (index.column() == Dedica && m_query.modified() && m_query.recNo() == index.row()) {
        try {
            value = m_query.fieldValue(dedicaColumn());
        } catch (const DbError&) {
        }
    }
    if (index.column() == Data && role == Qt::DisplayRole)
        return displayDate(value);
    return value.isNull() ? QVariant(QString()) : QVariant(value.toString());
}

QVariant MessagesModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (role) {
    case Qt::DisplayRole:
        return columnTitle(section);
    case Qt::ForegroundRole:
        return QBrush(kNavy);
    case Qt::BackgroundRole:
        if (section == NomeRadio)
            return QBrush(Qt::white);
        return QVariant();
    case Qt::SizeHintRole:
        return QSize(columnWidth(section), 18);
    default:
        return QVariant();
    }
}

Qt::ItemFlags MessagesModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

void MessagesModel::reload(const std::function<void()>& change)
{
    beginResetModel();
    try {
        change();
    } catch (const std::exception&) {
        // The rows are read again however change ends; its error goes on to the caller,
        // which tells the owner.
        load();
        endResetModel();
        throw;
    }
    load();
    endResetModel();
}

void MessagesModel::load()
{
    m_rows.clear();
    if (!m_query.isOpen() || m_query.modified())
        return;
    const int current = m_query.recNo();
    const int n = m_query.recordCount();
    m_rows.reserve(n);
    for (int r = 0; r < n; ++r) {
        m_query.moveTo(r);
        std::array<QVariant, ColumnCount> row;
        for (int c = 0; c < ColumnCount; ++c) {
            try {
                row[c] = m_query.fieldValue(columnName(c));
            } catch (const DbError&) {
                // A result without that column shows an empty cell.
            }
        }
        m_rows.append(row);
    }
    m_query.moveTo(current); // -1 keeps the end-of-data mark
}

void MessagesModel::removeListedRow(int row)
{
    if (row < 0 || row >= m_rows.size())
        return;
    beginRemoveRows(QModelIndex(), row, row);
    m_rows.removeAt(row);
    endRemoveRows();
}

void MessagesModel::setStoredDedica(int row, const QString& text)
{
    if (row < 0 || row >= m_rows.size())
        return;
    m_rows[row][Dedica] = text;
    const QModelIndex cell = index(row, Dedica);
    emit dataChanged(cell, cell);
}

void MessagesModel::dedicaEdited(int row)
{
    if (row < 0 || row >= m_rows.size())
        return;
    const QModelIndex cell = index(row, Dedica);
    emit dataChanged(cell, cell);
}
