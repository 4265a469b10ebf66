// Sign-in on the real database layer (SQLite and PostgreSQL), with the fake shell and the
// mixer's fake backend: the profile, the engine's settings, the console's fields, the
// connection log, the windows shown, and every course that ends the program.
#include "WaveMixer.h"
#include "fakemixerbackend.h"
#include "tst_signin_harness.h"
#include "ufmRegistrazione.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScrollBar>
#include <QtTest>

using namespace signintest;

namespace {

const QString kNotice = QStringLiteral(
    "IMPOSTA IL MIXER DI WINDOWS NELLA SORGENTE DI REGISTRAZIONE SUL CANALE AUDIO CHE VUOI "
    "TRASMETTERE AD ESEMPIO MIXSTEREO O STEREO QUEL CHE SENTI. PER ANDARE IN ONDA CI DEVONO "
    "ESSERE DELLE TRACCE IN ESECUZIONE");
const QString kWrongData = QStringLiteral(
    "Errore: controlla i dati del Login e riprova, dati non corretti prova a Registrarti");

QString unknownAccount(const QString& host)
{
    return QStringLiteral("Utente non presente, controlla i dati del Login e riprova IL "
                          "PROGRAMMA VERRà CHIUSO FORNISCI A ") +
           host + QStringLiteral(" IL CODICE DI DEBUG: 5");
}

TestAccount radioBlu()
{
    TestAccount a;
    a.id = 7;
    // Stored in mixed case; typed in capitals it must still match.
    a.email = QStringLiteral("Blu@Radio.Example");
    a.password = QStringLiteral("SegretA");
    a.station = QStringLiteral("Radio Blu");
    a.port = 10012;
    a.genre = QStringLiteral("Jazz");
    a.description = QStringLiteral("Note blu, l'onda");
    return a;
}

int logRows(TestDb& db)
{
    return db.value(QStringLiteral("SELECT COUNT(*) FROM ConnessioniTessaroFTP")).toInt();
}

} // namespace

class TestSignIn : public QObject {
    Q_OBJECT

    TestBackends m_backends{QStringLiteral("signin")};

    std::unique_ptr<TestDb> database() { return m_backends.make(TestBackends::globalBackend()); }

private slots:
    void initTestCase_data() { TestBackends::addColumn(); }
    void initTestCase() { m_backends.startPostgres(); }
    void init() { WL_SKIP_WITHOUT_POSTGRES(m_backends); }
    void cleanupTestCase() { m_backends.stop(); }

    void successfulSignInAndASecondOne()
    {
        auto db = database();
        db->addAccount(radioBlu());
        FakeMixerBackend mixer;
        mixer.layOutThreeLines();
        Session s(db->config(), mixer);
        QVERIFY(s.start());

        // Lower-case letters typed turn into capitals; the stored mixed case still matches.
        s.signIn(QStringLiteral("blu@radio.example"), QStringLiteral("segreta"));
        QCOMPARE(fmLogin->edUser->text(), QStringLiteral("BLU@RADIO.EXAMPLE"));
        QCOMPARE(fmLogin->edPassword->text(), QStringLiteral("SEGRETA"));

        QCOMPARE(s.boxes.waited, QStringList{kNotice});
        QCOMPARE(s.run().shownTexts(), QStringList{kNotice});
        QVERIFY(!s.run().endRequested());
        QCOMPARE(fmLogin->accountReads(), 8);

        const StationProfile& p = s.profile();
        QCOMPARE(p.signInEmail, QStringLiteral("BLU@RADIO.EXAMPLE"));
        QCOMPARE(p.signInPassword, QStringLiteral("SEGRETA"));
        QCOMPARE(p.stationName, QStringLiteral("Radio Blu"));
        QCOMPARE(p.port, QStringLiteral("10012"));
        QCOMPARE(p.streamPassword, QStringLiteral("SegretA")); // as stored
        QCOMPARE(p.genre, QStringLiteral("Jazz"));
        QCOMPARE(p.description, QStringLiteral("Note blu, l'onda"));

        QCOMPARE(fmShoutcast2->ed_server->text(), QStringLiteral("127.0.0.1:10012"));
        QCOMPARE(fmShoutcast2->ed_Password->text(), QStringLiteral("SegretA"));
        QCOMPARE(fmShoutcast2->ed_Name->text(), QStringLiteral("127.0.0.1")); // the host's
        QCOMPARE(fmShoutcast2->ed_genre->text(), QStringLiteral("Jazz"));
        QCOMPARE(fmShoutcast2->ed_url->text(), QStringLiteral("http://127.0.0.1"));
        QCOMPARE(fmShoutcast2->ed_desc->text(), QStringLiteral("Note blu, l'onda"));
        QCOMPARE(Form2wma->Edit1->text(), QStringLiteral("https://127.0.0.1:11113/Radio Blu"));

        // The console line: the second line; the lines up to it at 75 %, the third untouched.
        QCOMPARE(fmLogin->VolumeLineIndex, 1);
        QCOMPARE(fmLogin->a1().Connection(0).Volume(), 75);
        QCOMPARE(fmLogin->a1().Connection(1).Volume(), 75);
        QCOMPARE(mixer.value(1003), 0u);
        QCOMPARE(Form2wma->scb->value(), 75);
        QCOMPARE(Form2wma->scb->maximum(), 100);
        QCOMPARE(Form2wma->lbvol->text(), QStringLiteral("75"));

        QCOMPARE(db->rows(QStringLiteral("SELECT mynomecanale, MYVERSIONE FROM "
                                         "ConnessioniTessaroFTP")),
                 (QList<QVariantList>{{QStringLiteral("Radio Blu DOPO IL LOGIN BRIGHTEL ENCODER"),
                                       QStringLiteral("3")}}));
        QVERIFY(fmShoutcast2->isVisible());
        QVERIFY(Form2wma->isVisible());
        QVERIFY(fmLogin->isVisible());
        QVERIFY(!QGuiApplication::overrideCursor());

        // What the console reaches of the sign-in window.
        SignInAccess& access = s.program().consoleSignIn();
        QCOMPARE(access.volumeLineIndex(), 1);
        QCOMPARE(access.mixer(), &fmLogin->a1());
        QCOMPARE(access.readAccountColumn(QStringLiteral("MYNOMERADIO")),
                 QStringLiteral("Radio Blu"));
        QCOMPARE(fmLogin->accountReads(), 9);

        // A second Entra repeats everything: another row, the notice again.
        fmLogin->lbEntraClick();
        QCOMPARE(s.boxes.waited, (QStringList{kNotice, kNotice}));
        QCOMPARE(logRows(*db), 2);
        QCOMPARE(fmLogin->accountReads(), 17);
        QVERIFY(!s.run().endRequested());
    }

    // A second sign-in with another account replaces every field of the profile.
    void anotherAccountReplacesTheProfile()
    {
        auto db = database();
        db->addAccount(radioBlu());
        TestAccount other;
        other.id = 8;
        other.email = QStringLiteral("rossa@radio.example");
        other.password = QStringLiteral("rossa");
        other.station = QStringLiteral("RadioRossa");
        other.port = 10014;
        other.genre = QStringLiteral("Rock");
        other.description = QStringLiteral("Chitarre");
        db->addAccount(other);
        FakeMixerBackend mixer;
        mixer.layOutThreeLines();
        Session s(db->config(), mixer);
        QVERIFY(s.start());

        s.signIn(QStringLiteral("blu@radio.example"), QStringLiteral("segreta"));
        s.signIn(QStringLiteral("rossa@radio.example"), QStringLiteral("rossa"));
        QCOMPARE(s.profile().stationName, QStringLiteral("RadioRossa"));
        QCOMPARE(s.profile().port, QStringLiteral("10014"));
        QCOMPARE(s.profile().streamPassword, QStringLiteral("rossa"));
        QCOMPARE(s.profile().genre, QStringLiteral("Rock"));
        QCOMPARE(s.profile().description, QStringLiteral("Chitarre"));
        QCOMPARE(fmShoutcast2->ed_server->text(), QStringLiteral("127.0.0.1:10014"));
        QCOMPARE(Form2wma->Edit1->text(), QStringLiteral("https://127.0.0.1:11113/RadioRossa"));
        QCOMPARE(
            db->rows(QStringLiteral("SELECT mynomecanale FROM ConnessioniTessaroFTP "
                                    "ORDER BY mynomecanale")),
            (QList<QVariantList>{{QStringLiteral("Radio Blu DOPO IL LOGIN BRIGHTEL ENCODER")},
                                 {QStringLiteral("RadioRossa DOPO IL LOGIN BRIGHTEL ENCODER")}}));
        QVERIFY(!s.run().endRequested());
    }

    // An unknown account: the message waits, then the end request; the later boxes of the
    // same handler close by themselves.
    void unknownAccountEndsTheProgram_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::newRow("wrong password")
            << QStringLiteral("blu@radio.example") << QStringLiteral("sbagliata");
        QTest::newRow("empty e-mail") << QString() << QStringLiteral("segreta");
        // A quote in what is typed is a value like any other.
        QTest::newRow("quote") << QStringLiteral("x' OR '1'='1") << QStringLiteral("x' OR '1'='1");
    }
    void unknownAccountEndsTheProgram()
    {
        QFETCH(QString, email);
        QFETCH(QString, password);
        auto db = database();
        db->addAccount(radioBlu());
        FakeMixerBackend mixer;
        mixer.layOutThreeLines();
        Session s(db->config(), mixer);
        QVERIFY(s.start());
        QCOMPARE(fmLogin->DebugCode, 5);
        const QString consoleAddress = Form2wma->Edit1->text();
        const QString engineServer = fmShoutcast2->ed_server->text();

        s.signIn(email, password);
        const QString unknown = unknownAccount(QStringLiteral("127.0.0.1"));
        QVERIFY(unknown.endsWith(QStringLiteral(" IL CODICE DI DEBUG: 5")));
        QCOMPARE(s.boxes.waited, QStringList{unknown});
        QCOMPARE(s.run().shownTexts(), (QStringList{unknown, unknown, kWrongData}));
        QVERIFY(s.run().endRequested());
        QCOMPARE(logRows(*db), 0);
        QVERIFY(!fmShoutcast2->isVisible());
        QVERIFY(!Form2wma->isVisible());
        QCOMPARE(Form2wma->Edit1->text(), consoleAddress);
        QCOMPARE(fmShoutcast2->ed_server->text(), engineServer);
        // Step 3's read and the five of the settings step; nothing more.
        QCOMPARE(fmLogin->accountReads(), 6);
    }

    // A stored empty password, typed empty as well: no message waits, but the log row is
    // written, the windows are shown, and the program ends.
    void emptyStoredPassword()
    {
        auto db = database();
        TestAccount a = radioBlu();
        a.password = QStringLiteral("");
        db->addAccount(a);
        FakeMixerBackend mixer;
        mixer.layOutThreeLines();
        Session s(db->config(), mixer);
        QVERIFY(s.start());

        const QString engineServer = fmShoutcast2->ed_server->text();
        s.signIn(QStringLiteral("blu@radio.example"), QString());
        QVERIFY2(s.boxes.waited.isEmpty(), qPrintable(s.boxes.waited.join(QLatin1Char('|'))));
        QCOMPARE(s.run().shownTexts(), QStringList{kNotice});
        QVERIFY(s.run().endRequested());
        QCOMPARE(logRows(*db), 1);
        QVERIFY(fmShoutcast2->isVisible());
        QVERIFY(Form2wma->isVisible());
        // The engine's settings were skipped; the publishing point was written.
        QCOMPARE(fmShoutcast2->ed_server->text(), engineServer);
        QCOMPARE(Form2wma->Edit1->text(), QStringLiteral("https://127.0.0.1:11113/Radio Blu"));
    }

    // No source line: the index error's text before any statement, no log row, the end.
    void noMixerSourceLine()
    {
        auto db = database();
        db->addAccount(radioBlu());
        FakeMixerBackend mixer;
        mixer.layOutSoundCard({});
        Session s(db->config(), mixer);
        QVERIFY(s.start());

        s.signIn(QStringLiteral("blu@radio.example"), QStringLiteral("segreta"));
        QCOMPARE(s.boxes.waited, QStringList{QStringLiteral("List index out of bounds (-1)")});
        QCOMPARE(fmLogin->accountReads(), 0);
        QCOMPARE(logRows(*db), 0);
        QVERIFY(s.run().endRequested());
        QVERIFY(!fmLogin->isVisible());
        QVERIFY(!Form2wma->isVisible());
        QVERIFY(s.profile().signInEmail.isEmpty());
    }

    // The database gone by the first read: "Exception: " and the provider's text, waiting;
    // then the course of an unknown account with the later boxes closing by themselves.
    void databaseUnreachableAtTheFirstRead()
    {
        std::unique_ptr<PgServer> ownPg;
        std::unique_ptr<TestDb> db;
        if (!TestBackends::onSqlite()) {
            // A server of its own, to stop under the program.
            ownPg = std::make_unique<PgServer>();
            QVERIFY2(ownPg->start(), qPrintable(ownPg->error()));
            db = TestDb::postgres(*ownPg, QStringLiteral("gone"));
        } else {
            db = TestDb::sqlite();
        }
        db->addAccount(radioBlu());
        FakeMixerBackend mixer;
        mixer.layOutThreeLines();
        Session s(db->config(), mixer);
        QVERIFY(s.start());

        if (ownPg) {
            db.reset();
            ownPg->stop();
        } else {
            QVERIFY(QFile::rename(db->sqliteFile(), db->sqliteFile() + QStringLiteral(".away")));
        }

        s.signIn(QStringLiteral("blu@radio.example"), QStringLiteral("segreta"));
        QCOMPARE(s.boxes.waited.size(), 1);
        const QString first = s.boxes.waited.first();
        QVERIFY2(first.startsWith(QStringLiteral("Exception: ")), qPrintable(first));
        QVERIFY2(first.size() > QStringLiteral("Exception: ").size(), qPrintable(first));
        QVERIFY(s.run().endRequested());
        const QStringList shown = s.run().shownTexts();
        QVERIFY(shown.contains(kWrongData));
        QVERIFY(!shown.contains(kNotice));
        QVERIFY(!fmShoutcast2->isVisible());
        QVERIFY(!Form2wma->isVisible());
    }

    void theWindowAsItsLayoutSays()
    {
        auto db = database();
        FakeMixerBackend mixer;
        mixer.layOutThreeLines();
        Session s(db->config(), mixer);
        QVERIFY(s.start(nullptr, /*show=*/false));
        TfmLogin& w = *fmLogin;
        QCOMPARE(w.DebugCode, 0);
        s.showMain();
        QCOMPARE(w.windowTitle(), QStringLiteral("Wavelorn Encoder 5.0"));
        QCOMPARE(w.size(), QSize(377, 201));
        QCOMPARE(w.minimumSize(), w.maximumSize());
        const Qt::WindowFlags f = w.windowFlags();
        QVERIFY(f & Qt::WindowCloseButtonHint);
        QVERIFY(!(f & Qt::WindowMaximizeButtonHint));
        QVERIFY(!(f & Qt::WindowMinimizeButtonHint));
        QCOMPARE(w.Label2->text(), QStringLiteral("Login Utente"));
        QCOMPARE(w.Label3->text(), QStringLiteral("SE NON TI SEI ANCORA REGISTRATO, REGISTRATI E"));
        QCOMPARE(w.Label6->text(), QStringLiteral("DOPO CLICCA SU ENTRA"));
        QVERIFY(w.Label3->font().bold());
        QCOMPARE(w.lbUser->text(), QStringLiteral("E-Mail:"));
        QCOMPARE(w.lbPassword->text(), QStringLiteral("Password:"));
        QCOMPARE(w.edPassword->echoMode(), QLineEdit::Password);
        // Each character shows as "*", as in the engine window (not the style's bullet).
        w.edPassword->setText(QStringLiteral("AB"));
        QCOMPARE(w.edPassword->displayText(), QStringLiteral("**"));
        w.edPassword->clear();
        for (TLinkLabel* link : {w.Label1, w.lbEntra, w.lbAnnulla}) {
            QVERIFY(link->font().bold());
            QVERIFY(link->font().underline());
            QCOMPARE(link->cursor().shape(), Qt::PointingHandCursor);
            QCOMPARE(link->focusPolicy(), Qt::NoFocus);
            QCOMPARE(link->parentWidget(), w.Panel3);
        }
        QCOMPARE(w.Label1->text(), QStringLiteral("Registrati"));
        QCOMPARE(w.lbEntra->text(), QStringLiteral("Entra"));
        QCOMPARE(w.lbAnnulla->text(), QStringLiteral("Annulla"));
        QCOMPARE(w.Label2->parentWidget(), w.Panel2);
        QCOMPARE(w.Label3->parentWidget(), w.Panel4);

        // The show step: focus on the E-Mail field, debug code 5; Tab goes to the password.
        QCOMPARE(w.DebugCode, 5);
        QCOMPARE(w.focusWidget(), static_cast<QWidget*>(w.edUser));
        QTest::keyClick(w.edUser, Qt::Key_Tab);
        QCOMPARE(w.focusWidget(), static_cast<QWidget*>(w.edPassword));
        w.edUser->setFocus();

        // Typed (and pasted) letters become capitals, the cursor stays where it was.
        QTest::keyClicks(w.edUser, QStringLiteral("abc@x.it"));
        w.edUser->home(false);
        w.edUser->insert(QStringLiteral("à"));
        w.edUser->end(false);
        QCOMPARE(w.edUser->text(), QStringLiteral("ÀABC@X.IT"));
        QCOMPARE(w.edUser->cursorPosition(), 9);
        w.edUser->setCursorPosition(1);
        w.edUser->insert(QStringLiteral("zz"));
        QCOMPARE(w.edUser->text(), QStringLiteral("ÀZZABC@X.IT"));
        QCOMPARE(w.edUser->cursorPosition(), 3);
        // A letter that grows in capitals: "ß" is "SS", and the next letter goes after it.
        w.edUser->clear();
        QTest::keyClicks(w.edUser, QStringLiteral("straße@x.it"));
        QCOMPARE(w.edUser->text(), QStringLiteral("STRASSE@X.IT"));
        QCOMPARE(w.edUser->cursorPosition(), 12);
        QVERIFY(s.boxes.waited.isEmpty());
    }

    void theLinks()
    {
        auto db = database();
        db->addAccount(radioBlu());
        FakeMixerBackend mixer;
        mixer.layOutThreeLines();
        Session s(db->config(), mixer);
        QVERIFY(s.start());

        // A click on Entra runs sign-in.
        QTest::keyClicks(fmLogin->edUser, QStringLiteral("blu@radio.example"));
        QTest::keyClicks(fmLogin->edPassword, QStringLiteral("segreta"));
        QTest::mouseClick(fmLogin->lbEntra, Qt::LeftButton);
        QCOMPARE(s.boxes.waited, QStringList{kNotice});
        QCOMPARE(logRows(*db), 1);

        // Annulla ends the program.
        QVERIFY(!s.run().endRequested());
        QTest::mouseClick(fmLogin->lbAnnulla, Qt::LeftButton);
        QVERIFY(s.run().endRequested());
    }

    // Registrati opens sign-up modally; when it cannot, the error dialog, and sign-in stays.
    void signUpLink()
    {
        auto db = database();
        FakeMixerBackend mixer;
        mixer.layOutThreeLines();
        Session s(db->config(), mixer);
        QVERIFY(s.start());

        bool modal = false;
        QString title, text;
        bool critical = false;
        s.run().setWaitHook([&](QWidget& w) {
            title = w.windowTitle();
            modal = w.isModal();
            if (auto* box = qobject_cast<QMessageBox*>(&w)) {
                text = box->text();
                critical = box->icon() == QMessageBox::Critical;
                QCOMPARE(box->buttons().size(), 1);
                box->buttons().first()->click();
            } else {
                static_cast<QDialog&>(w).reject();
            }
        });
        QTest::mouseClick(fmLogin->Label1, Qt::LeftButton);
        QCOMPARE(title, QStringLiteral("Registrazione"));
        QVERIFY(modal);
        QVERIFY(!s.run().endRequested());

        fmLogin->setSignUpWindow(nullptr);
        title.clear();
        fmLogin->Label1Click();
        fmLogin->setSignUpWindow(fmRegistrazione);
        QCOMPARE(title, QStringLiteral("Error"));
        QCOMPARE(text, QStringLiteral("Si è verificato un errore."));
        QVERIFY(critical);
        QVERIFY(!s.run().endRequested());
        QVERIFY(fmLogin->isVisible());
    }

    void closingTheMainWindowEndsTheProgram()
    {
        auto db = database();
        FakeMixerBackend mixer;
        mixer.layOutThreeLines();
        Session s(db->config(), mixer);
        QVERIFY(s.start());
        fmLogin->close();
        QVERIFY(s.run().endRequested());
    }

    // Start-up on a database that cannot be opened: the sign-in window's creation throws.
    void unreachableDatabaseAtCreation()
    {
        auto db = database();
        AppConfig config = db->config();
        if (TestBackends::onSqlite())
            config.serviceDb.catalog = config.programDir + QStringLiteral("/missing.sqlite");
        else
            config.serviceDb.port = freeLoopbackPort();
        FakeMixerBackend mixer;
        Session s(config, mixer);
        QString error;
        QVERIFY(!s.start(&error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!fmLogin);
    }
};

QTEST_MAIN(TestSignIn)
#include "tst_signin.moc"
