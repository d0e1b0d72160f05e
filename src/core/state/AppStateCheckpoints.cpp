// Git checkpoints of tasks: the façade over TaskCheckpointCoordinator.
#include "AppState.h"

#include "state/TaskCheckpointCoordinator.h"

TaskGitCheckpointService AppState::taskGitCheckpointService() const
{
    return m_checkpoints->service();
}

const QSet<QUuid> &AppState::gitBeforeCheckpointInFlightTaskIDs() const
{
    return m_checkpoints->beforeInFlightTaskIDs();
}

const QSet<QUuid> &AppState::gitAfterCheckpointInFlightTaskIDs() const
{
    return m_checkpoints->afterInFlightTaskIDs();
}

void AppState::captureTaskGitBeforeCheckpoint(const QUuid &taskID, const QUuid &projectID)
{
    m_checkpoints->captureBefore(taskID, projectID);
}

void AppState::captureTaskGitAfterCheckpoint(const QUuid &taskID, const QUuid &projectID)
{
    m_checkpoints->captureAfter(taskID, projectID);
}

void AppState::reconcileTaskGitCheckpointIfNeeded(const QUuid &taskID, const QUuid &projectID)
{
    m_checkpoints->reconcileIfNeeded(taskID, projectID);
}

void AppState::maybeFinalizePendingTaskGitDiffIfNeeded(const QUuid &taskID, const QUuid &projectID)
{
    m_checkpoints->finalizePendingIfNeeded(taskID, projectID);
}

void AppState::reconcilePendingTaskGitCheckpoints()
{
    m_checkpoints->reconcilePending();
}
