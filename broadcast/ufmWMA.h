#pragma once
#include "appcontext.h"
#include "consolecourse.h"
#include "dbconnection.h"
#include "form.h"

#include <QString>
#include <memory>

class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QScrollBar;
class QShowEvent;
struct SignInAccess;
class MessagesBoard;
class TAudioMixer;
class TfmShoutcast2;

// The live console's window: its controls, bound to its course (consolecourse.h), which
// starts the cast engine when the console is shown, from the go-on-air button and every 15 s,
// and publishes its own capture of the recording device as a Windows Media stream to the
// address in Edit1 once the go-on-air button is pressed. Other windows use the members below
// by these names: sign-in hands over the volume line and the publishing point and shows the
// console; the engine's meter moves ProgressBar1; the messages board puts its controls on
// boardArea and uses DQMESSAGGI2.
class TForm2wma : public TForm {
    Q_OBJECT
public:
    // Opens the console's two database connections: throws DbError when one cannot be opened.
    explicit TForm2wma(AppContext& ctx);
    ~TForm2wma() override;

    // The texts of the go-on-air button.
    static QString onAirCaption() { return ConsoleCourse::onAirCaption(); }
    static QString goOnAirCaption() { return ConsoleCourse::goOnAirCaption(); }
    static QString reconnectingCaption() { return ConsoleCourse::reconnectingCaption(); }
    // The note shown while the capture has lost the sound server.
    static QString deadAirText()
    {
        return QStringLiteral("Silenzio in onda: dal computer non arriva suono. Il lettore "
                              "musicale è fermo?");
    }
    // Shows or hides the dead-air note (in the place of the lost sound server's, which wins).
    void setDeadAir(bool dead);
    // The console line's volume, changed elsewhere: shown on the bar and label, not written.
    void showLineVolume(int volume);

    static QString captureLostText()
    {
        return QStringLiteral("Audio del computer non disponibile: riconnessione in corso...");
    }

    // Start-up hands over the sign-in window's side (the console line, the account read and
    // the mixer). Without it the volume bar does nothing and the player button opens the page
    // with the station name as it stands.
    void setSignIn(SignInAccess* signIn);
    // Start-up hands over the cast engine the console starts and follows. Without it the
    // go-on-air button and the reconnect tick do nothing.
    void setEngine(TfmShoutcast2* engine);
    // Sign-in's first step: picks the console line of mixer for the volume bar, sets its
    // volume and shows it; returns the line's index. Throws EListError without lines.
    int chooseVolumeLine(TAudioMixer& mixer);
    // The Windows Media publishing point the next publishing start sends to.
    void setPublishingPoint(const QString& address);
    // The input level bar's position (0..128), as the engine's meter moves it.
    void showInputLevel(int position);

    // Visible controls.
    QPushButton* btvaiinonda = nullptr;
    QLabel* Panel3 = nullptr;
    QCheckBox* CBRECONNECT = nullptr;
    QPushButton* BTAPRIPLAYER = nullptr;
    QLabel* lberrore = nullptr;
    QPushButton* BTAUDIO = nullptr;
    QPushButton* btYouTube = nullptr;
    QPushButton* BTPANNELLOSHOUTCAST = nullptr;
    QLabel* BTPANNELLOSHOUTCASTText = nullptr; // the wrapped caption of BTPANNELLOSHOUTCAST
    QProgressBar* ProgressBar1 = nullptr;
    QScrollBar* scb = nullptr;
    QLabel* lbvol = nullptr;
    QLabel* lbaudioperso = nullptr; // shown while the capture has lost the sound server
    QLabel* lbsilenzio = nullptr;   // shown while the station sends dead air

    // Hidden controls of the publishing path (never shown).
    QLineEdit* Edit1 = nullptr;
    QLabel* Label1 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* Panel1 = nullptr;
    QLabel* ONAIR = nullptr;

    // The messages board's place: a widget under every other control, covering the whole
    // client area, so that the board's controls take the window's own coordinates. The
    // console's controls keep the left half free of them.
    QWidget* boardArea = nullptr;
    // The board of listeners' messages, on boardArea's right half.
    MessagesBoard* board = nullptr;

    // The console's database connections (full form, service database, 15 s).
    std::unique_ptr<DbConnection> DBSQL;
    std::unique_ptr<DbConnection> DQMESSAGGI2;

    // The course: the steps, the publishing state and its timers (Timer1, TMRECONNECT2).
    ConsoleCourse* course = nullptr;

    // Handlers.
    void FormShow();
    void FormDestroy();
    void btvaiinondaClick();
    void scbChange();
    void Edit2Change();
    void BTAPRIPLAYERClick();
    void BTAUDIOClick();
    void btYouTubeClick();
    void BTPANNELLOSHOUTCASTClick();

    // The command that opens the platform's sound settings.
    static QString soundSettingsCommand() { return ConsoleCourse::soundSettingsCommand(); }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildLayout();
    void bindCourse();
    void setPublishingControls(bool running);
    void openPage(const ConsoleCourse::Page& page);

    AppContext& m_ctx;
    SignInAccess* m_signIn = nullptr;
    bool m_maximized = false;
    bool m_ended = false;
};
