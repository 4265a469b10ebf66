#include "statements.h"

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
    return {QStringLiteral("select * from utenti where myemail = ?"), {email}};
}

Statement accountsByStation(const QString& typedName)
{
    return {QStringLiteral("select * from utenti where mynomeradio = ?"),
            {stationNameWithoutSpaces(typedName)}};
}

Statement maxId()
{
    return {QStringLiteral("select max(myid) as maxid from utenti"), {}};
}

Statement maxPort()
{
    return {QStringLiteral("select max(myporta) as maxporta from utenti"), {}};
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
