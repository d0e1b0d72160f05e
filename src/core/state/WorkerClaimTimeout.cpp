#include "WorkerClaimTimeout.h"
#include "model/ConversationTurns.h"

#include "state/TaskCreation.h"

namespace WorkerClaimTimeout {

TimePoint cutoff(TimePoint now)
{
    return now.addSeconds(-kTimeoutSeconds);
}

bool isAwaitingClaim(const BL_Task &task)
{
    if (task.delegationState != BL_TaskDelegationState::spawnPending
        && task.delegationState != BL_TaskDelegationState::allocated)
        return false;
    return task.workerSessionKey && task.workerSessionKey->startsWith(TaskCreation::kPendingSpawnKeyPrefix);
}

bool isOverdue(const BL_Task &task, TimePoint cutoff)
{
    return isAwaitingClaim(task) && task.taskLastActivityDate <= cutoff;
}

QList<BL_Task> overdueClaims(const QList<BL_Task> &tasks, TimePoint cutoff)
{
    QList<BL_Task> overdue;
    for (const BL_Task &task : tasks)
        if (isOverdue(task, cutoff))
            overdue.append(task);
    return overdue;
}

bool needsMoveToQueue(const BL_Task &task)
{
    return task.status != BL_TaskStatus::queued;
}

BL_Event requeueLogEvent(const BL_Task &task, const Clock &clock)
{
    BL_Event event = BL_Event::make(BL_EventType::taskMoved, task.projectID, task.blID);
    event.timestamp = clock.now();
    return event;
}

BL_Event rejectionEvent(const BL_Task &overdueTask, const Clock &clock)
{
    const BL_TaskConversationTurn turn
        = ConversationTurns::make(BL_TaskConversationRole::system, std::nullopt, kRejectionTurnContent, clock);

    BL_TaskEventPayload payload;
    payload.detail = kRejectionDetail;
    payload.conversationTurn = turn;
    payload.workerSessionKey = overdueTask.workerSessionKey;

    BL_Event event = BL_Event::make(BL_EventType::delegationRejected, overdueTask.projectID, overdueTask.blID, payload);
    event.timestamp = clock.now();
    return event;
}

} // namespace WorkerClaimTimeout
