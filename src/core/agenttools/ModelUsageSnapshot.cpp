#include "ModelUsageSnapshot.h"

#include "common/JsonRecord.h"

#include <QJsonArray>

namespace {

QJsonValue dateValue(const TimePoint &time)
{
    return QJsonValue(time.unixSeconds());
}

// A required date; the reader's message (or a missing-key message) on failure.
std::optional<TimePoint> readDate(JsonRecordReader &reader, const QString &key, const ModelUsageDateReader &readDate)
{
    if (!reader.ok())
        return std::nullopt;
    if (reader.isAbsent(key)) {
        reader.fail(QStringLiteral("Missing value for key \"%1\"").arg(key));
        return std::nullopt;
    }
    const Result<TimePoint> date = readDate(reader.object().value(key));
    if (!date.ok()) {
        reader.fail(date.errorMessage());
        return std::nullopt;
    }
    return *date;
}

} // namespace

Result<TimePoint> readUnixSecondsDate(const QJsonValue &value)
{
    if (value.isDouble()) {
        if (const auto time = TimePoint::fromUnixSecondsChecked(value.toDouble()))
            return *time;
    }
    return Error::make(QStringLiteral("Expected a date as seconds since 1970."));
}

QJsonObject ModelUsageSnapshot::toJson() const
{
    JsonRecordWriter writer;
    writer.put(QStringLiteral("checkedAt"), dateValue(checkedAt));
    writer.put(QStringLiteral("provider"), provider);
    writer.put(QStringLiteral("currentSessionUsedPercent"), currentSessionUsedPercent);
    writer.put(QStringLiteral("currentSessionRemainingPercent"), currentSessionRemainingPercent);
    writer.putOptional(QStringLiteral("currentSessionResetDescription"), currentSessionResetDescription);
    writer.putOptional(QStringLiteral("monthlyUsedCredits"), monthlyUsedCredits);
    writer.putOptional(QStringLiteral("month"), month);
    writer.putOptional(QStringLiteral("monthlyRemainingPercent"), monthlyRemainingPercent);
    writer.putOptional(QStringLiteral("creditsLeft"), creditsLeft);
    return writer.result();
}

Result<ModelUsageSnapshot> ModelUsageSnapshot::fromJson(const QJsonValue &value, const ModelUsageDateReader &dateReader)
{
    if (!value.isObject())
        return Error::make(QStringLiteral("ModelUsageSnapshot: expected a JSON object."));
    JsonRecordReader reader(value.toObject(), QStringLiteral("ModelUsageSnapshot"));
    ModelUsageSnapshot snapshot;
    const std::optional<TimePoint> checkedAt = readDate(reader, QStringLiteral("checkedAt"), dateReader);
    snapshot.provider = reader.string(QStringLiteral("provider"));
    snapshot.currentSessionUsedPercent = reader.number(QStringLiteral("currentSessionUsedPercent"));
    snapshot.currentSessionRemainingPercent = reader.number(QStringLiteral("currentSessionRemainingPercent"));
    snapshot.currentSessionResetDescription = reader.optionalString(QStringLiteral("currentSessionResetDescription"));
    snapshot.monthlyUsedCredits = reader.optionalNumber(QStringLiteral("monthlyUsedCredits"));
    snapshot.month = reader.optionalString(QStringLiteral("month"));
    snapshot.monthlyRemainingPercent = reader.optionalNumber(QStringLiteral("monthlyRemainingPercent"));
    snapshot.creditsLeft = reader.optionalNumber(QStringLiteral("creditsLeft"));
    if (!reader.ok() || !checkedAt)
        return Error::make(reader.error());
    snapshot.checkedAt = *checkedAt;
    return snapshot;
}

QJsonObject ModelUsageAPIResponse::toJson() const
{
    JsonRecordWriter writer;
    writer.put(QStringLiteral("checkedAt"), dateValue(checkedAt));
    if (snapshots) {
        QJsonArray array;
        for (const ModelUsageSnapshot &snapshot : *snapshots)
            array.append(snapshot.toJson());
        writer.put(QStringLiteral("snapshots"), array);
    }
    writer.putOptional(QStringLiteral("errorMessage"), errorMessage);
    return writer.result();
}

Result<ModelUsageAPIResponse> ModelUsageAPIResponse::fromJson(
    const QJsonValue &value, const ModelUsageDateReader &dateReader)
{
    if (!value.isObject())
        return Error::make(QStringLiteral("ModelUsageAPIResponse: expected a JSON object."));
    JsonRecordReader reader(value.toObject(), QStringLiteral("ModelUsageAPIResponse"));
    ModelUsageAPIResponse response;
    const std::optional<TimePoint> checkedAt = readDate(reader, QStringLiteral("checkedAt"), dateReader);
    const std::optional<QJsonArray> snapshots = reader.optionalArray(QStringLiteral("snapshots"));
    response.errorMessage = reader.optionalString(QStringLiteral("errorMessage"));
    if (!reader.ok() || !checkedAt)
        return Error::make(reader.error());
    response.checkedAt = *checkedAt;
    if (snapshots) {
        QList<ModelUsageSnapshot> list;
        for (const QJsonValue &element : *snapshots) {
            Result<ModelUsageSnapshot> snapshot = ModelUsageSnapshot::fromJson(element, dateReader);
            if (!snapshot.ok())
                return snapshot.error();
            list.append(std::move(snapshot).value());
        }
        response.snapshots = list;
    }
    return response;
}
