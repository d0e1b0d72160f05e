#pragma once

#include "common/CoroutineScope.h"
#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BL_Team.h"
#include "model/BL_Workspace.h"
#include "storage/ProjectBookmarkStore.h"

#include <QByteArray>
#include <QCoroTask>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

class BLEventBus;
class DatabaseServiceProtocol;
class LocalFileSystemService;
class ProjectWatcher;
class TaskBoardStore;
class TeamProjectStore;
class WorkerPool;

// The workspaces the application knows: adding a folder (a new workspace or
// an existing one), the one registration both end in, the task-file watcher
// of each workspace, reloads after a watcher's change, removal, stepping
// through the workspaces, and start-up (the database, the bookmark tidy and
// the restore of every remembered workspace). The published fields stay with
// the application state; this class reads and changes them through its hooks.
// Lives on the main thread.
class WorkspaceRegistry final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WorkspaceRegistry)

public:
    // What the registry asks of the rest of the state.
    struct Hooks
    {
        // isClientNodeMode(): this installation plays the client-node role.
        std::function<bool()> isClientNodeMode;
        // setLastErrorMessage(text): shows a failure to the user.
        std::function<void(const QString &)> setLastErrorMessage;
        // projects(): the published workspaces.
        std::function<QList<BL_Workspace>()> projects;
        // setProjects(list): replaces the workspaces, announced when changed.
        std::function<void(const QList<BL_Workspace> &)> setProjects;
        // taskStore(projectID): the workspace's board, null when none.
        std::function<TaskBoardStore *(const QUuid &)> taskStore;
        // insertTaskStore(projectID, store): adds a board, not yet announced.
        std::function<void(const QUuid &, std::shared_ptr<TaskBoardStore>)> insertTaskStore;
        // publishTaskStores(): announces that the boards changed.
        std::function<void()> publishTaskStores;
        // forgetWorkspaceState(projectID): drops the workspace's board, counts
        // and preview, then announces each field that held it.
        std::function<void(const QUuid &)> forgetWorkspaceState;
        // forgetSyncState(projectID, taskIDs): drops what cloud sync knew of them.
        std::function<void(const QUuid &, const QList<QUuid> &)> forgetSyncState;
        // sharedWorkerPoolSize(): the published shared pool size.
        std::function<qint64()> sharedWorkerPoolSize;
        // setSharedWorkerPoolSize(size): publishes a new shared pool size.
        std::function<void(qint64)> setSharedWorkerPoolSize;
        // setAgentCount(projectID, count): the workspace's agent count.
        std::function<void(const QUuid &, qint64)> setAgentCount;
        // refreshWorkerStats(projectID): recounts the workspace's workers.
        std::function<void(const QUuid &)> refreshWorkerStats;
        // scheduleReadyTasks(projectID): delegates queued tasks while the pool has room.
        std::function<void(const QUuid &)> scheduleReadyTasks;
        // reconcileRunningAssignments(projectID): squares runs with the board.
        std::function<void(const QUuid &)> reconcileRunningAssignments;
        // ensureDefaultTeamAssignments(): every workspace in a team, with an owner.
        std::function<void()> ensureDefaultTeamAssignments;
        // projectsForSelectedTeam(): the workspaces the sidebar shows.
        std::function<QList<BL_Workspace>()> projectsForSelectedTeam;
        // selectedTeamID() / currentUserID(): the published selections.
        std::function<std::optional<QUuid>()> selectedTeamID;
        std::function<std::optional<QUuid>()> currentUserID;
        // setTeams(list) / setUsers(list): publish the team store's lists.
        std::function<void(const QList<BL_Team> &)> setTeams;
        std::function<void(const QList<BL_User> &)> setUsers;
        // activeProjectID() / setActiveProjectID(id): the selected workspace.
        std::function<std::optional<QUuid>()> activeProjectID;
        std::function<void(const std::optional<QUuid> &)> setActiveProjectID;
        // lastViewedProjectText(): the stored last viewed workspace id, as text.
        std::function<std::optional<QString>()> lastViewedProjectText;
        // cloudSyncConditionHolds(): sync on, a usable session and a backend.
        std::function<bool()> cloudSyncConditionHolds;
        // pollRemoteTasks(reason): one pull from the backend across workspaces.
        std::function<QCoro::Task<>(QString)> pollRemoteTasks;
        // reconcilePendingTaskGitCheckpoints(): finishes checkpoints left pending.
        std::function<void()> reconcilePendingTaskGitCheckpoints;
        // prefetchSidebarData(): the once-per-process health and usage read.
        std::function<void()> prefetchSidebarData;
        // syncFromClientNode(reason): a client node's pull from its main node.
        std::function<QCoro::Task<>(QString)> syncFromClientNode;
        // remoteSyncFeatureEnabled(): the cloud sync switch.
        std::function<bool()> remoteSyncFeatureEnabled;
        // refreshAuthContext(): asks the backend for the signed-in context.
        std::function<QCoro::Task<>()> refreshAuthContext;
        // appSupportDirectory(): the data directory, created when missing.
        std::function<Result<QString>()> appSupportDirectory;
    };

    // What the registry works with; all of it outlives the registry.
    struct Services
    {
        const Clock &clock;
        BLEventBus &eventBus;
        DatabaseServiceProtocol &database;
        ProjectBookmarkStore &bookmarkStore;
        TeamProjectStore &teamStore;
        WorkerPool &workerPool;
        const LocalFileSystemService &fileSystem;
        // The application data directory (the watchers' state files).
        QString dataDirectory;
    };

    enum class NewWorkspaceKind { initialize, import };

    // The shared pool size a workspace gets when nothing is remembered.
    static constexpr qint64 defaultWorkerPoolSize = 4;
    static inline const QString managedWorkspacesDirectoryName = QStringLiteral("workspaces");

    WorkspaceRegistry(Services services, Hooks hooks);
    // Ends the reloads still running and shuts every watcher down (each
    // records its final state).
    ~WorkspaceRegistry() override;

    // Start-up: prepares the database, restores the remembered workspaces,
    // repairs and prefetches, creates a first workspace on an empty
    // installation (not on a client node).
    QCoro::Task<> bootstrap();
    // The bookmark file read, merged and rewritten when that changed anything.
    QList<ProjectBookmarkStore::ImportedProjectRecord> tidyBookmarks();
    QCoro::Task<> restoreBookmarkedProjects();

    // A new workspace in `folderPath` (created when missing) or an existing
    // folder; a failure is shown through setLastErrorMessage.
    QCoro::Task<> addWorkspace(QString folderPath, NewWorkspaceKind kind);
    // Stores, remembers, shows, watches and selects the workspace; a folder
    // known already keeps its id.
    QCoro::Task<Result<void>> registerWorkspace(QString rootPath, BL_WorkspaceConfig config, QByteArray bookmarkData);
    // The id of a known workspace in `path`: a shown one, else a remembered one.
    std::optional<QUuid> existingProjectID(const QString &path);
    void removeProject(const QUuid &projectID);
    // Moves the selection `step` places along the shown workspaces, wrapping.
    void selectNeighbourWorkspace(int step);
    // Re-reads the board of a workspace from the database.
    QCoro::Task<> reloadProjectTasks(QUuid projectID);
    // Publishes the team store's teams (and users).
    void setTeamsAndUsersFromStore(bool includeUsers);
    // The folder of managed workspaces, created when missing.
    Result<QString> managedWorkspaceRootDirectoryURL() const;

    // The task-file watchers, one per workspace (none on a client node).
    void startProjectWatcher(const BL_Workspace &workspace, const QByteArray &bookmarkData);
    bool hasWatcher(const QUuid &projectID) const { return m_watchers.contains(projectID); }

private:
    static void stopWatcher(ProjectWatcher &watcher);

    Services m_services;
    Hooks m_hooks;
    QHash<QUuid, std::shared_ptr<ProjectWatcher>> m_watchers;
    CoroutineScope m_scope {QStringLiteral("workspace registry")};
};
