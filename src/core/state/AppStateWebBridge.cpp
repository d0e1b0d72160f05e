// The web bridge and the local viewer's lifecycle: how the board server's
// requests are answered from this state, and when the server runs.

#include "board/TaskBoardStore.h"
#include "board/TaskLogTail.h"
#include "common/Text.h"
#include "common/UuidText.h"
#include "node/LocalViewerFutures.h"
#include "node/LocalViewerPage.h"
#include "node/LocalViewerRouter.h"
#include "platform/FolderBookmark.h"
#include "state/AppState.h"
#include "state/TaskCreation.h"
#include "state/WebAccountBridge.h"
#include "state/WebBridge.h"

#include <QDir>
#include <QElapsedTimer>
#include <QPointer>
#include <QProcess>
#include <QPromise>
#include <QRandomGenerator>
#include <QUrl>
#include <QUrlQuery>
#include <QtConcurrent>

using namespace LocalViewer;

namespace {

// Runs `work` on the main thread with the state, handing its result to the
// caller's future; the fallback when the state is gone (before or meanwhile).
template<typename T, typename Work> QFuture<T> onMainThread(const QPointer<AppState> &weak, T fallback, Work work)
{
    AppState *state = weak.data();
    if (!state)
        return QtFuture::makeReadyFuture(std::move(fallback));
    auto promise = std::make_shared<QPromise<T>>();
    promise->start();
    QFuture<T> future = promise->future();
    QMetaObject::invokeMethod(
        state,
        [weak, promise, fallback, work]() mutable {
            promise->addResult(weak ? work(weak.data()) : fallback);
            promise->finish();
        },
        Qt::QueuedConnection);
    return future;
}

// The same for an operation that answers a future itself. The future is
// waited on from the main thread, with one continuation (see
// LocalViewerFutures).
template<typename T, typename Work> QFuture<T> onMainThreadAsync(const QPointer<AppState> &weak, T fallback, Work work)
{
    AppState *state = weak.data();
    if (!state)
        return QtFuture::makeReadyFuture(std::move(fallback));
    auto promise = std::make_shared<QPromise<T>>();
    promise->start();
    QFuture<T> future = promise->future();
    QMetaObject::invokeMethod(
        state,
        [weak, promise, fallback, work]() mutable {
            if (!weak) {
                promise->addResult(fallback);
                promise->finish();
                return;
            }
            LocalViewerFutures::whenDone(work(weak.data()), fallback, [promise](const T &value) {
                promise->addResult(value);
                promise->finish();
            });
        },
        Qt::QueuedConnection);
    return future;
}

template<typename Work> QFuture<void> actionOnMainThread(const QPointer<AppState> &weak, Work work)
{
    AppState *state = weak.data();
    if (!state)
        return QtFuture::makeReadyFuture();
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    QFuture<void> future = promise->future();
    QMetaObject::invokeMethod(
        state,
        [weak, promise, work]() mutable {
            if (weak)
                work(weak.data());
            promise->finish();
        },
        Qt::QueuedConnection);
    return future;
}

// A coroutine's result as a future; the coroutine runs on as started.
template<typename T> QFuture<T> futureOf(QCoro::Task<T> task)
{
    auto promise = std::make_shared<QPromise<T>>();
    promise->start();
    QFuture<T> future = promise->future();
    auto forward = [](QCoro::Task<T> running, std::shared_ptr<QPromise<T>> p) -> QCoro::Task<> {
        p->addResult(co_await std::move(running));
        p->finish();
    };
    forward(std::move(task), promise);
    return future;
}

quint16 randomHighPort()
{
    const quint64 r = QRandomGenerator::system()->generate64();
    return static_cast<quint16>(((r & 0xFFFF) >> 2) | 0xC000);
}

QString randomToken()
{
    QString token;
    token.reserve(32);
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i)
        token.append(QLatin1Char(digits[QRandomGenerator::system()->bounded(16)]));
    return token;
}

} // namespace

// ---- Lifecycle ----

void AppState::setLocalViewerOptions(LocalViewerOptions options)
{
    m_localViewerOptions = std::move(options);
}

void AppState::startLocalTaskViewerServerIfNeeded()
{
    if (m_localTaskViewerServer)
        return;
    const qint64 generation = ++m_localTaskViewerServerGeneration;
    LocalTaskViewerServer::Options options;
    options.handlers = makeLocalViewerHandlers();
    options.accessToken = m_pendingLocalTaskViewerToken.value_or(
        m_localViewerOptions.tokenSource ? m_localViewerOptions.tokenSource() : randomToken());
    options.page = LocalViewerPage::document();
    options.requestDeadlineMs = m_localViewerOptions.requestDeadlineMs;
    QPointer<AppState> weak(this);
    options.onStopped = [weak, generation] {
        QMetaObject::invokeMethod(
            weak.data() ? static_cast<QObject *>(weak.data()) : QCoreApplication::instance(),
            [weak, generation] {
                if (weak)
                    weak->handleLocalTaskViewerStopReport(generation);
            },
            Qt::QueuedConnection);
    };
    auto server = std::make_unique<LocalTaskViewerServer>(std::move(options));
    for (int attempt = 0; attempt < 12; ++attempt) {
        const quint16 port = m_localViewerOptions.portSource ? m_localViewerOptions.portSource() : randomHighPort();
        if (port != 0 && server->start(port)) {
            m_localTaskViewerServer = std::move(server);
            m_pendingLocalTaskViewerToken.reset();
            assign(m_isLocalTaskViewerRunning, true, Field::isLocalTaskViewerRunning);
            return;
        }
    }
    assign(m_isLocalTaskViewerRunning, false, Field::isLocalTaskViewerRunning);
    setLastErrorMessage(QStringLiteral("Local viewer server failed to start on random high ports."));
}

void AppState::ensureLocalTaskViewerServerStarted()
{
    m_hasAttemptedLocalServerStart = true;
    if (m_localTaskViewerServer && m_localTaskViewerServer->hasListener()) {
        assign(m_isLocalTaskViewerRunning, true, Field::isLocalTaskViewerRunning);
        return;
    }
    m_localTaskViewerServer.reset();
    assign(m_isLocalTaskViewerRunning, false, Field::isLocalTaskViewerRunning);
    startLocalTaskViewerServerIfNeeded();
}

void AppState::stopLocalTaskViewerServer()
{
    m_hasAttemptedLocalServerStart = false;
    ++m_localTaskViewerServerGeneration;
    if (m_localTaskViewerServer) {
        m_localTaskViewerServer->stop();
        m_localTaskViewerServer.reset();
    }
    assign(m_isLocalTaskViewerRunning, false, Field::isLocalTaskViewerRunning);
}

void AppState::regenerateLocalTaskViewerToken()
{
    m_pendingLocalTaskViewerToken
        = m_localViewerOptions.tokenSource ? m_localViewerOptions.tokenSource() : randomToken();
    if (!m_localTaskViewerServer || !m_localTaskViewerServer->hasListener())
        return;
    m_hasAttemptedLocalServerStart = true;
    ++m_localTaskViewerServerGeneration;
    m_localTaskViewerServer->stop();
    m_localTaskViewerServer.reset();
    assign(m_isLocalTaskViewerRunning, false, Field::isLocalTaskViewerRunning);
    startLocalTaskViewerServerIfNeeded();
}

void AppState::handleLocalTaskViewerStopReport(qint64 generation)
{
    if (generation != m_localTaskViewerServerGeneration)
        return;
    m_localTaskViewerServer.reset();
    assign(m_isLocalTaskViewerRunning, false, Field::isLocalTaskViewerRunning);
}

std::optional<QUrl> AppState::localTaskViewerShareURL() const
{
    if (!m_localTaskViewerServer)
        return std::nullopt;
    const std::optional<quint16> port = m_localTaskViewerServer->boundPort();
    if (!port || *port == 0)
        return std::nullopt;
    const QUrl url(
        QStringLiteral("http://localhost:%1/?token=%2").arg(*port).arg(m_localTaskViewerServer->accessToken()));
    if (!url.isValid())
        return std::nullopt;
    return url;
}

LocalViewerHandlers AppState::makeLocalViewerHandlers()
{
    const QPointer<AppState> weak(this);
    LocalViewerHandlers h;
    h.fetchTasks = [weak](std::optional<QUuid> projectID) {
        return onMainThreadAsync(
            weak, QList<TaskSummary> {}, [projectID](AppState *s) { return s->webTaskSummaries(projectID); });
    };
    h.fetchTaskDetails = [weak](QUuid projectID, QUuid taskID) {
        return onMainThreadAsync(weak, std::optional<TaskDetailResponse> {},
            [projectID, taskID](AppState *s) { return s->webTaskDetails(projectID, taskID); });
    };
    h.fetchWorkspaces = [weak] {
        return onMainThread(weak, QList<WorkspaceSummary> {}, [](AppState *s) { return s->webWorkspaceSummaries(); });
    };
    h.createWorkspace = [weak](CreateWorkspaceRequest request) {
        return onMainThreadAsync(weak, std::optional<CreateWorkspaceResponse> {},
            [request](AppState *s) { return futureOf(s->createWorkspaceFromWeb(request)); });
    };
    h.fetchModelUsage = [weak] {
        ModelUsageAPIResponse fallback;
        fallback.checkedAt = TimePoint::now();
        fallback.errorMessage = QStringLiteral("AppState unavailable");
        return onMainThreadAsync(weak, fallback, [](AppState *s) { return futureOf(s->latestModelUsagePayload()); });
    };
    h.createTask = [weak](CreateTaskRequest request) {
        return onMainThread(weak, false, [request](AppState *s) { return s->createTaskFromWeb(request); });
    };
    h.moveTask = [weak](MoveTaskRequest r) {
        return actionOnMainThread(weak, [r](AppState *s) { s->moveTask(r.taskID, r.status, r.projectID); });
    };
    h.deleteTask = [weak](DeleteTaskRequest r) {
        return actionOnMainThread(weak, [r](AppState *s) { s->deleteTask(r.taskID, r.projectID); });
    };
    h.cancelTask = [weak](CancelTaskRequest r) {
        return actionOnMainThread(weak, [r](AppState *s) {
            s->cancelRunningTask(r.taskID, r.projectID, r.source.value_or(QStringLiteral("remote-client-cancel")));
        });
    };
    h.clearDoneTasks = [weak](ClearDoneTasksRequest r) {
        return actionOnMainThread(weak, [r](AppState *s) { s->clearDoneTasks(r.projectID); });
    };
    h.delegateTask = [weak](DelegateTaskRequest r) {
        return actionOnMainThread(weak, [r](AppState *s) {
            s->requestDelegation(r.taskID, r.projectID, r.source.value_or(QStringLiteral("remote-client")));
        });
    };
    h.fetchOrganizations = [weak] {
        return onMainThread(weak, QList<OrganizationSummary> {},
            [](AppState *s) { return WebAccountBridge::organizationSummaries(*s); });
    };
    h.fetchTeams = [weak](std::optional<QUuid> organizationID) {
        return onMainThread(weak, QList<TeamSummary> {},
            [organizationID](AppState *s) { return WebAccountBridge::teamSummaries(*s, organizationID); });
    };
    h.fetchMainNodes = [weak](std::optional<QUuid> organizationID) {
        return onMainThread(weak, QList<MainNodeSummary> {},
            [organizationID](AppState *s) { return WebAccountBridge::mainNodeSummaries(*s, organizationID); });
    };
    h.fetchAuthContext
        = [weak](std::optional<QString> email, std::optional<QString> googleSubjectID, std::optional<QString>) {
              // The name is not used: reading the context never creates a user.
              return onMainThread(weak, std::optional<AuthContextResponse> {}, [email, googleSubjectID](AppState *s) {
                  return WebAccountBridge::authContext(*s, email, googleSubjectID);
              });
          };
    h.createOrganization = [weak](CreateOrganizationRequest request) {
        return onMainThread(weak, std::optional<OrganizationSummary> {},
            [request](AppState *s) { return WebAccountBridge::createOrganization(*s, request); });
    };
    h.createTeam = [weak](CreateTeamRequest request) {
        return onMainThread(weak, std::optional<TeamSummary> {},
            [request](AppState *s) { return WebAccountBridge::createTeam(*s, request); });
    };
    h.createInvite = [weak](CreateInviteRequest request) {
        return onMainThread(weak, std::optional<BL_Invite> {},
            [request](AppState *s) { return WebAccountBridge::createInvite(*s, request); });
    };
    h.acceptInvite = [weak](AcceptInviteRequest request) {
        return onMainThread(weak, std::optional<AuthContextResponse> {},
            [request](AppState *s) { return WebAccountBridge::acceptInvite(*s, request); });
    };
    const int lookupTimeout = m_localViewerOptions.hardwareAddressTimeoutMs;
    h.resolveSubmitterMAC = [lookupTimeout](const QString &ip) { return resolveMACAddress(ip, lookupTimeout); };
    return h;
}

// ---- Board reads ----

QFuture<QList<TaskSummary>> AppState::webTaskSummaries(const std::optional<QUuid> &projectID)
{
    const std::optional<QUuid> target = projectID ? projectID : m_activeProjectID;
    TaskBoardStore *board = target ? taskStore(*target) : nullptr;
    if (!board)
        return QtFuture::makeReadyFuture(QList<TaskSummary> {});
    QList<BL_Task> tasks = board->taskByID().values();
    std::sort(tasks.begin(), tasks.end(), [](const BL_Task &a, const BL_Task &b) { return a.updatedAt > b.updatedAt; });
    if (tasks.size() > WebBridge::kMaxTasksPerList)
        tasks.resize(WebBridge::kMaxTasksPerList);
    const bool known
        = std::any_of(m_projects.cbegin(), m_projects.cend(), [&](const BL_Workspace &w) { return w.id == *target; });
    QStringList logPaths;
    for (const BL_Task &task : tasks)
        logPaths.append(known ? m_taskLogWriter->taskStdoutLogFilePath(*target, task.blID) : QString());
    return QtConcurrent::run(LocalViewerRouter::routingPool(), [tasks, logPaths] {
        QList<TaskSummary> summaries;
        for (qsizetype i = 0; i < tasks.size(); ++i) {
            const std::optional<QString> tail
                = logPaths[i].isEmpty() ? std::nullopt : TaskLogTail::readCached(logPaths[i]);
            summaries.append(WebBridge::taskSummary(tasks[i], tail));
        }
        return summaries;
    });
}

QFuture<std::optional<TaskDetailResponse>> AppState::webTaskDetails(const QUuid &projectID, const QUuid &taskID)
{
    TaskBoardStore *board = taskStore(projectID);
    if (!board || !board->taskByID().contains(taskID))
        return QtFuture::makeReadyFuture(std::optional<TaskDetailResponse> {});
    const BL_Task task = board->taskByID().value(taskID);
    maybeFinalizePendingTaskGitDiffIfNeeded(taskID, projectID);
    const bool known
        = std::any_of(m_projects.cbegin(), m_projects.cend(), [&](const BL_Workspace &w) { return w.id == projectID; });
    const QString logPath = known ? m_taskLogWriter->taskStdoutLogFilePath(projectID, taskID) : QString();
    const TaskGitCheckpointService patches = taskGitCheckpointService();
    return QtConcurrent::run(LocalViewerRouter::routingPool(), [task, logPath, patches, projectID, taskID] {
        WebBridge::DetailInputs inputs;
        if (!logPath.isEmpty())
            inputs.stdoutLogTail = TaskLogTail::readCached(logPath);
        if (const auto artifact = BL_TaskGitDiffArtifact::decode(task.metadata)) {
            const PatchRead patch = patches.readPatch(projectID, taskID, *artifact);
            if (patch)
                inputs.gitDiffPatch = patch.text();
        }
        return std::optional<TaskDetailResponse>(WebBridge::taskDetail(task, inputs));
    });
}

QList<WorkspaceSummary> AppState::webWorkspaceSummaries() const
{
    QList<WorkspaceSummary> summaries;
    for (const BL_Workspace &workspace : projectsForSelectedTeam()) {
        WorkspaceSummary summary {workspace.id, workspace.name, 0, 0, 0, 0, 0};
        if (TaskBoardStore *board = taskStore(workspace.id)) {
            for (const BL_Task &task : board->taskByID()) {
                switch (task.status) {
                case BL_TaskStatus::backlog:
                    ++summary.backlog;
                    break;
                case BL_TaskStatus::queued:
                    ++summary.queued;
                    break;
                case BL_TaskStatus::inProgress:
                    ++summary.inProgress;
                    break;
                case BL_TaskStatus::completed:
                    ++summary.completed;
                    break;
                case BL_TaskStatus::failed:
                    ++summary.failed;
                    break;
                }
            }
        }
        summaries.append(summary);
    }
    return summaries;
}

// ---- Board changes ----

bool AppState::createTaskFromWeb(const CreateTaskRequest &request)
{
    std::optional<QUuid> target = request.projectID;
    if (!target)
        target = m_activeProjectID;
    if (!target) {
        const QList<BL_Workspace> visible = projectsForSelectedTeam();
        if (!visible.isEmpty())
            target = visible.front().id;
        else if (!m_projects.isEmpty())
            target = m_projects.front().id;
    }
    if (!target || !taskStore(*target))
        return false;
    const QString description = Text::trimmed(request.description);
    if (description.isEmpty())
        return false;

    QJsonObject metadata {{"source", "local_web"}};
    auto put = [&metadata](const char *key, const std::optional<QString> &value) {
        if (value && !value->isEmpty())
            metadata.insert(QLatin1String(key), *value);
    };
    put("submitter_ip", request.submitterIP);
    put("submitter_mac", request.submitterMAC);
    std::optional<QString> username;
    if (request.submitterUsername && !request.submitterUsername->isEmpty()) {
        username = request.submitterUsername;
    } else {
        const QString ip = request.submitterIP.value_or(QString());
        if (ip.isEmpty() || ip == QLatin1String("127.0.0.1") || ip == QLatin1String("::1"))
            username = TaskCreation::currentSubmitterUsername();
    }
    put("submitter_username", username);

    TaskCreationRequest creation;
    creation.projectID = *target;
    creation.title = Text::cutToGraphemes(description, 80);
    creation.acceptanceCriteria = description;
    creation.description = description;
    creation.priority = QStringLiteral("medium");
    creation.sizeEstimate = QStringLiteral("M");
    creation.initialStatus = request.status;
    creation.additionalMetadata = metadata;
    createTask(creation);
    return true;
}

QCoro::Task<std::optional<CreateWorkspaceResponse>> AppState::createWorkspaceFromWeb(CreateWorkspaceRequest request)
{
    if (isClientNodeMode())
        co_return std::nullopt;
    const QString name = Text::trimmed(request.name);
    if (name.isEmpty())
        co_return std::nullopt;
    const std::optional<QString> folderName = WebBridge::sanitizedWorkspaceDirectoryName(name);
    if (!folderName)
        co_return std::nullopt;
    auto fail = [this](const QString &description) {
        setLastErrorMessage(QStringLiteral("Unable to create workspace: ") + description);
        appendOAuthLog(QStringLiteral("Web workspace creation failed: ") + description);
    };
    const Result<QString> rootResult = managedWorkspaceRootDirectoryURL();
    if (!rootResult) {
        fail(rootResult.errorMessage());
        co_return std::nullopt;
    }
    const QString root = QDir::cleanPath(*rootResult);
    const QString folder = WebBridge::uniqueWorkspaceDirectoryURL(root, *folderName);
    const QString prefix = root.endsWith(QLatin1Char('/')) ? root : root + QLatin1Char('/');
    if (!folder.startsWith(prefix))
        co_return std::nullopt;
    if (!QDir().mkpath(folder)) {
        fail(QStringLiteral("The folder could not be created: %1").arg(folder));
        co_return std::nullopt;
    }
    const Result<BL_WorkspaceConfig> config = m_fileSystem.initializeProject(folder, name, 4);
    if (!config) {
        fail(config.errorMessage());
        co_return std::nullopt;
    }
    const Result<QByteArray> bookmark = FolderBookmark::create(folder);
    if (!bookmark) {
        fail(bookmark.errorMessage());
        co_return std::nullopt;
    }
    QPointer<AppState> self(this);
    const Result<void> registered = co_await registerWorkspace(folder, *config, *bookmark);
    if (!self)
        co_return std::nullopt;
    if (!registered) {
        fail(registered.errorMessage());
        co_return std::nullopt;
    }
    std::optional<QUuid> id;
    for (const BL_Workspace &workspace : m_projects) {
        if (workspace.rootPath == folder) {
            id = workspace.id;
            break;
        }
    }
    WorkspaceSummary summary {id.value_or(QUuid::createUuid()), name, 0, 0, 0, 0, 0};
    if (id) {
        for (const WorkspaceSummary &candidate : webWorkspaceSummaries()) {
            if (candidate.id == *id)
                summary = candidate;
        }
    }
    co_return CreateWorkspaceResponse {summary, folder};
}

std::optional<QString> AppState::resolveMACAddress(const QString &ip, int timeoutMs)
{
    QProcess process;
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(
        QStringLiteral("/usr/bin/env"), {QStringLiteral("ip"), QStringLiteral("neigh"), QStringLiteral("show"), ip});
    QElapsedTimer clock;
    clock.start();
    if (!process.waitForStarted(timeoutMs)
        || !process.waitForFinished(std::max<int>(1, timeoutMs - int(clock.elapsed())))) {
        process.kill();
        process.waitForFinished(1000);
        return std::nullopt;
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString output = decoder.decode(process.readAllStandardOutput());
    if (decoder.hasError())
        return std::nullopt;
    return WebBridge::firstHardwareAddress(output);
}
