// What the board (and a peer on the local network) does to existing tasks:
// the actions themselves live in BoardActions.
#include "AppState.h"
#include "state/BoardActions.h"

void AppState::markWorkerDone(const QUuid &taskID, const QUuid &projectID)
{
    m_boardActions->markWorkerDone(taskID, projectID);
}

void AppState::moveTask(const QUuid &taskID, BL_TaskStatus status, const QUuid &projectID)
{
    m_boardActions->moveTask(taskID, status, projectID);
}

void AppState::closeTaskFromBoard(const QUuid &taskID, const QUuid &projectID)
{
    m_boardActions->closeTaskFromBoard(taskID, projectID);
}

void AppState::cancelRunningTask(const QUuid &taskID, const QUuid &projectID, const QString &source)
{
    m_boardActions->cancelRunningTask(taskID, projectID, source);
}

void AppState::deleteTask(const QUuid &taskID, const QUuid &projectID)
{
    m_boardActions->deleteTask(taskID, projectID);
}

void AppState::clearDoneTasks(const QUuid &projectID)
{
    m_boardActions->clearDoneTasks(projectID);
}

const QSet<QUuid> &AppState::cancellationInFlightTaskIDs() const
{
    return m_boardActions->cancellationInFlightTaskIDs();
}
