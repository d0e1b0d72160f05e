#include "SettingsStore.h"

#include "common/Json.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

std::optional<QString> SettingsStore::string(const QString &key) const
{
    const auto v = value(key);
    if (!v || !v->isString())
        return std::nullopt;
    return v->toString();
}

std::optional<qint64> SettingsStore::integer(const QString &key) const
{
    const auto v = value(key);
    if (!v)
        return std::nullopt;
    return Json::wholeNumber(*v);
}

std::optional<bool> SettingsStore::boolean(const QString &key) const
{
    const auto v = value(key);
    if (!v || !v->isBool())
        return std::nullopt;
    return v->toBool();
}

std::optional<QJsonObject> SettingsStore::object(const QString &key) const
{
    const auto v = value(key);
    if (!v || !v->isObject())
        return std::nullopt;
    return v->toObject();
}

std::optional<QJsonValue> MemorySettingsStore::value(const QString &key) const
{
    const auto it = m_values.constFind(key);
    if (it == m_values.constEnd())
        return std::nullopt;
    return *it;
}

void MemorySettingsStore::setValue(const QString &key, const QJsonValue &value)
{
    m_values.insert(key, value);
}

void MemorySettingsStore::remove(const QString &key)
{
    m_values.remove(key);
}

QStringList MemorySettingsStore::keys() const
{
    return m_values.keys();
}

FileSettingsStore::FileSettingsStore(const QString &filePath) : m_filePath(filePath)
{
    QFile file(m_filePath);
    if (file.open(QIODevice::ReadOnly)) {
        if (const auto object = Json::parseObject(file.readAll()))
            m_values = *object;
    }
}

QString FileSettingsStore::standardPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/com.tessaron.app/settings.json");
}

QString FileSettingsStore::legacySuitePath(const QString &suiteName)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + u'/' + suiteName
        + QStringLiteral("/settings.json");
}

std::optional<QJsonValue> FileSettingsStore::value(const QString &key) const
{
    const auto it = m_values.constFind(key);
    if (it == m_values.constEnd())
        return std::nullopt;
    return *it;
}

void FileSettingsStore::setValue(const QString &key, const QJsonValue &value)
{
    m_values.insert(key, value);
    save();
}

void FileSettingsStore::remove(const QString &key)
{
    if (!m_values.contains(key))
        return;
    m_values.remove(key);
    save();
}

QStringList FileSettingsStore::keys() const
{
    return m_values.keys();
}

void FileSettingsStore::save()
{
    QDir().mkpath(QFileInfo(m_filePath).absolutePath());
    QSaveFile file(m_filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        m_lastError = file.errorString();
        return;
    }
    file.write(Json::write(m_values, {.sortKeys = true, .escapeSlash = false}));
    if (!file.commit()) {
        m_lastError = file.errorString();
        return;
    }
    m_lastError.clear();
}

namespace SettingsKeys {
QString current(const QString &name)
{
    return QStringLiteral("tessaron.%1.v1").arg(name);
}
QString legacyTwin(const QString &name)
{
    return QStringLiteral("brimlock.%1.v1").arg(name);
}
} // namespace SettingsKeys

namespace {
bool isNonEmpty(const QJsonValue &value)
{
    if (value.isNull() || value.isUndefined())
        return false;
    if (value.isString())
        return !value.toString().isEmpty();
    return true;
}
} // namespace

std::optional<QJsonValue> readMigratingSetting(SettingsStore &standard, const SettingsStore *legacySuite,
    const QString &key, const QString &legacyKey, const std::function<bool(const QJsonValue &)> &counts)
{
    auto usable = [&](const std::optional<QJsonValue> &value) { return value && counts(*value); };
    const auto current = standard.value(key);
    if (usable(current))
        return current;
    std::optional<QJsonValue> twin = standard.value(legacyKey);
    if (!usable(twin) && legacySuite)
        twin = legacySuite->value(legacyKey);
    if (!usable(twin))
        return std::nullopt;
    standard.setValue(key, *twin);
    return twin;
}

std::optional<QJsonValue> readMigratingSetting(
    SettingsStore &standard, const SettingsStore *legacySuite, const QString &name)
{
    return readMigratingSetting(standard, legacySuite, SettingsKeys::current(name), SettingsKeys::legacyTwin(name),
        [](const QJsonValue &value) { return isNonEmpty(value); });
}
