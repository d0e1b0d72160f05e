#pragma once

#include "common/Json.h"
#include "common/TimePoint.h"
#include "common/UuidText.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QUuid>
#include <optional>

// Strict reading of a record's JSON object: every required key must be there
// with the right JSON type; optional keys may be missing or null. The first
// problem is remembered as a readable message and every later read returns
// an empty value, so a decoder reads all its fields and checks ok() once.
class JsonRecordReader
{
public:
    explicit JsonRecordReader(const QJsonObject &object, const QString &recordName = QString())
        : m_object(object), m_recordName(recordName)
    {
    }

    bool ok() const { return m_error.isEmpty(); }
    const QString &error() const { return m_error; }
    void fail(const QString &message);
    const QJsonObject &object() const { return m_object; }

    QString string(const QString &key);
    std::optional<QString> optionalString(const QString &key);
    bool boolean(const QString &key);
    std::optional<bool> optionalBoolean(const QString &key);
    qint64 integer(const QString &key); // a whole JSON number inside the signed 64-bit range
    std::optional<qint64> optionalInteger(const QString &key);
    double number(const QString &key);
    std::optional<double> optionalNumber(const QString &key);
    QUuid uuid(const QString &key); // strict 36-character text, either case
    std::optional<QUuid> optionalUuid(const QString &key);
    TimePoint date(const QString &key); // seconds since 2001 as a JSON number
    std::optional<TimePoint> optionalDate(const QString &key);
    QByteArray bytes(const QString &key); // standard Base64 text
    std::optional<QByteArray> optionalBytes(const QString &key);
    QJsonObject object(const QString &key);
    std::optional<QJsonObject> optionalObject(const QString &key);
    QJsonArray array(const QString &key);
    std::optional<QJsonArray> optionalArray(const QString &key);

    // An enumeration given by its raw text; `fromRaw` maps text to a case.
    template<typename E, typename FromRaw> E enumeration(const QString &key, FromRaw fromRaw)
    {
        const QString raw = string(key);
        if (!ok())
            return E {};
        const std::optional<E> value = fromRaw(raw);
        if (!value) {
            fail(QStringLiteral("Invalid %1 value: %2").arg(key, raw));
            return E {};
        }
        return *value;
    }
    template<typename E, typename FromRaw> std::optional<E> optionalEnumeration(const QString &key, FromRaw fromRaw)
    {
        if (isAbsent(key))
            return std::nullopt;
        return enumeration<E>(key, fromRaw);
    }

    bool isAbsent(const QString &key) const; // missing or null

private:
    std::optional<QJsonValue> required(const QString &key, QJsonValue::Type type, const char *typeName);

    QJsonObject m_object;
    QString m_recordName;
    QString m_error;
};

// Writing side of the same value forms; absent optionals are left out.
class JsonRecordWriter
{
public:
    QJsonObject &object() { return m_object; }
    QJsonObject result() const { return m_object; }

    void put(const QString &key, const QJsonValue &value) { m_object.insert(key, value); }
    void putUuid(const QString &key, const QUuid &uuid) { m_object.insert(key, UuidText::upper(uuid)); }
    void putDate(const QString &key, const TimePoint &date) { m_object.insert(key, date.toJson()); }
    void putBytes(const QString &key, const QByteArray &bytes) { m_object.insert(key, Json::base64(bytes)); }

    template<typename T> void putOptional(const QString &key, const std::optional<T> &value)
    {
        if (value)
            m_object.insert(key, *value);
    }
    void putOptionalUuid(const QString &key, const std::optional<QUuid> &uuid)
    {
        if (uuid)
            putUuid(key, *uuid);
    }
    void putOptionalDate(const QString &key, const std::optional<TimePoint> &date)
    {
        if (date)
            putDate(key, *date);
    }
    void putOptionalBytes(const QString &key, const std::optional<QByteArray> &bytes)
    {
        if (bytes)
            putBytes(key, *bytes);
    }

private:
    QJsonObject m_object;
};
