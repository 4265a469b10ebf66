#include "UfmShoutcast2.h"

#include "appconfig.h"
#include "stationprofile.h"
#include "wllog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QResizeEvent>
#include <QShowEvent>
#include <QTimer>
#include <QWindow>
#include <algorithm>

TfmShoutcast2::TfmShoutcast2(AppContext& ctx)
    : TForm(QStringLiteral("fmShoutcast2"), QString()), m_ctx(ctx), m_course(ctx.profile)
{
    buildCastControls(this);
    resize(440, 380);

    // Over the layout's free bottom edge, so that it moves none of the controls.
    m_captureLostNote = new QLabel(QStringLiteral("Sound server lost - reconnecting"), this);
    m_captureLostNote->setObjectName(QStringLiteral("captureLostNote"));
    QPalette p = m_captureLostNote->palette();
    p.setColor(QPalette::WindowText, Qt::red);
    m_captureLostNote->setPalette(p);
    QFont f = m_captureLostNote->font();
    f.setBold(true);
    m_captureLostNote->setFont(f);
    m_captureLostNote->hide();

    // Below the title box, where the layout leaves room: none of its controls moves.
    chk_TitleFromPlayer = new QCheckBox(QStringLiteral("Title from player"), this);
    chk_TitleFromPlayer->setObjectName(QStringLiteral("chk_TitleFromPlayer"));
    chk_Record = new QCheckBox(QStringLiteral("Record"), this);
    chk_Record->setObjectName(QStringLiteral("chk_Record"));
    extraRow->addWidget(chk_TitleFromPlayer);
    extraRow->addWidget(chk_Record);
    extraRow->addStretch();
    connect(chk_TitleFromPlayer, &QCheckBox::toggled, this, [this](bool on) {
        ed_TrackTitle->setReadOnly(on);
        qCInfo(lcUi) << (on ? "Titles come from the music player" : "Titles are typed");
    });
    connect(chk_Record, &QCheckBox::toggled, &m_course, &CastCourse::setRecording);

    connect(btn_start, &QPushButton::clicked, this, &TfmShoutcast2::btn_startClick);
    // The flag follows the switch whenever it changes.
    connect(chk_AutoReconnect, &QCheckBox::toggled, this, &TfmShoutcast2::chk_AutoReconnectClick);
    connect(ed_TrackTitle, &QLineEdit::textChanged, this, &TfmShoutcast2::ed_TrackTitleChange);
    connect(LevelTimer, &QTimer::timeout, this, &TfmShoutcast2::LevelTimerTimer);

    // The course always has the settings as the controls show them.
    for (QLineEdit* e : {ed_server, ed_Password, ed_Name, ed_url, ed_genre, ed_desc})
        connect(e, &QLineEdit::textChanged, this, &TfmShoutcast2::pushRequest);
    connect(chk_public, &QCheckBox::toggled, this, &TfmShoutcast2::pushRequest);
    connect(chk_Mp3, &QRadioButton::toggled, this, &TfmShoutcast2::pushRequest);
    connect(cb_Bitrate, &QComboBox::currentIndexChanged, this, &TfmShoutcast2::pushRequest);
    pushRequest();

    bindCourse();
    FormCreate();
}

TfmShoutcast2::~TfmShoutcast2()
{
    LevelTimer->stop();
    // The course ends its casts and waits for its worker as it goes; it tells the window
    // nothing more.
    m_course.disconnect(this);
}

void TfmShoutcast2::bindCourse()
{
    // The death notices reach the window, which hands them on (see event()).
    m_course.postMessagesTo(this);
    connect(&m_course, &CastCourse::castStarted, this, [this] { showRunning(true); });
    connect(&m_course, &CastCourse::castStopped, this, [this] { showRunning(false); });
    connect(&m_course, &CastCourse::startButtonEnabled, btn_start, &QPushButton::setEnabled);
    connect(&m_course, &CastCourse::captureLostChanged, m_captureLostNote, &QLabel::setVisible);
    connect(&m_course, &CastCourse::listenersChanged, this, [this](int count) {
        emit listenersChanged(count);
        setWindowTitle(QStringLiteral("Utenti connessi (%1 listeners)").arg(count));
    });
    connect(&m_course, &CastCourse::attemptFinished, this, &TfmShoutcast2::attemptFinished);
    connect(&m_course, &CastCourse::airStateChanged, this, &TfmShoutcast2::airStateChanged);
    connect(&m_course, &CastCourse::captureLostChanged, this, &TfmShoutcast2::captureLostChanged);
    connect(&m_course, &CastCourse::consoleMeterChanged, this, &TfmShoutcast2::consoleMeterChanged);
    connect(&m_course, &CastCourse::levelRead, this, &TfmShoutcast2::levelRead);
    connect(&m_course, &CastCourse::recordingFailed, this, &TfmShoutcast2::recordingFailed);
}

void TfmShoutcast2::showRunning(bool running)
{
    btn_start->setText(running ? QStringLiteral("Stop") : QStringLiteral("Start"));
    setSettingsEnabled(!running);
    setTitleBoxEnabled(running);
    if (running)
        LevelTimer->start();
    else
        LevelTimer->stop();
}

void TfmShoutcast2::FormCreate()
{
    m_course.setAutoReconnect(chk_AutoReconnect->isChecked());
    if (!BASS_RecordInit(-1)) {
        qCWarning(lcCast) << "The recording device cannot be opened:" << BASS_LastErrorText();
        close();
    }
    setLevelBarColour(0x000000);
    LevelTimer->start();
}

void TfmShoutcast2::showEvent(QShowEvent* e)
{
    TForm::showEvent(e);
    // The platform shows an empty title as the application's name: until the first listener
    // count the screen gets a blank one, the window's own title staying empty.
    if (windowTitle().isEmpty() && windowHandle())
        windowHandle()->setTitle(QStringLiteral(" "));
    if (!e->spontaneous())
        FormShow();
}

void TfmShoutcast2::resizeEvent(QResizeEvent* e)
{
    TForm::resizeEvent(e);
    m_captureLostNote->setGeometry(9, height() - 24, width() - 40, 18);
}

void TfmShoutcast2::FormShow()
{
    if (!se.Active)
        se.SkinFile = m_ctx.config.dataFile(QStringLiteral("skin.sui"));
}

int TfmShoutcast2::bitrate() const
{
    if (cb_Bitrate->currentIndex() < 0)
        return 128;
    bool ok = false;
    const int value = cb_Bitrate->currentText().toInt(&ok);
    return ok ? value : 128;
}

CastRequest TfmShoutcast2::currentRequest() const
{
    CastRequest r;
    r.server = ed_server->text().toUtf8();
    r.password = ed_Password->text().toUtf8();
    r.name = ed_Name->text().toUtf8();
    r.url = ed_url->text().toUtf8();
    r.genre = ed_genre->text().toUtf8();
    r.description = ed_desc->text().toUtf8();
    r.bitrate = bitrate();
    r.mp3 = chk_Mp3->isChecked();
    r.isPublic = chk_public->isChecked();
    return r;
}

void TfmShoutcast2::StartCast()
{
    pushRequest();
    m_course.start();
}

void TfmShoutcast2::StopCast()
{
    m_course.stop();
}

void TfmShoutcast2::btn_startClick()
{
    if (state().CaptureChannel != 0)
        StartCast();
}

void TfmShoutcast2::chk_AutoReconnectClick()
{
    m_course.setAutoReconnect(chk_AutoReconnect->isChecked());
}

void TfmShoutcast2::setPlayerTitle(const QString& title)
{
    if (chk_TitleFromPlayer->isChecked() && !title.isEmpty())
        ed_TrackTitle->setText(title); // its change handler sends it
}

void TfmShoutcast2::ed_TrackTitleChange()
{
    m_course.setTitle(ed_TrackTitle->text().toUtf8());
}

void TfmShoutcast2::LevelTimerTimer()
{
    if (RestartPending && chk_AutoReconnect->isChecked()) {
        StartCast();
        RestartPending = false;
    }
    // The console's bar has a meter of its own (meterTimerTimer).
    m_course.levelTick();
}

void TfmShoutcast2::setConsoleBarForTesting(QProgressBar* bar)
{
    connect(this, &TfmShoutcast2::consoleMeterChanged, bar, [bar](int position) {
        bar->setValue(std::clamp(position, bar->minimum(), bar->maximum()));
        bar->update();
    });
}

void TfmShoutcast2::setStationFields(const CastStationFields& fields)
{
    ed_server->setText(fields.server);
    ed_Password->setText(fields.password);
    ed_Name->setText(fields.name);
    ed_genre->setText(fields.genre);
    ed_url->setText(fields.url);
    ed_desc->setText(fields.description);
}

void TfmShoutcast2::EncoderNotifyProc(HENCODE handle, DWORD status, void* user)
{
    auto* window = static_cast<TfmShoutcast2*>(user);
    CastCourse::EncoderNotifyProc(handle, status, window ? &window->m_course : nullptr);
}

bool TfmShoutcast2::event(QEvent* e)
{
    const bool handled = TForm::event(e);
    if (CastMessage::isCastMessage(e->type())) {
        m_course.castMessage(static_cast<const CastMessage&>(*e));
        return true;
    }
    return handled;
}
