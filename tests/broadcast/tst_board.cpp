// The listeners' messages board on SQLite and on a real PostgreSQL: the list, the single and
// the full delete, editing a message, and the failures the user is shown.
#include "appconfig.h"
#include "apprun.h"
#include "fakemixerbackend.h"
#include "fakeshell.h"
#include "messagesboard.h"
#include "pgserver.h"
#include "serviceconnections.h"
#include "stationprofile.h"
#include "testbackends.h"
#include "testdb.h"

#include <QAbstractButton>
#include <QAbstractItemModelTester>
#include <QClipboard>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <memory>

namespace {

const QString kStation = QStringLiteral("Radio Uno");
const QString kOther = QStringLiteral("Radio Due");

// The board on a console-sized area, with the run's boxes closed as a user closes them.
struct Fixture {
    explicit Fixture(std::unique_ptr<TestDb> db, std::unique_ptr<DbConnection> connection = {})
        : m_db(std::move(db)),
          m_config(m_db->config()), m_ctx{m_config, profile, run, m_shell, m_mixer}
    {
        profile.stationName = kStation;
        run.setWaitHook([](QWidget& w) {
            if (auto* box = qobject_cast<QMessageBox*>(&w)) {
                if (!box->buttons().isEmpty())
                    box->buttons().first()->click();
                else
                    box->reject();
            }
        });
        m_connection = connection ? std::move(connection)
                                  : ServiceConnections::openConsoleConnection(
                                        m_config, QStringLiteral("DQMESSAGGI2"));
        area = std::make_unique<QWidget>();
        area->resize(1197, 457);
        board = new MessagesBoard(m_ctx, *m_connection, area.get());
        area->show();
    }
    ~Fixture()
    {
        board->programEnd();
        area.reset(); // the board goes before the connection it uses
    }
    Fixture(const Fixture&) = delete;
    Fixture& operator=(const Fixture&) = delete;

    TestDb& db() { return *m_db; }
    QTableView& grid() { return *board->DBGMESSAGGI2; }
    QPlainTextEdit& box() { return *board->DBMMESSAGGIO; }
    int rows() { return board->course->DSMESSAGGI->rowCount(); }
    QString cell(int row, int column)
    {
        return board->course->DSMESSAGGI->index(row, column).data().toString();
    }
    QString lastShown() const { return run.shownTexts().value(run.shownTexts().size() - 1); }

    // A click on a line of the grid.
    void clickRow(int row)
    {
        const QRect r = grid().visualRect(board->course->DSMESSAGGI->index(row, 0));
        QTest::mouseClick(grid().viewport(), Qt::LeftButton, Qt::NoModifier, r.center());
    }
    // Text typed at the end of the box.
    void type(const QString& text)
    {
        box().moveCursor(QTextCursor::End);
        const QStringList lines = text.split(QLatin1Char('\n'));
        for (int i = 0; i < lines.size(); ++i) {
            if (i > 0)
                QTest::keyClick(&box(), Qt::Key_Return);
            QTest::keyClicks(&box(), lines[i]);
        }
    }
    QString storedDedica(const QString& listener)
    {
        return m_db
            ->value(QStringLiteral("SELECT mydedica FROM MESSAGGIVOCALI2 WHERE mynomeutente = ?"),
                    {listener})
            .toString();
    }

    std::unique_ptr<TestDb> m_db;
    AppConfig m_config;
    StationProfile profile;
    AppRun run;
    FakeShell m_shell;
    FakeMixerBackend m_mixer;
    AppContext m_ctx;
    std::unique_ptr<DbConnection> m_connection;
    std::unique_ptr<QWidget> area; // the console's board area
    MessagesBoard* board = nullptr;
};

} // namespace

class TestBoard : public QObject {
    Q_OBJECT
    TestBackends m_backends{QStringLiteral("board")};

private slots:
    void cleanupTestCase() { m_backends.stop(); }

    void layout()
    {
        Fixture f(TestDb::sqlite());
        MessagesBoard& b = *f.board;
        QCOMPARE(b.geometry(), MessagesBoard::consoleRect());
        QCOMPARE(b.consoleGeometry(b.DBGMESSAGGI2), QRect(477, 0, 720, 161));
        QCOMPARE(b.consoleGeometry(b.Panel2), QRect(442, 157, 703, 52));
        QCOMPARE(b.BTCANCELLADEDICA->parentWidget(), b.Panel2);
        QCOMPARE(b.BTCANCELLADEDICA->geometry(), QRect(138, 8, 119, 25));
        QCOMPARE(b.BTCANCELLATUTTIMESSAGGI->geometry(), QRect(274, 8, 119, 25));
        QCOMPARE(b.consoleGeometry(b.BTAGGIORNA), QRect(441, 164, 128, 25));
        QCOMPARE(b.consoleGeometry(b.Label4).topLeft(), QPoint(442, 214));
        QCOMPARE(b.consoleGeometry(b.DBMMESSAGGIO), QRect(440, 232, 697, 133));
        // Every control lies within the console's client area, right of its own controls.
        QVERIFY(QRect(0, 0, 1197, 457).contains(MessagesBoard::consoleRect()));

        QCOMPARE(b.BTCANCELLADEDICA->text(), QStringLiteral("CANCELLA"));
        QCOMPARE(b.BTCANCELLATUTTIMESSAGGI->text(), QStringLiteral("CANCELLA TUTTI"));
        QCOMPARE(b.BTAGGIORNA->text(), QStringLiteral("AGGIORNA"));
        QCOMPARE(b.Label4->text(), QStringLiteral("MESSAGGIO O DEDICA:"));
        QVERIFY(b.Label4->font().bold());
        QVERIFY(b.Label4->font().underline());
        // AGGIORNA lies in front of the panel it overlaps.
        QCOMPARE(b.childAt(b.BTAGGIORNA->geometry().topRight() + QPoint(-2, 2)),
                 static_cast<QWidget*>(b.BTAGGIORNA));

        // The grid: read-only, the four columns in order, titles navy, NOME RADIO's white.
        QCOMPARE(b.DBGMESSAGGI2->editTriggers(), QAbstractItemView::NoEditTriggers);
        QCOMPARE(b.course->DSMESSAGGI->columnCount(), 4);
        const QStringList titles = {"NOME UTENTE", "DEDICA", "DATA", "NOME RADIO"};
        const QList<int> widths = {140, 220, 180, 150};
        for (int c = 0; c < 4; ++c) {
            QCOMPARE(b.course->DSMESSAGGI->headerData(c, Qt::Horizontal).toString(), titles[c]);
            QCOMPARE(b.DBGMESSAGGI2->columnWidth(c), widths[c]);
            QCOMPARE(b.course->DSMESSAGGI->headerData(c, Qt::Horizontal, Qt::ForegroundRole)
                         .value<QBrush>()
                         .color(),
                     QColor(0, 0, 128));
        }
        QCOMPARE(b.course->DSMESSAGGI->headerData(3, Qt::Horizontal, Qt::BackgroundRole)
                     .value<QBrush>()
                     .color(),
                 QColor(Qt::white));
        QVERIFY(!b.course->DSMESSAGGI->headerData(0, Qt::Horizontal, Qt::BackgroundRole).isValid());
        QVERIFY(
            !(b.course->DSMESSAGGI->flags(b.course->DSMESSAGGI->index(0, 0)) & Qt::ItemIsEditable));
        QCOMPARE(b.DBMMESSAGGIO->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);

        // Nothing is listed until the first refresh.
        QCOMPARE(f.rows(), 0);
        QVERIFY(!b.course->DQMESSAGGI.isOpen());
        QCOMPARE(b.course->DQMESSAGGI.sql(), QStringLiteral("SELECT * FROM MESSAGGIVOCALI2"));
        QVERIFY(f.box().isReadOnly());
    }

    void dateText()
    {
        QCOMPARE(MessagesModel::displayDate(QStringLiteral("2024-05-01T18:30:00")),
                 QStringLiteral("01/05/2024 18:30:00"));
        QCOMPARE(MessagesModel::displayDate(QStringLiteral("2024-05-01 08:05:09")),
                 QStringLiteral("01/05/2024 08:05:09"));
        QCOMPARE(MessagesModel::displayDate(QDateTime(QDate(2023, 12, 31), QTime(23, 59, 1))),
                 QStringLiteral("31/12/2023 23:59:01"));
        QCOMPARE(MessagesModel::displayDate(QStringLiteral("ieri sera")),
                 QStringLiteral("ieri sera"));
        QCOMPARE(MessagesModel::displayDate(QVariant()), QString());
    }

    void noMessages_data() { TestBackends::addColumn(); }
    void noMessages()
    {
        WL_MAKE_DB(m_backends, t);
        t->addMessage(kOther, QStringLiteral("Anna"), QStringLiteral("Ciao Radio Due"));
        Fixture f(std::move(t));
        QAbstractItemModelTester tester(f.board->course->DSMESSAGGI,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);

        // CANCELLA before any refresh does nothing.
        f.board->BTCANCELLADEDICAClick();
        QCOMPARE(f.db().messageCount(kOther), 1);

        f.board->BTAGGIORNAClick();
        QVERIFY(f.run.shownTexts().isEmpty());
        QVERIFY(f.board->course->DQMESSAGGI.isOpen());
        QCOMPARE(f.rows(), 0);
        QCOMPARE(f.box().toPlainText(), QString());
        QVERIFY(f.box().isReadOnly());
        QVERIFY(f.board->atEnd());

        f.board->BTCANCELLADEDICAClick();
        QCOMPARE(f.db().messageCount(kOther), 1);
        QVERIFY(f.board->lastDeleteError().isEmpty());
    }

    void listAndDeleteOne_data() { TestBackends::addColumn(); }
    void listAndDeleteOne()
    {
        WL_MAKE_DB(m_backends, t);
        t->addMessage(kStation, QStringLiteral("Anna"), QStringLiteral("Per Marco"),
                      QStringLiteral("2024-05-01T18:30:00"));
        t->addMessage(kOther, QStringLiteral("Zeno"), QStringLiteral("Altrove"));
        t->addMessage(kStation, QStringLiteral("Bruno"), QStringLiteral("Buon compleanno"));
        t->addMessage(kStation, QStringLiteral("Carla"), QStringLiteral("Una canzone"));
        Fixture f(std::move(t));
        QAbstractItemModelTester tester(f.board->course->DSMESSAGGI,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);

        f.board->BTAGGIORNAClick();
        QVERIFY(f.run.shownTexts().isEmpty());
        QCOMPARE(f.rows(), 3);
        QCOMPARE(f.board->currentRow(), 0);
        QCOMPARE(f.grid().currentIndex().row(), 0);
        QVERIFY(f.grid().selectionModel()->isRowSelected(0));
        QCOMPARE(f.box().toPlainText(), QStringLiteral("Per Marco"));
        QVERIFY(!f.box().isReadOnly());
        QCOMPARE(f.cell(0, MessagesModel::NomeUtente), QStringLiteral("Anna"));
        QCOMPARE(f.cell(0, MessagesModel::Dedica), QStringLiteral("Per Marco"));
        QCOMPARE(f.cell(0, MessagesModel::Data), QStringLiteral("01/05/2024 18:30:00"));
        QCOMPARE(f.cell(0, MessagesModel::NomeRadio), kStation);

        // CANCELLA on the first of three: two are left and the next is current.
        f.board->BTCANCELLADEDICAClick();
        QVERIFY(f.board->lastDeleteError().isEmpty());
        QCOMPARE(f.db().messageCount(kStation), 2);
        QCOMPARE(f.db().messageCount(kOther), 1);
        QCOMPARE(f.rows(), 2);
        QCOMPARE(f.board->currentRow(), 0);
        QCOMPARE(f.cell(0, MessagesModel::NomeUtente), QStringLiteral("Bruno"));
        QCOMPARE(f.box().toPlainText(), QStringLiteral("Buon compleanno"));
        QCOMPARE(f.grid().currentIndex().row(), 0);

        // On the last row: the new last one becomes current.
        f.clickRow(1);
        QCOMPARE(f.board->currentRow(), 1);
        QCOMPARE(f.box().toPlainText(), QStringLiteral("Una canzone"));
        f.board->BTCANCELLADEDICAClick();
        QCOMPARE(f.rows(), 1);
        QCOMPARE(f.board->currentRow(), 0);
        QCOMPARE(f.box().toPlainText(), QStringLiteral("Buon compleanno"));
        QCOMPARE(f.db().messageCount(kStation), 1);

        // The last message: the list is empty and CANCELLA does nothing more.
        f.board->BTCANCELLADEDICAClick();
        QCOMPARE(f.rows(), 0);
        QCOMPARE(f.box().toPlainText(), QString());
        QCOMPARE(f.db().messageCount(kStation), 0);
        f.board->BTCANCELLADEDICAClick();
        QCOMPARE(f.db().messageCount(kOther), 1);
    }

    void deleteOneOfIdentical_data() { TestBackends::addColumn(); }
    void deleteOneOfIdentical()
    {
        WL_MAKE_DB(m_backends, t);
        for (int i = 0; i < 3; ++i)
            t->addMessage(kStation, QStringLiteral("Anna"), QStringLiteral("Ciao"),
                          QStringLiteral("2024-05-01T18:30:00"));
        Fixture f(std::move(t));
        f.board->BTAGGIORNAClick();
        QCOMPARE(f.rows(), 3);
        f.clickRow(1);
        f.board->BTCANCELLADEDICAClick();
        QCOMPARE(f.db().messageCount(kStation), 2);
        QCOMPARE(f.rows(), 2);
        f.board->BTAGGIORNAClick();
        QCOMPARE(f.rows(), 2);
    }

    void endOfData_data() { TestBackends::addColumn(); }
    void endOfData()
    {
        WL_MAKE_DB(m_backends, t);
        t->addMessage(kStation, QStringLiteral("Anna"), QStringLiteral("Uno"));
        t->addMessage(kStation, QStringLiteral("Bruno"), QStringLiteral("Due"));
        Fixture f(std::move(t));
        f.board->BTAGGIORNAClick();
        f.grid().setFocus();
        QTest::keyClick(&f.grid(), Qt::Key_Down);
        QCOMPARE(f.board->currentRow(), 1);
        QCOMPARE(f.box().toPlainText(), QStringLiteral("Due"));

        // Down on the last line sets the end-of-data mark: no current message.
        QTest::keyClick(&f.grid(), Qt::Key_Down);
        QVERIFY(f.board->atEnd());
        QCOMPARE(f.board->currentRow(), -1);
        QVERIFY(!f.grid().selectionModel()->hasSelection());
        QCOMPARE(f.box().toPlainText(), QString());
        QVERIFY(f.box().isReadOnly());
        f.board->BTCANCELLADEDICAClick();
        QCOMPARE(f.db().messageCount(kStation), 2);
        QCOMPARE(f.rows(), 2);

        // Back up to the last line: CANCELLA deletes it.
        QTest::keyClick(&f.grid(), Qt::Key_Up);
        QCOMPARE(f.board->currentRow(), 1);
        QCOMPARE(f.box().toPlainText(), QStringLiteral("Due"));
        f.board->BTCANCELLADEDICAClick();
        QCOMPARE(f.db().messageCount(kStation), 1);
        QCOMPARE(f.storedDedica(QStringLiteral("Anna")), QStringLiteral("Uno"));
    }

    void deleteAll_data() { TestBackends::addColumn(); }
    void deleteAll()
    {
        WL_MAKE_DB(m_backends, t);
        t->addMessage(kStation, QStringLiteral("Anna"), QStringLiteral("Uno"));
        t->addMessage(kOther, QStringLiteral("Zeno"), QStringLiteral("Altrove"));
        t->addMessage(kStation, QStringLiteral("Bruno"), QStringLiteral("Due"));
        Fixture f(std::move(t));
        QAbstractItemModelTester tester(f.board->course->DSMESSAGGI,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);

        // Before any refresh it still deletes the station's rows, and the grid then shows
        // what the table holds.
        f.board->BTCANCELLATUTTIMESSAGGIClick();
        QVERIFY2(f.run.shownTexts().isEmpty(), qPrintable(f.lastShown()));
        QCOMPARE(f.db().messageCount(kStation), 0);
        QCOMPARE(f.db().messageCount(kOther), 1);
        QVERIFY(f.board->course->DQMESSAGGI.isOpen());
        QCOMPARE(f.rows(), 0);

        // After a refresh, with an edit under way: every row of the station goes, the grid
        // is empty, nothing is reported.
        f.db().addMessage(kStation, QStringLiteral("Carla"), QStringLiteral("Tre"));
        f.db().addMessage(kStation, QStringLiteral("Dario"), QStringLiteral("Quattro"));
        f.board->BTAGGIORNAClick();
        QCOMPARE(f.rows(), 2);
        f.type(QStringLiteral(" modificato"));
        QVERIFY(f.board->course->DQMESSAGGI.modified());
        // A message that arrives after the refresh goes too: the statement names the station.
        f.db().addMessage(kStation, QStringLiteral("Elio"), QStringLiteral("Cinque"));
        f.board->BTCANCELLATUTTIMESSAGGIClick();
        QVERIFY2(f.run.shownTexts().isEmpty(), qPrintable(f.lastShown()));
        QCOMPARE(f.db().messageCount(kStation), 0);
        QCOMPARE(f.db().messageCount(kOther), 1);
        QCOMPARE(f.rows(), 0);
        QCOMPARE(f.box().toPlainText(), QString());
        QVERIFY(!f.board->course->DQMESSAGGI.modified());
        QVERIFY(f.board->course->DQMESSAGGI2.isOpen());
    }

    void editStored_data() { TestBackends::addColumn(); }
    void editStored()
    {
        WL_MAKE_DB(m_backends, t);
        t->addMessage(kStation, QStringLiteral("Anna"), QStringLiteral("Uno"));
        t->addMessage(kStation, QStringLiteral("Bruno"), QStringLiteral("Due"));
        Fixture f(std::move(t));
        QAbstractItemModelTester tester(f.board->course->DSMESSAGGI,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        f.board->BTAGGIORNAClick();

        // Typed in the box: the grid shows it at once, the table once the list moves on.
        f.type(QStringLiteral(" e mezzo"));
        QCOMPARE(f.cell(0, MessagesModel::Dedica), QStringLiteral("Uno e mezzo"));
        QCOMPARE(f.storedDedica(QStringLiteral("Anna")), QStringLiteral("Uno"));
        f.clickRow(1);
        QCOMPARE(f.board->currentRow(), 1);
        QCOMPARE(f.storedDedica(QStringLiteral("Anna")), QStringLiteral("Uno e mezzo"));
        QCOMPARE(f.cell(0, MessagesModel::Dedica), QStringLiteral("Uno e mezzo"));
        QCOMPARE(f.box().toPlainText(), QStringLiteral("Due"));

        // An edit followed by AGGIORNA is written before the list is read again.
        f.type(QStringLiteral("\nriga due"));
        f.board->BTAGGIORNAClick();
        QVERIFY(f.run.shownTexts().isEmpty());
        QCOMPARE(f.storedDedica(QStringLiteral("Bruno")), QStringLiteral("Due\nriga due"));
        QCOMPARE(f.cell(1, MessagesModel::Dedica), QStringLiteral("Due\nriga due"));
        QCOMPARE(f.board->currentRow(), 0);

        // Escape drops an edit; the end of the program writes one.
        f.type(QStringLiteral("!!!"));
        QTest::keyClick(&f.box(), Qt::Key_Escape);
        QCOMPARE(f.box().toPlainText(), QStringLiteral("Uno e mezzo"));
        QVERIFY(!f.board->course->DQMESSAGGI.modified());
        f.type(QStringLiteral(", fine"));
        f.board->programEnd();
        QCOMPARE(f.storedDedica(QStringLiteral("Anna")), QStringLiteral("Uno e mezzo, fine"));
        QVERIFY(!f.board->course->DQMESSAGGI.isOpen());
        QCOMPARE(f.rows(), 0);
        f.board->BTAGGIORNAClick(); // the run is over: nothing more is read
        QCOMPARE(f.rows(), 0);
    }

    // A message deleted by a second connection while the board shows it and the owner edits
    // it: one box says so, the list is read again, the edit waits on the clipboard, and the
    // board moves on instead of sticking to the lost row. CANCELLA on a row gone meanwhile
    // reads the list again and says why.
    void rowDeletedElsewhere_data() { TestBackends::addColumn(); }
    void rowDeletedElsewhere()
    {
        WL_MAKE_DB(m_backends, t);
        t->addMessage(kStation, QStringLiteral("Anna"), QStringLiteral("Uno"));
        t->addMessage(kStation, QStringLiteral("Bruno"), QStringLiteral("Due"));
        t->addMessage(kStation, QStringLiteral("Carla"), QStringLiteral("Tre"));
        Fixture f(std::move(t));
        QAbstractItemModelTester tester(f.board->course->DSMESSAGGI,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        f.board->BTAGGIORNAClick();
        QCOMPARE(f.rows(), 3);
        f.type(QStringLiteral(" cambiato"));
        f.db().exec(QStringLiteral("DELETE FROM MESSAGGIVOCALI2 WHERE mynomeutente = ?"),
                    {QStringLiteral("Anna")});

        f.clickRow(1);
        QCOMPARE(f.run.shownTexts().size(), 1);
        QVERIFY2(f.lastShown().contains(QStringLiteral("negli appunti")),
                 qPrintable(f.lastShown()));
        QCOMPARE(QGuiApplication::clipboard()->text(), QStringLiteral("Uno cambiato"));
        QCOMPARE(f.rows(), 2);
        QCOMPARE(f.cell(0, MessagesModel::NomeUtente), QStringLiteral("Bruno"));
        QVERIFY(!f.board->course->DQMESSAGGI.modified());
        f.clickRow(1);
        QCOMPARE(f.board->currentRow(), 1);
        QCOMPARE(f.box().toPlainText(), QStringLiteral("Tre"));
        QCOMPARE(f.run.shownTexts().size(), 1);

        f.db().exec(QStringLiteral("DELETE FROM MESSAGGIVOCALI2 WHERE mynomeutente = ?"),
                    {QStringLiteral("Carla")});
        f.board->BTCANCELLADEDICAClick();
        QVERIFY(!f.board->lastDeleteError().isEmpty());
        QCOMPARE(f.run.shownTexts().size(), 2);
        QVERIFY2(f.lastShown().contains(QStringLiteral("da un'altra parte")),
                 qPrintable(f.lastShown()));
        QCOMPARE(f.rows(), 1);
        QCOMPARE(f.db().messageCount(kStation), 1);
    }

    void quoteInName_data() { TestBackends::addColumn(); }
    void quoteInName()
    {
        WL_MAKE_DB(m_backends, t);
        const QString quoted = QStringLiteral("Radio L'Aquila");
        t->addMessage(quoted, QStringLiteral("Anna"), QStringLiteral("Dall'Abruzzo"));
        t->addMessage(QStringLiteral("Radio L"), QStringLiteral("Bruno"), QStringLiteral("No"));
        t->addMessage(kStation, QStringLiteral("Carla"), QStringLiteral("No"));
        Fixture f(std::move(t));
        f.profile.stationName = quoted;
        f.board->BTAGGIORNAClick();
        QVERIFY(f.run.shownTexts().isEmpty());
        QCOMPARE(f.rows(), 1);
        QCOMPARE(f.cell(0, MessagesModel::NomeRadio), quoted);
        QCOMPARE(f.box().toPlainText(), QStringLiteral("Dall'Abruzzo"));

        f.board->BTCANCELLATUTTIMESSAGGIClick();
        QVERIFY(f.run.shownTexts().isEmpty());
        QCOMPARE(f.db().messageCount(quoted), 0);
        QCOMPARE(f.db().messageCount(QStringLiteral("Radio L")), 1);
        QCOMPARE(f.db().messageCount(kStation), 1);
    }

    void unreachable_data() { TestBackends::addColumn(); }
    void unreachable()
    {
        WL_MAKE_DB(m_backends, t);
        AppConfig dead = t->config();
        if (t->driver() == QLatin1String("QPSQL"))
            dead.serviceDb.port = freeLoopbackPort();
        else
            dead.serviceDb.catalog = t->config().programDir + QStringLiteral("/nowhere/none.db");
        // What the provider says about it.
        QString expected;
        try {
            DbConnection probe(QStringLiteral("probe"),
                               DbConnectionSettings::service(dead, 15, true));
            probe.open();
        } catch (const DbError& e) {
            expected = e.text();
        }
        QVERIFY(!expected.isEmpty());

        auto connection = std::make_unique<DbConnection>(
            QStringLiteral("DQMESSAGGI2"), DbConnectionSettings::service(dead, 15, true));
        Fixture f(std::move(t), std::move(connection));
        QAbstractItemModelTester tester(f.board->course->DSMESSAGGI,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        f.board->BTAGGIORNAClick();
        QCOMPARE(f.run.shownTexts(), QStringList{QStringLiteral("Exception: ") + expected});
        QCOMPARE(f.rows(), 0);
        QVERIFY(!f.board->course->DQMESSAGGI.isOpen());

        f.board->BTCANCELLATUTTIMESSAGGIClick();
        QCOMPARE(f.run.shownTexts().size(), 2);
        QCOMPARE(f.lastShown(), QStringLiteral("Exception: ") + expected);
        f.board->BTCANCELLADEDICAClick(); // closed list: nothing, silently
        QCOMPARE(f.run.shownTexts().size(), 2);
    }

    void serverGone()
    {
        WL_REQUIRE_POSTGRES();
        PgServer pg;
        QVERIFY2(pg.start(), qPrintable(pg.error()));
        auto t = TestDb::postgres(pg, QStringLiteral("gone"));
        t->addMessage(kStation, QStringLiteral("Anna"), QStringLiteral("Uno"));
        Fixture f(std::move(t));
        f.board->BTAGGIORNAClick();
        QCOMPARE(f.rows(), 1);
        f.type(QStringLiteral(" due"));
        pg.stop();

        // The edit cannot be written: shown, and kept in the box with the list as it was.
        f.board->BTAGGIORNAClick();
        QCOMPARE(f.run.shownTexts().size(), 1);
        QVERIFY(f.lastShown().startsWith(QStringLiteral("Exception: ")));
        QVERIFY(f.lastShown().size() > 11);
        QCOMPARE(f.rows(), 1);
        QCOMPARE(f.box().toPlainText(), QStringLiteral("Uno due"));

        // The end of the run tells of it too, and ends.
        f.board->programEnd();
        QCOMPARE(f.run.shownTexts().size(), 2);
        QVERIFY(f.lastShown().startsWith(QStringLiteral("Exception: ")));
    }
};

QTEST_MAIN(TestBoard)
#include "tst_board.moc"
