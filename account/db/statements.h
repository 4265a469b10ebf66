#pragma once
// Every statement the program runs on the service database. Values travel as '?' parameters,
// never spliced into the text.
#include "dbquery.h"

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
// 3: the accounts with this e-mail.
Statement accountsByEmail(const QString& email);
// 4: the accounts with this station name; every space of the typed name is removed.
Statement accountsByStation(const QString& typedName);
// 5 and 6: the greatest id (column maxid) and port (column maxporta).
Statement maxId();
Statement maxPort();
// 7: the whole accounts table, to append the new account to.
Statement allAccounts();
// 8: the messages of one station.
Statement messagesOf(const QString& stationName);
// 10: deletes every message of one station.
Statement deleteAllMessagesOf(const QString& stationName);

// The station name as sign-up stores and looks it up: every space removed.
QString stationNameWithoutSpaces(const QString& typedName);
// The new account's id and port from the maxima of 5 and 6 (NULL: an empty table).
int nextAccountId(bool maxIsNull, int maxId);
int nextPort(bool maxIsNull, int maxPort);

} // namespace Statements
