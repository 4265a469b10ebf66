#include "messagescourse.h"

#include "apprun.h"
#include "messagesmodel.h"
#include "serviceconnections.h"
#include "statements.h"
#include "stationprofile.h"
#include "wllog.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QScopedValueRollback>

namespace {

const QString kChangedElsewhere = QString::fromUtf16(
    u"Il messaggio è stato cambiato o cancellato da un'altra parte: l'elenco è stato "
    u"aggiornato.");
const char16_t* const kEditOnClipboard =
    u" Il testo che stavi scrivendo è negli appunti: incollalo dove vuoi.";

QString dedicaColumn()
{
    return QString::fromLatin1(Statements::kDedicaColumn);
}

QString errorText(const std::exception& e)
{
    if (const auto* app = dynamic_cast<const AppError*>(&e))
        return app->text();
    return QString::fromUtf8(e.what());
}

} // namespace

MessagesCourse::MessagesCourse(AppContext& ctx, DbConnection& consoleConnection, QObject* parent)
    : QObject(parent), DQMESSAGGI2(consoleConnection), DQMESSAGGI(consoleConnection, 0),
      QRCANCELLATUTTI(ServiceConnections::makeDeleteAllQuery(ctx.config)), m_ctx(ctx)
{
    DQMESSAGGI.setSql(QString::fromLatin1(Statements::kMessagesLayoutText));
    DSMESSAGGI = new MessagesModel(DQMESSAGGI, this);
    DSMESSAGGI->setObjectName(QStringLiteral("DSMESSAGGI"));
}

MessagesCourse::~MessagesCourse() = default;

QString MessagesCourse::currentText() const
{
    if (!DQMESSAGGI.isOpen() || DQMESSAGGI.eof())
        return QString();
    try {
        return DQMESSAGGI.fieldAsString(dedicaColumn());
    } catch (const DbError& e) {
        qCWarning(lcDb).noquote() << "the current message has no text:" << e.text();
        return QString();
    }
}

// Handlers

void MessagesCourse::refreshList()
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
    emit currentChanged();
}

bool MessagesCourse::changedElsewhere(const DbError& error)
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
        emit currentChanged();
        return true;
    }
    emit currentChanged();
    m_ctx.run.showMessage(text);
    return true;
}

void MessagesCourse::refresh()
{
    if (!DQMESSAGGI2.isOpen())
        DQMESSAGGI2.open();
    // An edit in the box is written before the list is closed, not dropped with it.
    if (DQMESSAGGI.modified())
        postingMove([this] { DQMESSAGGI.post(); });
    reloadList();
}

void MessagesCourse::reloadList()
{
    if (!DQMESSAGGI2.isOpen())
        DQMESSAGGI2.open();
    const Statement select = Statements::messagesOf(m_ctx.profile.stationName);
    const QScopedValueRollback<bool> guard(m_syncing, true);
    DSMESSAGGI->reload([&] {
        DQMESSAGGI.close();
        DQMESSAGGI.setSql(QString());
        DQMESSAGGI.setSql(select);
        DQMESSAGGI.open();
        DQMESSAGGI.last();
        DQMESSAGGI.first();
    });
}

void MessagesCourse::deleteCurrent()
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
        emit currentChanged();
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
        emit currentChanged();
        return;
    }
    m_lastDeleteError.clear();
    {
        const QScopedValueRollback<bool> guard(m_syncing, true);
        DSMESSAGGI->removeListedRow(row);
    }
    emit currentChanged();
}

void MessagesCourse::deleteAll()
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
        emit currentChanged();
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
    refreshList();
}

void MessagesCourse::programEnd()
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
        const QScopedValueRollback<bool> guard(m_syncing, true);
        DSMESSAGGI->reload([this] { DQMESSAGGI.close(); });
    }
    emit currentChanged();
}

// ---------------------------------------------------------------------------------------------
// Moving the list

void MessagesCourse::postingMove(const std::function<void()>& move)
{
    const bool edited = DQMESSAGGI.modified();
    const int row = DQMESSAGGI.recNo();
    const QString text = edited ? DQMESSAGGI.fieldAsString(dedicaColumn()) : QString();
    move();
    if (edited)
        DSMESSAGGI->setStoredDedica(row, text);
}

bool MessagesCourse::tryMove(const std::function<void()>& move)
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
    emit currentChanged();
    return ok;
}

bool MessagesCourse::moveToRow(int row)
{
    if (row < 0 || row >= DQMESSAGGI.recordCount())
        return false;
    if (row == DQMESSAGGI.recNo()) {
        emit currentChanged();
        return true;
    }
    return tryMove([this, row] { DQMESSAGGI.moveTo(row); });
}

bool MessagesCourse::moveNext()
{
    if (DQMESSAGGI.eof())
        return true;
    return tryMove([this] { DQMESSAGGI.next(); });
}

bool MessagesCourse::movePrior()
{
    if (DQMESSAGGI.recNo() == 0)
        return true;
    return tryMove([this] { DQMESSAGGI.prior(); });
}

void MessagesCourse::editCurrent(const QString& text)
{
    if (m_syncing || m_ended || !DQMESSAGGI.isOpen() || DQMESSAGGI.eof())
        return;
    try {
        DQMESSAGGI.setField(dedicaColumn(), text);
    } catch (const DbError& e) {
        qCWarning(lcDb).noquote() << "the edit of the message is not kept:" << e.text();
        return;
    }
    DSMESSAGGI->dedicaEdited(DQMESSAGGI.recNo());
}

void MessagesCourse::dropEdit()
{
    if (!DQMESSAGGI.modified())
        return;
    DQMESSAGGI.cancel();
    DSMESSAGGI->dedicaEdited(DQMESSAGGI.recNo());
    emit currentChanged();
}

void MessagesCourse::showException(const QString& text)
{
    m_ctx.run.showMessage(QStringLiteral("Exception: ") + text);
}
