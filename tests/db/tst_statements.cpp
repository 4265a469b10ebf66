// Every statement of the service database, on SQLite and on a real PostgreSQL.
#include "backends.h"
#include "dbquery.h"
#include "statements.h"

#include <QTest>

class TestStatements : public QObject {
    Q_OBJECT
    Backends m_backends;

    static std::unique_ptr<DbConnection> connect(TestDb& t)
    {
        auto c = std::make_unique<DbConnection>(QStringLiteral("test"), t.settings());
        c->open();
        return c;
    }

private slots:
    void cleanupTestCase() { m_backends.stop(); }

    void accountRead_data() { Backends::addColumn(); }
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
};

QTEST_GUILESS_MAIN(TestStatements)
#include "tst_statements.moc"
