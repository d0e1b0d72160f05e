// The graph operations of TeamProjectStore: organisations, teams, projects,
// users, invites and main nodes.
#include "TeamProjectStore.h"

#include "common/Text.h"
#include "common/UuidText.h"

#include <QSet>
#include <algorithm>
#include <cmath>

using Snapshot = TeamProjectStore::Snapshot;

namespace {

// An invite lives at most a hundred years either way: a later expiry could
// not be read back from the stored snapshot. Zero and negative lifetimes keep
// their meaning (expired at once).
double boundedInviteLifetime(double seconds)
{
    constexpr double kCentury = 100.0 * 365.25 * 24 * 3600;
    if (std::isnan(seconds))
        return 0;
    return std::clamp(seconds, -kCentury, kCentury);
}

QString keyOf(const QUuid &uuid)
{
    return UuidText::lower(uuid);
}

QString roleKey(const QUuid &teamID, const QUuid &userID)
{
    return keyOf(teamID) + u':' + keyOf(userID);
}

// Each UUID once, ascending by its upper-case text.
QList<QUuid> sortedSet(const QSet<QUuid> &set)
{
    QList<std::pair<QString, QUuid>> keyed;
    keyed.reserve(set.size());
    for (const QUuid &uuid : set)
        keyed.append({UuidText::upper(uuid), uuid});
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto &a, const auto &b) { return a.first < b.first; });
    QList<QUuid> list;
    list.reserve(keyed.size());
    for (const auto &entry : keyed)
        list.append(entry.second);
    return list;
}

// Takes `remove` out of and puts `insert` into the list under the key, as one
// set change; the list is stored even when it ends up empty.
void changeList(TeamProjectStore::UuidLists &map, const QString &key, const std::optional<QUuid> &remove,
    const std::optional<QUuid> &insert)
{
    const QList<QUuid> current = map.value(key);
    QSet<QUuid> set(current.cbegin(), current.cend());
    if (remove)
        set.remove(*remove);
    if (insert)
        set.insert(*insert);
    map.insert(key, sortedSet(set));
}

void addToList(TeamProjectStore::UuidLists &map, const QString &key, const QUuid &uuid)
{
    changeList(map, key, std::nullopt, uuid);
}

void removeFromList(TeamProjectStore::UuidLists &map, const QString &key, const QUuid &uuid)
{
    changeList(map, key, uuid, std::nullopt);
}

// The trimmed name, or "<word> <count + 1>" when it is blank.
QString nameOrDefault(const QString &name, const QString &word, qsizetype existing)
{
    const QString trimmed = Text::trimmed(name);
    return trimmed.isEmpty() ? word + u' ' + QString::number(existing + 1) : trimmed;
}

bool sameNameIgnoringCase(const QString &a, const QString &b)
{
    return QString::compare(a, b, Qt::CaseInsensitive) == 0;
}

template<typename Record> QList<Record> sortedByCreation(QList<Record> records)
{
    std::stable_sort(
        records.begin(), records.end(), [](const Record &a, const Record &b) { return a.createdAt < b.createdAt; });
    return records;
}

std::optional<QString> trimmedKey(const std::optional<QString> &text, bool lowerCase)
{
    if (!text)
        return std::nullopt;
    return Text::trimmed(lowerCase ? text->toLower() : *text);
}

bool usable(const std::optional<QString> &key)
{
    return key && !key->isEmpty();
}

// The index of the user findUser() means, or -1.
qsizetype findUserIndex(
    const QList<BL_User> &users, const std::optional<QString> &emailKey, const std::optional<QString> &subjectKey)
{
    for (qsizetype i = 0; i < users.size(); ++i) {
        const BL_User &user = users[i];
        if (usable(subjectKey) && user.googleSubjectID && *user.googleSubjectID == *subjectKey)
            return i;
        if (usable(emailKey) && user.email && user.email->toLower() == *emailKey)
            return i;
    }
    return -1;
}

} // namespace

// ---- Organisations -----------------------------------------------------------

BL_Organization TeamProjectStore::ensureDefaultOrganization(const QString &name)
{
    const Snapshot snapshot = loadSnapshot();
    for (const BL_Organization &organization : snapshot.organizations) {
        if (sameNameIgnoringCase(organization.name, name))
            return organization;
    }
    return createOrganization(name);
}

BL_Organization TeamProjectStore::createOrganization(const QString &name)
{
    Snapshot snapshot = loadSnapshot();
    BL_Organization organization;
    organization.id = QUuid::createUuid();
    organization.name = nameOrDefault(name, QStringLiteral("Organization"), snapshot.organizations.size());
    organization.slug = BL_Organization::makeSlug(organization.name);
    organization.createdAt = m_clock.now();
    organization.updatedAt = m_clock.now();
    snapshot.organizations.append(organization);
    persist(snapshot);
    return organization;
}

QList<BL_Organization> TeamProjectStore::allOrganizations()
{
    return sortedByCreation(loadSnapshot().organizations);
}

// ---- Teams -------------------------------------------------------------------

BL_Team TeamProjectStore::ensureDefaultTeam(const QString &name, const std::optional<QUuid> &organizationID)
{
    const Snapshot snapshot = loadSnapshot();
    for (const BL_Team &team : snapshot.teams) {
        if (sameNameIgnoringCase(team.name, name) && (!organizationID || team.organizationID == organizationID))
            return team;
    }
    return createTeam(name, organizationID);
}

BL_Team TeamProjectStore::createTeam(const QString &name, const std::optional<QUuid> &organizationID)
{
    Snapshot snapshot = loadSnapshot();
    BL_Team team;
    team.id = QUuid::createUuid();
    team.organizationID = organizationID;
    team.name = nameOrDefault(name, QStringLiteral("Team"), snapshot.teams.size());
    team.createdAt = m_clock.now();
    team.updatedAt = m_clock.now();
    snapshot.teams.append(team);
    if (organizationID) {
        snapshot.teamToOrgID.insert(keyOf(team.id), *organizationID);
        addToList(snapshot.orgToTeamIDs, keyOf(*organizationID), team.id);
    }
    persist(snapshot);
    return team;
}

QList<BL_Team> TeamProjectStore::allTeams()
{
    return sortedByCreation(loadSnapshot().teams);
}

QList<BL_Team> TeamProjectStore::teams(const QUuid &organizationID)
{
    QList<BL_Team> matching;
    for (const BL_Team &team : loadSnapshot().teams) {
        if (team.organizationID == organizationID)
            matching.append(team);
    }
    return sortedByCreation(matching);
}

// ---- Projects ----------------------------------------------------------------

void TeamProjectStore::assign(const QUuid &projectID, const QUuid &teamID, Snapshot &snapshot)
{
    addToList(snapshot.teamToProjectIDs, keyOf(teamID), projectID);
    addToList(snapshot.projectToTeamIDs, keyOf(projectID), teamID);
    const auto organization = snapshot.teamToOrgID.constFind(keyOf(teamID));
    if (organization != snapshot.teamToOrgID.cend()) {
        const QUuid organizationID = organization.value();
        snapshot.projectToOrgID.insert(keyOf(projectID), organizationID);
        addToList(snapshot.orgToProjectIDs, keyOf(organizationID), projectID);
    }
}

void TeamProjectStore::assign(const QUuid &projectID, const QUuid &teamID)
{
    Snapshot snapshot = loadSnapshot();
    assign(projectID, teamID, snapshot);
    persist(snapshot);
}

void TeamProjectStore::unassign(const QUuid &projectID, const QUuid &teamID)
{
    Snapshot snapshot = loadSnapshot();
    removeFromList(snapshot.teamToProjectIDs, keyOf(teamID), projectID);
    removeFromList(snapshot.projectToTeamIDs, keyOf(projectID), teamID);
    if (snapshot.projectToTeamIDs.value(keyOf(projectID)).isEmpty())
        snapshot.projectToOrgID.remove(keyOf(projectID));
    persist(snapshot);
}

void TeamProjectStore::removeProject(const QUuid &projectID)
{
    Snapshot snapshot = loadSnapshot();
    const QString projectKey = keyOf(projectID);
    const QList<QUuid> teams = snapshot.projectToTeamIDs.value(projectKey);
    for (const QUuid &teamID : teams)
        removeFromList(snapshot.teamToProjectIDs, keyOf(teamID), projectID);
    snapshot.projectToTeamIDs.remove(projectKey);
    snapshot.projectOwnerByProjectID.remove(projectKey);
    persist(snapshot);
}

void TeamProjectStore::setOwner(const QUuid &userID, const QUuid &projectID)
{
    Snapshot snapshot = loadSnapshot();
    snapshot.projectOwnerByProjectID.insert(keyOf(projectID), userID);
    persist(snapshot);
}

void TeamProjectStore::ensureEveryProjectBelongsToDefaultTeam(
    const QList<QUuid> &projectIDs, const QUuid &defaultTeamID)
{
    Snapshot snapshot = loadSnapshot();
    for (const QUuid &projectID : projectIDs) {
        if (!snapshot.projectToTeamIDs.value(keyOf(projectID)).isEmpty())
            continue; // any team, even one that is gone, counts
        snapshot.projectToTeamIDs.insert(keyOf(projectID), {defaultTeamID});
        assign(projectID, defaultTeamID, snapshot);
    }
    persist(snapshot);
}

void TeamProjectStore::ensureProjectsHaveOwner(const QList<QUuid> &projectIDs, const QUuid &defaultOwnerID)
{
    Snapshot snapshot = loadSnapshot();
    for (const QUuid &projectID : projectIDs) {
        if (!snapshot.projectOwnerByProjectID.contains(keyOf(projectID)))
            snapshot.projectOwnerByProjectID.insert(keyOf(projectID), defaultOwnerID);
    }
    persist(snapshot);
}

// ---- De-duplication ----------------------------------------------------------

void TeamProjectStore::deduplicateTeamsByName()
{
    Snapshot snapshot = loadSnapshot();
    const QList<BL_Team> sorted = sortedByCreation(snapshot.teams);
    QHash<QString, QUuid> keptByName;
    QSet<QUuid> keptIDs;
    QSet<QUuid> unnamedIDs;
    for (const BL_Team &team : sorted) {
        const QString nameKey = Text::trimmed(team.name).toLower();
        if (nameKey.isEmpty()) {
            // Nothing to match it by: it stays as it is.
            unnamedIDs.insert(team.id);
            continue;
        }
        const auto kept = keptByName.constFind(nameKey);
        if (kept != keptByName.cend() && kept.value() != team.id) {
            mergeTeam(team.id, kept.value(), snapshot);
        } else {
            keptByName.insert(nameKey, team.id);
            keptIDs.insert(team.id);
        }
    }
    QList<BL_Team> remaining;
    for (const BL_Team &team : sorted) {
        if (keptIDs.contains(team.id) || unnamedIDs.contains(team.id))
            remaining.append(team);
    }
    snapshot.teams = remaining;
    persist(snapshot);
}

void TeamProjectStore::mergeTeam(const QUuid &from, const QUuid &into, Snapshot &snapshot)
{
    const QString fromKey = keyOf(from);
    const QString intoKey = keyOf(into);

    for (const QUuid &projectID : snapshot.teamToProjectIDs.value(fromKey)) {
        addToList(snapshot.teamToProjectIDs, intoKey, projectID);
        changeList(snapshot.projectToTeamIDs, keyOf(projectID), from, into);
    }
    for (const QUuid &userID : snapshot.teamToUserIDs.value(fromKey)) {
        addToList(snapshot.teamToUserIDs, intoKey, userID);
        changeList(snapshot.userToTeamIDs, keyOf(userID), from, into);
        const QString fromRole = roleKey(from, userID);
        const QString intoRole = roleKey(into, userID);
        if (!snapshot.membershipRoles.contains(intoRole) && snapshot.membershipRoles.contains(fromRole))
            snapshot.membershipRoles.insert(intoRole, snapshot.membershipRoles.value(fromRole));
        snapshot.membershipRoles.remove(fromRole);
    }
    if (!snapshot.teamToOrgID.contains(intoKey) && snapshot.teamToOrgID.contains(fromKey))
        snapshot.teamToOrgID.insert(intoKey, snapshot.teamToOrgID.value(fromKey));
    for (auto it = snapshot.orgToTeamIDs.begin(); it != snapshot.orgToTeamIDs.end(); ++it) {
        if (!it.value().contains(from))
            continue;
        QSet<QUuid> set(it.value().cbegin(), it.value().cend());
        set.remove(from);
        set.insert(into);
        it.value() = sortedSet(set);
    }
    snapshot.teamToProjectIDs.remove(fromKey);
    snapshot.teamToUserIDs.remove(fromKey);
    snapshot.teamToOrgID.remove(fromKey);
}

// ---- Lookups -----------------------------------------------------------------

QList<QUuid> TeamProjectStore::projectIDsForTeam(const QUuid &teamID)
{
    return loadSnapshot().teamToProjectIDs.value(keyOf(teamID));
}

QList<QUuid> TeamProjectStore::teamIDsForProject(const QUuid &projectID)
{
    return loadSnapshot().projectToTeamIDs.value(keyOf(projectID));
}

std::optional<QUuid> TeamProjectStore::organizationIDForTeam(const QUuid &teamID)
{
    const Snapshot snapshot = loadSnapshot();
    const auto found = snapshot.teamToOrgID.constFind(keyOf(teamID));
    return found == snapshot.teamToOrgID.cend() ? std::nullopt : std::optional<QUuid>(found.value());
}

QList<QUuid> TeamProjectStore::projectIDsForOrganization(const QUuid &organizationID)
{
    return loadSnapshot().orgToProjectIDs.value(keyOf(organizationID));
}

std::optional<QUuid> TeamProjectStore::ownerForProject(const QUuid &projectID)
{
    const Snapshot snapshot = loadSnapshot();
    const auto found = snapshot.projectOwnerByProjectID.constFind(keyOf(projectID));
    return found == snapshot.projectOwnerByProjectID.cend() ? std::nullopt : std::optional<QUuid>(found.value());
}

// ---- Users -------------------------------------------------------------------

BL_User TeamProjectStore::ensureDefaultUser(const QString &name)
{
    const Snapshot snapshot = loadSnapshot();
    for (const BL_User &user : snapshot.users) {
        if (sameNameIgnoringCase(user.name, name))
            return user;
    }
    return createUser(name);
}

BL_User TeamProjectStore::createUser(const QString &name)
{
    Snapshot snapshot = loadSnapshot();
    BL_User user;
    user.id = QUuid::createUuid();
    user.name = nameOrDefault(name, QStringLiteral("User"), snapshot.users.size());
    user.createdAt = m_clock.now();
    user.updatedAt = m_clock.now();
    snapshot.users.append(user);
    persist(snapshot);
    return user;
}

QList<BL_User> TeamProjectStore::allUsers()
{
    return sortedByCreation(loadSnapshot().users);
}

std::optional<BL_User> TeamProjectStore::findUser(
    const std::optional<QString> &email, const std::optional<QString> &googleSubjectID)
{
    const Snapshot snapshot = loadSnapshot();
    const qsizetype index = findUserIndex(snapshot.users, trimmedKey(email, true), trimmedKey(googleSubjectID, false));
    return index < 0 ? std::nullopt : std::optional<BL_User>(snapshot.users[index]);
}

BL_User TeamProjectStore::upsertUser(
    const QString &name, const std::optional<QString> &email, const std::optional<QString> &googleSubjectID)
{
    Snapshot snapshot = loadSnapshot();
    const QString finalName = nameOrDefault(name, QStringLiteral("User"), snapshot.users.size());
    const std::optional<QString> emailKey = trimmedKey(email, true);
    const std::optional<QString> subjectKey = trimmedKey(googleSubjectID, false);
    const qsizetype index = findUserIndex(snapshot.users, emailKey, subjectKey);
    BL_User user;
    if (index >= 0) {
        user = snapshot.users[index];
        user.name = finalName;
        if (usable(emailKey))
            user.email = emailKey;
        if (usable(subjectKey))
            user.googleSubjectID = subjectKey;
        user.updatedAt = m_clock.now();
        snapshot.users[index] = user;
    } else {
        user.id = QUuid::createUuid();
        user.name = finalName;
        user.email = emailKey;
        user.googleSubjectID = subjectKey;
        user.createdAt = m_clock.now();
        user.updatedAt = m_clock.now();
        snapshot.users.append(user);
    }
    persist(snapshot);
    return user;
}

void TeamProjectStore::addMember(
    const QUuid &userID, const QUuid &teamID, BL_TeamMembershipRole role, Snapshot &snapshot)
{
    addToList(snapshot.userToTeamIDs, keyOf(userID), teamID);
    addToList(snapshot.teamToUserIDs, keyOf(teamID), userID);
    snapshot.membershipRoles.insert(roleKey(teamID, userID), role);
    const auto organization = snapshot.teamToOrgID.constFind(keyOf(teamID));
    if (organization != snapshot.teamToOrgID.cend()) {
        const QUuid organizationID = organization.value();
        addToList(snapshot.userToOrgIDs, keyOf(userID), organizationID);
        addToList(snapshot.orgToUserIDs, keyOf(organizationID), userID);
    }
}

void TeamProjectStore::addUser(const QUuid &userID, const QUuid &teamID, BL_TeamMembershipRole role)
{
    Snapshot snapshot = loadSnapshot();
    addMember(userID, teamID, role, snapshot);
    persist(snapshot);
}

QList<QUuid> TeamProjectStore::teamIDsForUser(const QUuid &userID)
{
    return loadSnapshot().userToTeamIDs.value(keyOf(userID));
}

QList<QUuid> TeamProjectStore::organizationIDsForUser(const QUuid &userID)
{
    return loadSnapshot().userToOrgIDs.value(keyOf(userID));
}

// ---- Invites -----------------------------------------------------------------

BL_Invite TeamProjectStore::createInvite(const QUuid &organizationID, const std::optional<QUuid> &teamID,
    BL_TeamMembershipRole role, const std::optional<QString> &email, double expiresInSeconds)
{
    Snapshot snapshot = loadSnapshot();
    const TimePoint now = m_clock.now();
    BL_Invite invite;
    invite.id = QUuid::createUuid();
    invite.token = BL_Invite::makeToken();
    invite.organizationID = organizationID;
    invite.teamID = teamID;
    invite.role = role;
    if (email)
        invite.email = email->toLower();
    invite.status = BL_InviteStatus::pending;
    invite.expiresAt = now.addSeconds(boundedInviteLifetime(expiresInSeconds));
    invite.createdAt = now;
    invite.updatedAt = m_clock.now();
    snapshot.invites.append(invite);
    persist(snapshot);
    return invite;
}

std::optional<BL_Invite> TeamProjectStore::acceptInvite(
    const QString &token, const QUuid &userID, const std::optional<QString> &email)
{
    Snapshot snapshot = loadSnapshot();
    const auto found = std::find_if(snapshot.invites.begin(), snapshot.invites.end(),
        [&](const BL_Invite &invite) { return invite.token == token; });
    if (found == snapshot.invites.end() || found->status != BL_InviteStatus::pending)
        return std::nullopt;
    BL_Invite invite = *found;
    const TimePoint now = m_clock.now();
    if (!(invite.expiresAt > now)) {
        invite.status = BL_InviteStatus::expired;
        invite.updatedAt = now;
        *found = invite;
        persist(snapshot);
        return std::nullopt;
    }
    if (invite.email && email && invite.email->toLower() != email->toLower())
        return std::nullopt;
    if (invite.teamID)
        addMember(userID, *invite.teamID, invite.role, snapshot);
    invite.status = BL_InviteStatus::accepted;
    invite.acceptedByUserID = userID;
    invite.updatedAt = m_clock.now();
    const qsizetype index = std::distance(snapshot.invites.begin(), found);
    snapshot.invites[index] = invite;
    persist(snapshot);
    return invite;
}

// ---- Main nodes --------------------------------------------------------------

BL_MainNode TeamProjectStore::createMainNode(
    const QString &name, const QUuid &organizationID, const std::optional<QString> &hostLabel)
{
    Snapshot snapshot = loadSnapshot();
    BL_MainNode node;
    node.id = QUuid::createUuid();
    node.organizationID = organizationID;
    node.name = nameOrDefault(name, QStringLiteral("Main Node"), snapshot.mainNodes.size());
    node.hostLabel = hostLabel;
    node.status = BL_NodeStatus::unknown;
    node.createdAt = m_clock.now();
    node.updatedAt = m_clock.now();
    snapshot.mainNodes.append(node);
    persist(snapshot);
    return node;
}

QList<BL_MainNode> TeamProjectStore::mainNodes(const QUuid &organizationID)
{
    QList<BL_MainNode> matching;
    for (const BL_MainNode &node : loadSnapshot().mainNodes) {
        if (node.organizationID == organizationID)
            matching.append(node);
    }
    return sortedByCreation(matching);
}
