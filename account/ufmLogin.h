#pragma once
#include "appcontext.h"
#include "form.h"
#include "linklabel.h"
#include "signincourse.h"

#include <memory>

class QCloseEvent;
class QFrame;
class QLabel;
class QLineEdit;
class QShowEvent;
class TAudioMixer;
class TfmRegistrazione;
struct StationHandoff;

// The sign-in window, the program's main window: its fields and links bound to the course of
// sign-in. Start-up hands it where the station goes once signed in (setHandoff) and the
// sign-up window of "Registrati" (setSignUpWindow).
class TfmLogin : public TForm {
    Q_OBJECT
    // First, for the references below.
    AppContext& m_ctx;
    SignInCourse m_course;

public:
    // Opens dbsql: throws DbError when the service database cannot be reached.
    explicit TfmLogin(AppContext& ctx);
    ~TfmLogin() override;

    void setHandoff(StationHandoff* handoff) { m_course.setHandoff(handoff); }
    void setSignUpWindow(TfmRegistrazione* signUp) { m_signUp = signUp; }

    // The course's values under the window's names.
    int& VolumeLineIndex;
    int& DebugCode;

    // A database call that keeps the windows waiting shows the hourglass (process-wide; the
    // window does it when it is created).
    static void installBusyCursor();

    // Runs a cheap statement on the accounts table: throws DbError when the catalog cannot
    // serve sign-in.
    void checkCatalog() { m_course.checkCatalog(); }

    // The show step: focus on the E-Mail field, debug code 5.
    void FormShow();
    // Sign-in, the "Entra" link and Enter in either field.
    void lbEntraClick();
    // The account settings step of sign-in: the profile and the engine window's settings.
    void AVVIO() { m_course.readSettings(); }
    // One column of the signed-in account, read afresh from the service database. Never
    // throws: a failure is shown and ends the program.
    QString LEGGICAMPO(const QString& name) { return m_course.readColumn(name); }
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

    // The sign-in connection, on which sign-up runs its queries too.
    DbConnection& dbsql() { return m_course.dbsql; }

    // The mixer, device 0, destination 0.
    TAudioMixer& a1() { return *m_a1; }

    // Number of account reads (runs of the account query) since creation.
    int accountReads() const { return m_course.accountReads(); }

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildLayout();
    void setBusyCursor(bool busy);

    std::unique_ptr<TAudioMixer> m_a1;
    TfmRegistrazione* m_signUp = nullptr;
    bool m_busyCursor = false;
    bool m_centred = false;
};
