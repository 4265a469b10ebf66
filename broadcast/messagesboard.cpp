#include "messagesboard.h"

#include "apprun.h"
#include "serviceconnections.h"
#include "statements.h"
#include "stationprofile.h"
#include "wllog.h"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QFont>
#include <QFrame>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>

namespace {

const QColor kNavy(0, 0, 128);
const QString kChangedElsewhere = QString::fromUtf16(
    u"Il messaggio è stato cambiato o cancellato da un'altra parte: l'elenco è stato "
    u"aggiornato.");
const char16_t* const kEditOnClipboard =
    u" Il testo che stavi scrivendo è negli appunti: incollalo dove vuoi.";
const QPoint kOrigin(440, 0); // the board's top left corner on the console

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

// A place given in the console's coordinates, on the board.
QRect onBoard(int left, int top, int width, int height)
{
    return QRect(left - kOrigin.x(), top - kOrigin.y(), width, height);
}

// Sets the flag for the lifetime of the guard.
class Guard {
public:
    explicit Guard(bool& flag) : m_flag(flag), m_old(flag) { m_flag = true; }
    ~Guard() { m_flag = m_old; }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    bool& m_flag;
    bool m_old;
};

QString errorText(const std::exception& e)
{
    if (const auto* app = dynamic_cast<const AppError*>(&e))
        return app->text();
    return QString::fromUtf8(e.what());
}

} // namespace

// ---------------------------------------------------------------------------------------------

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
    } catch (...) {
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

// ---------------------------------------------------------------------------------------------

MessagesBoard::MessagesBoard(AppContext& ctx, DbConnection& consoleConnection, QWidget* parent)
    : QWidget(parent), DQMESSAGGI2(consoleConnection), DQMESSAGGI(consoleConnection, 0),
      QRCANCELLATUTTI(ServiceConnections::makeDeleteAllQuery(ctx.config)), m_ctx(ctx)
{
    setObjectName(QStringLiteral("MessagesBoard"));
    DQMESSAGGI.setSql(QString::fromLatin1(Statements::kMessagesLayoutText));
    DSMESSAGGI = new MessagesModel(DQMESSAGGI, this);
    DSMESSAGGI->setObjectName(QStringLiteral("DSMESSAGGI"));
    buildLayout();
    showCurrent();

    // The end of the run writes a pending edit while the console's connection still lives.
    if (QCoreApplication::instance())
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
                &MessagesBoard::programEnd);
}

MessagesBoard::~MessagesBoard()
{
    // The grid's model goes with the board; the grid must not read it meanwhile.
    DBGMESSAGGI2->setModel(nullptr);
}

QRect MessagesBoard::consoleRect()
{
    return QRect(kOrigin, QPoint(1196, 364)); // 757 x 365
}

QRect MessagesBoard::consoleGeometry(const QWidget* control) const
{
    if (!control)
        return QRect();
    QRect r = control->geometry();
    for (const QWidget* w = control->parentWidget(); w && w != this; w = w->parentWidget())
        r.translate(w->pos());
    return r.translated(kOrigin);
}

void MessagesBoard::buildLayout()
{
    setGeometry(consoleRect());

    Panel2 = new QFrame(this);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Panel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel2->setGeometry(onBoard(442, 157, 703, 52));

    BTCANCELLADEDICA = new QPushButton(QStringLiteral("CANCELLA"), Panel2);
    BTCANCELLADEDICA->setObjectName(QStringLiteral("BTCANCELLADEDICA"));
    BTCANCELLADEDICA->setGeometry(138, 8, 119, 25);

    BTCANCELLATUTTIMESSAGGI = new QPushButton(QStringLiteral("CANCELLA TUTTI"), Panel2);
    BTCANCELLATUTTIMESSAGGI->setObjectName(QStringLiteral("BTCANCELLATUTTIMESSAGGI"));
    BTCANCELLATUTTIMESSAGGI->setGeometry(274, 8, 119, 25);

    DBGMESSAGGI2 = new QTableView(this);
    DBGMESSAGGI2->setObjectName(QStringLiteral("DBGMESSAGGI2"));
    DBGMESSAGGI2->setGeometry(onBoard(477, 0, 720, 161));
    DBGMESSAGGI2->setModel(DSMESSAGGI);
    DBGMESSAGGI2->setEditTriggers(QAbstractItemView::NoEditTriggers);
    DBGMESSAGGI2->setSelectionBehavior(QAbstractItemView::SelectRows);
    DBGMESSAGGI2->setSelectionMode(QAbstractItemView::SingleSelection);
    DBGMESSAGGI2->setTabKeyNavigation(false);
    DBGMESSAGGI2->setWordWrap(false);
    DBGMESSAGGI2->verticalHeader()->setVisible(false);
    DBGMESSAGGI2->verticalHeader()->setDefaultSectionSize(18);
    QHeaderView* titles = DBGMESSAGGI2->horizontalHeader();
    titles->setHighlightSections(false);
    titles->setSectionsClickable(false);
    titles->setStretchLastSection(false);
    QPalette titlePalette = titles->palette();
    titlePalette.setColor(QPalette::ButtonText, kNavy);
    titlePalette.setColor(QPalette::WindowText, kNavy);
    titles->setPalette(titlePalette);
    for (int c = 0; c < MessagesModel::ColumnCount; ++c)
        DBGMESSAGGI2->setColumnWidth(c, MessagesModel::columnWidth(c));
    DBGMESSAGGI2->viewport()->installEventFilter(this);
    DBGMESSAGGI2->installEventFilter(this);
    connect(DBGMESSAGGI2->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { gridRowChanged(current.row()); });

    BTAGGIORNA = new QPushButton(QStringLiteral("AGGIORNA"), this);
    BTAGGIORNA->setObjectName(QStringLiteral("BTAGGIORNA"));
    BTAGGIORNA->setGeometry(onBoard(441, 164, 128, 25));
    BTAGGIORNA->raise(); // in front of Panel2

    Label4 = new QLabel(labelCaption(), this);
    Label4->setObjectName(QStringLiteral("Label4"));
    QFont bold = Label4->font();
    bold.setBold(true);
    bold.setUnderline(true);
    Label4->setFont(bold);
    QPalette windowText = Label4->palette();
    windowText.setColor(QPalette::WindowText, QApplication::palette().color(QPalette::WindowText));
    Label4->setPalette(windowText);
    Label4->move(onBoard(442, 214, 0, 0).topLeft());
    Label4->adjustSize();

    DBMMESSAGGIO = new QPlainTextEdit(this);
    DBMMESSAGGIO->setObjectName(QStringLiteral("DBMMESSAGGIO"));
    DBMMESSAGGIO->setGeometry(onBoard(440, 232, 697, 133));
    DBMMESSAGGIO->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    DBMMESSAGGIO->setTabChangesFocus(true);
    DBMMESSAGGIO->installEventFilter(this);
    connect(DBMMESSAGGIO, &QPlainTextEdit::textChanged, this, &MessagesBoard::boxEdited);

    connect(BTAGGIORNA, &QPushButton::clicked, this, &MessagesBoard::BTAGGIORNAClick);
    connect(BTCANCELLADEDICA, &QPushButton::clicked, this, &MessagesBoard::BTCANCELLADEDICAClick);
    connect(BTCANCELLATUTTIMESSAGGI, &QPushButton::clicked, this,
            &MessagesBoard::BTCANCELLATUTTIMESSAGGIClick);
}

// ---------------------------------------------------------------------------------------------
// Handlers

void MessagesBoard::BTAGGIORNAClick()
{
    if (m_ended)
        return;
    try {
        refresh();
    } catch (const DbError& e) {
        if (!changedElsewhere(e))
            showException(e.text());
    } catch (const std::exception& e) {
        showException(errorText(e));
    }
    showCurrent();
}

bool MessagesBoard::changedElsewhere(const DbError& error)
{
    if (!DbQuery::isRowNotFound(error))
        return false;
    // The row is gone (or, in a table without a key, changed): the list is read again, and
    // an edit of the row is handed back to the owner on the clipboard, not lost.
    const bool edited = DQMESSAGGI.modified();
    QString text = kChangedElsewhere;
    if (edited) {
        QString typed;
        try {
            typed = DQMESSAGGI.fieldAsString(dedicaColumn());
        } catch (const DbError&) {
        }
        if (QGuiApplication::clipboard())
            QGuiApplication::clipboard()->setText(typed);
        text += QString::fromUtf16(kEditOnClipboard);
    }
    qCInfo(lcDb).noquote() << "a message was changed or deleted elsewhere; the board reads the"
                           << "list again" << (edited ? "and keeps the edit on the clipboard" : "");
    DQMESSAGGI.cancel();
    try {
        reloadList();
    } catch (const std::exception& e) {
        showException(errorText(e));
        showCurrent();
        return true;
    }
    showCurrent();
    m_ctx.run.showMessage(text);
    return true;
}

void MessagesBoard::refresh()
{
    if (!DQMESSAGGI2.isOpen())
        DQMESSAGGI2.open();
    // An edit in the box is written before the list is closed, not dropped with it.
    if (DQMESSAGGI.modified())
        postingMove([this] { DQMESSAGGI.post(); });
    reloadList();
}

void MessagesBoard::reloadList()
{
    if (!DQMESSAGGI2.isOpen())
        DQMESSAGGI2.open();
    const Statement select = Statements::messagesOf(m_ctx.profile.stationName);
    Guard guard(m_syncing);
    DSMESSAGGI->reload([&] {
        DQMESSAGGI.close();
        DQMESSAGGI.setSql(QString());
        DQMESSAGGI.setSql(select);
        DQMESSAGGI.open();
        DQMESSAGGI.last();
        DQMESSAGGI.first();
    });
}

void MessagesBoard::BTCANCELLADEDICAClick()
{
    if (m_ended || !DQMESSAGGI.isOpen() || DQMESSAGGI.eof())
        return;
    const int row = DQMESSAGGI.recNo();
    const bool edited = DQMESSAGGI.modified();
    const QString editedText = edited ? DQMESSAGGI.fieldAsString(dedicaColumn()) : QString();
    try {
        DQMESSAGGI.deleteRow();
    } catch (const DbError& e) {
        m_lastDeleteError = e.text();
        // A row changed or deleted elsewhere: the list is read again and the owner told why.
        if (changedElsewhere(e))
            return;
        // Another failure: the list and an edit in the box stay as they were, and the owner
        // is told.
        if (edited) {
            try {
                DQMESSAGGI.setField(dedicaColumn(), editedText);
            } catch (const DbError&) {
            }
        }
        showCurrent();
        showException(e.text());
        return;
    } catch (const std::exception& e) {
        m_lastDeleteError = errorText(e);
        if (edited) {
            try {
                DQMESSAGGI.setField(dedicaColumn(), editedText);
            } catch (const DbError&) {
            }
        }
        showCurrent();
        return;
    }
    m_lastDeleteError.clear();
    {
        Guard guard(m_syncing);
        DSMESSAGGI->removeListedRow(row);
    }
    showCurrent();
}

void MessagesBoard::BTCANCELLATUTTIMESSAGGIClick()
{
    if (m_ended)
        return;
    try {
        DQMESSAGGI2.close();
        DQMESSAGGI2.open();
        QRCANCELLATUTTI->close();
        QRCANCELLATUTTI->setSql(QString());
        QRCANCELLATUTTI->setSql(Statements::deleteAllMessagesOf(m_ctx.profile.stationName));
        QRCANCELLATUTTI->execute();
    } catch (const std::exception& e) {
        showException(errorText(e));
        showCurrent();
        return;
    }
    // An edit of a message that is still in the table is written by the refresh below; the
    // edit of a message that went with the others goes with it.
    if (DQMESSAGGI.modified()) {
        try {
            postingMove([this] { DQMESSAGGI.post(); });
        } catch (const DbError&) {
            DQMESSAGGI.cancel();
        }
    }
    // The grid shows what the table now holds.
    BTAGGIORNAClick();
}

void MessagesBoard::programEnd()
{
    if (m_ended)
        return;
    if (DQMESSAGGI.modified()) {
        try {
            postingMove([this] { DQMESSAGGI.post(); });
        } catch (const std::exception& e) {
            showException(errorText(e));
        }
    }
    m_ended = true;
    DQMESSAGGI.cancel();
    {
        Guard guard(m_syncing);
        DSMESSAGGI->reload([this] { DQMESSAGGI.close(); });
    }
    showCurrent();
}

// ---------------------------------------------------------------------------------------------
// Moving the list

void MessagesBoard::postingMove(const std::function<void()>& move)
{
    const bool edited = DQMESSAGGI.modified();
    const int row = DQMESSAGGI.recNo();
    const QString text = edited ? DQMESSAGGI.fieldAsString(dedicaColumn()) : QString();
    move();
    if (edited)
        DSMESSAGGI->setStoredDedica(row, text);
}

bool MessagesBoard::tryMove(const std::function<void()>& move)
{
    if (m_ended || !DQMESSAGGI.isOpen())
        return false;
    bool ok = true;
    try {
        postingMove(move);
    } catch (const DbError& e) {
        if (changedElsewhere(e))
            return false;
        showException(e.text());
        ok = false;
    } catch (const std::exception& e) {
        showException(errorText(e));
        ok = false;
    }
    showCurrent();
    return ok;
}

bool MessagesBoard::moveToRow(int row)
{
    if (row < 0 || row >= DQMESSAGGI.recordCount())
        return false;
    if (row == DQMESSAGGI.recNo()) {
        showCurrent();
        return true;
    }
    return tryMove([this, row] { DQMESSAGGI.moveTo(row); });
}

bool MessagesBoard::moveNext()
{
    if (DQMESSAGGI.eof())
        return true;
    return tryMove([this] { DQMESSAGGI.next(); });
}

bool MessagesBoard::movePrior()
{
    if (DQMESSAGGI.recNo() == 0)
        return true;
    return tryMove([this] { DQMESSAGGI.prior(); });
}

void MessagesBoard::gridRowChanged(int row)
{
    if (m_syncing)
        return;
    if (row >= 0 && row != DQMESSAGGI.recNo())
        moveToRow(row);
    else
        showCurrent();
}

// The grid marks the query's current row and the box shows its text; with no current row
// (a closed or empty list, the end-of-data mark) nothing is marked and the box is empty and
// cannot be typed in.
void MessagesBoard::showCurrent()
{
    Guard guard(m_syncing);
    const int row = DQMESSAGGI.recNo();
    QItemSelectionModel* selection = DBGMESSAGGI2->selectionModel();
    QString text;
    if (row >= 0 && row < DSMESSAGGI->rowCount()) {
        const QModelIndex current =
            DSMESSAGGI->index(row, qMax(0, DBGMESSAGGI2->currentIndex().column()));
        if (selection->currentIndex() != current || !selection->isRowSelected(row))
            selection->setCurrentIndex(current, QItemSelectionModel::ClearAndSelect |
                                                    QItemSelectionModel::Rows);
        DBGMESSAGGI2->scrollTo(current);
        try {
            text = DQMESSAGGI.fieldAsString(dedicaColumn());
        } catch (const DbError&) {
        }
        DBMMESSAGGIO->setReadOnly(false);
    } else {
        selection->clear();
        DBMMESSAGGIO->setReadOnly(true);
    }
    if (DBMMESSAGGIO->toPlainText() != text)
        DBMMESSAGGIO->setPlainText(text);
}

void MessagesBoard::boxEdited()
{
    if (m_syncing || m_ended || !DQMESSAGGI.isOpen() || DQMESSAGGI.eof())
        return;
    try {
        DQMESSAGGI.setField(dedicaColumn(), DBMMESSAGGIO->toPlainText());
    } catch (const DbError&) {
        return;
    }
    DSMESSAGGI->dedicaEdited(DQMESSAGGI.recNo());
}

void MessagesBoard::showException(const QString& text)
{
    m_ctx.run.showMessage(QStringLiteral("Exception: ") + text);
}

bool MessagesBoard::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == DBGMESSAGGI2->viewport() && event->type() == QEvent::MouseButtonPress) {
        // A click on another line moves the list there first (writing a pending edit), so a
        // refused edit never leaves the grid marking a row that is not the current one.
        auto* mouse = static_cast<QMouseEvent*>(event);
        const QModelIndex hit = DBGMESSAGGI2->indexAt(mouse->position().toPoint());
        if (hit.isValid() && hit.row() != DQMESSAGGI.recNo()) {
            DBGMESSAGGI2->setFocus(Qt::MouseFocusReason);
            moveToRow(hit.row());
            return true;
        }
        return false;
    }
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    if (watched == DBGMESSAGGI2 && key->modifiers() == Qt::NoModifier) {
        if (!DQMESSAGGI.isOpen() || DQMESSAGGI.recordCount() == 0)
            return key->key() == Qt::Key_Down || key->key() == Qt::Key_Up;
        const int row = DQMESSAGGI.recNo();
        if (key->key() == Qt::Key_Down) {
            if (row < 0)
                return true; // already past the last row
            if (row + 1 >= DQMESSAGGI.recordCount())
                moveNext();
            else
                moveToRow(row + 1);
            return true;
        }
        if (key->key() == Qt::Key_Up) {
            movePrior();
            return true;
        }
    }
    if (watched == DBMMESSAGGIO && key->key() == Qt::Key_Escape && DQMESSAGGI.modified()) {
        // Escape drops the edit and shows the stored text again.
        DQMESSAGGI.cancel();
        DSMESSAGGI->dedicaEdited(DQMESSAGGI.recNo());
        showCurrent();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
