#pragma once
#include "appcontext.h"
#include "dbconnection.h"

#include <QObject>
#include <memory>

// The data module: the log connection and the second database's connection, both opened at
// creation (a failure throws DbError and ends the start-up).
class Tdm : public QObject {
    Q_OBJECT
public:
    explicit Tdm(AppContext& ctx);
    ~Tdm() override;

    // The log connection, short form, service database; the sign-in window's connection log
    // runs on it.
    DbConnection& db() { return *m_db; }
    // The second database; no statement uses it.
    DbConnection& ADOConnection1() { return *m_ADOConnection1; }

private:
    AppContext& m_ctx;
    std::unique_ptr<DbConnection> m_db;
    std::unique_ptr<DbConnection> m_ADOConnection1;
};
