#pragma once
// The connections of the program's windows and data module, with their strings and
// time-outs. The "open*" factories return an opened connection and throw DbError when it
// cannot be opened.
#include "dbquery.h"

#include <memory>

struct AppConfig;

namespace ServiceConnections {

// fmLogin's dbsql: full form, service database, 15 s.
std::unique_ptr<DbConnection> openLoginConnection(const AppConfig& config);
// dm's db, the log connection: short form, service database, no limit of its own.
std::unique_ptr<DbConnection> openLogConnection(const AppConfig& config);
// dm's ADOConnection1: short form, the second database, no limit of its own.
std::unique_ptr<DbConnection> openSecondConnection(const AppConfig& config);
// Form2wma's DBSQL and DQMESSAGGI2: full form, service database, 15 s.
std::unique_ptr<DbConnection> openConsoleConnection(const AppConfig& config, const QString& name);

// QRCANCELLATUTTI: a query with its own short-form string to the service database (the host
// spelled with the web-server prefix), 15 s; each execution opens the connection for the
// statement and closes it again. Command time-out 30 s.
std::unique_ptr<DbQuery> makeDeleteAllQuery(const AppConfig& config);
// The settings of that string.
DbConnectionSettings deleteAllSettings(const AppConfig& config);

// The host with the web-server prefix "www."; an address or a local name stays as it is.
QString webServerHost(const QString& host);

} // namespace ServiceConnections
