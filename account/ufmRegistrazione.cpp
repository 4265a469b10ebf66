#include "ufmRegistrazione.h"

#include "appconfig.h"
#include "apperror.h"
#include "apprun.h"
#include "passwordfield.h"
#include "serviceaddresses.h"
#include "shell.h"
#include "statements.h"
#include "stationprofile.h"
#include "wllog.h"

#include <QDir>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <exception>
#include <limits>
#include <optional>

namespace {

const char16_t* const kSignedUp =
    u"Ti sei registrato, ora accedi cliccando su Entra con i dati che "
    u"hai inserito nella registrazione";
const char16_t* const kProgramEnds = u"ORA IL PROGRAMMA SARà CHIUSO RIAVVIALO E ENTRA CLICCANDO SU "
                                     u"ENTRA CON I DATI DELLA REGISTRAZIONE!!!";
const char16_t* const kEmailTaken = u"E-Mail già presente scrivine una diversa";
const char16_t* const kStationTaken = u"Nome Canale già presente scrivine uno diverso";
const char16_t* const kNote = u"NON USARE CARATTERI SPECIALI,  GLI SPAZI VERRANNO ELIMINATI";
// The provider's default command time-out, which sign-up's queries keep.
constexpr int kCommandTimeout = 30;

// One transaction on a connection, rolled back unless committed. SQLite takes its write lock
// at the start, so that a second sign-up waits instead of reading the same maxima.
class Transaction {
public:
    explicit Transaction(DbConnection& connection) : m_connection(connection)
    {
        m_connection.begin(kCommandTimeout);
    }
    ~Transaction() { rollback(); }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    void commit() { m_connection.commit(kCommandTimeout); }
    void rollback() noexcept { m_connection.rollback(); }

private:
    DbConnection& m_connection;
};

// Statements 3 to 6: close, set the text, open, move to the last row and then to the first.
void select(DbQuery& query, const Statement& statement)
{
    query.close();
    query.setSql(statement);
    query.open();
    query.last();
    query.first();
}

void insertAccount(DbQuery& qrUtenti, const signup::NewAccount& a, const QString& station, int id,
                   int port)
{
    qrUtenti.close();
    qrUtenti.setSql(Statements::allAccounts());
    qrUtenti.open();
    qrUtenti.append();
    qrUtenti.setField(QStringLiteral("myid"), QString::number(id));
    qrUtenti.setField(QStringLiteral("myuser"), a.user);
    qrUtenti.setField(QStringLiteral("mypassword"), a.password);
    qrUtenti.setField(QStringLiteral("myemail"), a.email);
    qrUtenti.setField(QStringLiteral("mynomeradio"), station);
    qrUtenti.setField(QStringLiteral("cellulare"), a.mobile);
    qrUtenti.setField(QStringLiteral("myporta"), QString::number(port));
    qrUtenti.setField(QStringLiteral("mybitrate"), QStringLiteral("128000"));
    qrUtenti.setField(QStringLiteral("myGenere"), a.genre);
    qrUtenti.setField(QStringLiteral("mydescrizione"), a.description);
    qrUtenti.post();
}

QLabel* bigLabel(const QString& text, QWidget* parent, int y)
{
    auto* label = new QLabel(text, parent);
    QFont f = label->font();
    f.setPointSize(14);
    f.setBold(true);
    label->setFont(f);
    label->setGeometry(24, y, 220, 28);
    return label;
}

QLineEdit* edit(const QString& name, QWidget* parent, int y)
{
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    e->setGeometry(256, y + 2, 249, 24);
    // No length limit of its own.
    e->setMaxLength(std::numeric_limits<int>::max());
    return e;
}

QPushButton* button(const QString& name, const QString& text, QWidget* parent, int x)
{
    auto* b = new QPushButton(text, parent);
    b->setObjectName(name);
    b->setGeometry(x, 376, 113, 41);
    // Enter belongs to the edits: no button of the window is a default one.
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
}

} // namespace

namespace signup {

StoreResult storeNewAccount(DbConnection& connection, DbQuery& qrSeleziona, DbQuery& qrUtenti,
                            const NewAccount& account,
                            const std::function<void(int, int)>& beforeInsert)
{
    if (!connection.isOpen())
        connection.open();
    const QString station = Statements::stationNameWithoutSpaces(account.stationName);
    // The refusal of the previous attempt, and the id and port it tried.
    std::optional<DbError> refused;
    int refusedId = 0;
    int refusedPort = 0;
    for (int attempt = 1;; ++attempt) {
        Transaction transaction(connection);

        select(qrSeleziona, Statements::accountsByEmail(account.email));
        if (qrSeleziona.recordCount() > 0)
            return {StoreResult::EmailTaken};
        select(qrSeleziona, Statements::accountsByStation(account.stationName));
        if (qrSeleziona.recordCount() > 0)
            return {StoreResult::StationTaken};

        select(qrSeleziona, Statements::idsAndPorts());
        QVariantList ids, ports;
        for (; !qrSeleziona.eof(); qrSeleziona.next()) {
            ids << qrSeleziona.fieldValue(QStringLiteral("myid"));
            ports << qrSeleziona.fieldValue(QStringLiteral("myporta"));
        }
        const std::optional<int> maxId = Statements::greatestInteger(ids);
        const std::optional<int> maxPort = Statements::greatestInteger(ports);
        const int id = Statements::nextAccountId(!maxId, maxId.value_or(0));
        const int port = Statements::nextPort(!maxPort, maxPort.value_or(0));

        // Nothing changed since the refusal: it was not another sign-up's doing.
        if (refused && id == refusedId && port == refusedPort)
            throw *refused;

        if (beforeInsert)
            beforeInsert(id, port);
        try {
            insertAccount(qrUtenti, account, station, id, port);
            transaction.commit();
            return {StoreResult::Stored, id, port};
        } catch (const DbError& e) {
            // The row that failed to post is dropped; the next attempt looks again.
            qrUtenti.cancel();
            transaction.rollback();
            if (attempt >= kInsertAttempts)
                throw;
            refused.emplace(e);
            refusedId = id;
            refusedPort = port;
        }
    }
}

} // namespace signup

TfmRegistrazione::TfmRegistrazione(AppContext& ctx, DbConnection* connection) : m_ctx(ctx)
{
    setObjectName(QStringLiteral("fmRegistrazione"));
    setWindowTitle(QStringLiteral("Registrazione"));
    buildLayout();
    if (connection)
        setConnection(*connection);
}

TfmRegistrazione::~TfmRegistrazione() = default;

void TfmRegistrazione::setConnection(DbConnection& connection)
{
    m_qrUtenti.reset();
    m_qrSeleziona.reset();
    m_connection = &connection;
    m_qrSeleziona = std::make_unique<DbQuery>(connection, kCommandTimeout);
    m_qrUtenti = std::make_unique<DbQuery>(connection, kCommandTimeout);
    m_qrUtenti->setSql(Statements::allAccounts());
}

void TfmRegistrazione::buildLayout()
{
    QFont base(QStringLiteral("MS Sans Serif"));
    base.setPointSize(8);
    setFont(base);

    // A fixed single border around a client area of the layout's size, at its design place.
    setFixedSize(kClientWidth, kClientHeight);
    setWindowFlags((windowFlags() & ~(Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint |
                                      Qt::WindowContextHelpButtonHint)) |
                   Qt::MSWindowsFixedSizeDialogHint);
    move(kDesignLeft, kDesignTop);

    const int top = 24;
    const int step = 48;
    lbemail = bigLabel(QStringLiteral("E-Mail:"), this, top);
    edemail = edit(QStringLiteral("edemail"), this, top);
    lbpassword = bigLabel(QStringLiteral("Password:"), this, top + step);
    edpassword = edit(QStringLiteral("edpassword"), this, top + step);
    showAsPassword(*edpassword);
    lbusername = bigLabel(QStringLiteral("User name:"), this, top + 2 * step);
    edusername = edit(QStringLiteral("edusername"), this, top + 2 * step);
    lbnomecanale = bigLabel(QStringLiteral("Nome canale:"), this, top + 3 * step);
    ednomecanale = edit(QStringLiteral("ednomecanale"), this, top + 3 * step);
    lbnota = new QLabel(QString::fromUtf16(kNote), this);
    lbnota->setObjectName(QStringLiteral("lbnota"));
    {
        QFont f = lbnota->font();
        f.setPointSize(7);
        f.setBold(true);
        lbnota->setFont(f);
    }
    lbnota->setWordWrap(true);
    lbnota->setGeometry(515, top + 3 * step - 6, 180, 42);
    lbCellulare = bigLabel(QStringLiteral("N. Cellulare:"), this, top + 4 * step);
    edCellulare = edit(QStringLiteral("edCellulare"), this, top + 4 * step);
    lbgenere = bigLabel(QStringLiteral("Genere di musica:"), this, top + 5 * step);
    edgenere = edit(QStringLiteral("edgenere"), this, top + 5 * step);
    lbdescrizione = bigLabel(QStringLiteral("Descrizione canale:"), this, top + 6 * step);
    eddescrizione = edit(QStringLiteral("eddescrizione"), this, top + 6 * step);

    btInvia = button(QStringLiteral("btInvia"), QStringLiteral("Invia"), this, 256);
    btAnnulla = button(QStringLiteral("btAnnulla"), QStringLiteral("Annulla"), this, 392);
    connect(btInvia, &QPushButton::clicked, this, [this] { btInviaClick(); });
    connect(btAnnulla, &QPushButton::clicked, this, [this] { btAnnullaClick(); });

    QWidget* order[] = {edemail,  edpassword,    edusername, ednomecanale, edCellulare,
                        edgenere, eddescrizione, btInvia,    btAnnulla};
    for (size_t i = 0; i + 1 < std::size(order); ++i)
        setTabOrder(order[i], order[i + 1]);
    for (size_t i = 0; i < 7; ++i)
        order[i]->installEventFilter(this);
}

void TfmRegistrazione::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    if (!event->spontaneous())
        FormShow();
}

void TfmRegistrazione::FormShow()
{
    se.SkinFile = m_ctx.config.dataFile(QStringLiteral("skin.sui"));
    se.Active = false;
}

bool TfmRegistrazione::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            QChar c(13);
            if (watched == edemail)
                edemailKeyPress(c);
            else if (watched == edpassword)
                edpasswordKeyPress(c);
            else if (watched == edusername)
                edusernameKeyPress(c);
            else
                ednomecanaleKeyPress(c);
            // Taken here, so that the dialog does not treat it as its own.
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TfmRegistrazione::edemailKeyPress(QChar& key)
{
    if (key == QChar(13))
        btInviaClick();
}

void TfmRegistrazione::edpasswordKeyPress(QChar& key)
{
    if (key == QChar(13))
        btInviaClick();
}

void TfmRegistrazione::edusernameKeyPress(QChar& key)
{
    if (key == QChar(13))
        btInviaClick();
}

void TfmRegistrazione::ednomecanaleKeyPress(QChar& key)
{
    if (key == QChar(13))
        btInviaClick();
}

void TfmRegistrazione::btAnnullaClick()
{
    reject();
}

void TfmRegistrazione::btInviaClick()
{
    AppRun& run = m_ctx.run;

    // Required fields, in order. A channel name of blanks only would be stored empty and
    // could never sign in: it counts as missing.
    const struct {
        bool missing;
        const char16_t* message;
    } required[] = {
        {edemail->text().trimmed().isEmpty(), u"E-Mail obbligatoria"},
        {edpassword->text().isEmpty(), u"Password obbligatoria"},
        {edusername->text().isEmpty(), u"User Name obbligatorio"},
        {Statements::stationNameWithoutSpaces(ednomecanale->text()).isEmpty(),
         u"Nome Canale obbligatorio"},
        {edCellulare->text().isEmpty(), u"Numero Cellulare obbligatorio"},
        {edgenere->text().isEmpty(), u"Genere musica obbligatorio"},
        {eddescrizione->text().isEmpty(), u"Descrizione obbligatoria"},
    };
    for (const auto& field : required) {
        if (field.missing) {
            run.showMessage(QString::fromUtf16(field.message));
            return;
        }
    }

    signup::NewAccount account;
    // A pasted address may bring a line end or a tab along.
    account.email = edemail->text().trimmed();
    account.password = edpassword->text();
    account.user = edusername->text();
    account.stationName = ednomecanale->text();
    account.mobile = edCellulare->text();
    account.genre = edgenere->text();
    account.description = eddescrizione->text();

    signup::StoreResult result;
    try {
        if (!m_connection)
            throw DbError(QStringLiteral("Nessuna connessione al database dei servizi"));
        result = signup::storeNewAccount(*m_connection, *m_qrSeleziona, *m_qrUtenti, account);
    } catch (const AppError& e) {
        run.showMessage(QStringLiteral("Exception: ") + e.text());
        return;
    } catch (const std::exception& e) {
        run.showMessage(QStringLiteral("Exception: ") + QString::fromUtf8(e.what()));
        return;
    }
    if (result.outcome == signup::StoreResult::EmailTaken) {
        run.showMessage(QString::fromUtf16(kEmailTaken));
        return;
    }
    if (result.outcome == signup::StoreResult::StationTaken) {
        run.showMessage(QString::fromUtf16(kStationTaken));
        return;
    }

    // The station set-up page; its outcome is not reported.
    try {
        const QString page = serviceaddress::setupPage(m_ctx.config, m_ctx.profile);
        m_ctx.shell.open(this, page, page, Shell::ShowMaximized);
    } catch (const std::exception& e) {
        qCWarning(lcUi).noquote() << "the station set-up page did not open:" << e.what();
    }
    run.showMessage(QString::fromUtf16(kSignedUp));
    run.showMessage(QString::fromUtf16(kProgramEnds));
    accept();
    run.requestEnd();
}
