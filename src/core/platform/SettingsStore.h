#pragma once

#include <QHash>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <functional>
#include <optional>

// A typed key-value settings store. Values keep their JSON type, so an
// integer written reads back as an integer, a Boolean as a Boolean and a
// dictionary as a dictionary.
class SettingsStore
{
public:
    virtual ~SettingsStore() = default;

    // Nothing when the key is absent.
    virtual std::optional<QJsonValue> value(const QString &key) const = 0;
    virtual void setValue(const QString &key, const QJsonValue &value) = 0;
    virtual void remove(const QString &key) = 0;
    virtual QStringList keys() const = 0;

    bool contains(const QString &key) const { return value(key).has_value(); }
    std::optional<QString> string(const QString &key) const;
    std::optional<qint64> integer(const QString &key) const;
    std::optional<bool> boolean(const QString &key) const;
    std::optional<QJsonObject> object(const QString &key) const;
};

// Settings in memory only (tests, and stores that must not touch the disk).
class MemorySettingsStore final : public SettingsStore
{
public:
    std::optional<QJsonValue> value(const QString &key) const override;
    void setValue(const QString &key, const QJsonValue &value) override;
    void remove(const QString &key) override;
    QStringList keys() const override;

private:
    QHash<QString, QJsonValue> m_values;
};

// Settings kept in one JSON file, rewritten atomically on every change. A
// file that cannot be read starts the store empty and is left in place
// until the first write.
class FileSettingsStore final : public SettingsStore
{
public:
    explicit FileSettingsStore(const QString &filePath);

    // The application's standard store and the legacy suite "Quillstead",
    // both under the user's configuration folder.
    static QString standardPath();
    static QString legacySuitePath(const QString &suiteName = QStringLiteral("Quillstead"));

    QString filePath() const { return m_filePath; }
    // The last write failure, empty when the last write succeeded.
    QString lastError() const { return m_lastError; }

    std::optional<QJsonValue> value(const QString &key) const override;
    void setValue(const QString &key, const QJsonValue &value) override;
    void remove(const QString &key) override;
    QStringList keys() const override;

private:
    void save();

    QString m_filePath;
    QJsonObject m_values;
    QString m_lastError;
};

// Settings keys "tessaron.<name>.v1" with their legacy twins "brimlock.<name>.v1".
namespace SettingsKeys {
QString current(const QString &name);
QString legacyTwin(const QString &name);
} // namespace SettingsKeys

// A read that prefers a non-empty value under the new key, else takes the
// twin from the standard store and then from the legacy suite, and copies it
// to the new key, leaving the legacy entry in place.
std::optional<QJsonValue> readMigratingSetting(
    SettingsStore &standard, const SettingsStore *legacySuite, const QString &name);
// The same read with explicit keys, where `counts` decides which stored
// values are usable (for example: only non-empty text, or only integers).
std::optional<QJsonValue> readMigratingSetting(SettingsStore &standard, const SettingsStore *legacySuite,
    const QString &key, const QString &legacyKey, const std::function<bool(const QJsonValue &)> &counts);
