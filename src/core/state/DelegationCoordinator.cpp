#include "DelegationCoordinator.h"

#include "agents/AgentEngine.h"
#include "agents/WorkerPool.h"
#include "board/TaskBoardStore.h"
#include "common/Logging.h"
#include "state/TaskTracking.h"
#include "state/WorkerClaimTimeout.h"

#include <QPointer>
#include <algorithm>

DelegationCoordinator::DelegationCoordinator(const Clock &clock, BLEventBus &eventBus, WorkerPool &workerPool,
    QUuid managerID, Intervals intervals, Hooks hooks, QObject *parent)
    : QObject(parent),
      m_clock(clock),
      m_eventBus(eventBus),
      m_workerPool(workerPool),
      m_managerID(managerID),
      m_intervals(intervals),
      m_hooks(std::move(hooks)),
      m_scope(QStringLiteral("delegation"))
{
}

// The coroutines of the scope run on this thread, so they cannot be waited
// for here: each one checks that this object is still there after its wait.
DelegationCoordinator::~DelegationCoordinator() = default;

bool DelegationCoordinator::isListedWorkspace(const QUuid &projectID) const
{
    const QList<BL_Workspace> projects = m_hooks.projects();
    return std::any_of(projects.begin(), projects.end(), [&](const BL_Workspace &w) { return w.id == projectID; });
}

void DelegationCoordinator::bindEventPipelines(AgentEngine *engine)
{
    QPointer<DelegationCoordinator> self(this);
    if (engine) {
        engine->onDelegationAccepted = [self](const QUuid &projectID, const QUuid &taskID, const QUuid &) {
            if (self)
                self->handleDelegationAccepted(projectID, taskID);
        };
        auto workerEnded = [self](const QUuid &projectID, const QUuid &) {
            if (self)
                self->handleWorkerEnded(projectID);
        };
        engine->onWorkerCompleted = workerEnded;
        engine->onWorkerFailed = workerEnded;
        // A run that ended without an outcome (a cancelled one) gave its slot back.
        engine->onSlotReleased = [self](const QUuid &, const QUuid &) {
            if (self)
                self->handleSlotReleased();
        };
    }

    m_cancellables.push_back(m_eventBus.subscribe([self](const BL_Event &event) {
        if (self)
            self->handleEventForTaskTracking(event);
    }));

    every(m_intervals.workerClaimMonitor, [self] {
        if (self)
            self->reconcilePendingWorkerClaims();
    });
    every(m_intervals.healthSnapshotRefresh, [self] {
        if (self)
            self->m_hooks.refreshHealthSnapshot();
    });
    every(m_intervals.remotePoll, [self] {
        if (self)
            self->m_hooks.pollRemoteTasksOnInterval();
    });
    every(m_intervals.clientNodePoll, [self] {
        if (self)
            self->m_hooks.syncFromClientNodeOnInterval();
    });
}

void DelegationCoordinator::every(double seconds, std::function<void()> tick)
{
    auto timer = std::make_unique<QTimer>();
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(static_cast<int>(seconds * 1000));
    QObject::connect(timer.get(), &QTimer::timeout, this, std::move(tick));
    timer->start();
    m_timers.push_back(std::move(timer));
}

void DelegationCoordinator::handleDelegationAccepted(const QUuid &projectID, const QUuid &taskID)
{
    QPointer<DelegationCoordinator> self(this);
    TaskBoardStore *store = m_hooks.taskStore(projectID);
    if (!store)
        return;
    store->setTaskStatus(taskID, BL_TaskStatus::inProgress, projectID, &m_eventBus);
    // The move's events went through the bus, whose subscribers may have
    // taken the board (or this object) away meanwhile.
    if (!self)
        return;
    if (TaskBoardStore *board = m_hooks.taskStore(projectID)) {
        if (const auto task = board->task(taskID))
            m_hooks.persistTask(*task);
    }
    if (!self)
        return;
    m_hooks.captureGitBefore(taskID, projectID);
    refreshWorkerStats(projectID);
}

void DelegationCoordinator::handleWorkerEnded(const QUuid &projectID)
{
    refreshWorkerStatsForAllProjects();
    m_hooks.requestBrowserRefresh(projectID);
    scheduleReadyTasksAcrossWorkspaces();
}

void DelegationCoordinator::handleSlotReleased()
{
    refreshWorkerStatsForAllProjects();
    scheduleReadyTasksAcrossWorkspaces();
}

void DelegationCoordinator::scheduleReadyTasksIfCapacity(const QUuid &projectID)
{
    if (m_hooks.isClientNodeMode())
        return;
    const TaskBoardStore *store = m_hooks.taskStore(projectID);
    if (!store)
        return;
    const qint64 freeSlots = m_workerPool.freeSlotCount();
    if (freeSlots <= 0)
        return;
    const QList<BL_Task> ready = store->readyTasksAwaitingDelegation();
    for (qsizetype i = 0; i < ready.size() && i < freeSlots; ++i)
        requestDelegation(ready[i].blID, projectID, QStringLiteral("auto-ready-pickup"));
}

void DelegationCoordinator::requestDelegation(const QUuid &taskID, const QUuid &projectID, const QString &source)
{
    if (m_hooks.isClientNodeMode())
        return; // forwarded to the main node by the node sharing
    if (!m_hooks.cloudSyncConditionHolds()) {
        performDelegationRequest(taskID, projectID, source);
        return;
    }
    auto deferred
        = [](QPointer<DelegationCoordinator> self, QUuid taskID, QUuid projectID, QString source) -> QCoro::Task<> {
        auto polling = self->m_hooks.pollRemoteTasks(QStringLiteral("before-delegation"));
        co_await std::move(polling);
        if (!self)
            co_return;
        // The task may have gone or been delegated while the poll ran; an
        // automatic pickup only takes a task that is still waiting.
        const TaskBoardStore *store = self->m_hooks.taskStore(projectID);
        const auto task = store ? store->task(taskID) : std::nullopt;
        if (!task)
            co_return;
        if (source == QStringLiteral("auto-ready-pickup")
            && (task->status != BL_TaskStatus::queued || task->workerState != BL_TaskWorkerState::notDelegated)) {
            qCDebug(lcState) << "ready task" << taskID << "was taken while the backend was polled";
            co_return;
        }
        self->performDelegationRequest(taskID, projectID, source);
    };
    m_scope.spawnWith([&] { return deferred(QPointer<DelegationCoordinator>(this), taskID, projectID, source); });
}

void DelegationCoordinator::performDelegationRequest(const QUuid &taskID, const QUuid &projectID, const QString &source)
{
    TaskBoardStore *store = m_hooks.taskStore(projectID);
    if (!store)
        return;
    const auto current = store->task(taskID);
    if (!current)
        return;
    qCDebug(lcState) << "delegating task" << taskID << "of workspace" << projectID << "from" << source;
    const BL_Task updated = TaskCreation::markedForDelegation(*current, m_clock);
    store->applyIncrementalUpdate(updated, current);
    m_hooks.persistTask(updated);
    m_eventBus.send(TaskCreation::taskDelegatedEvent(updated, m_managerID, source, m_clock));

    std::optional<QString> rootPath;
    for (const BL_Workspace &workspace : m_hooks.projects())
        if (workspace.id == projectID)
            rootPath = workspace.rootPath;
    m_eventBus.send(TaskCreation::delegationRequestedEvent(updated, m_managerID, source, rootPath, m_clock));
}

// The running figure counts the slots the workspace's tasks hold: a slot is
// taken from the assignment, before the task shows in progress, and kept
// until its run ends, wherever the task was moved meanwhile.
void DelegationCoordinator::refreshWorkerStats(const QUuid &projectID)
{
    const qint64 assigned = m_hooks.taskStore(projectID) ? m_workerPool.runningCount(projectID) : 0;
    m_hooks.setRunningWorkerCount(projectID, assigned);
}

void DelegationCoordinator::refreshWorkerStatsForAllProjects()
{
    const QList<QUuid> ids = m_hooks.taskStoreIDs();
    for (const QUuid &id : ids)
        refreshWorkerStats(id);
}

void DelegationCoordinator::scheduleReadyTasksAcrossWorkspaces()
{
    if (m_hooks.isClientNodeMode())
        return;
    auto capacity = [this] {
        return std::max<qint64>(0, std::min<qint64>(m_workerPool.agents().size(), m_workerPool.sharedAgentCount()));
    };
    if (m_workerPool.activeAssignmentCount() >= capacity())
        return;
    const QList<BL_Workspace> projects = m_hooks.projects();
    for (const BL_Workspace &workspace : projects) {
        scheduleReadyTasksIfCapacity(workspace.id);
        if (m_workerPool.activeAssignmentCount() >= capacity())
            return;
    }
}

void DelegationCoordinator::reconcileRunningAssignments(const QUuid &projectID)
{
    const TaskBoardStore *store = m_hooks.taskStore(projectID);
    if (!store) {
        m_hooks.setRunningWorkerCount(projectID, 0);
        return;
    }
    // A slot belongs to its task until the run ends or the task leaves the
    // board; a delegation still waiting for its handshake (its task not yet
    // in progress) or a run whose card was moved keeps it, so the pool never
    // hands out more slots than runs may go on at once.
    const QList<QUuid> onBoard = store->taskByID().keys();
    m_workerPool.pruneAssignments(projectID, QSet<QUuid>(onBoard.begin(), onBoard.end()));
    refreshWorkerStats(projectID);
}

void DelegationCoordinator::reconcilePendingWorkerClaims()
{
    const TimePoint cutoff = WorkerClaimTimeout::cutoff(m_clock.now());
    const QList<QUuid> projectIDs = m_hooks.taskStoreIDs();
    for (const QUuid &projectID : projectIDs) {
        const TaskBoardStore *store = m_hooks.taskStore(projectID);
        if (!store)
            continue;
        const QList<BL_Task> pending = WorkerClaimTimeout::overdueClaims(store->taskByID().values(), cutoff);
        if (pending.isEmpty())
            continue;
        for (const BL_Task &task : pending) {
            qCDebug(lcState) << "no worker claimed task" << task.blID << "in time; its delegation is rejected";
            if (WorkerClaimTimeout::needsMoveToQueue(task)) {
                if (TaskBoardStore *board = m_hooks.taskStore(projectID)) {
                    board->setTaskStatus(task.blID, BL_TaskStatus::queued, projectID, &m_eventBus);
                    const TaskBoardStore *after = m_hooks.taskStore(projectID);
                    if (const auto moved = after ? after->task(task.blID) : std::nullopt) {
                        m_hooks.persistTask(*moved);
                        m_hooks.logTaskEvent(WorkerClaimTimeout::requeueLogEvent(*moved, m_clock), *moved);
                    }
                }
            }
            m_eventBus.send(WorkerClaimTimeout::rejectionEvent(task, m_clock));
        }
        scheduleReadyTasksAcrossWorkspaces();
    }
}

void DelegationCoordinator::setWorkerPoolSize(const QUuid &projectID, qint64 requestedSize)
{
    if (!isListedWorkspace(projectID))
        return;
    const qint64 agents = m_workerPool.agents().size();
    const qint64 size = std::max<qint64>(1, std::min({requestedSize, maximumWorkerPoolSize, agents}));
    if (size == m_hooks.sharedWorkerPoolSize())
        return;
    qCDebug(lcState) << "worker pool size" << size << "(asked for" << requestedSize << ")";
    m_workerPool.setSharedAgentCount(std::min(size, agents));
    m_hooks.setSharedWorkerPoolSize(size);
    const QList<BL_Workspace> projects = m_hooks.projects();
    m_hooks.changeAgentCounts([&](QHash<QUuid, qint64> &counts) {
        for (const BL_Workspace &workspace : projects) {
            counts.insert(workspace.id, size);
            m_hooks.rememberPoolSize(workspace, size);
        }
    });
    refreshWorkerStatsForAllProjects();
    scheduleReadyTasksAcrossWorkspaces();
}

void DelegationCoordinator::createTask(const TaskCreationRequest &request)
{
    if (m_hooks.isClientNodeMode()) {
        // Forwarded to the main node by the node sharing.
        if (!TaskCreation::clientNodeRequestText(request.title, request.description))
            m_hooks.setLastErrorMessage(TaskCreation::kTitleRequiredMessage);
        return;
    }
    TaskBoardStore *store = m_hooks.taskStore(request.projectID);
    if (!store)
        return;
    std::optional<QString> workspaceName;
    for (const BL_Workspace &workspace : m_hooks.projects())
        if (workspace.id == request.projectID)
            workspaceName = workspace.name;
    const auto task = TaskCreation::makeTask(request, workspaceName, TaskCreation::currentSubmitterUsername(), m_clock);
    if (!task) {
        m_hooks.setLastErrorMessage(task.errorMessage());
        return;
    }
    store->applyIncrementalUpdate(*task, store->task(task->blID));
    m_hooks.persistTask(*task);
    m_eventBus.send(TaskCreation::taskCreatedEvent(*task, m_clock));
    if (task->status == BL_TaskStatus::queued)
        scheduleReadyTasksIfCapacity(request.projectID);
    if (m_hooks.cloudSyncConditionHolds()) {
        // The poll starts on a later turn, after the caller's work.
        QMetaObject::invokeMethod(
            this,
            [this] { m_scope.spawnWith([this] { return m_hooks.pollRemoteTasks(QStringLiteral("local-create")); }); },
            Qt::QueuedConnection);
    }
}

void DelegationCoordinator::handleEventForTaskTracking(const BL_Event &event)
{
    const QUuid projectID = event.projectID;
    const QUuid taskID = event.taskID;
    const TaskTracking::Steps steps = TaskTracking::stepsFor(event);
    if (steps.output) {
        // Like the event log: output of a workspace that is not (or no
        // longer) listed is not written.
        if (!isListedWorkspace(projectID))
            return;
        if (steps.output->kind == TaskTracking::OutputStreamRoute::Kind::reset)
            m_hooks.resetTaskOutput(projectID, taskID);
        else
            m_hooks.appendTaskOutput(projectID, taskID, steps.output->chunk);
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
            m_hooks.captureGitBefore(taskID, projectID);
            break;
        case TaskTracking::BoardMoveReaction::refreshBrowserAndCaptureGitAfter:
            m_hooks.requestBrowserRefresh(projectID);
            m_hooks.captureGitAfter(taskID, projectID);
            break;
        }
        reconcileRunningAssignments(projectID);
    }
    if (steps.refreshWorkerFigures)
        refreshWorkerStatsForAllProjects();
    if (steps.refreshBrowser)
        m_hooks.requestBrowserRefresh(projectID);

    TaskBoardStore *store = m_hooks.taskStore(projectID);
    if (!store || !store->task(taskID))
        return;
    const Clock &clock = m_clock;
    const auto updated
        = store->updateTask(taskID, [&](BL_Task &task) { TaskTracking::applyEvent(task, event, clock); });
    if (!updated)
        return;
    m_hooks.persistTask(*updated);
    m_hooks.logTaskEvent(event, *updated);

    if (steps.endOfRunStatus) {
        if (TaskBoardStore *board = m_hooks.taskStore(projectID)) {
            board->setTaskStatus(taskID, *steps.endOfRunStatus, projectID, &m_eventBus);
            const TaskBoardStore *after = m_hooks.taskStore(projectID);
            if (const auto ended = after ? after->task(taskID) : std::nullopt)
                m_hooks.persistTask(*ended);
        }
        m_hooks.captureGitAfter(taskID, projectID);
    }
    if (steps.rescheduleAcrossWorkspaces)
        scheduleReadyTasksAcrossWorkspaces();
}
