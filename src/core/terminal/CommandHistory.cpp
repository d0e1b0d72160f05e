#include "CommandHistory.h"

#include "common/Text.h"
#include "common/UuidText.h"
#include "platform/SettingsStore.h"

#include <QJsonArray>
#include <QJsonObject>

namespace CommandHistory {

std::optional<QHash<QUuid, QStringList>> load(const SettingsStore &store)
{
    const std::optional<QJsonValue> stored = store.value(storageKey);
    if (!stored || !stored->isObject())
        return std::nullopt;
    const QJsonObject object = stored->toObject();
    // One value of the wrong shape spoils the whole record.
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isArray())
            return std::nullopt;
        const QJsonArray list = it.value().toArray();
        if (std::any_of(list.begin(), list.end(), [](const QJsonValue &entry) { return !entry.isString(); }))
            return std::nullopt;
    }
    QHash<QUuid, QStringList> histories;
    for (auto it = object.begin(); it != object.end(); ++it) {
        const std::optional<QUuid> id = UuidText::parse(it.key());
        if (!id)
            continue;
        QStringList commands;
        for (const QJsonValue &entry : it.value().toArray()) {
            if (commands.size() == limit)
                break;
            commands.append(entry.toString());
        }
        histories.insert(*id, commands);
    }
    return histories;
}

void persist(SettingsStore &store, const QHash<QUuid, QStringList> &histories)
{
    QJsonObject object;
    for (auto it = histories.begin(); it != histories.end(); ++it)
        object.insert(UuidText::lower(it.key()), QJsonArray::fromStringList(it.value().mid(0, limit)));
    store.setValue(storageKey, object);
}

QStringList recorded(QStringList list, const QString &command)
{
    list.removeAll(command);
    list.prepend(command);
    if (list.size() > limit)
        list.resize(limit);
    return list;
}

QStringList filtered(const QStringList &list, const QString &searchText)
{
    const QString query = Text::trimmed(searchText);
    if (query.isEmpty())
        return list;
    QStringList matches;
    for (const QString &entry : list)
        if (entry.contains(query, Qt::CaseInsensitive))
            matches.append(entry);
    return matches;
}

} // namespace CommandHistory
