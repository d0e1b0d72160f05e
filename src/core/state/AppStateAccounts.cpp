// The local account side: team scoping of the workspaces, the default
// organisation, team, user and ownership, and the gates of the network
// operations.
#include "AppState.h"

#include "common/Text.h"
#include "common/UuidText.h"

#include <QUrl>

bool AppState::isUserTeamLogicEnabled()
{
    SettingsStore &defaults = m_settings.defaults();
    if (const auto stored = defaults.value(AppSettings::userTeamLogicFlagKey))
        return stored->toBool();
    defaults.setValue(AppSettings::userTeamLogicFlagKey, true);
    return true;
}

std::optional<QString> AppState::resolvedBackendAPIBaseURL() const
{
    QString base = Text::trimmed(m_backendBaseURLString);
    if (base.isEmpty())
        return std::nullopt;
    if (!base.endsWith(QStringLiteral("/v1")))
        base += QStringLiteral("/v1");
    const QUrl url(base, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty())
        return std::nullopt;
    return base;
}

bool AppState::hasUsableCloudSession() const
{
    return m_authSession && m_authSession->hasValidAccessToken(*m_clock);
}

QSet<QUuid> AppState::userTeamProjectIDs() const
{
    QList<QUuid> teamIDs;
    if (m_currentUserID) {
        teamIDs = m_teamStore->teamIDsForUser(*m_currentUserID);
    } else {
        for (const BL_Team &team : m_teams)
            teamIDs.append(team.id);
    }
    QSet<QUuid> allowed;
    for (const QUuid &teamID : std::as_const(teamIDs))
        for (const QUuid &projectID : m_teamStore->projectIDsForTeam(teamID))
            allowed.insert(projectID);
    return allowed;
}

bool AppState::canCurrentUserAccess(const QUuid &projectID)
{
    if (!isUserTeamLogicEnabled() || !m_currentUserID)
        return true;
    if (m_teamStore->ownerForProject(projectID) == *m_currentUserID)
        return true;
    const QList<QUuid> projectTeams = m_teamStore->teamIDsForProject(projectID);
    const QList<QUuid> userTeams = m_teamStore->teamIDsForUser(*m_currentUserID);
    return std::any_of(
        projectTeams.begin(), projectTeams.end(), [&](const QUuid &team) { return userTeams.contains(team); });
}

QList<BL_Workspace> AppState::projectsForSelectedTeam() const
{
    if (isClientNodeMode())
        return m_projects;
    if (m_remoteSyncFeatureEnabled && m_authContext) {
        QSet<QUuid> allowed;
        if (!m_selectedTeamID) {
            for (const auto &grant : m_authContext->projectGrants)
                allowed.insert(grant.projectID);
        } else {
            for (const QUuid &id : m_authContext->teamProjectIDsByTeamID.value(*m_selectedTeamID))
                allowed.insert(id);
        }
        QList<BL_Workspace> visible;
        for (const BL_Workspace &workspace : m_projects)
            if (allowed.contains(workspace.id))
                visible.append(workspace);
        return visible;
    }
    // The flag and the access check read and may write settings; the
    // scoping itself changes nothing else.
    AppState *self = const_cast<AppState *>(this);
    if (!self->isUserTeamLogicEnabled())
        return m_projects;
    QSet<QUuid> allowed;
    if (m_selectedTeamID) {
        for (const QUuid &id : m_teamStore->projectIDsForTeam(*m_selectedTeamID))
            allowed.insert(id);
    } else {
        allowed = userTeamProjectIDs();
    }
    QList<BL_Workspace> visible;
    for (const BL_Workspace &workspace : m_projects)
        if (allowed.contains(workspace.id) && self->canCurrentUserAccess(workspace.id))
            visible.append(workspace);
    return visible;
}

void AppState::ensureDefaultTeamAssignments()
{
    TeamProjectStore &store = *m_teamStore;
    const BL_User defaultUser = store.ensureDefaultUser(QStringLiteral("You"));
    std::optional<QUuid> candidateOrganization;
    if (isUserTeamLogicEnabled()) {
        const BL_Organization organization = store.ensureDefaultOrganization(QStringLiteral("Personal Org"));
        candidateOrganization = store.ensureDefaultTeam(QStringLiteral("Personal"), organization.id).organizationID;
        if (store.mainNodes(organization.id).isEmpty())
            store.createMainNode(QStringLiteral("Primary Node"), organization.id, std::nullopt);
    } else {
        candidateOrganization = store.ensureDefaultTeam(QStringLiteral("Personal")).organizationID;
    }
    store.deduplicateTeamsByName();
    const BL_Team defaultTeam = store.ensureDefaultTeam(QStringLiteral("Personal"), candidateOrganization);
    store.addUser(defaultUser.id, defaultTeam.id, BL_TeamMembershipRole::owner);

    QList<QUuid> projectIDs;
    for (const BL_Workspace &workspace : std::as_const(m_projects))
        projectIDs.append(workspace.id);
    store.ensureEveryProjectBelongsToDefaultTeam(projectIDs, defaultTeam.id);
    for (const QUuid &projectID : std::as_const(projectIDs)) {
        const QList<QUuid> teams = store.teamIDsForProject(projectID);
        if (teams.size() >= 2 && teams.contains(defaultTeam.id))
            store.unassign(projectID, defaultTeam.id);
    }
    store.ensureProjectsHaveOwner(projectIDs, defaultUser.id);
    store.deduplicateTeamsByName();
    setTeamsAndUsersFromStore(true);

    const bool userKnown = m_currentUserID
        && std::any_of(m_users.begin(), m_users.end(), [&](const BL_User &u) { return u.id == *m_currentUserID; });
    if (!userKnown)
        assign(m_currentUserID, std::optional<QUuid>(defaultUser.id), Field::currentUserID);
    if (m_selectedTeamID
        && std::none_of(m_teams.begin(), m_teams.end(), [&](const BL_Team &t) { return t.id == *m_selectedTeamID; }))
        setSelectedTeamID(std::nullopt);

    if (!m_activeProjectID)
        return;
    const QList<BL_Workspace> visible = projectsForSelectedTeam();
    if (std::any_of(visible.begin(), visible.end(), [&](const BL_Workspace &w) { return w.id == *m_activeProjectID; }))
        return;
    if (!visible.isEmpty())
        setActiveProjectID(visible.first().id);
    else
        setActiveProjectID(m_projects.isEmpty() ? std::nullopt : std::optional<QUuid>(m_projects.first().id));
}

void AppState::createTeam(const std::optional<QString> &name)
{
    const QString trimmed = name ? Text::trimmed(*name) : QString();
    const QString teamName = trimmed.isEmpty() ? QStringLiteral("Team %1").arg(m_teams.size() + 1) : trimmed;
    if (m_remoteSyncFeatureEnabled && resolvedBackendAPIBaseURL() && hasUsableCloudSession()) {
        // The backend client arrives with the cloud work; until then the
        // backend path fails as a failed backend call does, creating nothing.
        const QString description = QStringLiteral("Cloud sync is not available in this build.");
        setLastErrorMessage(QStringLiteral("Failed to create backend team: ") + description);
        appendOAuthLog(QStringLiteral("Backend team creation failed: ") + description);
        return;
    }
    TeamProjectStore &store = *m_teamStore;
    std::optional<QUuid> organization;
    if (isUserTeamLogicEnabled())
        organization = store.ensureDefaultOrganization(QStringLiteral("Personal Org")).id;
    const BL_Team team = store.createTeam(teamName, organization);
    if (m_currentUserID)
        store.addUser(*m_currentUserID, team.id, BL_TeamMembershipRole::owner);
    store.deduplicateTeamsByName();
    setTeamsAndUsersFromStore(false);
}

void AppState::setCurrentUserID(const std::optional<QUuid> &userID)
{
    assign(m_currentUserID, userID, Field::currentUserID);
}

bool AppState::shouldAttemptRemotePoll(const QString &reason)
{
    if (isClientNodeMode() || !m_remoteSyncFeatureEnabled || !hasUsableCloudSession() || !resolvedBackendAPIBaseURL())
        return false;
    if (reason != QStringLiteral("interval"))
        return true;
    const TimePoint now = m_clock->now();
    if (now < m_nextRemotePollAllowedAt)
        return false;
    // A window in the background polls at most every 45 seconds; this
    // platform layer treats the application as always active.
    m_lastRemoteIntervalPollAttemptAt = now;
    return true;
}

bool AppState::shouldAttemptClientNodeSync(const QString &reason)
{
    if (!isClientNodeMode())
        return false;
    if (reason != QStringLiteral("interval"))
        return true;
    const TimePoint now = m_clock->now();
    if (now < m_nextClientNodeSyncAllowedAt)
        return false;
    m_lastClientNodeIntervalSyncAttemptAt = now;
    return true;
}

// The network operations come with the cloud backend and the node sharing.
// They are reached only with cloud sync on and a usable session, or in
// client-node mode; neither holds with the default settings.
QCoro::Task<> AppState::pollRemoteTasksAcrossProjects(QString reason)
{
    appendOAuthLog(QStringLiteral("Cloud sync is not available in this build (") + reason + u')');
    co_return;
}

QCoro::Task<> AppState::syncFromClientNode(QString)
{
    co_return;
}

QCoro::Task<> AppState::refreshAuthContextFromBackend()
{
    co_return;
}
