// Sign-up on the real database layer (SQLite and PostgreSQL) with the fake shell: the window,
// the required fields, the checks, the id and port, the stored row, the end of the program,
// failing statements, and sign-ups racing from two connections.
#include "UfmShoutcast2.h"
#include "appconfig.h"
#include "apprun.h"
#include "boxrecorder.h"
#include "fakemixerbackend.h"
#include "fakeshell.h"
#include "faultproxy.h"
#include "forms.h"
#include "pgserver.h"
#include "program.h"
#include "stationprofile.h"
#include "testbackends.h"
#include "testdb.h"
#include "ufmLogin.h"
#include "ufmRegistrazione.h"

#include <QAbstractButton>
#include <QCursor>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSet>
#include <QThread>
#include <QTimer>
#include <QtTest>
#include <array>
#include <atomic>

// Two lists of texts, shown whole when they differ.
#define WL_COMPARE_TEXTS(actual, expected)                                                         \
    QVERIFY2((actual) == (expected),                                                               \
             qPrintable(QStringLiteral("got [") + (actual).join(QStringLiteral(" | ")) +           \
                        QStringLiteral("], expected [") +                                          \
                        QStringList(expected).join(QStringLiteral(" | ")) + QLatin1Char(']')))

namespace {

const QString kSignedUp = QStringLiteral("Ti sei registrato, ora accedi cliccando su Entra con i "
                                         "dati che hai inserito nella registrazione");
const QString kProgramEnds = QStringLiteral("ORA IL PROGRAMMA SARà CHIUSO RIAVVIALO E ENTRA "
                                            "CLICCANDO SU ENTRA CON I DATI DELLA REGISTRAZIONE!!!");
const QString kEmailTaken = QStringLiteral("E-Mail già presente scrivine una diversa");
const QString kStationTaken = QStringLiteral("Nome Canale già presente scrivine uno diverso");

const QStringList kColumns = {QStringLiteral("myid"),        QStringLiteral("myuser"),
                              QStringLiteral("mypassword"),  QStringLiteral("myemail"),
                              QStringLiteral("mynomeradio"), QStringLiteral("cellulare"),
                              QStringLiteral("myporta"),     QStringLiteral("mybitrate"),
                              QStringLiteral("mygenere"),    QStringLiteral("mydescrizione")};

// Every account of the table, ordered by id, each column as text.
QList<QStringList> accounts(TestDb& db)
{
    QList<QStringList> list;
    const auto rows = db.rows(QStringLiteral("SELECT ") + kColumns.join(QStringLiteral(", ")) +
                              QStringLiteral(" FROM utenti ORDER BY myid"));
    for (const QVariantList& row : rows) {
        QStringList texts;
        for (const QVariant& v : row)
            texts << v.toString();
        list << texts;
    }
    return list;
}

int accountCount(TestDb& db)
{
    return db.value(QStringLiteral("SELECT COUNT(*) FROM utenti")).toInt();
}

TestAccount existing(int id, const QVariant& port, const QString& email, const QString& station)
{
    TestAccount a;
    a.id = id;
    a.port = port;
    a.email = email;
    a.station = station;
    return a;
}

// The sign-up window alone, on a connection of its own to the test's database.
struct SignUp {
    explicit SignUp(TestDb& db) : SignUp(db, db.settings()) {}
    SignUp(TestDb& db, const DbConnectionSettings& settings)
        : config(db.config()), ctx{config, profile, run, shell, mixer},
          connection(QStringLiteral("signup.dbsql"), settings), window(ctx)
    {
        connection.open();
        window.setConnection(connection);
        boxes.install(run);
    }
    ~SignUp() { QCoreApplication::processEvents(); }

    std::array<QLineEdit*, 7> edits() const
    {
        return {window.edemail,     window.edpassword, window.edusername,   window.ednomecanale,
                window.edCellulare, window.edgenere,   window.eddescrizione};
    }
    // Replaces the seven texts, in the order of the window.
    void type(const QStringList& texts)
    {
        for (int i = 0; i < 7; ++i)
            edits()[i]->setText(texts.value(i));
    }
    QStringList texts() const
    {
        QStringList list;
        for (int i = 0; i < 7; ++i)
            list << edits()[i]->text();
        return list;
    }

    AppConfig config;
    StationProfile profile;
    AppRun run;
    FakeShell shell;
    FakeMixerBackend mixer;
    AppContext ctx;
    DbConnection connection;
    TfmRegistrazione window;
    BoxRecorder boxes;
};

QStringList blueNight()
{
    return {QStringLiteral("notte@radio.example"), QStringLiteral("Pass'Word"),
            QStringLiteral("Mario Rossi"),         QStringLiteral("Radio Blu Notte"),
            QStringLiteral("3331234567"),          QStringLiteral("Jazz"),
            QStringLiteral("La notte, in blu")};
}

signup::NewAccount newAccount(int n)
{
    signup::NewAccount a;
    a.email = QStringLiteral("gara%1@radio.example").arg(n);
    a.password = QStringLiteral("pw%1").arg(n);
    a.user = QStringLiteral("utente %1").arg(n);
    a.stationName = QStringLiteral("Radio Gara %1").arg(n);
    a.mobile = QStringLiteral("333%1").arg(n);
    a.genre = QStringLiteral("Rock");
    a.description = QStringLiteral("Gara %1").arg(n);
    return a;
}

// One refusing trigger on inserts into utenti, with the text it refuses with.
void refuseInserts(TestDb& db)
{
    if (db.driver() == QLatin1String("QSQLITE")) {
        db.exec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON utenti BEGIN "
                               "SELECT RAISE(ABORT, 'riga rifiutata'); END"));
    } else {
        db.exec(QStringLiteral("CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN "
                               "RAISE EXCEPTION 'riga rifiutata'; END $$ LANGUAGE plpgsql"));
        db.exec(QStringLiteral("CREATE TRIGGER refuse BEFORE INSERT ON utenti "
                               "FOR EACH ROW EXECUTE FUNCTION refuse()"));
    }
}

void allowInserts(TestDb& db)
{
    if (db.driver() == QLatin1String("QSQLITE"))
        db.exec(QStringLiteral("DROP TRIGGER refuse"));
    else
        db.exec(QStringLiteral("DROP TRIGGER refuse ON utenti"));
}

} // namespace

class TestSignUp : public QObject {
    Q_OBJECT

    TestBackends m_backends{QStringLiteral("signup")};

    std::unique_ptr<TestDb> database() { return m_backends.make(TestBackends::globalBackend()); }
    static bool onSqlite() { return TestBackends::onSqlite(); }

private slots:
    void initTestCase_data() { TestBackends::addColumn(); }
    void initTestCase() { m_backends.startPostgres(); }
    void init() { WL_SKIP_WITHOUT_POSTGRES(m_backends); }
    void cleanupTestCase() { m_backends.stop(); }

    void theWindowAsItsLayoutSays()
    {
        if (!onSqlite())
            QSKIP("the layout does not depend on the database");
        auto db = database();
        SignUp s(*db);
        TfmRegistrazione& w = s.window;
        QCOMPARE(w.objectName(), QStringLiteral("fmRegistrazione"));
        QCOMPARE(w.windowTitle(), QStringLiteral("Registrazione"));
        QCOMPARE(w.minimumSize(), QSize(703, 444));
        QCOMPARE(w.maximumSize(), QSize(703, 444));
        QCOMPARE(w.pos(), QPoint(TfmRegistrazione::kDesignLeft, TfmRegistrazione::kDesignTop));

        const QList<QLabel*> labels = {w.lbemail,     w.lbpassword, w.lbusername,   w.lbnomecanale,
                                       w.lbCellulare, w.lbgenere,   w.lbdescrizione};
        const QStringList captions = {QStringLiteral("E-Mail:"),
                                      QStringLiteral("Password:"),
                                      QStringLiteral("User name:"),
                                      QStringLiteral("Nome canale:"),
                                      QStringLiteral("N. Cellulare:"),
                                      QStringLiteral("Genere di musica:"),
                                      QStringLiteral("Descrizione canale:")};
        for (int i = 0; i < 7; ++i) {
            QLabel* l = labels[i];
            QLineEdit* e = s.edits()[i];
            QCOMPARE(l->text(), captions[i]);
            QVERIFY(l->font().bold());
            QVERIFY(l->font().pointSize() > w.font().pointSize());
            // The whole text fits.
            QVERIFY2(l->sizeHint().width() <= l->width(), qPrintable(l->text()));
            // Left of its edit, on the same row; rows from top to bottom.
            QVERIFY(l->geometry().right() < e->geometry().left());
            QVERIFY(l->geometry().intersects(QRect(0, e->y(), 703, e->height())));
            if (i > 0)
                QVERIFY(e->y() > s.edits()[i - 1]->y());
            QVERIFY(w.rect().contains(l->geometry()));
            QVERIFY(w.rect().contains(e->geometry()));
            QCOMPARE(e->echoMode(), i == 1 ? QLineEdit::Password : QLineEdit::Normal);
        }
        // Each character of the password shows as "*", as in the other windows.
        w.edpassword->setText(QStringLiteral("ab"));
        QCOMPARE(w.edpassword->displayText(), QStringLiteral("**"));
        w.edpassword->clear();

        QCOMPARE(w.lbnota->text(),
                 QStringLiteral("NON USARE CARATTERI SPECIALI,  GLI SPAZI VERRANNO ELIMINATI"));
        QVERIFY(w.lbnota->font().bold());
        QVERIFY(w.lbnota->heightForWidth(w.lbnota->width()) <= w.lbnota->height());
        QVERIFY(w.lbnota->font().pointSize() < w.lbnomecanale->font().pointSize());
        QVERIFY(w.lbnota->x() > w.ednomecanale->geometry().right());
        QVERIFY(w.rect().contains(w.lbnota->geometry()));
        QCOMPARE(w.btInvia->text(), QStringLiteral("Invia"));
        QCOMPARE(w.btAnnulla->text(), QStringLiteral("Annulla"));
        QVERIFY(w.btInvia->y() > w.eddescrizione->y());

        // Focus: the seven edits in order, then the two buttons, and back round.
        QList<QWidget*> expected;
        for (int i = 0; i < 7; ++i)
            expected << s.edits()[i];
        expected << w.btInvia << w.btAnnulla << w.edemail;
        QWidget* at = w.edemail;
        for (int i = 1; i < expected.size(); ++i) {
            do
                at = at->nextInFocusChain();
            while (!(at->focusPolicy() & Qt::TabFocus));
            QCOMPARE(at, expected[i]);
        }

        // Each showing gives the skin its file; the skin stays off.
        QVERIFY(w.se.SkinFile.isEmpty());
        w.show();
        QCOMPARE(w.se.SkinFile, s.config.programDir + QStringLiteral("/skin.sui"));
        QVERIFY(!w.se.Active);
        w.hide();
        w.se.SkinFile.clear();
        w.show();
        QCOMPARE(w.se.SkinFile, s.config.programDir + QStringLiteral("/skin.sui"));
        w.hide();
    }

    void requiredFields_data()
    {
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<QString>("message");
        const QStringList full = blueNight();
        QTest::newRow("all empty")
            << QStringList(7, QString()) << QStringLiteral("E-Mail obbligatoria");
        const QStringList messages = {QStringLiteral("E-Mail obbligatoria"),
                                      QStringLiteral("Password obbligatoria"),
                                      QStringLiteral("User Name obbligatorio"),
                                      QStringLiteral("Nome Canale obbligatorio"),
                                      QStringLiteral("Numero Cellulare obbligatorio"),
                                      QStringLiteral("Genere musica obbligatorio"),
                                      QStringLiteral("Descrizione obbligatoria")};
        for (int i = 0; i < 7; ++i) {
            QStringList typed = full;
            typed[i].clear();
            QTest::addRow("only field %d empty", i + 1) << typed << messages[i];
        }
        QStringList later = QStringList(7, QString());
        later[0] = full[0];
        later[1] = full[1];
        QTest::newRow("first empty of several") << later << messages[2];
        QStringList blanks = full;
        blanks[3] = QStringLiteral("   ");
        QTest::newRow("channel name of blanks") << blanks << messages[3];
        blanks[4].clear();
        QTest::newRow("blank channel before empty mobile") << blanks << messages[3];
    }

    // A missing field shows its message alone; nothing reaches the database, the window keeps
    // what was typed, and the program goes on.
    void requiredFields()
    {
        QFETCH(QStringList, typed);
        QFETCH(QString, message);
        auto db = database();
        SignUp s(*db);
        s.type(typed);
        s.window.btInviaClick();
        WL_COMPARE_TEXTS(s.boxes.waited, QStringList{message});
        QCOMPARE(s.texts(), typed);
        QCOMPARE(accountCount(*db), 0);
        QVERIFY(s.shell.calls.isEmpty());
        QVERIFY(!s.run.endRequested());
    }

    // Fields of blanks are not empty: they are stored as typed. The e-mail alone is taken
    // without the blanks, tabs or line end around it.
    void blankFieldsAreGiven()
    {
        auto db = database();
        SignUp s(*db);
        QStringList typed(7, QStringLiteral(" "));
        typed[0] = QStringLiteral(" \tx@y.it\n");
        typed[3] = QStringLiteral(" R ");
        s.type(typed);
        s.window.btInviaClick();
        WL_COMPARE_TEXTS(s.boxes.waited, (QStringList{kSignedUp, kProgramEnds}));
        const auto rows = accounts(*db);
        QCOMPARE(rows.size(), 1);
        QCOMPARE(rows[0],
                 (QStringList{"1", " ", " ", "x@y.it", "R", " ", "10000", "128000", " ", " "}));
    }

    void takenEmailOrStation_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("station");
        QTest::addColumn<QString>("message");
        QTest::newRow("e-mail") << QStringLiteral("presa@radio.example")
                                << QStringLiteral("Altra Radio") << kEmailTaken;
        QTest::newRow("both: the e-mail first")
            << QStringLiteral("presa@radio.example") << QStringLiteral("RadioPresa") << kEmailTaken;
        // The typed blanks go before the search.
        QTest::newRow("station") << QStringLiteral("libera@radio.example")
                                 << QStringLiteral(" Radio Presa ") << kStationTaken;
    }

    void takenEmailOrStation()
    {
        QFETCH(QString, email);
        QFETCH(QString, station);
        QFETCH(QString, message);
        auto db = database();
        db->addAccount(existing(5, 10008, QStringLiteral("presa@radio.example"),
                                QStringLiteral("RadioPresa")));
        const auto before = accounts(*db);
        SignUp s(*db);
        QStringList typed = blueNight();
        typed[0] = email;
        typed[3] = station;
        s.type(typed);
        s.window.btInviaClick();
        WL_COMPARE_TEXTS(s.boxes.waited, QStringList{message});
        QCOMPARE(accounts(*db), before);
        QCOMPARE(s.texts(), typed);
        QVERIFY(s.shell.calls.isEmpty());
        QVERIFY(!s.run.endRequested());
    }

    // The whole course from "Registrati": the row, the page, the two messages that wait, and
    // only then the end of the program.
    void successfulSignUp()
    {
        auto db = database();
        SignUp s(*db);
        int waitedAtEnd = -1;
        connect(&s.run, &AppRun::endRequestedSignal, this,
                [&] { waitedAtEnd = int(s.boxes.waited.size()); });
        s.boxes.onWindow = [&](QDialog& dialog) {
            QCOMPARE(&dialog, static_cast<QDialog*>(&s.window));
            s.type(blueNight());
            QTest::mouseClick(s.window.btInvia, Qt::LeftButton);
            if (s.window.isVisible()) // failed: do not leave the modal run waiting
                s.window.reject();
        };
        const int result = s.run.execModal(s.window);
        QCOMPARE(result, int(QDialog::Accepted));
        QVERIFY(!s.window.isVisible());

        QCOMPARE(accounts(*db),
                 (QList<QStringList>{{"1", "Mario Rossi", "Pass'Word", "notte@radio.example",
                                      "RadioBluNotte", "3331234567", "10000", "128000", "Jazz",
                                      "La notte, in blu"}}));
        QCOMPARE(s.shell.calls.size(), 1);
        const QString page =
            QStringLiteral("http://") + s.config.serviceHost + QStringLiteral("/CREASHOUT3.asp");
        QCOMPARE(s.shell.calls[0].kind, QStringLiteral("open"));
        QCOMPARE(s.shell.calls[0].address, page);
        QCOMPARE(s.shell.calls[0].parameters, page);
        QCOMPARE(s.shell.calls[0].show, int(Shell::ShowMaximized));
        WL_COMPARE_TEXTS(s.boxes.waited, (QStringList{kSignedUp, kProgramEnds}));
        QCOMPARE(waitedAtEnd, 2);
        QVERIFY(s.run.endRequested());
    }

    void nextIdAndPort_data()
    {
        QTest::addColumn<QList<int>>("ids");
        QTest::addColumn<QList<int>>("ports"); // -1: NULL
        QTest::addColumn<QString>("station");
        QTest::addColumn<QStringList>("stored");
        QTest::newRow("empty table")
            << QList<int>{} << QList<int>{} << QStringLiteral("Radio Blu Notte")
            << QStringList{"1", "RadioBluNotte", "10000"};
        QTest::newRow("greatest 41 and 10080")
            << QList<int>{41, 3} << QList<int>{10002, 10080}
            << QStringLiteral("Ràdio+Blu/Nötte 'n' Co.")
            << QStringList{"42", "Ràdio+Blu/Nötte'n'Co.", "10082"};
        QTest::newRow("no port anywhere")
            << QList<int>{9} << QList<int>{-1} << QStringLiteral("\tRadio\tTab ")
            << QStringList{"10", "\tRadio\tTab", "10000"};
    }

    void nextIdAndPort()
    {
        QFETCH(QList<int>, ids);
        QFETCH(QList<int>, ports);
        QFETCH(QString, station);
        QFETCH(QStringList, stored);
        auto db = database();
        for (int i = 0; i < ids.size(); ++i)
            db->addAccount(existing(ids[i], ports[i] < 0 ? QVariant() : QVariant(ports[i]),
                                    QStringLiteral("a%1@radio.example").arg(i),
                                    QStringLiteral("Esistente%1").arg(i)));
        SignUp s(*db);
        QStringList typed = blueNight();
        typed[3] = station;
        s.type(typed);
        s.window.btInviaClick();
        WL_COMPARE_TEXTS(s.boxes.waited, (QStringList{kSignedUp, kProgramEnds}));
        const auto row = db->rows(QStringLiteral("SELECT myid, mynomeradio, myporta FROM utenti "
                                                 "WHERE myemail = ?"),
                                  {typed[0]});
        QCOMPARE(row.size(), 1);
        QCOMPARE((QStringList{row[0][0].toString(), row[0][1].toString(), row[0][2].toString()}),
                 stored);
        QCOMPARE(accountCount(*db), ids.size() + 1);
    }

    void enterInAnyEditRunsSignUp_data()
    {
        QTest::addColumn<int>("edit");
        QTest::addColumn<int>("key");
        for (int i = 0; i < 7; ++i)
            QTest::addRow("edit %d", i + 1) << i << int(Qt::Key_Return);
        QTest::newRow("keypad Enter") << 3 << int(Qt::Key_Enter);
    }

    // Enter runs sign-up once, also with the fields still empty; other keys type as usual.
    void enterInAnyEditRunsSignUp()
    {
        QFETCH(int, edit);
        QFETCH(int, key);
        auto db = database();
        SignUp s(*db);
        s.window.show();
        QLineEdit* e = s.edits()[edit];
        QTest::keyClicks(e, QStringLiteral("x y"));
        QCOMPARE(e->text(), QStringLiteral("x y"));
        QVERIFY(s.boxes.waited.isEmpty());
        e->clear();
        QTest::keyClick(e, Qt::Key(key));
        WL_COMPARE_TEXTS(s.boxes.waited, QStringList{QStringLiteral("E-Mail obbligatoria")});

        // With everything typed, Enter signs up.
        s.boxes.waited.clear();
        s.type(blueNight());
        QTest::keyClick(e, Qt::Key(key));
        WL_COMPARE_TEXTS(s.boxes.waited, (QStringList{kSignedUp, kProgramEnds}));
        QCOMPARE(accountCount(*db), 1);
        QVERIFY(s.run.endRequested());
    }

    void annullaClosesAndChangesNothing()
    {
        auto db = database();
        SignUp s(*db);
        s.boxes.onWindow = [&](QDialog&) {
            s.type(blueNight());
            QTest::mouseClick(s.window.btAnnulla, Qt::LeftButton);
        };
        QCOMPARE(s.run.execModal(s.window), int(QDialog::Rejected));
        QVERIFY(!s.window.isVisible());
        QCOMPARE(accountCount(*db), 0);
        QVERIFY(s.boxes.waited.isEmpty());
        QVERIFY(!s.run.endRequested());
        // What was typed is there at the next showing.
        s.boxes.onWindow = [&](QDialog& d) {
            QCOMPARE(s.texts(), blueNight());
            d.reject();
        };
        s.run.execModal(s.window);
        QCOMPARE(s.texts(), blueNight());
    }

    // A failing statement shows the provider's text; the window stays with what was typed, and
    // a later sign-up that can go through does, without the row that failed.
    void failingStatements()
    {
        auto db = database();
        SignUp s(*db);
        s.type(blueNight());

        refuseInserts(*db);
        s.window.btInviaClick();
        QCOMPARE(s.boxes.waited.size(), 1);
        QVERIFY2(s.boxes.waited[0].startsWith(QStringLiteral("Exception: ")),
                 qPrintable(s.boxes.waited[0]));
        QVERIFY2(s.boxes.waited[0].contains(QStringLiteral("riga rifiutata")),
                 qPrintable(s.boxes.waited[0]));
        QCOMPARE(s.texts(), blueNight());
        QCOMPARE(accountCount(*db), 0);
        QVERIFY(s.shell.calls.isEmpty());
        QVERIFY(!s.run.endRequested());

        allowInserts(*db);
        s.boxes.waited.clear();
        s.window.btInviaClick();
        WL_COMPARE_TEXTS(s.boxes.waited, (QStringList{kSignedUp, kProgramEnds}));
        QCOMPARE(accountCount(*db), 1);
    }

    void unreachableDatabase()
    {
        auto db = database();
        SignUp s(*db);
        s.type(blueNight());
        // The table the statements need is gone.
        db->exec(QStringLiteral("DROP TABLE utenti"));
        s.window.btInviaClick();
        QCOMPARE(s.boxes.waited.size(), 1);
        QVERIFY2(s.boxes.waited[0].startsWith(QStringLiteral("Exception: ")) &&
                     s.boxes.waited[0].size() > 11,
                 qPrintable(s.boxes.waited[0]));
        QCOMPARE(s.texts(), blueNight());
        QVERIFY(!s.run.endRequested());
    }

    void concurrentSignUpInBetween_data()
    {
        QTest::addColumn<QString>("what");
        QTest::addColumn<int>("outcome");
        QTest::newRow("same id and port")
            << QStringLiteral("id+port") << int(signup::StoreResult::Stored);
        QTest::newRow("same port only")
            << QStringLiteral("port") << int(signup::StoreResult::Stored);
        QTest::newRow("same e-mail")
            << QStringLiteral("email") << int(signup::StoreResult::EmailTaken);
        QTest::newRow("same station")
            << QStringLiteral("station") << int(signup::StoreResult::StationTaken);
    }

    // Another sign-up stores its row between this one's maxima and its insert: the refused row
    // is computed again, or the taken e-mail or name is reported.
    void concurrentSignUpInBetween()
    {
        if (onSqlite())
            QSKIP("SQLite holds its write lock from the maxima to the insert: nothing gets in");
        QFETCH(QString, what);
        QFETCH(int, outcome);
        auto db = database();
        db->addAccount(
            existing(3, 10004, QStringLiteral("a@radio.example"), QStringLiteral("Prima")));
        DbConnection mine(QStringLiteral("race.mine"), db->settings());
        DbQuery sel(mine, 30), ut(mine, 30);
        const signup::NewAccount a = newAccount(1);
        int calls = 0;
        const auto result = signup::storeNewAccount(mine, sel, ut, a, [&](int id, int port) {
            if (calls++ > 0)
                return;
            QCOMPARE(id, 4);
            QCOMPARE(port, 10006);
            TestAccount other =
                existing(what == QLatin1String("port") ? 50 : id, port,
                         QStringLiteral("other@radio.example"), QStringLiteral("Altra"));
            if (what == QLatin1String("email") || what == QLatin1String("station")) {
                other = existing(20, 10100, QStringLiteral("other@radio.example"),
                                 QStringLiteral("Altra"));
                if (what == QLatin1String("email"))
                    other.email = a.email;
                else
                    other.station = QStringLiteral("RadioGara1");
            }
            db->addAccount(other);
        });
        QCOMPARE(int(result.outcome), outcome);
        const int mineStored = db->value(QStringLiteral("SELECT COUNT(*) FROM utenti WHERE "
                                                        "mypassword = ?"),
                                         {a.password})
                                   .toInt();
        QCOMPARE(mineStored, outcome == signup::StoreResult::Stored ? 1 : 0);
        QCOMPARE(accountCount(*db), outcome == signup::StoreResult::Stored ? 3 : 2);
        if (what == QLatin1String("id+port")) {
            QCOMPARE(result.id, 5);
            QCOMPARE(result.port, 10008);
        } else if (what == QLatin1String("port")) {
            QCOMPARE(result.id, 51);
            QCOMPARE(result.port, 10008);
        }
        QCOMPARE(calls, outcome == signup::StoreResult::Stored ? 2 : 1);
    }

    // Sign-ups from two connections at the same time: every one is stored, on distinct ids
    // and ports.
    void racingSignUps()
    {
        auto db = database();
        const DbConnectionSettings settings = db->settings();
        constexpr int kEach = 4; // fewer than the attempts: a sign-up can lose only that often
        std::atomic<int> failures{0};
        QStringList errors;
        QMutex errorsLock;
        auto worker = [&](int n) {
            return QThread::create([&, n] {
                try {
                    DbConnection c(QStringLiteral("race.%1").arg(n), settings);
                    DbQuery sel(c, 30), ut(c, 30);
                    for (int i = 0; i < kEach; ++i) {
                        const auto r = signup::storeNewAccount(c, sel, ut, newAccount(n * 100 + i));
                        if (r.outcome != signup::StoreResult::Stored)
                            ++failures;
                    }
                } catch (const DbError& e) {
                    ++failures;
                    QMutexLocker lock(&errorsLock);
                    errors << e.text();
                }
            });
        };
        std::unique_ptr<QThread> one(worker(1)), two(worker(2));
        one->start();
        two->start();
        QVERIFY(one->wait(120000));
        QVERIFY(two->wait(120000));
        QVERIFY2(failures == 0, qPrintable(errors.join(QStringLiteral("; "))));

        const auto rows = accounts(*db);
        QCOMPARE(rows.size(), 2 * kEach);
        for (int i = 0; i < rows.size(); ++i) {
            QCOMPARE(rows[i][0], QString::number(i + 1));
            QCOMPARE(rows[i][6], QString::number(10000 + 2 * i));
        }
    }

    // An account made by sign-up signs in at the next start of the program.
    void signsInAtTheNextStart()
    {
        auto db = database();
        const AppConfig config = db->config();
        FakeMixerBackend mixer;
        mixer.layOutSoundCard({QStringLiteral("Altoparlanti")});

        {
            StationProfile profile;
            AppRun run;
            FakeShell shell;
            AppContext ctx{config, profile, run, shell, mixer};
            Program program(ctx);
            BoxRecorder boxes;
            boxes.install(run);
            boxes.onWindow = [&](QDialog& dialog) {
                auto* w = qobject_cast<TfmRegistrazione*>(&dialog);
                QVERIFY(w);
                const QStringList t = blueNight();
                QLineEdit* edits[] = {w->edemail,      w->edpassword,  w->edusername,
                                      w->ednomecanale, w->edCellulare, w->edgenere,
                                      w->eddescrizione};
                for (int i = 0; i < 7; ++i)
                    edits[i]->setText(t[i]);
                w->btInviaClick();
                if (w->isVisible())
                    w->reject();
            };
            program.create();
            program.showMain();
            fmLogin->Label1Click();
            WL_COMPARE_TEXTS(boxes.waited, (QStringList{kSignedUp, kProgramEnds}));
            QVERIFY(run.endRequested());
            program.destroy();
            QCoreApplication::processEvents();
        }

        StationProfile profile;
        AppRun run;
        FakeShell shell;
        AppContext ctx{config, profile, run, shell, mixer};
        Program program(ctx);
        BoxRecorder boxes;
        boxes.install(run);
        program.create();
        program.showMain();
        fmLogin->edUser->setText(QStringLiteral("notte@radio.example"));
        fmLogin->edPassword->setText(QStringLiteral("Pass'Word"));
        fmLogin->lbEntraClick();
        QVERIFY(!run.endRequested());
        QCOMPARE(profile.stationName, QStringLiteral("RadioBluNotte"));
        QCOMPARE(profile.port, QStringLiteral("10000"));
        QCOMPARE(profile.streamPassword, QStringLiteral("Pass'Word"));
        QCOMPARE(fmShoutcast2->ed_server->text(), config.serviceHost + QStringLiteral(":10000"));
        program.destroy();
        QCoreApplication::processEvents();
    }

    // The server goes silent under an open connection: the owner gets "Exception: " and the
    // time-out within the bound, the window keeps answering meanwhile with the hourglass,
    // and a second "Invia" cannot start another sign-up.
    void silentServerWithinTheBound()
    {
        if (onSqlite())
            QSKIP("a network fault needs a server");
        auto db = database();
        FaultProxy proxy(quint16(db->settings().port));
        QVERIFY(proxy.start());
        DbConnectionSettings viaProxy = db->settings();
        viaProxy.port = proxy.port();
        viaProxy.statementCeilingSeconds = 3;
        SignUp s(*db, viaProxy);
        TfmLogin::installBusyCursor();
        s.window.show();
        s.type(blueNight());
        proxy.setMode(FaultProxy::Mode::BlackHole);

        int ticks = 0;
        bool hourglass = false;
        QTimer tick;
        connect(&tick, &QTimer::timeout, [&] {
            ++ticks;
            hourglass = hourglass || (QGuiApplication::overrideCursor() &&
                                      QGuiApplication::overrideCursor()->shape() == Qt::WaitCursor);
            QTest::mouseClick(s.window.btInvia, Qt::LeftButton);
        });
        tick.start(200);
        QElapsedTimer clock;
        clock.start();
        s.window.btInviaClick();
        const qint64 ms = clock.elapsed();
        tick.stop();
        qInfo("a black-holed server at sign-up: the error after %lld ms (bound 3 s)", ms);
        WL_COMPARE_TEXTS(s.boxes.waited, QStringList{QStringLiteral("Exception: timeout expired")});
        QVERIFY2(ms >= 2500 && ms < 5000, qPrintable(QString::number(ms)));
        QVERIFY2(ticks >= 5, qPrintable(QString::number(ticks)));
        QVERIFY(hourglass);
        QVERIFY(!QGuiApplication::overrideCursor());
        QCOMPARE(accountCount(*db), 0);

        // The link back: the next sign-up reconnects and goes through.
        proxy.setMode(FaultProxy::Mode::Pass);
        s.window.btInviaClick();
        WL_COMPARE_TEXTS(s.boxes.waited, (QStringList{QStringLiteral("Exception: timeout expired"),
                                                      kSignedUp, kProgramEnds}));
        QCOMPARE(accountCount(*db), 1);
    }

    // The server restarts between two sign-ups on the same connection: the second finds the
    // connection dropped, reopens it and stores its account.
    void serverRestartedBetweenSignUps()
    {
        if (onSqlite())
            QSKIP("a restart needs a server");
        WL_REQUIRE_POSTGRES();
        PgServer pg;
        QVERIFY2(pg.start(), qPrintable(pg.error()));
        auto db = TestDb::postgres(pg, QStringLiteral("riavvio"));
        SignUp s(*db);
        s.type(blueNight());
        s.window.btInviaClick();
        WL_COMPARE_TEXTS(s.boxes.waited, (QStringList{kSignedUp, kProgramEnds}));

        QVERIFY2(pg.restart(), qPrintable(pg.error()));
        // The first sign-up asked for the end: the later boxes close at once, and are only
        // listed.
        QStringList second = blueNight();
        second[0] = QStringLiteral("alba@radio.example");
        second[3] = QStringLiteral("Radio Alba");
        s.type(second);
        s.window.btInviaClick();
        WL_COMPARE_TEXTS(s.run.shownTexts(),
                         (QStringList{kSignedUp, kProgramEnds, kSignedUp, kProgramEnds}));
        QCOMPARE(s.connection.reconnects(), 1);
        db->reconnect();
        QCOMPARE(accountCount(*db), 2);
    }
};

QTEST_MAIN(TestSignUp)
#include "tst_signup.moc"
