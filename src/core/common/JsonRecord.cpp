#include "JsonRecord.h"

void JsonRecordReader::fail(const QString &message)
{
    if (m_error.isEmpty())
        m_error = m_recordName.isEmpty() ? message : m_recordName + QStringLiteral(": ") + message;
}

bool JsonRecordReader::isAbsent(const QString &key) const
{
    const auto it = m_object.constFind(key);
    return it == m_object.constEnd() || it->isNull() || it->isUndefined();
}

std::optional<QJsonValue> JsonRecordReader::required(const QString &key, QJsonValue::Type type, const char *typeName)
{
    if (!ok())
        return std::nullopt;
    const auto it = m_object.constFind(key);
    if (it == m_object.constEnd()) {
        fail(QStringLiteral("Missing value for key \"%1\"").arg(key));
        return std::nullopt;
    }
    if (it->type() != type) {
        fail(QStringLiteral("Expected %1 for key \"%2\"").arg(QLatin1String(typeName), key));
        return std::nullopt;
    }
    return *it;
}

QString JsonRecordReader::string(const QString &key)
{
    const auto value = required(key, QJsonValue::String, "a text");
    return value ? value->toString() : QString();
}

std::optional<QString> JsonRecordReader::optionalString(const QString &key)
{
    if (isAbsent(key))
        return std::nullopt;
    const QString value = string(key);
    return ok() ? std::optional<QString>(value) : std::nullopt;
}

bool JsonRecordReader::boolean(const QString &key)
{
    const auto value = required(key, QJsonValue::Bool, "a Boolean");
    return value ? value->toBool() : false;
}

std::optional<bool> JsonRecordReader::optionalBoolean(const QString &key)
{
    if (isAbsent(key))
        return std::nullopt;
    const bool value = boolean(key);
    return ok() ? std::optional<bool>(value) : std::nullopt;
}

qint64 JsonRecordReader::integer(const QString &key)
{
    const auto value = required(key, QJsonValue::Double, "a number");
    if (!value)
        return 0;
    const auto whole = Json::wholeNumber(*value);
    if (!whole) {
        fail(QStringLiteral("Expected a whole number for key \"%1\"").arg(key));
        return 0;
    }
    return *whole;
}

std::optional<qint64> JsonRecordReader::optionalInteger(const QString &key)
{
    if (isAbsent(key))
        return std::nullopt;
    const qint64 value = integer(key);
    return ok() ? std::optional<qint64>(value) : std::nullopt;
}

double JsonRecordReader::number(const QString &key)
{
    const auto value = required(key, QJsonValue::Double, "a number");
    return value ? value->toDouble() : 0.0;
}

std::optional<double> JsonRecordReader::optionalNumber(const QString &key)
{
    if (isAbsent(key))
        return std::nullopt;
    const double value = number(key);
    return ok() ? std::optional<double>(value) : std::nullopt;
}

QUuid JsonRecordReader::uuid(const QString &key)
{
    const QString text = string(key);
    if (!ok())
        return QUuid();
    const auto parsed = UuidText::parse(text);
    if (!parsed) {
        fail(QStringLiteral("Invalid UUID for key \"%1\": %2").arg(key, text.left(64)));
        return QUuid();
    }
    return *parsed;
}

std::optional<QUuid> JsonRecordReader::optionalUuid(const QString &key)
{
    if (isAbsent(key))
        return std::nullopt;
    const QUuid value = uuid(key);
    return ok() ? std::optional<QUuid>(value) : std::nullopt;
}

TimePoint JsonRecordReader::date(const QString &key)
{
    const double seconds = number(key);
    if (!ok())
        return TimePoint();
    const auto date = TimePoint::fromReferenceSecondsChecked(seconds);
    if (!date) {
        fail(QStringLiteral("Invalid date for key \"%1\"").arg(key));
        return TimePoint();
    }
    return *date;
}

std::optional<TimePoint> JsonRecordReader::optionalDate(const QString &key)
{
    if (isAbsent(key))
        return std::nullopt;
    const TimePoint value = date(key);
    return ok() ? std::optional<TimePoint>(value) : std::nullopt;
}

QByteArray JsonRecordReader::bytes(const QString &key)
{
    const QString text = string(key);
    if (!ok())
        return QByteArray();
    const auto decoded = Json::fromBase64(text);
    if (!decoded) {
        fail(QStringLiteral("Invalid Base64 data for key \"%1\"").arg(key));
        return QByteArray();
    }
    return *decoded;
}

std::optional<QByteArray> JsonRecordReader::optionalBytes(const QString &key)
{
    if (isAbsent(key))
        return std::nullopt;
    const QByteArray value = bytes(key);
    return ok() ? std::optional<QByteArray>(value) : std::nullopt;
}

QJsonObject JsonRecordReader::object(const QString &key)
{
    const auto value = required(key, QJsonValue::Object, "an object");
    return value ? value->toObject() : QJsonObject();
}

std::optional<QJsonObject> JsonRecordReader::optionalObject(const QString &key)
{
    if (isAbsent(key))
        return std::nullopt;
    const QJsonObject value = object(key);
    return ok() ? std::optional<QJsonObject>(value) : std::nullopt;
}

QJsonArray JsonRecordReader::array(const QString &key)
{
    const auto value = required(key, QJsonValue::Array, "an array");
    return value ? value->toArray() : QJsonArray();
}

std::optional<QJsonArray> JsonRecordReader::optionalArray(const QString &key)
{
    if (isAbsent(key))
        return std::nullopt;
    const QJsonArray value = array(key);
    return ok() ? std::optional<QJsonArray>(value) : std::nullopt;
}
