// Start-up: the database, the bookmark tidy, the restore of every remembered
// workspace, and a first workspace on an empty installation (in the registry).
#include "AppState.h"

#include "state/WorkspaceRegistry.h"

QCoro::Task<> AppState::bootstrap()
{
    return m_registry->bootstrap();
}
