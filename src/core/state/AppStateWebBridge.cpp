// The local viewer: the façade over LocalViewerHost, which runs the board
// server and answers its requests from this state through the hooks below.

#include "state/AppState.h"
#include "state/LocalViewerHost.h"
#include "state/WebAccountBridge.h"

std::unique_ptr<LocalViewerHost> AppState::makeLocalViewerHost()
{
    LocalViewerHost::Hooks hooks;
    hooks.setRunning
        = [this](bool running) { assign(m_isLocalTaskViewerRunning, running, Field::isLocalTaskViewerRunning); };
    hooks.setLastErrorMessage = [this](const QString &text) { setLastErrorMessage(text); };
    hooks.appendOAuthLog = [this](const QString &line) { appendOAuthLog(line); };
    hooks.isClientNodeMode = [this] { return isClientNodeMode(); };
    hooks.projects = [this]() -> const QList<BL_Workspace> & { return m_projects; };
    hooks.projectsForSelectedTeam = [this] { return projectsForSelectedTeam(); };
    hooks.activeProjectID = [this] { return m_activeProjectID; };
    hooks.taskStore = [this](const QUuid &projectID) { return taskStore(projectID); };
    hooks.finalizePendingGitDiff = [this](const QUuid &taskID, const QUuid &projectID) {
        maybeFinalizePendingTaskGitDiffIfNeeded(taskID, projectID);
    };
    hooks.checkpointService = [this] { return taskGitCheckpointService(); };
    hooks.createTask = [this](const TaskCreationRequest &request) { createTask(request); };
    hooks.managedWorkspaceRoot = [this] { return managedWorkspaceRootDirectoryURL(); };
    hooks.registerWorkspace = [this](QString folder, BL_WorkspaceConfig config, QByteArray bookmark) {
        return registerWorkspace(std::move(folder), std::move(config), std::move(bookmark));
    };
    hooks.moveTask = [this](const QUuid &taskID, BL_TaskStatus status, const QUuid &projectID) {
        moveTask(taskID, status, projectID);
    };
    hooks.deleteTask = [this](const QUuid &taskID, const QUuid &projectID) { deleteTask(taskID, projectID); };
    hooks.cancelRunningTask = [this](const QUuid &taskID, const QUuid &projectID, const QString &source) {
        cancelRunningTask(taskID, projectID, source);
    };
    hooks.clearDoneTasks = [this](const QUuid &projectID) { clearDoneTasks(projectID); };
    hooks.requestDelegation = [this](const QUuid &taskID, const QUuid &projectID, const QString &source) {
        requestDelegation(taskID, projectID, source);
    };
    hooks.latestModelUsage = [this] { return latestModelUsagePayload(); };
    hooks.organizationSummaries = [this] { return WebAccountBridge::organizationSummaries(*this); };
    hooks.teamSummaries = [this](const std::optional<QUuid> &organizationID) {
        return WebAccountBridge::teamSummaries(*this, organizationID);
    };
    hooks.mainNodeSummaries = [this](const std::optional<QUuid> &organizationID) {
        return WebAccountBridge::mainNodeSummaries(*this, organizationID);
    };
    hooks.authContext = [this](const std::optional<QString> &email, const std::optional<QString> &googleSubjectID) {
        return WebAccountBridge::authContext(*this, email, googleSubjectID);
    };
    hooks.createOrganization = [this](const LocalViewer::CreateOrganizationRequest &request) {
        return WebAccountBridge::createOrganization(*this, request);
    };
    hooks.createTeam = [this](const LocalViewer::CreateTeamRequest &request) {
        return WebAccountBridge::createTeam(*this, request);
    };
    hooks.createInvite = [this](const LocalViewer::CreateInviteRequest &request) {
        return WebAccountBridge::createInvite(*this, request);
    };
    hooks.acceptInvite = [this](const LocalViewer::AcceptInviteRequest &request) {
        return WebAccountBridge::acceptInvite(*this, request);
    };
    return std::make_unique<LocalViewerHost>(*m_taskLogWriter, m_fileSystem, std::move(hooks));
}

// ---- Lifecycle ----
// The readers the health checks and the test drivers call also answer while
// the state is being torn down, after the host has gone.

void AppState::setLocalViewerOptions(LocalViewerOptions options)
{
    m_localViewer->setOptions(std::move(options));
}

void AppState::startLocalTaskViewerServerIfNeeded()
{
    m_localViewer->startIfNeeded();
}

void AppState::ensureLocalTaskViewerServerStarted()
{
    m_localViewer->ensureStarted();
}

void AppState::stopLocalTaskViewerServer()
{
    m_localViewer->stop();
}

void AppState::regenerateLocalTaskViewerToken()
{
    m_localViewer->regenerateToken();
}

void AppState::handleLocalTaskViewerStopReport(qint64 generation)
{
    m_localViewer->handleStopReport(generation);
}

std::optional<QUrl> AppState::localTaskViewerShareURL() const
{
    return m_localViewer ? m_localViewer->shareURL() : std::nullopt;
}

LocalTaskViewerServer *AppState::localTaskViewerServer() const
{
    return m_localViewer ? m_localViewer->server() : nullptr;
}

qint64 AppState::localTaskViewerServerGeneration() const
{
    return m_localViewer->generation();
}

const std::optional<QString> &AppState::pendingLocalTaskViewerToken() const
{
    return m_localViewer->pendingToken();
}

bool AppState::hasAttemptedLocalServerStart() const
{
    return m_localViewer && m_localViewer->hasAttemptedStart();
}

LocalViewerHandlers AppState::makeLocalViewerHandlers()
{
    return m_localViewer->makeHandlers();
}

// ---- The web bridge ----

QFuture<QList<LocalViewer::TaskSummary>> AppState::webTaskSummaries(const std::optional<QUuid> &projectID)
{
    return m_localViewer->taskSummaries(projectID);
}

QFuture<std::optional<LocalViewer::TaskDetailResponse>> AppState::webTaskDetails(
    const QUuid &projectID, const QUuid &taskID)
{
    return m_localViewer->taskDetails(projectID, taskID);
}

QList<LocalViewer::WorkspaceSummary> AppState::webWorkspaceSummaries() const
{
    return m_localViewer->workspaceSummaries();
}

bool AppState::createTaskFromWeb(const LocalViewer::CreateTaskRequest &request)
{
    return m_localViewer->createTaskFromWeb(request);
}

QCoro::Task<std::optional<LocalViewer::CreateWorkspaceResponse>> AppState::createWorkspaceFromWeb(
    LocalViewer::CreateWorkspaceRequest request)
{
    return m_localViewer->createWorkspaceFromWeb(std::move(request));
}

std::optional<QString> AppState::resolveMACAddress(const QString &ip, int timeoutMs)
{
    return LocalViewerHost::resolveMACAddress(ip, timeoutMs);
}
