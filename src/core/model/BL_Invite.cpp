#include "BL_Invite.h"

#include "common/JsonRecord.h"
#include "model/ValueHasher.h"

namespace {
Error notAnObject()
{
    return Error::make(QStringLiteral("Expected an object"));
}
} // namespace

QString rawValue(BL_InviteStatus status)
{
    switch (status) {
    case BL_InviteStatus::pending:
        return QStringLiteral("pending");
    case BL_InviteStatus::accepted:
        return QStringLiteral("accepted");
    case BL_InviteStatus::expired:
        return QStringLiteral("expired");
    case BL_InviteStatus::revoked:
        return QStringLiteral("revoked");
    }
    return QString();
}

std::optional<BL_InviteStatus> inviteStatusFromRaw(QStringView raw)
{
    for (const auto status :
        {BL_InviteStatus::pending, BL_InviteStatus::accepted, BL_InviteStatus::expired, BL_InviteStatus::revoked}) {
        if (raw == rawValue(status))
            return status;
    }
    return std::nullopt;
}

QString rawValue(BL_NodeStatus status)
{
    switch (status) {
    case BL_NodeStatus::online:
        return QStringLiteral("online");
    case BL_NodeStatus::offline:
        return QStringLiteral("offline");
    case BL_NodeStatus::unknown:
        return QStringLiteral("unknown");
    }
    return QString();
}

std::optional<BL_NodeStatus> nodeStatusFromRaw(QStringView raw)
{
    for (const auto status : {BL_NodeStatus::online, BL_NodeStatus::offline, BL_NodeStatus::unknown}) {
        if (raw == rawValue(status))
            return status;
    }
    return std::nullopt;
}

QJsonObject BL_Invite::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("id"), id);
    writer.put(QStringLiteral("token"), token);
    writer.putOptionalUuid(QStringLiteral("organizationID"), organizationID);
    writer.putOptionalUuid(QStringLiteral("teamID"), teamID);
    writer.put(QStringLiteral("role"), rawValue(role));
    writer.putOptional(QStringLiteral("email"), email);
    writer.put(QStringLiteral("status"), rawValue(status));
    writer.put(QStringLiteral("inviteURL"), inviteURL);
    writer.putDate(QStringLiteral("expiresAt"), expiresAt);
    writer.putOptionalUuid(QStringLiteral("acceptedByUserID"), acceptedByUserID);
    writer.putDate(QStringLiteral("createdAt"), createdAt);
    writer.putDate(QStringLiteral("updatedAt"), updatedAt);
    return writer.result();
}

Result<BL_Invite> BL_Invite::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_Invite invite;
    invite.id = reader.uuid(QStringLiteral("id"));
    invite.token = reader.string(QStringLiteral("token"));
    invite.organizationID = reader.optionalUuid(QStringLiteral("organizationID"));
    invite.teamID = reader.optionalUuid(QStringLiteral("teamID"));
    invite.role = reader.enumeration<BL_TeamMembershipRole>(QStringLiteral("role"), teamMembershipRoleFromRaw);
    invite.email = reader.optionalString(QStringLiteral("email"));
    invite.status = reader.enumeration<BL_InviteStatus>(QStringLiteral("status"), inviteStatusFromRaw);
    invite.inviteURL = reader.string(QStringLiteral("inviteURL"));
    invite.expiresAt = reader.date(QStringLiteral("expiresAt"));
    invite.acceptedByUserID = reader.optionalUuid(QStringLiteral("acceptedByUserID"));
    invite.createdAt = reader.date(QStringLiteral("createdAt"));
    invite.updatedAt = reader.date(QStringLiteral("updatedAt"));
    if (!reader.ok())
        return Error::make(reader.error());
    return invite;
}

QString BL_Invite::makeToken()
{
    return QUuid::createUuid().toString(QUuid::Id128).toLower();
}

size_t qHash(const BL_Invite &invite, size_t seed)
{
    return ValueHasher(seed)
        .add(invite.id)
        .add(invite.token)
        .add(invite.organizationID)
        .add(invite.teamID)
        .add(rawValue(invite.role))
        .add(invite.email)
        .add(rawValue(invite.status))
        .add(invite.inviteURL)
        .add(invite.expiresAt)
        .add(invite.acceptedByUserID)
        .add(invite.createdAt)
        .add(invite.updatedAt)
        .result();
}

QJsonObject BL_MainNode::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("id"), id);
    writer.putUuid(QStringLiteral("organizationID"), organizationID);
    writer.put(QStringLiteral("name"), name);
    writer.putOptional(QStringLiteral("hostLabel"), hostLabel);
    writer.put(QStringLiteral("status"), rawValue(status));
    writer.putOptionalDate(QStringLiteral("lastHeartbeatAt"), lastHeartbeatAt);
    writer.putDate(QStringLiteral("createdAt"), createdAt);
    writer.putDate(QStringLiteral("updatedAt"), updatedAt);
    return writer.result();
}

Result<BL_MainNode> BL_MainNode::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_MainNode node;
    node.id = reader.uuid(QStringLiteral("id"));
    node.organizationID = reader.uuid(QStringLiteral("organizationID"));
    node.name = reader.string(QStringLiteral("name"));
    node.hostLabel = reader.optionalString(QStringLiteral("hostLabel"));
    node.status = reader.enumeration<BL_NodeStatus>(QStringLiteral("status"), nodeStatusFromRaw);
    node.lastHeartbeatAt = reader.optionalDate(QStringLiteral("lastHeartbeatAt"));
    node.createdAt = reader.date(QStringLiteral("createdAt"));
    node.updatedAt = reader.date(QStringLiteral("updatedAt"));
    if (!reader.ok())
        return Error::make(reader.error());
    return node;
}

size_t qHash(const BL_MainNode &node, size_t seed)
{
    return ValueHasher(seed)
        .add(node.id)
        .add(node.organizationID)
        .add(node.name)
        .add(node.hostLabel)
        .add(rawValue(node.status))
        .add(node.lastHeartbeatAt)
        .add(node.createdAt)
        .add(node.updatedAt)
        .result();
}
