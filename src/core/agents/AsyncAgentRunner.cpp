#include "AsyncAgentRunner.h"
#include "model/ConversationTurns.h"

#include "BL_ShellToolExecutor.h"
#include "MainThreadPublisher.h"
#include "common/UuidText.h"

#include "common/FutureResult.h"
#include "common/Logging.h"

namespace {

BL_TaskConversationTurn turn(BL_TaskConversationRole role, const QUuid &agentID, const QString &content)
{
    return ConversationTurns::make(role, agentID, content);
}

} // namespace

AsyncAgentRunner::AsyncAgentRunner(BLEventBus &eventBus, BL_DelegationHandshakeCoordinator &handshakeCoordinator,
    std::shared_ptr<BL_AgentDecisionEngineProtocol> decisionEngine,
    std::shared_ptr<BL_ToolExecutorProtocol> toolExecutor)
    : m_eventBus(eventBus),
      m_handshakeCoordinator(handshakeCoordinator),
      m_decisionEngine(std::move(decisionEngine)),
      m_toolExecutor(toolExecutor ? std::move(toolExecutor) : std::make_shared<BL_ShellToolExecutor>(eventBus)),
      m_publisher(eventBus),
      m_actor(QStringLiteral("tessaron.agent-runner"))
{
}

AsyncAgentRunner::~AsyncAgentRunner()
{
    // In this order: nothing more reaches the main thread (which now waits
    // here), the commands of the runs end, the runs notice the shutdown at
    // their next check or wait and end, and the executor stops.
    m_publisher.close();
    m_actor.call([this] {
        for (const RunHandle &handle : std::as_const(m_activeRunTaskByTaskID))
            handle.cancellation.cancel();
    });
    m_toolExecutor->shutdown();
    m_actor.shutdown();
}

QString AsyncAgentRunner::workerSessionKey(const QUuid &agentID)
{
    return QStringLiteral("agent:") + UuidText::lower(agentID);
}

QFuture<void> AsyncAgentRunner::schedule(QUuid projectID, QUuid taskID, QUuid managerID, BL_Agent agent,
    BL_DelegationHandshakeTicket handshakeTicket, std::optional<QByteArray> taskInputData,
    std::optional<QString> projectRootPath)
{
    RunRequest request {projectID, taskID, managerID, std::move(agent), handshakeTicket, std::move(taskInputData),
        std::move(projectRootPath)};
    return m_actor.call([this, request] {
        const auto earlier = m_activeRunTaskByTaskID.constFind(request.taskID);
        if (earlier != m_activeRunTaskByTaskID.constEnd())
            earlier->cancellation.cancel(); // it stops at its next check
        m_cancelledTaskIDs.remove(request.taskID);
        const RunHandle handle {CancellationToken(), m_nextSerial++};
        m_activeRunTaskByTaskID.insert(request.taskID, handle);
        qCDebug(lcAgents) << "run of task" << request.taskID << "starts on" << request.agent.name;
        m_actor.spawn([&] { return runAndCleanUp(request, handle); }); // runs on this executor until it ends
    });
}

QFuture<bool> AsyncAgentRunner::cancelTaskExecution(QUuid taskID)
{
    return m_actor.call([this, taskID] { return cancelOnExecutor(taskID); });
}

QFuture<bool> AsyncAgentRunner::hasActiveRun(QUuid taskID)
{
    return m_actor.call([this, taskID] { return m_activeRunTaskByTaskID.contains(taskID); });
}

QFuture<bool> AsyncAgentRunner::isMarkedCancelled(QUuid taskID)
{
    return m_actor.call([this, taskID] { return m_cancelledTaskIDs.contains(taskID); });
}

QCoro::Task<bool> AsyncAgentRunner::cancelOnExecutor(QUuid taskID)
{
    m_cancelledTaskIDs.insert(taskID);
    const auto active = m_activeRunTaskByTaskID.constFind(taskID);
    if (active != m_activeRunTaskByTaskID.constEnd())
        active->cancellation.cancel(); // the entry stays until the run ends
    auto stopping = futureResult(m_toolExecutor->cancel(taskID));
    const bool ended = co_await std::move(stopping);
    co_return ended;
}

QCoro::Task<> AsyncAgentRunner::runAndCleanUp(RunRequest request, RunHandle handle)
{
    try {
        auto running = runLoop(request, handle.cancellation);
        co_await std::move(running);
    } catch (...) {
        // runLoop turns every failure into events; nothing is left to report.
    }
    qCDebug(lcAgents) << "run of task" << request.taskID << "ended";
    // A newer run of the same task keeps its own handle and cancel mark.
    const auto current = m_activeRunTaskByTaskID.constFind(request.taskID);
    if (current != m_activeRunTaskByTaskID.constEnd() && current->serial == handle.serial) {
        m_activeRunTaskByTaskID.erase(current);
        m_cancelledTaskIDs.remove(request.taskID);
    }
    if (onRunEnded) {
        m_publisher.runOnMainThread(
            [ended = onRunEnded, request] { ended(request.projectID, request.taskID, request.ticket.id); });
    }
}

void AsyncAgentRunner::announceEnding(const RunRequest &request)
{
    // Queued before the outcome's publication, so it is seen first.
    if (onRunEnding) {
        m_publisher.runOnMainThread(
            [ending = onRunEnding, request] { ending(request.projectID, request.taskID, request.ticket.id); });
    }
}

QCoro::Task<> AsyncAgentRunner::publish(QList<BL_Event> events)
{
    auto published = futureResult(m_publisher.publish(std::move(events)));
    co_await std::move(published);
}

QCoro::Task<> AsyncAgentRunner::runLoop(RunRequest request, CancellationToken cancellation)
{
    const QUuid projectID = request.projectID;
    const QUuid taskID = request.taskID;
    const QUuid agentID = request.agent.id;
    const QString sessionKey = workerSessionKey(agentID);
    auto taskEvent
        = [&](BL_EventType type, const QString &detail, BL_TaskConversationRole role, const QString &content) {
              BL_TaskEventPayload payload;
              payload.agentID = agentID;
              payload.detail = detail;
              payload.conversationTurn = turn(role, agentID, content);
              payload.workerSessionKey = sessionKey;
              return BL_Event::make(type, projectID, taskID, payload);
          };

    // 1–2. The handshake: no work without the ticket of this very agent.
    auto acknowledging = futureResult(m_handshakeCoordinator.acknowledge(request.ticket.id, agentID));
    const std::optional<BL_DelegationHandshakeTicket> acknowledged = co_await std::move(acknowledging);
    if (!acknowledged) {
        announceEnding(request);
        auto rejected = publish({BL_Event::make(BL_EventType::delegationRejected, projectID, taskID)});
        co_await std::move(rejected);
        co_return;
    }

    // 3–5. Accepted (both events in one turn), spawned, started.
    auto accepted = publish({
        BL_Event::make(BL_EventType::delegationAccepted, projectID, taskID, BL_DelegationPayload {agentID}),
        taskEvent(BL_EventType::taskAcceptedByWorker, QStringLiteral("Worker accepted delegation handshake."),
            BL_TaskConversationRole::system, QStringLiteral("Delegation handshake accepted.")),
    });
    co_await std::move(accepted);
    auto spawned
        = publish({taskEvent(BL_EventType::taskWorkerSpawned, QStringLiteral("Worker process spawned successfully."),
            BL_TaskConversationRole::system, QStringLiteral("Worker spawned and ready."))});
    co_await std::move(spawned);
    auto started = publish(
        {taskEvent(BL_EventType::taskActivelyUnderwayByWorker, QStringLiteral("Worker started task execution loop."),
            BL_TaskConversationRole::worker, QStringLiteral("Starting execution loop for delegated task."))});
    co_await std::move(started);

    // 6–7. The loop.
    BL_ThoughtActionObservationState state;
    std::optional<QString> failure;
    try {
        while (state.status == BL_TaskStatus::inProgress) {
            if (m_cancelledTaskIDs.contains(taskID) || cancellation.isCancelled())
                co_return; // stopped: nothing more is published

            if (!state.pendingAction) {
                state.thoughts.append(QStringLiteral("In progress: selecting next action."));
                auto asking
                    = publish({taskEvent(BL_EventType::taskModified, QStringLiteral("Worker generated next decision."),
                        BL_TaskConversationRole::worker, QStringLiteral("Thinking: selecting the next action."))});
                co_await std::move(asking);
                auto deciding = m_decisionEngine->nextDecision(
                    taskID, projectID, request.agent, request.taskInputData, request.projectRootPath, state);
                const BL_AgentDecision decision = co_await std::move(deciding);
                // A run cancelled while it waited for its decision ends
                // without a word: the cancellation reports the task's end.
                if (m_cancelledTaskIDs.contains(taskID) || cancellation.isCancelled())
                    co_return;
                if (decision.kind == BL_AgentDecision::Kind::finish) {
                    auto outputReady = publish({taskEvent(BL_EventType::taskModified,
                        QStringLiteral("Worker completed task output."), BL_TaskConversationRole::worker,
                        QStringLiteral("Task completed. Returning final output."))});
                    co_await std::move(outputReady);
                    announceEnding(request);
                    auto completed = publish({BL_Event::make(BL_EventType::workerTaskCompleted, projectID, taskID,
                        BL_WorkerResultPayload {agentID, decision.outputData, std::nullopt})});
                    co_await std::move(completed);
                    state.status = BL_TaskStatus::completed;
                } else {
                    state.actions.append(decision.action);
                    state.pendingAction = decision.action;
                    const QString display = decision.action.displayForm();
                    auto queued = publish({taskEvent(BL_EventType::taskActivelyUnderwayByWorker,
                        QStringLiteral("Worker queued action: ") + display, BL_TaskConversationRole::worker,
                        QStringLiteral("Action queued: ") + display)});
                    co_await std::move(queued);
                }
            }

            // An action is carried out at once, without another cancellation check.
            if (state.status == BL_TaskStatus::inProgress && state.pendingAction) {
                auto executing = futureResult(
                    m_toolExecutor->executeSpawned(state.pendingAction->command, taskID, projectID, cancellation));
                const BL_Observation observation = co_await std::move(executing);
                state.observations.append(observation);
                state.pendingAction.reset();
                auto recorded = publish({taskEvent(BL_EventType::taskModified,
                    QStringLiteral("Worker recorded observation: ") + observation.summary,
                    BL_TaskConversationRole::tool, observation.summary)});
                co_await std::move(recorded);
            }
        }
    } catch (const CancelledError &) {
        state.status = BL_TaskStatus::failed; // cancelled: nothing is published
    } catch (const std::exception &error) {
        state.status = BL_TaskStatus::failed;
        failure = describeAgentRunFailure(error);
    } catch (...) {
        state.status = BL_TaskStatus::failed;
        failure = QStringLiteral("An unknown error ended the run.");
    }

    // 8. Any other failure ends the task's run as failed, unless the run was
    // cancelled meanwhile: then the cancellation reports the task's end.
    if (failure && (m_cancelledTaskIDs.contains(taskID) || cancellation.isCancelled()))
        co_return;
    if (failure) {
        auto reportedFailure
            = publish({taskEvent(BL_EventType::taskModified, QStringLiteral("Worker failure: ") + *failure,
                BL_TaskConversationRole::system, QStringLiteral("Execution failed: ") + *failure)});
        co_await std::move(reportedFailure);
        announceEnding(request);
        auto failed = publish({BL_Event::make(BL_EventType::workerTaskFailed, projectID, taskID,
            BL_WorkerResultPayload {agentID, std::nullopt, *failure})});
        co_await std::move(failed);
    }
}
