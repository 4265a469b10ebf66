#pragma once
#include "appcontext.h"
#include "dbquery.h"
#include "skinengine.h"

#include <QChar>
#include <QDialog>
#include <QString>
#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;
class QShowEvent;

namespace signup {

// A new account as the owner typed it.
struct NewAccount {
    QString email;
    QString password;
    QString user;
    QString stationName; // as typed: its blanks are removed when it is looked up and stored
    QString mobile;
    QString genre;
    QString description;
};

struct StoreResult {
    enum Outcome { Stored, EmailTaken, StationTaken };
    Outcome outcome = Stored;
    int id = 0; // the stored account's id and port (Stored only)
    int port = 0;
};

// How often the id and port are computed afresh when the database refuses the row, before the
// refusal is reported.
inline constexpr int kInsertAttempts = 5;

// Checks that the e-mail and the station name are free, computes the next id and port and
// inserts the account, all in one transaction on connection, with the two queries (both on
// that connection). When the insert is refused (a sign-up elsewhere took the id, the port, the
// e-mail or the name in the meantime) the checks and the maxima run again in a new
// transaction; a refusal that the new maxima do not explain is thrown as it came.
// beforeInsert, when set, runs between the maxima and the insert with the id and port about
// to be written. Throws DbError.
StoreResult storeNewAccount(DbConnection& connection, DbQuery& qrSeleziona, DbQuery& qrUtenti,
                            const NewAccount& account,
                            const std::function<void(int id, int port)>& beforeInsert = {});

} // namespace signup

// The sign-up window: a modal dialog of the sign-in window's "Registrati". Its queries run on
// the connection it is given: start-up gives it the sign-in connection.
class TfmRegistrazione : public QDialog {
    Q_OBJECT
public:
    explicit TfmRegistrazione(AppContext& ctx, DbConnection* connection = nullptr);
    ~TfmRegistrazione() override;

    // The connection the two queries run on; without one, sign-up shows that there is none.
    void setConnection(DbConnection& connection);
    DbConnection* connection() const { return m_connection; }

    // The show step: the skin component gets its file and stays switched off.
    void FormShow();
    // Sign-up: "Invia" and Enter in any of the seven edits.
    void btInviaClick();
    // "Annulla": the window closes and sign-in is back as it was.
    void btAnnullaClick();

    // Key handlers of the edits: Enter (13) runs sign-up; the key is left as it is.
    void edemailKeyPress(QChar& key);
    void edpasswordKeyPress(QChar& key);
    void edusernameKeyPress(QChar& key);
    // Also serves edCellulare, edgenere and eddescrizione.
    void ednomecanaleKeyPress(QChar& key);

    // The layout, in focus order.
    QLabel* lbemail = nullptr;
    QLineEdit* edemail = nullptr;
    QLabel* lbpassword = nullptr;
    QLineEdit* edpassword = nullptr;
    QLabel* lbusername = nullptr;
    QLineEdit* edusername = nullptr;
    QLabel* lbnomecanale = nullptr;
    QLineEdit* ednomecanale = nullptr;
    QLabel* lbnota = nullptr;
    QLabel* lbCellulare = nullptr;
    QLineEdit* edCellulare = nullptr;
    QLabel* lbgenere = nullptr;
    QLineEdit* edgenere = nullptr;
    QLabel* lbdescrizione = nullptr;
    QLineEdit* eddescrizione = nullptr;
    QPushButton* btInvia = nullptr;
    QPushButton* btAnnulla = nullptr;

    // The queries of sign-up (null until the window has a connection).
    DbQuery* qrSeleziona() const { return m_qrSeleziona.get(); }
    DbQuery* qrUtenti() const { return m_qrUtenti.get(); }

    // The skin component: switched off, given its file by the show step.
    SkinEngineComponent se;

    // Where the layout places the window, and its client area.
    static constexpr int kDesignLeft = 192;
    static constexpr int kDesignTop = 114;
    static constexpr int kClientWidth = 703;
    static constexpr int kClientHeight = 444;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildLayout();

    AppContext& m_ctx;
    DbConnection* m_connection = nullptr;
    // Command time-out 30 s, the provider's default.
    std::unique_ptr<DbQuery> m_qrSeleziona;
    std::unique_ptr<DbQuery> m_qrUtenti;
};
