#include "messagesboard.h"

#include <QApplication>
#include <QFont>
#include <QFrame>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QTableView>

namespace {

const QColor kNavy(0, 0, 128);
const QPoint kOrigin(440, 0); // the board's top left corner on the console

// A place given in the console's coordinates, on the board.
QRect onBoard(int left, int top, int width, int height)
{
    return QRect(left - kOrigin.x(), top - kOrigin.y(), width, height);
}

} // namespace

MessagesBoard::MessagesBoard(AppContext& ctx, DbConnection& consoleConnection, QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("MessagesBoard"));
    course = new MessagesCourse(ctx, consoleConnection, this);
    course->setObjectName(QStringLiteral("course"));
    buildLayout();
    connect(course, &MessagesCourse::currentChanged, this, &MessagesBoard::showCurrent);
    showCurrent();

    // The end of the run writes a pending edit while the console's connection still lives.
    if (QCoreApplication::instance())
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, course,
                &MessagesCourse::programEnd);
}

MessagesBoard::~MessagesBoard()
{
    // The grid's model goes with the course; the grid must not read it meanwhile.
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
    DBGMESSAGGI2->setModel(course->DSMESSAGGI);
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

void MessagesBoard::gridRowChanged(int row)
{
    if (m_syncing || course->syncing())
        return;
    if (row >= 0 && row != course->currentRow())
        course->moveToRow(row);
    else
        showCurrent();
}

// The grid marks the list's current row and the box shows its text; with no current row
// (a closed or empty list, the end-of-data mark) nothing is marked and the box is empty and
// cannot be typed in.
void MessagesBoard::showCurrent()
{
    const QScopedValueRollback<bool> guard(m_syncing, true);
    const int row = course->currentRow();
    const MessagesModel& model = *course->DSMESSAGGI;
    QItemSelectionModel* selection = DBGMESSAGGI2->selectionModel();
    QString text;
    if (row >= 0 && row < model.rowCount()) {
        const QModelIndex current =
            model.index(row, qMax(0, DBGMESSAGGI2->currentIndex().column()));
        if (selection->currentIndex() != current || !selection->isRowSelected(row))
            selection->setCurrentIndex(current, QItemSelectionModel::ClearAndSelect |
                                                    QItemSelectionModel::Rows);
        DBGMESSAGGI2->scrollTo(current);
        text = course->currentText();
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
    if (m_syncing)
        return;
    course->editCurrent(DBMMESSAGGIO->toPlainText());
}

bool MessagesBoard::eventFilter(QObject* watched, QEvent* event)
{
    const DbQuery& list = course->DQMESSAGGI;
    if (watched == DBGMESSAGGI2->viewport() && event->type() == QEvent::MouseButtonPress) {
        // A click on another line moves the list there first (writing a pending edit), so a
        // refused edit never leaves the grid marking a row that is not the current one.
        auto* mouse = static_cast<QMouseEvent*>(event);
        const QModelIndex hit = DBGMESSAGGI2->indexAt(mouse->position().toPoint());
        if (hit.isValid() && hit.row() != list.recNo()) {
            DBGMESSAGGI2->setFocus(Qt::MouseFocusReason);
            course->moveToRow(hit.row());
            return true;
        }
        return false;
    }
    if (event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    if (watched == DBGMESSAGGI2 && key->modifiers() == Qt::NoModifier) {
        if (!list.isOpen() || list.recordCount() == 0)
            return key->key() == Qt::Key_Down || key->key() == Qt::Key_Up;
        const int row = list.recNo();
        if (key->key() == Qt::Key_Down) {
            if (row < 0)
                return true; // already past the last row
            if (row + 1 >= list.recordCount())
                course->moveNext();
            else
                course->moveToRow(row + 1);
            return true;
        }
        if (key->key() == Qt::Key_Up) {
            course->movePrior();
            return true;
        }
    }
    if (watched == DBMMESSAGGIO && key->key() == Qt::Key_Escape && list.modified()) {
        // Escape drops the edit and shows the stored text again.
        course->dropEdit();
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
