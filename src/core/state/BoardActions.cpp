#include "BoardActions.h"

#include "agents/BrimlockSessionTerminator.h"
#include "board/TaskBoardStore.h"
#include "common/FutureResult.h"
#include "common/Logging.h"
#include "common/UuidText.h"
#include "model/ConversationTurns.h"
#include "storage/DatabaseServiceProtocol.h"

#include <QCoroFuture>
#include <chrono>

namespace {

const QString kAgentKeyPrefix = QStringLiteral("agent:");

BL_TaskEventPayload detailOnly(const QString &detail)
{
    BL_TaskEventPayload payload;
    payload.detail = detail;
    return payload;
}

} // namespace

BoardActions::BoardActions(const Clock &clock, BLEventBus &eventBus, DatabaseServiceProtocol &database,
    BrimlockSessionTerminating &sessionTerminator, QUuid managerID, Hooks hooks)
    : m_clock(clock),
      m_eventBus(eventBus),
      m_database(database),
      m_sessionTerminator(sessionTerminator),
      m_managerID(managerID),
      m_hooks(std::move(hooks))
{
}

BoardActions::~BoardActions()
{
    // A cancellation waiting for its kill sees the scope cancelled when it
    // resumes and ends without touching this object.
    m_scope.shutdown(std::chrono::milliseconds(0));
}

std::optional<QUuid> BoardActions::resolvedAgentID(const std::optional<QString> &workerSessionKey)
{
    if (!workerSessionKey)
        return std::nullopt;
    const QString key = workerSessionKey->trimmed();
    if (!key.toLower().startsWith(kAgentKeyPrefix))
        return std::nullopt;
    return UuidText::parse(QStringView(key).mid(kAgentKeyPrefix.size()));
}

std::optional<BL_Task> BoardActions::boardTask(const QUuid &projectID, const QUuid &taskID) const
{
    const TaskBoardStore *store = m_hooks.taskStore(projectID);
    return store ? store->task(taskID) : std::nullopt;
}

void BoardActions::markWorkerDone(const QUuid &taskID, const QUuid &projectID)
{
    if (m_hooks.isClientNodeMode()) {
        moveTask(taskID, BL_TaskStatus::completed, projectID);
        return;
    }
    BL_Event event = BL_Event::make(BL_EventType::workerTaskCompleted, projectID, taskID);
    event.timestamp = m_clock.now();
    m_eventBus.send(event);
}

void BoardActions::moveTask(const QUuid &taskID, BL_TaskStatus status, const QUuid &projectID)
{
    if (m_hooks.isClientNodeMode())
        return; // forwarded to the main node ("/api/move") by the node sharing
    TaskBoardStore *store = m_hooks.taskStore(projectID);
    if (!store)
        return;
    // Task tracking reacts inside this publication: a move into the queue
    // delegates when the pool has room.
    store->moveTask(taskID, status, projectID, m_eventBus);
    if (const auto moved = boardTask(projectID, taskID))
        m_hooks.persistTask(*moved);

    switch (status) {
    case BL_TaskStatus::inProgress:
        m_hooks.captureGitBeforeCheckpoint(taskID, projectID);
        break;
    case BL_TaskStatus::completed:
    case BL_TaskStatus::failed:
        m_hooks.requestBrowserRefreshIfVisible(projectID);
        m_hooks.captureGitAfterCheckpoint(taskID, projectID);
        break;
    case BL_TaskStatus::backlog:
    case BL_TaskStatus::queued:
        break;
    }

    if (m_hooks.cloudSyncConditionHolds()) {
        QMetaObject::invokeMethod(
            this,
            [this] { m_scope.spawnWith([this] { return m_hooks.pollRemoteTasks(QStringLiteral("local-move")); }); },
            Qt::QueuedConnection);
    }
}

void BoardActions::closeTaskFromBoard(const QUuid &taskID, const QUuid &projectID)
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

void BoardActions::cancelRunningTask(const QUuid &taskID, const QUuid &projectID, const QString &source)
{
    if (m_hooks.isClientNodeMode())
        return; // forwarded to the main node ("/api/tasks/cancel") by the node sharing
    const auto task = boardTask(projectID, taskID);
    if (!task)
        return;
    if (task->status != BL_TaskStatus::inProgress) {
        deleteTask(taskID, projectID);
        return;
    }
    if (m_cancellationInFlightTaskIDs.contains(taskID)) {
        qCDebug(lcState) << "cancellation of" << taskID << "already running; request from" << source << "dropped";
        return;
    }
    // In flight until the cancellation has ended, or until its start is
    // dropped with this object.
    auto mark
        = std::make_shared<InFlightEntry<QUuid>>(m_cancellationInFlightTaskIDs, taskID, std::function<void()>(), this);

    CancellationRequest request;
    request.taskID = taskID;
    request.projectID = projectID;
    request.taskKey = UuidText::lower(taskID);
    request.projectRootPath = m_hooks.workspaceRootPath(projectID);
    request.agentID = resolvedAgentID(task->workerSessionKey).value_or(m_managerID);
    request.source = source;
    qCDebug(lcState) << "cancelling" << request.taskKey << "from" << source;

    const BL_TaskConversationTurn turn = ConversationTurns::make(BL_TaskConversationRole::system, request.agentID,
        QStringLiteral("Cancellation requested by user. Sending session kill for ") + request.taskKey
            + QStringLiteral("."),
        m_clock);
    BL_TaskEventPayload payload;
    payload.detail = QStringLiteral("Cancellation requested (") + source
        + QStringLiteral("); sending Brimlock session kill command.");
    payload.conversationTurn = turn;
    payload.workerSessionKey = task->workerSessionKey;
    m_eventBus.send(boardActionEvent(BL_EventType::taskModified, projectID, taskID, payload));

    QMetaObject::invokeMethod(
        this, [this, request, mark] { m_scope.spawnWith([&] { return finishCancellation(request, mark); }); },
        Qt::QueuedConnection);
}

QCoro::Task<> BoardActions::finishCancellation(
    CancellationRequest request, [[maybe_unused]] std::shared_ptr<InFlightEntry<QUuid>> mark)
{
    // Cancelled when this object goes; checked before touching it again.
    const CancellationToken gone = m_scope.cancellation();
    auto terminating = m_sessionTerminator.terminate(request.taskKey, request.projectRootPath);
    const BrimlockSessionTerminationResult termination = co_await std::move(terminating);
    if (gone.isCancelled())
        co_return;

    // Only a session the tool ended or a process that was ended counts: a
    // run stopped between two commands had nothing terminated, and saying
    // otherwise would claim a termination that did not happen.
    auto cancelling = futureResult(m_hooks.cancelTaskExecution(request.taskID));
    const bool endedProcess = co_await std::move(cancelling);
    if (gone.isCancelled())
        co_return;

    const auto current = boardTask(request.projectID, request.taskID);
    if (!current || current->status != BL_TaskStatus::inProgress) {
        qCDebug(lcState) << "cancellation of" << request.taskKey << "ended after the task had left progress";
        co_return;
    }
    if (termination.succeeded || endedProcess) {
        qCDebug(lcState) << "cancelled" << request.taskKey << "session ended:" << termination.succeeded
                         << "process ended:" << endedProcess;
        BL_WorkerResultPayload payload;
        payload.agentID = request.agentID;
        payload.reason = termination.succeeded ? QStringLiteral("Task cancelled by user (") + request.source
                + QStringLiteral("); Brimlock session ") + request.taskKey + QStringLiteral(" terminated.")
                                               : QStringLiteral("Task cancelled by user (") + request.source
                + QStringLiteral("); session kill failed but fallback process termination succeeded.");
        m_eventBus.send(boardActionEvent(BL_EventType::workerTaskFailed, request.projectID, request.taskID, payload));
        co_return;
    }

    qCWarning(lcState) << "could not cancel" << request.taskKey << ":" << termination.message;
    const QString text
        = QStringLiteral("Cancellation failed (") + request.source + QStringLiteral("): ") + termination.message;
    const BL_TaskConversationTurn turn
        = ConversationTurns::make(BL_TaskConversationRole::system, request.agentID, text, m_clock);
    BL_TaskEventPayload payload;
    payload.detail = text;
    payload.conversationTurn = turn;
    payload.workerSessionKey = current->workerSessionKey;
    m_eventBus.send(boardActionEvent(BL_EventType::taskModified, request.projectID, request.taskID, payload));
    if (gone.isCancelled())
        co_return; // a subscriber ended the state within the publication
    m_hooks.setLastErrorMessage(QStringLiteral("Failed to cancel running task ") + request.taskKey
        + QStringLiteral(": ") + termination.message);
}

void BoardActions::deleteTaskFromDatabase(const QUuid &taskID, const QString &failurePrefix)
{
    // Queued like the upserts of the stored tasks, so a row stored just
    // before is not written back after its deletion.
    QMetaObject::invokeMethod(
        this,
        [this, taskID, failurePrefix] {
            m_database.deleteTask(taskID).then(this, [this, taskID, failurePrefix](const Result<void> &result) {
                if (result.ok())
                    return;
                qCWarning(lcState) << "could not delete task" << taskID << ":" << result.errorMessage();
                m_hooks.setLastErrorMessage(failurePrefix + result.errorMessage());
            });
        },
        Qt::QueuedConnection);
}

// The backend copy of a deleted task is deleted too while cloud sync is on
// with a usable session.
void BoardActions::deleteTask(const QUuid &taskID, const QUuid &projectID)
{
    if (m_hooks.isClientNodeMode())
        return; // forwarded to the main node ("/api/tasks/delete") by the node sharing
    TaskBoardStore *store = m_hooks.taskStore(projectID);
    if (!store)
        return;
    store->removeTask(taskID);
    deleteTaskFromDatabase(taskID, QStringLiteral("Failed to delete task: "));
    m_eventBus.send(boardActionEvent(
        BL_EventType::taskDeleted, projectID, taskID, detailOnly(QStringLiteral("Task deleted from board."))));
    m_hooks.scheduleReadyTasksIfCapacity(projectID);
    m_hooks.requestRemoteTaskDeletion(projectID, taskID);
    m_hooks.forgetTaskSyncEntries(taskID);
}

void BoardActions::clearDoneTasks(const QUuid &projectID)
{
    if (m_hooks.isClientNodeMode())
        return; // forwarded to the main node ("/api/tasks/clear-done") by the node sharing
    TaskBoardStore *store = m_hooks.taskStore(projectID);
    if (!store)
        return;
    QList<QUuid> done;
    for (auto it = store->taskByID().cbegin(); it != store->taskByID().cend(); ++it)
        if (it->status == BL_TaskStatus::completed || it->status == BL_TaskStatus::failed)
            done.append(it.key());
    if (done.isEmpty())
        return;
    qCDebug(lcState) << "clearing" << done.size() << "done tasks of" << projectID;
    store->removeTasks(QSet<QUuid>(done.cbegin(), done.cend()));
    for (const QUuid &taskID : std::as_const(done)) {
        m_hooks.requestRemoteTaskDeletion(projectID, taskID);
        m_hooks.forgetTaskSyncEntries(taskID);
        deleteTaskFromDatabase(taskID, QStringLiteral("Failed to clear done tasks: "));
        m_eventBus.send(boardActionEvent(
            BL_EventType::taskDeleted, projectID, taskID, detailOnly(QStringLiteral("Done task cleared from board."))));
    }
}
