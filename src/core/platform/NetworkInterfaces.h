#pragma once

#include <QList>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

// One entry of the system's interface address list, as far as the share
// link looks at it.
struct NetworkInterfaceEntry
{
    QString name;
    bool isUp = false;
    bool isLoopback = false;
    bool hasAddress = false;
    int family = 0; // AF_INET is 2
    // The address as numeric host text; none when the conversion failed.
    std::optional<QString> numericHost;
};

// The local network address of this machine and the share link built on it.
namespace NetworkInterfaces {

// Reads the interface list (getifaddrs, numeric host text by getnameinfo);
// none when the list cannot be read.
std::optional<QList<NetworkInterfaceEntry>> systemList();

// The address to share: an up, non-loopback IPv4 entry whose address
// converted; "en0" wins at once, else the first one in list order.
std::optional<QString> preferredLANAddress(const std::optional<QList<NetworkInterfaceEntry>> &list);

// The host name the local viewer server writes into its own link.
inline const QString loopbackHostName = QStringLiteral("localhost");

// The link with a loopback host ("localhost" or "127.0.0.1", compared
// exactly) replaced by the address from `preferredAddress`; none when the
// link cannot be split or no address is known. Other links come back as
// they are.
std::optional<QUrl> lanShareURL(const QUrl &url, const std::function<std::optional<QString>()> &preferredAddress);

} // namespace NetworkInterfaces
