#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <optional>

class SettingsStore;

// The command history of the process-backed command line: per workspace,
// newest first, each command once, at most 400 entries. All workspaces share
// one stored value, a dictionary from workspace id to its list.
namespace CommandHistory {

inline constexpr qsizetype limit = 400;
inline const QString storageKey = QStringLiteral("brimlock.cliCommandHistoryByProjectID.v1");

// The stored histories; nothing when there is none or when any value is not a
// list of texts. Keys that are not UUIDs are skipped; long lists are cut.
std::optional<QHash<QUuid, QStringList>> load(const SettingsStore &store);
// Writes every workspace's list (cut to the limit) under lower-case ids.
void persist(SettingsStore &store, const QHash<QUuid, QStringList> &histories);
// `list` with `command` moved (or added) to the front and cut to the limit.
QStringList recorded(QStringList list, const QString &command);
// The entries containing the trimmed search text in any letter case, in list
// order; the whole list for an empty search.
QStringList filtered(const QStringList &list, const QString &searchText);

} // namespace CommandHistory
