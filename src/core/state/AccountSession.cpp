// The account: the backend session and its context, sign-in and sign-out,
// invites and teams on the backend or in the local team store, and which
// workspaces the current user may see.
#include "AccountSession.h"

#include "common/Logging.h"
#include "common/Text.h"
#include "platform/SettingsStore.h"
#include "state/AppSettings.h"
#include "storage/TeamProjectStore.h"

#include <QUrlQuery>
#include <algorithm>
#include <chrono>

namespace {

// The keyring's failures carry only a status code.
QString storeFailure(const Error &error)
{
    return error.message.isEmpty() ? QStringLiteral("%1 %2").arg(error.domain).arg(error.code) : error.message;
}

} // namespace

AccountSession::AccountSession(const Clock &clock, SettingsStore &defaults, TeamProjectStore &teamStore,
    std::unique_ptr<AuthSessionStore> sessionStore, TessaronAPIClient::Options apiOptions,
    GoogleSignInOptions signInOptions, Hooks hooks, QObject *parent)
    : QObject(parent),
      m_clock(clock),
      m_defaults(defaults),
      m_teamStore(teamStore),
      m_hooks(std::move(hooks)),
      m_sessionStore(sessionStore ? std::move(sessionStore) : std::make_unique<SignedOutSessionStore>()),
      m_apiClient(std::make_unique<TessaronAPIClient>(nullptr, apiOptions, clock)),
      m_signInService(std::make_unique<NativeGoogleSignInService>(std::move(signInOptions)))
{
    // The sign-in's progress lines reach the debug log on a later turn.
    m_signInService->setDebugLogger([self = QPointer<AccountSession>(this)](const QString &line) {
        if (!self)
            return;
        QMetaObject::invokeMethod(
            self.data(),
            [self, line] {
                if (!gone(self))
                    self->m_hooks.appendLog(line);
            },
            Qt::QueuedConnection);
    });
}

AccountSession::~AccountSession()
{
    m_closing = true;
    // The coroutines still waiting on the backend check for this object when
    // they resume; waiting for them here would only block the main thread.
    if (m_scope.runningCount() > 0)
        m_scope.shutdown(std::chrono::milliseconds(0));
}

bool AccountSession::loadStoredSession()
{
    m_authSession = m_sessionStore->load();
    const bool usable = hasUsableCloudSession();
    qCDebug(lcState) << "stored backend session:" << (!m_authSession ? "none" : (usable ? "usable" : "expired"));
    return usable;
}

// ---- Access of the current user ----

bool AccountSession::isUserTeamLogicEnabled() const
{
    if (const auto stored = m_defaults.value(AppSettings::userTeamLogicFlagKey))
        return stored->toBool();
    m_defaults.setValue(AppSettings::userTeamLogicFlagKey, true);
    return true;
}

std::optional<QString> AccountSession::resolvedBackendAPIBaseURL() const
{
    QString base = Text::trimmed(m_hooks.backendBaseURLString());
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

bool AccountSession::hasUsableCloudSession() const
{
    return m_authSession && m_authSession->hasValidAccessToken(m_clock);
}

QSet<QUuid> AccountSession::userTeamProjectIDs() const
{
    QList<QUuid> teamIDs;
    if (const auto userID = m_hooks.currentUserID()) {
        teamIDs = m_teamStore.teamIDsForUser(*userID);
    } else {
        for (const BL_Team &team : m_hooks.teams())
            teamIDs.append(team.id);
    }
    QSet<QUuid> allowed;
    for (const QUuid &teamID : std::as_const(teamIDs))
        for (const QUuid &projectID : m_teamStore.projectIDsForTeam(teamID))
            allowed.insert(projectID);
    return allowed;
}

bool AccountSession::canCurrentUserAccess(const QUuid &projectID) const
{
    const auto userID = m_hooks.currentUserID();
    if (!isUserTeamLogicEnabled() || !userID)
        return true;
    if (m_teamStore.ownerForProject(projectID) == *userID)
        return true;
    const QList<QUuid> projectTeams = m_teamStore.teamIDsForProject(projectID);
    const QList<QUuid> userTeams = m_teamStore.teamIDsForUser(*userID);
    return std::any_of(
        projectTeams.begin(), projectTeams.end(), [&](const QUuid &team) { return userTeams.contains(team); });
}

QList<BL_Workspace> AccountSession::projectsForSelectedTeam() const
{
    const QList<BL_Workspace> projects = m_hooks.projects();
    if (m_hooks.isClientNodeMode())
        return projects;
    const std::optional<QUuid> selectedTeamID = m_hooks.selectedTeamID();
    if (m_hooks.isFeatureEnabled() && m_authContext) {
        QSet<QUuid> allowed;
        if (!selectedTeamID) {
            for (const auto &grant : m_authContext->projectGrants)
                allowed.insert(grant.projectID);
        } else {
            for (const QUuid &id : m_authContext->teamProjectIDsByTeamID.value(*selectedTeamID))
                allowed.insert(id);
        }
        QList<BL_Workspace> visible;
        for (const BL_Workspace &workspace : projects)
            if (allowed.contains(workspace.id))
                visible.append(workspace);
        return visible;
    }
    // The flag and the access check read and may write settings; the
    // scoping itself changes nothing else.
    if (!isUserTeamLogicEnabled())
        return projects;
    QSet<QUuid> allowed;
    if (selectedTeamID) {
        for (const QUuid &id : m_teamStore.projectIDsForTeam(*selectedTeamID))
            allowed.insert(id);
    } else {
        allowed = userTeamProjectIDs();
    }
    QList<BL_Workspace> visible;
    for (const BL_Workspace &workspace : projects)
        if (allowed.contains(workspace.id) && canCurrentUserAccess(workspace.id))
            visible.append(workspace);
    return visible;
}

int AccountSession::myTeamsWorkspaceCount() const
{
    QSet<QUuid> allowed;
    if (m_hooks.isFeatureEnabled() && m_authContext) {
        for (const auto &grant : m_authContext->projectGrants)
            allowed.insert(grant.projectID);
    } else {
        allowed = userTeamProjectIDs();
    }
    QSet<QUuid> counted;
    for (const BL_Workspace &workspace : m_hooks.projects())
        if (allowed.contains(workspace.id))
            counted.insert(workspace.id);
    return int(counted.size());
}

int AccountSession::projectCount(const QUuid &teamID) const
{
    QSet<QUuid> members;
    if (m_hooks.isFeatureEnabled() && m_authContext) {
        members = m_authContext->teamProjectIDsByTeamID.value(teamID);
    } else {
        const QList<QUuid> ids = m_teamStore.projectIDsForTeam(teamID);
        members = QSet<QUuid>(ids.cbegin(), ids.cend());
    }
    int count = 0;
    for (const BL_Workspace &workspace : m_hooks.projects())
        count += members.contains(workspace.id) ? 1 : 0;
    return count;
}

void AccountSession::ensureDefaultTeamAssignments()
{
    TeamProjectStore &store = m_teamStore;
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

    const QList<BL_Workspace> projects = m_hooks.projects();
    QList<QUuid> projectIDs;
    for (const BL_Workspace &workspace : projects)
        projectIDs.append(workspace.id);
    store.ensureEveryProjectBelongsToDefaultTeam(projectIDs, defaultTeam.id);
    for (const QUuid &projectID : std::as_const(projectIDs)) {
        const QList<QUuid> teams = store.teamIDsForProject(projectID);
        if (teams.size() >= 2 && teams.contains(defaultTeam.id))
            store.unassign(projectID, defaultTeam.id);
    }
    store.ensureProjectsHaveOwner(projectIDs, defaultUser.id);
    store.deduplicateTeamsByName();
    m_hooks.setTeamsAndUsersFromStore(true);

    const std::optional<QUuid> userID = m_hooks.currentUserID();
    const QList<BL_User> users = m_hooks.users();
    const bool userKnown
        = userID && std::any_of(users.begin(), users.end(), [&](const BL_User &u) { return u.id == *userID; });
    if (!userKnown)
        m_hooks.setCurrentUserID(defaultUser.id);
    const std::optional<QUuid> selectedTeamID = m_hooks.selectedTeamID();
    const QList<BL_Team> teams = m_hooks.teams();
    if (selectedTeamID
        && std::none_of(teams.begin(), teams.end(), [&](const BL_Team &t) { return t.id == *selectedTeamID; }))
        m_hooks.setSelectedTeamID(std::nullopt);

    const std::optional<QUuid> activeProjectID = m_hooks.activeProjectID();
    if (!activeProjectID)
        return;
    const QList<BL_Workspace> visible = projectsForSelectedTeam();
    if (std::any_of(visible.begin(), visible.end(), [&](const BL_Workspace &w) { return w.id == *activeProjectID; }))
        return;
    if (!visible.isEmpty()) {
        m_hooks.setActiveProjectID(visible.first().id);
    } else {
        const QList<BL_Workspace> all = m_hooks.projects();
        m_hooks.setActiveProjectID(all.isEmpty() ? std::nullopt : std::optional<QUuid>(all.first().id));
    }
}

// ---- The backend account ----

void AccountSession::applyRemoteAuthContext(const BL_AuthContext &context)
{
    m_authContext = context;
    qCDebug(lcState) << "account context of" << context.user.id << "with" << context.teams.size() << "teams";
    m_hooks.setAuthenticated(true);
    m_hooks.setCurrentUserEmail(context.user.email);
    m_hooks.setCurrentUserID(context.user.id);
    m_hooks.setUsers(QList<BL_User> {context.user});
    m_hooks.setTeams(context.teams);
    const std::optional<QUuid> selectedTeamID = m_hooks.selectedTeamID();
    const bool selectionKnown = selectedTeamID
        && std::any_of(context.teams.cbegin(), context.teams.cend(),
            [&](const BL_Team &team) { return team.id == *selectedTeamID; });
    if (!selectionKnown)
        m_hooks.setSelectedTeamID(
            context.teams.isEmpty() ? std::nullopt : std::optional<QUuid>(context.teams.first().id));
}

void AccountSession::updateGoogleOAuthClientID(const QString &value)
{
    const QString trimmed = Text::trimmed(value);
    m_hooks.setGoogleOAuthClientIDString(trimmed);
    m_defaults.setValue(AppSettings::googleOAuthClientIDKey, trimmed);
    m_hooks.appendLog(QStringLiteral("Updated Google OAuth client ID."));
}

void AccountSession::updateBackendBaseURL(const QString &value)
{
    const QString trimmed = Text::trimmed(value);
    m_hooks.setBackendBaseURLString(trimmed);
    m_defaults.setValue(AppSettings::backendBaseURLKey, trimmed);
    m_hooks.appendLog(QStringLiteral("Updated backend URL."));
    QMetaObject::invokeMethod(
        this, [this] { m_scope.spawnWith([this] { return refreshAuthContextFromBackend(); }); }, Qt::QueuedConnection);
}

QCoro::Task<> AccountSession::refreshAuthContextFromBackend()
{
    QPointer<AccountSession> self(this);
    if (!m_hooks.isFeatureEnabled()) {
        m_hooks.setTeamsAndUsersFromStore(true);
        m_teamStore.deduplicateTeamsByName();
        m_hooks.setTeamsAndUsersFromStore(false);
        if (!m_hooks.currentUserID()) {
            m_hooks.appendLog(QStringLiteral("No signed-in user to refresh."));
            co_return;
        }
        markSignedInLocally();
        m_hooks.appendLog(QStringLiteral("Refreshed local auth context."));
        co_return;
    }
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (!baseURL) {
        m_hooks.appendLog(QStringLiteral("Remote sync enabled, but backend URL is invalid."));
        co_return;
    }
    if (!hasUsableCloudSession()) {
        m_hooks.setAuthenticated(false);
        m_hooks.appendLog(QStringLiteral("Remote sync enabled, but no valid access token found."));
        co_return;
    }
    const Result<BL_AuthContext> context = co_await m_apiClient->fetchAuthContext(*baseURL, m_authSession->accessToken);
    if (gone(self))
        co_return;
    if (!context) {
        const QString message = QStringLiteral("Failed to refresh backend auth context: ") + context.errorMessage();
        m_hooks.appendLog(message);
        m_hooks.setLastErrorMessage(message);
        co_return;
    }
    applyRemoteAuthContext(context.value());
    co_await m_hooks.ensureNodeRegistration();
    if (gone(self))
        co_return;
    m_hooks.appendLog(QStringLiteral("Fetched auth context from backend."));
}

void AccountSession::createTeam(const std::optional<QString> &name)
{
    const QString trimmed = name ? Text::trimmed(*name) : QString();
    const QString teamName = trimmed.isEmpty() ? QStringLiteral("Team %1").arg(m_hooks.teams().size() + 1) : trimmed;
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (m_hooks.isFeatureEnabled() && baseURL && hasUsableCloudSession()) {
        auto run
            = [](QPointer<AccountSession> self, QString baseURL, QString token, QString teamName) -> QCoro::Task<> {
            const Result<BL_Team> team = co_await self->m_apiClient->createTeam(baseURL, token, teamName);
            if (gone(self))
                co_return;
            if (!team) {
                self->m_hooks.setLastErrorMessage(
                    QStringLiteral("Failed to create backend team: ") + team.errorMessage());
                self->m_hooks.appendLog(QStringLiteral("Backend team creation failed: ") + team.errorMessage());
                co_return;
            }
            co_await self->refreshAuthContextFromBackend();
            if (!gone(self))
                self->m_hooks.appendLog(QStringLiteral("Created backend team ") + teamName + u'.');
        };
        m_scope.spawnWith(
            [&] { return run(QPointer<AccountSession>(this), *baseURL, m_authSession->accessToken, teamName); });
        return;
    }
    std::optional<QUuid> organizationID;
    if (isUserTeamLogicEnabled())
        organizationID = m_teamStore.ensureDefaultOrganization(QStringLiteral("Personal Org")).id;
    const BL_Team team = m_teamStore.createTeam(teamName, organizationID);
    if (const auto userID = m_hooks.currentUserID())
        m_teamStore.addUser(*userID, team.id, BL_TeamMembershipRole::owner);
    m_teamStore.deduplicateTeamsByName();
    m_hooks.setTeamsAndUsersFromStore(false);
}

// ---- Sign-in, sign-out, callbacks ----

// Without the backend the current user of the team store is signed in, with
// the e-mail address the store knows for it.
void AccountSession::markSignedInLocally()
{
    const std::optional<QUuid> userID = m_hooks.currentUserID();
    std::optional<QString> email;
    for (const BL_User &user : m_hooks.users())
        if (userID && user.id == *userID)
            email = user.email;
    m_hooks.setCurrentUserEmail(email);
    m_hooks.setAuthenticated(true);
    qCDebug(lcState) << "signed in locally";
}

void AccountSession::installBackendSession(const BL_GoogleAuthExchangeResult &result)
{
    m_authSession = result.session;
    // A failure leaves the session in memory for this run.
    if (const Result<void> saved = m_sessionStore->save(result.session); !saved)
        qCWarning(lcState) << "the backend session is kept for this run only; storing it failed:"
                           << storeFailure(saved.error());
    applyRemoteAuthContext(result.context);
    m_hooks.setNodeType(BL_NodeType::mainNode);
}

QCoro::Task<> AccountSession::startGoogleSignIn()
{
    QPointer<AccountSession> self(this);
    if (!m_hooks.isFeatureEnabled()) {
        if (!m_hooks.currentUserID()) {
            const BL_User user = m_teamStore.ensureDefaultUser(QStringLiteral("You"));
            m_hooks.setCurrentUserID(user.id);
            m_hooks.setUsers(m_teamStore.allUsers());
        }
        markSignedInLocally();
        m_hooks.appendLog(QStringLiteral("Local sign-in completed."));
        co_return;
    }
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (!baseURL) {
        m_hooks.setLastErrorMessage(QStringLiteral("Set a valid backend URL before signing in."));
        m_hooks.appendLog(QStringLiteral("Sign-in blocked: backend URL missing/invalid."));
        co_return;
    }
    const QString clientID = Text::trimmed(m_hooks.googleOAuthClientIDString());
    if (clientID.isEmpty()) {
        m_hooks.setLastErrorMessage(QStringLiteral("Google OAuth Client ID is required."));
        m_hooks.appendLog(QStringLiteral("Sign-in blocked: Google OAuth Client ID missing."));
        co_return;
    }
    const std::optional<QString> clientSecret = m_defaults.string(googleOAuthClientSecretKey);
    const Result<NativeGoogleSignInResult> signedIn
        = co_await m_signInService->signIn(clientID, clientID, clientSecret);
    if (gone(self))
        co_return;
    std::optional<Result<BL_GoogleAuthExchangeResult>> exchanged;
    if (signedIn.ok()) {
        exchanged = co_await m_apiClient->exchangeGoogleNativeIDToken(*baseURL, signedIn->idToken);
        if (gone(self))
            co_return;
    }
    const QString failure
        = !signedIn.ok() ? signedIn.errorMessage() : (!exchanged->ok() ? exchanged->errorMessage() : QString());
    if (!signedIn.ok() || !exchanged->ok()) {
        m_hooks.setLastErrorMessage(failure);
        m_hooks.appendLog(QStringLiteral("Sign-in failed: ") + failure);
        co_return;
    }
    installBackendSession(exchanged->value());
    m_hooks.appendLog(QStringLiteral("Backend session created via native Google sign-in."));
    co_await m_hooks.ensureNodeRegistration();
    if (gone(self))
        co_return;
    co_await m_hooks.pollRemoteTasks(QStringLiteral("sign-in"));
}

QCoro::Task<> AccountSession::signOut()
{
    QPointer<AccountSession> self(this);
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (m_hooks.isFeatureEnabled() && baseURL && hasUsableCloudSession()) {
        co_await m_apiClient->logout(*baseURL, m_authSession->accessToken); // its outcome does not matter
        if (gone(self))
            co_return;
    }
    m_signInService->signOut();
    if (const Result<void> cleared = m_sessionStore->clear(); !cleared)
        qCWarning(lcState) << "the stored backend session could not be removed:" << storeFailure(cleared.error());
    m_authSession.reset();
    m_authContext.reset();
    m_hooks.setAuthenticated(false);
    m_hooks.setCurrentUserEmail(std::nullopt);
    m_hooks.forgetNodeRegistration();
    qCDebug(lcState) << "signed out";
    m_hooks.appendLog(QStringLiteral("Signed out."));
}

QCoro::Task<> AccountSession::handleIncomingURL(QUrl url)
{
    // The query may carry codes and tokens: it never reaches the log.
    m_hooks.appendLog(QStringLiteral("Received callback URL: ")
        + url.adjusted(QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo).toString());
    QPointer<AccountSession> self(this);
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (!m_hooks.isFeatureEnabled() || !baseURL)
        co_return;
    // Only the answer to a sign-in the user started here is exchanged.
    const QString state = QUrlQuery(url).queryItemValue(QStringLiteral("state"), QUrl::FullyDecoded);
    const std::optional<QString> pending = m_signInService->pendingState();
    if (state.isEmpty() || !pending || state != *pending) {
        m_hooks.appendLog(QStringLiteral("Ignored an opened URL that answers no sign-in in progress."));
        co_return;
    }
    const Result<BL_GoogleAuthExchangeResult> exchanged
        = co_await m_apiClient->exchangeGoogleCallback(*baseURL, url.toString(QUrl::FullyEncoded));
    if (gone(self))
        co_return;
    if (!exchanged) {
        const QString message = QStringLiteral("OAuth callback exchange failed: ") + exchanged.errorMessage();
        m_hooks.appendLog(message);
        m_hooks.setLastErrorMessage(message);
        co_return;
    }
    installBackendSession(exchanged.value());
    m_hooks.appendLog(QStringLiteral("OAuth callback exchanged successfully."));
    co_await m_hooks.ensureNodeRegistration();
    if (gone(self))
        co_return;
    co_await m_hooks.pollRemoteTasks(QStringLiteral("oauth-callback"));
}

// ---- Invites ----

QCoro::Task<> AccountSession::createInvite(
    QUuid teamID, QString email, BL_TeamMembershipRole role, qint64 expiresInHours)
{
    const QString normalized = Text::trimmed(email).toLower();
    if (normalized.isEmpty())
        co_return;
    QPointer<AccountSession> self(this);
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (m_hooks.isFeatureEnabled() && baseURL && hasUsableCloudSession()) {
        const Result<BL_Invite> invite = co_await m_apiClient->createInvite(
            *baseURL, m_authSession->accessToken, teamID, normalized, role, expiresInHours);
        if (gone(self))
            co_return;
        if (invite) {
            m_hooks.setLastCreatedInvite(invite.value());
            m_hooks.appendLog(QStringLiteral("Created backend invite for ") + normalized + u'.');
            co_return;
        }
        const QString message = QStringLiteral("Backend invite creation failed: ") + invite.errorMessage();
        m_hooks.appendLog(message);
        m_hooks.setLastErrorMessage(message);
    }
    co_await createInviteLocally(teamID, normalized, role, expiresInHours);
}

QCoro::Task<> AccountSession::createInviteLocally(
    QUuid teamID, QString email, BL_TeamMembershipRole role, qint64 expiresInHours)
{
    std::optional<QUuid> organizationID = m_teamStore.organizationIDForTeam(teamID);
    if (!organizationID) {
        const QList<BL_Organization> organizations = m_teamStore.allOrganizations();
        organizationID = organizations.isEmpty()
            ? m_teamStore.ensureDefaultOrganization(QStringLiteral("Personal Org")).id
            : organizations.first().id;
    }
    const qint64 hours = std::max<qint64>(expiresInHours, 1);
    BL_Invite invite = m_teamStore.createInvite(*organizationID, teamID, role, email, double(hours) * 3600.0);
    QString base = Text::trimmed(m_hooks.backendBaseURLString());
    while (base.endsWith(u'/')) // "https://host/" must not give "https://host//invite"
        base.chop(1);
    invite.inviteURL = base.isEmpty() ? invite.token : base + QStringLiteral("/invite?token=") + invite.token;
    m_hooks.setLastCreatedInvite(invite);
    m_hooks.appendLog(QStringLiteral("Created invite for ") + email + u'.');
    co_return;
}

QCoro::Task<> AccountSession::acceptInvite(QString token)
{
    const QString trimmed = Text::trimmed(token);
    if (trimmed.isEmpty())
        co_return;
    QPointer<AccountSession> self(this);
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (m_hooks.isFeatureEnabled() && baseURL && hasUsableCloudSession()) {
        const Result<BL_AuthContext> context
            = co_await m_apiClient->acceptInvite(*baseURL, m_authSession->accessToken, trimmed);
        if (gone(self))
            co_return;
        if (context) {
            applyRemoteAuthContext(context.value());
            m_hooks.appendLog(QStringLiteral("Backend invite accepted."));
            co_await m_hooks.pollRemoteTasks(QStringLiteral("invite-accept"));
            co_return;
        }
        const QString message = QStringLiteral("Backend invite accept failed: ") + context.errorMessage();
        m_hooks.appendLog(message);
        m_hooks.setLastErrorMessage(message);
    }
    acceptInviteLocally(trimmed);
}

void AccountSession::acceptInviteLocally(const QString &token)
{
    if (!m_hooks.currentUserID()) {
        const BL_User user = m_teamStore.ensureDefaultUser(QStringLiteral("You"));
        m_hooks.setCurrentUserID(user.id);
    }
    const QUuid userID = *m_hooks.currentUserID();
    const auto accepted = m_teamStore.acceptInvite(token, userID, m_hooks.currentUserEmail());
    if (!accepted) {
        m_hooks.appendLog(QStringLiteral("Invite accept failed."));
        return;
    }
    m_teamStore.deduplicateTeamsByName();
    m_hooks.setTeamsAndUsersFromStore(true);
    m_hooks.setAuthenticated(true);
    m_hooks.appendLog(QStringLiteral("Invite accepted."));
}
