// Task flow hooks that start-up and the registry rely on.
#include "AppState.h"

void AppState::scheduleReadyTasksIfCapacity(const QUuid &)
{
    // Delegation of ready tasks arrives with the task actions.
}

void AppState::reconcileRunningAssignments(const QUuid &projectID)
{
    refreshWorkerStats(projectID);
}
