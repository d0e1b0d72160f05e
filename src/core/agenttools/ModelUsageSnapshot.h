#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"

#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <functional>
#include <optional>

// How a reader turns a JSON date value into a moment. The default takes a
// JSON number of seconds since 1970-01-01T00:00:00Z; a client node passes its
// own, more lenient rule.
using ModelUsageDateReader = std::function<Result<TimePoint>(const QJsonValue &)>;
Result<TimePoint> readUnixSecondsDate(const QJsonValue &value);

// One provider's model usage, as the usage command reported it. Identified by
// `provider` in lists.
//
// JSON form (the local-network answer): keys are the field names, absent
// optionals are left out (never null), dates are numbers of seconds since
// 1970-01-01T00:00:00Z with their fraction.
struct ModelUsageSnapshot
{
    TimePoint checkedAt; // when the tool's data was current
    QString provider; // "codex" when the tool named none
    double currentSessionUsedPercent = 0.0; // not clamped
    double currentSessionRemainingPercent = 0.0;
    std::optional<QString> currentSessionResetDescription;
    std::optional<double> monthlyUsedCredits;
    std::optional<QString> month; // e.g. "2025-03"
    std::optional<double> monthlyRemainingPercent;
    std::optional<double> creditsLeft;

    QJsonObject toJson() const;
    static Result<ModelUsageSnapshot> fromJson(
        const QJsonValue &value, const ModelUsageDateReader &readDate = readUnixSecondsDate);

    friend bool operator==(const ModelUsageSnapshot &, const ModelUsageSnapshot &) = default;
};

// The local-network answer of the model-usage read: when the usage was
// fetched, and either the usage or why it could not be read.
struct ModelUsageAPIResponse
{
    TimePoint checkedAt;
    std::optional<QList<ModelUsageSnapshot>> snapshots;
    std::optional<QString> errorMessage;

    QJsonObject toJson() const;
    static Result<ModelUsageAPIResponse> fromJson(
        const QJsonValue &value, const ModelUsageDateReader &readDate = readUnixSecondsDate);

    friend bool operator==(const ModelUsageAPIResponse &, const ModelUsageAPIResponse &) = default;
};
