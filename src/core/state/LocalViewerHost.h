#pragma once

#include "agenttools/ModelUsageSnapshot.h"
#include "common/CoroutineScope.h"
#include "common/Result.h"
#include "model/BL_Invite.h"
#include "model/BL_Task.h"
#include "model/BL_Workspace.h"
#include "node/LocalViewerHandlers.h"
#include "node/LocalViewerRecords.h"
#include "state/LocalViewerOptions.h"
#include "state/TaskCreation.h"
#include "storage/TaskGitCheckpointService.h"

#include <QByteArray>
#include <QCoroTask>
#include <QFuture>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

class LocalFileSystemService;
class LocalTaskViewerServer;
class TaskBoardStore;
class TaskLogWriter;

// The host of the local board server: when the server runs (started only on
// request, on a random high port, restarted under a new token), and how its
// requests are answered. The server calls its handlers on its own threads;
// each hops to this object's (the main) thread, reaches the rest of the
// application state there through the hooks and answers its fallback once
// the host is gone. Log tails and patches are read on the server's routing
// pool, never on the main thread.
class LocalViewerHost final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LocalViewerHost)

public:
    // What the host reaches of the rest of the application state. Every hook
    // is called on the main thread.
    struct Hooks
    {
        // setRunning(running): sets the published "viewer is running" field.
        std::function<void(bool)> setRunning;
        // setLastErrorMessage(text): the message the window shows.
        std::function<void(const QString &)> setLastErrorMessage;
        // appendOAuthLog(line): a line in the debug log the settings show.
        std::function<void(const QString &)> appendOAuthLog;
        // isClientNodeMode(): this node mirrors a main node.
        std::function<bool()> isClientNodeMode;
        // projects(): every registered workspace.
        std::function<const QList<BL_Workspace> &()> projects;
        // projectsForSelectedTeam(): the workspaces the selected team sees.
        std::function<QList<BL_Workspace>()> projectsForSelectedTeam;
        // activeProjectID(): the selected workspace, if any.
        std::function<std::optional<QUuid>()> activeProjectID;
        // taskStore(projectID): the workspace's board, or null.
        std::function<TaskBoardStore *(const QUuid &)> taskStore;
        // finalizePendingGitDiff(taskID, projectID): finishes a pending diff.
        std::function<void(const QUuid &, const QUuid &)> finalizePendingGitDiff;
        // checkpointService(): the one patch reader, over the data directory.
        std::function<TaskGitCheckpointService()> checkpointService;
        // createTask(request): builds, shows, stores and announces a task.
        std::function<void(const TaskCreationRequest &)> createTask;
        // managedWorkspaceRoot(): the folder of managed workspaces, created.
        std::function<Result<QString>()> managedWorkspaceRoot;
        // registerWorkspace(folder, config, bookmark): adds it to the registry.
        std::function<QCoro::Task<Result<void>>(QString, BL_WorkspaceConfig, QByteArray)> registerWorkspace;
        // The board actions: move, delete, cancel, clear done, delegate.
        std::function<void(const QUuid &taskID, BL_TaskStatus, const QUuid &projectID)> moveTask;
        std::function<void(const QUuid &taskID, const QUuid &projectID)> deleteTask;
        std::function<void(const QUuid &taskID, const QUuid &projectID, const QString &source)> cancelRunningTask;
        std::function<void(const QUuid &projectID)> clearDoneTasks;
        std::function<void(const QUuid &taskID, const QUuid &projectID, const QString &source)> requestDelegation;
        // latestModelUsage(): reads the usage afresh and keeps it.
        std::function<QCoro::Task<ModelUsageAPIResponse>()> latestModelUsage;
        // The accounts' answers to the viewer's account routes.
        std::function<QList<LocalViewer::OrganizationSummary>()> organizationSummaries;
        std::function<QList<LocalViewer::TeamSummary>(const std::optional<QUuid> &organizationID)> teamSummaries;
        std::function<QList<LocalViewer::MainNodeSummary>(const std::optional<QUuid> &organizationID)>
            mainNodeSummaries;
        std::function<std::optional<LocalViewer::AuthContextResponse>(
            const std::optional<QString> &email, const std::optional<QString> &googleSubjectID)>
            authContext;
        std::function<std::optional<LocalViewer::OrganizationSummary>(const LocalViewer::CreateOrganizationRequest &)>
            createOrganization;
        std::function<std::optional<LocalViewer::TeamSummary>(const LocalViewer::CreateTeamRequest &)> createTeam;
        std::function<std::optional<BL_Invite>(const LocalViewer::CreateInviteRequest &)> createInvite;
        std::function<std::optional<LocalViewer::AuthContextResponse>(const LocalViewer::AcceptInviteRequest &)>
            acceptInvite;
    };

    // `taskLogs` names the log files whose tails are read, `fileSystem` sets
    // up a workspace made from the web; both must outlive the host.
    LocalViewerHost(const TaskLogWriter &taskLogs, const LocalFileSystemService &fileSystem, Hooks hooks,
        QObject *parent = nullptr);
    // Stops the server first: no handler reaches the hooks afterwards.
    ~LocalViewerHost() override;

    // ---- Lifecycle ----
    // Replaces the ports, tokens and time-outs the server is made with.
    void setOptions(LocalViewerOptions options);
    // Starts a server when none exists: up to twelve random high ports, else
    // the window's error message.
    void startIfNeeded();
    // Marks that the user asked for the server and (re)starts it unless one
    // is listening.
    void ensureStarted();
    void stop();
    // A new token: a listening server restarts under it, else the next start
    // takes it.
    void regenerateToken();
    // The server's stop report, on the main thread: counts only for the
    // generation the server was made in.
    void handleStopReport(qint64 generation);
    // http://localhost:<port>/?token=<token> while a server has a port.
    std::optional<QUrl> shareURL() const;

    LocalTaskViewerServer *server() const { return m_server.get(); }
    qint64 generation() const { return m_generation; }
    const std::optional<QString> &pendingToken() const { return m_pendingToken; }
    bool hasAttemptedStart() const { return m_hasAttemptedStart; }

    // The server's handlers: each reaches this host on the main thread
    // through a weak reference and answers its fallback when it is gone.
    LocalViewerHandlers makeHandlers();

    // ---- The web bridge ----
    // The newest twenty tasks of the workspace (else the active one); the log
    // tails are read on the routing pool.
    QFuture<QList<LocalViewer::TaskSummary>> taskSummaries(const std::optional<QUuid> &projectID);
    // The task with its log tail and its patch (read on the routing pool);
    // nothing for a task the board does not hold.
    QFuture<std::optional<LocalViewer::TaskDetailResponse>> taskDetails(const QUuid &projectID, const QUuid &taskID);
    // The selected team's workspaces with their tasks counted per column.
    QList<LocalViewer::WorkspaceSummary> workspaceSummaries() const;
    // A task described on the web page, in the requested workspace, else the
    // active one, else the first visible, else the first registered; false
    // without a board or with a blank description.
    bool createTaskFromWeb(const LocalViewer::CreateTaskRequest &request);
    // A new managed workspace folder, set up and registered; nothing on a
    // client node, for a name without usable characters or on any failure
    // (which the window's error message and the debug log then tell).
    QCoro::Task<std::optional<LocalViewer::CreateWorkspaceResponse>> createWorkspaceFromWeb(
        LocalViewer::CreateWorkspaceRequest request);

    // "/usr/bin/env ip neigh show <ip>": the first hardware address printed,
    // lower case; nothing on any failure or after `timeoutMs`. Blocks the
    // calling thread; never call it on the main thread or the global pool.
    static std::optional<QString> resolveMACAddress(const QString &ip, int timeoutMs = 2000);

private:
    // A coroutine's result as a future; the coroutine runs on in the scope.
    template<typename T> QFuture<T> futureOf(QCoro::Task<T> task);

    const TaskLogWriter &m_taskLogs;
    const LocalFileSystemService &m_fileSystem;
    Hooks m_hooks;
    LocalViewerOptions m_options;
    qint64 m_generation = 0;
    bool m_hasAttemptedStart = false;
    std::optional<QString> m_pendingToken;
    std::unique_ptr<LocalTaskViewerServer> m_server;
    CoroutineScope m_scope {QStringLiteral("local viewer")}; // last: its coroutines end before the state above
};
