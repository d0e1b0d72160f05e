#pragma once

#include "agenttools/HealthCheckResult.h"
#include "cloud/TessaronAPIClient.h"
#include "common/CoroutineScope.h"
#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BL_Auth.h"
#include "model/BL_Task.h"
#include "model/BL_Workspace.h"
#include "state/ApplicationActivity.h"

#include <QCoroTask>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUuid>
#include <functional>
#include <optional>

class TaskBoardStore;

// The cloud sync of one installation: the remote poll with its gate and
// back-off, the client-node sync gate, node registration and heartbeats, the
// push and pull of each workspace's tasks and the bookkeeping that pairs
// local tasks with their backend copies. It lives on the main thread.
class CloudSync final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(CloudSync)

public:
    // How often and how far apart the polls run.
    static constexpr double remotePollInterval = 15.0;
    static constexpr double remotePollBackoffMaxInterval = 300.0;
    static constexpr double remotePollInactiveInterval = 45.0;
    static constexpr double clientNodePollInactiveInterval = 8.0;

    // What the sync reaches of the rest of the state.
    struct Hooks
    {
        // appendLog(line): adds a line to the account and sync debug log.
        std::function<void(const QString &)> appendLog;
        // setFeatureEnabled(on): publishes and stores the remote sync switch.
        std::function<void(bool)> setFeatureEnabled;
        // isFeatureEnabled(): the remote sync switch.
        std::function<bool()> isFeatureEnabled;
        // isClientNodeMode(): the installation runs as a client node.
        std::function<bool()> isClientNodeMode;
        // hasUsableCloudSession(): a session whose access token is still valid.
        std::function<bool()> hasUsableCloudSession;
        // backendBaseURL(): the backend's API root; nothing when unusable.
        std::function<std::optional<QString>()> backendBaseURL;
        // accessToken(): the session's access token; nothing without a session.
        std::function<std::optional<QString>()> accessToken;
        // authContext(): the account context the backend answered last.
        std::function<std::optional<BL_AuthContext>()> authContext;
        // applyAuthContext(context): installs a fetched account context.
        std::function<void(const BL_AuthContext &)> applyAuthContext;
        // refreshAuthContext(): refreshes the account from the backend.
        std::function<QCoro::Task<>()> refreshAuthContext;
        // nodeType(): the role the installation runs in.
        std::function<std::optional<BL_NodeType>()> nodeType;
        // setNodeType(type): changes and stores the role.
        std::function<void(const std::optional<BL_NodeType> &)> setNodeType;
        // currentUserEmail(): the signed-in user's address.
        std::function<std::optional<QString>()> currentUserEmail;
        // nodeInstanceID(): this installation's persistent node id.
        std::function<QString()> nodeInstanceID;
        // selectedTeamID(): the team the window shows.
        std::function<std::optional<QUuid>()> selectedTeamID;
        // projects(): the registered workspaces, in order.
        std::function<QList<BL_Workspace>()> projects;
        // taskStore(projectID): the workspace's board; null when it has none.
        std::function<TaskBoardStore *(const QUuid &)> taskStore;
        // taskStoreIDs(): the workspaces that have a board.
        std::function<QList<QUuid>()> taskStoreIDs;
        // reconcileRunningAssignments(projectID): after a pull changed the board.
        std::function<void(const QUuid &)> reconcileRunningAssignments;
        // persistTask(task): stores a task in the database.
        std::function<void(const BL_Task &)> persistTask;
        // setRemoteLastSyncAt(time): publishes when a poll last ended.
        std::function<void(TimePoint)> setRemoteLastSyncAt;
    };

    CloudSync(TessaronAPIClient &apiClient, const Clock &clock, ApplicationActivity activity, Hooks hooks,
        QObject *parent = nullptr);
    ~CloudSync() override;

    // ---- The switch and the poll ----
    // Stores the switch; turning it on refreshes the account, registers the
    // node and polls ("feature-enabled").
    void setRemoteTaskSyncFeatureEnabled(bool enabled);
    // The gate of a poll; an "interval" poll is spaced by the back-off and,
    // in the background, by 45 seconds, and a verdict that lets one through
    // is handed to the poll it starts.
    bool shouldAttemptRemotePoll(const QString &reason);
    bool shouldAttemptClientNodeSync(const QString &reason);
    // Pushes and pulls every workspace that has a board; one at a time.
    QCoro::Task<> pollRemoteTasksAcrossProjects(QString reason);
    // Counts an "interval" poll's outcome and sets when the next may run.
    void recordRemotePollOutcome(bool success, const QString &reason);
    QCoro::Task<> syncFromClientNode(QString reason);

    // ---- Node registration and heartbeat ----
    QCoro::Task<bool> ensureNodeRegistrationIfNeeded();
    // The node must register again (its role changed, the user signed out).
    void forgetNodeRegistration() { m_hasRegisteredNodeRemotely = false; }
    QCoro::Task<> emitHeartbeatFromHealthCheck(QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt);

    // ---- Push and pull of one workspace ----
    QCoro::Task<bool> ensureRemoteProjectAccessible(BL_Workspace project);
    QCoro::Task<> emitLocalProjectStateToRemote(QUuid projectID);
    QCoro::Task<Result<QUuid>> upsertRemoteTaskForLocalTask(
        BL_Task task, QUuid projectID, QString baseURL, QString accessToken);
    QCoro::Task<bool> importRemoteTasksIntoLocalProject(QUuid projectID, QString reason);
    // The backend task under its local id, recording the pair; "local_task_id"
    // counts only when no board knows that id or this workspace's does.
    BL_Task remapRemoteTaskToLocal(const BL_Task &remote, const QUuid &projectID);
    // What decides whether a task changed since it was last uploaded.
    static QString taskDigest(const BL_Task &task);
    // The pulled copy that replaces a local task keeps what uploads never carry.
    static BL_Task mergedPulledTask(const BL_Task &pulled, const BL_Task &local);
    // Asks the backend to delete the backend copy of a task being deleted
    // here (with a usable session); call before its sync entries go.
    void requestRemoteTaskDeletion(const QUuid &projectID, const QUuid &taskID);

    // ---- Bookkeeping ----
    // Forgets the task's backend id and last uploaded digest.
    void forgetTaskSyncEntries(const QUuid &taskID);
    // Forgets a removed workspace's registration and its tasks' entries.
    void forgetProjectSyncEntries(const QUuid &projectID, const QList<QUuid> &taskIDs);

    bool isRemotePollInFlight() const { return m_isRemotePollInFlight; }
    int remotePollFailureCount() const { return m_remotePollFailureCount; }
    TimePoint nextRemotePollAllowedAt() const { return m_nextRemotePollAllowedAt; }
    bool hasRegisteredNodeRemotely() const { return m_hasRegisteredNodeRemotely; }
    const QHash<QUuid, QUuid> &remoteTaskIDByLocalTaskID() const { return m_remoteTaskIDByLocalTaskID; }
    const QHash<QUuid, QUuid> &localTaskIDByRemoteTaskID() const { return m_localTaskIDByRemoteTaskID; }
    const QHash<QUuid, QString> &lastEmittedTaskDigestByLocalTaskID() const
    {
        return m_lastEmittedTaskDigestByLocalTaskID;
    }
    const QSet<QUuid> &projectIDsRegisteredRemotely() const { return m_projectIDsRegisteredRemotely; }

private:
    TessaronAPIClient &m_apiClient;
    const Clock &m_clock;
    ApplicationActivity m_activity;
    Hooks m_hooks;
    TimePoint m_appLaunchDate;

    QSet<QUuid> m_projectIDsRegisteredRemotely;
    QHash<QUuid, QUuid> m_remoteTaskIDByLocalTaskID;
    QHash<QUuid, QUuid> m_localTaskIDByRemoteTaskID;
    QHash<QUuid, QString> m_lastEmittedTaskDigestByLocalTaskID;
    TimePoint m_nextRemotePollAllowedAt = TimePoint::fromReferenceSeconds(-1e12);
    TimePoint m_nextClientNodeSyncAllowedAt = TimePoint::fromReferenceSeconds(-1e12);
    std::optional<TimePoint> m_lastRemoteIntervalPollAttemptAt;
    std::optional<TimePoint> m_lastClientNodeIntervalSyncAttemptAt;
    bool m_isRemotePollInFlight = false;
    int m_remotePollFailureCount = 0;
    bool m_hasRegisteredNodeRemotely = false;
    // Set when the timer's gate let an "interval" poll through; the poll it
    // starts takes this verdict instead of asking the gate a second time.
    bool m_intervalPollVerdictPending = false;

    CoroutineScope m_scope {QStringLiteral("cloud sync")};
};
