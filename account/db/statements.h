#pragma once
// Every statement the program runs on the service database. Values travel as '?' parameters,
// never spliced into the text.
#include "dbquery.h"

#include <QVariantList>
#include <optional>

namespace Statements {

// What the connection log appends to the station name.
inline constexpr char kConnectionLogSuffix[] = " DOPO IL LOGIN BRIGHTEL ENCODER";
// The messages query's text as the console's layout holds it.
inline constexpr char kMessagesLayoutText[] = "SELECT * FROM MESSAGGIVOCALI2";
// The column a message edit changes.
inline constexpr char kDedicaColumn[] = "mydedica";

// 1: the account whose e-mail and password match, letter case ignored on both sides.
Statement accountRead(const QString& email, const QString& password);
// 2: the connection-log row of a sign-in.
Statement connectionLog(const QString& stationName);
// 3: the accounts with this e-mail, letter case ignored whatever the column's collation
// (sign-in matches without regard to case, so these are the same account).
Statement accountsByEmail(const QString& email);
// 4: the accounts with this station name, letter case ignored; every space of the typed name
// is removed.
Statement accountsByStation(const QString& typedName);
// 5 and 6: every id and port, whose greatest integers the new account follows. The maxima
// are taken here, not by max(): on SQLite a stray text value ranks above every number.
Statement idsAndPorts();
// The start-up's check that the catalog serves: the last page of the accounts' key.
Statement catalogCheck();
// 7: the whole accounts table, to append the new account to.
Statement allAccounts();
// 8: the messages of one station.
Statement messagesOf(const QString& stationName);
// 10: deletes every message of one station.
Statement deleteAllMessagesOf(const QString& stationName);

// The station name as sign-up stores and looks it up: every space removed.
QString stationNameWithoutSpaces(const QString& typedName);
// A column value as an integer: an integer, or text that holds one (blanks around it
// allowed); anything else (NULL, other text, a fraction) is none.
std::optional<int> integerValue(const QVariant& value);
// The greatest of the values that are integers; none when no value is one.
std::optional<int> greatestInteger(const QVariantList& values);
// The new account's id and port from the maxima of 5 and 6 (NULL: an empty table).
int nextAccountId(bool maxIsNull, int maxId);
int nextPort(bool maxIsNull, int maxPort);

} // namespace Statements
