// Delegation requests, persistence, the event pipelines with their timers,
// and the accounting of running workers.
#include "AppState.h"

#include "common/UuidText.h"

#include <QTimer>
#include <algorithm>

namespace {

QString pendingSpawnKey(const TimePoint &now, const QUuid &taskID)
{
    const qint64 milliseconds = static_cast<qint64>(std::floor(now.unixSeconds() * 1000.0));
    return QStringLiteral("pending-spawn:%1:%2").arg(milliseconds).arg(UuidText::lower(taskID));
}

} // namespace

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

void AppState::scheduleReadyTasksIfCapacity(const QUuid &projectID)
{
    if (isClientNodeMode())
        return;
    const TaskBoardStore *store = taskStore(projectID);
    if (!store)
        return;
    const qint64 freeSlots = m_workerPool->freeSlotCount();
    if (freeSlots <= 0)
        return;
    const QList<BL_Task> ready = store->readyTasksAwaitingDelegation();
    for (qsizetype i = 0; i < ready.size() && i < freeSlots; ++i)
        requestDelegation(ready[i].blID, projectID, QStringLiteral("auto-ready-pickup"));
}

void AppState::requestDelegation(const QUuid &taskID, const QUuid &projectID, const QString &source)
{
    if (isClientNodeMode())
        return; // forwarded to the main node by the node sharing
    if (!cloudSyncConditionHolds()) {
        performDelegationRequest(taskID, projectID, source);
        return;
    }
    QPointer<AppState> self(this);
    auto deferred = [](QPointer<AppState> self, QUuid taskID, QUuid projectID, QString source) -> QCoro::Task<> {
        auto polling = self->pollRemoteTasksAcrossProjects(QStringLiteral("before-delegation"));
        co_await std::move(polling);
        if (!self)
            co_return;
        // The task may have gone or been delegated while the poll ran; an
        // automatic pickup only takes a task that is still waiting.
        const auto task = self->boardTask(projectID, taskID);
        if (!task)
            co_return;
        if (source == QStringLiteral("auto-ready-pickup")
            && (task->status != BL_TaskStatus::queued || task->workerState != BL_TaskWorkerState::notDelegated))
            co_return;
        self->performDelegationRequest(taskID, projectID, source);
    };
    deferred(self, taskID, projectID, source);
}

void AppState::performDelegationRequest(const QUuid &taskID, const QUuid &projectID, const QString &source)
{
    TaskBoardStore *store = taskStore(projectID);
    if (!store)
        return;
    const QString key = pendingSpawnKey(m_clock->now(), taskID);
    const auto current = store->task(taskID);
    if (!current)
        return;
    BL_Task updated = *current;
    updated.workerState = BL_TaskWorkerState::delegatedAccepted;
    updated.delegationState = BL_TaskDelegationState::spawnPending;
    updated.workerSessionKey = key;
    updated.taskLastActivityDate = m_clock->now();
    updated.updatedAt = m_clock->now();
    store->applyIncrementalUpdate(updated, current);
    persistTask(updated);

    BL_TaskEventPayload delegated;
    delegated.agentID = m_managerID;
    delegated.detail = QStringLiteral("Delegation requested (%1).").arg(source);
    delegated.conversationTurn =
        BL_TaskConversationTurn{QUuid::createUuid(), m_clock->now(), BL_TaskConversationRole::manager, m_managerID,
                                QStringLiteral("Delegating task to worker (source: %1).").arg(source)};
    delegated.workerSessionKey = key;
    m_eventBus.send(BL_Event::make(BL_EventType::taskDelegated, projectID, taskID, delegated));

    std::optional<QString> rootPath;
    for (const BL_Workspace &workspace : std::as_const(m_projects))
        if (workspace.id == projectID)
            rootPath = workspace.rootPath;
    BL_DelegationRequestPayload request{m_managerID, source, updated.inputData, rootPath};
    m_eventBus.send(BL_Event::make(BL_EventType::delegationRequested, projectID, taskID, request));
}

void AppState::bindEventPipelines()
{
    QPointer<AppState> self(this);
    m_agentEngine->onDelegationAccepted = [self](const QUuid &projectID, const QUuid &taskID, const QUuid &) {
        if (!self)
            return;
        TaskBoardStore *store = self->taskStore(projectID);
        if (!store)
            return;
        store->setTaskStatus(taskID, BL_TaskStatus::inProgress, projectID, &self->m_eventBus);
        if (self && self->taskStore(projectID)) {
            if (const auto task = self->taskStore(projectID)->task(taskID))
                self->persistTask(*task);
        }
        if (!self)
            return;
        self->captureTaskGitBeforeCheckpoint(taskID, projectID);
        self->refreshWorkerStats(projectID);
    };
    auto workerEnded = [self](const QUuid &projectID, const QUuid &) {
        if (!self)
            return;
        self->refreshWorkerStatsForAllProjects();
        self->requestBrowserRefreshIfVisible(projectID);
        self->scheduleReadyTasksAcrossWorkspaces();
    };
    m_agentEngine->onWorkerCompleted = workerEnded;
    m_agentEngine->onWorkerFailed = workerEnded;

    m_cancellables.push_back(m_eventBus.subscribe([self](const BL_Event &event) {
        if (self)
            self->handleBusEvent(event);
    }));

    auto every = [this](double seconds, std::function<void()> tick) {
        auto timer = std::make_unique<QTimer>();
        timer->setTimerType(Qt::PreciseTimer);
        timer->setInterval(static_cast<int>(seconds * 1000));
        QObject::connect(timer.get(), &QTimer::timeout, this, std::move(tick));
        timer->start();
        m_timers.push_back(std::move(timer));
    };
    every(workerClaimMonitorInterval, [self] {
        if (self)
            self->reconcilePendingWorkerClaims();
    });
    every(healthSnapshotRefreshInterval, [self] {
        if (self)
            self->refreshHealthSnapshot();
    });
    every(remotePollInterval, [self] {
        if (self && self->shouldAttemptRemotePoll(QStringLiteral("interval")))
            self->pollRemoteTasksAcrossProjects(QStringLiteral("interval"));
    });
    every(clientNodePollInterval, [self] {
        if (self && self->shouldAttemptClientNodeSync(QStringLiteral("interval")))
            self->syncFromClientNode(QStringLiteral("interval"));
    });
}

void AppState::refreshWorkerStats(const QUuid &projectID)
{
    qint64 inProgress = 0;
    if (const TaskBoardStore *store = taskStore(projectID))
        inProgress = store->column(BL_TaskStatus::inProgress).size();
    const qint64 assigned = m_workerPool->runningCount(projectID);
    m_runningWorkerCountByProjectID.insert(projectID, std::min(inProgress, assigned));
    publish(Field::runningWorkerCountByProjectID);
}

void AppState::refreshWorkerStatsForAllProjects()
{
    const QList<QUuid> ids = m_taskStores.keys();
    for (const QUuid &id : ids)
        refreshWorkerStats(id);
}

void AppState::scheduleReadyTasksAcrossWorkspaces()
{
    if (isClientNodeMode())
        return;
    auto capacity = [this] {
        return std::max<qint64>(0, std::min<qint64>(m_workerPool->agents().size(), m_workerPool->sharedAgentCount()));
    };
    if (m_workerPool->activeAssignmentCount() >= capacity())
        return;
    const QList<BL_Workspace> projects = m_projects;
    for (const BL_Workspace &workspace : projects) {
        scheduleReadyTasksIfCapacity(workspace.id);
        if (m_workerPool->activeAssignmentCount() >= capacity())
            return;
    }
}

void AppState::reconcileRunningAssignments(const QUuid &projectID)
{
    const TaskBoardStore *store = taskStore(projectID);
    if (!store) {
        m_runningWorkerCountByProjectID.insert(projectID, 0);
        publish(Field::runningWorkerCountByProjectID);
        return;
    }
    const QList<QUuid> running = store->column(BL_TaskStatus::inProgress);
    m_workerPool->pruneAssignments(projectID, QSet<QUuid>(running.begin(), running.end()));
    refreshWorkerStats(projectID);
}

void AppState::reconcilePendingWorkerClaims()
{
    const TimePoint cutoff = m_clock->now().addSeconds(-workerClaimTimeout);
    const QList<QUuid> projectIDs = m_taskStores.keys();
    for (const QUuid &projectID : projectIDs) {
        const TaskBoardStore *store = taskStore(projectID);
        if (!store)
            continue;
        QList<BL_Task> pending;
        for (const BL_Task &task : store->taskByID()) {
            const bool waiting = task.delegationState == BL_TaskDelegationState::spawnPending
                || task.delegationState == BL_TaskDelegationState::allocated;
            if (waiting && task.workerSessionKey && task.workerSessionKey->startsWith(QStringLiteral("pending-spawn:"))
                && task.taskLastActivityDate <= cutoff)
                pending.append(task);
        }
        if (pending.isEmpty())
            continue;
        for (const BL_Task &task : std::as_const(pending)) {
            if (task.status != BL_TaskStatus::queued) {
                if (TaskBoardStore *board = taskStore(projectID)) {
                    board->setTaskStatus(task.blID, BL_TaskStatus::queued, projectID, &m_eventBus);
                    if (const auto moved = boardTask(projectID, task.blID)) {
                        persistTask(*moved);
                        logTaskEvent(BL_Event::make(BL_EventType::taskMoved, projectID, task.blID), *moved);
                    }
                }
            }
            BL_TaskEventPayload payload;
            payload.detail = QStringLiteral("Spawn/claim timeout exceeded (%1s); task re-queued.")
                                 .arg(static_cast<int>(workerClaimTimeout));
            payload.conversationTurn = BL_TaskConversationTurn{
                QUuid::createUuid(), m_clock->now(), BL_TaskConversationRole::system, std::nullopt,
                QStringLiteral("Worker claim timeout exceeded; task moved back to Intake queue.")};
            payload.workerSessionKey = task.workerSessionKey;
            m_eventBus.send(BL_Event::make(BL_EventType::delegationRejected, projectID, task.blID, payload));
        }
        scheduleReadyTasksAcrossWorkspaces();
    }
}

void AppState::setWorkerPoolSize(const QUuid &projectID, qint64 requestedSize)
{
    if (std::none_of(m_projects.begin(), m_projects.end(), [&](const BL_Workspace &w) { return w.id == projectID; }))
        return;
    const qint64 agents = m_workerPool->agents().size();
    const qint64 size = std::max<qint64>(1, std::min({requestedSize, qint64(6), agents}));
    if (size == m_sharedWorkerPoolSize)
        return;
    m_sharedWorkerPoolSize = size;
    m_workerPool->setSharedAgentCount(std::min(size, agents));
    publish(Field::sharedWorkerPoolSize);
    for (const BL_Workspace &workspace : std::as_const(m_projects)) {
        m_agentCountByProjectID.insert(workspace.id, size);
        if (const auto bookmark = m_bookmarkStore->bookmark(workspace.id))
            m_bookmarkStore->save(*bookmark, workspace.id, workspace.name, workspace.rootPath, size);
    }
    publish(Field::agentCountByProjectID);
    refreshWorkerStatsForAllProjects();
    scheduleReadyTasksAcrossWorkspaces();
}

void AppState::captureTaskGitBeforeCheckpoint(const QUuid &, const QUuid &)
{
    // Git checkpoints of tasks arrive with the checkpoint pipeline.
}

QCoro::Task<> AppState::refreshHealthSnapshot()
{
    co_return;
}

void AppState::logTaskEvent(const BL_Event &, const BL_Task &)
{
    // The per-task event log arrives with the task log writer.
}
