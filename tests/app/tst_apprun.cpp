// The message box, the end request and the application's error box.
#include "apperror.h"
#include "apprun.h"
#include "form.h"
#include "wavelornapplication.h"

#include <QCloseEvent>
#include <QDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

namespace {
// Clicks the box's only button, as a user would.
void clickOk(QWidget& w)
{
    auto* box = qobject_cast<QMessageBox*>(&w);
    QVERIFY(box);
    QCOMPARE(box->buttons().size(), 1);
    box->buttons().first()->click();
}

class ThrowingWidget : public QWidget {
protected:
    bool event(QEvent* e) override
    {
        if (e->type() == QEvent::User)
            throw AppError(QStringLiteral("qualcosa non va"));
        return QWidget::event(e);
    }
};
} // namespace

class TestAppRun : public QObject {
    Q_OBJECT
private slots:
    void messageBoxLooksAsTheProgramShowsIt();
    void endRequestClosesLaterBoxesAndEndsTheLoop();
    void modalWindowAfterEndRequestClosesAtOnce();
    void errorLetThroughIsShownAndTheProgramGoesOn();
    void closingAWindowHidesIt();
};

void TestAppRun::messageBoxLooksAsTheProgramShowsIt()
{
    AppRun run;
    QString title, text, button;
    bool modal = false, noIcon = false;
    QPoint centreOffset;
    run.setWaitHook([&](QWidget& w) {
        auto& box = static_cast<QMessageBox&>(w);
        title = box.windowTitle();
        text = box.text();
        button = box.buttons().value(0)->text();
        modal = box.isModal();
        noIcon = box.icon() == QMessageBox::NoIcon;
        clickOk(w);
    });
    run.showMessage(QStringLiteral("Attenzione: è così"));
    QCOMPARE(title, QStringLiteral("WAVELORN Encoder"));
    QCOMPARE(text, QStringLiteral("Attenzione: è così"));
    QCOMPARE(button, QStringLiteral("OK"));
    QVERIFY(modal);
    QVERIFY(noIcon);
    QCOMPARE(run.shownTexts(), QStringList{QStringLiteral("Attenzione: è così")});
}

void TestAppRun::endRequestClosesLaterBoxesAndEndsTheLoop()
{
    AppRun run;
    QStringList waited;
    run.setWaitHook([&](QWidget& w) {
        waited << static_cast<QMessageBox&>(w).text();
        clickOk(w);
    });
    QStringList steps;
    QTimer::singleShot(0, [&] {
        run.showMessage(QStringLiteral("prima"));
        steps << QStringLiteral("box before");
        run.requestEnd();
        steps << QStringLiteral("request");
        run.showMessage(QStringLiteral("dopo"));
        steps << QStringLiteral("box after");
        run.showMessage(QStringLiteral("ancora"));
        steps << QStringLiteral("handler end");
    });
    // A watchdog in case the loop did not end: the test then fails instead of hanging.
    bool watchdog = false;
    QTimer::singleShot(10000, [&] {
        watchdog = true;
        qApp->exit(2);
    });
    const int rc = QApplication::exec();
    QVERIFY(!watchdog);
    QCOMPARE(rc, 0);
    QCOMPARE(waited, QStringList{QStringLiteral("prima")});
    QCOMPARE(run.shownTexts(), (QStringList{"prima", "dopo", "ancora"}));
    QCOMPARE(steps, (QStringList{"box before", "request", "box after", "handler end"}));
    QVERIFY(run.endRequested());
}

void TestAppRun::modalWindowAfterEndRequestClosesAtOnce()
{
    AppRun run;
    int hookCalls = 0;
    run.setWaitHook([&](QWidget& w) {
        ++hookCalls;
        static_cast<QDialog&>(w).accept();
    });
    QDialog before;
    QCOMPARE(run.execModal(before), int(QDialog::Accepted));
    QCOMPARE(hookCalls, 1);
    run.requestEnd();
    QDialog after;
    QCOMPARE(run.execModal(after), int(QDialog::Rejected));
    QCOMPARE(hookCalls, 1);
    QVERIFY(!after.isVisible());
    QCoreApplication::processEvents(); // consumes the queued end of the loop
}

void TestAppRun::errorLetThroughIsShownAndTheProgramGoesOn()
{
    auto* app = static_cast<WavelornApplication*>(qApp);
    AppRun run;
    app->setRun(&run);
    QString title, text;
    run.setWaitHook([&](QWidget& w) {
        title = w.windowTitle();
        text = static_cast<QMessageBox&>(w).text();
        static_cast<QMessageBox&>(w).buttons().value(0)->click();
    });
    ThrowingWidget target;
    QCoreApplication::postEvent(&target, new QEvent(QEvent::User));
    QCoreApplication::processEvents();
    app->setRun(nullptr);
    QCOMPARE(title, QStringLiteral("WAVELORN Encoder"));
    QCOMPARE(text, QStringLiteral("qualcosa non va"));
    QVERIFY(!run.endRequested());
}

void TestAppRun::closingAWindowHidesIt()
{
    TForm window(QStringLiteral("fmTest"), QStringLiteral("Prova"));
    window.show();
    QVERIFY(window.isVisible());
    QVERIFY(window.close());
    QVERIFY(!window.isVisible());
    // The window still exists and can be shown again.
    window.show();
    QVERIFY(window.isVisible());
}

int main(int argc, char** argv)
{
    WavelornApplication app(argc, argv);
    TestAppRun test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_apprun.moc"
