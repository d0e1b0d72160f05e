#pragma once

#include "common/CoroutineScope.h"
#include "common/InFlight.h"
#include "common/TimePoint.h"
#include "model/BLEventBus.h"
#include "model/BL_Event.h"
#include "model/BL_Task.h"

#include <QCoroTask>
#include <QFuture>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

class BrimlockSessionTerminating;
class DatabaseServiceProtocol;
class TaskBoardStore;

// What the board (and a peer on the local network) does to existing tasks:
// mark done, move, close, cancel a running task, delete, clear the done
// column. Lives on the main thread; every operation runs there.
class BoardActions final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BoardActions)

public:
    // What the actions need of the rest of the state.
    struct Hooks
    {
        // Whether this node mirrors a main node (the actions then forward there).
        std::function<bool()> isClientNodeMode;
        // The board of a workspace; nothing for an unknown one.
        std::function<TaskBoardStore *(const QUuid &projectID)> taskStore;
        // The folder of a workspace; nothing for an unknown one.
        std::function<std::optional<QString>(const QUuid &projectID)> workspaceRootPath;
        // Stores the board's copy of a task after the caller's synchronous work.
        std::function<void(const BL_Task &task)> persistTask;
        // Starts the task's start checkpoint (a task moved into progress).
        std::function<void(const QUuid &taskID, const QUuid &projectID)> captureGitBeforeCheckpoint;
        // Starts the task's end checkpoint (a task moved into an ended column).
        std::function<void(const QUuid &taskID, const QUuid &projectID)> captureGitAfterCheckpoint;
        // Reloads the workspace's web preview when it is shown.
        std::function<void(const QUuid &projectID)> requestBrowserRefreshIfVisible;
        // Whether cloud sync is on with a usable session and backend.
        std::function<bool()> cloudSyncConditionHolds;
        // Polls the backend's tasks for every workspace, giving `reason`.
        std::function<QCoro::Task<>(QString reason)> pollRemoteTasks;
        // Stops the task's run; true when a running process was ended.
        std::function<QFuture<bool>(const QUuid &taskID)> cancelTaskExecution;
        // Delegates ready tasks of the workspace while the pool has room.
        std::function<void(const QUuid &projectID)> scheduleReadyTasksIfCapacity;
        // Asks the backend to delete its copy of a task deleted here.
        std::function<void(const QUuid &projectID, const QUuid &taskID)> requestRemoteTaskDeletion;
        // Forgets the task's backend id and last uploaded digest.
        std::function<void(const QUuid &taskID)> forgetTaskSyncEntries;
        // Shows an error to the user.
        std::function<void(const QString &text)> setLastErrorMessage;
    };

    BoardActions(const Clock &clock, BLEventBus &eventBus, DatabaseServiceProtocol &database,
        BrimlockSessionTerminating &sessionTerminator, QUuid managerID, Hooks hooks);
    // A cancellation still running is let go: it changes nothing afterwards.
    ~BoardActions() override;

    // The agent of an "agent:<uuid>" worker session key; nothing for any
    // other key.
    static std::optional<QUuid> resolvedAgentID(const std::optional<QString> &workerSessionKey);

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
    // a later turn and fails the task, or reports why it could not.
    void cancelRunningTask(const QUuid &taskID, const QUuid &projectID, const QString &source);
    // Takes the task off the board and out of the database; its logs and
    // patch stay on disk and a running worker is left alone.
    void deleteTask(const QUuid &taskID, const QUuid &projectID);
    // Deletes every completed and failed task of the workspace.
    void clearDoneTasks(const QUuid &projectID);

    // Tasks whose cancellation is running.
    const QSet<QUuid> &cancellationInFlightTaskIDs() const { return m_cancellationInFlightTaskIDs; }

private:
    struct CancellationRequest
    {
        QUuid taskID;
        QUuid projectID;
        QUuid agentID;
        QString taskKey;
        std::optional<QString> projectRootPath;
        QString source;
    };
    std::optional<BL_Task> boardTask(const QUuid &projectID, const QUuid &taskID) const;
    // Kills the session, stops the run and fails the task, or reports why
    // nothing could be ended. `mark` keeps the task in flight until it ends.
    QCoro::Task<> finishCancellation(CancellationRequest request, std::shared_ptr<InFlightEntry<QUuid>> mark);
    // Deletes the task's row after the caller's synchronous work; a failure
    // is shown as `failurePrefix` followed by its description.
    void deleteTaskFromDatabase(const QUuid &taskID, const QString &failurePrefix);
    template<typename Payload>
    BL_Event boardActionEvent(
        BL_EventType type, const QUuid &projectID, const QUuid &taskID, const Payload &payload) const
    {
        BL_Event event = BL_Event::make(type, projectID, taskID, payload);
        event.timestamp = m_clock.now();
        return event;
    }

    const Clock &m_clock;
    BLEventBus &m_eventBus;
    DatabaseServiceProtocol &m_database;
    BrimlockSessionTerminating &m_sessionTerminator;
    const QUuid m_managerID;
    const Hooks m_hooks;
    QSet<QUuid> m_cancellationInFlightTaskIDs;
    CoroutineScope m_scope {QStringLiteral("board actions")}; // last, so it ends first
};
