#include "TaskTracking.h"

#include "common/Json.h"
#include "common/UuidText.h"

namespace TaskTracking {
namespace {

    std::optional<BL_TaskEventPayload> taskEventPayload(const BL_Event &event)
    {
        return event.decodePayload<BL_TaskEventPayload>();
    }

    void setStates(BL_Task &task, BL_TaskWorkerState worker, BL_TaskDelegationState delegation)
    {
        task.workerState = worker;
        task.delegationState = delegation;
    }

} // namespace

std::optional<OutputStreamRoute> outputStreamRoute(const BL_Event &event)
{
    const auto payload = taskEventPayload(event);
    if (!payload)
        return std::nullopt;
    if (payload->stdoutReset.value_or(false))
        return OutputStreamRoute {OutputStreamRoute::Kind::reset, QString()};
    if (payload->stdoutChunk && !payload->stdoutChunk->isEmpty())
        return OutputStreamRoute {OutputStreamRoute::Kind::append, *payload->stdoutChunk};
    return std::nullopt;
}

Steps stepsFor(const BL_Event &event)
{
    Steps steps;
    steps.output = outputStreamRoute(event);
    if (steps.output)
        return steps;

    if (event.type == BL_EventType::taskMoved) {
        if (const auto moved = event.decodePayload<BL_TaskMovedPayload>()) {
            switch (moved->toStatus) {
            case BL_TaskStatus::backlog:
                steps.boardMove = BoardMoveReaction::none;
                break;
            case BL_TaskStatus::queued:
                steps.boardMove = BoardMoveReaction::scheduleWorkspace;
                break;
            case BL_TaskStatus::inProgress:
                steps.boardMove = BoardMoveReaction::captureGitBefore;
                break;
            case BL_TaskStatus::completed:
            case BL_TaskStatus::failed:
                steps.boardMove = BoardMoveReaction::refreshBrowserAndCaptureGitAfter;
                break;
            }
        }
    }

    switch (event.type) {
    case BL_EventType::delegationRequested:
    case BL_EventType::delegationAccepted:
        steps.refreshWorkerFigures = true;
        break;
    case BL_EventType::delegationRejected:
        steps.refreshWorkerFigures = true;
        steps.rescheduleAcrossWorkspaces = true;
        break;
    case BL_EventType::workerTaskCompleted:
    case BL_EventType::workerTaskFailed:
        steps.refreshWorkerFigures = true;
        steps.refreshBrowser = true;
        steps.endOfRunStatus
            = event.type == BL_EventType::workerTaskCompleted ? BL_TaskStatus::completed : BL_TaskStatus::failed;
        steps.rescheduleAcrossWorkspaces = true;
        break;
    default:
        break;
    }
    return steps;
}

QString agentWorkerSessionKey(const QUuid &agentID)
{
    return QStringLiteral("agent:") + UuidText::lower(agentID);
}

EventMetadata eventMetadata(const BL_Event &event)
{
    if (!event.payload)
        return {};
    const auto object = Json::parseObject(*event.payload);
    if (!object)
        return {};
    if (auto payload = BL_TaskEventPayload::fromJson(*object))
        return {payload->agentID, payload->detail, payload->conversationTurn, payload->workerSessionKey};
    if (auto delegation = BL_DelegationPayload::fromJson(*object))
        return {delegation->agentID, QStringLiteral("Delegation accepted by worker."), std::nullopt,
            agentWorkerSessionKey(delegation->agentID)};
    if (auto result = BL_WorkerResultPayload::fromJson(*object))
        return {result->agentID, std::nullopt, std::nullopt, agentWorkerSessionKey(result->agentID)};
    if (auto request = BL_DelegationRequestPayload::fromJson(*object))
        return {request->managerID, request->source, std::nullopt, std::nullopt};
    return {};
}

void applyEvent(BL_Task &task, const BL_Event &event, const Clock &clock)
{
    const EventMetadata metadata = eventMetadata(event);

    task.taskLastActivityDate = event.timestamp;
    task.updatedAt = clock.now();

    QList<BL_TaskHistoryEvent> history = task.decodedHistory().value_or(QList<BL_TaskHistoryEvent>());
    history.append(
        BL_TaskHistoryEvent {QUuid::createUuid(), event.type, event.timestamp, metadata.agentID, metadata.detail});
    if (history.size() > BL_Task::kHistoryLimit)
        history.remove(0, history.size() - BL_Task::kHistoryLimit);
    task.taskHistoryData = encodeHistory(history);

    if (metadata.conversationTurn)
        task.appendConversationTurn(*metadata.conversationTurn);

    if (metadata.workerSessionKey && !metadata.workerSessionKey->isEmpty())
        task.workerSessionKey = metadata.workerSessionKey;

    switch (event.type) {
    case BL_EventType::taskCreated:
    case BL_EventType::taskModified:
    case BL_EventType::taskDeleted:
    case BL_EventType::taskMoved:
    case BL_EventType::delegationRequested:
        break;
    case BL_EventType::taskDelegated:
        setStates(task, BL_TaskWorkerState::delegatedAccepted, BL_TaskDelegationState::spawnPending);
        break;
    case BL_EventType::taskAcceptedByWorker:
    case BL_EventType::delegationAccepted:
        setStates(task, BL_TaskWorkerState::taskAcceptedByWorker, BL_TaskDelegationState::allocated);
        break;
    case BL_EventType::taskWorkerSpawned:
        setStates(task, BL_TaskWorkerState::taskActivelyUnderwayByWorker, BL_TaskDelegationState::claimed);
        break;
    case BL_EventType::taskActivelyUnderwayByWorker:
        setStates(task, BL_TaskWorkerState::taskActivelyUnderwayByWorker, BL_TaskDelegationState::activelyWorking);
        break;
    case BL_EventType::delegationRejected:
        setStates(task, BL_TaskWorkerState::notDelegated, BL_TaskDelegationState::unallocated);
        task.workerSessionKey = std::nullopt;
        break;
    case BL_EventType::workerTaskCompleted:
        setStates(task, BL_TaskWorkerState::workerCompleted, BL_TaskDelegationState::completed);
        if (const auto result = event.decodePayload<BL_WorkerResultPayload>(); result && result->outputData)
            task.outputData = result->outputData;
        break;
    case BL_EventType::workerTaskFailed:
        setStates(task, BL_TaskWorkerState::workerFailed, BL_TaskDelegationState::failed);
        break;
    }
}

BL_Task folded(const BL_Task &task, const BL_Event &event, const Clock &clock)
{
    BL_Task copy = task;
    applyEvent(copy, event, clock);
    return copy;
}

} // namespace TaskTracking
