#pragma once
#include "appcontext.h"
#include "dbconnection.h"
#include "dbquery.h"
#include "form.h"
#include "signinaccess.h"

#include <QLabel>
#include <memory>

class QCloseEvent;
class QFrame;
class QLineEdit;
class QShowEvent;
class TAudioMixer;

// A label that works as a link: bold, underlined, a hand cursor, and a click. It takes no
// keyboard focus.
class TLinkLabel : public QLabel {
    Q_OBJECT
public:
    TLinkLabel(const QString& text, QWidget* parent);

signals:
    void clicked();

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    bool m_pressed = false;
};

// The sign-in window, the program's main window. The live console reads VolumeLineIndex,
// calls LEGGICAMPO and drives a1 (through SignInAccess); sign-up runs its queries on dbsql.
class TfmLogin : public TForm, public SignInAccess {
    Q_OBJECT
public:
    // Opens dbsql: throws DbError when the service database cannot be reached.
    explicit TfmLogin(AppContext& ctx);
    ~TfmLogin() override;

    int VolumeLineIndex = 0;
    int DebugCode = 0;

    // A database call that keeps the windows waiting shows the hourglass (process-wide; the
    // window does it when it is created).
    static void installBusyCursor();

    // Runs a cheap statement on the accounts table: throws DbError when the catalog cannot
    // serve sign-in.
    void checkCatalog();

    // The show step: focus on the E-Mail field, debug code 5.
    void FormShow();
    // Sign-in, the "Entra" link and Enter in either field.
    void lbEntraClick();
    // The account settings step of sign-in: the profile and the engine window's settings.
    void AVVIO();
    // One column of the signed-in account, read afresh from the service database. Never
    // throws: a failure is shown and ends the program.
    QString LEGGICAMPO(const QString& name);
    // Opens sign-up modally.
    void Label1Click();
    // The "Annulla" link: the end of the program.
    void lbAnnullaClick();

    // The layout.
    QFrame* Panel2 = nullptr;
    QLabel* Label2 = nullptr;
    QFrame* Panel4 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Label6 = nullptr;
    QLabel* lbUser = nullptr;
    QLineEdit* edUser = nullptr;
    QLabel* lbPassword = nullptr;
    QLineEdit* edPassword = nullptr;
    QFrame* Panel3 = nullptr;
    TLinkLabel* Label1 = nullptr;
    TLinkLabel* lbEntra = nullptr;
    TLinkLabel* lbAnnulla = nullptr;

    // The sign-in connection (15 s) and its account query (no command time-out).
    DbConnection dbsql;
    DbQuery qrSQL3;

    // The mixer, device 0, destination 0.
    TAudioMixer& a1() { return *m_a1; }

    // What the console reaches through SignInAccess.
    int volumeLineIndex() override { return VolumeLineIndex; }
    QString readAccountColumn(const QString& column) override { return LEGGICAMPO(column); }
    TAudioMixer* mixer() override { return m_a1.get(); }

    // Number of account reads (runs of the account query) since creation.
    int accountReads() const { return m_accountReads; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildLayout();
    void writeConnectionLog();
    void setBusyCursor(bool busy);

    AppContext& m_ctx;
    std::unique_ptr<TAudioMixer> m_a1;
    int m_accountReads = 0;
    bool m_readFailed = false; // an account read of this sign-in failed
    bool m_busyCursor = false;
    bool m_centred = false;
};
