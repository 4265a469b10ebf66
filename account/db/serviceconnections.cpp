#include "serviceconnections.h"

#include "appconfig.h"

#include <arpa/inet.h>

namespace ServiceConnections {

namespace {
std::unique_ptr<DbConnection> opened(const QString& name, DbConnectionSettings settings)
{
    auto c = std::make_unique<DbConnection>(name, std::move(settings));
    c->open();
    return c;
}
} // namespace

std::unique_ptr<DbConnection> openLoginConnection(const AppConfig& config)
{
    return opened(QStringLiteral("dbsql"), DbConnectionSettings::service(config, 15, true));
}

std::unique_ptr<DbConnection> openLogConnection(const AppConfig& config)
{
    return opened(QStringLiteral("db"), DbConnectionSettings::service(config, 0, false));
}

std::unique_ptr<DbConnection> openSecondConnection(const AppConfig& config)
{
    return opened(QStringLiteral("ADOConnection1"), DbConnectionSettings::second(config, 0));
}

std::unique_ptr<DbConnection> openConsoleConnection(const AppConfig& config, const QString& name)
{
    return opened(name, DbConnectionSettings::service(config, 15, true));
}

namespace {

// An IPv4 or IPv6 address written out (with or without brackets or a zone), not a name.
bool isAddressLiteral(const QString& host)
{
    QByteArray h = host.toLatin1();
    if (h.startsWith('[') && h.endsWith(']'))
        h = h.mid(1, h.size() - 2);
    if (const qsizetype zone = h.indexOf('%'); zone >= 0)
        h.truncate(zone);
    unsigned char buf[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, h.constData(), buf) == 1 ||
           ::inet_pton(AF_INET6, h.constData(), buf) == 1;
}

} // namespace

QString webServerHost(const QString& host)
{
    if (host.isEmpty() || isAddressLiteral(host) ||
        host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 ||
        host.startsWith(QLatin1String("www."), Qt::CaseInsensitive) ||
        !host.contains(QLatin1Char('.')))
        return host;
    return QStringLiteral("www.") + host;
}

DbConnectionSettings deleteAllSettings(const AppConfig& config)
{
    DbConnectionSettings s = DbConnectionSettings::service(config, 15, false);
    s.host = webServerHost(s.host);
    return s;
}

std::unique_ptr<DbQuery> makeDeleteAllQuery(const AppConfig& config)
{
    return std::make_unique<DbQuery>(
        std::make_unique<DbConnection>(QStringLiteral("QRCANCELLATUTTI"),
                                       deleteAllSettings(config)),
        30);
}

} // namespace ServiceConnections
