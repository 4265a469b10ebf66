#include "ufmWMA.h"

#include "UfmShoutcast2.h"
#include "WaveMixer.h"
#include "appconfig.h"
#include "apprun.h"
#include "forms.h"
#include "messagesboard.h"
#include "serviceaddresses.h"
#include "serviceconnections.h"
#include "shell.h"
#include "signinaccess.h"
#include "stationprofile.h"
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
#include <QStandardPaths>
#include <QTimer>
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
    buildLayout();

    DBSQL = ServiceConnections::openConsoleConnection(ctx.config, QStringLiteral("DBSQL"));
    DQMESSAGGI2 =
        ServiceConnections::openConsoleConnection(ctx.config, QStringLiteral("DQMESSAGGI2"));
    board = new MessagesBoard(ctx, *DQMESSAGGI2, boardArea);

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(50000);
    connect(Timer1, &QTimer::timeout, this, &TForm2wma::Timer1Timer);

    TMRECONNECT2 = new QTimer(this);
    TMRECONNECT2->setObjectName(QStringLiteral("TMRECONNECT2"));
    TMRECONNECT2->setInterval(15000);
    connect(TMRECONNECT2, &QTimer::timeout, this, &TForm2wma::TMRECONNECT2Timer);
    TMRECONNECT2->start();
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

    ProgressBar1 = new QProgressBar(this);
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

void TForm2wma::watchEngine()
{
    if (m_watchingEngine || !fmShoutcast2)
        return;
    m_watchingEngine = true;
    connect(fmShoutcast2, &TfmShoutcast2::airStateChanged, this, &TForm2wma::followEngine);
    connect(fmShoutcast2, &TfmShoutcast2::attemptFinished, this, &TForm2wma::followEngine);
    connect(fmShoutcast2, &TfmShoutcast2::captureLostChanged, this,
            [this](bool lost) { lbaudioperso->setVisible(lost); });
    lbaudioperso->setVisible(fmShoutcast2->captureLost());
}

void TForm2wma::setDeadAir(bool dead)
{
    lbsilenzio->setVisible(dead && !lbaudioperso->isVisible());
}

void TForm2wma::followEngine()
{
    if (!fmShoutcast2)
        return;
    QString caption = goOnAirCaption();
    switch (fmShoutcast2->airState()) {
    case TfmShoutcast2::AirState::OnAir:
        caption = onAirCaption();
        break;
    case TfmShoutcast2::AirState::Reconnecting:
        caption = reconnectingCaption();
        break;
    case TfmShoutcast2::AirState::Off:
        break;
    }
    if (btvaiinonda->text() == caption)
        return;
    qCInfo(lcUi).noquote() << "Go-on-air button:" << caption;
    btvaiinonda->setText(caption);
}

void TForm2wma::FormShow()
{
    // The volume bar follows the console line when its volume is changed elsewhere.
    if (m_signIn && m_signIn->mixer())
        followConsoleLine(
            *m_signIn->mixer(), [signIn = m_signIn] { return signIn->volumeLineIndex(); }, *scb,
            *lbvol);
    try {
        watchEngine();
        if (fmShoutcast2)
            fmShoutcast2->StartCast();
    } catch (...) {
    }
}

void TForm2wma::FormDestroy()
{
    // A message still being edited is written while its connection is there.
    if (board)
        board->programEnd();
    // Frees the recording device: every capture ends, the engine's with its encoder and cast.
    BASS_RecordFree();
    BASS_WMA_EncodeClose(PublishEncoder);
}

void TForm2wma::btvaiinondaClick()
{
    TfmShoutcast2* engine = fmShoutcast2;
    watchEngine();
    // A click while an attempt is on its way does nothing: its outcome decides.
    if (m_goOnAirPending || engine->attemptPending())
        return;
    engine->RestartPending = false;
    // The caption as the owner saw it when clicking: on the air, or anything else.
    const bool wasOnAir = btvaiinonda->text() == onAirCaption();
    engine->StartCast();
    if (!engine->attemptPending()) {
        goOnAirRest(wasOnAir); // the live cast stays as it is
        return;
    }
    m_goOnAirPending = true;
    connect(
        engine, &TfmShoutcast2::attemptFinished, this,
        [this, wasOnAir] {
            m_goOnAirPending = false;
            goOnAirRest(wasOnAir);
        },
        Qt::SingleShotConnection);
}

void TForm2wma::goOnAirRest(bool wasOnAir)
{
    TfmShoutcast2* engine = fmShoutcast2;
    if (!engine)
        return;
    if (wasOnAir) {
        engine->RestartPending = false;
    } else {
        if (BASS_ChannelIsActive(PublishChannel) == 0) {
            engine->RestartPending = true;
            engine->StartCast(); // a second try when the first did not reach the air
        } else {
            engine->RestartPending = false;
        }
        if (CBRECONNECT->isChecked())
            TMRECONNECT2->start();
    }
    // The caption says what is on the air.
    followEngine();
    engine->show();
    if (PublishChannel == 0)
        StartPublishing();
}

void TForm2wma::StartPublishing()
{
    ++m_publishingStarts;
    const QByteArray address = Edit1->text().toLocal8Bit();
    PublishEncoder =
        BASS_WMA_EncodeOpenPublish(44100, 2, BASS_WMA_ENCODE_SOURCE, static_cast<DWORD>(WmaBitrate),
                                   address.constData(), nullptr, nullptr);
    if (PublishEncoder == 0) {
        lberrore->setText(QStringLiteral("Non posso inizializzare Encoder"));
        lberrore->adjustSize();
        return;
    }
    ONAIR->setText(onAirCaption());
    BASS_WMA_EncodeSetTag(PublishEncoder, "Title", address.constData(), BASS_WMA_TAG_ANSI);
    AirSeconds = 0;
    PublishChannel = BASS_RecordStart(44100, 2, 0, &TForm2wma::PublishCaptureProc, this);
    if (PublishChannel == 0) {
        BASS_WMA_EncodeClose(PublishEncoder);
        return;
    }
    setPublishingControls(true);
    Timer1->start();
}

BOOL TForm2wma::PublishCaptureProc(HRECORD, const void* buffer, DWORD length, void* user)
{
    // On the audio layer's recording thread: only the atomics of the console are touched.
    auto* self = static_cast<TForm2wma*>(user);
    self->AirSeconds =
        self->AirSeconds + static_cast<float>(length) / static_cast<float>(BytesPerSecond);
    return BASS_WMA_EncodeWrite(self->PublishEncoder, buffer, length);
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

QString TForm2wma::onAirText(DWORD port, float airSeconds)
{
    const int s = static_cast<int>(airSeconds);
    return QString::asprintf("On Air - port: %d - %d:%.2d", static_cast<int>(port), s / 60, s % 60);
}

DWORD TForm2wma::nextPeak(DWORD peak, DWORD level)
{
    peak = peak > LevelDecay ? peak - LevelDecay : 0;
    if (level == 0xFFFFFFFFu)
        return peak;
    return std::max({peak, level & 0xFFFFu, level >> 16});
}

void TForm2wma::UpdateStatus()
{
    QString text = QStringLiteral("Off Air");
    const HRECORD channel = PublishChannel;
    if (BASS_ChannelIsActive(channel) != 0) {
        PublishLevel = nextPeak(PublishLevel, BASS_ChannelGetLevel(channel));
        text = onAirText(BASS_WMA_EncodeGetPort(PublishEncoder), AirSeconds);
    } else {
        PublishLevel = 0;
    }
    ProgressBar1->setValue(
        std::min<int>(static_cast<int>(PublishLevel / BarDivisor), ProgressBar1->maximum()));
    Panel1->setText(text);
}

void TForm2wma::StopPublishing()
{
    Timer1->stop();
    BASS_ChannelStop(PublishChannel);
    BASS_WMA_EncodeClose(PublishEncoder);
    setPublishingControls(false);
    UpdateStatus();
}

void TForm2wma::Timer1Timer()
{
    if (BASS_ChannelIsActive(PublishChannel) != 0)
        UpdateStatus();
    else
        StopPublishing();
}

void TForm2wma::TMRECONNECT2Timer()
{
    try {
        if (fmShoutcast2)
            fmShoutcast2->btn_startClick();
    } catch (...) {
    }
}

int TForm2wma::chooseVolumeLine(TAudioMixer& mixer)
{
    int line = 0;
    chooseConsoleLine(mixer, *scb, *lbvol, &line);
    return line;
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
    ProgressBar1->setValue(v);
    // The bar repaints by itself only for steps of a whole chunk: every step is painted.
    ProgressBar1->update();
}

void TForm2wma::scbChange()
{
    try {
        if (!m_signIn)
            return;
        TAudioMixer* mixer = m_signIn->mixer();
        if (!mixer)
            return;
        consoleVolumeBarChanged(*mixer, m_signIn->volumeLineIndex(), *scb, *lbvol);
    } catch (...) {
    }
}

void TForm2wma::Edit2Change()
{
    BASS_WMA_EncodeSetTag(PublishEncoder, "Caption", Edit2->text().toLocal8Bit().constData(),
                          BASS_WMA_TAG_ANSI);
}

void TForm2wma::BTAPRIPLAYERClick()
{
    try {
        if (m_signIn)
            m_ctx.profile.stationName = m_signIn->readAccountColumn(QStringLiteral("mynomeradio"));
        m_ctx.shell.open(this, serviceaddress::playerPage(m_ctx.config, m_ctx.profile),
                         serviceaddress::secondPlayerPage(m_ctx.config, m_ctx.profile),
                         Shell::ShowMaximized);
    } catch (...) {
    }
}

QString TForm2wma::soundSettingsCommand()
{
    if (QStandardPaths::findExecutable(QStringLiteral("pavucontrol")).isEmpty() &&
        !QStandardPaths::findExecutable(QStringLiteral("gnome-control-center")).isEmpty())
        return QStringLiteral("gnome-control-center sound");
    // A program that is not there fails to start without a word.
    return QStringLiteral("pavucontrol");
}

void TForm2wma::BTAUDIOClick()
{
    try {
        m_ctx.run.showMessage(QStringLiteral("DEVI ANDARE NELLA PAGINA DI REGISTRAZIONE SCRITTA IN "
                                             "ALTO ED ABILITARE MISSAGGIO STEREO"));
        m_ctx.shell.run(soundSettingsCommand());
    } catch (...) {
    }
}

void TForm2wma::btYouTubeClick()
{
    try {
        m_ctx.shell.open(this, serviceaddress::youtubeHome(m_ctx.config, m_ctx.profile),
                         serviceaddress::youtubeHomeParameters(m_ctx.config, m_ctx.profile),
                         Shell::ShowMaximized);
    } catch (...) {
    }
}

void TForm2wma::BTPANNELLOSHOUTCASTClick()
{
    try {
        m_ctx.shell.open(this, serviceaddress::streamingServerPage(m_ctx.config, m_ctx.profile),
                         QString(), Shell::ShowNormal);
    } catch (...) {
    }
}
