// The task-file watcher of each workspace (kept by the registry).
#include "AppState.h"

#include "state/WorkspaceRegistry.h"

bool AppState::hasWatcher(const QUuid &projectID) const
{
    return m_registry->hasWatcher(projectID);
}
