#pragma once

#include "common/CoroutineScope.h"
#include "common/TimePoint.h"
#include "model/BLEventBus.h"
#include "model/BL_Task.h"
#include "model/BL_Workspace.h"
#include "state/TaskCreation.h"

#include <QCoroTask>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUuid>
#include <functional>
#include <memory>
#include <vector>

class AgentEngine;
class TaskBoardStore;
class WorkerPool;

// Hands queued tasks to the worker pool and follows them through their runs:
// delegation requests, the pickup of ready tasks while the pool has room, the
// reactions to the task events on the bus and to the engine's run outcomes,
// the periodic timers (the worker-claim monitor and the polls it ticks for
// others) and the running-worker figures. Lives on the main thread.
class DelegationCoordinator final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(DelegationCoordinator)

public:
    // How often the periodic timers fire, in seconds.
    struct Intervals
    {
        double workerClaimMonitor = 0;
        double healthSnapshotRefresh = 0;
        double remotePoll = 0;
        double clientNodePoll = 0;
    };

    // What the coordinator asks of the rest of the application state.
    struct Hooks
    {
        // projects(): the listed workspaces, in their order.
        std::function<QList<BL_Workspace>()> projects;
        // taskStore(projectID): the workspace's board, or null.
        std::function<TaskBoardStore *(const QUuid &projectID)> taskStore;
        // taskStoreIDs(): the workspaces that have a board.
        std::function<QList<QUuid>()> taskStoreIDs;
        // isClientNodeMode(): a client node leaves delegation to its main node.
        std::function<bool()> isClientNodeMode;
        // cloudSyncConditionHolds(): the backend is to be polled before a delegation.
        std::function<bool()> cloudSyncConditionHolds;
        // pollRemoteTasks(reason): pulls the backend's tasks into every workspace.
        std::function<QCoro::Task<>(QString reason)> pollRemoteTasks;
        // persistTask(task): stores the task's row after the caller's work.
        std::function<void(const BL_Task &task)> persistTask;
        // logTaskEvent(event, task): appends to the task's debug log.
        std::function<void(const BL_Event &event, const BL_Task &task)> logTaskEvent;
        // resetTaskOutput(projectID, taskID): empties the task's output log.
        std::function<void(const QUuid &projectID, const QUuid &taskID)> resetTaskOutput;
        // appendTaskOutput(projectID, taskID, chunk): appends to the task's output log.
        std::function<void(const QUuid &projectID, const QUuid &taskID, const QString &chunk)> appendTaskOutput;
        // setLastErrorMessage(text): shows a refusal to the user.
        std::function<void(const QString &text)> setLastErrorMessage;
        // captureGitBefore(taskID, projectID): the start checkpoint of a run.
        std::function<void(const QUuid &taskID, const QUuid &projectID)> captureGitBefore;
        // captureGitAfter(taskID, projectID): the end checkpoint of a run.
        std::function<void(const QUuid &taskID, const QUuid &projectID)> captureGitAfter;
        // requestBrowserRefresh(projectID): reloads the workspace's preview if shown.
        std::function<void(const QUuid &projectID)> requestBrowserRefresh;
        // setRunningWorkerCount(projectID, count): publishes the workspace's running figure.
        std::function<void(const QUuid &projectID, qint64 count)> setRunningWorkerCount;
        // sharedWorkerPoolSize(): the published pool size.
        std::function<qint64()> sharedWorkerPoolSize;
        // setSharedWorkerPoolSize(size): publishes a new pool size.
        std::function<void(qint64 size)> setSharedWorkerPoolSize;
        // changeAgentCounts(mutate): changes the per-workspace agent counts, published once.
        std::function<void(const std::function<void(QHash<QUuid, qint64> &counts)> &mutate)> changeAgentCounts;
        // rememberPoolSize(workspace, size): stores the size with the workspace's bookmark.
        std::function<void(const BL_Workspace &workspace, qint64 size)> rememberPoolSize;
        // refreshHealthSnapshot(): the health timer's tick.
        std::function<void()> refreshHealthSnapshot;
        // pollRemoteTasksOnInterval(): the backend poll timer's tick.
        std::function<void()> pollRemoteTasksOnInterval;
        // syncFromClientNodeOnInterval(): the client-node sync timer's tick.
        std::function<void()> syncFromClientNodeOnInterval;
    };

    // The largest pool the user may choose.
    static constexpr qint64 maximumWorkerPoolSize = 6;

    DelegationCoordinator(const Clock &clock, BLEventBus &eventBus, WorkerPool &workerPool, QUuid managerID,
        Intervals intervals, Hooks hooks, QObject *parent = nullptr);
    ~DelegationCoordinator() override;

    // Takes the engine's run outcomes (when there is an engine), subscribes
    // to the bus and starts the timers. Call once, at the point of the bus
    // subscription order where task tracking belongs.
    void bindEventPipelines(AgentEngine *engine);

    // Delegates the task, after a backend poll when cloud sync is on.
    void requestDelegation(const QUuid &taskID, const QUuid &projectID, const QString &source);
    // Marks the task delegated, stores it and publishes taskDelegated and
    // delegationRequested.
    void performDelegationRequest(const QUuid &taskID, const QUuid &projectID, const QString &source);
    // Delegates the workspace's ready tasks, as many as the pool has free slots.
    void scheduleReadyTasksIfCapacity(const QUuid &projectID);
    // The same over every workspace in order, until the pool is full.
    void scheduleReadyTasksAcrossWorkspaces();

    // The running figure of one workspace / of every workspace with a board.
    void refreshWorkerStats(const QUuid &projectID);
    void refreshWorkerStatsForAllProjects();
    // Frees the slots of tasks no longer on the board and refreshes the figure.
    void reconcileRunningAssignments(const QUuid &projectID);
    // Re-queues every delegation that no worker claimed in time.
    void reconcilePendingWorkerClaims();
    // Sets the shared pool size, clamped to 1…6 and the number of agents.
    void setWorkerPoolSize(const QUuid &projectID, qint64 requestedSize);

    // Builds, shows, stores and announces a new task; a queued one is
    // delegated at once while the pool has room.
    void createTask(const TaskCreationRequest &request);

    // The bus subscriber: folds a task event into its task and reacts to it.
    void handleEventForTaskTracking(const BL_Event &event);
    // The engine's outcomes.
    void handleDelegationAccepted(const QUuid &projectID, const QUuid &taskID);
    void handleWorkerEnded(const QUuid &projectID);
    void handleSlotReleased();

private:
    bool isListedWorkspace(const QUuid &projectID) const;
    void every(double seconds, std::function<void()> tick);

    const Clock &m_clock;
    BLEventBus &m_eventBus;
    WorkerPool &m_workerPool;
    QUuid m_managerID;
    Intervals m_intervals;
    Hooks m_hooks;
    std::vector<BLEventSubscription> m_cancellables;
    std::vector<std::unique_ptr<QTimer>> m_timers;
    CoroutineScope m_scope; // last, so its coroutines are let go first
};
