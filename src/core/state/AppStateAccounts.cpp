// The local account side: team scoping of the workspaces, the default
// organisation, team, user and ownership, and the gates of the network
// operations.
#include "AppState.h"

#include "common/Text.h"
#include "common/UuidText.h"
#include "state/CloudSync.h"

#include <QUrl>
#include <QUrlQuery>

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
    // "https://host/v1/" and "https://host/" name the same root as their
    // forms without the slash.
    while (base.endsWith(u'/'))
        base.chop(1);
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

void AppState::setCurrentUserID(const std::optional<QUuid> &userID)
{
    assign(m_currentUserID, userID, Field::currentUserID);
}

// ---- Node role and sidebar counts ----

void AppState::setCurrentNodeType(const std::optional<BL_NodeType> &nodeType)
{
    if (nodeType)
        m_settings.defaults().setValue(AppSettings::nodeTypeKey, rawValue(*nodeType));
    else
        m_settings.defaults().remove(AppSettings::nodeTypeKey);
    m_cloudSync->forgetNodeRegistration();
    assign(m_currentNodeType, nodeType, Field::currentNodeType);
}

int AppState::myTeamsWorkspaceCount()
{
    QSet<QUuid> allowed;
    if (m_remoteSyncFeatureEnabled && m_authContext) {
        for (const auto &grant : m_authContext->projectGrants)
            allowed.insert(grant.projectID);
    } else {
        allowed = userTeamProjectIDs();
    }
    QSet<QUuid> counted;
    for (const BL_Workspace &workspace : std::as_const(m_projects))
        if (allowed.contains(workspace.id))
            counted.insert(workspace.id);
    return int(counted.size());
}

int AppState::projectCount(const QUuid &teamID)
{
    QSet<QUuid> members;
    if (m_remoteSyncFeatureEnabled && m_authContext) {
        members = m_authContext->teamProjectIDsByTeamID.value(teamID);
    } else {
        const QList<QUuid> ids = m_teamStore->projectIDsForTeam(teamID);
        members = QSet<QUuid>(ids.cbegin(), ids.cend());
    }
    int count = 0;
    for (const BL_Workspace &workspace : std::as_const(m_projects))
        count += members.contains(workspace.id) ? 1 : 0;
    return count;
}

// ---- The backend account ----

void AppState::applyRemoteAuthContext(const BL_AuthContext &context)
{
    m_authContext = context;
    assign(m_isAuthenticated, true, Field::isAuthenticated);
    assign(m_currentUserEmail, context.user.email, Field::currentUserEmail);
    assign(m_currentUserID, std::optional<QUuid>(context.user.id), Field::currentUserID);
    assign(m_users, QList<BL_User> {context.user}, Field::users);
    assign(m_teams, context.teams, Field::teams);
    const bool selectionKnown = m_selectedTeamID
        && std::any_of(context.teams.cbegin(), context.teams.cend(),
            [&](const BL_Team &team) { return team.id == *m_selectedTeamID; });
    if (!selectionKnown)
        setSelectedTeamID(context.teams.isEmpty() ? std::nullopt : std::optional<QUuid>(context.teams.first().id));
}

void AppState::updateGoogleOAuthClientID(const QString &value)
{
    assign(m_googleOAuthClientIDString, Text::trimmed(value), Field::googleOAuthClientIDString);
    m_settings.defaults().setValue(AppSettings::googleOAuthClientIDKey, m_googleOAuthClientIDString);
    appendOAuthLog(QStringLiteral("Updated Google OAuth client ID."));
}

void AppState::updateBackendBaseURL(const QString &value)
{
    assign(m_backendBaseURLString, Text::trimmed(value), Field::backendBaseURLString);
    m_settings.defaults().setValue(AppSettings::backendBaseURLKey, m_backendBaseURLString);
    appendOAuthLog(QStringLiteral("Updated backend URL."));
    QMetaObject::invokeMethod(
        this, [this] { refreshAuthContextFromBackend(); }, Qt::QueuedConnection);
}

void AppState::clearOAuthDebugLog()
{
    assign(m_oauthDebugLogText, QString(), Field::oauthDebugLogText);
}

QCoro::Task<> AppState::refreshAuthContextFromBackend()
{
    QPointer<AppState> self(this);
    if (!m_remoteSyncFeatureEnabled) {
        setTeamsAndUsersFromStore(true);
        m_teamStore->deduplicateTeamsByName();
        setTeamsAndUsersFromStore(false);
        if (!m_currentUserID) {
            appendOAuthLog(QStringLiteral("No signed-in user to refresh."));
            co_return;
        }
        markSignedInLocally();
        appendOAuthLog(QStringLiteral("Refreshed local auth context."));
        co_return;
    }
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (!baseURL) {
        appendOAuthLog(QStringLiteral("Remote sync enabled, but backend URL is invalid."));
        co_return;
    }
    if (!hasUsableCloudSession()) {
        assign(m_isAuthenticated, false, Field::isAuthenticated);
        appendOAuthLog(QStringLiteral("Remote sync enabled, but no valid access token found."));
        co_return;
    }
    const Result<BL_AuthContext> context = co_await m_apiClient->fetchAuthContext(*baseURL, m_authSession->accessToken);
    if (!self)
        co_return;
    if (!context) {
        const QString message = QStringLiteral("Failed to refresh backend auth context: ") + context.errorMessage();
        appendOAuthLog(message);
        setLastErrorMessage(message);
        co_return;
    }
    applyRemoteAuthContext(context.value());
    co_await ensureNodeRegistrationIfNeeded();
    if (!self)
        co_return;
    appendOAuthLog(QStringLiteral("Fetched auth context from backend."));
}

void AppState::createTeam(const std::optional<QString> &name)
{
    const QString trimmed = name ? Text::trimmed(*name) : QString();
    const QString teamName = trimmed.isEmpty() ? QStringLiteral("Team %1").arg(m_teams.size() + 1) : trimmed;
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (m_remoteSyncFeatureEnabled && baseURL && hasUsableCloudSession()) {
        auto run = [](QPointer<AppState> self, QString baseURL, QString token, QString teamName) -> QCoro::Task<> {
            const Result<BL_Team> team = co_await self->m_apiClient->createTeam(baseURL, token, teamName);
            if (!self)
                co_return;
            if (!team) {
                self->setLastErrorMessage(QStringLiteral("Failed to create backend team: ") + team.errorMessage());
                self->appendOAuthLog(QStringLiteral("Backend team creation failed: ") + team.errorMessage());
                co_return;
            }
            co_await self->refreshAuthContextFromBackend();
            if (self)
                self->appendOAuthLog(QStringLiteral("Created backend team ") + teamName + u'.');
        };
        run(QPointer<AppState>(this), *baseURL, m_authSession->accessToken, teamName);
        return;
    }
    std::optional<QUuid> organizationID;
    if (isUserTeamLogicEnabled())
        organizationID = m_teamStore->ensureDefaultOrganization(QStringLiteral("Personal Org")).id;
    const BL_Team team = m_teamStore->createTeam(teamName, organizationID);
    if (m_currentUserID)
        m_teamStore->addUser(*m_currentUserID, team.id, BL_TeamMembershipRole::owner);
    m_teamStore->deduplicateTeamsByName();
    setTeamsAndUsersFromStore(false);
}

// ---- Sign-in, sign-out, callbacks ----

// Without the backend the current user of the team store is signed in, with
// the e-mail address the store knows for it.
void AppState::markSignedInLocally()
{
    std::optional<QString> email;
    for (const BL_User &user : std::as_const(m_users))
        if (user.id == *m_currentUserID)
            email = user.email;
    assign(m_currentUserEmail, email, Field::currentUserEmail);
    assign(m_isAuthenticated, true, Field::isAuthenticated);
}

void AppState::installBackendSession(const BL_GoogleAuthExchangeResult &result)
{
    m_authSession = result.session;
    m_sessionStore->save(result.session); // a failure leaves the session in memory for this run
    applyRemoteAuthContext(result.context);
    setCurrentNodeType(BL_NodeType::mainNode);
}

QCoro::Task<> AppState::startGoogleSignIn()
{
    QPointer<AppState> self(this);
    if (!m_remoteSyncFeatureEnabled) {
        if (!m_currentUserID) {
            const BL_User user = m_teamStore->ensureDefaultUser(QStringLiteral("You"));
            assign(m_currentUserID, std::optional<QUuid>(user.id), Field::currentUserID);
            assign(m_users, m_teamStore->allUsers(), Field::users);
        }
        markSignedInLocally();
        appendOAuthLog(QStringLiteral("Local sign-in completed."));
        co_return;
    }
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (!baseURL) {
        setLastErrorMessage(QStringLiteral("Set a valid backend URL before signing in."));
        appendOAuthLog(QStringLiteral("Sign-in blocked: backend URL missing/invalid."));
        co_return;
    }
    const QString clientID = Text::trimmed(m_googleOAuthClientIDString);
    if (clientID.isEmpty()) {
        setLastErrorMessage(QStringLiteral("Google OAuth Client ID is required."));
        appendOAuthLog(QStringLiteral("Sign-in blocked: Google OAuth Client ID missing."));
        co_return;
    }
    const std::optional<QString> clientSecret = m_settings.defaults().string(googleOAuthClientSecretKey);
    const Result<NativeGoogleSignInResult> signedIn
        = co_await m_signInService->signIn(clientID, clientID, clientSecret);
    if (!self)
        co_return;
    std::optional<Result<BL_GoogleAuthExchangeResult>> exchanged;
    if (signedIn.ok()) {
        exchanged = co_await m_apiClient->exchangeGoogleNativeIDToken(*baseURL, signedIn->idToken);
        if (!self)
            co_return;
    }
    const QString failure
        = !signedIn.ok() ? signedIn.errorMessage() : (!exchanged->ok() ? exchanged->errorMessage() : QString());
    if (!signedIn.ok() || !exchanged->ok()) {
        setLastErrorMessage(failure);
        appendOAuthLog(QStringLiteral("Sign-in failed: ") + failure);
        co_return;
    }
    installBackendSession(exchanged->value());
    appendOAuthLog(QStringLiteral("Backend session created via native Google sign-in."));
    co_await ensureNodeRegistrationIfNeeded();
    if (!self)
        co_return;
    co_await pollRemoteTasksAcrossProjects(QStringLiteral("sign-in"));
}

QCoro::Task<> AppState::signOut()
{
    QPointer<AppState> self(this);
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (m_remoteSyncFeatureEnabled && baseURL && hasUsableCloudSession()) {
        co_await m_apiClient->logout(*baseURL, m_authSession->accessToken); // its outcome does not matter
        if (!self)
            co_return;
    }
    m_signInService->signOut();
    m_sessionStore->clear();
    m_authSession.reset();
    m_authContext.reset();
    assign(m_isAuthenticated, false, Field::isAuthenticated);
    assign(m_currentUserEmail, std::optional<QString>(), Field::currentUserEmail);
    m_cloudSync->forgetNodeRegistration();
    appendOAuthLog(QStringLiteral("Signed out."));
}

QCoro::Task<> AppState::handleIncomingURL(QUrl url)
{
    // The query may carry codes and tokens: it never reaches the log.
    appendOAuthLog(QStringLiteral("Received callback URL: ")
        + url.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo).toString());
    QPointer<AppState> self(this);
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (!m_remoteSyncFeatureEnabled || !baseURL)
        co_return;
    // Only the answer to a sign-in the user started here is exchanged.
    const QString state = QUrlQuery(url).queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded);
    const std::optional<QString> pending = m_signInService->pendingState();
    if (state.isEmpty() || !pending || state != *pending) {
        appendOAuthLog(QStringLiteral("Ignored an opened URL that answers no sign-in in progress."));
        co_return;
    }
    const Result<BL_GoogleAuthExchangeResult> exchanged
        = co_await m_apiClient->exchangeGoogleCallback(*baseURL, url.toString(QUrl::FullyEncoded));
    if (!self)
        co_return;
    if (!exchanged) {
        const QString message = QStringLiteral("OAuth callback exchange failed: ") + exchanged.errorMessage();
        appendOAuthLog(message);
        setLastErrorMessage(message);
        co_return;
    }
    installBackendSession(exchanged.value());
    appendOAuthLog(QStringLiteral("OAuth callback exchanged successfully."));
    co_await ensureNodeRegistrationIfNeeded();
    if (!self)
        co_return;
    co_await pollRemoteTasksAcrossProjects(QStringLiteral("oauth-callback"));
}

// ---- Invites ----

QCoro::Task<> AppState::createInvite(QUuid teamID, QString email, BL_TeamMembershipRole role, qint64 expiresInHours)
{
    const QString normalized = Text::trimmed(email).toLower();
    if (normalized.isEmpty())
        co_return;
    QPointer<AppState> self(this);
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (m_remoteSyncFeatureEnabled && baseURL && hasUsableCloudSession()) {
        const Result<BL_Invite> invite = co_await m_apiClient->createInvite(
            *baseURL, m_authSession->accessToken, teamID, normalized, role, expiresInHours);
        if (!self)
            co_return;
        if (invite) {
            assign(m_lastCreatedInvite, std::optional<BL_Invite>(invite.value()), Field::lastCreatedInvite);
            appendOAuthLog(QStringLiteral("Created backend invite for ") + normalized + u'.');
            co_return;
        }
        const QString message = QStringLiteral("Backend invite creation failed: ") + invite.errorMessage();
        appendOAuthLog(message);
        setLastErrorMessage(message);
    }
    co_await createInviteLocally(teamID, normalized, role, expiresInHours);
}

QCoro::Task<> AppState::createInviteLocally(
    QUuid teamID, QString email, BL_TeamMembershipRole role, qint64 expiresInHours)
{
    std::optional<QUuid> organizationID = m_teamStore->organizationIDForTeam(teamID);
    if (!organizationID) {
        const QList<BL_Organization> organizations = m_teamStore->allOrganizations();
        organizationID = organizations.isEmpty()
            ? m_teamStore->ensureDefaultOrganization(QStringLiteral("Personal Org")).id
            : organizations.first().id;
    }
    const qint64 hours = std::max<qint64>(expiresInHours, 1);
    BL_Invite invite = m_teamStore->createInvite(*organizationID, teamID, role, email, double(hours) * 3600.0);
    QString base = Text::trimmed(m_backendBaseURLString);
    while (base.endsWith(u'/')) // "https://host/" must not give "https://host//invite"
        base.chop(1);
    invite.inviteURL = base.isEmpty() ? invite.token : base + QStringLiteral("/invite?token=") + invite.token;
    assign(m_lastCreatedInvite, std::optional<BL_Invite>(invite), Field::lastCreatedInvite);
    appendOAuthLog(QStringLiteral("Created invite for ") + email + u'.');
    co_return;
}

QCoro::Task<> AppState::acceptInvite(QString token)
{
    const QString trimmed = Text::trimmed(token);
    if (trimmed.isEmpty())
        co_return;
    QPointer<AppState> self(this);
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (m_remoteSyncFeatureEnabled && baseURL && hasUsableCloudSession()) {
        const Result<BL_AuthContext> context
            = co_await m_apiClient->acceptInvite(*baseURL, m_authSession->accessToken, trimmed);
        if (!self)
            co_return;
        if (context) {
            applyRemoteAuthContext(context.value());
            appendOAuthLog(QStringLiteral("Backend invite accepted."));
            co_await pollRemoteTasksAcrossProjects(QStringLiteral("invite-accept"));
            co_return;
        }
        const QString message = QStringLiteral("Backend invite accept failed: ") + context.errorMessage();
        appendOAuthLog(message);
        setLastErrorMessage(message);
    }
    acceptInviteLocally(trimmed);
}

void AppState::acceptInviteLocally(const QString &token)
{
    if (!m_currentUserID) {
        const BL_User user = m_teamStore->ensureDefaultUser(QStringLiteral("You"));
        assign(m_currentUserID, std::optional<QUuid>(user.id), Field::currentUserID);
    }
    const auto accepted = m_teamStore->acceptInvite(token, *m_currentUserID, m_currentUserEmail);
    if (!accepted) {
        appendOAuthLog(QStringLiteral("Invite accept failed."));
        return;
    }
    m_teamStore->deduplicateTeamsByName();
    setTeamsAndUsersFromStore(true);
    assign(m_isAuthenticated, true, Field::isAuthenticated);
    appendOAuthLog(QStringLiteral("Invite accepted."));
}
