#include "dbquery.h"
#include "driverlibs.h"

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlIndex>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QVector>

#include <sqlext.h>

namespace {

const QString kNoCurrentRow = QStringLiteral(
    "Either BOF or EOF is True, or the current record has been deleted. Requested operation "
    "requires a current record.");
const QString kRowNotFound = QStringLiteral(
    "Row cannot be located for updating. Some values may have been changed since it was last "
    "read.");

// The one table a "select ... from <table> [where ...]" reads.
QString tableOf(const QString& sql)
{
    static const QRegularExpression re(
        QStringLiteral(
            R"(^\s*select\s.*?\sfrom\s+([^\s;,()]+)\s*(?:(?:where|order\s+by)\b.*)?;?\s*$)"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch m = re.match(sql);
    return m.hasMatch() ? m.captured(1) : QString();
}

} // namespace

struct DbQuery::Impl {
    enum class State { Browse, Insert, Edit };

    DbConnection* connection = nullptr;
    std::unique_ptr<DbConnection> own;
    int commandTimeout = 0;

    QString sql;
    QStringList values;
    bool open = false;
    int rowsAffected = -1;

    QSqlRecord record;
    QVector<QVector<QVariant>> rows;
    int cur = -1; // -1: no current row

    QString table;
    bool identityResolved = false;
    QVector<int> keyColumns; // indexes into record; empty: every column identifies the row

    State state = State::Browse;
    QVector<QVariant> pending;
    QVector<bool> pendingSet;

    // Runs work on the connection (opened first when closed), within the query's bound.
    void onConnection(const DbConnection::Work& work, bool retry = true)
    {
        connection->run(work, commandTimeout, retry);
    }

    int statementTimeout() const
    {
        return connection->settings().statementTimeoutSeconds(commandTimeout);
    }

    QString driverName() const { return connection->settings().driver; }

    int column(const QString& name) const
    {
        for (int i = 0; i < record.count(); ++i)
            if (record.fieldName(i).compare(name, Qt::CaseInsensitive) == 0)
                return i;
        return -1;
    }

    int checkedColumn(const QString& name) const
    {
        if (!open)
            throw DbError(QStringLiteral("Operation is not allowed when the object is closed."));
        const int c = column(name);
        if (c < 0)
            throw DbError(QStringLiteral("Field '%1' not found").arg(name));
        return c;
    }

    bool hasRow() const { return open && cur >= 0 && cur < rows.size(); }

    void requireTable() const
    {
        if (table.isEmpty())
            throw DbError(
                QStringLiteral("Insufficient base table information for updating or refreshing."));
    }

    QString ident(QSqlDatabase& d, const QString& name) const
    {
        return d.driver()->escapeIdentifier(name, QSqlDriver::FieldName);
    }

    void resolveIdentity(QSqlDatabase& d)
    {
        if (identityResolved)
            return;
        identityResolved = true;
        keyColumns.clear();
        QSqlIndex index = d.primaryIndex(table);
        if (index.isEmpty() && driverName() == QLatin1String("QPSQL"))
            index = d.primaryIndex(table.toLower()); // unquoted names fold to lower case
        for (int i = 0; i < index.count(); ++i) {
            const int c = column(index.fieldName(i));
            if (c < 0) { // the key was not read: fall back to every column
                keyColumns.clear();
                return;
            }
            keyColumns << c;
        }
    }

    // "WHERE ..." that finds the current row, its values appended to binds. With no key it
    // names one row only, even among identical ones.
    QString rowCondition(QSqlDatabase& d, QVector<QVariant>& binds)
    {
        resolveIdentity(d);
        const QVector<QVariant>& row = rows[cur];
        QStringList terms;
        auto addTerm = [&](int c) {
            if (row[c].isNull()) {
                terms << ident(d, record.fieldName(c)) + QStringLiteral(" IS NULL");
            } else {
                terms << ident(d, record.fieldName(c)) + QStringLiteral(" = ?");
                binds << row[c];
            }
        };
        if (!keyColumns.isEmpty()) {
            for (int c : keyColumns)
                addTerm(c);
            return terms.join(QStringLiteral(" AND "));
        }
        for (int c = 0; c < record.count(); ++c)
            addTerm(c);
        return terms.join(QStringLiteral(" AND "));
    }

    // DELETE or UPDATE (set is "SET ...", or empty for DELETE) of exactly the current row.
    QString rowStatement(QSqlDatabase& d, const QString& set, QVector<QVariant>& binds)
    {
        QVector<QVariant> condBinds;
        const QString cond = rowCondition(d, condBinds);
        const bool keyed = !keyColumns.isEmpty();
        const QString verb = set.isEmpty()
                                 ? QStringLiteral("DELETE FROM ") + table
                                 : QStringLiteral("UPDATE ") + table + QLatin1Char(' ') + set;
        binds += condBinds;
        if (keyed)
            return verb + QStringLiteral(" WHERE ") + cond;
        const QString driver = driverName();
        if (driver == QLatin1String("QSQLITE"))
            return verb + QStringLiteral(" WHERE rowid = (SELECT rowid FROM ") + table +
                   QStringLiteral(" WHERE ") + cond + QStringLiteral(" LIMIT 1)");
        if (driver == QLatin1String("QPSQL"))
            return verb + QStringLiteral(" WHERE ctid = (SELECT ctid FROM ") + table +
                   QStringLiteral(" WHERE ") + cond + QStringLiteral(" LIMIT 1)");
        if (driver == QLatin1String("QODBC"))
            return set.isEmpty() ? QStringLiteral("DELETE TOP (1) FROM ") + table +
                                       QStringLiteral(" WHERE ") + cond
                                 : QStringLiteral("UPDATE TOP (1) ") + table + QLatin1Char(' ') +
                                       set + QStringLiteral(" WHERE ") + cond;
        return verb + QStringLiteral(" WHERE ") + cond;
    }

    // Runs text on q: prepared with its values bound, or directly when it has none. Over
    // ODBC it is always prepared, so that the statement carries its query time-out.
    static void exec(QSqlQuery& q, const QString& text, const QVector<QVariant>& binds,
                     int timeoutSeconds)
    {
        const bool odbcDriver =
            q.driver() && qstrcmp(q.driver()->handle().typeName(), "SQLHANDLE") == 0;
        bool ok = false;
        if (binds.isEmpty() && !odbcDriver) {
            ok = q.exec(text);
        } else if (q.prepare(text)) {
            if (odbcDriver)
                setQueryTimeout(q, timeoutSeconds);
            for (const QVariant& v : binds)
                q.addBindValue(v);
            ok = q.exec();
        }
        if (!ok) {
            // A connection that broke under an earlier statement fails the next one without
            // a word from the provider.
            QString text = providerText(q.lastError());
            if (text.isEmpty())
                text = QStringLiteral("The connection to the database is not open.");
            throw DbError(text);
        }
    }

    static void setQueryTimeout(QSqlQuery& q, int seconds)
    {
        const QVariant h = q.result() ? q.result()->handle() : QVariant();
        if (!h.isValid() || qstrcmp(h.typeName(), "SQLHANDLE") != 0)
            return;
        SQLHANDLE stmt = *static_cast<const SQLHANDLE*>(h.constData());
        const driverlibs::Odbc* lib = stmt ? driverlibs::odbc() : nullptr;
        if (lib)
            lib->setStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT,
                             reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), 0);
    }

    int run(QSqlDatabase& d, const QString& text, const QVector<QVariant>& binds)
    {
        QSqlQuery q(d);
        exec(q, text, binds, statementTimeout());
        return q.numRowsAffected();
    }

    void clearPending()
    {
        state = State::Browse;
        pending.clear();
        pendingSet.clear();
    }

    void postPending()
    {
        if (state == State::Browse)
            return;
        onConnection([this](QSqlDatabase& d) { postPendingOn(d); });
    }

    void postPendingOn(QSqlDatabase& d)
    {
        if (state == State::Insert) {
            QStringList names, marks;
            QVector<QVariant> binds;
            for (int c = 0; c < pending.size(); ++c) {
                if (!pendingSet[c])
                    continue;
                names << ident(d, record.fieldName(c));
                marks << QStringLiteral("?");
                binds << pending[c];
            }
            if (names.isEmpty()) {
                clearPending();
                return;
            }
            const QString text = QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (") +
                                 names.join(QStringLiteral(", ")) + QStringLiteral(") VALUES (") +
                                 marks.join(QStringLiteral(", ")) + QLatin1Char(')');
            QSqlQuery q(d);
            exec(q, text, binds, statementTimeout());
            QVector<QVariant> row(record.count());
            for (int c = 0; c < pending.size(); ++c)
                if (pendingSet[c])
                    row[c] = pending[c];
            resolveIdentity(d);
            // Only asked for when the key was not given: on PostgreSQL it runs lastval(),
            // which fails without a sequence and would abort an open transaction.
            if (keyColumns.size() == 1 && row[keyColumns[0]].isNull()) {
                const QVariant id = q.lastInsertId();
                if (id.isValid())
                    row[keyColumns[0]] = id;
            }
            rows.append(row);
            cur = int(rows.size()) - 1;
            clearPending();
            return;
        }
        // Edit: an UPDATE of the set columns of the current row.
        QStringList sets;
        QVector<QVariant> binds;
        for (int c = 0; c < pending.size(); ++c) {
            if (!pendingSet[c])
                continue;
            sets << ident(d, record.fieldName(c)) + QStringLiteral(" = ?");
            binds << pending[c];
        }
        if (sets.isEmpty() || !hasRow()) {
            clearPending();
            return;
        }
        const QString text =
            rowStatement(d, QStringLiteral("SET ") + sets.join(QStringLiteral(", ")), binds);
        const int n = run(d, text, binds);
        if (n == 0)
            throw DbError(kRowNotFound);
        for (int c = 0; c < pending.size(); ++c)
            if (pendingSet[c])
                rows[cur][c] = pending[c];
        clearPending();
    }
};

DbQuery::DbQuery(DbConnection& connection, int commandTimeoutSeconds) : d(std::make_unique<Impl>())
{
    d->connection = &connection;
    d->commandTimeout = commandTimeoutSeconds;
}

DbQuery::DbQuery(std::unique_ptr<DbConnection> ownConnection, int commandTimeoutSeconds)
    : d(std::make_unique<Impl>())
{
    d->own = std::move(ownConnection);
    d->connection = d->own.get();
    d->commandTimeout = commandTimeoutSeconds;
}

DbQuery::~DbQuery() = default;

void DbQuery::setSql(const QString& text, const QStringList& values)
{
    close();
    d->sql = text;
    d->values = values;
}

const QString& DbQuery::sql() const
{
    return d->sql;
}

const QStringList& DbQuery::values() const
{
    return d->values;
}

void DbQuery::open()
{
    close();
    QVector<QVariant> binds;
    for (const QString& v : d->values)
        binds << v;
    d->onConnection([this, &binds](QSqlDatabase& db) {
        d->rows.clear();
        QSqlQuery q(db);
        q.setForwardOnly(true);
        Impl::exec(q, d->sql, binds, d->statementTimeout());
        d->record = q.record();
        const int n = d->record.count();
        while (q.next()) {
            QVector<QVariant> row(n);
            for (int c = 0; c < n; ++c)
                row[c] = q.value(c);
            d->rows.append(std::move(row));
        }
        if (q.lastError().isValid())
            throw DbError(providerText(q.lastError()));
    });
    d->table = tableOf(d->sql);
    d->identityResolved = false;
    d->open = true;
    d->cur = d->rows.isEmpty() ? -1 : 0;
}

void DbQuery::close()
{
    d->clearPending();
    d->open = false;
    d->rows.clear();
    d->record = QSqlRecord();
    d->cur = -1;
    d->table.clear();
    d->identityResolved = false;
    d->keyColumns.clear();
}

bool DbQuery::isOpen() const
{
    return d->open;
}

void DbQuery::execute()
{
    close();
    QVector<QVariant> binds;
    for (const QString& v : d->values)
        binds << v;
    // A query with a connection of its own closes it after the statement, whatever came of it.
    struct CloseOwn {
        DbConnection* own;
        ~CloseOwn()
        {
            if (own)
                own->close();
        }
    } closeOwn{d->own.get()};
    d->onConnection(
        [this, &binds](QSqlDatabase& db) { d->rowsAffected = d->run(db, d->sql, binds); });
}

int DbQuery::rowsAffected() const
{
    return d->rowsAffected;
}

void DbQuery::first()
{
    d->postPending();
    d->cur = d->rows.isEmpty() ? -1 : 0;
}

void DbQuery::last()
{
    d->postPending();
    d->cur = d->rows.isEmpty() ? -1 : int(d->rows.size()) - 1;
}

void DbQuery::next()
{
    d->postPending();
    if (d->cur >= 0)
        d->cur = d->cur + 1 < d->rows.size() ? d->cur + 1 : -1;
}

void DbQuery::prior()
{
    d->postPending();
    if (d->cur > 0)
        --d->cur;
    else if (d->cur < 0 && !d->rows.isEmpty())
        d->cur = int(d->rows.size()) - 1;
}

void DbQuery::moveTo(int row)
{
    d->postPending();
    d->cur = row >= 0 && row < d->rows.size() ? row : -1;
}

int DbQuery::recordCount() const
{
    return d->open ? int(d->rows.size()) : 0;
}

int DbQuery::recNo() const
{
    return d->hasRow() ? d->cur : -1;
}

bool DbQuery::eof() const
{
    return !d->hasRow();
}

QVariant DbQuery::fieldValue(const QString& column) const
{
    const int c = d->checkedColumn(column);
    if (d->state != Impl::State::Browse && d->pendingSet.value(c))
        return d->pending[c];
    if (d->state == Impl::State::Insert)
        return {};
    return d->hasRow() ? d->rows[d->cur][c] : QVariant();
}

QString DbQuery::fieldAsString(const QString& column) const
{
    const QVariant v = fieldValue(column);
    return v.isNull() ? QString() : v.toString();
}

int DbQuery::fieldAsInteger(const QString& column) const
{
    const QVariant v = fieldValue(column);
    return v.isNull() ? 0 : v.toInt();
}

bool DbQuery::fieldIsNull(const QString& column) const
{
    return fieldValue(column).isNull();
}

QStringList DbQuery::columnNames() const
{
    QStringList names;
    for (int i = 0; i < d->record.count(); ++i)
        names << d->record.fieldName(i);
    return names;
}

void DbQuery::append()
{
    if (!d->open)
        throw DbError(QStringLiteral("Operation is not allowed when the object is closed."));
    d->requireTable();
    d->postPending();
    d->state = Impl::State::Insert;
    d->pending = QVector<QVariant>(d->record.count());
    d->pendingSet = QVector<bool>(d->record.count(), false);
}

void DbQuery::setField(const QString& column, const QString& value)
{
    const int c = d->checkedColumn(column);
    if (d->state == Impl::State::Browse) {
        if (!d->hasRow())
            throw DbError(kNoCurrentRow);
        d->requireTable();
        d->state = Impl::State::Edit;
        d->pending = QVector<QVariant>(d->record.count());
        d->pendingSet = QVector<bool>(d->record.count(), false);
    }
    d->pending[c] = value;
    d->pendingSet[c] = true;
}

void DbQuery::post()
{
    d->postPending();
}

void DbQuery::cancel()
{
    d->clearPending();
}

bool DbQuery::modified() const
{
    return d->state != Impl::State::Browse;
}

void DbQuery::deleteRow()
{
    if (d->state == Impl::State::Insert) {
        d->clearPending();
        return;
    }
    d->clearPending();
    if (!d->hasRow())
        throw DbError(kNoCurrentRow);
    d->requireTable();
    int n = 0;
    d->onConnection([this, &n](QSqlDatabase& db) {
        QVector<QVariant> binds;
        const QString text = d->rowStatement(db, QString(), binds);
        n = d->run(db, text, binds);
    });
    if (n == 0)
        throw DbError(kRowNotFound);
    d->rows.removeAt(d->cur);
    if (d->rows.isEmpty())
        d->cur = -1;
    else if (d->cur >= d->rows.size())
        d->cur = int(d->rows.size()) - 1;
}

QString DbQuery::table() const
{
    return d->table;
}

QStringList DbQuery::rowIdentity() const
{
    QStringList names;
    if (!d->open || d->table.isEmpty())
        return names;
    d->onConnection([this](QSqlDatabase& db) { d->resolveIdentity(db); });
    if (d->keyColumns.isEmpty())
        return columnNames();
    for (int c : d->keyColumns)
        names << d->record.fieldName(c);
    return names;
}

bool DbQuery::isRowNotFound(const DbError& error)
{
    return error.text() == kRowNotFound;
}
