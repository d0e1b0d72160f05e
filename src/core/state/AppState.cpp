#include "AppState.h"

#include "agents/BrimlockRuntime.h"
#include "common/Logging.h"
#include "common/Text.h"
#include "platform/FreedesktopNotificationCenter.h"
#include "state/AccountSession.h"
#include "state/BoardActions.h"
#include "state/CloudSync.h"
#include "state/DelegationCoordinator.h"
#include "state/HealthUsageMonitor.h"
#include "state/LocalViewerHost.h"
#include "state/TaskCheckpointCoordinator.h"
#include "state/WebPreviewState.h"
#include "state/WorkspaceRegistry.h"
#include "storage/TaskDatabase.h"

#include <QDir>

namespace {

struct DefaultAgent
{
    const char *name;
    QStringList capabilities;
};

} // namespace

QList<BL_Agent> AppState::makeDefaultAgents(TimePoint now)
{
    const DefaultAgent agents[] = {
        {"Planner-01", {QStringLiteral("planning"), QStringLiteral("delegation")}},
        {"Builder-01", {QStringLiteral("implementation")}},
        {"QA-01", {QStringLiteral("testing")}},
        {"Builder-02", {QStringLiteral("implementation")}},
        {"QA-02", {QStringLiteral("testing")}},
        {"Ops-01", {QStringLiteral("ops"), QStringLiteral("monitoring")}},
    };
    QList<BL_Agent> list;
    for (const auto &agent : agents) {
        list.append(BL_Agent {QUuid::createUuid(), QString::fromLatin1(agent.name), QStringLiteral("gpt-5-codex"),
            agent.capabilities, true, now, now});
    }
    return list;
}

AppState::AppState(
    SettingsStore &defaults, std::unique_ptr<BrimlockSessionTerminating> sessionTerminator, AppStateOptions options)
    : m_eventBus(BLEventBus::shared()),
      m_managerID(QUuid::createUuid()),
      m_clock(options.clock ? options.clock : &Clock::system()),
      m_dataDirectory(options.dataDirectory ? *options.dataDirectory : BrimlockRuntime::appSupportDirectory()),
      m_ownedStandardDefaults(
          options.standardDefaults ? nullptr : std::make_unique<FileSettingsStore>(FileSettingsStore::standardPath())),
      m_ownedLegacyDefaults(
          options.legacyDefaults ? nullptr : std::make_unique<FileSettingsStore>(FileSettingsStore::legacySuitePath())),
      m_settings(defaults, options.legacyDefaults ? options.legacyDefaults : m_ownedLegacyDefaults.get()),
      m_sessionTerminator(std::move(sessionTerminator)),
      m_taskLogWriter(std::make_unique<TaskLogWriter>(m_dataDirectory, *m_clock))
{
    SettingsStore &standard = options.standardDefaults ? *options.standardDefaults : *m_ownedStandardDefaults;
    m_bookmarkStore = std::make_unique<ProjectBookmarkStore>(standard, m_dataDirectory, *m_clock);
    m_teamStore = std::make_unique<TeamProjectStore>(m_dataDirectory, *m_clock);
    m_accounts = makeAccountSession(options);
    m_cloudSync = makeCloudSync(options.activity);
    m_health = std::make_unique<HealthUsageMonitor>(*m_clock, options.healthChecks, options.modelUsage,
        HealthUsageMonitor::Hooks {
            [this] { return isClientNodeMode(); },
            [this] { return checkClientNodePing(); },
            [this] { return fetchClientNodeModelUsage(); },
            [this] { return isLocalTaskViewerRunning(); },
            [this] { return hasAttemptedLocalServerStart(); },
            [this] { return localTaskViewerURL(); },
            [this](QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt) {
                return emitHeartbeatFromHealthCheck(std::move(results), checkedAt);
            },
            [this](HealthUsageMonitor::Field field) {
                publish(
                    field == HealthUsageMonitor::Field::health ? Field::prefetchedHealth : Field::prefetchedModelUsage);
            },
        });
    m_checkpoints = std::make_unique<TaskCheckpointCoordinator>(m_dataDirectory, *m_clock,
        TaskCheckpointCoordinator::Hooks {
            [this] { return isClientNodeMode(); },
            [this]() -> const QList<BL_Workspace> & { return m_projects; },
            [this](const QUuid &projectID) { return taskStore(projectID); },
            [this] { return taskStoreIDs(); },
            [this](const BL_Task &task) { persistTask(task); },
            [this](const QUuid &projectID) { requestBrowserRefreshIfVisible(projectID); },
        });

    // The worker pool of six agents; at most four of them run at once.
    m_workerPool = std::make_unique<WorkerPool>(makeDefaultAgents(m_clock->now()));
    const qint64 agentCount = m_workerPool->agents().size();
    m_sharedWorkerPoolSize = std::min<qint64>(std::max<qint64>(agentCount, 1), validationWorkerPoolSize);
    m_workerPool->setSharedAgentCount(std::min(agentCount, m_sharedWorkerPoolSize));

    // The bus subscribers, in this order: the engine, the system event
    // watcher, this object's task tracking, the notification manager.
    m_agentEngine
        = std::make_unique<AgentEngine>(m_eventBus, *m_workerPool, m_managerID, std::move(options.runnerParts));
    m_systemWatcher = std::make_unique<SystemEventWatcher>(m_eventBus);

    m_database = makeDatabaseService(m_dataDirectory);
    makeWorkspaceRegistry();
    BoardActions::Hooks boardHooks;
    boardHooks.isClientNodeMode = [this] { return isClientNodeMode(); };
    boardHooks.taskStore = [this](const QUuid &projectID) { return taskStore(projectID); };
    boardHooks.workspaceRootPath = [this](const QUuid &projectID) -> std::optional<QString> {
        for (const BL_Workspace &workspace : std::as_const(m_projects))
            if (workspace.id == projectID)
                return workspace.rootPath;
        return std::nullopt;
    };
    boardHooks.persistTask = [this](const BL_Task &task) { persistTask(task); };
    boardHooks.captureGitBeforeCheckpoint
        = [this](const QUuid &taskID, const QUuid &projectID) { captureTaskGitBeforeCheckpoint(taskID, projectID); };
    boardHooks.captureGitAfterCheckpoint
        = [this](const QUuid &taskID, const QUuid &projectID) { captureTaskGitAfterCheckpoint(taskID, projectID); };
    boardHooks.requestBrowserRefreshIfVisible
        = [this](const QUuid &projectID) { requestBrowserRefreshIfVisible(projectID); };
    boardHooks.cloudSyncConditionHolds = [this] { return cloudSyncConditionHolds(); };
    boardHooks.pollRemoteTasks = [this](QString reason) { return pollRemoteTasksAcrossProjects(std::move(reason)); };
    boardHooks.cancelTaskExecution
        = [this](const QUuid &taskID) { return m_agentEngine->runner().cancelTaskExecution(taskID); };
    boardHooks.scheduleReadyTasksIfCapacity
        = [this](const QUuid &projectID) { scheduleReadyTasksIfCapacity(projectID); };
    boardHooks.requestRemoteTaskDeletion
        = [this](const QUuid &projectID, const QUuid &taskID) { requestRemoteTaskDeletion(projectID, taskID); };
    boardHooks.forgetTaskSyncEntries = [this](const QUuid &taskID) { forgetTaskSyncEntries(taskID); };
    boardHooks.setLastErrorMessage = [this](const QString &text) { setLastErrorMessage(text); };
    m_boardActions = std::make_unique<BoardActions>(
        *m_clock, m_eventBus, *m_database, *m_sessionTerminator, m_managerID, std::move(boardHooks));
    m_preview
        = std::make_unique<WebPreviewController>(m_settings.defaults(), WebPreview::loadPersistedAddresses(m_settings),
            [this](WebPreviewController::Field field) { publish(previewField(field)); });
    m_localViewer = makeLocalViewerHost();
    loadSettings();
    m_settings.persistentNodeInstanceID();

    m_isAuthenticated = m_accounts->loadStoredSession();

    m_delegation = makeDelegationCoordinator();
    m_delegation->bindEventPipelines(m_agentEngine.get());

    m_notificationManager = std::make_unique<NotificationManager>(m_eventBus, this, this,
        options.notificationCenter ? std::move(options.notificationCenter)
                                   : std::make_unique<FreedesktopNotificationCenter>(),
        options.notificationOutput ? options.notificationOutput : NotificationManager::standardOutput());
    m_notificationManager->requestAuthorization();
    m_notificationManager->setupEventSubscription();
}

AppState::~AppState()
{
    // An orderly end, dependents before what they depend on: the local
    // server (its handlers reach into this state), the task-file watchers
    // (they write to the database and record their state files), the board
    // actions (a cancellation still running stops short), then the agent
    // runtime (its runs and commands end, nothing more is published), then
    // delegation's bus subscriptions and timers, which read the published
    // fields that go before the services. The members go afterwards in their
    // usual order.
    qCDebug(lcState) << "shutting down";
    m_localViewer.reset();
    m_registry.reset();
    m_boardActions.reset();
    m_agentEngine.reset();
    m_delegation.reset();
}

std::unique_ptr<DatabaseServiceProtocol> AppState::makeDatabaseService(const QString &dataDirectory)
{
    return TaskDatabase::makeDatabaseService(dataDirectory);
}

Result<QString> AppState::tessaronAppSupportDirectoryURL() const
{
    if (m_dataDirectory.isEmpty())
        return Error::make(QStringLiteral("The application data folder could not be found."));
    if (!QDir().mkpath(m_dataDirectory))
        return Error::make(QStringLiteral("The application data folder could not be created: %1").arg(m_dataDirectory));
    return m_dataDirectory;
}

void AppState::loadSettings()
{
    m_backendBaseURLString
        = m_settings.migratedString(AppSettings::backendBaseURLKey, AppSettings::legacyBackendBaseURLKey)
              .value_or(QString());
    m_googleOAuthClientIDString
        = m_settings.migratedString(AppSettings::googleOAuthClientIDKey, AppSettings::legacyGoogleOAuthClientIDKey)
              .value_or(QString());

    SettingsStore &defaults = m_settings.defaults();
    if (!defaults.contains(AppSettings::remoteTaskSyncFlagKey))
        defaults.setValue(AppSettings::remoteTaskSyncFlagKey, false);
    m_remoteSyncFeatureEnabled = defaults.boolean(AppSettings::remoteTaskSyncFlagKey).value_or(false);

    // No stored role means a main node; an unknown text means no role at all.
    const auto nodeType = m_settings.migratedString(AppSettings::nodeTypeKey, AppSettings::legacyNodeTypeKey);
    m_currentNodeType = nodeType ? nodeTypeFromRaw(*nodeType) : std::optional<BL_NodeType>(BL_NodeType::mainNode);

    m_clientNodeHost = m_settings.migratedString(AppSettings::clientNodeHostKey, AppSettings::legacyClientNodeHostKey)
                           .value_or(QString());
    if (const auto port
        = m_settings.migratedInt(AppSettings::clientNodePortKey, AppSettings::legacyClientNodePortKey)) {
        m_clientNodePort = std::clamp<qint64>(*port, 0, 65535);
    } else {
        m_clientNodePort = defaultClientNodePort;
        defaults.setValue(AppSettings::clientNodePortKey, defaultClientNodePort);
    }
    m_clientNodeAccessToken
        = m_settings.migratedString(AppSettings::clientNodeAccessTokenKey, AppSettings::legacyClientNodeAccessTokenKey)
              .value_or(QString());
}

void AppState::appendOAuthLog(const QString &message)
{
    const QString line = u'[' + m_clock->now().toIso8601() + QStringLiteral("] ") + message;
    if (m_oauthDebugLogText.isEmpty())
        m_oauthDebugLogText = line;
    else
        m_oauthDebugLogText += u'\n' + line;
    publish(Field::oauthDebugLogText);
}

void AppState::setLastErrorMessage(const std::optional<QString> &message)
{
    assign(m_lastErrorMessage, message, Field::lastErrorMessage);
}

void AppState::setActiveProjectID(const std::optional<QUuid> &projectID)
{
    m_settings.persistLastViewedProjectID(projectID);
    assign(m_activeProjectID, projectID, Field::activeProjectID);
}

void AppState::setSelectedTeamID(const std::optional<QUuid> &teamID)
{
    assign(m_selectedTeamID, teamID, Field::selectedTeamID);
}

TaskBoardStore *AppState::taskStore(const QUuid &projectID) const
{
    const auto it = m_taskStores.constFind(projectID);
    return it == m_taskStores.constEnd() ? nullptr : it->get();
}

std::optional<BL_Task> AppState::boardTask(const QUuid &workspaceID, const QUuid &taskID) const
{
    const TaskBoardStore *store = taskStore(workspaceID);
    return store ? store->task(taskID) : std::nullopt;
}
