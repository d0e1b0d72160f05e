// Delegation requests, persistence, the event pipelines with their timers,
// and the accounting of running workers.
#include "AppState.h"

#include "common/UuidText.h"
#include "state/TaskTracking.h"
#include "state/WorkerClaimTimeout.h"

#include <QTimer>
#include <algorithm>

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
    const auto current = store->task(taskID);
    if (!current)
        return;
    const BL_Task updated = TaskCreation::markedForDelegation(*current, *m_clock);
    store->applyIncrementalUpdate(updated, current);
    persistTask(updated);
    m_eventBus.send(TaskCreation::taskDelegatedEvent(updated, m_managerID, source, *m_clock));

    std::optional<QString> rootPath;
    for (const BL_Workspace &workspace : std::as_const(m_projects))
        if (workspace.id == projectID)
            rootPath = workspace.rootPath;
    m_eventBus.send(TaskCreation::delegationRequestedEvent(updated, m_managerID, source, rootPath, *m_clock));
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
    // A run that ended without an outcome (a cancelled one) gave its slot back.
    m_agentEngine->onSlotReleased = [self](const QUuid &, const QUuid &) {
        if (!self)
            return;
        self->refreshWorkerStatsForAllProjects();
        self->scheduleReadyTasksAcrossWorkspaces();
    };

    m_cancellables.push_back(m_eventBus.subscribe([self](const BL_Event &event) {
        if (self)
            self->handleEventForTaskTracking(event);
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

// The running figure counts the slots the workspace's tasks hold: a slot is
// taken from the assignment, before the task shows in progress, and kept
// until its run ends, wherever the task was moved meanwhile.
void AppState::refreshWorkerStats(const QUuid &projectID)
{
    const qint64 assigned = taskStore(projectID) ? m_workerPool->runningCount(projectID) : 0;
    change(m_runningWorkerCountByProjectID, Field::runningWorkerCountByProjectID,
        [&](auto &counts) { counts.insert(projectID, assigned); });
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
        change(m_runningWorkerCountByProjectID, Field::runningWorkerCountByProjectID,
            [&](auto &counts) { counts.insert(projectID, 0); });
        return;
    }
    // A slot belongs to its task until the run ends or the task leaves the
    // board; a delegation still waiting for its handshake (its task not yet
    // in progress) or a run whose card was moved keeps it, so the pool never
    // hands out more slots than runs may go on at once.
    const QList<QUuid> onBoard = store->taskByID().keys();
    m_workerPool->pruneAssignments(projectID, QSet<QUuid>(onBoard.begin(), onBoard.end()));
    refreshWorkerStats(projectID);
}

void AppState::reconcilePendingWorkerClaims()
{
    const TimePoint cutoff = WorkerClaimTimeout::cutoff(m_clock->now());
    const QList<QUuid> projectIDs = m_taskStores.keys();
    for (const QUuid &projectID : projectIDs) {
        const TaskBoardStore *store = taskStore(projectID);
        if (!store)
            continue;
        const QList<BL_Task> pending = WorkerClaimTimeout::overdueClaims(store->taskByID().values(), cutoff);
        if (pending.isEmpty())
            continue;
        for (const BL_Task &task : pending) {
            if (WorkerClaimTimeout::needsMoveToQueue(task)) {
                if (TaskBoardStore *board = taskStore(projectID)) {
                    board->setTaskStatus(task.blID, BL_TaskStatus::queued, projectID, &m_eventBus);
                    if (const auto moved = boardTask(projectID, task.blID)) {
                        persistTask(*moved);
                        logTaskEvent(WorkerClaimTimeout::requeueLogEvent(*moved, *m_clock), *moved);
                    }
                }
            }
            m_eventBus.send(WorkerClaimTimeout::rejectionEvent(task, *m_clock));
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
    change(m_agentCountByProjectID, Field::agentCountByProjectID, [&](auto &counts) {
        for (const BL_Workspace &workspace : std::as_const(m_projects)) {
            counts.insert(workspace.id, size);
            if (const auto bookmark = m_bookmarkStore->bookmark(workspace.id))
                m_bookmarkStore->save(*bookmark, workspace.id, workspace.name, workspace.rootPath, size);
        }
    });
    refreshWorkerStatsForAllProjects();
    scheduleReadyTasksAcrossWorkspaces();
}

void AppState::logTaskEvent(const BL_Event &event, const BL_Task &task)
{
    if (std::any_of(
            m_projects.begin(), m_projects.end(), [&](const BL_Workspace &w) { return w.id == event.projectID; }))
        m_taskLogWriter->appendTaskDebugLog(event, task);
}

void AppState::createTask(const TaskCreationRequest &request)
{
    if (isClientNodeMode()) {
        // Forwarded to the main node by the node sharing.
        if (!TaskCreation::clientNodeRequestText(request.title, request.description))
            setLastErrorMessage(TaskCreation::kTitleRequiredMessage);
        return;
    }
    TaskBoardStore *store = taskStore(request.projectID);
    if (!store)
        return;
    std::optional<QString> workspaceName;
    for (const BL_Workspace &workspace : std::as_const(m_projects))
        if (workspace.id == request.projectID)
            workspaceName = workspace.name;
    const auto task
        = TaskCreation::makeTask(request, workspaceName, TaskCreation::currentSubmitterUsername(), *m_clock);
    if (!task) {
        setLastErrorMessage(task.errorMessage());
        return;
    }
    store->applyIncrementalUpdate(*task, store->task(task->blID));
    persistTask(*task);
    m_eventBus.send(TaskCreation::taskCreatedEvent(*task, *m_clock));
    if (task->status == BL_TaskStatus::queued)
        scheduleReadyTasksIfCapacity(request.projectID);
    if (cloudSyncConditionHolds()) {
        QPointer<AppState> self(this);
        auto poll = [](QPointer<AppState> self) -> QCoro::Task<> {
            if (!self)
                co_return;
            auto polling = self->pollRemoteTasksAcrossProjects(QStringLiteral("local-create"));
            co_await std::move(polling);
        };
        QMetaObject::invokeMethod(
            this, [self, poll] { poll(self); }, Qt::QueuedConnection);
    }
}

void AppState::handleEventForTaskTracking(const BL_Event &event)
{
    const QUuid projectID = event.projectID;
    const QUuid taskID = event.taskID;
    const TaskTracking::Steps steps = TaskTracking::stepsFor(event);
    if (steps.output) {
        // Like the event log: output of a workspace that is not (or no
        // longer) listed is not written.
        if (std::none_of(
                m_projects.begin(), m_projects.end(), [&](const BL_Workspace &w) { return w.id == projectID; }))
            return;
        if (steps.output->kind == TaskTracking::OutputStreamRoute::Kind::reset)
            m_taskLogWriter->resetTaskStdoutLog(projectID, taskID);
        else
            m_taskLogWriter->appendTaskStdoutChunk(projectID, taskID, steps.output->chunk);
        return;
    }
    if (steps.boardMove) {
        switch (*steps.boardMove) {
        case TaskTracking::BoardMoveReaction::none:
            break;
        case TaskTracking::BoardMoveReaction::scheduleWorkspace:
            scheduleReadyTasksIfCapacity(projectID);
            break;
        case TaskTracking::BoardMoveReaction::captureGitBefore:
            captureTaskGitBeforeCheckpoint(taskID, projectID);
            break;
        case TaskTracking::BoardMoveReaction::refreshBrowserAndCaptureGitAfter:
            requestBrowserRefreshIfVisible(projectID);
            captureTaskGitAfterCheckpoint(taskID, projectID);
            break;
        }
        reconcileRunningAssignments(projectID);
    }
    if (steps.refreshWorkerFigures)
        refreshWorkerStatsForAllProjects();
    if (steps.refreshBrowser)
        requestBrowserRefreshIfVisible(projectID);

    TaskBoardStore *store = taskStore(projectID);
    if (!store || !store->task(taskID))
        return;
    const Clock &clock = *m_clock;
    const auto updated
        = store->updateTask(taskID, [&](BL_Task &task) { TaskTracking::applyEvent(task, event, clock); });
    if (!updated)
        return;
    persistTask(*updated);
    logTaskEvent(event, *updated);

    if (steps.endOfRunStatus) {
        if (TaskBoardStore *board = taskStore(projectID)) {
            board->setTaskStatus(taskID, *steps.endOfRunStatus, projectID, &m_eventBus);
            if (const auto ended = boardTask(projectID, taskID))
                persistTask(*ended);
        }
        captureTaskGitAfterCheckpoint(taskID, projectID);
    }
    if (steps.rescheduleAcrossWorkspaces)
        scheduleReadyTasksAcrossWorkspaces();
}
