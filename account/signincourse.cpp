#include "signincourse.h"

#include "appconfig.h"
#include "apperror.h"
#include "apprun.h"
#include "serviceaddresses.h"
#include "statements.h"
#include "stationhandoff.h"
#include "stationprofile.h"
#include "wllog.h"

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

QString errorText(const std::exception& e)
{
    if (auto* app = dynamic_cast<const AppError*>(&e))
        return app->text();
    return QString::fromUtf8(e.what());
}

} // namespace

SignInCourse::SignInCourse(const AppConfig& config, StationProfile& profile, AppRun& run)
    : dbsql(QStringLiteral("fmLogin.dbsql"),
            DbConnectionSettings::service(config, 15, /*fullForm=*/true)),
      qrSQL3(dbsql, 0), m_config(config), m_profile(profile), m_run(run)
{}

void SignInCourse::checkCatalog()
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

QString SignInCourse::readColumn(const QString& name)
{
    // A failed read has asked for the end: the remaining reads would only wait for the same
    // database again, and their boxes would close at once.
    if (m_readFailed && m_run.endRequested())
        return {};
    try {
        dbsql.close();
        dbsql.open();
        qrSQL3.close();
        qrSQL3.setSql(Statements::accountRead(m_profile.signInEmail, m_profile.signInPassword));
        ++m_accountReads;
        qrSQL3.open();
        qrSQL3.last();
        qrSQL3.first();
        QString value = qrSQL3.fieldAsString(name);
        if (name == QLatin1String("mynomeradio") && value.isEmpty()) {
            m_run.showMessage(QString::fromUtf8(kUnknownAccount) + m_config.serviceHost +
                              QStringLiteral(" IL CODICE DI DEBUG: ") + QString::number(debugCode));
            value.clear();
            m_run.requestEnd();
        }
        return value;
    } catch (const std::exception& e) {
        qCWarning(lcDb).noquote() << "the account read of" << name << "failed:" << errorText(e);
        m_run.showMessage(QStringLiteral("Exception: ") + errorText(e));
    }
    m_readFailed = true;
    m_run.requestEnd();
    return {};
}

bool SignInCourse::signIn(const QString& email, const QString& password, TAudioMixer& mixer)
{
    try {
        // 1. The console line and the volumes, before the account is looked up.
        volumeLineIndex = 0;
        if (!m_handoff)
            throw AppError(QStringLiteral("La console non esiste"));
        volumeLineIndex = m_handoff->chooseConsoleLine(mixer);

        // 2.-5. The account. A pasted address may bring a line end or a tab along.
        m_readFailed = false;
        m_profile.signInEmail = email.trimmed();
        m_profile.signInPassword = password;
        m_profile.stationName = readColumn(QStringLiteral("mynomeradio"));
        readSettings();
        if (m_profile.stationName.isEmpty()) {
            m_run.requestEnd();
            return true;
        }

        // 6. The Windows Media publishing point.
        m_handoff->setPublishingPoint(serviceaddress::publishingPoint(m_config, m_profile));

        // 7.-8. The notice about the recording source, and the connection log.
        m_run.showMessage(QString::fromUtf8(kMixerNotice));
        writeConnectionLog();

        // 9. The engine window, then the console, whose show step starts the cast.
        m_handoff->showBroadcastWindows();

        // 10.
        setBusy(false);
        return true;
    } catch (const std::exception& e) {
        qCWarning(lcUi).noquote() << "sign-in stopped:" << errorText(e);
        m_run.showMessage(errorText(e));
        return false;
    }
}

void SignInCourse::writeConnectionLog()
{
    // The log query runs on the data module's connection; the query lives only as long as the
    // statement.
    DbQuery QRCONNESSO(m_handoff->logConnection(), 0);
    QRCONNESSO.close();
    QRCONNESSO.setSql(Statements::connectionLog(m_profile.stationName));
    QRCONNESSO.execute();
}

void SignInCourse::readSettings()
{
    try {
        setBusy(true);
        m_profile.stationName = readColumn(QStringLiteral("mynomeradio"));
        if (m_profile.stationName.isEmpty())
            m_run.showMessage(QString::fromUtf8(kWrongData));

        m_profile.port = readColumn(QStringLiteral("myporta"));
        m_profile.streamPassword = readColumn(QStringLiteral("myPASSWORD"));
        m_profile.genre = readColumn(QStringLiteral("myGENERE"));
        m_profile.description = readColumn(QStringLiteral("myDESCRIZIONE"));

        // Without an e-mail or a password nothing can go on air.
        if (m_profile.signInEmail.isEmpty() || m_profile.streamPassword.isEmpty()) {
            m_run.requestEnd();
            setBusy(false);
            return;
        }

        if (!m_handoff)
            throw AppError(QStringLiteral("La finestra di trasmissione non esiste"));
        CastStationFields fields;
        fields.server = serviceaddress::castServer(m_config, m_profile);
        fields.password = m_profile.streamPassword;
        fields.name = m_config.serviceHost;
        fields.genre = readColumn(QStringLiteral("mygenere"));
        fields.url = serviceaddress::castUrl(m_config, m_profile);
        fields.description = readColumn(QStringLiteral("mydescrizione"));
        m_handoff->fillStationFields(fields);
        setBusy(false);
    } catch (const std::exception& e) {
        // The owner is told nothing; the hourglass stays until sign-in's last step.
        qCWarning(lcUi).noquote() << "the station settings were not handed on:" << errorText(e);
    }
}

void SignInCourse::setBusy(bool busy)
{
    if (m_busy)
        m_busy(busy);
}
