// The cloud sync's side of the state: its operations forward to the cloud
// sync, which reaches the rest of the state through the hooks built here.
#include "AppState.h"

#include "state/AccountSession.h"
#include "state/CloudSync.h"

static_assert(AppState::remotePollInterval == CloudSync::remotePollInterval);
static_assert(AppState::remotePollBackoffMaxInterval == CloudSync::remotePollBackoffMaxInterval);
static_assert(AppState::remotePollInactiveInterval == CloudSync::remotePollInactiveInterval);
static_assert(AppState::clientNodePollInactiveInterval == CloudSync::clientNodePollInactiveInterval);

std::unique_ptr<CloudSync> AppState::makeCloudSync(const ApplicationActivity &activity)
{
    CloudSync::Hooks hooks;
    hooks.appendLog = [this](const QString &line) { appendOAuthLog(line); };
    hooks.setFeatureEnabled = [this](bool enabled) {
        assign(m_remoteSyncFeatureEnabled, enabled, Field::remoteSyncFeatureEnabled);
        m_settings.defaults().setValue(AppSettings::remoteTaskSyncFlagKey, enabled);
    };
    hooks.isFeatureEnabled = [this] { return m_remoteSyncFeatureEnabled; };
    hooks.isClientNodeMode = [this] { return isClientNodeMode(); };
    hooks.hasUsableCloudSession = [this] { return hasUsableCloudSession(); };
    hooks.backendBaseURL = [this] { return resolvedBackendAPIBaseURL(); };
    hooks.accessToken = [this] {
        const std::optional<BL_AuthSession> &session = m_accounts->authSession();
        return session ? std::optional<QString>(session->accessToken) : std::nullopt;
    };
    hooks.authContext = [this] { return m_accounts->authContext(); };
    hooks.applyAuthContext = [this](const BL_AuthContext &context) { m_accounts->applyRemoteAuthContext(context); };
    hooks.refreshAuthContext = [this] { return refreshAuthContextFromBackend(); };
    hooks.nodeType = [this] { return m_currentNodeType; };
    hooks.setNodeType = [this](const std::optional<BL_NodeType> &type) { setCurrentNodeType(type); };
    hooks.currentUserEmail = [this] { return m_currentUserEmail; };
    hooks.nodeInstanceID = [this] { return persistentNodeInstanceID(); };
    hooks.selectedTeamID = [this] { return m_selectedTeamID; };
    hooks.projects = [this] { return m_projects; };
    hooks.taskStore = [this](const QUuid &projectID) { return taskStore(projectID); };
    hooks.taskStoreIDs = [this] { return taskStoreIDs(); };
    hooks.reconcileRunningAssignments = [this](const QUuid &projectID) { reconcileRunningAssignments(projectID); };
    hooks.persistTask = [this](const BL_Task &task) { persistTask(task); };
    hooks.setRemoteLastSyncAt
        = [this](TimePoint at) { assign(m_remoteLastSyncAt, std::optional<TimePoint>(at), Field::remoteLastSyncAt); };
    return std::make_unique<CloudSync>(m_accounts->apiClient(), *m_clock, activity, std::move(hooks));
}

// ---- The switch and the poll ----

void AppState::setRemoteTaskSyncFeatureEnabled(bool enabled)
{
    m_cloudSync->setRemoteTaskSyncFeatureEnabled(enabled);
}

bool AppState::shouldAttemptRemotePoll(const QString &reason)
{
    return m_cloudSync->shouldAttemptRemotePoll(reason);
}

bool AppState::shouldAttemptClientNodeSync(const QString &reason)
{
    return m_cloudSync->shouldAttemptClientNodeSync(reason);
}

QCoro::Task<> AppState::syncFromClientNode(QString reason)
{
    return m_cloudSync->syncFromClientNode(std::move(reason));
}

void AppState::recordRemotePollOutcome(bool success, const QString &reason)
{
    m_cloudSync->recordRemotePollOutcome(success, reason);
}

QCoro::Task<> AppState::pollRemoteTasksAcrossProjects(QString reason)
{
    return m_cloudSync->pollRemoteTasksAcrossProjects(std::move(reason));
}

// ---- Node registration and heartbeat ----

QCoro::Task<bool> AppState::ensureNodeRegistrationIfNeeded()
{
    return m_cloudSync->ensureNodeRegistrationIfNeeded();
}

QCoro::Task<> AppState::emitHeartbeatFromHealthCheck(
    QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt)
{
    return m_cloudSync->emitHeartbeatFromHealthCheck(std::move(results), checkedAt);
}

// ---- Push and pull of one workspace ----

QCoro::Task<bool> AppState::ensureRemoteProjectAccessible(BL_Workspace project)
{
    return m_cloudSync->ensureRemoteProjectAccessible(std::move(project));
}

QString AppState::taskDigest(const BL_Task &task)
{
    return CloudSync::taskDigest(task);
}

QCoro::Task<> AppState::emitLocalProjectStateToRemote(QUuid projectID)
{
    return m_cloudSync->emitLocalProjectStateToRemote(projectID);
}

QCoro::Task<Result<QUuid>> AppState::upsertRemoteTaskForLocalTask(
    BL_Task task, QUuid projectID, QString baseURL, QString accessToken)
{
    return m_cloudSync->upsertRemoteTaskForLocalTask(
        std::move(task), projectID, std::move(baseURL), std::move(accessToken));
}

BL_Task AppState::remapRemoteTaskToLocal(const BL_Task &remote, const QUuid &projectID)
{
    return m_cloudSync->remapRemoteTaskToLocal(remote, projectID);
}

BL_Task AppState::mergedPulledTask(const BL_Task &pulled, const BL_Task &local)
{
    return CloudSync::mergedPulledTask(pulled, local);
}

QCoro::Task<bool> AppState::importRemoteTasksIntoLocalProject(QUuid projectID, QString reason)
{
    return m_cloudSync->importRemoteTasksIntoLocalProject(projectID, std::move(reason));
}

void AppState::requestRemoteTaskDeletion(const QUuid &projectID, const QUuid &taskID)
{
    m_cloudSync->requestRemoteTaskDeletion(projectID, taskID);
}

// ---- Bookkeeping ----

void AppState::forgetTaskSyncEntries(const QUuid &taskID)
{
    m_cloudSync->forgetTaskSyncEntries(taskID);
}

void AppState::forgetProjectSyncEntries(const QUuid &projectID, const QList<QUuid> &taskIDs)
{
    m_cloudSync->forgetProjectSyncEntries(projectID, taskIDs);
}

bool AppState::isRemotePollInFlight() const
{
    return m_cloudSync->isRemotePollInFlight();
}

int AppState::remotePollFailureCount() const
{
    return m_cloudSync->remotePollFailureCount();
}

TimePoint AppState::nextRemotePollAllowedAt() const
{
    return m_cloudSync->nextRemotePollAllowedAt();
}

bool AppState::hasRegisteredNodeRemotely() const
{
    return m_cloudSync->hasRegisteredNodeRemotely();
}

const QHash<QUuid, QUuid> &AppState::remoteTaskIDByLocalTaskID() const
{
    return m_cloudSync->remoteTaskIDByLocalTaskID();
}

const QHash<QUuid, QString> &AppState::lastEmittedTaskDigestByLocalTaskID() const
{
    return m_cloudSync->lastEmittedTaskDigestByLocalTaskID();
}

const QSet<QUuid> &AppState::projectIDsRegisteredRemotely() const
{
    return m_cloudSync->projectIDsRegisteredRemotely();
}
