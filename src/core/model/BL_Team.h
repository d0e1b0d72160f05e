#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

// The records of the account model's people and groups. Each is a plain
// value; equality and hashing cover every field, never `id` alone. JSON keys
// are the field names; UUIDs are written upper case and read in either case,
// dates are seconds since 2001 as a number, absent optionals are left out
// and a missing key or null reads as absent; every other field is required.

// A role in a team. The raw values are matched exactly (no case folding).
enum class BL_TeamMembershipRole { owner, admin, member, viewer };
QString rawValue(BL_TeamMembershipRole role);
std::optional<BL_TeamMembershipRole> teamMembershipRoleFromRaw(QStringView raw);
// owner, admin, member, viewer: the order the invite form offers them in.
QList<BL_TeamMembershipRole> allTeamMembershipRoles();

struct BL_Organization
{
    QUuid id;
    QString name;
    QString slug; // made by makeSlug(name) when the organisation is created; not unique
    TimePoint createdAt;
    TimePoint updatedAt;

    QJsonObject toJson() const;
    static Result<BL_Organization> fromJson(const QJsonValue &json);

    // Lower-cased, trimmed, every run of characters other than a-z and 0-9
    // turned into one "-", "-" trimmed from both ends; "org" when nothing
    // is left.
    static QString makeSlug(const QString &name);

    friend bool operator==(const BL_Organization &, const BL_Organization &) = default;
};
size_t qHash(const BL_Organization &organization, size_t seed = 0);

struct BL_Team
{
    QUuid id;
    std::optional<QUuid> organizationID; // absent for every team from the cloud backend
    QString name;
    TimePoint createdAt;
    TimePoint updatedAt;

    QJsonObject toJson() const;
    static Result<BL_Team> fromJson(const QJsonValue &json);

    friend bool operator==(const BL_Team &, const BL_Team &) = default;
};
size_t qHash(const BL_Team &team, size_t seed = 0);

struct BL_User
{
    QUuid id;
    std::optional<QString> email;
    std::optional<QString> googleSubjectID; // filled only by the local team store
    QString name;
    std::optional<QString> authProvider;
    std::optional<QString> providerSubject;
    std::optional<QString> avatarURL; // held as text, never parsed
    TimePoint createdAt;
    TimePoint updatedAt;

    QJsonObject toJson() const;
    static Result<BL_User> fromJson(const QJsonValue &json);

    friend bool operator==(const BL_User &, const BL_User &) = default;
};
size_t qHash(const BL_User &user, size_t seed = 0);

// A user's membership in a team, named by its pair of ids.
struct BL_TeamMembership
{
    QUuid teamID;
    QUuid userID;
    BL_TeamMembershipRole role = BL_TeamMembershipRole::member;
    TimePoint createdAt;
    TimePoint updatedAt;

    QJsonObject toJson() const;
    static Result<BL_TeamMembership> fromJson(const QJsonValue &json);

    friend bool operator==(const BL_TeamMembership &, const BL_TeamMembership &) = default;
};
size_t qHash(const BL_TeamMembership &membership, size_t seed = 0);
