#pragma once
// Every web address of the service that the program opens in the browser or hands to the
// audio layer. Each is built at the moment of use from the configuration and the station
// profile. A value that goes into a query is percent-encoded (UTF-8), so that the page gets
// exactly the station's name; the other appended values are joined as they are.
#include <QString>

struct AppConfig;
struct StationProfile;

namespace serviceaddress {

// A value as it goes into a query: UTF-8, everything but letters, digits and "-._~"
// percent-encoded.
QString queryValue(const QString& value);

// The station's player page: "HTTPS://" host "/radiosito/player.asp?n=" station name.
QString playerPage(const AppConfig& config, const StationProfile& profile);
// The alternate player page, handed along with the player page as the shell's parameters:
// "https://www." second host "/RADIOSITO/PLAYZUNVARI?N=" station name.
QString secondPlayerPage(const AppConfig& config, const StationProfile& profile);
// The station streaming server's own page: "HTTPS://" host ":" port.
QString streamingServerPage(const AppConfig& config, const StationProfile& profile);
// The YouTube home page: "httpS://" home.
QString youtubeHome(const AppConfig& config, const StationProfile& profile);
// The same page written "https://", the parameters of the same shell call.
QString youtubeHomeParameters(const AppConfig& config, const StationProfile& profile);
// The Windows Media publishing point: "https://" host ":11113/" station name.
QString publishingPoint(const AppConfig& config, const StationProfile& profile);
// The streaming server of the station, as its source connection expects it: host ":" port.
QString castServer(const AppConfig& config, const StationProfile& profile);
// The stream URL sent with the stream: "http://" host.
QString castUrl(const AppConfig& config, const StationProfile& profile);
// The station set-up page opened after sign-up: "http://" host "/CREASHOUT3.asp".
QString setupPage(const AppConfig& config, const StationProfile& profile);

// The port of the publishing point.
inline constexpr int publishingPort = 11113;

} // namespace serviceaddress
