#include "serviceaddresses.h"
#include "appconfig.h"
#include "stationprofile.h"

#include <QUrl>

namespace serviceaddress {

QString queryValue(const QString& value)
{
    return QString::fromLatin1(QUrl::toPercentEncoding(value));
}

QString playerPage(const AppConfig& config, const StationProfile& profile)
{
    return QStringLiteral("HTTPS://") + config.serviceHost +
           QStringLiteral("/radiosito/player.asp?n=") + queryValue(profile.stationName);
}

QString secondPlayerPage(const AppConfig& config, const StationProfile& profile)
{
    return QStringLiteral("https://www.") + config.secondServiceHost +
           QStringLiteral("/RADIOSITO/PLAYZUNVARI?N=") + queryValue(profile.stationName);
}

QString streamingServerPage(const AppConfig& config, const StationProfile& profile)
{
    return QStringLiteral("HTTPS://") + config.serviceHost + QLatin1Char(':') + profile.port;
}

QString youtubeHome(const AppConfig& config, const StationProfile&)
{
    return QStringLiteral("httpS://") + config.youtubeHome;
}

QString youtubeHomeParameters(const AppConfig& config, const StationProfile&)
{
    return QStringLiteral("https://") + config.youtubeHome;
}

QString publishingPoint(const AppConfig& config, const StationProfile& profile)
{
    return QStringLiteral("https://") + config.serviceHost + QLatin1Char(':') +
           QString::number(publishingPort) + QLatin1Char('/') + profile.stationName;
}

QString castServer(const AppConfig& config, const StationProfile& profile)
{
    return config.serviceHost + QLatin1Char(':') + profile.port;
}

QString castUrl(const AppConfig& config, const StationProfile&)
{
    return QStringLiteral("http://") + config.serviceHost;
}

QString setupPage(const AppConfig& config, const StationProfile&)
{
    return QStringLiteral("http://") + config.serviceHost + QStringLiteral("/CREASHOUT3.asp");
}

} // namespace serviceaddress
