#include "appconfig.h"
#include "configvalues.h"

#include "wllog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

QString AppConfig::dataFile(const QString& name) const
{
    if (QFileInfo(name).isAbsolute())
        return QDir::cleanPath(name);
    const QString beside = QDir::cleanPath(QDir(programDir).filePath(name));
    if (programDir.isEmpty() || QFileInfo(beside).isFile())
        return beside;
    QString found = QStandardPaths::locate(QStandardPaths::AppDataLocation, name);
    if (found.isEmpty())
        found = QStandardPaths::locate(QStandardPaths::GenericDataLocation,
                                       QLatin1String(kCommandName) + QLatin1Char('/') + name);
    return found.isEmpty() ? beside : QDir::cleanPath(found);
}

AppConfig AppConfig::builtIn()
{
    AppConfig c;
    c.serviceHost = QStringLiteral(WL_CFG_SERVICE_HOST);
    c.secondServiceHost = QStringLiteral(WL_CFG_SECOND_SERVICE_HOST);
    c.youtubeHome = QStringLiteral(WL_CFG_YOUTUBE_HOME);
    c.dbDriver = QStringLiteral(WL_CFG_DB_DRIVER);
    c.serviceDb = {QStringLiteral(WL_CFG_DB_HOST), WL_CFG_DB_PORT,
                   QStringLiteral(WL_CFG_DB_CATALOG), QStringLiteral(WL_CFG_DB_USER),
                   QStringLiteral(WL_CFG_DB_PASSWORD)};
    c.secondDb = {QStringLiteral(WL_CFG_DB2_HOST), WL_CFG_DB2_PORT,
                  QStringLiteral(WL_CFG_DB2_CATALOG), QStringLiteral(WL_CFG_DB_USER),
                  QStringLiteral(WL_CFG_DB2_PASSWORD)};
    c.workstation = QStringLiteral(WL_CFG_WORKSTATION);
    c.programDir = QCoreApplication::applicationDirPath();
    if (c.dbDriver == QLatin1String("QSQLITE")) {
        c.serviceDb.catalog = c.dataFile(c.serviceDb.catalog);
        c.secondDb.catalog = c.dataFile(c.secondDb.catalog);
        qCInfo(lcDb, "embedded catalog: %s%s", qUtf8Printable(c.serviceDb.catalog),
               QFileInfo(c.serviceDb.catalog).isFile() ? "" : " (missing)");
    }
    return c;
}
