#include "BL_Team.h"

#include "common/JsonRecord.h"
#include "common/Text.h"
#include "model/ValueHasher.h"

namespace {
Error notAnObject()
{
    return Error::make(QStringLiteral("Expected an object"));
}

bool isSlugCharacter(QChar c)
{
    return (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9');
}
} // namespace

QString rawValue(BL_TeamMembershipRole role)
{
    switch (role) {
    case BL_TeamMembershipRole::owner:
        return QStringLiteral("owner");
    case BL_TeamMembershipRole::admin:
        return QStringLiteral("admin");
    case BL_TeamMembershipRole::member:
        return QStringLiteral("member");
    case BL_TeamMembershipRole::viewer:
        return QStringLiteral("viewer");
    }
    return QString();
}

std::optional<BL_TeamMembershipRole> teamMembershipRoleFromRaw(QStringView raw)
{
    for (const auto role : allTeamMembershipRoles()) {
        if (raw == rawValue(role))
            return role;
    }
    return std::nullopt;
}

QList<BL_TeamMembershipRole> allTeamMembershipRoles()
{
    return {BL_TeamMembershipRole::owner, BL_TeamMembershipRole::admin, BL_TeamMembershipRole::member,
        BL_TeamMembershipRole::viewer};
}

QJsonObject BL_Organization::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("id"), id);
    writer.put(QStringLiteral("name"), name);
    writer.put(QStringLiteral("slug"), slug);
    writer.putDate(QStringLiteral("createdAt"), createdAt);
    writer.putDate(QStringLiteral("updatedAt"), updatedAt);
    return writer.result();
}

Result<BL_Organization> BL_Organization::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_Organization organization;
    organization.id = reader.uuid(QStringLiteral("id"));
    organization.name = reader.string(QStringLiteral("name"));
    organization.slug = reader.string(QStringLiteral("slug"));
    organization.createdAt = reader.date(QStringLiteral("createdAt"));
    organization.updatedAt = reader.date(QStringLiteral("updatedAt"));
    if (!reader.ok())
        return Error::make(reader.error());
    return organization;
}

QString BL_Organization::makeSlug(const QString &name)
{
    const QString lowered = Text::trimmed(name.toLower());
    QString slug;
    slug.reserve(lowered.size());
    bool inSeparatorRun = false;
    for (const QChar c : lowered) {
        if (isSlugCharacter(c)) {
            slug.append(c);
            inSeparatorRun = false;
        } else if (!inSeparatorRun) {
            slug.append(u'-');
            inSeparatorRun = true;
        }
    }
    qsizetype begin = 0;
    qsizetype end = slug.size();
    while (begin < end && slug[begin] == u'-')
        ++begin;
    while (end > begin && slug[end - 1] == u'-')
        --end;
    slug = slug.mid(begin, end - begin);
    return slug.isEmpty() ? QStringLiteral("org") : slug;
}

size_t qHash(const BL_Organization &organization, size_t seed)
{
    return ValueHasher(seed)
        .add(organization.id)
        .add(organization.name)
        .add(organization.slug)
        .add(organization.createdAt)
        .add(organization.updatedAt)
        .result();
}

QJsonObject BL_Team::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("id"), id);
    writer.putOptionalUuid(QStringLiteral("organizationID"), organizationID);
    writer.put(QStringLiteral("name"), name);
    writer.putDate(QStringLiteral("createdAt"), createdAt);
    writer.putDate(QStringLiteral("updatedAt"), updatedAt);
    return writer.result();
}

Result<BL_Team> BL_Team::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_Team team;
    team.id = reader.uuid(QStringLiteral("id"));
    team.organizationID = reader.optionalUuid(QStringLiteral("organizationID"));
    team.name = reader.string(QStringLiteral("name"));
    team.createdAt = reader.date(QStringLiteral("createdAt"));
    team.updatedAt = reader.date(QStringLiteral("updatedAt"));
    if (!reader.ok())
        return Error::make(reader.error());
    return team;
}

size_t qHash(const BL_Team &team, size_t seed)
{
    return ValueHasher(seed)
        .add(team.id)
        .add(team.organizationID)
        .add(team.name)
        .add(team.createdAt)
        .add(team.updatedAt)
        .result();
}

QJsonObject BL_User::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("id"), id);
    writer.putOptional(QStringLiteral("email"), email);
    writer.putOptional(QStringLiteral("googleSubjectID"), googleSubjectID);
    writer.put(QStringLiteral("name"), name);
    writer.putOptional(QStringLiteral("authProvider"), authProvider);
    writer.putOptional(QStringLiteral("providerSubject"), providerSubject);
    writer.putOptional(QStringLiteral("avatarURL"), avatarURL);
    writer.putDate(QStringLiteral("createdAt"), createdAt);
    writer.putDate(QStringLiteral("updatedAt"), updatedAt);
    return writer.result();
}

Result<BL_User> BL_User::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_User user;
    user.id = reader.uuid(QStringLiteral("id"));
    user.email = reader.optionalString(QStringLiteral("email"));
    user.googleSubjectID = reader.optionalString(QStringLiteral("googleSubjectID"));
    user.name = reader.string(QStringLiteral("name"));
    user.authProvider = reader.optionalString(QStringLiteral("authProvider"));
    user.providerSubject = reader.optionalString(QStringLiteral("providerSubject"));
    user.avatarURL = reader.optionalString(QStringLiteral("avatarURL"));
    user.createdAt = reader.date(QStringLiteral("createdAt"));
    user.updatedAt = reader.date(QStringLiteral("updatedAt"));
    if (!reader.ok())
        return Error::make(reader.error());
    return user;
}

size_t qHash(const BL_User &user, size_t seed)
{
    return ValueHasher(seed)
        .add(user.id)
        .add(user.email)
        .add(user.googleSubjectID)
        .add(user.name)
        .add(user.authProvider)
        .add(user.providerSubject)
        .add(user.avatarURL)
        .add(user.createdAt)
        .add(user.updatedAt)
        .result();
}

QJsonObject BL_TeamMembership::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("teamID"), teamID);
    writer.putUuid(QStringLiteral("userID"), userID);
    writer.put(QStringLiteral("role"), rawValue(role));
    writer.putDate(QStringLiteral("createdAt"), createdAt);
    writer.putDate(QStringLiteral("updatedAt"), updatedAt);
    return writer.result();
}

Result<BL_TeamMembership> BL_TeamMembership::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_TeamMembership membership;
    membership.teamID = reader.uuid(QStringLiteral("teamID"));
    membership.userID = reader.uuid(QStringLiteral("userID"));
    membership.role = reader.enumeration<BL_TeamMembershipRole>(QStringLiteral("role"), teamMembershipRoleFromRaw);
    membership.createdAt = reader.date(QStringLiteral("createdAt"));
    membership.updatedAt = reader.date(QStringLiteral("updatedAt"));
    if (!reader.ok())
        return Error::make(reader.error());
    return membership;
}

size_t qHash(const BL_TeamMembership &membership, size_t seed)
{
    return ValueHasher(seed)
        .add(membership.teamID)
        .add(membership.userID)
        .add(rawValue(membership.role))
        .add(membership.createdAt)
        .add(membership.updatedAt)
        .result();
}
