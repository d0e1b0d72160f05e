// What the board (and a peer on the local network) does to existing tasks:
// mark done, move, close, cancel a running task, delete, clear the done column.
#include "AppState.h"
#include "model/ConversationTurns.h"

#include "common/FutureResult.h"
#include "common/InFlight.h"

#include "common/UuidText.h"

#include <QFuture>

namespace {

const QString kAgentKeyPrefix = QStringLiteral("agent:");

std::optional<QString> workspaceRootPath(const QList<BL_Workspace> &projects, const QUuid &projectID)
{
    for (const BL_Workspace &workspace : projects)
        if (workspace.id == projectID)
            return workspace.rootPath;
    return std::nullopt;
}

BL_TaskEventPayload detailOnly(const QString &detail)
{
    BL_TaskEventPayload payload;
    payload.detail = detail;
    return payload;
}

} // namespace

std::optional<QUuid> AppState::resolvedAgentID(const std::optional<QString> &workerSessionKey)
{
    if (!workerSessionKey)
        return std::nullopt;
    const QString key = workerSessionKey->trimmed();
    if (!key.toLower().startsWith(kAgentKeyPrefix))
        return std::nullopt;
    return UuidText::parse(QStringView(key).mid(kAgentKeyPrefix.size()));
}

void AppState::markWorkerDone(const QUuid &taskID, const QUuid &projectID)
{
    if (isClientNodeMode()) {
        moveTask(taskID, BL_TaskStatus::completed, projectID);
        return;
    }
    BL_Event event = BL_Event::make(BL_EventType::workerTaskCompleted, projectID, taskID);
    event.timestamp = m_clock->now();
    m_eventBus.send(event);
}

void AppState::moveTask(const QUuid &taskID, BL_TaskStatus status, const QUuid &projectID)
{
    if (isClientNodeMode())
        return; // forwarded to the main node ("/api/move") by the node sharing
    TaskBoardStore *store = taskStore(projectID);
    if (!store)
        return;
    // Task tracking reacts inside this publication: a move into the queue
    // delegates when the pool has room.
    store->moveTask(taskID, status, projectID, m_eventBus);
    if (const auto moved = boardTask(projectID, taskID))
        persistTask(*moved);

    switch (status) {
    case BL_TaskStatus::inProgress:
        captureTaskGitBeforeCheckpoint(taskID, projectID);
        break;
    case BL_TaskStatus::completed:
    case BL_TaskStatus::failed:
        requestBrowserRefreshIfVisible(projectID);
        captureTaskGitAfterCheckpoint(taskID, projectID);
        break;
    case BL_TaskStatus::backlog:
    case BL_TaskStatus::queued:
        break;
    }

    if (cloudSyncConditionHolds()) {
        QPointer<AppState> self(this);
        auto poll = [](QPointer<AppState> self) -> QCoro::Task<> {
            if (!self)
                co_return;
            auto polling = self->pollRemoteTasksAcrossProjects(QStringLiteral("local-move"));
            co_await std::move(polling);
        };
        QMetaObject::invokeMethod(
            this, [self, poll] { poll(self); }, Qt::QueuedConnection);
    }
}

void AppState::closeTaskFromBoard(const QUuid &taskID, const QUuid &projectID)
{
    // A client node looks at its mirrored board; the actions below forward.
    const auto task = boardTask(projectID, taskID);
    if (!task)
        return;
    if (task->status == BL_TaskStatus::inProgress)
        cancelRunningTask(taskID, projectID, QStringLiteral("task-card-close"));
    else
        deleteTask(taskID, projectID);
}

void AppState::cancelRunningTask(const QUuid &taskID, const QUuid &projectID, const QString &source)
{
    if (isClientNodeMode())
        return; // forwarded to the main node ("/api/tasks/cancel") by the node sharing
    const auto task = boardTask(projectID, taskID);
    if (!task)
        return;
    if (task->status != BL_TaskStatus::inProgress) {
        deleteTask(taskID, projectID);
        return;
    }
    if (m_cancellationInFlightTaskIDs.contains(taskID))
        return;
    m_cancellationInFlightTaskIDs.insert(taskID);

    CancellationRequest request;
    request.taskID = taskID;
    request.projectID = projectID;
    request.taskKey = UuidText::lower(taskID);
    request.projectRootPath = workspaceRootPath(m_projects, projectID);
    request.agentID = resolvedAgentID(task->workerSessionKey).value_or(m_managerID);
    request.source = source;

    const BL_TaskConversationTurn turn = ConversationTurns::make(BL_TaskConversationRole::system, request.agentID,
        QStringLiteral("Cancellation requested by user. Sending session kill for ") + request.taskKey
            + QStringLiteral("."),
        *m_clock);
    BL_TaskEventPayload payload;
    payload.detail = QStringLiteral("Cancellation requested (") + source
        + QStringLiteral("); sending Brimlock session kill command.");
    payload.conversationTurn = turn;
    payload.workerSessionKey = task->workerSessionKey;
    m_eventBus.send(boardActionEvent(BL_EventType::taskModified, projectID, taskID, payload));

    QPointer<AppState> self(this);
    QMetaObject::invokeMethod(
        this, [self, request] { finishCancellation(self, request); }, Qt::QueuedConnection);
}

QCoro::Task<> AppState::finishCancellation(QPointer<AppState> self, CancellationRequest request)
{
    if (!self)
        co_return;
    // Inserted by cancelRunningTask(); cleared however this ends.
    InFlightEntry<QUuid> inFlight(self->m_cancellationInFlightTaskIDs, request.taskID, {}, self.data());
    auto terminating = self->m_sessionTerminator->terminate(request.taskKey, request.projectRootPath);
    const BrimlockSessionTerminationResult termination = co_await std::move(terminating);
    if (!self)
        co_return;

    // Only a session the tool ended or a process that was ended counts: a
    // run stopped between two commands had nothing terminated, and saying
    // otherwise would claim a termination that did not happen.
    auto cancelling = futureResult(self->m_agentEngine->runner().cancelTaskExecution(request.taskID));
    const bool endedProcess = co_await std::move(cancelling);
    if (!self)
        co_return;

    const auto current = self->boardTask(request.projectID, request.taskID);
    if (current && current->status == BL_TaskStatus::inProgress) {
        if (termination.succeeded || endedProcess) {
            BL_WorkerResultPayload payload;
            payload.agentID = request.agentID;
            payload.reason = termination.succeeded ? QStringLiteral("Task cancelled by user (") + request.source
                    + QStringLiteral("); Brimlock session ") + request.taskKey + QStringLiteral(" terminated.")
                                                   : QStringLiteral("Task cancelled by user (") + request.source
                    + QStringLiteral("); session kill failed but fallback process termination succeeded.");
            self->m_eventBus.send(
                self->boardActionEvent(BL_EventType::workerTaskFailed, request.projectID, request.taskID, payload));
        } else {
            const QString text = QStringLiteral("Cancellation failed (") + request.source + QStringLiteral("): ")
                + termination.message;
            const BL_TaskConversationTurn turn
                = ConversationTurns::make(BL_TaskConversationRole::system, request.agentID, text, *self->m_clock);
            BL_TaskEventPayload payload;
            payload.detail = text;
            payload.conversationTurn = turn;
            payload.workerSessionKey = current->workerSessionKey;
            self->m_eventBus.send(
                self->boardActionEvent(BL_EventType::taskModified, request.projectID, request.taskID, payload));
            if (self)
                self->setLastErrorMessage(QStringLiteral("Failed to cancel running task ") + request.taskKey
                    + QStringLiteral(": ") + termination.message);
        }
    }
}

void AppState::deleteTaskFromDatabase(const QUuid &taskID, const QString &failurePrefix)
{
    // Queued like the upserts of persistTask, so a row stored just before is
    // not written back after its deletion.
    QMetaObject::invokeMethod(
        this,
        [this, taskID, failurePrefix] {
            m_database->deleteTask(taskID).then(this, [this, failurePrefix](const Result<void> &result) {
                if (!result.ok())
                    setLastErrorMessage(failurePrefix + result.errorMessage());
            });
        },
        Qt::QueuedConnection);
}

// The backend copy of a deleted task is deleted too while cloud sync is on
// with a usable session.
void AppState::deleteTask(const QUuid &taskID, const QUuid &projectID)
{
    if (isClientNodeMode())
        return; // forwarded to the main node ("/api/tasks/delete") by the node sharing
    TaskBoardStore *store = taskStore(projectID);
    if (!store)
        return;
    store->removeTask(taskID);
    deleteTaskFromDatabase(taskID, QStringLiteral("Failed to delete task: "));
    m_eventBus.send(boardActionEvent(
        BL_EventType::taskDeleted, projectID, taskID, detailOnly(QStringLiteral("Task deleted from board."))));
    scheduleReadyTasksIfCapacity(projectID);
    requestRemoteTaskDeletion(projectID, taskID);
    forgetTaskSyncEntries(taskID);
}

void AppState::clearDoneTasks(const QUuid &projectID)
{
    if (isClientNodeMode())
        return; // forwarded to the main node ("/api/tasks/clear-done") by the node sharing
    TaskBoardStore *store = taskStore(projectID);
    if (!store)
        return;
    QList<QUuid> done;
    for (auto it = store->taskByID().cbegin(); it != store->taskByID().cend(); ++it)
        if (it->status == BL_TaskStatus::completed || it->status == BL_TaskStatus::failed)
            done.append(it.key());
    if (done.isEmpty())
        return;
    store->removeTasks(QSet<QUuid>(done.cbegin(), done.cend()));
    for (const QUuid &taskID : std::as_const(done)) {
        requestRemoteTaskDeletion(projectID, taskID);
        forgetTaskSyncEntries(taskID);
        deleteTaskFromDatabase(taskID, QStringLiteral("Failed to clear done tasks: "));
        m_eventBus.send(boardActionEvent(
            BL_EventType::taskDeleted, projectID, taskID, detailOnly(QStringLiteral("Done task cleared from board."))));
    }
}
