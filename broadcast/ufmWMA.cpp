#include "ufmWMA.h"

#include "WaveMixer.h"
#include "appconfig.h"
#include "apprun.h"
#include "levelbar.h"
#include "messagesboard.h"
#include "serviceconnections.h"
#include "shell.h"
#include "signinaccess.h"
#include "wllog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QShowEvent>
#include <QSignalBlocker>
#include <algorithm>

namespace {

const QColor Navy(0, 0, 128);

QFont pixelFont(const QString& family, int pixels, bool bold = false)
{
    QFont f(family);
    f.setPixelSize(pixels);
    f.setBold(bold);
    return f;
}

void setTextColour(QWidget* w, const QColor& colour)
{
    QPalette p = w->palette();
    p.setColor(QPalette::WindowText, colour);
    p.setColor(QPalette::ButtonText, colour);
    p.setColor(QPalette::Text, colour);
    w->setPalette(p);
}

// An edit's or a list's face: the button face (COLOR_BTNFACE) or the window colour
// (COLOR_WINDOW).
void setFace(QWidget* w, QPalette::ColorRole systemColour)
{
    QPalette p = w->palette();
    p.setColor(QPalette::Base, QPalette().color(systemColour));
    w->setPalette(p);
}

QPushButton* makeButton(QWidget* parent, const QString& name, const QString& text, QRect place)
{
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setGeometry(place);
    b->setFont(pixelFont(QStringLiteral("Arial Black"), 11));
    setTextColour(b, Navy);
    return b;
}

QLabel* makePanel(QWidget* parent, const QString& name, const QString& text, QRect place)
{
    auto* p = new QLabel(text, parent);
    p->setObjectName(name);
    p->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    p->setAlignment(Qt::AlignCenter);
    p->setGeometry(place);
    return p;
}

QLabel* makeLabel(QWidget* parent, const QString& name, const QString& text, QPoint at)
{
    auto* l = new QLabel(text, parent);
    l->setObjectName(name);
    l->move(at);
    l->adjustSize();
    return l;
}

} // namespace

TForm2wma::TForm2wma(AppContext& ctx)
    : TForm(QStringLiteral("Form2wma"), QStringLiteral("Trasmissione Live!!!  Vers. 5.0")),
      m_ctx(ctx)
{
    buildLayout(); // first: the board's place lies under every control
    course = new ConsoleCourse(ctx, this);
    course->setObjectName(QStringLiteral("course"));
    bindCourse();

    DBSQL = ServiceConnections::openConsoleConnection(ctx.config, QStringLiteral("DBSQL"));
    DQMESSAGGI2 =
        ServiceConnections::openConsoleConnection(ctx.config, QStringLiteral("DQMESSAGGI2"));
    board = new MessagesBoard(ctx, *DQMESSAGGI2, boardArea);
}

TForm2wma::~TForm2wma()
{
    FormDestroy();
}

void TForm2wma::buildLayout()
{
    setFixedClientSize(1197, 457);
    setFont(pixelFont(QStringLiteral("MS Sans Serif"), 11));
    setTextColour(this, Navy);

    // First, so that it lies under every control of the console.
    boardArea = new QWidget(this);
    boardArea->setObjectName(QStringLiteral("boardArea"));
    boardArea->setGeometry(0, 0, 1197, 457);

    btvaiinonda = makeButton(this, QStringLiteral("btvaiinonda"), onAirCaption(), {0, 11, 434, 62});
    btvaiinonda->setFont(pixelFont(QStringLiteral("Times New Roman"), 19));
    connect(btvaiinonda, &QPushButton::clicked, this, &TForm2wma::btvaiinondaClick);

    Panel3 = makePanel(this, QStringLiteral("Panel3"),
                       QStringLiteral("CHIUDI IL PROGRAMMA PER ANDARE OFF LINE"), {0, 80, 433, 41});

    CBRECONNECT = new QCheckBox(QStringLiteral("AUTO RICONNESIONE"), this);
    CBRECONNECT->setObjectName(QStringLiteral("CBRECONNECT"));
    CBRECONNECT->setGeometry(259, 138, 177, 17);
    CBRECONNECT->setChecked(true);

    BTAPRIPLAYER =
        makeButton(this, QStringLiteral("BTAPRIPLAYER"),
                   QStringLiteral("APRI IL TUO SITO PLAYER DA FAR CONOSCERE"), {0, 177, 433, 24});
    connect(BTAPRIPLAYER, &QPushButton::clicked, this, &TForm2wma::BTAPRIPLAYERClick);

    // Made before BTAUDIO, which lies over it.
    lberrore = makeLabel(this, QStringLiteral("lberrore"), QString(), {75, 234});

    BTAUDIO = makeButton(this, QStringLiteral("BTAUDIO"),
                         QStringLiteral("APRI PANNELLO DI CONTROLLO AUDIO MIXER DI WINDOWS"),
                         {0, 224, 433, 25});
    connect(BTAUDIO, &QPushButton::clicked, this, &TForm2wma::BTAUDIOClick);

    btYouTube = makeButton(this, QStringLiteral("btYouTube"), QStringLiteral("APRI YOUTUBE"),
                           {0, 257, 433, 24});
    connect(btYouTube, &QPushButton::clicked, this, &TForm2wma::btYouTubeClick);

    BTPANNELLOSHOUTCAST =
        makeButton(this, QStringLiteral("BTPANNELLOSHOUTCAST"), QString(), {0, 375, 1137, 82});
    BTPANNELLOSHOUTCASTText = new QLabel(
        QStringLiteral(
            "PANNELLO DI CONTROLLO PER VEDERE SE SEI IN ONDA, PER ACCEDERE NOME UTENTE: admin --- "
            "TUTTO MINUSCOLO PASSWORD: QUELLA DELLA REGISTRAZIONE"),
        BTPANNELLOSHOUTCAST);
    BTPANNELLOSHOUTCASTText->setWordWrap(true);
    BTPANNELLOSHOUTCASTText->setAlignment(Qt::AlignCenter);
    BTPANNELLOSHOUTCASTText->setAttribute(Qt::WA_TransparentForMouseEvents);
    BTPANNELLOSHOUTCASTText->setFont(BTPANNELLOSHOUTCAST->font());
    setTextColour(BTPANNELLOSHOUTCASTText, Navy);
    auto* wrap = new QHBoxLayout(BTPANNELLOSHOUTCAST);
    wrap->addWidget(BTPANNELLOSHOUTCASTText);
    BTPANNELLOSHOUTCAST->setAccessibleName(BTPANNELLOSHOUTCASTText->text());
    connect(BTPANNELLOSHOUTCAST, &QPushButton::clicked, this, &TForm2wma::BTPANNELLOSHOUTCASTClick);

    ProgressBar1 = new LevelBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setOrientation(Qt::Vertical);
    ProgressBar1->setRange(0, 128);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    ProgressBar1->setGeometry(412, 13, 29, 53);
    ProgressBar1->setToolTip(
        QStringLiteral("QUANDO QUESTA BARRA DIVENTA COLORATA E SALE E SCENDE VUOL DIRE "
                       "CHE STAI TRASMETTENDO CORRETTAMENTE"));

    scb = new QScrollBar(Qt::Vertical, this);
    scb->setObjectName(QStringLiteral("scb"));
    scb->setRange(0, 100);
    scb->setValue(75);
    scb->setGeometry(448, 14, 17, 121);
    connect(scb, &QScrollBar::valueChanged, this, &TForm2wma::scbChange);

    lbvol = makeLabel(this, QStringLiteral("lbvol"), QStringLiteral("100"), {440, 139});
    lbvol->setFont(pixelFont(font().family(), 16, true));
    lbvol->adjustSize();

    // In the free band between the buttons and the server page's button.
    lbaudioperso = new QLabel(captureLostText(), this);
    lbaudioperso->setObjectName(QStringLiteral("lbaudioperso"));
    lbaudioperso->setGeometry(0, 300, 433, 40);
    lbaudioperso->setWordWrap(true);
    lbaudioperso->setAlignment(Qt::AlignCenter);
    lbaudioperso->setFont(pixelFont(QStringLiteral("Arial Black"), 13, true));
    setTextColour(lbaudioperso, Qt::red);
    lbaudioperso->hide();
    lbsilenzio = new QLabel(deadAirText(), this);
    lbsilenzio->setObjectName(QStringLiteral("lbsilenzio"));
    lbsilenzio->setGeometry(lbaudioperso->geometry());
    lbsilenzio->setWordWrap(true);
    lbsilenzio->setAlignment(Qt::AlignCenter);
    lbsilenzio->setFont(lbaudioperso->font());
    setTextColour(lbsilenzio, QColor(0xC0, 0x60, 0x00));
    lbsilenzio->hide();

    // The publishing path's own controls: never shown.
    Edit1 = new QLineEdit(QStringLiteral("NetWork ") + m_ctx.config.serviceHost, this);
    Edit1->setObjectName(QStringLiteral("Edit1"));
    Edit1->setReadOnly(true);
    Label1 = makeLabel(this, QStringLiteral("Label1"), QStringLiteral("Title:"), {0, 0});
    ComboBox1 = new QComboBox(this);
    ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
    ComboBox1->addItem(QStringLiteral("128000"));
    Label2 = makeLabel(this, QStringLiteral("Label2"), QStringLiteral("Bitrate: 128000"), {0, 0});
    Edit2 = new QLineEdit(QStringLiteral("WELCOME!!!"), this);
    Edit2->setObjectName(QStringLiteral("Edit2"));
    Edit2->setEnabled(false);
    setFace(Edit2, QPalette::Button);
    connect(Edit2, &QLineEdit::textChanged, this, &TForm2wma::Edit2Change);
    Label3 = makeLabel(this, QStringLiteral("Label3"), QStringLiteral("Caption:"), {0, 0});
    Panel1 = makePanel(this, QStringLiteral("Panel1"), QStringLiteral("Off Air"), {0, 0, 200, 20});
    ONAIR = makeLabel(this, QStringLiteral("ONAIR"),
                      QStringLiteral("NON SEI IN ONDA SU WINDOWS MEDIA!!!"), {0, 0});
    ONAIR->setFont(pixelFont(font().family(), 16, true));
    setTextColour(ONAIR, Qt::red);
    for (QWidget* w : std::initializer_list<QWidget*>{Edit1, Label1, ComboBox1, Label2, Edit2,
                                                      Label3, Panel1, ONAIR})
        w->hide();
}

void TForm2wma::bindCourse()
{
    course->setPublishingPoint(Edit1->text());
    connect(Edit1, &QLineEdit::textChanged, course, &ConsoleCourse::setPublishingPoint);
    course->setAutoReconnect(CBRECONNECT->isChecked());
    connect(CBRECONNECT, &QCheckBox::toggled, course, &ConsoleCourse::setAutoReconnect);
    connect(course, &ConsoleCourse::captionChanged, btvaiinonda, &QPushButton::setText);
    connect(course, &ConsoleCourse::captureLostChanged, lbaudioperso, &QWidget::setVisible);
    connect(course, &ConsoleCourse::publishingFailed, this, [this](const QString& text) {
        lberrore->setText(text);
        lberrore->adjustSize();
    });
    connect(course, &ConsoleCourse::publishingOnAir, ONAIR, &QLabel::setText);
    connect(course, &ConsoleCourse::publishingRunning, this, &TForm2wma::setPublishingControls);
    connect(course, &ConsoleCourse::statusShown, this, [this](const QString& text, int bar) {
        ProgressBar1->setValue(std::min(bar, ProgressBar1->maximum()));
        Panel1->setText(text);
    });
}

void TForm2wma::setSignIn(SignInAccess* signIn)
{
    m_signIn = signIn;
    course->setSignIn(signIn);
}

void TForm2wma::setEngine(TfmShoutcast2* engine)
{
    course->setEngine(engine);
}

void TForm2wma::showEvent(QShowEvent* event)
{
    TForm::showEvent(event);
    if (event->spontaneous())
        return;
    if (!m_maximized) {
        // The size is fixed: maximizing leaves it centred at its own size.
        m_maximized = true;
        centreOnScreen();
        setWindowState(windowState() | Qt::WindowMaximized);
    }
    FormShow();
}

void TForm2wma::showLineVolume(int volume)
{
    // Shown, not written: the bar's change handler must not send it back.
    const QSignalBlocker quiet(scb);
    scb->setValue(volume);
    lbvol->setText(QString::number(volume));
}

void TForm2wma::setDeadAir(bool dead)
{
    lbsilenzio->setVisible(dead && !lbaudioperso->isVisible());
}

void TForm2wma::FormShow()
{
    // The volume bar follows the console line when its volume is changed elsewhere.
    if (m_signIn && m_signIn->mixer())
        followConsoleLine(
            *m_signIn->mixer(), [signIn = m_signIn] { return signIn->volumeLineIndex(); }, *scb,
            [this](int volume) { showLineVolume(volume); });
    course->showStep();
}

void TForm2wma::FormDestroy()
{
    if (m_ended)
        return;
    m_ended = true;
    // A message still being edited is written while its connection is there.
    if (board)
        board->programEnd();
    // Frees the recording device: every capture ends, the engine's with its encoder and cast.
    BASS_RecordFree();
    course->end();
}

void TForm2wma::btvaiinondaClick()
{
    course->goOnAir();
}

void TForm2wma::setPublishingControls(bool running)
{
    const QPalette::ColorRole idle = running ? QPalette::Button : QPalette::Base;
    const QPalette::ColorRole busy = running ? QPalette::Base : QPalette::Button;
    Edit1->setEnabled(!running);
    setFace(Edit1, idle);
    ComboBox1->setEnabled(!running);
    setFace(ComboBox1, idle);
    Edit2->setEnabled(running);
    setFace(Edit2, busy);
}

int TForm2wma::chooseVolumeLine(TAudioMixer& mixer)
{
    const ConsoleLineChoice choice = chooseConsoleLine(mixer);
    {
        // Shown, not written: the bar's own handler must not send the position to a line.
        const QSignalBlocker quiet(scb);
        scb->setMaximum(choice.barMaximum);
        scb->setValue(choice.barValue);
    }
    lbvol->setText(choice.label);
    return choice.line;
}

void TForm2wma::setPublishingPoint(const QString& address)
{
    Edit1->setText(address);
}

void TForm2wma::showInputLevel(int position)
{
    const int v = std::clamp(position, ProgressBar1->minimum(), ProgressBar1->maximum());
    if (v == ProgressBar1->value())
        return;
    static_cast<LevelBar*>(ProgressBar1)->step(v);
}

void TForm2wma::scbChange()
{
    if (!m_signIn)
        return;
    TAudioMixer* mixer = m_signIn->mixer();
    if (!mixer)
        return;
    if (const auto text =
            consoleVolumeBarChanged(*mixer, m_signIn->volumeLineIndex(), scb->value()))
        lbvol->setText(*text);
}

void TForm2wma::Edit2Change()
{
    course->captionEdited(Edit2->text());
}

void TForm2wma::openPage(const ConsoleCourse::Page& page)
{
    m_ctx.shell.open(this, page.address, page.parameters, page.show);
}

void TForm2wma::BTAPRIPLAYERClick()
{
    // The account read tells the owner of its own failures; whatever else it throws leaves
    // the page unopened, as a failed read does.
    try {
        openPage(course->playerPage());
    } catch (const std::exception& e) {
        qCWarning(lcUi).noquote() << "the player page was not opened:" << e.what();
    }
}

void TForm2wma::BTAUDIOClick()
{
    m_ctx.run.showMessage(QStringLiteral("DEVI ANDARE NELLA PAGINA DI REGISTRAZIONE SCRITTA IN "
                                         "ALTO ED ABILITARE MISSAGGIO STEREO"));
    m_ctx.shell.run(soundSettingsCommand());
}

void TForm2wma::btYouTubeClick()
{
    openPage(course->youtubePage());
}

void TForm2wma::BTPANNELLOSHOUTCASTClick()
{
    openPage(course->panelPage());
}
