#include "AppSettings.h"

#include "common/Json.h"
#include "common/UuidText.h"

AppSettings::AppSettings(SettingsStore &defaults, const SettingsStore *legacySuite)
    : m_defaults(defaults), m_legacySuite(legacySuite)
{
}

std::optional<QString> AppSettings::migratedString(const QString &key, const QString &legacyKey)
{
    const auto value = readMigratingSetting(m_defaults, m_legacySuite, key, legacyKey,
        [](const QJsonValue &v) { return v.isString() && !v.toString().isEmpty(); });
    if (!value)
        return std::nullopt;
    return value->toString();
}

std::optional<qint64> AppSettings::migratedInt(const QString &key, const QString &legacyKey)
{
    const auto value = readMigratingSetting(m_defaults, m_legacySuite, key, legacyKey,
        [](const QJsonValue &v) { return Json::wholeNumber(v).has_value(); });
    if (!value)
        return std::nullopt;
    return Json::wholeNumber(*value);
}

std::optional<QHash<QString, QString>> AppSettings::legacyDictionary(const QString &key) const
{
    auto textDictionary = [](const std::optional<QJsonValue> &value) -> std::optional<QHash<QString, QString>> {
        if (!value || !value->isObject())
            return std::nullopt;
        const QJsonObject object = value->toObject();
        QHash<QString, QString> dictionary;
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!it.value().isString())
                return std::nullopt;
            dictionary.insert(it.key(), it.value().toString());
        }
        return dictionary;
    };
    if (auto found = textDictionary(m_defaults.value(key)))
        return found;
    if (m_legacySuite)
        return textDictionary(m_legacySuite->value(key));
    return std::nullopt;
}

QString AppSettings::persistentNodeInstanceID()
{
    if (const auto existing = migratedString(nodeInstanceIDKey, legacyNodeInstanceIDKey))
        return *existing;
    const QString created = UuidText::lower(QUuid::createUuid());
    m_defaults.setValue(nodeInstanceIDKey, created);
    return created;
}

void AppSettings::persistLastViewedProjectID(const std::optional<QUuid> &projectID)
{
    if (projectID)
        m_defaults.setValue(lastViewedProjectKey, UuidText::upper(*projectID));
    else
        m_defaults.remove(lastViewedProjectKey);
}
