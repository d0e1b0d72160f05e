#pragma once

#include "common/CoroutineScope.h"
#include "common/TimePoint.h"
#include "model/BL_Task.h"
#include "model/BL_TaskGitDiff.h"
#include "model/BL_Workspace.h"
#include "storage/TaskGitCheckpointService.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUuid>
#include <functional>
#include <optional>

class TaskBoardStore;

// The git checkpoints of tasks: a start checkpoint when work on a task
// begins, an end checkpoint and the patch between the two when it ends, kept
// in the task's metadata under "git_diff_artifact". The git work runs on the
// global thread pool; requests, the in-flight marks and the merge of a result
// into the task happen on the owner's (main) thread. At most one start and
// one end capture per task run at a time; a request while one of its kind
// runs is dropped. Nothing happens on a client node.
//
// Captures still running when the coordinator goes are dropped when they
// land; their results are stored nowhere.
class TaskCheckpointCoordinator final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TaskCheckpointCoordinator)

public:
    // What the coordinator reaches of the rest of the application state.
    struct Hooks
    {
        // isClientNodeMode(): this node mirrors a main node; no captures then.
        std::function<bool()> isClientNodeMode;
        // projects(): the registered workspaces (the first with an id counts).
        std::function<const QList<BL_Workspace> &()> projects;
        // taskStore(projectID): the workspace's board, or null.
        std::function<TaskBoardStore *(const QUuid &)> taskStore;
        // taskStoreIDs(): the workspaces that have a board.
        std::function<QList<QUuid>()> taskStoreIDs;
        // persistTask(task): hands the changed task to the task database.
        std::function<void(const BL_Task &)> persistTask;
        // requestBrowserRefreshIfVisible(projectID): reloads a shown preview.
        std::function<void(const QUuid &)> requestBrowserRefreshIfVisible;
    };

    // The patches go under `dataDirectory`; `clock` stamps the checkpoints and
    // the tasks an artifact is stored in, and must outlive the coordinator.
    TaskCheckpointCoordinator(QString dataDirectory, const Clock &clock, Hooks hooks, QObject *parent = nullptr);
    ~TaskCheckpointCoordinator() override;

    // The service the captures run over, writing under the data directory.
    TaskGitCheckpointService service() const;

    // Starts a start capture unless one runs for the task, the workspace is
    // unknown or the task already has a pending or ready artifact.
    void captureBefore(const QUuid &taskID, const QUuid &projectID);
    // Starts an end capture unless one runs for the task or the workspace is
    // unknown. Without a usable start checkpoint it takes its own first; the
    // diff is then not the task's exact change.
    void captureAfter(const QUuid &taskID, const QUuid &projectID);
    // The task's detail sheet opened: a task in progress gets its start
    // checkpoint, an ended one its pending diff finished.
    void reconcileIfNeeded(const QUuid &taskID, const QUuid &projectID);
    // An ended (completed or failed) task whose stored diff is still pending
    // gets its end checkpoint.
    void finalizePendingIfNeeded(const QUuid &taskID, const QUuid &projectID);
    // At launch: every ended task on any board whose diff is still pending
    // gets its end checkpoint (the working tree as found now).
    void reconcilePending();

    // Tasks whose start / end capture is being prepared or running.
    const QSet<QUuid> &beforeInFlightTaskIDs() const { return m_beforeInFlightTaskIDs; }
    const QSet<QUuid> &afterInFlightTaskIDs() const { return m_afterInFlightTaskIDs; }

private:
    std::optional<TaskGitCheckpointService::CaptureContext> captureContext(
        const QUuid &taskID, const QUuid &projectID) const;
    std::optional<BL_TaskGitDiffArtifact> storedArtifact(const QUuid &taskID, const QUuid &projectID) const;
    QCoro::Task<> runBefore(TaskGitCheckpointService::CaptureContext context);
    QCoro::Task<> runAfter(TaskGitCheckpointService::CaptureContext context,
        std::optional<BL_TaskGitDiffArtifact> stored, bool ownBaseline);
    // Merges a result into the task (a ready artifact is only replaced by
    // another ready one), then persists the task and refreshes the preview.
    void apply(const BL_TaskGitDiffArtifact &artifact, const QUuid &taskID, const QUuid &projectID);

    QString m_dataDirectory;
    const Clock &m_clock;
    Hooks m_hooks;
    QSet<QUuid> m_beforeInFlightTaskIDs;
    QSet<QUuid> m_afterInFlightTaskIDs;
    CoroutineScope m_scope; // last: its coroutines end before the state above
};
