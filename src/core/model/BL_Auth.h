#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BL_Team.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <optional>

// The signed-in account as the cloud client, the credential store and the
// application state pass it around. Plain values; equality and hashing cover
// every field.

// The role this installation runs in. The raw values also travel in the
// backend's "node_type" fields and in the stored node-type setting.
enum class BL_NodeType {
    mainNode, // works on its own workspaces; the only type that sends heartbeats
    subNode, // like mainNode, without heartbeats
    clientNode, // mirrors a main node over the local network
};
QString rawValue(BL_NodeType type);
std::optional<BL_NodeType> nodeTypeFromRaw(QStringView raw); // exact, case-sensitive
QList<BL_NodeType> allNodeTypes(); // mainNode, subNode, clientNode

struct BL_AuthSession
{
    QString accessToken;
    std::optional<QString> refreshToken; // kept with the session, never used to renew it
    std::optional<TimePoint> expiresAt; // absent: no known expiry

    // True without an expiry, or while the expiry lies strictly more than
    // 30 seconds after `now`. The token text itself is not examined.
    bool hasValidAccessToken(TimePoint now) const;
    bool hasValidAccessToken(const Clock &clock = Clock::system()) const;

    // The credential store form: "expiresAt" as seconds since 2001.
    QJsonObject toJson() const;
    static Result<BL_AuthSession> fromJson(const QJsonValue &json);
    // The form inside the backend's sign-in replies: "expiresAt" as ISO 8601
    // text (fractional seconds and numeric offsets accepted).
    static Result<BL_AuthSession> fromCloudJson(const QJsonValue &json);

    friend bool operator==(const BL_AuthSession &, const BL_AuthSession &) = default;
};
size_t qHash(const BL_AuthSession &session, size_t seed = 0);

// A workspace the signed-in user may reach, and with which role.
struct BL_ProjectAccessGrant
{
    QUuid projectID;
    BL_TeamMembershipRole role = BL_TeamMembershipRole::member;

    QJsonObject toJson() const;
    static Result<BL_ProjectAccessGrant> fromJson(const QJsonValue &json);

    // A grant from the backend's "project_id" and "role" texts; nothing when
    // the id is not UUID text or the role is none of the four raw values.
    static std::optional<BL_ProjectAccessGrant> fromBackend(const QString &projectID, const QString &role);

    friend bool operator==(const BL_ProjectAccessGrant &, const BL_ProjectAccessGrant &) = default;
};
size_t qHash(const BL_ProjectAccessGrant &grant, size_t seed = 0);

// Everything the backend says about the signed-in user. The lists keep the
// order the backend sent them in.
struct BL_AuthContext
{
    using TeamProjectIDs = QHash<QUuid, QSet<QUuid>>;

    BL_User user;
    QList<BL_Team> teams;
    QList<BL_TeamMembership> memberships;
    QList<BL_ProjectAccessGrant> projectGrants;
    TeamProjectIDs teamProjectIDsByTeamID;

    // "teamProjectIDsByTeamID" is an object from team UUID to an array of
    // workspace UUIDs (sorted, so equal contexts write equal JSON).
    QJsonObject toJson() const;
    static Result<BL_AuthContext> fromJson(const QJsonValue &json);

    // The backend's "team_projects" (team id text to workspace id texts; pass
    // an empty map when the reply has none): keys that are not UUID text are
    // skipped, items that are not UUID text dropped, duplicates collapse.
    // When two keys name one team in different letter case, the later key
    // in the map's order wins.
    static TeamProjectIDs teamProjectIDsFromBackend(const QMap<QString, QStringList> &teamProjects);

    friend bool operator==(const BL_AuthContext &, const BL_AuthContext &) = default;
};
size_t qHash(const BL_AuthContext &context, size_t seed = 0);

// What a sign-in exchange returns.
struct BL_GoogleAuthExchangeResult
{
    BL_AuthSession session;
    BL_AuthContext context;

    QJsonObject toJson() const; // the session in its credential store form
    static Result<BL_GoogleAuthExchangeResult> fromJson(const QJsonValue &json);

    friend bool operator==(const BL_GoogleAuthExchangeResult &, const BL_GoogleAuthExchangeResult &) = default;
};
size_t qHash(const BL_GoogleAuthExchangeResult &result, size_t seed = 0);

// The backend's record of this installation.
struct BL_NodeRegistration
{
    QUuid id;
    QString instanceID;
    // Absent when the backend reported a node type this installation does
    // not know. The caller then keeps the node type it runs in and notes the
    // reply in its log; an unknown word must never make the installation a
    // client node (that would switch off its own persistence and delegation
    // and start mirroring another node).
    std::optional<BL_NodeType> nodeType;
    std::optional<QString> userEmail;
    std::optional<TimePoint> createdAt;
    std::optional<TimePoint> updatedAt;

    QJsonObject toJson() const;
    static Result<BL_NodeRegistration> fromJson(const QJsonValue &json);

    // The record made from the backend's registration reply: an "id" that is
    // not UUID text gives a fresh random id; a "node_type" that matches no
    // raw value exactly gives no node type.
    static BL_NodeRegistration fromBackendReply(const QString &id, const QString &instanceID, const QString &nodeType,
        const std::optional<QString> &userEmail, const std::optional<TimePoint> &createdAt,
        const std::optional<TimePoint> &updatedAt);

    friend bool operator==(const BL_NodeRegistration &, const BL_NodeRegistration &) = default;
};
size_t qHash(const BL_NodeRegistration &registration, size_t seed = 0);
