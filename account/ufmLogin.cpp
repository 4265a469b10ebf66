#include "ufmLogin.h"

#include "UfmShoutcast2.h"
#include "Ufmdm.h"
#include "WaveMixer.h"
#include "appconfig.h"
#include "apperror.h"
#include "apprun.h"
#include "forms.h"
#include "serviceaddresses.h"
#include "statements.h"
#include "stationprofile.h"
#include "ufmRegistrazione.h"
#include "ufmWMA.h"
#include "wllog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFrame>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QShowEvent>
#include <exception>

namespace {

const char* const kUnknownAccount =
    "Utente non presente, controlla i dati del Login e riprova IL PROGRAMMA VERRà CHIUSO "
    "FORNISCI A ";
const char* const kWrongData =
    "Errore: controlla i dati del Login e riprova, dati non corretti prova a Registrarti";
const char* const kMixerNotice =
    "IMPOSTA IL MIXER DI WINDOWS NELLA SORGENTE DI REGISTRAZIONE SUL CANALE AUDIO CHE VUOI "
    "TRASMETTERE AD ESEMPIO MIXSTEREO O STEREO QUEL CHE SENTI. PER ANDARE IN ONDA CI DEVONO "
    "ESSERE DELLE TRACCE IN ESECUZIONE";
const char* const kNoInternet = "Probabile errore: CONNESSIONE AD INTERNET ASSENTE";

QString errorText(const std::exception& e)
{
    if (auto* app = dynamic_cast<const AppError*>(&e))
        return app->text();
    return QString::fromUtf8(e.what());
}

// An edit whose typed letters turn into capitals, as the field's character case says.
void makeUpperCase(QLineEdit* edit)
{
    QObject::connect(edit, &QLineEdit::textChanged, edit, [edit](const QString& text) {
        const QString upper = text.toUpper();
        if (upper == text)
            return;
        // A letter may grow in capitals ("ß" is "SS"): the cursor stays after what was
        // typed before it.
        const int cursor = text.left(edit->cursorPosition()).toUpper().size();
        const QSignalBlocker block(edit);
        edit->setText(upper);
        edit->setCursorPosition(cursor);
    });
}

QFrame* makePanel(QWidget* parent, const QRect& geometry)
{
    auto* panel = new QFrame(parent);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Raised);
    panel->setGeometry(geometry);
    return panel;
}

QLabel* makeLabel(const QString& text, QWidget* parent, const QPoint& at, int pointSize, bool bold)
{
    auto* label = new QLabel(text, parent);
    QFont f = label->font();
    f.setPointSize(pointSize);
    f.setBold(bold);
    label->setFont(f);
    label->move(at);
    label->adjustSize();
    return label;
}

} // namespace

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent)
{
    QFont f = font();
    f.setBold(true);
    f.setUnderline(true);
    setFont(f);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::NoFocus);
}

void TLinkLabel::mousePressEvent(QMouseEvent* event)
{
    m_pressed = event->button() == Qt::LeftButton;
    QLabel::mousePressEvent(event);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event)
{
    const bool click = m_pressed && event->button() == Qt::LeftButton &&
                       rect().contains(event->position().toPoint());
    m_pressed = false;
    QLabel::mouseReleaseEvent(event);
    if (click)
        emit clicked();
}

TfmLogin::TfmLogin(AppContext& ctx)
    : TForm(QStringLiteral("fmLogin"), QStringLiteral("Wavelorn Encoder 5.0")),
      dbsql(QStringLiteral("fmLogin.dbsql"),
            DbConnectionSettings::service(ctx.config, 15, /*fullForm=*/true)),
      qrSQL3(dbsql, 0), m_ctx(ctx)
{
    buildLayout();
    installBusyCursor();
    // The layout marks the connection open.
    dbsql.open();
    m_a1 = std::make_unique<TAudioMixer>(ctx.mixerBackend);
}

TfmLogin::~TfmLogin()
{
    setBusyCursor(false);
}

void TfmLogin::buildLayout()
{
    QFont base(QStringLiteral("MS Sans Serif"));
    base.setPointSize(8);
    setFont(base);

    Panel2 = makePanel(this, QRect(0, 0, 377, 41));
    Panel2->setObjectName(QStringLiteral("Panel2"));
    Label2 = makeLabel(QStringLiteral("Login Utente"), Panel2, QPoint(12, 8), 14, true);
    Label2->setObjectName(QStringLiteral("Label2"));

    Panel4 = makePanel(this, QRect(0, 41, 377, 40));
    Panel4->setObjectName(QStringLiteral("Panel4"));
    Label3 = makeLabel(QStringLiteral("SE NON TI SEI ANCORA REGISTRATO, REGISTRATI E"), Panel4,
                       QPoint(12, 5), 7, true);
    Label3->setObjectName(QStringLiteral("Label3"));
    Label6 = makeLabel(QStringLiteral("DOPO CLICCA SU ENTRA"), Panel4, QPoint(12, 21), 7, true);
    Label6->setObjectName(QStringLiteral("Label6"));

    lbUser = makeLabel(QStringLiteral("E-Mail:"), this, QPoint(16, 95), 8, false);
    lbUser->setObjectName(QStringLiteral("lbUser"));
    edUser = new QLineEdit(this);
    edUser->setObjectName(QStringLiteral("edUser"));
    edUser->setGeometry(96, 92, 265, 21);
    makeUpperCase(edUser);
    lbUser->setBuddy(edUser);

    lbPassword = makeLabel(QStringLiteral("Password:"), this, QPoint(16, 124), 8, false);
    lbPassword->setObjectName(QStringLiteral("lbPassword"));
    edPassword = new QLineEdit(this);
    edPassword->setObjectName(QStringLiteral("edPassword"));
    edPassword->setGeometry(96, 121, 265, 21);
    edPassword->setEchoMode(QLineEdit::Password);
    makeUpperCase(edPassword);
    lbPassword->setBuddy(edPassword);
    setTabOrder(edUser, edPassword);

    // Enter in either field runs sign-in; the key is not passed on.
    edUser->installEventFilter(this);
    edPassword->installEventFilter(this);

    Panel3 = makePanel(this, QRect(0, 160, 377, 41));
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Label1 = new TLinkLabel(QStringLiteral("Registrati"), Panel3);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->move(16, 13);
    Label1->adjustSize();
    lbEntra = new TLinkLabel(QStringLiteral("Entra"), Panel3);
    lbEntra->setObjectName(QStringLiteral("lbEntra"));
    lbEntra->move(232, 13);
    lbEntra->adjustSize();
    lbAnnulla = new TLinkLabel(QStringLiteral("Annulla"), Panel3);
    lbAnnulla->setObjectName(QStringLiteral("lbAnnulla"));
    lbAnnulla->move(304, 13);
    lbAnnulla->adjustSize();
    connect(Label1, &TLinkLabel::clicked, this, &TfmLogin::Label1Click);
    connect(lbEntra, &TLinkLabel::clicked, this, &TfmLogin::lbEntraClick);
    connect(lbAnnulla, &TLinkLabel::clicked, this, &TfmLogin::lbAnnullaClick);

    // A fixed single border with the close box only.
    setFixedClientSize(377, 201);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    centreOnScreen();
}

bool TfmLogin::eventFilter(QObject* watched, QEvent* event)
{
    if ((watched == edUser || watched == edPassword) && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            (fmLogin ? fmLogin : this)->lbEntraClick();
            return true;
        }
    }
    return TForm::eventFilter(watched, event);
}

void TfmLogin::showEvent(QShowEvent* event)
{
    TForm::showEvent(event);
    if (event->spontaneous())
        return;
    if (!m_centred) {
        m_centred = true;
        centreOnScreen();
    }
    FormShow();
}

void TfmLogin::installBusyCursor()
{
    DbConnection::setBusyHook([](bool busy) {
        if (busy)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    });
}

void TfmLogin::checkCatalog()
{
    try {
        DbQuery check(dbsql, 15);
        check.setSql(Statements::catalogCheck());
        check.open();
    } catch (const DbError& e) {
        qCWarning(lcDb).noquote() << "the service catalog cannot serve sign-in:" << e.text();
        throw;
    }
}

void TfmLogin::FormShow()
{
    try {
        if (!edUser->isEnabled())
            throw AppError(QStringLiteral("Cannot focus a disabled or invisible window"));
        edUser->setFocus(Qt::OtherFocusReason);
        DebugCode = 5;
    } catch (...) {
        m_ctx.run.showMessage(QString::fromUtf8(kNoInternet));
    }
}

QString TfmLogin::LEGGICAMPO(const QString& name)
{
    // A failed read has asked for the end: the remaining reads would only wait for the same
    // database again, and their boxes would close at once.
    if (m_readFailed && m_ctx.run.endRequested())
        return {};
    try {
        dbsql.close();
        dbsql.open();
        qrSQL3.close();
        qrSQL3.setSql(
            Statements::accountRead(m_ctx.profile.signInEmail, m_ctx.profile.signInPassword));
        ++m_accountReads;
        qrSQL3.open();
        qrSQL3.last();
        qrSQL3.first();
        QString value = qrSQL3.fieldAsString(name);
        if (name == QLatin1String("mynomeradio") && value.isEmpty()) {
            m_ctx.run.showMessage(QString::fromUtf8(kUnknownAccount) + m_ctx.config.serviceHost +
                                  QStringLiteral(" IL CODICE DI DEBUG: ") +
                                  QString::number(DebugCode));
            value.clear();
            m_ctx.run.requestEnd();
        }
        return value;
    } catch (const std::exception& e) {
        qCWarning(lcDb).noquote() << "the account read of" << name << "failed:" << errorText(e);
        m_ctx.run.showMessage(QStringLiteral("Exception: ") + errorText(e));
    } catch (...) {
        qCWarning(lcDb).noquote() << "the account read of" << name << "failed without a text";
        m_ctx.run.showMessage(QStringLiteral("Exception: "));
    }
    m_readFailed = true;
    m_ctx.run.requestEnd();
    return {};
}

void TfmLogin::lbEntraClick()
{
    StationProfile& profile = m_ctx.profile;
    try {
        // 1. The console line and the volumes, before the account is looked up.
        VolumeLineIndex = 0;
        if (!Form2wma)
            throw AppError(QStringLiteral("La console non esiste"));
        VolumeLineIndex = Form2wma->chooseVolumeLine(*m_a1);

        // 2.-5. The account. A pasted address may bring a line end or a tab along.
        m_readFailed = false;
        profile.signInEmail = edUser->text().trimmed();
        profile.signInPassword = edPassword->text();
        profile.stationName = LEGGICAMPO(QStringLiteral("mynomeradio"));
        AVVIO();
        if (profile.stationName.isEmpty()) {
            m_ctx.run.requestEnd();
            return;
        }

        // 6. The Windows Media publishing point.
        Form2wma->setPublishingPoint(serviceaddress::publishingPoint(m_ctx.config, profile));

        // 7.-8. The notice about the recording source, and the connection log.
        m_ctx.run.showMessage(QString::fromUtf8(kMixerNotice));
        writeConnectionLog();

        // 9. The engine window, then the console, whose show step starts the cast.
        if (!fmShoutcast2)
            throw AppError(QStringLiteral("La finestra di trasmissione non esiste"));
        fmShoutcast2->show();
        Form2wma->show();

        // 10.
        setBusyCursor(false);
    } catch (const std::exception& e) {
        m_ctx.run.showMessage(errorText(e));
        close();
        m_ctx.run.requestEnd();
    }
}

void TfmLogin::writeConnectionLog()
{
    if (!dm)
        throw AppError(QStringLiteral("Il modulo dati non esiste"));
    // The log query runs on the data module's connection, which exists only once the data
    // module is created; the query lives only as long as the statement.
    DbQuery QRCONNESSO(dm->db(), 0);
    QRCONNESSO.close();
    QRCONNESSO.setSql(Statements::connectionLog(m_ctx.profile.stationName));
    QRCONNESSO.execute();
}

void TfmLogin::AVVIO()
{
    StationProfile& profile = m_ctx.profile;
    try {
        setBusyCursor(true);
        profile.stationName = LEGGICAMPO(QStringLiteral("mynomeradio"));
        if (profile.stationName.isEmpty())
            m_ctx.run.showMessage(QString::fromUtf8(kWrongData));

        profile.port = LEGGICAMPO(QStringLiteral("myporta"));
        profile.streamPassword = LEGGICAMPO(QStringLiteral("myPASSWORD"));
        profile.genre = LEGGICAMPO(QStringLiteral("myGENERE"));
        profile.description = LEGGICAMPO(QStringLiteral("myDESCRIZIONE"));

        // Without an e-mail or a password nothing can go on air.
        if (profile.signInEmail.isEmpty() || profile.streamPassword.isEmpty()) {
            m_ctx.run.requestEnd();
            setBusyCursor(false);
            return;
        }

        if (!fmShoutcast2)
            throw AppError(QStringLiteral("La finestra di trasmissione non esiste"));
        CastStationFields fields;
        fields.server = serviceaddress::castServer(m_ctx.config, profile);
        fields.password = profile.streamPassword;
        fields.name = m_ctx.config.serviceHost;
        fields.genre = LEGGICAMPO(QStringLiteral("mygenere"));
        fields.url = serviceaddress::castUrl(m_ctx.config, profile);
        fields.description = LEGGICAMPO(QStringLiteral("mydescrizione"));
        fmShoutcast2->setStationFields(fields);
        setBusyCursor(false);
    } catch (...) {
        // Ignored; the hourglass stays until sign-in's last step.
    }
}

void TfmLogin::Label1Click()
{
    try {
        if (!fmRegistrazione)
            throw AppError(QStringLiteral("La finestra di registrazione non esiste"));
        m_ctx.run.execModal(*fmRegistrazione);
    } catch (...) {
        QMessageBox box;
        box.setWindowTitle(QStringLiteral("Error"));
        box.setIcon(QMessageBox::Critical);
        box.setText(QStringLiteral("Si è verificato un errore."));
        box.setStandardButtons(QMessageBox::Ok);
        m_ctx.run.execModal(box);
    }
}

void TfmLogin::lbAnnullaClick()
{
    try {
        m_ctx.run.requestEnd();
    } catch (...) {
    }
}

void TfmLogin::setBusyCursor(bool busy)
{
    if (busy == m_busyCursor)
        return;
    m_busyCursor = busy;
    if (busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    else
        QApplication::restoreOverrideCursor();
}

void TfmLogin::closeEvent(QCloseEvent* event)
{
    // Closing the main window ends the program.
    QWidget::closeEvent(event);
    m_ctx.run.requestEnd();
}
