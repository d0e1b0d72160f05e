// The task-file watcher of each workspace.
#include "AppState.h"

#include "storage/ProjectWatcher.h"

#include <QCoreApplication>

void AppState::startProjectWatcher(const BL_Workspace &workspace, const QByteArray &bookmarkData)
{
    if (m_currentNodeType == BL_NodeType::clientNode)
        return;
    if (const auto running = m_watchers.take(workspace.id))
        stopWatcher(*running);
    QPointer<AppState> self(this);
    // The callback comes from the watcher's own thread; the reload runs on
    // the main thread, and only while the state still exists.
    auto onTasksChanged = [self](const QUuid &projectID) {
        QMetaObject::invokeMethod(
            qApp,
            [self, projectID] {
                if (self)
                    self->reloadProjectTasks(projectID);
            },
            Qt::QueuedConnection);
    };
    auto watcher = std::make_shared<ProjectWatcher>(
        workspace, bookmarkData, m_fileSystem, *m_database, m_eventBus, onTasksChanged, m_dataDirectory, *m_clock);
    m_watchers.insert(workspace.id, watcher);
    qCDebug(lcStorage) << "watching the task files of" << workspace.name << workspace.rootPath;
    watcher->start();
}

void AppState::stopWatcher(ProjectWatcher &watcher)
{
    qCDebug(lcStorage) << "no longer watching" << watcher.project().rootPath;
    watcher.stop();
}
