#include "statements.h"

#include <limits>

namespace Statements {

Statement accountRead(const QString& email, const QString& password)
{
    return {QStringLiteral("SELECT * FROM  utenti   WHERE UPPER(?) = UPPER(myemail) AND "
                           "UPPER(mypassword) = UPPER(?)"),
            {email, password}};
}

Statement connectionLog(const QString& stationName)
{
    return {QStringLiteral("INSERT INTO ConnessioniTessaroFTP (mynomecanale,MYVERSIONE) VALUES "
                           "(?, '3');"),
            {stationName + QLatin1String(kConnectionLogSuffix)}};
}

Statement accountsByEmail(const QString& email)
{
    return {QStringLiteral("select * from utenti where UPPER(myemail) = UPPER(?)"), {email}};
}

Statement accountsByStation(const QString& typedName)
{
    return {QStringLiteral("select * from utenti where UPPER(mynomeradio) = UPPER(?)"),
            {stationNameWithoutSpaces(typedName)}};
}

Statement catalogCheck()
{
    return {QStringLiteral("select max(myid) as maxid from utenti"), {}};
}

Statement idsAndPorts()
{
    return {QStringLiteral("select myid, myporta from utenti"), {}};
}

std::optional<int> integerValue(const QVariant& value)
{
    if (value.isNull())
        return std::nullopt;
    bool ok = false;
    qlonglong n = 0;
    switch (value.metaType().id()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Short:
    case QMetaType::UShort:
        n = value.toLongLong(&ok);
        break;
    default:
        n = value.toString().trimmed().toLongLong(&ok, 10);
        break;
    }
    if (!ok || n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max())
        return std::nullopt;
    return int(n);
}

std::optional<int> greatestInteger(const QVariantList& values)
{
    std::optional<int> greatest;
    for (const QVariant& v : values) {
        const std::optional<int> n = integerValue(v);
        if (n && (!greatest || *n > *greatest))
            greatest = n;
    }
    return greatest;
}

Statement allAccounts()
{
    return {QStringLiteral("select * from utenti"), {}};
}

Statement messagesOf(const QString& stationName)
{
    return {QStringLiteral("SELECT * FROM MESSAGGIVOCALI2 WHERE MYNOMERADIO = ?;"), {stationName}};
}

Statement deleteAllMessagesOf(const QString& stationName)
{
    return {QStringLiteral("DELETE FROM MESSAGGIVOCALI2 WHERE MYNOMERADIO = ?"), {stationName}};
}

QString stationNameWithoutSpaces(const QString& typedName)
{
    QString name = typedName;
    name.remove(QLatin1Char(' '));
    return name;
}

int nextAccountId(bool maxIsNull, int maxId)
{
    return maxIsNull ? 1 : maxId + 1;
}

int nextPort(bool maxIsNull, int maxPort)
{
    return maxIsNull ? 10000 : maxPort + 2;
}

} // namespace Statements
