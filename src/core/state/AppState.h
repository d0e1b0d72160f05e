#pragma once

#include "agents/AgentEngine.h"
#include "agents/BrimlockSessionTerminator.h"
#include "agents/WorkerPool.h"
#include "agenttools/BrimlockHealthRunner.h"
#include "agenttools/CodexBarUsageRunner.h"
#include "agenttools/HealthCheckAppState.h"
#include "agenttools/HealthCheckResult.h"
#include "agenttools/ModelUsageAppState.h"
#include "agenttools/ModelUsageSnapshot.h"
#include "board/SystemEventWatcher.h"
#include "board/TaskBoardStore.h"
#include "cloud/AuthSessionStore.h"
#include "cloud/NativeGoogleSignInService.h"
#include "cloud/TessaronAPIClient.h"
#include "common/Logging.h"
#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BLEventBus.h"
#include "model/BL_Auth.h"
#include "model/BL_Invite.h"
#include "model/BL_Team.h"
#include "model/BL_Workspace.h"
#include "model/BoardTaskLookup.h"
#include "model/NotificationManager.h"
#include "node/LocalTaskViewerServer.h"
#include "node/LocalViewerRecords.h"
#include "platform/SettingsStore.h"
#include "state/AppSettings.h"
#include "state/ApplicationActivity.h"
#include "state/LocalViewerOptions.h"
#include "state/TaskCreation.h"
#include "state/TaskLogWriter.h"
#include "state/WebPreviewController.h"
#include "state/WorkspaceRegistry.h"
#include "storage/DatabaseServiceProtocol.h"
#include "storage/LocalFileSystemService.h"
#include "storage/ProjectBookmarkStore.h"
#include "storage/TaskGitCheckpointService.h"
#include "storage/TeamProjectStore.h"

#include <QCoroFuture>
#include <QCoroTask>
#include <QFuture>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QTimer>
#include <QUuid>
#include <memory>
#include <optional>

class AccountSession;
class BoardActions;
class CloudSync;
class DelegationCoordinator;
class HealthUsageMonitor;
class LocalViewerHost;
class TaskCheckpointCoordinator;
class UserNotificationCenter;

// What the application state is built with besides its settings store and
// session terminator. Every member has a default for the running program;
// tests replace what they need.
struct AppStateOptions
{
    // The application data directory; default: the agent tool runtime's.
    std::optional<QString> dataDirectory;
    // The standard settings store that the bookmark store reads (always the
    // standard one, never the injected store); default: the app's own file.
    SettingsStore *standardDefaults = nullptr;
    // The older product's settings suite "Quillstead"; default: its file.
    SettingsStore *legacyDefaults = nullptr;
    std::unique_ptr<UserNotificationCenter> notificationCenter; // default: desktop notifications
    std::unique_ptr<AuthSessionStore> sessionStore; // default: signed out
    AgentEngine::RunnerParts runnerParts; // default: the real decision engine and shell
    const Clock *clock = nullptr; // default: the system clock
    NotificationManager::LineSink notificationOutput; // default: standard output
    // How the health checks and the model-usage read find and run their
    // tools. A batch may outlive the state, so their clocks are their own.
    HealthCheckOptions healthChecks;
    CodexBarUsageOptions modelUsage;
    // The cloud: the backend client's time-outs and size cap, the Google
    // sign-in's endpoints, browser and time-outs, and whether the
    // application is active and has a window (main.cpp fills these from the
    // GUI; without a GUI it counts as active with a window).
    TessaronAPIClient::Options apiClient;
    GoogleSignInOptions googleSignIn;
    ApplicationActivity activity;
};

// The single root object: builds and owns every long-lived service, holds the
// state the window draws and runs start-up, the workspace registry and the
// task actions. It lives on the main thread; every operation runs there.
class AppState final : public QObject, public BoardTaskLookup, public HealthCheckAppState, public ModelUsageAppState
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AppState)

public:
    // The published fields; `changed` names the one that changed.
    enum class Field {
        projects,
        teams,
        users,
        currentUserID,
        selectedTeamID,
        activeProjectID,
        taskStores,
        agentCountByProjectID,
        runningWorkerCountByProjectID,
        sharedWorkerPoolSize,
        browserSidebarEnabledProjectIDs,
        browserURLByProjectID,
        browserRefreshTokenByProjectID,
        prefetchedHealth,
        prefetchedModelUsage,
        isLocalTaskViewerRunning,
        backendBaseURLString,
        googleOAuthClientIDString,
        isAuthenticated,
        currentUserEmail,
        remoteSyncFeatureEnabled,
        currentNodeType,
        clientNode,
        oauthDebugLogText,
        lastCreatedInvite,
        lastErrorMessage,
        remoteLastSyncAt,
    };
    Q_ENUM(Field)

    // Constants of the installation.
    static constexpr int validationWorkerPoolSize = 4;
    static constexpr double workerClaimMonitorInterval = 5.0;
    static constexpr double workerClaimTimeout = 120.0;
    static constexpr double healthSnapshotRefreshInterval = 180.0;
    static constexpr double remotePollInterval = 15.0;
    static constexpr double clientNodePollInterval = 2.0;
    static constexpr double remotePollBackoffMaxInterval = 300.0;
    static constexpr double remotePollInactiveInterval = 45.0;
    static constexpr double clientNodePollBackoffMaxInterval = 60.0;
    static constexpr double clientNodePollInactiveInterval = 8.0;
    static constexpr double clientNodeRequestTimeout = 8.0;
    static constexpr double clientNodeSyncTimeout = 18.0;
    static constexpr int clientNodeRetryAttempts = 2;
    static constexpr int defaultClientNodePort = 18789;
    static inline const QString managedWorkspacesDirectoryName = WorkspaceRegistry::managedWorkspacesDirectoryName;

    AppState(SettingsStore &defaults, std::unique_ptr<BrimlockSessionTerminating> sessionTerminator,
        AppStateOptions options = {});
    ~AppState() override;

    // ---- Construction helpers ----
    // The task database: the SQLite file "tessaron.sqlite" in the data
    // directory, or silently an empty in-memory store.
    static std::unique_ptr<DatabaseServiceProtocol> makeDatabaseService(const QString &dataDirectory);
    // The data directory, created when missing; fails when it cannot be made.
    Result<QString> tessaronAppSupportDirectoryURL() const;

    // ---- Settings ----
    AppSettings &settings() { return m_settings; }
    QString persistentNodeInstanceID() { return m_settings.persistentNodeInstanceID(); }
    void appendOAuthLog(const QString &message);

    // ---- Start-up ----
    // Prepares the database, restores the remembered workspaces, repairs and
    // prefetches, creates a first workspace on an empty installation.
    QCoro::Task<> bootstrap();

    // ---- Workspace registry ----
    QCoro::Task<> initializeNewProject(QString folderPath);
    QCoro::Task<> importExistingProject(QString folderPath);
    void removeProject(const QUuid &projectID);
    void selectNextWorkspace();
    void selectPreviousWorkspace();
    std::optional<BL_Workspace> activeProject() const;
    QString workspaceStatusText() const;
    // Sets the selected workspace and stores it as the last viewed one.
    void setActiveProjectID(const std::optional<QUuid> &projectID);
    // The folder of managed workspaces, created when missing.
    Result<QString> managedWorkspaceRootDirectoryURL() const;

    // ---- Web preview ----
    QString browserURL(const QUuid &projectID) const;
    void setBrowserURL(const QString &address, const QUuid &projectID);
    void toggleBrowserSidebar(const QUuid &projectID);
    void setBrowserSidebarVisible(bool visible, const QUuid &projectID);
    bool isVisibleBrowserSidebarForActiveProject() const;
    bool refreshVisibleBrowserSidebarForActiveProject();
    void requestBrowserRefreshIfVisible(const QUuid &projectID);

    // ---- Accounts, teams and node role (the local parts) ----
    bool isUserTeamLogicEnabled();
    bool isClientNodeMode() const override { return m_currentNodeType == BL_NodeType::clientNode; }
    std::optional<QString> resolvedBackendAPIBaseURL() const;
    QList<BL_Workspace> projectsForSelectedTeam() const;
    void ensureDefaultTeamAssignments();
    bool shouldAttemptRemotePoll(const QString &reason);
    bool shouldAttemptClientNodeSync(const QString &reason);
    void setCurrentNodeType(const std::optional<BL_NodeType> &nodeType);
    int myTeamsWorkspaceCount();
    int projectCount(const QUuid &teamID);

    // ---- Cloud accounts (AppStateAccounts.cpp) ----
    void updateGoogleOAuthClientID(const QString &value);
    void updateBackendBaseURL(const QString &value);
    QCoro::Task<> refreshAuthContextFromBackend();
    // A new team: on the backend with a usable cloud session, else in the
    // local team store with the current user as owner. A blank or missing
    // name becomes "Team <count + 1>".
    void createTeam(const std::optional<QString> &name);
    QCoro::Task<> startGoogleSignIn();
    QCoro::Task<> signOut();
    QCoro::Task<> handleIncomingURL(QUrl url);
    QCoro::Task<> createInvite(QUuid teamID, QString email, BL_TeamMembershipRole role, qint64 expiresInHours);
    QCoro::Task<> acceptInvite(QString token);
    void clearOAuthDebugLog();
    // The optional Google client secret ("tessaron.googleOAuthClientSecret.v1").
    static inline const QString googleOAuthClientSecretKey = QStringLiteral("tessaron.googleOAuthClientSecret.v1");

    // ---- Cloud sync and node (AppStateSync.cpp) ----
    void setRemoteTaskSyncFeatureEnabled(bool enabled);
    QCoro::Task<> pollRemoteTasksAcrossProjects(QString reason);
    void recordRemotePollOutcome(bool success, const QString &reason);
    QCoro::Task<bool> ensureNodeRegistrationIfNeeded();
    QCoro::Task<> emitHeartbeatFromHealthCheck(QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt);
    QCoro::Task<bool> ensureRemoteProjectAccessible(BL_Workspace project);
    QCoro::Task<> emitLocalProjectStateToRemote(QUuid projectID);
    QCoro::Task<Result<QUuid>> upsertRemoteTaskForLocalTask(
        BL_Task task, QUuid projectID, QString baseURL, QString accessToken);
    QCoro::Task<bool> importRemoteTasksIntoLocalProject(QUuid projectID, QString reason);
    // The backend task under its local id, recording the pair; "local_task_id"
    // counts only when no board knows that id or this workspace's does.
    BL_Task remapRemoteTaskToLocal(const BL_Task &remote, const QUuid &projectID);
    static QString taskDigest(const BL_Task &task);
    static QJsonObject taskPayloadForRemote(const BL_Task &task) { return task.uploadBody(); }
    // Asks the backend to delete the backend copy of a task being deleted
    // here (with a usable session); call before its sync entries go.
    void requestRemoteTaskDeletion(const QUuid &projectID, const QUuid &taskID);
    // The pulled copy that replaces a local task keeps what uploads never carry.
    static BL_Task mergedPulledTask(const BL_Task &pulled, const BL_Task &local);

    // ---- Task actions ----
    // Builds, shows, stores and announces a new task; a queued one is
    // delegated at once while the pool has room.
    void createTask(const TaskCreationRequest &request);

    // ---- Board actions on tasks ----
    // Publishes the worker's completion; the engine and task tracking finish
    // the task within the publication. A client node moves it to completed.
    void markWorkerDone(const QUuid &taskID, const QUuid &projectID);
    // Moves the card, stores it and asks for the checkpoint of the target
    // column. Starts or cancels no worker run itself.
    void moveTask(const QUuid &taskID, BL_TaskStatus status, const QUuid &projectID);
    // Cancels a task in progress ("task-card-close"), deletes any other.
    void closeTaskFromBoard(const QUuid &taskID, const QUuid &projectID);
    // Ends the agent session and the run of a task in progress (a task in any
    // other column is deleted instead). Returns at once; the kill finishes on
    // the main thread later and fails the task, or reports why it could not.
    void cancelRunningTask(const QUuid &taskID, const QUuid &projectID, const QString &source);
    // Takes the task off the board and out of the database; its logs and
    // patch stay on disk and a running worker is left alone.
    void deleteTask(const QUuid &taskID, const QUuid &projectID);
    // Deletes every completed and failed task of the workspace.
    void clearDoneTasks(const QUuid &projectID);
    // Tasks whose cancellation is running.
    const QSet<QUuid> &cancellationInFlightTaskIDs() const;

    // ---- Task git checkpoints ----
    // The task's detail sheet opened: a task in progress gets its start
    // checkpoint, an ended one its pending diff finished.
    void reconcileTaskGitCheckpointIfNeeded(const QUuid &taskID, const QUuid &projectID);
    // An ended (completed or failed) task whose stored diff is still pending
    // gets its end checkpoint.
    void maybeFinalizePendingTaskGitDiffIfNeeded(const QUuid &taskID, const QUuid &projectID);
    // The service the captures run over, writing under the data directory.
    TaskGitCheckpointService taskGitCheckpointService() const;
    // Tasks whose start / end capture is being prepared or running.
    const QSet<QUuid> &gitBeforeCheckpointInFlightTaskIDs() const;
    const QSet<QUuid> &gitAfterCheckpointInFlightTaskIDs() const;

    // ---- Health and usage snapshot ----
    // Once per process: the health snapshot and the model usage, read in the
    // background so the sidebar and the pages have them when they open.
    void prefetchSidebarDataIfNeeded();
    // Runs the health checks (a client node pings its main node) and stores
    // them as the snapshot; a request while a refresh runs is dropped.
    QCoro::Task<> refreshHealthSnapshot();
    // Stores a batch as the snapshot, replacing the previous one whole.
    QCoro::Task<> applyHealthSnapshot(
        QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt, QString source) override;
    // Nothing without a snapshot; false when any check failed.
    std::optional<bool> latestHealthIsHealthy() const;
    const QList<HealthCheckResult> &prefetchedHealthResults() const;
    const std::optional<TimePoint> &prefetchedHealthLastUpdated() const;
    const std::optional<QList<ModelUsageSnapshot>> &prefetchedModelUsage() const;
    const std::optional<QString> &prefetchedModelErrorMessage() const;
    const std::optional<TimePoint> &prefetchedModelLastUpdated() const;
    bool isRefreshingHealthSnapshot() const;
    // What the checks and the usage read ask of the node sharing. Until the
    // local viewer and the main-node client exist, the viewer never runs and
    // the main node counts as not configured.
    QCoro::Task<ClientNodePing> checkClientNodePing() override;
    QCoro::Task<ModelUsageAPIResponse> fetchClientNodeModelUsage() override;
    std::optional<QUrl> localTaskViewerURL() const override;

    // ---- Delegation and worker accounting ----
    void requestDelegation(const QUuid &taskID, const QUuid &projectID, const QString &source);
    void refreshWorkerStats(const QUuid &projectID);
    void refreshWorkerStatsForAllProjects();
    void scheduleReadyTasksAcrossWorkspaces();
    void reconcileRunningAssignments(const QUuid &projectID);
    // Re-queues every delegation that no worker claimed within 120 s.
    void reconcilePendingWorkerClaims();
    void setWorkerPoolSize(const QUuid &projectID, qint64 requestedSize);

    // ---- Published state ----
    const QList<BL_Workspace> &projects() const { return m_projects; }
    const QList<BL_Team> &teams() const { return m_teams; }
    const QList<BL_User> &users() const { return m_users; }
    const std::optional<QUuid> &currentUserID() const { return m_currentUserID; }
    void setCurrentUserID(const std::optional<QUuid> &userID);
    const std::optional<QUuid> &selectedTeamID() const { return m_selectedTeamID; }
    void setSelectedTeamID(const std::optional<QUuid> &teamID);
    const std::optional<QUuid> &activeProjectID() const { return m_activeProjectID; }
    TaskBoardStore *taskStore(const QUuid &projectID) const;
    QList<QUuid> taskStoreIDs() const { return m_taskStores.keys(); }
    const QHash<QUuid, qint64> &agentCountByProjectID() const { return m_agentCountByProjectID; }
    const QHash<QUuid, qint64> &runningWorkerCountByProjectID() const { return m_runningWorkerCountByProjectID; }
    qint64 sharedWorkerPoolSize() const { return m_sharedWorkerPoolSize; }
    const QSet<QUuid> &browserSidebarEnabledProjectIDs() const { return m_preview->sidebarEnabledProjectIDs(); }
    const QHash<QUuid, QString> &browserURLByProjectID() const { return m_preview->urlByProjectID(); }
    const QHash<QUuid, qint64> &browserRefreshTokenByProjectID() const { return m_preview->refreshTokenByProjectID(); }
    bool isLocalTaskViewerRunning() const override { return m_isLocalTaskViewerRunning; }
    bool hasAttemptedLocalServerStart() const override;
    const QString &backendBaseURLString() const { return m_backendBaseURLString; }
    const QString &googleOAuthClientIDString() const { return m_googleOAuthClientIDString; }
    bool isAuthenticated() const { return m_isAuthenticated; }
    const std::optional<QString> &currentUserEmail() const { return m_currentUserEmail; }
    bool remoteSyncFeatureEnabled() const { return m_remoteSyncFeatureEnabled; }
    const std::optional<BL_NodeType> &currentNodeType() const { return m_currentNodeType; }
    const QString &clientNodeHost() const { return m_clientNodeHost; }
    qint64 clientNodePort() const { return m_clientNodePort; }
    const QString &clientNodeAccessToken() const { return m_clientNodeAccessToken; }
    const QString &oauthDebugLogText() const { return m_oauthDebugLogText; }
    const std::optional<QString> &lastErrorMessage() const { return m_lastErrorMessage; }
    const std::optional<BL_Invite> &lastCreatedInvite() const { return m_lastCreatedInvite; }
    const std::optional<TimePoint> &remoteLastSyncAt() const { return m_remoteLastSyncAt; }
    const std::optional<BL_AuthContext> &authContext() const;
    bool isRemotePollInFlight() const;
    int remotePollFailureCount() const;
    TimePoint nextRemotePollAllowedAt() const;
    bool hasRegisteredNodeRemotely() const;
    const QHash<QUuid, QUuid> &remoteTaskIDByLocalTaskID() const;
    const QHash<QUuid, QString> &lastEmittedTaskDigestByLocalTaskID() const;
    const QSet<QUuid> &projectIDsRegisteredRemotely() const;
    TessaronAPIClient &apiClient();
    NativeGoogleSignInService &signInService();
    void setLastErrorMessage(const std::optional<QString> &message);
    bool hasPrefetchedSidebarData() const;

    // ---- Owned services ----
    BLEventBus &eventBus() const { return m_eventBus; }
    const QUuid &managerID() const { return m_managerID; }
    WorkerPool &workerPool() { return *m_workerPool; }
    AgentEngine &agentEngine() { return *m_agentEngine; }
    SystemEventWatcher &systemWatcher() { return *m_systemWatcher; }
    DatabaseServiceProtocol &database() { return *m_database; }
    ProjectBookmarkStore &bookmarkStore() { return *m_bookmarkStore; }
    TeamProjectStore &teamStore() { return *m_teamStore; }
    const LocalFileSystemService &fileSystem() const { return m_fileSystem; }
    BrimlockSessionTerminating &sessionTerminator() { return *m_sessionTerminator; }
    NotificationManager *notificationManager() const { return m_notificationManager.get(); }
    TaskLogWriter &taskLogWriter() { return *m_taskLogWriter; }
    const QString &dataDirectory() const { return m_dataDirectory; }
    const std::optional<BL_AuthSession> &authSession() const;
    bool hasWatcher(const QUuid &projectID) const;
    const Clock &clock() const { return *m_clock; }

    // BoardTaskLookup: the board's current copy of a task.
    std::optional<BL_Task> boardTask(const QUuid &workspaceID, const QUuid &taskID) const override;

    // The six agents every worker pool starts with.
    static QList<BL_Agent> makeDefaultAgents(TimePoint now);

    // ---- Local viewer: the board server and its web bridge ----
    // Replaces the ports, tokens and time-outs the viewer uses (tests).
    void setLocalViewerOptions(LocalViewerOptions options);
    // The server runs only when the user asks for it.
    void startLocalTaskViewerServerIfNeeded();
    void ensureLocalTaskViewerServerStarted();
    void stopLocalTaskViewerServer();
    void regenerateLocalTaskViewerToken();
    LocalTaskViewerServer *localTaskViewerServer() const;
    qint64 localTaskViewerServerGeneration() const;
    const std::optional<QString> &pendingLocalTaskViewerToken() const;
    // The server's stop report, on the main thread: counts only for the
    // generation the server was made in.
    void handleLocalTaskViewerStopReport(qint64 generation);
    // http://localhost:<port>/?token=<token> while a server has a port.
    std::optional<QUrl> localTaskViewerShareURL() const;
    // The server's handlers: each reaches this state on the main thread
    // through a weak reference and answers its fallback when it is gone.
    LocalViewerHandlers makeLocalViewerHandlers();

    // Board reads. The log tails and patches are read off the main thread.
    QFuture<QList<LocalViewer::TaskSummary>> webTaskSummaries(const std::optional<QUuid> &projectID);
    QFuture<std::optional<LocalViewer::TaskDetailResponse>> webTaskDetails(const QUuid &projectID, const QUuid &taskID);
    QList<LocalViewer::WorkspaceSummary> webWorkspaceSummaries() const;
    // Board changes.
    bool createTaskFromWeb(const LocalViewer::CreateTaskRequest &request);
    QCoro::Task<std::optional<LocalViewer::CreateWorkspaceResponse>> createWorkspaceFromWeb(
        LocalViewer::CreateWorkspaceRequest request);
    // "/usr/bin/env ip neigh show <ip>": the first hardware address printed,
    // lower case; nothing on any failure or after `timeoutMs`. Any thread.
    static std::optional<QString> resolveMACAddress(const QString &ip, int timeoutMs = 2000);

    // ---- Model usage for the local viewer ----
    // Reads the usage afresh (codexbar, or the main node on a client node),
    // stores it as the prefetched usage and answers it. Never fails.
    QCoro::Task<ModelUsageAPIResponse> latestModelUsagePayload();

signals:
    void changed(AppState::Field field);

private:
    // Construction
    void loadSettings();

    // Start-up
    void reconcilePendingTaskGitCheckpoints();

    // Registry (the workspace registry, its watchers and start-up; built by
    // makeWorkspaceRegistry() once the database and the stores exist, ended
    // in ~AppState between the local server and the agent runtime)
    void makeWorkspaceRegistry();
    QCoro::Task<Result<void>> registerWorkspace(QString rootPath, BL_WorkspaceConfig config, QByteArray bookmarkData);
    void setTeamsAndUsersFromStore(bool includeUsers);
    std::unique_ptr<WorkspaceRegistry> m_registry;

    // Task flow
    // The delegation coordinator over this state's services and hooks.
    std::unique_ptr<DelegationCoordinator> makeDelegationCoordinator();
    void scheduleReadyTasksIfCapacity(const QUuid &projectID);
    void persistTask(const BL_Task &task);
    bool cloudSyncConditionHolds() const;
    // Board actions (private)
    // Forgets the task's backend id and last uploaded digest.
    void forgetTaskSyncEntries(const QUuid &taskID);

    // Git checkpoints (private): forwarders for the task flow and start-up
    void captureTaskGitBeforeCheckpoint(const QUuid &taskID, const QUuid &projectID);
    void captureTaskGitAfterCheckpoint(const QUuid &taskID, const QUuid &projectID);

    // Health snapshot (private)
    void logTaskEvent(const BL_Event &event, const BL_Task &task);

    // Preview
    static Field previewField(WebPreviewController::Field field);
    std::optional<QUuid> previewWorkspaceID() const;

    // Accounts (the account session is built by makeAccountSession() once
    // the team store exists; its member sits among the working state so that
    // it outlives the cloud sync that calls its client)
    std::unique_ptr<AccountSession> makeAccountSession(AppStateOptions &options);
    // Forwarder for the task flow's sync condition.
    bool hasUsableCloudSession() const;
    QCoro::Task<> syncFromClientNode(QString reason);
    // Forgets a removed workspace's backend registration and its tasks' entries.
    void forgetProjectSyncEntries(const QUuid &projectID, const QList<QUuid> &taskIDs);
    // The cloud sync over this state's API client, reaching the rest of the
    // state through its hooks.
    std::unique_ptr<CloudSync> makeCloudSync(const ApplicationActivity &activity);

    void publish(Field field)
    {
        qCDebug(lcState) << "changed:" << field;
        emit changed(field);
    }
    // Sets a published field; its signal goes out only when the value changed.
    template<typename T> void assign(T &member, const T &value, Field field)
    {
        if (member == value)
            return;
        member = value;
        publish(field);
    }
    // Changes a published field in place; its signal goes out only when the
    // value differs afterwards.
    template<typename T, typename Mutate> void change(T &member, Field field, Mutate &&mutate)
    {
        const T before = member;
        mutate(member);
        if (!(member == before))
            publish(field);
    }

    // Services
    BLEventBus &m_eventBus;
    QUuid m_managerID;
    const Clock *m_clock;
    LocalFileSystemService m_fileSystem;
    QString m_dataDirectory;
    std::unique_ptr<SettingsStore> m_ownedStandardDefaults;
    std::unique_ptr<SettingsStore> m_ownedLegacyDefaults;
    std::unique_ptr<ProjectBookmarkStore> m_bookmarkStore;
    std::unique_ptr<TeamProjectStore> m_teamStore;
    AppSettings m_settings;
    std::unique_ptr<BrimlockSessionTerminating> m_sessionTerminator;
    std::unique_ptr<TaskLogWriter> m_taskLogWriter;
    std::unique_ptr<WorkerPool> m_workerPool;
    std::unique_ptr<AgentEngine> m_agentEngine;
    std::unique_ptr<SystemEventWatcher> m_systemWatcher;
    std::unique_ptr<DatabaseServiceProtocol> m_database;
    std::unique_ptr<NotificationManager> m_notificationManager;
    // Delegation: requests, the event pipelines with their timers and the
    // accounting of running workers
    std::unique_ptr<DelegationCoordinator> m_delegation;

    // Published state
    QList<BL_Workspace> m_projects;
    QList<BL_Team> m_teams;
    QList<BL_User> m_users;
    std::optional<QUuid> m_currentUserID;
    std::optional<QUuid> m_selectedTeamID;
    std::optional<QUuid> m_activeProjectID;
    QHash<QUuid, std::shared_ptr<TaskBoardStore>> m_taskStores;
    QHash<QUuid, qint64> m_agentCountByProjectID;
    QHash<QUuid, qint64> m_runningWorkerCountByProjectID;
    qint64 m_sharedWorkerPoolSize = 0;
    std::unique_ptr<WebPreviewController> m_preview; // the browser… fields
    bool m_isLocalTaskViewerRunning = false;
    QString m_backendBaseURLString;
    QString m_googleOAuthClientIDString;
    bool m_isAuthenticated = false;
    std::optional<QString> m_currentUserEmail;
    bool m_remoteSyncFeatureEnabled = false;
    std::optional<BL_NodeType> m_currentNodeType;
    QString m_clientNodeHost;
    qint64 m_clientNodePort = 0;
    QString m_clientNodeAccessToken;
    QString m_oauthDebugLogText;
    std::optional<BL_Invite> m_lastCreatedInvite;
    std::optional<QString> m_lastErrorMessage;

    // Working state
    std::optional<TimePoint> m_remoteLastSyncAt;

    // Accounts' working state: the backend session and its context, the
    // backend client and the sign-in (goes after the cloud sync that calls
    // the client, before the team store it uses).
    std::unique_ptr<AccountSession> m_accounts;

    // Cloud sync's working state: the poll's gates, back-off and in-flight
    // flag, node registration and the local/backend task pairs (goes before
    // the API client it calls).
    std::unique_ptr<CloudSync> m_cloudSync;

    // Board actions' working state
    std::unique_ptr<BoardActions> m_boardActions;

    // Git checkpoints' working state
    std::unique_ptr<TaskCheckpointCoordinator> m_checkpoints;

    // Health snapshot's working state
    std::unique_ptr<HealthUsageMonitor> m_health;

    // Local viewer: the board server's host, its lifecycle and web bridge
    // (destroyed first: its handlers reach back into this state)
    std::unique_ptr<LocalViewerHost> makeLocalViewerHost();
    std::unique_ptr<LocalViewerHost> m_localViewer;
};
