#pragma once
// The few calls the data layer makes past Qt into a driver's own client library (libpq,
// unixODBC, SQLite), found in the library that the driver's plugin has loaded. The program
// links none of them: only the configured driver's library is ever in the process, and only
// once its plugin is loaded. Each returns null when that library is not loaded (which is the
// case whenever a handle of its type cannot exist).
#include <libpq-fe.h>
#include <sql.h>
#include <sqlite3.h>

namespace driverlibs {

struct Postgres {
    ConnStatusType (*status)(const PGconn*);
    int (*socket)(const PGconn*);
};
struct Odbc {
    SQLRETURN (*setStmtAttr)(SQLHSTMT, SQLINTEGER, SQLPOINTER, SQLINTEGER);
};
struct Sqlite {
    int (*createFunction)(sqlite3*, const char*, int, int, void*,
                          void (*)(sqlite3_context*, int, sqlite3_value**),
                          void (*)(sqlite3_context*, int, sqlite3_value**),
                          void (*)(sqlite3_context*), void (*)(void*));
    int (*valueType)(sqlite3_value*);
    const unsigned char* (*valueText)(sqlite3_value*);
    int (*valueBytes)(sqlite3_value*);
    void (*resultNull)(sqlite3_context*);
    void (*resultText)(sqlite3_context*, const char*, int, void (*)(void*));
};

const Postgres* postgres();
const Odbc* odbc();
const Sqlite* sqlite();

} // namespace driverlibs
