#include "NetworkInterfaces.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/socket.h>

namespace NetworkInterfaces {

std::optional<QList<NetworkInterfaceEntry>> systemList()
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return std::nullopt;
    QList<NetworkInterfaceEntry> entries;
    for (ifaddrs *item = list; item; item = item->ifa_next) {
        NetworkInterfaceEntry entry;
        entry.name = QString::fromUtf8(item->ifa_name ? item->ifa_name : "");
        entry.isUp = (item->ifa_flags & IFF_UP) != 0;
        entry.isLoopback = (item->ifa_flags & IFF_LOOPBACK) != 0;
        entry.hasAddress = item->ifa_addr != nullptr;
        if (item->ifa_addr) {
            entry.family = item->ifa_addr->sa_family;
            if (entry.family == AF_INET) {
                char host[1025] = {};
                if (getnameinfo(item->ifa_addr, sizeof(sockaddr_in), host, sizeof host, nullptr, 0, NI_NUMERICHOST)
                    == 0)
                    entry.numericHost = QString::fromUtf8(host, qsizetype(qstrnlen(host, sizeof host)));
            }
        }
        entries.append(entry);
    }
    freeifaddrs(list);
    return entries;
}

std::optional<QString> preferredLANAddress(const std::optional<QList<NetworkInterfaceEntry>> &list)
{
    if (!list || list->isEmpty())
        return std::nullopt;
    std::optional<QString> candidate;
    for (const NetworkInterfaceEntry &entry : *list) {
        if (!entry.isUp || entry.isLoopback || !entry.hasAddress || entry.family != 2)
            continue;
        if (!entry.numericHost)
            continue;
        if (entry.name == QStringLiteral("en0"))
            return entry.numericHost;
        if (!candidate)
            candidate = entry.numericHost;
    }
    return candidate;
}

std::optional<QUrl> lanShareURL(const QUrl &url, const std::function<std::optional<QString>()> &preferredAddress)
{
    if (!url.isValid())
        return std::nullopt;
    const QString host = url.host(QUrl::FullyEncoded);
    if (host.isEmpty())
        return url;
    if (host != loopbackHostName && host != QStringLiteral("127.0.0.1"))
        return url;
    const std::optional<QString> address = preferredAddress ? preferredAddress() : std::nullopt;
    if (!address)
        return std::nullopt;
    QUrl shared = url;
    shared.setHost(*address);
    if (!shared.isValid())
        return std::nullopt;
    return shared;
}

} // namespace NetworkInterfaces
