// Every statement of the service database, on SQLite and on a real PostgreSQL.
#include "dbquery.h"
#include "serviceconnections.h"
#include "statements.h"
#include "testbackends.h"

#include <QTest>

class TestStatements : public QObject {
    Q_OBJECT
    TestBackends m_backends;

    static std::unique_ptr<DbConnection> connect(TestDb& t)
    {
        auto c = std::make_unique<DbConnection>(QStringLiteral("test"), t.settings());
        c->open();
        return c;
    }

private slots:
    void cleanupTestCase() { m_backends.stop(); }

    void accountRead_data() { TestBackends::addColumn(); }
    void accountRead()
    {
        WL_MAKE_DB(m_backends, t);
        TestAccount a;
        a.email = QStringLiteral("Mario.Rossi@Example.COM");
        a.password = QStringLiteral("PassWord");
        a.station = QStringLiteral("RadioMario");
        a.port = 10004;
        t->addAccount(a);
        auto c = connect(*t);
        DbQuery q(*c);
        // Typed in capitals, stored in mixed case: a match.
        q.setSql(Statements::accountRead(QStringLiteral("MARIO.ROSSI@EXAMPLE.COM"),
                                         QStringLiteral("PASSWORD")));
        q.open();
        q.last();
        q.first();
        QCOMPARE(q.recordCount(), 1);
        QCOMPARE(q.fieldAsString(QStringLiteral("MYNOMERADIO")), QStringLiteral("RadioMario"));
        QCOMPARE(q.fieldAsString(QStringLiteral("myPASSWORD")), QStringLiteral("PassWord"));
        QCOMPARE(q.fieldAsString(QStringLiteral("myporta")), QStringLiteral("10004"));
        QCOMPARE(q.fieldAsString(QStringLiteral("myGenere")), QStringLiteral("Pop"));

        // No matching row: every column reads empty, the maxima 0.
        q.close();
        q.setSql(Statements::accountRead(QStringLiteral("MARIO.ROSSI@EXAMPLE.COM"),
                                         QStringLiteral("WRONG")));
        q.open();
        q.last();
        q.first();
        QCOMPARE(q.recordCount(), 0);
        QVERIFY(q.eof());
        QCOMPARE(q.fieldAsString(QStringLiteral("mynomeradio")), QString());
        QCOMPARE(q.fieldAsInteger(QStringLiteral("myporta")), 0);
    }

    void accentsAndQuotes_data() { TestBackends::addColumn(); }
    void accentsAndQuotes()
    {
        WL_MAKE_DB(m_backends, t);
        const QString drop = QStringLiteral("'; DROP TABLE utenti; --");
        TestAccount a;
        a.email = QStringLiteral("d'ànna@example.com");
        a.password = drop;
        a.station = QStringLiteral("O'Brien");
        t->addAccount(a);
        auto c = connect(*t);
        DbQuery q(*c);
        q.setSql(Statements::accountRead(QStringLiteral("D'ÀNNA@EXAMPLE.COM"), drop.toUpper()));
        q.open();
        QCOMPARE(q.recordCount(), 1);
        QCOMPARE(q.fieldAsString(QStringLiteral("mypassword")), drop);
        QCOMPARE(q.fieldAsString(QStringLiteral("myemail")), QStringLiteral("d'ànna@example.com"));

        q.setSql(Statements::accountsByStation(QStringLiteral("O'Brien")));
        q.open();
        QCOMPARE(q.recordCount(), 1);
        q.setSql(Statements::accountsByEmail(drop));
        q.open();
        QCOMPARE(q.recordCount(), 0);
        q.setSql(Statements::accountsByStation(drop));
        q.open();
        QCOMPARE(q.recordCount(), 0);
        // Nothing was dropped or changed.
        QCOMPARE(t->value(QStringLiteral("SELECT COUNT(*) FROM utenti")).toInt(), 1);

        DbQuery log(*c);
        log.setSql(Statements::connectionLog(QStringLiteral("O'Brien")));
        log.execute();
        log.setSql(Statements::connectionLog(drop));
        log.execute();
        const auto rows =
            t->rows(QStringLiteral("SELECT mynomecanale, MYVERSIONE FROM ConnessioniTessaroFTP"));
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0][0].toString(), QStringLiteral("O'Brien DOPO IL LOGIN BRIGHTEL ENCODER"));
        QCOMPARE(rows[0][1].toString(), QStringLiteral("3"));
        QCOMPARE(rows[1][0].toString(), drop + QStringLiteral(" DOPO IL LOGIN BRIGHTEL ENCODER"));
        QCOMPARE(t->value(QStringLiteral("SELECT COUNT(*) FROM utenti")).toInt(), 1);
    }

    void signUpChecks_data() { TestBackends::addColumn(); }
    void signUpChecks()
    {
        WL_MAKE_DB(m_backends, t);
        TestAccount a;
        a.email = QStringLiteral("blu@example.com");
        a.station = QStringLiteral("RadioBluNotte");
        t->addAccount(a);
        auto c = connect(*t);
        DbQuery q(*c, 30);
        q.setSql(Statements::accountsByStation(QStringLiteral("Radio Blu Notte")));
        QCOMPARE(q.values(), QStringList{QStringLiteral("RadioBluNotte")});
        q.open();
        q.last();
        q.first();
        QCOMPARE(q.recordCount(), 1);
        q.setSql(Statements::accountsByEmail(QStringLiteral("blu@example.com")));
        q.open();
        QCOMPARE(q.recordCount(), 1);
        q.setSql(Statements::accountsByEmail(QStringLiteral("rosso@example.com")));
        q.open();
        QCOMPARE(q.recordCount(), 0);
    }

    void maxima_data() { TestBackends::addColumn(); }
    void maxima()
    {
        WL_MAKE_DB(m_backends, t);
        auto c = connect(*t);
        DbQuery q(*c, 30);
        // The greatest integers of both columns, as sign-up takes them.
        auto read = [&](std::optional<int>& maxId, std::optional<int>& maxPort) {
            q.setSql(Statements::idsAndPorts());
            q.open();
            QVariantList ids, ports;
            for (; !q.eof(); q.next()) {
                ids << q.fieldValue(QStringLiteral("MYID"));
                ports << q.fieldValue(QStringLiteral("myporta"));
            }
            maxId = Statements::greatestInteger(ids);
            maxPort = Statements::greatestInteger(ports);
        };
        std::optional<int> id, port;
        read(id, port);
        QCOMPARE(Statements::nextAccountId(!id, id.value_or(0)), 1);
        QCOMPARE(Statements::nextPort(!port, port.value_or(0)), 10000);

        // Rows, but none holds a port.
        TestAccount a;
        a.id = 7;
        a.port = QVariant();
        t->addAccount(a);
        read(id, port);
        QCOMPARE(Statements::nextPort(!port, port.value_or(0)), 10000);

        TestAccount b;
        b.id = 41;
        b.port = 10080;
        b.email = QStringLiteral("b@example.com");
        b.station = QStringLiteral("B");
        t->addAccount(b);
        TestAccount e;
        e.id = 12;
        e.port = 10010;
        e.email = QStringLiteral("e@example.com");
        e.station = QStringLiteral("E");
        t->addAccount(e);
        read(id, port);
        QCOMPARE(Statements::nextAccountId(!id, id.value_or(0)), 42);
        QCOMPARE(Statements::nextPort(!port, port.value_or(0)), 10082);

        // A row written by another tool with text where the numbers go: SQLite keeps it as
        // text, and max() would rank it above every number (port 2, or one already taken).
        if (t->driver() == QLatin1String("QSQLITE")) {
            t->exec(QStringLiteral("INSERT INTO utenti (myid, myemail, mynomeradio, myporta) "
                                   "VALUES (9, 'x@example.com', 'X', 'porta libera')"));
            t->exec(QStringLiteral("INSERT INTO utenti (myid, myemail, mynomeradio, myporta) "
                                   "VALUES (50, 'y@example.com', 'Y', ' 10100 ')"));
            read(id, port);
            QCOMPARE(Statements::nextAccountId(!id, id.value_or(0)), 51);
            QCOMPARE(Statements::nextPort(!port, port.value_or(0)), 10102);
        }
    }

    void newAccount_data() { TestBackends::addColumn(); }
    void newAccount()
    {
        WL_MAKE_DB(m_backends, t);
        TestAccount old;
        t->addAccount(old);
        auto c = connect(*t);
        DbQuery q(*c, 30);
        q.setSql(Statements::allAccounts());
        q.open();
        QCOMPARE(q.recordCount(), 1);
        q.append();
        q.setField(QStringLiteral("myid"), QStringLiteral("2"));
        q.setField(QStringLiteral("myuser"), QStringLiteral("O'Brien"));
        q.setField(QStringLiteral("mypassword"), QStringLiteral("pa'ss"));
        q.setField(QStringLiteral("myemail"), QStringLiteral("obrien@example.com"));
        q.setField(QStringLiteral("mynomeradio"), QStringLiteral("RadioD'Ànna"));
        q.setField(QStringLiteral("cellulare"), QStringLiteral("333"));
        q.setField(QStringLiteral("myporta"), QStringLiteral("10002"));
        q.setField(QStringLiteral("mybitrate"), QStringLiteral("128000"));
        q.setField(QStringLiteral("MYGENERE"), QStringLiteral("Jazz"));
        q.setField(QStringLiteral("mydescrizione"), QStringLiteral("'; DROP TABLE utenti; --"));
        QVERIFY(q.modified());
        q.post();
        QVERIFY(!q.modified());
        QCOMPARE(q.recordCount(), 2);
        QCOMPARE(q.fieldAsString(QStringLiteral("myuser")), QStringLiteral("O'Brien"));
        const auto rows = t->rows(QStringLiteral(
            "SELECT myid, myuser, mypassword, mynomeradio, myporta, mydescrizione FROM utenti "
            "WHERE myid = 2"));
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0][0].toInt(), 2);
        QCOMPARE(rows[0][1].toString(), QStringLiteral("O'Brien"));
        QCOMPARE(rows[0][2].toString(), QStringLiteral("pa'ss"));
        QCOMPARE(rows[0][3].toString(), QStringLiteral("RadioD'Ànna"));
        QCOMPARE(rows[0][4].toInt(), 10002);
        QCOMPARE(rows[0][5].toString(), QStringLiteral("'; DROP TABLE utenti; --"));

        // A taken port is refused by the unique key, with the provider's text.
        q.append();
        q.setField(QStringLiteral("myid"), QStringLiteral("3"));
        q.setField(QStringLiteral("myporta"), QStringLiteral("10002"));
        try {
            q.post();
            QFAIL("a duplicate port was stored");
        } catch (const DbError& e) {
            QVERIFY(!e.text().isEmpty());
        }
    }

    void insertSetsOnlyTheSetColumns_data() { TestBackends::addColumn(); }
    void insertSetsOnlyTheSetColumns()
    {
        WL_MAKE_DB(m_backends, t);
        auto c = connect(*t);
        DbQuery q(*c);
        q.setSql(QString::fromLatin1(Statements::kMessagesLayoutText));
        q.open();
        q.append();
        q.setField(QStringLiteral("MYNOMERADIO"), QStringLiteral("R"));
        q.setField(QStringLiteral("mydedica"), QStringLiteral("ciao"));
        q.post();
        // The identity and the date come from the table's own defaults.
        const auto rows =
            t->rows(QStringLiteral("SELECT myid, mydata, mynomeutente FROM MESSAGGIVOCALI2"));
        QCOMPARE(rows.size(), 1);
        QVERIFY(!rows[0][0].isNull());
        QVERIFY(!rows[0][1].isNull());
        QVERIFY(rows[0][2].isNull());
    }

    void messages_data() { TestBackends::addColumn(); }
    void messages()
    {
        WL_MAKE_DB(m_backends, t);
        t->addMessage(QStringLiteral("RadioA"), QStringLiteral("Giulia"), QStringLiteral("ciao"));
        t->addMessage(QStringLiteral("RadioA"), QStringLiteral("Marco"), QStringLiteral("uguale"));
        t->addMessage(QStringLiteral("RadioA"), QStringLiteral("Marco"), QStringLiteral("uguale"));
        t->addMessage(QStringLiteral("RadioB"), QStringLiteral("Sara"), QStringLiteral("altro"));
        auto c = connect(*t);
        DbQuery q(*c);
        QCOMPARE(q.rowIdentity(), QStringList());
        q.setSql(Statements::messagesOf(QStringLiteral("RadioA")));
        q.open();
        q.last();
        q.first();
        QCOMPARE(q.recordCount(), 3);
        QCOMPARE(q.rowIdentity().join(QLatin1Char(',')).toLower(), QStringLiteral("myid"));
        QStringList names;
        for (q.first(); !q.eof(); q.next())
            names << q.fieldAsString(QStringLiteral("mynomeutente"));
        names.sort();
        QCOMPARE(names, (QStringList{QStringLiteral("Giulia"), QStringLiteral("Marco"),
                                     QStringLiteral("Marco")}));

        // Delete one of the two identical messages: its twin stays.
        q.first();
        while (q.fieldAsString(QStringLiteral("mydedica")) != QLatin1String("uguale"))
            q.next();
        q.deleteRow();
        QCOMPARE(q.recordCount(), 2);
        QCOMPARE(t->value(QStringLiteral(
                              "SELECT COUNT(*) FROM MESSAGGIVOCALI2 WHERE mydedica = 'uguale'"))
                     .toInt(),
                 1);

        // An edit is posted when the list moves to another row, to that row only.
        q.first();
        while (q.fieldAsString(QStringLiteral("mydedica")) != QLatin1String("uguale"))
            q.next();
        q.setField(QString::fromLatin1(Statements::kDedicaColumn), QStringLiteral("l'ho cambiato"));
        QVERIFY(q.modified());
        QCOMPARE(t->value(QStringLiteral(
                              "SELECT COUNT(*) FROM MESSAGGIVOCALI2 WHERE mydedica = 'uguale'"))
                     .toInt(),
                 1);
        q.recNo() == 0 ? q.next() : q.first();
        QVERIFY(!q.modified());
        QCOMPARE(t->value(QStringLiteral("SELECT COUNT(*) FROM MESSAGGIVOCALI2 WHERE mydedica = ?"),
                          {QStringLiteral("l'ho cambiato")})
                     .toInt(),
                 1);
        QCOMPARE(t->value(QStringLiteral(
                              "SELECT COUNT(*) FROM MESSAGGIVOCALI2 WHERE mydedica = 'uguale'"))
                     .toInt(),
                 0);

        // An edit is dropped when the list is closed first.
        q.setField(QStringLiteral("mydedica"), QStringLiteral("perso"));
        q.close();
        QCOMPARE(t->value(QStringLiteral(
                              "SELECT COUNT(*) FROM MESSAGGIVOCALI2 WHERE mydedica = 'perso'"))
                     .toInt(),
                 0);

        // Delete-all of one station leaves the others.
        AppConfig config = t->config();
        auto all = ServiceConnections::makeDeleteAllQuery(config);
        all->setSql(Statements::deleteAllMessagesOf(QStringLiteral("RadioA")));
        all->execute();
        QCOMPARE(t->messageCount(QStringLiteral("RadioA")), 0);
        QCOMPARE(t->messageCount(QStringLiteral("RadioB")), 1);

        // The emptied list has no current row: a single delete there is refused, and the
        // board does not attempt it.
        q.setSql(Statements::messagesOf(QStringLiteral("RadioA")));
        q.open();
        QVERIFY(q.eof());
        QVERIFY_THROWS_EXCEPTION(DbError, q.deleteRow());
        QCOMPARE(t->messageCount(QStringLiteral("RadioB")), 1);
    }

    // A table without a key: rows are found by every column read, and one of two identical
    // rows is changed or deleted alone.
    void tableWithoutKey_data() { TestBackends::addColumn(); }
    void tableWithoutKey()
    {
        WL_MAKE_DB(m_backends, t);
        const bool pg = t->driver() == QLatin1String("QPSQL");
        t->exec(
            QStringLiteral("CREATE TABLE messaggi_vecchi (mynomeradio varchar(100), mynomeutente "
                           "varchar(100), mydedica varchar(400), mydata ") +
            (pg ? QStringLiteral("timestamp(0))") : QStringLiteral("TEXT)")));
        for (int i = 0; i < 2; ++i)
            t->exec(QStringLiteral("INSERT INTO messaggi_vecchi VALUES ('R', 'Marco', 'uguale', ") +
                    (pg ? QStringLiteral("CAST('2024-05-01 10:00:00' AS timestamp))")
                        : QStringLiteral("'2024-05-01 10:00:00')")));
        t->exec(QStringLiteral(
            "INSERT INTO messaggi_vecchi (mynomeradio, mynomeutente) VALUES ('R', 'Nullo')"));
        auto c = connect(*t);
        DbQuery q(*c);
        q.setSql(QStringLiteral("SELECT * FROM messaggi_vecchi WHERE MYNOMERADIO = ?;"),
                 {QStringLiteral("R")});
        q.open();
        QCOMPARE(q.recordCount(), 3);
        QCOMPARE(q.rowIdentity().size(), 4);
        auto count = [&](const QString& where) {
            return t->value(QStringLiteral("SELECT COUNT(*) FROM messaggi_vecchi WHERE ") + where)
                .toInt();
        };
        q.first();
        while (q.fieldAsString(QStringLiteral("mydedica")) != QLatin1String("uguale"))
            q.next();
        q.setField(QStringLiteral("mydedica"), QStringLiteral("cambiato"));
        q.post();
        QCOMPARE(count(QStringLiteral("mydedica = 'cambiato'")), 1);
        QCOMPARE(count(QStringLiteral("mydedica = 'uguale'")), 1);

        q.first();
        while (q.fieldAsString(QStringLiteral("mydedica")) != QLatin1String("uguale"))
            q.next();
        q.deleteRow();
        QCOMPARE(count(QStringLiteral("mydedica = 'uguale'")), 0);
        QCOMPARE(count(QStringLiteral("mydedica = 'cambiato'")), 1);

        // NULL columns are matched as NULL.
        q.first();
        while (q.fieldAsString(QStringLiteral("mynomeutente")) != QLatin1String("Nullo"))
            q.next();
        QCOMPARE(q.fieldAsString(QStringLiteral("mydedica")), QString());
        q.deleteRow();
        QCOMPARE(count(QStringLiteral("mynomeutente = 'Nullo'")), 0);

        // A row that has gone meanwhile is reported, not passed over.
        t->exec(QStringLiteral("DELETE FROM messaggi_vecchi"));
        q.first();
        QVERIFY_THROWS_EXCEPTION(DbError, q.deleteRow());
    }

    void seedScript_data() { TestBackends::addColumn(); }
    void seedScript()
    {
        WL_MAKE_DB(m_backends, t);
        for (const QString& s :
             TestDb::scriptStatements(TestDb::sourceDir() + QStringLiteral("/db/seed.sql")))
            t->exec(s);
        auto c = connect(*t);
        DbQuery q(*c);
        q.setSql(Statements::accountRead(QStringLiteral("DEMO@WAVELORN.LOCAL"),
                                         QStringLiteral("DEMOPASS")));
        q.open();
        QCOMPARE(q.fieldAsString(QStringLiteral("mynomeradio")), QStringLiteral("RadioDemo"));
        q.setSql(Statements::messagesOf(QStringLiteral("RadioDemo")));
        q.open();
        QCOMPARE(q.recordCount(), 3);
        QVERIFY(!q.fieldAsString(QStringLiteral("mydata")).isEmpty());
    }

    void statementTexts()
    {
        QCOMPARE(Statements::accountRead(QStringLiteral("E"), QStringLiteral("P")).text,
                 QStringLiteral("SELECT * FROM  utenti   WHERE UPPER(?) = UPPER(myemail) AND "
                                "UPPER(mypassword) = UPPER(?)"));
        QCOMPARE(Statements::connectionLog(QStringLiteral("Radio")).values,
                 QStringList{QStringLiteral("Radio DOPO IL LOGIN BRIGHTEL ENCODER")});
        QCOMPARE(Statements::messagesOf(QStringLiteral("R")).text,
                 QStringLiteral("SELECT * FROM MESSAGGIVOCALI2 WHERE MYNOMERADIO = ?;"));
        QCOMPARE(ServiceConnections::webServerHost(QStringLiteral("service.example")),
                 QStringLiteral("www.service.example"));
        QCOMPARE(ServiceConnections::webServerHost(QStringLiteral("127.0.0.1")),
                 QStringLiteral("127.0.0.1"));
    }
};

QTEST_GUILESS_MAIN(TestStatements)
#include "tst_statements.moc"
