// Delegation requests, persistence, the event pipelines with their timers,
// and the accounting of running workers: the state's side of the delegation
// coordinator.
#include "AppState.h"

#include "state/DelegationCoordinator.h"

#include <algorithm>

std::unique_ptr<DelegationCoordinator> AppState::makeDelegationCoordinator()
{
    DelegationCoordinator::Intervals intervals;
    intervals.workerClaimMonitor = workerClaimMonitorInterval;
    intervals.healthSnapshotRefresh = healthSnapshotRefreshInterval;
    intervals.remotePoll = remotePollInterval;
    intervals.clientNodePoll = clientNodePollInterval;

    DelegationCoordinator::Hooks hooks;
    hooks.projects = [this] { return m_projects; };
    hooks.taskStore = [this](const QUuid &projectID) { return taskStore(projectID); };
    hooks.taskStoreIDs = [this] { return m_taskStores.keys(); };
    hooks.isClientNodeMode = [this] { return isClientNodeMode(); };
    hooks.cloudSyncConditionHolds = [this] { return cloudSyncConditionHolds(); };
    hooks.pollRemoteTasks = [this](QString reason) { return pollRemoteTasksAcrossProjects(std::move(reason)); };
    hooks.persistTask = [this](const BL_Task &task) { persistTask(task); };
    hooks.logTaskEvent = [this](const BL_Event &event, const BL_Task &task) { logTaskEvent(event, task); };
    hooks.resetTaskOutput = [this](const QUuid &projectID, const QUuid &taskID) {
        m_taskLogWriter->resetTaskStdoutLog(projectID, taskID);
    };
    hooks.appendTaskOutput = [this](const QUuid &projectID, const QUuid &taskID, const QString &chunk) {
        m_taskLogWriter->appendTaskStdoutChunk(projectID, taskID, chunk);
    };
    hooks.setLastErrorMessage = [this](const QString &text) { setLastErrorMessage(text); };
    hooks.captureGitBefore
        = [this](const QUuid &taskID, const QUuid &projectID) { captureTaskGitBeforeCheckpoint(taskID, projectID); };
    hooks.captureGitAfter
        = [this](const QUuid &taskID, const QUuid &projectID) { captureTaskGitAfterCheckpoint(taskID, projectID); };
    hooks.requestBrowserRefresh = [this](const QUuid &projectID) { requestBrowserRefreshIfVisible(projectID); };
    hooks.setRunningWorkerCount = [this](const QUuid &projectID, qint64 count) {
        change(m_runningWorkerCountByProjectID, Field::runningWorkerCountByProjectID,
            [&](auto &counts) { counts.insert(projectID, count); });
    };
    hooks.sharedWorkerPoolSize = [this] { return m_sharedWorkerPoolSize; };
    hooks.setSharedWorkerPoolSize
        = [this](qint64 size) { assign(m_sharedWorkerPoolSize, size, Field::sharedWorkerPoolSize); };
    hooks.changeAgentCounts = [this](const std::function<void(QHash<QUuid, qint64> &)> &mutate) {
        change(m_agentCountByProjectID, Field::agentCountByProjectID, mutate);
    };
    hooks.rememberPoolSize = [this](const BL_Workspace &workspace, qint64 size) {
        if (const auto bookmark = m_bookmarkStore->bookmark(workspace.id))
            m_bookmarkStore->save(*bookmark, workspace.id, workspace.name, workspace.rootPath, size);
    };
    hooks.refreshHealthSnapshot = [this] { refreshHealthSnapshot(); };
    hooks.pollRemoteTasksOnInterval = [this] {
        if (shouldAttemptRemotePoll(QStringLiteral("interval")))
            pollRemoteTasksAcrossProjects(QStringLiteral("interval"));
    };
    hooks.syncFromClientNodeOnInterval = [this] {
        if (shouldAttemptClientNodeSync(QStringLiteral("interval")))
            syncFromClientNode(QStringLiteral("interval"));
    };
    return std::make_unique<DelegationCoordinator>(
        *m_clock, m_eventBus, *m_workerPool, m_managerID, intervals, std::move(hooks));
}

bool AppState::cloudSyncConditionHolds() const
{
    return m_remoteSyncFeatureEnabled && hasUsableCloudSession() && resolvedBackendAPIBaseURL().has_value();
}

void AppState::persistTask(const BL_Task &task)
{
    if (isClientNodeMode())
        return;
    // The upsert starts after the caller's synchronous work, in call order;
    // a failure is dropped.
    QMetaObject::invokeMethod(
        this, [this, task] { m_database->upsertTask(task); }, Qt::QueuedConnection);
}

void AppState::logTaskEvent(const BL_Event &event, const BL_Task &task)
{
    if (std::any_of(
            m_projects.begin(), m_projects.end(), [&](const BL_Workspace &w) { return w.id == event.projectID; }))
        m_taskLogWriter->appendTaskDebugLog(event, task);
}

void AppState::scheduleReadyTasksIfCapacity(const QUuid &projectID)
{
    m_delegation->scheduleReadyTasksIfCapacity(projectID);
}

void AppState::requestDelegation(const QUuid &taskID, const QUuid &projectID, const QString &source)
{
    m_delegation->requestDelegation(taskID, projectID, source);
}

void AppState::refreshWorkerStats(const QUuid &projectID)
{
    m_delegation->refreshWorkerStats(projectID);
}

void AppState::refreshWorkerStatsForAllProjects()
{
    m_delegation->refreshWorkerStatsForAllProjects();
}

void AppState::scheduleReadyTasksAcrossWorkspaces()
{
    m_delegation->scheduleReadyTasksAcrossWorkspaces();
}

void AppState::reconcileRunningAssignments(const QUuid &projectID)
{
    m_delegation->reconcileRunningAssignments(projectID);
}

void AppState::reconcilePendingWorkerClaims()
{
    m_delegation->reconcilePendingWorkerClaims();
}

void AppState::setWorkerPoolSize(const QUuid &projectID, qint64 requestedSize)
{
    m_delegation->setWorkerPoolSize(projectID, requestedSize);
}

void AppState::createTask(const TaskCreationRequest &request)
{
    m_delegation->createTask(request);
}
