// The workspace registry behind the state: the registry is built here with
// the hooks through which it reads and changes the published fields, and the
// state's registry operations forward to it.
#include "AppState.h"

#include "state/WorkspaceRegistry.h"

static_assert(WorkspaceRegistry::defaultWorkerPoolSize == AppState::validationWorkerPoolSize);

void AppState::makeWorkspaceRegistry()
{
    WorkspaceRegistry::Hooks hooks;
    hooks.isClientNodeMode = [this] { return isClientNodeMode(); };
    hooks.setLastErrorMessage = [this](const QString &text) { setLastErrorMessage(text); };
    hooks.projects = [this] { return m_projects; };
    hooks.setProjects = [this](const QList<BL_Workspace> &projects) { assign(m_projects, projects, Field::projects); };
    hooks.taskStore = [this](const QUuid &projectID) { return taskStore(projectID); };
    hooks.insertTaskStore = [this](const QUuid &projectID, std::shared_ptr<TaskBoardStore> store) {
        m_taskStores.insert(projectID, std::move(store));
    };
    hooks.publishTaskStores = [this] { publish(Field::taskStores); };
    hooks.forgetWorkspaceState = [this](const QUuid &projectID) {
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
    };
    hooks.forgetSyncState
        = [this](const QUuid &projectID, const QList<QUuid> &taskIDs) { forgetProjectSyncEntries(projectID, taskIDs); };
    hooks.sharedWorkerPoolSize = [this] { return m_sharedWorkerPoolSize; };
    hooks.setSharedWorkerPoolSize
        = [this](qint64 size) { assign(m_sharedWorkerPoolSize, size, Field::sharedWorkerPoolSize); };
    hooks.setAgentCount = [this](const QUuid &projectID, qint64 count) {
        change(m_agentCountByProjectID, Field::agentCountByProjectID,
            [&](auto &counts) { counts.insert(projectID, count); });
    };
    hooks.refreshWorkerStats = [this](const QUuid &projectID) { refreshWorkerStats(projectID); };
    hooks.scheduleReadyTasks = [this](const QUuid &projectID) { scheduleReadyTasksIfCapacity(projectID); };
    hooks.reconcileRunningAssignments = [this](const QUuid &projectID) { reconcileRunningAssignments(projectID); };
    hooks.ensureDefaultTeamAssignments = [this] { ensureDefaultTeamAssignments(); };
    hooks.projectsForSelectedTeam = [this] { return projectsForSelectedTeam(); };
    hooks.selectedTeamID = [this] { return m_selectedTeamID; };
    hooks.currentUserID = [this] { return m_currentUserID; };
    hooks.setTeams = [this](const QList<BL_Team> &teams) { assign(m_teams, teams, Field::teams); };
    hooks.setUsers = [this](const QList<BL_User> &users) { assign(m_users, users, Field::users); };
    hooks.activeProjectID = [this] { return m_activeProjectID; };
    hooks.setActiveProjectID = [this](const std::optional<QUuid> &projectID) { setActiveProjectID(projectID); };
    hooks.lastViewedProjectText = [this] {
        return m_settings.migratedString(AppSettings::lastViewedProjectKey, AppSettings::legacyLastViewedProjectKey);
    };
    hooks.cloudSyncConditionHolds = [this] { return cloudSyncConditionHolds(); };
    hooks.pollRemoteTasks = [this](QString reason) { return pollRemoteTasksAcrossProjects(std::move(reason)); };
    hooks.reconcilePendingTaskGitCheckpoints = [this] { reconcilePendingTaskGitCheckpoints(); };
    hooks.prefetchSidebarData = [this] { prefetchSidebarDataIfNeeded(); };
    hooks.syncFromClientNode = [this](QString reason) { return syncFromClientNode(std::move(reason)); };
    hooks.remoteSyncFeatureEnabled = [this] { return m_remoteSyncFeatureEnabled; };
    hooks.refreshAuthContext = [this] { return refreshAuthContextFromBackend(); };
    hooks.appSupportDirectory = [this] { return tessaronAppSupportDirectoryURL(); };

    m_registry = std::make_unique<WorkspaceRegistry>(
        WorkspaceRegistry::Services {*m_clock, m_eventBus, *m_database, *m_bookmarkStore, *m_teamStore, *m_workerPool,
            m_fileSystem, m_dataDirectory},
        std::move(hooks));
}

Result<QString> AppState::managedWorkspaceRootDirectoryURL() const
{
    return m_registry->managedWorkspaceRootDirectoryURL();
}

QCoro::Task<> AppState::initializeNewProject(QString folderPath)
{
    return m_registry->addWorkspace(std::move(folderPath), WorkspaceRegistry::NewWorkspaceKind::initialize);
}

QCoro::Task<> AppState::importExistingProject(QString folderPath)
{
    return m_registry->addWorkspace(std::move(folderPath), WorkspaceRegistry::NewWorkspaceKind::import);
}

QCoro::Task<Result<void>> AppState::registerWorkspace(
    QString rootPath, BL_WorkspaceConfig config, QByteArray bookmarkData)
{
    return m_registry->registerWorkspace(std::move(rootPath), std::move(config), std::move(bookmarkData));
}

void AppState::setTeamsAndUsersFromStore(bool includeUsers)
{
    m_registry->setTeamsAndUsersFromStore(includeUsers);
}

void AppState::removeProject(const QUuid &projectID)
{
    m_registry->removeProject(projectID);
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
    m_registry->selectNeighbourWorkspace(1);
}

void AppState::selectPreviousWorkspace()
{
    m_registry->selectNeighbourWorkspace(-1);
}
