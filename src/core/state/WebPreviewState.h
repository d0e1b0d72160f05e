#pragma once

#include "state/AppSettings.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QUuid>
#include <optional>

// What the application state keeps of each workspace's web preview: which
// previews are shown, the address each one opens first, and the counters that
// ask a shown preview to reload.
namespace WebPreview {

// The address a preview opens when nothing better is known.
inline const QString kDefaultAddress = QStringLiteral("http://localhost:3000");

// "http://127.0.0.1:<port>/".
QString devServerAddress(int port);
// A whole decimal number (optional sign, digits only, 64-bit range) from 1
// to 65535; nothing otherwise.
std::optional<int> parsePort(const QString &text);
// The entry named `name` in `folder`: the exact name when it exists, else the
// first entry whose name matches ignoring case; nothing when there is none.
std::optional<QString> existingFilePath(const QString &name, const QString &folder);
// The development-server address announced by a workspace folder through
// ".devserver-port" or "devServerInfo.md"; nothing when none is announced.
std::optional<QString> devServerAddressFromWorkspaceFolder(const QString &rootPath);
// The address to remember for a reported one: trimmed, blank gives the default.
QString normalizedAddress(const QString &address);

// The remembered addresses, read from the settings (current key, else the
// legacy dictionary) and written back under the current key unchanged;
// entries with a non-UUID key or an empty value are dropped from the result.
QHash<QUuid, QString> loadPersistedAddresses(AppSettings &settings);
void persistAddresses(SettingsStore &defaults, const QHash<QUuid, QString> &addresses);

} // namespace WebPreview
