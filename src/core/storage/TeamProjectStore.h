#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BL_Invite.h"
#include "model/BL_Team.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QUuid>
#include <memory>
#include <optional>

namespace SQLite {
class Database;
}

// The local organisation graph: organisations, teams, users, main nodes,
// invites, and the relations between them and the workspaces ("projects",
// named by their workspace UUID). The whole graph is one snapshot, kept as
// one JSON document in the single row (id 1) of table "team_project_snapshot"
// in "team-projects.sqlite" in the data directory, which also carries the
// task database's schema.
//
// Every operation loads the snapshot once (from the cache after the first
// load), changes its own copy and, when it changes the graph, writes it back
// once at the end. Nothing fails and nothing is reported: when the file
// cannot be used the graph lives in memory for the run, and a stored
// snapshot that does not decode loads as the empty graph. Its bytes are then
// kept beside the database as "team-projects.unreadable-<UTC time>.json"
// before the next write replaces the row, and the row is not replaced when
// that copy cannot be written.
//
// Keys of the relation maps are lower-case UUID text ("<team>:<user>" for
// roles); every list holds each UUID once, sorted by its upper-case text.
// No operation checks that the UUIDs it is given name existing records.
//
// Built and used on the main thread only; not thread-safe.
class TeamProjectStore
{
public:
    using UuidLists = QMap<QString, QList<QUuid>>;
    using UuidValues = QMap<QString, QUuid>;

    struct Snapshot
    {
        QList<BL_Organization> organizations; // in order of creation
        QList<BL_Team> teams; // in order of creation after a de-duplication
        QList<BL_User> users;
        QList<BL_MainNode> mainNodes;
        QList<BL_Invite> invites; // never removed
        UuidLists teamToProjectIDs;
        UuidLists projectToTeamIDs;
        UuidLists orgToTeamIDs;
        UuidValues teamToOrgID;
        UuidLists orgToProjectIDs;
        UuidValues projectToOrgID; // the organisation of the last team with one it was assigned to
        UuidLists userToOrgIDs;
        UuidLists orgToUserIDs;
        UuidLists userToTeamIDs;
        UuidLists teamToUserIDs;
        QMap<QString, BL_TeamMembershipRole> membershipRoles; // "<team key>:<user key>"
        UuidValues projectOwnerByProjectID;

        // One object with the 17 field names as keys; records in their own
        // JSON form, UUID values upper case, roles as raw text.
        QJsonObject toJson() const;
        // Every key is required and must not be null; an error in a UUID or
        // a role makes the whole document unreadable. A record that cannot be
        // read is left out and counted in `skippedRecords` (when given), so
        // one bad record does not cost the rest of the graph. Unknown keys
        // are ignored.
        static Result<Snapshot> fromJson(const QByteArray &payload, int *skippedRecords = nullptr);

        friend bool operator==(const Snapshot &, const Snapshot &) = default;
    };

    static constexpr const char *kDatabaseFileName = "team-projects.sqlite";
    static constexpr const char *kLegacyFileName = "team-projects.json";
    static constexpr const char *kSnapshotTableName = "team_project_snapshot";
    static constexpr qint64 kSingletonSnapshotID = 1;

    // Creates the directory, opens the file, applies the task database's
    // migrations and the snapshot table, and brings in "team-projects.json"
    // once while the file has no snapshot row. Never fails.
    explicit TeamProjectStore(const QString &storageDirectory, const Clock &clock = Clock::system());
    ~TeamProjectStore();
    TeamProjectStore(const TeamProjectStore &) = delete;
    TeamProjectStore &operator=(const TeamProjectStore &) = delete;

    QString storageDirectory() const { return m_storageDirectory; }
    QString databaseFilePath() const { return m_databaseFilePath; }
    QString legacyStorageFilePath() const { return m_legacyStorageFilePath; }
    // False when the file could not be opened and migrated: the graph then
    // lives only in memory for this run.
    bool isPersistent() const { return m_database != nullptr; }

    // ---- Organisations, teams and projects ----

    // The first organisation whose name equals `name` ignoring case (not
    // trimmed), else a new one; writes only when it creates one.
    BL_Organization ensureDefaultOrganization(const QString &name);
    // A blank name becomes "Organization <count + 1>".
    BL_Organization createOrganization(const QString &name);
    QList<BL_Organization> allOrganizations(); // by createdAt, stable

    // The first team whose name equals `name` ignoring case and, when an
    // organisation is given, that has exactly it; else a new team.
    BL_Team ensureDefaultTeam(const QString &name, const std::optional<QUuid> &organizationID = std::nullopt);
    // A blank name becomes "Team <count + 1>".
    BL_Team createTeam(const QString &name, const std::optional<QUuid> &organizationID = std::nullopt);
    QList<BL_Team> allTeams(); // by createdAt, stable
    QList<BL_Team> teams(const QUuid &organizationID); // by createdAt, stable

    void assign(const QUuid &projectID, const QUuid &teamID);
    // Leaves empty lists behind; the project stays listed for the organisation.
    void unassign(const QUuid &projectID, const QUuid &teamID);
    void removeProject(const QUuid &projectID);
    void setOwner(const QUuid &userID, const QUuid &projectID);
    // Every project without a team goes to the default team. Always writes.
    void ensureEveryProjectBelongsToDefaultTeam(const QList<QUuid> &projectIDs, const QUuid &defaultTeamID);
    // Every project without an owner gets the default owner. Always writes.
    void ensureProjectsHaveOwner(const QList<QUuid> &projectIDs, const QUuid &defaultOwnerID);
    // Merges teams whose trimmed, lower-cased names are equal into the
    // oldest of them and puts the list in createdAt order. A team with a
    // blank name takes no part and stays in the list. Always writes.
    void deduplicateTeamsByName();

    // What the snapshot holds under the UUID's key: empty lists and nothing
    // when the key is absent.
    QList<QUuid> projectIDsForTeam(const QUuid &teamID);
    QList<QUuid> teamIDsForProject(const QUuid &projectID);
    std::optional<QUuid> organizationIDForTeam(const QUuid &teamID);
    QList<QUuid> projectIDsForOrganization(const QUuid &organizationID);
    std::optional<QUuid> ownerForProject(const QUuid &projectID);

    // ---- Users, invites and main nodes ----

    // The first user whose name equals `name` ignoring case, else a new one.
    BL_User ensureDefaultUser(const QString &name);
    // A blank name becomes "User <count + 1>".
    BL_User createUser(const QString &name);
    QList<BL_User> allUsers(); // by createdAt, stable
    // The first user, in list order, whose Google subject equals the trimmed
    // subject or whose e-mail, lower-cased, equals the lower-cased trimmed
    // e-mail. Blank keys take no part.
    std::optional<BL_User> findUser(const std::optional<QString> &email, const std::optional<QString> &googleSubjectID);
    // Updates the user findUser() finds (name, non-blank keys, updatedAt) or
    // creates one. Always writes.
    BL_User upsertUser(
        const QString &name, const std::optional<QString> &email, const std::optional<QString> &googleSubjectID);
    // Replaces any earlier role of the user in the team.
    void addUser(const QUuid &userID, const QUuid &teamID, BL_TeamMembershipRole role);
    QList<QUuid> teamIDsForUser(const QUuid &userID);
    QList<QUuid> organizationIDsForUser(const QUuid &userID);

    // A pending invite with a fresh token, expiring `expiresInSeconds` from now
    // (bounded to a hundred years either way).
    BL_Invite createInvite(const QUuid &organizationID, const std::optional<QUuid> &teamID, BL_TeamMembershipRole role,
        const std::optional<QString> &email, double expiresInSeconds);
    // Accepts the pending, unexpired invite with exactly this token for the
    // user (the e-mails, when both are given, must match ignoring case) and
    // returns it; nothing for every refusal. An invite found expired is
    // written back as expired.
    std::optional<BL_Invite> acceptInvite(
        const QString &token, const QUuid &userID, const std::optional<QString> &email);

    // A blank name becomes "Main Node <count + 1>".
    BL_MainNode createMainNode(
        const QString &name, const QUuid &organizationID, const std::optional<QString> &hostLabel = std::nullopt);
    QList<BL_MainNode> mainNodes(const QUuid &organizationID); // by createdAt, stable

private:
    Snapshot loadSnapshot();
    void persist(const Snapshot &snapshot);
    void ensureSnapshotTable();
    Result<void> migrateLegacyJSONIfNeeded();
    std::optional<QByteArray> readStoredPayload(); // throws on a database error
    bool keepUnreadablePayload();

    static void assign(const QUuid &projectID, const QUuid &teamID, Snapshot &snapshot);
    static void mergeTeam(const QUuid &from, const QUuid &into, Snapshot &snapshot);
    static void addMember(const QUuid &userID, const QUuid &teamID, BL_TeamMembershipRole role, Snapshot &snapshot);

    const Clock &m_clock;
    QString m_storageDirectory;
    QString m_legacyStorageFilePath;
    QString m_databaseFilePath;
    std::unique_ptr<SQLite::Database> m_database;
    std::optional<Snapshot> m_cachedSnapshot;
    // Set when the first load found a row it could not use, or could use
    // only in part; the row's bytes are kept aside before the next write
    // replaces them.
    bool m_storedRowUnusable = false;
};
