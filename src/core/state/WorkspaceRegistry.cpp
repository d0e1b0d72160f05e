#include "WorkspaceRegistry.h"

#include "agents/WorkerPool.h"
#include "board/TaskBoardStore.h"
#include "common/FutureResult.h"
#include "common/Logging.h"
#include "common/UuidText.h"
#include "platform/FolderBookmark.h"
#include "storage/DatabaseServiceProtocol.h"
#include "storage/LocalFileSystemService.h"
#include "storage/ProjectWatcher.h"
#include "storage/TeamProjectStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <algorithm>
#include <chrono>

namespace {

QString lastPathComponent(const QString &path)
{
    return QFileInfo(QDir::cleanPath(path)).fileName();
}

template<typename T> void sortByCreation(QList<T> &list)
{
    std::stable_sort(list.begin(), list.end(), [](const T &a, const T &b) { return a.createdAt < b.createdAt; });
}

// The database's answer; nothing when its executor dropped the call, as it
// does while the application shuts down.
template<typename T> QCoro::Task<std::optional<T>> databaseAnswer(QFuture<T> future)
{
    try {
        co_return co_await futureResult(std::move(future));
    } catch (const CancelledError &) {
        qCDebug(lcState) << "a task database call was dropped";
        co_return std::nullopt;
    }
}

} // namespace

WorkspaceRegistry::WorkspaceRegistry(Services services, Hooks hooks)
    : m_services(std::move(services)), m_hooks(std::move(hooks))
{
}

WorkspaceRegistry::~WorkspaceRegistry()
{
    // The reloads wait on the main thread, which is this one: they are only
    // told to end, and each sees the registry gone when it resumes.
    if (m_scope.runningCount() > 0)
        m_scope.shutdown(std::chrono::milliseconds(0));
    for (const std::shared_ptr<ProjectWatcher> &watcher : std::as_const(m_watchers))
        watcher->shutdown();
}

// ---- Start-up ----

QCoro::Task<> WorkspaceRegistry::bootstrap()
{
    QPointer<WorkspaceRegistry> self(this);
    const auto migrated = co_await databaseAnswer(m_services.database.migrate());
    if (!self || !migrated)
        co_return;
    if (!*migrated) {
        m_hooks.setLastErrorMessage(
            QStringLiteral("Failed to initialize workspace database: ") + migrated->errorMessage());
        co_return;
    }

    tidyBookmarks();
    co_await restoreBookmarkedProjects();
    if (!self)
        co_return;
    m_hooks.reconcilePendingTaskGitCheckpoints();
    m_hooks.ensureDefaultTeamAssignments();
    m_hooks.prefetchSidebarData();

    if (!m_hooks.isClientNodeMode() && m_hooks.projects().isEmpty()) {
        if (const auto root = managedWorkspaceRootDirectoryURL()) {
            co_await addWorkspace(QDir(*root).filePath(QStringLiteral("playground")), NewWorkspaceKind::initialize);
            if (!self)
                co_return;
        }
    }
    if (m_hooks.isClientNodeMode()) {
        co_await m_hooks.syncFromClientNode(QStringLiteral("bootstrap"));
        if (!self)
            co_return;
    }
    if (m_hooks.remoteSyncFeatureEnabled())
        co_await m_hooks.refreshAuthContext();
}

QList<ProjectBookmarkStore::ImportedProjectRecord> WorkspaceRegistry::tidyBookmarks()
{
    // The store reads the file, merges records of the same folder and
    // rewrites the file when that changed anything; an unreadable file gives
    // no records and stays as it is, a damaged record is skipped with a
    // warning and the others come back.
    return m_services.bookmarkStore.loadRecords();
}

QCoro::Task<> WorkspaceRegistry::restoreBookmarkedProjects()
{
    QPointer<WorkspaceRegistry> self(this);
    QList<ProjectBookmarkStore::ImportedProjectRecord> records = tidyBookmarks();
    std::stable_sort(
        records.begin(), records.end(), [](const auto &a, const auto &b) { return a.createdAt < b.createdAt; });

    if (!records.isEmpty()) {
        const qint64 agents = m_services.workerPool.agents().size();
        const qint64 remembered = std::min({agents, qint64(6), records.first().agentCount});
        const qint64 size = remembered >= 1 ? remembered : std::min<qint64>(agents, defaultWorkerPoolSize);
        m_services.workerPool.setSharedAgentCount(std::max<qint64>(0, std::min(agents, size)));
        m_hooks.setSharedWorkerPoolSize(size);
    }

    QList<BL_Workspace> restored;
    for (const auto &record : std::as_const(records)) {
        // The folder: the bookmark when it still resolves, else the path.
        std::optional<QString> resolvedPath;
        if (const auto resolved = FolderBookmark::resolve(record.bookmarkData); resolved && !resolved->isStale)
            resolvedPath = resolved->path;
        QString folder;
        QByteArray bookmarkData = record.bookmarkData;
        if (resolvedPath) {
            folder = *resolvedPath;
        } else {
            if (record.rootPath.isEmpty() || !QFileInfo::exists(record.rootPath)) {
                qCWarning(lcState) << "not restoring workspace" << record.projectName
                                   << "- its folder is gone:" << record.rootPath;
                continue;
            }
            folder = record.rootPath;
            if (const auto fresh = FolderBookmark::create(folder))
                bookmarkData = *fresh;
        }

        // The name: the remembered one, else the folder's; a config file
        // found in the folder decides.
        const QString folderName = lastPathComponent(folder);
        QString name = record.projectName.isEmpty() ? folderName : record.projectName;
        if (const auto detection = m_services.fileSystem.detectProject(folder); detection.configURL) {
            const auto bytes = m_services.fileSystem.readWorkspaceFile(*detection.configURL);
            const auto config
                = bytes ? BL_WorkspaceConfig::parse(*bytes, folderName) : Result<BL_WorkspaceConfig>(bytes.error());
            if (config) {
                name = config->name;
            } else if (resolvedPath) {
                qCWarning(lcState) << "not restoring workspace" << name
                                   << "- its configuration is unreadable:" << config.errorMessage();
                continue;
            }
        }

        const TimePoint now = m_services.clock.now();
        const BL_Workspace workspace {record.projectID, std::nullopt, name, folder, now, now};
        const auto stored = co_await databaseAnswer(m_services.database.upsertProject(workspace));
        if (!self || !stored)
            co_return;
        if (!*stored) {
            qCWarning(lcState) << "not restoring workspace" << name
                               << "- it could not be stored:" << stored->errorMessage();
            continue;
        }
        const auto tasks = co_await databaseAnswer(m_services.database.fetchTasks(workspace.id));
        if (!self || !tasks)
            co_return;
        if (!*tasks) {
            qCWarning(lcState) << "not restoring workspace" << name
                               << "- its tasks could not be read:" << tasks->errorMessage();
            continue;
        }

        m_hooks.insertTaskStore(workspace.id, std::make_shared<TaskBoardStore>(**tasks, m_services.clock));
        m_hooks.publishTaskStores();
        m_hooks.setAgentCount(workspace.id, m_hooks.sharedWorkerPoolSize());
        m_hooks.refreshWorkerStats(workspace.id);
        restored.append(workspace);
        m_services.bookmarkStore.save(bookmarkData, workspace.id, name, folder, m_hooks.sharedWorkerPoolSize());
        startProjectWatcher(workspace, bookmarkData);
    }

    sortByCreation(restored);
    m_hooks.setProjects(restored);
    qCDebug(lcState) << "restored" << restored.size() << "of" << records.size() << "remembered workspaces";
    for (const BL_Workspace &workspace : std::as_const(restored))
        m_hooks.scheduleReadyTasks(workspace.id);

    m_hooks.ensureDefaultTeamAssignments();

    std::optional<QUuid> lastViewed;
    if (const auto text = m_hooks.lastViewedProjectText())
        lastViewed = UuidText::parse(*text);
    const QList<BL_Workspace> visible = m_hooks.projectsForSelectedTeam();
    const QList<BL_Workspace> projects = m_hooks.projects();
    std::optional<QUuid> active;
    if (lastViewed && std::any_of(visible.begin(), visible.end(), [&](const auto &w) { return w.id == *lastViewed; }))
        active = lastViewed;
    else if (!visible.isEmpty())
        active = visible.first().id;
    else if (!projects.isEmpty())
        active = projects.first().id;
    m_hooks.setActiveProjectID(active);

    if (m_hooks.cloudSyncConditionHolds())
        co_await m_hooks.pollRemoteTasks(QStringLiteral("workspace-restore"));
}

// ---- Adding and registering ----

Result<QString> WorkspaceRegistry::managedWorkspaceRootDirectoryURL() const
{
    const auto dataDirectory = m_hooks.appSupportDirectory();
    if (!dataDirectory)
        return dataDirectory.error();
    const QString root = QDir(*dataDirectory).filePath(managedWorkspacesDirectoryName);
    if (!QDir().mkpath(root))
        return Error::make(QStringLiteral("The workspaces folder could not be created: %1").arg(root));
    return QDir::cleanPath(root);
}

QCoro::Task<> WorkspaceRegistry::addWorkspace(QString folderPath, NewWorkspaceKind kind)
{
    const bool initialize = kind == NewWorkspaceKind::initialize;
    if (m_hooks.isClientNodeMode()) {
        m_hooks.setLastErrorMessage(initialize ? QStringLiteral("Initialize New is unavailable in client-node mode.")
                                               : QStringLiteral("Import Existing is unavailable in client-node mode."));
        co_return;
    }
    const QString prefix
        = initialize ? QStringLiteral("Unable to initialize workspace: ") : QStringLiteral("Unable to add workspace: ");

    // A new workspace may name a folder that does not exist yet.
    if (initialize && !QDir().mkpath(folderPath)) {
        m_hooks.setLastErrorMessage(prefix + QStringLiteral("The folder could not be created: %1").arg(folderPath));
        co_return;
    }
    const auto bookmark = FolderBookmark::create(folderPath);
    if (!bookmark) {
        m_hooks.setLastErrorMessage(prefix + bookmark.errorMessage());
        co_return;
    }
    const auto resolved = FolderBookmark::resolve(*bookmark);
    if (!resolved || resolved->isStale) {
        m_hooks.setLastErrorMessage(
            prefix + (resolved ? QStringLiteral("The folder's bookmark is out of date.") : resolved.errorMessage()));
        co_return;
    }
    const QString root = resolved->path;
    const QString folderName = lastPathComponent(root);

    BL_WorkspaceConfig config {folderName, defaultWorkerPoolSize};
    if (initialize) {
        const auto written = m_services.fileSystem.initializeProject(root, folderName, defaultWorkerPoolSize);
        if (!written) {
            m_hooks.setLastErrorMessage(prefix + written.errorMessage());
            co_return;
        }
        config = *written;
    } else if (const auto detection = m_services.fileSystem.detectProject(root); detection.configURL) {
        const auto bytes = m_services.fileSystem.readWorkspaceFile(*detection.configURL);
        const auto parsed
            = bytes ? BL_WorkspaceConfig::parse(*bytes, folderName) : Result<BL_WorkspaceConfig>(bytes.error());
        if (!parsed) {
            m_hooks.setLastErrorMessage(prefix + parsed.errorMessage());
            co_return;
        }
        config = *parsed;
    }

    QPointer<WorkspaceRegistry> self(this);
    const Result<void> registered = co_await registerWorkspace(root, config, *bookmark);
    // The state may have gone while the registration waited.
    if (self && !registered)
        m_hooks.setLastErrorMessage(prefix + registered.errorMessage());
}

std::optional<QUuid> WorkspaceRegistry::existingProjectID(const QString &path)
{
    for (const BL_Workspace &workspace : m_hooks.projects())
        if (workspace.rootPath == path)
            return workspace.id;
    return m_services.bookmarkStore.importedProjectID(path);
}

QCoro::Task<Result<void>> WorkspaceRegistry::registerWorkspace(
    QString rootPath, BL_WorkspaceConfig config, QByteArray bookmarkData)
{
    QPointer<WorkspaceRegistry> self(this);
    const TimePoint now = m_services.clock.now();
    const QUuid id = existingProjectID(rootPath).value_or(QUuid::createUuid());
    const BL_Workspace workspace {id, std::nullopt, config.name, rootPath, now, now};

    const auto stored = co_await databaseAnswer(m_services.database.upsertProject(workspace));
    if (!stored)
        co_return Error::make(QStringLiteral("The task database has stopped."));
    if (!self || !*stored)
        co_return *stored;

    const qint64 poolSize = m_hooks.sharedWorkerPoolSize();
    m_services.bookmarkStore.save(bookmarkData, id, config.name, rootPath, poolSize);
    m_hooks.setAgentCount(id, poolSize);
    m_hooks.refreshWorkerStats(id);

    QList<BL_Workspace> projects = m_hooks.projects();
    const auto existing
        = std::find_if(projects.begin(), projects.end(), [&](const BL_Workspace &w) { return w.id == id; });
    if (existing != projects.end()) {
        *existing = workspace;
    } else {
        projects.append(workspace);
        sortByCreation(projects);
    }
    m_hooks.setProjects(projects);
    qCDebug(lcState) << "registered workspace" << config.name << rootPath;

    if (!m_hooks.taskStore(id)) {
        const auto tasks = co_await databaseAnswer(m_services.database.fetchTasks(id));
        if (!self || !tasks)
            co_return Result<void>();
        if (*tasks) {
            m_hooks.insertTaskStore(id, std::make_shared<TaskBoardStore>(**tasks, m_services.clock));
        } else {
            m_hooks.insertTaskStore(id, std::make_shared<TaskBoardStore>(QList<BL_Task>(), m_services.clock));
            m_hooks.setLastErrorMessage(QStringLiteral("Imported %1, but existing task cache could not be loaded: %2")
                                            .arg(config.name, tasks->errorMessage()));
        }
        m_hooks.publishTaskStores();
    }

    startProjectWatcher(workspace, bookmarkData);
    m_hooks.ensureDefaultTeamAssignments();
    if (const auto team = m_hooks.selectedTeamID())
        m_services.teamStore.assign(id, *team);
    if (const auto user = m_hooks.currentUserID())
        m_services.teamStore.setOwner(*user, id);
    m_services.teamStore.deduplicateTeamsByName();
    setTeamsAndUsersFromStore(true);
    m_hooks.setActiveProjectID(id);
    m_hooks.scheduleReadyTasks(id);

    if (m_hooks.cloudSyncConditionHolds())
        co_await m_hooks.pollRemoteTasks(QStringLiteral("workspace-register"));
    co_return Result<void>();
}

void WorkspaceRegistry::setTeamsAndUsersFromStore(bool includeUsers)
{
    m_hooks.setTeams(m_services.teamStore.allTeams());
    if (includeUsers)
        m_hooks.setUsers(m_services.teamStore.allUsers());
}

// ---- Removal and selection ----

void WorkspaceRegistry::removeProject(const QUuid &projectID)
{
    QList<QUuid> taskIDs;
    if (const TaskBoardStore *store = m_hooks.taskStore(projectID))
        taskIDs = store->taskByID().keys();

    if (const auto watcher = m_watchers.take(projectID))
        stopWatcher(*watcher);

    // Every map loses the workspace first; then each one that held it says so.
    m_hooks.forgetWorkspaceState(projectID);

    m_services.bookmarkStore.deleteRecord(projectID);
    m_services.teamStore.removeProject(projectID);
    QList<BL_Workspace> projects = m_hooks.projects();
    if (projects.removeIf([&](const BL_Workspace &w) { return w.id == projectID; }) > 0)
        m_hooks.setProjects(projects);
    qCDebug(lcState) << "removed workspace" << projectID;

    m_hooks.forgetSyncState(projectID, taskIDs);

    m_services.teamStore.deduplicateTeamsByName();
    setTeamsAndUsersFromStore(false);

    if (m_hooks.activeProjectID() == projectID) {
        const QList<BL_Workspace> visible = m_hooks.projectsForSelectedTeam();
        if (!visible.isEmpty())
            m_hooks.setActiveProjectID(visible.first().id);
        else if (!projects.isEmpty())
            m_hooks.setActiveProjectID(projects.first().id);
        else
            m_hooks.setActiveProjectID(std::nullopt);
    }
}

void WorkspaceRegistry::selectNeighbourWorkspace(int step)
{
    const QList<BL_Workspace> list = m_hooks.projectsForSelectedTeam();
    if (list.isEmpty())
        return;
    const qsizetype n = list.size();
    qsizetype position = -1;
    if (const auto active = m_hooks.activeProjectID()) {
        for (qsizetype i = 0; i < n; ++i)
            if (list[i].id == *active)
                position = i;
    }
    const qsizetype chosen = position < 0 ? 0 : (position + step + n) % n;
    m_hooks.setActiveProjectID(list[chosen].id);
}

QCoro::Task<> WorkspaceRegistry::reloadProjectTasks(QUuid projectID)
{
    if (!m_hooks.taskStore(projectID))
        co_return;
    QPointer<WorkspaceRegistry> self(this);
    const CancellationToken cancelled = m_scope.cancellation();
    const auto tasks = co_await databaseAnswer(m_services.database.fetchTasks(projectID));
    if (!self || cancelled.isCancelled() || !tasks)
        co_return;
    if (!*tasks) {
        m_hooks.setLastErrorMessage(QStringLiteral("Failed to refresh workspace tasks: ") + tasks->errorMessage());
        co_return;
    }
    if (TaskBoardStore *store = m_hooks.taskStore(projectID))
        store->applySnapshot(**tasks);
    m_hooks.reconcileRunningAssignments(projectID);
    m_hooks.scheduleReadyTasks(projectID);
}

// ---- Watchers ----

void WorkspaceRegistry::startProjectWatcher(const BL_Workspace &workspace, const QByteArray &bookmarkData)
{
    if (m_hooks.isClientNodeMode())
        return;
    if (const auto running = m_watchers.take(workspace.id))
        stopWatcher(*running);
    QPointer<WorkspaceRegistry> self(this);
    // The callback comes from the watcher's own thread; the reload runs on
    // the main thread, and only while the registry still exists.
    auto onTasksChanged = [self](const QUuid &projectID) {
        QMetaObject::invokeMethod(
            qApp,
            [self, projectID] {
                if (self)
                    self->m_scope.spawnWith([&] { return self->reloadProjectTasks(projectID); });
            },
            Qt::QueuedConnection);
    };
    auto watcher = std::make_shared<ProjectWatcher>(workspace, bookmarkData, m_services.fileSystem, m_services.database,
        m_services.eventBus, onTasksChanged, m_services.dataDirectory, m_services.clock);
    m_watchers.insert(workspace.id, watcher);
    qCDebug(lcStorage) << "watching the task files of" << workspace.name << workspace.rootPath;
    watcher->start();
}

void WorkspaceRegistry::stopWatcher(ProjectWatcher &watcher)
{
    qCDebug(lcStorage) << "no longer watching" << watcher.project().rootPath;
    watcher.stop();
}
