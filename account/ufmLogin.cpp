#include "ufmLogin.h"

#include "WaveMixer.h"
#include "apperror.h"
#include "apprun.h"
#include "passwordfield.h"
#include "ufmRegistrazione.h"
#include "wllog.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QShowEvent>
#include <exception>

namespace {

const char* const kNoInternet = "Probabile errore: CONNESSIONE AD INTERNET ASSENTE";

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

TfmLogin::TfmLogin(AppContext& ctx)
    : TForm(QStringLiteral("fmLogin"), QStringLiteral("Wavelorn Encoder 5.0")), m_ctx(ctx),
      m_course(ctx.config, ctx.profile, ctx.run), VolumeLineIndex(m_course.volumeLineIndex),
      DebugCode(m_course.debugCode)
{
    buildLayout();
    installBusyCursor();
    // The layout marks the connection open.
    m_course.openConnection();
    m_a1 = std::make_unique<TAudioMixer>(ctx.mixerBackend);
    m_course.setBusyHook([this](bool busy) { setBusyCursor(busy); });
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
    showAsPassword(*edPassword);
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
            lbEntraClick();
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

void TfmLogin::FormShow()
{
    try {
        if (!edUser->isEnabled())
            throw AppError(QStringLiteral("Cannot focus a disabled or invisible window"));
        edUser->setFocus(Qt::OtherFocusReason);
        DebugCode = 5;
    } catch (const AppError& e) {
        qCWarning(lcUi).noquote() << "the sign-in window's show step:" << e.text();
        m_ctx.run.showMessage(QString::fromUtf8(kNoInternet));
    }
}

void TfmLogin::lbEntraClick()
{
    if (m_course.signIn(edUser->text(), edPassword->text(), *m_a1))
        return;
    close();
    m_ctx.run.requestEnd();
}

void TfmLogin::Label1Click()
{
    try {
        if (!m_signUp)
            throw AppError(QStringLiteral("La finestra di registrazione non esiste"));
        m_ctx.run.execModal(*m_signUp);
    } catch (const std::exception& e) {
        qCWarning(lcUi).noquote() << "sign-up cannot open:" << e.what();
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
    m_ctx.run.requestEnd();
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
