#pragma once

#include <QString>
#include <functional>
#include <optional>

// How the application state runs its local viewer server; every source and
// time-out can be replaced so tests pin ports and tokens and wait briefly.
struct LocalViewerOptions
{
    // A candidate port; default: uniform over 49152 to 65535 from the system
    // random generator.
    std::function<quint16()> portSource;
    // A fresh share token; default: 32 lower-case hexadecimal digits from the
    // system random generator.
    std::function<QString()> tokenSource;
    int requestDeadlineMs = 10000;
    // The hardware-address lookup ("ip neigh show <ip>") is killed after this.
    int hardwareAddressTimeoutMs = 2000;
};
