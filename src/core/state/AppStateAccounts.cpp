// The account's side of the state: its operations forward to the account
// session, which reaches the rest of the state through the hooks built here.
// The node role and the published setters stay here.
#include "AppState.h"

#include "state/AccountSession.h"
#include "state/CloudSync.h"

std::unique_ptr<AccountSession> AppState::makeAccountSession(AppStateOptions &options)
{
    Q_ASSERT(googleOAuthClientSecretKey == AccountSession::googleOAuthClientSecretKey);
    AccountSession::Hooks hooks;
    hooks.appendLog = [this](const QString &line) { appendOAuthLog(line); };
    hooks.setLastErrorMessage = [this](const QString &text) { setLastErrorMessage(text); };
    hooks.isFeatureEnabled = [this] { return m_remoteSyncFeatureEnabled; };
    hooks.isClientNodeMode = [this] { return isClientNodeMode(); };
    hooks.backendBaseURLString = [this] { return m_backendBaseURLString; };
    hooks.setBackendBaseURLString
        = [this](const QString &value) { assign(m_backendBaseURLString, value, Field::backendBaseURLString); };
    hooks.googleOAuthClientIDString = [this] { return m_googleOAuthClientIDString; };
    hooks.setGoogleOAuthClientIDString = [this](const QString &value) {
        assign(m_googleOAuthClientIDString, value, Field::googleOAuthClientIDString);
    };
    hooks.setAuthenticated = [this](bool on) { assign(m_isAuthenticated, on, Field::isAuthenticated); };
    hooks.currentUserEmail = [this] { return m_currentUserEmail; };
    hooks.setCurrentUserEmail
        = [this](const std::optional<QString> &email) { assign(m_currentUserEmail, email, Field::currentUserEmail); };
    hooks.currentUserID = [this] { return m_currentUserID; };
    hooks.setCurrentUserID = [this](const std::optional<QUuid> &userID) { setCurrentUserID(userID); };
    hooks.users = [this] { return m_users; };
    hooks.setUsers = [this](const QList<BL_User> &users) { assign(m_users, users, Field::users); };
    hooks.teams = [this] { return m_teams; };
    hooks.setTeams = [this](const QList<BL_Team> &teams) { assign(m_teams, teams, Field::teams); };
    hooks.selectedTeamID = [this] { return m_selectedTeamID; };
    hooks.setSelectedTeamID = [this](const std::optional<QUuid> &teamID) { setSelectedTeamID(teamID); };
    hooks.projects = [this] { return m_projects; };
    hooks.activeProjectID = [this] { return m_activeProjectID; };
    hooks.setActiveProjectID = [this](const std::optional<QUuid> &projectID) { setActiveProjectID(projectID); };
    hooks.setLastCreatedInvite = [this](const std::optional<BL_Invite> &invite) {
        assign(m_lastCreatedInvite, invite, Field::lastCreatedInvite);
    };
    hooks.setTeamsAndUsersFromStore = [this](bool includeUsers) { setTeamsAndUsersFromStore(includeUsers); };
    hooks.setNodeType = [this](const std::optional<BL_NodeType> &type) { setCurrentNodeType(type); };
    hooks.forgetNodeRegistration = [this] { m_cloudSync->forgetNodeRegistration(); };
    hooks.ensureNodeRegistration = [this] { return ensureNodeRegistrationIfNeeded(); };
    hooks.pollRemoteTasks = [this](QString reason) { return pollRemoteTasksAcrossProjects(std::move(reason)); };
    if (!options.googleSignIn.hasWindow)
        options.googleSignIn.hasWindow = [activity = options.activity] { return activity.windowShown(); };
    return std::make_unique<AccountSession>(*m_clock, m_settings.defaults(), *m_teamStore,
        std::move(options.sessionStore), options.apiClient, options.googleSignIn, std::move(hooks));
}

// ---- Access of the current user ----

bool AppState::isUserTeamLogicEnabled()
{
    return m_accounts->isUserTeamLogicEnabled();
}

std::optional<QString> AppState::resolvedBackendAPIBaseURL() const
{
    return m_accounts->resolvedBackendAPIBaseURL();
}

bool AppState::hasUsableCloudSession() const
{
    return m_accounts->hasUsableCloudSession();
}

QList<BL_Workspace> AppState::projectsForSelectedTeam() const
{
    return m_accounts->projectsForSelectedTeam();
}

void AppState::ensureDefaultTeamAssignments()
{
    m_accounts->ensureDefaultTeamAssignments();
}

int AppState::myTeamsWorkspaceCount()
{
    return m_accounts->myTeamsWorkspaceCount();
}

int AppState::projectCount(const QUuid &teamID)
{
    return m_accounts->projectCount(teamID);
}

void AppState::setCurrentUserID(const std::optional<QUuid> &userID)
{
    assign(m_currentUserID, userID, Field::currentUserID);
}

// ---- Node role ----

void AppState::setCurrentNodeType(const std::optional<BL_NodeType> &nodeType)
{
    if (nodeType)
        m_settings.defaults().setValue(AppSettings::nodeTypeKey, rawValue(*nodeType));
    else
        m_settings.defaults().remove(AppSettings::nodeTypeKey);
    m_cloudSync->forgetNodeRegistration();
    assign(m_currentNodeType, nodeType, Field::currentNodeType);
}

// ---- The backend account ----

const std::optional<BL_AuthSession> &AppState::authSession() const
{
    return m_accounts->authSession();
}

const std::optional<BL_AuthContext> &AppState::authContext() const
{
    return m_accounts->authContext();
}

TessaronAPIClient &AppState::apiClient()
{
    return m_accounts->apiClient();
}

NativeGoogleSignInService &AppState::signInService()
{
    return m_accounts->signInService();
}

void AppState::updateGoogleOAuthClientID(const QString &value)
{
    m_accounts->updateGoogleOAuthClientID(value);
}

void AppState::updateBackendBaseURL(const QString &value)
{
    m_accounts->updateBackendBaseURL(value);
}

void AppState::clearOAuthDebugLog()
{
    assign(m_oauthDebugLogText, QString(), Field::oauthDebugLogText);
}

QCoro::Task<> AppState::refreshAuthContextFromBackend()
{
    return m_accounts->refreshAuthContextFromBackend();
}

void AppState::createTeam(const std::optional<QString> &name)
{
    m_accounts->createTeam(name);
}

QCoro::Task<> AppState::startGoogleSignIn()
{
    return m_accounts->startGoogleSignIn();
}

QCoro::Task<> AppState::signOut()
{
    return m_accounts->signOut();
}

QCoro::Task<> AppState::handleIncomingURL(QUrl url)
{
    return m_accounts->handleIncomingURL(std::move(url));
}

QCoro::Task<> AppState::createInvite(QUuid teamID, QString email, BL_TeamMembershipRole role, qint64 expiresInHours)
{
    return m_accounts->createInvite(teamID, std::move(email), role, expiresInHours);
}

QCoro::Task<> AppState::acceptInvite(QString token)
{
    return m_accounts->acceptInvite(std::move(token));
}
