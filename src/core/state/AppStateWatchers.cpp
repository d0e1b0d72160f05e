// The task-file watcher of each workspace.
#include "AppState.h"

void AppState::startProjectWatcher(const BL_Workspace &, const QByteArray &)
{
    if (m_currentNodeType == BL_NodeType::clientNode)
        return;
}

void AppState::stopWatcher(ProjectWatcher &)
{
}
