#pragma once

#include "cloud/AuthSessionStore.h"
#include "cloud/NativeGoogleSignInService.h"
#include "cloud/TessaronAPIClient.h"
#include "common/CoroutineScope.h"
#include "common/TimePoint.h"
#include "model/BL_Auth.h"
#include "model/BL_Invite.h"
#include "model/BL_Team.h"
#include "model/BL_Workspace.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QUrl>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

class SettingsStore;
class TeamProjectStore;

// The account of one installation: the backend session and the account
// context it answered, the backend client and the Google sign-in, with the
// local fallbacks over the team store when remote sync is off or no session
// is usable. It also decides which workspaces the current user may see. The
// published fields (signed in, the user, the teams, the last invite …) stay
// with the state and are set through the hooks. It lives on the main thread.
class AccountSession final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AccountSession)

public:
    // The optional Google client secret ("tessaron.googleOAuthClientSecret.v1").
    static inline const QString googleOAuthClientSecretKey = QStringLiteral("tessaron.googleOAuthClientSecret.v1");

    // What the account reaches of the rest of the state.
    struct Hooks
    {
        // appendLog(line): adds a line to the account debug log.
        std::function<void(const QString &)> appendLog;
        // setLastErrorMessage(text): publishes the error the user sees.
        std::function<void(const QString &)> setLastErrorMessage;
        // isFeatureEnabled(): the remote sync switch.
        std::function<bool()> isFeatureEnabled;
        // isClientNodeMode(): the installation runs as a client node.
        std::function<bool()> isClientNodeMode;
        // backendBaseURLString(): the backend address as the user typed it.
        std::function<QString()> backendBaseURLString;
        // setBackendBaseURLString(value): publishes the backend address.
        std::function<void(const QString &)> setBackendBaseURLString;
        // googleOAuthClientIDString(): the Google client id as typed.
        std::function<QString()> googleOAuthClientIDString;
        // setGoogleOAuthClientIDString(value): publishes the Google client id.
        std::function<void(const QString &)> setGoogleOAuthClientIDString;
        // setAuthenticated(on): publishes whether the user is signed in.
        std::function<void(bool)> setAuthenticated;
        // currentUserEmail(): the signed-in user's address.
        std::function<std::optional<QString>()> currentUserEmail;
        // setCurrentUserEmail(email): publishes the signed-in user's address.
        std::function<void(const std::optional<QString> &)> setCurrentUserEmail;
        // currentUserID(): the current user.
        std::function<std::optional<QUuid>()> currentUserID;
        // setCurrentUserID(id): publishes the current user.
        std::function<void(const std::optional<QUuid> &)> setCurrentUserID;
        // users(): the published users.
        std::function<QList<BL_User>()> users;
        // setUsers(users): publishes the users.
        std::function<void(const QList<BL_User> &)> setUsers;
        // teams(): the published teams.
        std::function<QList<BL_Team>()> teams;
        // setTeams(teams): publishes the teams.
        std::function<void(const QList<BL_Team> &)> setTeams;
        // selectedTeamID(): the team the window shows.
        std::function<std::optional<QUuid>()> selectedTeamID;
        // setSelectedTeamID(id): selects a team.
        std::function<void(const std::optional<QUuid> &)> setSelectedTeamID;
        // projects(): the registered workspaces, in order.
        std::function<QList<BL_Workspace>()> projects;
        // activeProjectID(): the selected workspace.
        std::function<std::optional<QUuid>()> activeProjectID;
        // setActiveProjectID(id): selects a workspace and remembers it.
        std::function<void(const std::optional<QUuid> &)> setActiveProjectID;
        // setLastCreatedInvite(invite): publishes the invite just made.
        std::function<void(const std::optional<BL_Invite> &)> setLastCreatedInvite;
        // setTeamsAndUsersFromStore(includeUsers): republishes the team store's teams (and users).
        std::function<void(bool)> setTeamsAndUsersFromStore;
        // setNodeType(type): changes and stores the installation's role.
        std::function<void(const std::optional<BL_NodeType> &)> setNodeType;
        // forgetNodeRegistration(): the node must register with the backend again.
        std::function<void()> forgetNodeRegistration;
        // ensureNodeRegistration(): registers the node with the backend when it must.
        std::function<QCoro::Task<bool>()> ensureNodeRegistration;
        // pollRemoteTasks(reason): pushes and pulls every workspace's tasks.
        std::function<QCoro::Task<>(QString)> pollRemoteTasks;
    };

    // `defaults` holds the account's settings; `teamStore` the local
    // organisation graph. The backend client and the sign-in are made here
    // from their options.
    AccountSession(const Clock &clock, SettingsStore &defaults, TeamProjectStore &teamStore,
        std::unique_ptr<AuthSessionStore> sessionStore, TessaronAPIClient::Options apiOptions,
        GoogleSignInOptions signInOptions, Hooks hooks, QObject *parent = nullptr);
    ~AccountSession() override;

    // Takes the stored session of the last run; true when it is usable.
    bool loadStoredSession();

    const std::optional<BL_AuthSession> &authSession() const { return m_authSession; }
    const std::optional<BL_AuthContext> &authContext() const { return m_authContext; }
    TessaronAPIClient &apiClient() { return *m_apiClient; }
    NativeGoogleSignInService &signInService() { return *m_signInService; }

    // ---- Access of the current user ----
    // The flag "feature.userTeamAuthV1"; stored as on when missing.
    bool isUserTeamLogicEnabled() const;
    // The backend's API root ("…/v1"); nothing when the address is unusable.
    std::optional<QString> resolvedBackendAPIBaseURL() const;
    // A session whose access token is still valid.
    bool hasUsableCloudSession() const;
    // The workspaces of the teams the current user is in (all teams without one).
    QSet<QUuid> userTeamProjectIDs() const;
    // Without team logic or a current user everything; else the owner or a
    // member of one of the workspace's teams.
    bool canCurrentUserAccess(const QUuid &projectID) const;
    // The workspaces the sidebar shows for the selected team.
    QList<BL_Workspace> projectsForSelectedTeam() const;
    int myTeamsWorkspaceCount() const;
    int projectCount(const QUuid &teamID) const;
    // Every workspace in a team with an owner; the default organisation,
    // team and user exist; the selections point at what is left.
    void ensureDefaultTeamAssignments();

    // ---- The backend account ----
    void updateGoogleOAuthClientID(const QString &value);
    void updateBackendBaseURL(const QString &value);
    // Installs an account context the backend answered.
    void applyRemoteAuthContext(const BL_AuthContext &context);
    QCoro::Task<> refreshAuthContextFromBackend();
    void createTeam(const std::optional<QString> &name);
    QCoro::Task<> startGoogleSignIn();
    QCoro::Task<> signOut();
    QCoro::Task<> handleIncomingURL(QUrl url);
    QCoro::Task<> createInvite(QUuid teamID, QString email, BL_TeamMembershipRole role, qint64 expiresInHours);
    QCoro::Task<> acceptInvite(QString token);

private:
    void markSignedInLocally();
    void installBackendSession(const BL_GoogleAuthExchangeResult &result);
    QCoro::Task<> createInviteLocally(QUuid teamID, QString email, BL_TeamMembershipRole role, qint64 expiresInHours);
    void acceptInviteLocally(const QString &token);
    // Set once the object is being destroyed: a reply ended by the teardown
    // must not reach the state any more.
    static bool gone(const QPointer<AccountSession> &self) { return !self || self->m_closing; }

    const Clock &m_clock;
    SettingsStore &m_defaults;
    TeamProjectStore &m_teamStore;
    Hooks m_hooks;
    std::unique_ptr<AuthSessionStore> m_sessionStore;
    std::unique_ptr<TessaronAPIClient> m_apiClient;
    std::unique_ptr<NativeGoogleSignInService> m_signInService;
    std::optional<BL_AuthSession> m_authSession;
    std::optional<BL_AuthContext> m_authContext;
    bool m_closing = false;

    CoroutineScope m_scope {QStringLiteral("accounts")};
};
