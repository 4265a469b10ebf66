#pragma once
#include "appcontext.h"
#include "basswma.h"
#include "dbconnection.h"
#include "form.h"

#include <QString>
#include <atomic>
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
class QTimer;
struct SignInAccess;
class MessagesBoard;
class TAudioMixer;

// The live console. Other windows use the members below by these names: sign-in writes
// Edit1, scb and lbvol and shows the console; the engine moves ProgressBar1; the messages
// board puts its controls on boardArea and uses DQMESSAGGI2.
//
// The console starts the cast engine when shown, from its go-on-air button and every 15 s,
// and publishes its own capture of the recording device as a Windows Media stream to the
// address in Edit1 once the go-on-air button is pressed.
class TForm2wma : public TForm {
    Q_OBJECT
public:
    // Opens the console's two database connections: throws DbError when one cannot be opened.
    explicit TForm2wma(AppContext& ctx);
    ~TForm2wma() override;

    // The texts of the go-on-air button.
    static QString onAirCaption() { return QStringLiteral("SEI IN ONDA --- ON AIR!!!"); }
    static QString goOnAirCaption() { return QStringLiteral("CLICCA QUI PER ANDARE IN ONDA!!!"); }
    static QString reconnectingCaption() { return QStringLiteral("RICONNESSIONE IN CORSO..."); }
    // The note shown while the capture has lost the sound server.
    static QString deadAirText()
    {
        return QStringLiteral("Silenzio in onda: dal computer non arriva suono. Il lettore "
                              "musicale è fermo?");
    }
    // Shows or hides the dead-air note (in the place of the lost sound server's, which wins).
    void setDeadAir(bool dead);

    static QString captureLostText()
    {
        return QStringLiteral("Audio del computer non disponibile: riconnessione in corso...");
    }

    // Start-up hands over the sign-in window's side (the console line, the account read and
    // the mixer). Without it the volume bar does nothing and the player button opens the page
    // with the station name as it stands.
    void setSignIn(SignInAccess* signIn) { m_signIn = signIn; }
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

    QTimer* Timer1 = nullptr;       // publishing status tick, 50 s, while publishing runs
    QTimer* TMRECONNECT2 = nullptr; // reconnect tick, 15 s, from creation

    // The console's database connections (full form, service database, 15 s).
    std::unique_ptr<DbConnection> DBSQL;
    std::unique_ptr<DbConnection> DQMESSAGGI2;

    // The publishing state.
    std::atomic<HWMENCODE> PublishEncoder{0}; // as the last publishing start left it
    std::atomic<HRECORD> PublishChannel{0};   // set once a publishing start gets its capture
    std::atomic<float> AirSeconds{0};         // seconds of audio sent since that start
    DWORD PublishLevel = 0;                   // peak-hold level, 0..32768
    int WmaBitrate = 128000;                  // the publishing bit rate

    // Handlers.
    void FormShow();
    void FormDestroy();
    void btvaiinondaClick();
    void Timer1Timer();
    void TMRECONNECT2Timer();
    void scbChange();
    void Edit2Change();
    void BTAPRIPLAYERClick();
    void BTAUDIOClick();
    void btYouTubeClick();
    void BTPANNELLOSHOUTCASTClick();

    // Operations.
    void StartPublishing();
    void StopPublishing();
    void UpdateStatus();
    static BOOL PublishCaptureProc(HRECORD handle, const void* buffer, DWORD length, void* user);

    // The rules of the status refresh, on their own.
    static constexpr DWORD BytesPerSecond = 176400; // 44,100 Hz, two channels, 16 bits
    static constexpr DWORD LevelDecay = 1500;
    static constexpr DWORD BarDivisor = 327;
    // "On Air - port: %d - %d:%.2d" with the port and the whole seconds as minutes:seconds.
    static QString onAirText(DWORD port, float airSeconds);
    // The peak after one tick: decayed by 1500 (to 0 at most), then the larger of it and the
    // two channel levels of level. A level of 0xFFFFFFFF (no capture) adds nothing.
    static DWORD nextPeak(DWORD peak, DWORD level);

    // The command that opens the platform's sound settings.
    static QString soundSettingsCommand();

    // Tests: the number of publishing starts made (StartPublishing runs).
    int publishingStarts() const { return m_publishingStarts; }
    // True while a go-on-air step waits for its start attempt's outcome.
    bool goOnAirPending() const { return m_goOnAirPending; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void buildLayout();
    void setPublishingControls(bool running);
    // The go-on-air step once its first start attempt has an outcome.
    void goOnAirRest(bool wasOnAirCaption);
    // The go-on-air button's caption from the engine's state of the air.
    void followEngine();
    void watchEngine();

    AppContext& m_ctx;
    SignInAccess* m_signIn = nullptr;
    int m_publishingStarts = 0;
    bool m_maximized = false;
    bool m_goOnAirPending = false;
    bool m_watchingEngine = false;
};
