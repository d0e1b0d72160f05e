#include "LocalViewerHost.h"

#include "board/TaskBoardStore.h"
#include "board/TaskLogTail.h"
#include "common/Logging.h"
#include "common/ProcessRunner.h"
#include "common/Text.h"
#include "node/LocalTaskViewerServer.h"
#include "node/LocalViewerFutures.h"
#include "node/LocalViewerPage.h"
#include "node/LocalViewerRouter.h"
#include "platform/FolderBookmark.h"
#include "state/TaskLogWriter.h"
#include "state/WebBridge.h"
#include "storage/LocalFileSystemService.h"

#include <QCoreApplication>
#include <QDir>
#include <QPointer>
#include <QPromise>
#include <QRandomGenerator>
#include <QStringDecoder>
#include <QtConcurrent>
#include <algorithm>

using namespace LocalViewer;

namespace {

// A future answered on the host's (the main) thread by `answer(host,
// promise)`, or with `fallback` when the host is gone, before or meanwhile.
template<typename T, typename Answer>
QFuture<T> answeredOnMainThread(const QPointer<LocalViewerHost> &weak, T fallback, Answer answer)
{
    LocalViewerHost *host = weak.data();
    if (!host) {
        qCDebug(lcState) << "local viewer request answered with its fallback: the host is gone";
        return QtFuture::makeReadyFuture(std::move(fallback));
    }
    auto promise = std::make_shared<QPromise<T>>();
    promise->start();
    QFuture<T> future = promise->future();
    QMetaObject::invokeMethod(
        host,
        [weak, promise, fallback, answer]() mutable {
            if (!weak) {
                promise->addResult(fallback);
                promise->finish();
                return;
            }
            answer(weak.data(), promise);
        },
        Qt::QueuedConnection);
    return future;
}

// Runs `work` on the main thread with the host, handing its result to the
// caller's future.
template<typename T, typename Work>
QFuture<T> onMainThread(const QPointer<LocalViewerHost> &weak, T fallback, Work work)
{
    return answeredOnMainThread(
        weak, std::move(fallback), [work](LocalViewerHost *host, const std::shared_ptr<QPromise<T>> &promise) mutable {
            promise->addResult(work(host));
            promise->finish();
        });
}

// The same for an operation that answers a future itself. The future is
// waited on from the main thread, with one continuation (see
// LocalViewerFutures).
template<typename T, typename Work>
QFuture<T> onMainThreadAsync(const QPointer<LocalViewerHost> &weak, T fallback, Work work)
{
    return answeredOnMainThread(
        weak, fallback, [work, fallback](LocalViewerHost *host, const std::shared_ptr<QPromise<T>> &promise) mutable {
            LocalViewerFutures::whenDone(work(host), fallback, [promise](const T &value) {
                promise->addResult(value);
                promise->finish();
            });
        });
}

template<typename Work> QFuture<void> actionOnMainThread(const QPointer<LocalViewerHost> &weak, Work work)
{
    LocalViewerHost *host = weak.data();
    if (!host) {
        qCDebug(lcState) << "local viewer action dropped: the host is gone";
        return QtFuture::makeReadyFuture();
    }
    auto promise = std::make_shared<QPromise<void>>();
    promise->start();
    QFuture<void> future = promise->future();
    QMetaObject::invokeMethod(
        host,
        [weak, promise, work]() mutable {
            if (weak)
                work(weak.data());
            promise->finish();
        },
        Qt::QueuedConnection);
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

LocalViewerHost::LocalViewerHost(
    const TaskLogWriter &taskLogs, const LocalFileSystemService &fileSystem, Hooks hooks, QObject *parent)
    : QObject(parent), m_taskLogs(taskLogs), m_fileSystem(fileSystem), m_hooks(std::move(hooks))
{
}

LocalViewerHost::~LocalViewerHost()
{
    // The server first: its threads end, so no handler hops here any more.
    m_server.reset();
    // A workspace or usage read still running sees the host gone when it
    // resumes; waiting for it here would only block the main thread.
    if (m_scope.runningCount() > 0)
        m_scope.shutdown(std::chrono::milliseconds(0));
}

template<typename T> QFuture<T> LocalViewerHost::futureOf(QCoro::Task<T> task)
{
    auto promise = std::make_shared<QPromise<T>>();
    promise->start();
    QFuture<T> future = promise->future();
    auto forward = [](QCoro::Task<T> running, std::shared_ptr<QPromise<T>> p) -> QCoro::Task<> {
        p->addResult(co_await std::move(running));
        p->finish();
    };
    m_scope.spawnWith([&] { return forward(std::move(task), promise); });
    return future;
}

// ---- Lifecycle ----

void LocalViewerHost::setOptions(LocalViewerOptions options)
{
    m_options = std::move(options);
}

void LocalViewerHost::startIfNeeded()
{
    if (m_server)
        return;
    const qint64 generation = ++m_generation;
    LocalTaskViewerServer::Options options;
    options.handlers = makeHandlers();
    options.accessToken = m_pendingToken.value_or(m_options.tokenSource ? m_options.tokenSource() : randomToken());
    options.page = LocalViewerPage::document();
    options.requestDeadlineMs = m_options.requestDeadlineMs;
    QPointer<LocalViewerHost> weak(this);
    options.onStopped = [weak, generation] {
        QMetaObject::invokeMethod(
            weak.data() ? static_cast<QObject *>(weak.data()) : QCoreApplication::instance(),
            [weak, generation] {
                if (weak)
                    weak->handleStopReport(generation);
            },
            Qt::QueuedConnection);
    };
    auto server = std::make_unique<LocalTaskViewerServer>(std::move(options));
    for (int attempt = 0; attempt < 12; ++attempt) {
        const quint16 port = m_options.portSource ? m_options.portSource() : randomHighPort();
        if (port != 0 && server->start(port)) {
            qCDebug(lcState) << "local viewer started on port" << port << "generation" << generation;
            m_server = std::move(server);
            m_pendingToken.reset();
            m_hooks.setRunning(true);
            return;
        }
    }
    qCWarning(lcState) << "local viewer found no free port in twelve attempts";
    m_hooks.setRunning(false);
    m_hooks.setLastErrorMessage(QStringLiteral("Local viewer server failed to start on random high ports."));
}

void LocalViewerHost::ensureStarted()
{
    m_hasAttemptedStart = true;
    if (m_server && m_server->hasListener()) {
        m_hooks.setRunning(true);
        return;
    }
    m_server.reset();
    m_hooks.setRunning(false);
    startIfNeeded();
}

void LocalViewerHost::stop()
{
    m_hasAttemptedStart = false;
    ++m_generation;
    if (m_server) {
        qCDebug(lcState) << "local viewer stopped";
        m_server->stop();
        m_server.reset();
    }
    m_hooks.setRunning(false);
}

void LocalViewerHost::regenerateToken()
{
    m_pendingToken = m_options.tokenSource ? m_options.tokenSource() : randomToken();
    if (!m_server || !m_server->hasListener())
        return;
    m_hasAttemptedStart = true;
    ++m_generation;
    m_server->stop();
    m_server.reset();
    m_hooks.setRunning(false);
    startIfNeeded();
}

void LocalViewerHost::handleStopReport(qint64 generation)
{
    if (generation != m_generation) {
        qCDebug(lcState) << "local viewer stop report of generation" << generation << "ignored; current"
                         << m_generation;
        return;
    }
    qCDebug(lcState) << "local viewer server stopped by itself";
    m_server.reset();
    m_hooks.setRunning(false);
}

std::optional<QUrl> LocalViewerHost::shareURL() const
{
    if (!m_server)
        return std::nullopt;
    const std::optional<quint16> port = m_server->boundPort();
    if (!port || *port == 0)
        return std::nullopt;
    const QUrl url(QStringLiteral("http://localhost:%1/?token=%2").arg(*port).arg(m_server->accessToken()));
    if (!url.isValid())
        return std::nullopt;
    return url;
}

LocalViewerHandlers LocalViewerHost::makeHandlers()
{
    using Host = LocalViewerHost;
    const QPointer<Host> weak(this);
    LocalViewerHandlers h;
    h.fetchTasks = [weak](std::optional<QUuid> projectID) {
        return onMainThreadAsync(
            weak, QList<TaskSummary> {}, [projectID](Host *s) { return s->taskSummaries(projectID); });
    };
    h.fetchTaskDetails = [weak](QUuid projectID, QUuid taskID) {
        return onMainThreadAsync(weak, std::optional<TaskDetailResponse> {},
            [projectID, taskID](Host *s) { return s->taskDetails(projectID, taskID); });
    };
    h.fetchWorkspaces = [weak] {
        return onMainThread(weak, QList<WorkspaceSummary> {}, [](Host *s) { return s->workspaceSummaries(); });
    };
    h.createWorkspace = [weak](CreateWorkspaceRequest request) {
        return onMainThreadAsync(weak, std::optional<CreateWorkspaceResponse> {},
            [request](Host *s) { return s->futureOf(s->createWorkspaceFromWeb(request)); });
    };
    h.fetchModelUsage = [weak] {
        ModelUsageAPIResponse fallback;
        fallback.checkedAt = TimePoint::now();
        fallback.errorMessage = QStringLiteral("AppState unavailable");
        return onMainThreadAsync(weak, fallback, [](Host *s) { return s->futureOf(s->m_hooks.latestModelUsage()); });
    };
    h.createTask = [weak](CreateTaskRequest request) {
        return onMainThread(weak, false, [request](Host *s) { return s->createTaskFromWeb(request); });
    };
    h.moveTask = [weak](MoveTaskRequest r) {
        return actionOnMainThread(weak, [r](Host *s) { s->m_hooks.moveTask(r.taskID, r.status, r.projectID); });
    };
    h.deleteTask = [weak](DeleteTaskRequest r) {
        return actionOnMainThread(weak, [r](Host *s) { s->m_hooks.deleteTask(r.taskID, r.projectID); });
    };
    h.cancelTask = [weak](CancelTaskRequest r) {
        return actionOnMainThread(weak, [r](Host *s) {
            s->m_hooks.cancelRunningTask(
                r.taskID, r.projectID, r.source.value_or(QStringLiteral("remote-client-cancel")));
        });
    };
    h.clearDoneTasks = [weak](ClearDoneTasksRequest r) {
        return actionOnMainThread(weak, [r](Host *s) { s->m_hooks.clearDoneTasks(r.projectID); });
    };
    h.delegateTask = [weak](DelegateTaskRequest r) {
        return actionOnMainThread(weak, [r](Host *s) {
            s->m_hooks.requestDelegation(r.taskID, r.projectID, r.source.value_or(QStringLiteral("remote-client")));
        });
    };
    h.fetchOrganizations = [weak] {
        return onMainThread(
            weak, QList<OrganizationSummary> {}, [](Host *s) { return s->m_hooks.organizationSummaries(); });
    };
    h.fetchTeams = [weak](std::optional<QUuid> organizationID) {
        return onMainThread(weak, QList<TeamSummary> {},
            [organizationID](Host *s) { return s->m_hooks.teamSummaries(organizationID); });
    };
    h.fetchMainNodes = [weak](std::optional<QUuid> organizationID) {
        return onMainThread(weak, QList<MainNodeSummary> {},
            [organizationID](Host *s) { return s->m_hooks.mainNodeSummaries(organizationID); });
    };
    h.fetchAuthContext
        = [weak](std::optional<QString> email, std::optional<QString> googleSubjectID, std::optional<QString>) {
              // The name is not used: reading the context never creates a user.
              return onMainThread(weak, std::optional<AuthContextResponse> {},
                  [email, googleSubjectID](Host *s) { return s->m_hooks.authContext(email, googleSubjectID); });
          };
    h.createOrganization = [weak](CreateOrganizationRequest request) {
        return onMainThread(weak, std::optional<OrganizationSummary> {},
            [request](Host *s) { return s->m_hooks.createOrganization(request); });
    };
    h.createTeam = [weak](CreateTeamRequest request) {
        return onMainThread(
            weak, std::optional<TeamSummary> {}, [request](Host *s) { return s->m_hooks.createTeam(request); });
    };
    h.createInvite = [weak](CreateInviteRequest request) {
        return onMainThread(
            weak, std::optional<BL_Invite> {}, [request](Host *s) { return s->m_hooks.createInvite(request); });
    };
    h.acceptInvite = [weak](AcceptInviteRequest request) {
        return onMainThread(weak, std::optional<AuthContextResponse> {},
            [request](Host *s) { return s->m_hooks.acceptInvite(request); });
    };
    const int lookupTimeout = m_options.hardwareAddressTimeoutMs;
    h.resolveSubmitterMAC = [lookupTimeout](const QString &ip) { return resolveMACAddress(ip, lookupTimeout); };
    return h;
}

// ---- Board reads ----

QFuture<QList<TaskSummary>> LocalViewerHost::taskSummaries(const std::optional<QUuid> &projectID)
{
    const std::optional<QUuid> target = projectID ? projectID : m_hooks.activeProjectID();
    TaskBoardStore *board = target ? m_hooks.taskStore(*target) : nullptr;
    if (!board)
        return QtFuture::makeReadyFuture(QList<TaskSummary> {});
    QList<BL_Task> tasks = board->taskByID().values();
    std::sort(tasks.begin(), tasks.end(), [](const BL_Task &a, const BL_Task &b) { return a.updatedAt > b.updatedAt; });
    if (tasks.size() > WebBridge::kMaxTasksPerList)
        tasks.resize(WebBridge::kMaxTasksPerList);
    const QList<BL_Workspace> &projects = m_hooks.projects();
    const bool known
        = std::any_of(projects.cbegin(), projects.cend(), [&](const BL_Workspace &w) { return w.id == *target; });
    QStringList logPaths;
    for (const BL_Task &task : tasks)
        logPaths.append(known ? m_taskLogs.taskStdoutLogFilePath(*target, task.blID) : QString());
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

QFuture<std::optional<TaskDetailResponse>> LocalViewerHost::taskDetails(const QUuid &projectID, const QUuid &taskID)
{
    TaskBoardStore *board = m_hooks.taskStore(projectID);
    if (!board || !board->taskByID().contains(taskID))
        return QtFuture::makeReadyFuture(std::optional<TaskDetailResponse> {});
    const BL_Task task = board->taskByID().value(taskID);
    m_hooks.finalizePendingGitDiff(taskID, projectID);
    const QList<BL_Workspace> &projects = m_hooks.projects();
    const bool known
        = std::any_of(projects.cbegin(), projects.cend(), [&](const BL_Workspace &w) { return w.id == projectID; });
    const QString logPath = known ? m_taskLogs.taskStdoutLogFilePath(projectID, taskID) : QString();
    const TaskGitCheckpointService patches = m_hooks.checkpointService();
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

QList<WorkspaceSummary> LocalViewerHost::workspaceSummaries() const
{
    QList<WorkspaceSummary> summaries;
    for (const BL_Workspace &workspace : m_hooks.projectsForSelectedTeam()) {
        WorkspaceSummary summary {workspace.id, workspace.name, 0, 0, 0, 0, 0};
        if (TaskBoardStore *board = m_hooks.taskStore(workspace.id)) {
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

bool LocalViewerHost::createTaskFromWeb(const CreateTaskRequest &request)
{
    std::optional<QUuid> target = request.projectID;
    if (!target)
        target = m_hooks.activeProjectID();
    if (!target) {
        const QList<BL_Workspace> visible = m_hooks.projectsForSelectedTeam();
        const QList<BL_Workspace> &projects = m_hooks.projects();
        if (!visible.isEmpty())
            target = visible.front().id;
        else if (!projects.isEmpty())
            target = projects.front().id;
    }
    if (!target || !m_hooks.taskStore(*target))
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
    m_hooks.createTask(creation);
    return true;
}

QCoro::Task<std::optional<CreateWorkspaceResponse>> LocalViewerHost::createWorkspaceFromWeb(
    CreateWorkspaceRequest request)
{
    if (m_hooks.isClientNodeMode())
        co_return std::nullopt;
    const QString name = Text::trimmed(request.name);
    if (name.isEmpty())
        co_return std::nullopt;
    const std::optional<QString> folderName = WebBridge::sanitizedWorkspaceDirectoryName(name);
    if (!folderName)
        co_return std::nullopt;
    auto fail = [this](const QString &description) {
        qCWarning(lcState) << "web workspace creation failed:" << description;
        m_hooks.setLastErrorMessage(QStringLiteral("Unable to create workspace: ") + description);
        m_hooks.appendOAuthLog(QStringLiteral("Web workspace creation failed: ") + description);
    };
    const Result<QString> rootResult = m_hooks.managedWorkspaceRoot();
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
    QPointer<LocalViewerHost> self(this);
    const Result<void> registered = co_await m_hooks.registerWorkspace(folder, *config, *bookmark);
    if (!self)
        co_return std::nullopt;
    if (!registered) {
        fail(registered.errorMessage());
        co_return std::nullopt;
    }
    std::optional<QUuid> id;
    for (const BL_Workspace &workspace : m_hooks.projects()) {
        if (workspace.rootPath == folder) {
            id = workspace.id;
            break;
        }
    }
    WorkspaceSummary summary {id.value_or(QUuid::createUuid()), name, 0, 0, 0, 0, 0};
    if (id) {
        for (const WorkspaceSummary &candidate : workspaceSummaries()) {
            if (candidate.id == *id)
                summary = candidate;
        }
    }
    co_return CreateWorkspaceResponse {summary, folder};
}

std::optional<QString> LocalViewerHost::resolveMACAddress(const QString &ip, int timeoutMs)
{
    ProcessRequest request;
    request.program = QStringLiteral("ip");
    request.arguments = {QStringLiteral("neigh"), QStringLiteral("show"), ip};
    request.discardStandardError = true;
    request.timeoutMs = timeoutMs;
    const ProcessResult result = ProcessRunner::runBlocking(request);
    if (!result.succeeded())
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString output = decoder.decode(result.standardOutput);
    if (decoder.hasError())
        return std::nullopt;
    return WebBridge::firstHardwareAddress(output);
}
