// The workspace registry: new and imported folders, the one registration
// sequence both end in, removal, reloads and the active workspace.
#include "AppState.h"

#include "common/Text.h"
#include "platform/FolderBookmark.h"
#include "state/ManagedFolderName.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>

namespace {

QString lastPathComponent(const QString &path)
{
    return QFileInfo(QDir::cleanPath(path)).fileName();
}

template<typename T> void sortByCreation(QList<T> &list)
{
    std::stable_sort(list.begin(), list.end(), [](const T &a, const T &b) { return a.createdAt < b.createdAt; });
}

} // namespace

Result<QString> AppState::managedWorkspaceRootDirectoryURL() const
{
    const auto dataDirectory = tessaronAppSupportDirectoryURL();
    if (!dataDirectory)
        return dataDirectory.error();
    const QString root = QDir(*dataDirectory).filePath(managedWorkspacesDirectoryName);
    if (!QDir().mkpath(root))
        return Error::make(QStringLiteral("The workspaces folder could not be created: %1").arg(root));
    return QDir::cleanPath(root);
}

QCoro::Task<> AppState::initializeNewProject(QString folderPath)
{
    auto adding = addWorkspace(folderPath, NewWorkspaceKind::initialize);
    co_await std::move(adding);
}

QCoro::Task<> AppState::importExistingProject(QString folderPath)
{
    auto adding = addWorkspace(folderPath, NewWorkspaceKind::import);
    co_await std::move(adding);
}

QCoro::Task<> AppState::addWorkspace(QString folderPath, NewWorkspaceKind kind)
{
    const bool initialize = kind == NewWorkspaceKind::initialize;
    if (isClientNodeMode()) {
        setLastErrorMessage(initialize ? QStringLiteral("Initialize New is unavailable in client-node mode.")
                                       : QStringLiteral("Import Existing is unavailable in client-node mode."));
        co_return;
    }
    const QString prefix
        = initialize ? QStringLiteral("Unable to initialize workspace: ") : QStringLiteral("Unable to add workspace: ");

    // A new workspace may name a folder that does not exist yet.
    if (initialize && !QDir().mkpath(folderPath)) {
        setLastErrorMessage(prefix + QStringLiteral("The folder could not be created: %1").arg(folderPath));
        co_return;
    }
    const auto bookmark = FolderBookmark::create(folderPath);
    if (!bookmark) {
        setLastErrorMessage(prefix + bookmark.errorMessage());
        co_return;
    }
    const auto resolved = FolderBookmark::resolve(*bookmark);
    if (!resolved || resolved->isStale) {
        setLastErrorMessage(
            prefix + (resolved ? QStringLiteral("The folder's bookmark is out of date.") : resolved.errorMessage()));
        co_return;
    }
    const QString root = resolved->path;
    const QString folderName = lastPathComponent(root);

    BL_WorkspaceConfig config {folderName, validationWorkerPoolSize};
    if (initialize) {
        const auto written = m_fileSystem.initializeProject(root, folderName, validationWorkerPoolSize);
        if (!written) {
            setLastErrorMessage(prefix + written.errorMessage());
            co_return;
        }
        config = *written;
    } else if (const auto detection = m_fileSystem.detectProject(root); detection.configURL) {
        const auto bytes = m_fileSystem.readWorkspaceFile(*detection.configURL);
        const auto parsed
            = bytes ? BL_WorkspaceConfig::parse(*bytes, folderName) : Result<BL_WorkspaceConfig>(bytes.error());
        if (!parsed) {
            setLastErrorMessage(prefix + parsed.errorMessage());
            co_return;
        }
        config = *parsed;
    }

    auto registering = registerWorkspace(root, config, *bookmark);
    const Result<void> registered = co_await std::move(registering);
    if (!registered)
        setLastErrorMessage(prefix + registered.errorMessage());
}

std::optional<QUuid> AppState::existingProjectID(const QString &path)
{
    for (const BL_Workspace &workspace : std::as_const(m_projects))
        if (workspace.rootPath == path)
            return workspace.id;
    return m_bookmarkStore->importedProjectID(path);
}

QCoro::Task<Result<void>> AppState::registerWorkspace(
    QString rootPath, BL_WorkspaceConfig config, QByteArray bookmarkData)
{
    QPointer<AppState> self(this);
    const TimePoint now = m_clock->now();
    const QUuid id = existingProjectID(rootPath).value_or(QUuid::createUuid());
    const BL_Workspace workspace {id, std::nullopt, config.name, rootPath, now, now};

    auto upserting = m_database->upsertProject(workspace);
    const Result<void> stored = co_await upserting;
    if (!self)
        co_return stored;
    if (!stored)
        co_return stored;

    m_bookmarkStore->save(bookmarkData, id, config.name, rootPath, m_sharedWorkerPoolSize);
    change(m_agentCountByProjectID, Field::agentCountByProjectID,
        [&](auto &counts) { counts.insert(id, m_sharedWorkerPoolSize); });
    refreshWorkerStats(id);

    change(m_projects, Field::projects, [&](QList<BL_Workspace> &projects) {
        const auto existing
            = std::find_if(projects.begin(), projects.end(), [&](const BL_Workspace &w) { return w.id == id; });
        if (existing != projects.end()) {
            *existing = workspace;
        } else {
            projects.append(workspace);
            sortByCreation(projects);
        }
    });

    if (!m_taskStores.contains(id)) {
        auto fetching = m_database->fetchTasks(id);
        const Result<QList<BL_Task>> tasks = co_await fetching;
        if (!self)
            co_return Result<void>();
        if (tasks) {
            m_taskStores.insert(id, std::make_shared<TaskBoardStore>(*tasks, *m_clock));
        } else {
            m_taskStores.insert(id, std::make_shared<TaskBoardStore>(QList<BL_Task>(), *m_clock));
            setLastErrorMessage(QStringLiteral("Imported %1, but existing task cache could not be loaded: %2")
                                    .arg(config.name, tasks.errorMessage()));
        }
        publish(Field::taskStores);
    }

    startProjectWatcher(workspace, bookmarkData);
    ensureDefaultTeamAssignments();
    if (m_selectedTeamID)
        m_teamStore->assign(id, *m_selectedTeamID);
    if (m_currentUserID)
        m_teamStore->setOwner(*m_currentUserID, id);
    m_teamStore->deduplicateTeamsByName();
    setTeamsAndUsersFromStore(true);
    setActiveProjectID(id);
    scheduleReadyTasksIfCapacity(id);

    if (m_remoteSyncFeatureEnabled && hasUsableCloudSession() && resolvedBackendAPIBaseURL()) {
        auto polling = pollRemoteTasksAcrossProjects(QStringLiteral("workspace-register"));
        co_await std::move(polling);
    }
    co_return Result<void>();
}

void AppState::setTeamsAndUsersFromStore(bool includeUsers)
{
    assign(m_teams, m_teamStore->allTeams(), Field::teams);
    if (includeUsers)
        assign(m_users, m_teamStore->allUsers(), Field::users);
}

void AppState::removeProject(const QUuid &projectID)
{
    QList<QUuid> taskIDs;
    if (const TaskBoardStore *store = taskStore(projectID))
        taskIDs = store->taskByID().keys();

    if (const auto watcher = m_watchers.take(projectID))
        stopWatcher(*watcher);

    // Every map loses the workspace first; then each one that held it says so.
    QList<Field> changed;
    if (m_taskStores.remove(projectID) > 0)
        changed.append(Field::taskStores);
    if (m_agentCountByProjectID.remove(projectID) > 0)
        changed.append(Field::agentCountByProjectID);
    if (m_runningWorkerCountByProjectID.remove(projectID) > 0)
        changed.append(Field::runningWorkerCountByProjectID);
    for (WebPreviewController::Field field : m_preview->forgetProject(projectID))
        changed.append(previewField(field));
    for (Field field : std::as_const(changed))
        publish(field);

    m_bookmarkStore->deleteRecord(projectID);
    m_teamStore->removeProject(projectID);
    if (m_projects.removeIf([&](const BL_Workspace &w) { return w.id == projectID; }) > 0)
        publish(Field::projects);

    forgetProjectSyncEntries(projectID, taskIDs);

    m_teamStore->deduplicateTeamsByName();
    setTeamsAndUsersFromStore(false);

    if (m_activeProjectID == projectID) {
        const QList<BL_Workspace> visible = projectsForSelectedTeam();
        if (!visible.isEmpty())
            setActiveProjectID(visible.first().id);
        else if (!m_projects.isEmpty())
            setActiveProjectID(m_projects.first().id);
        else
            setActiveProjectID(std::nullopt);
    }
}

std::optional<BL_Workspace> AppState::activeProject() const
{
    if (!m_activeProjectID)
        return std::nullopt;
    for (const BL_Workspace &workspace : m_projects)
        if (workspace.id == *m_activeProjectID)
            return workspace;
    return std::nullopt;
}

QString AppState::workspaceStatusText() const
{
    const auto project = activeProject();
    return project ? QStringLiteral("Active workspace: ") + project->rootPath : QStringLiteral("No workspace selected");
}

void AppState::selectNextWorkspace()
{
    selectNeighbourWorkspace(1);
}

void AppState::selectPreviousWorkspace()
{
    selectNeighbourWorkspace(-1);
}

void AppState::selectNeighbourWorkspace(int step)
{
    const QList<BL_Workspace> list = projectsForSelectedTeam();
    if (list.isEmpty())
        return;
    const qsizetype n = list.size();
    qsizetype position = -1;
    if (m_activeProjectID) {
        for (qsizetype i = 0; i < n; ++i)
            if (list[i].id == *m_activeProjectID)
                position = i;
    }
    const qsizetype chosen = position < 0 ? 0 : (position + step + n) % n;
    setActiveProjectID(list[chosen].id);
}

QCoro::Task<> AppState::reloadProjectTasks(QUuid projectID)
{
    if (!m_taskStores.contains(projectID))
        co_return;
    QPointer<AppState> self(this);
    auto fetching = m_database->fetchTasks(projectID);
    const Result<QList<BL_Task>> tasks = co_await fetching;
    if (!self)
        co_return;
    if (!tasks) {
        setLastErrorMessage(QStringLiteral("Failed to refresh workspace tasks: ") + tasks.errorMessage());
        co_return;
    }
    if (TaskBoardStore *store = taskStore(projectID))
        store->applySnapshot(*tasks);
    reconcileRunningAssignments(projectID);
    scheduleReadyTasksIfCapacity(projectID);
}
