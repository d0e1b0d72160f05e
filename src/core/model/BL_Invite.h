#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BL_Team.h"

#include <QJsonObject>
#include <QString>
#include <QUuid>
#include <optional>

// Invites into a team and the main nodes of an organisation. Plain values
// with the JSON form of the team records: keys are the field names, UUIDs
// upper case, dates seconds since 2001, statuses and roles as raw text.

enum class BL_InviteStatus { pending, accepted, expired, revoked };
QString rawValue(BL_InviteStatus status);
std::optional<BL_InviteStatus> inviteStatusFromRaw(QStringView raw); // exact, case-sensitive

enum class BL_NodeStatus { online, offline, unknown };
QString rawValue(BL_NodeStatus status);
std::optional<BL_NodeStatus> nodeStatusFromRaw(QStringView raw); // exact, case-sensitive

struct BL_Invite
{
    QUuid id;
    QString token; // compared exactly when accepting
    std::optional<QUuid> organizationID; // absent for invites from the cloud backend
    std::optional<QUuid> teamID;
    BL_TeamMembershipRole role = BL_TeamMembershipRole::member;
    std::optional<QString> email; // stored lower case by every maker
    BL_InviteStatus status = BL_InviteStatus::pending;
    QString inviteURL; // may be empty; never parsed here
    TimePoint expiresAt;
    std::optional<QUuid> acceptedByUserID;
    TimePoint createdAt;
    TimePoint updatedAt;

    QJsonObject toJson() const;
    static Result<BL_Invite> fromJson(const QJsonValue &json);

    // A fresh invite token: a random UUID in lower case without its dashes
    // (32 hexadecimal digits).
    static QString makeToken();

    friend bool operator==(const BL_Invite &, const BL_Invite &) = default;
};
size_t qHash(const BL_Invite &invite, size_t seed = 0);

// An instance of the application that serves an organisation's boards to the
// local network.
struct BL_MainNode
{
    QUuid id;
    QUuid organizationID;
    QString name;
    std::optional<QString> hostLabel;
    BL_NodeStatus status = BL_NodeStatus::unknown;
    std::optional<TimePoint> lastHeartbeatAt;
    TimePoint createdAt;
    TimePoint updatedAt;

    QJsonObject toJson() const;
    static Result<BL_MainNode> fromJson(const QJsonValue &json);

    friend bool operator==(const BL_MainNode &, const BL_MainNode &) = default;
};
size_t qHash(const BL_MainNode &node, size_t seed = 0);
