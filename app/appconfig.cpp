#include "appconfig.h"
#include "configvalues.h"

#include <QCoreApplication>

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
    return c;
}
