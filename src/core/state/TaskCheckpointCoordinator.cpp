#include "TaskCheckpointCoordinator.h"

#include "board/TaskBoardStore.h"
#include "common/FutureResult.h"
#include "common/InFlight.h"
#include "common/Logging.h"

namespace {

bool hasEnded(BL_TaskStatus status)
{
    return status == BL_TaskStatus::completed || status == BL_TaskStatus::failed;
}

} // namespace

TaskCheckpointCoordinator::TaskCheckpointCoordinator(
    QString dataDirectory, const Clock &clock, Hooks hooks, QObject *parent)
    : QObject(parent),
      m_dataDirectory(std::move(dataDirectory)),
      m_clock(clock),
      m_hooks(std::move(hooks)),
      m_scope(QStringLiteral("git checkpoints"))
{
}

TaskCheckpointCoordinator::~TaskCheckpointCoordinator()
{
    // No waiting here: a running capture resumes on this thread, so it could
    // not end while this one blocks. It sees the cancellation when it lands
    // and drops its result.
    m_scope.cancellation().cancel();
}

TaskGitCheckpointService TaskCheckpointCoordinator::service() const
{
    return TaskGitCheckpointService(m_dataDirectory, m_clock);
}

std::optional<TaskGitCheckpointService::CaptureContext> TaskCheckpointCoordinator::captureContext(
    const QUuid &taskID, const QUuid &projectID) const
{
    // The git commands run on the recorded root path; the patch goes to the
    // workspace's task-log folder, which the service creates when it writes.
    for (const BL_Workspace &workspace : m_hooks.projects()) {
        if (workspace.id == projectID)
            return TaskGitCheckpointService::CaptureContext {projectID, taskID, workspace.rootPath};
    }
    return std::nullopt;
}

std::optional<BL_TaskGitDiffArtifact> TaskCheckpointCoordinator::storedArtifact(
    const QUuid &taskID, const QUuid &projectID) const
{
    const TaskBoardStore *store = m_hooks.taskStore(projectID);
    const auto task = store ? store->task(taskID) : std::nullopt;
    if (!task)
        return std::nullopt;
    return BL_TaskGitDiffArtifact::decode(task->metadata);
}

void TaskCheckpointCoordinator::captureBefore(const QUuid &taskID, const QUuid &projectID)
{
    if (m_hooks.isClientNodeMode())
        return;
    // A capture already running stands for this request too.
    if (m_beforeInFlightTaskIDs.contains(taskID))
        return;
    const auto context = captureContext(taskID, projectID);
    if (!context)
        return;
    // A task that has its start checkpoint keeps it, also when it is worked
    // on again after it ended: the diff then spans every run.
    if (const auto stored = storedArtifact(taskID, projectID);
        stored && (stored->state == BL_TaskGitDiffState::pending || stored->state == BL_TaskGitDiffState::ready))
        return;
    m_scope.spawnWith([&] { return runBefore(*context); });
}

QCoro::Task<> TaskCheckpointCoordinator::runBefore(TaskGitCheckpointService::CaptureContext context)
{
    InFlightEntry<QUuid> inFlight(m_beforeInFlightTaskIDs, context.taskID, {}, this);
    const CancellationToken cancelled = m_scope.cancellation();
    qCDebug(lcState) << "start checkpoint of task" << context.taskID << "begins";
    const BL_TaskGitDiffArtifact artifact = co_await futureResult(service().captureBeforeInBackground(context));
    if (cancelled.isCancelled())
        co_return;
    inFlight.release();
    apply(artifact, context.taskID, context.projectID);
}

void TaskCheckpointCoordinator::captureAfter(const QUuid &taskID, const QUuid &projectID)
{
    if (m_hooks.isClientNodeMode())
        return;
    if (m_afterInFlightTaskIDs.contains(taskID))
        return;
    const auto context = captureContext(taskID, projectID);
    if (!context)
        return;
    // Whatever the stored state, ready included: every end capture makes a
    // new end checkpoint and rewrites the patch from the first start.
    const auto stored = storedArtifact(taskID, projectID);
    // Without a usable start checkpoint the capture takes its own just before
    // the end one; that diff misses whatever the task changed earlier, so it
    // is never presented as the task's exact change.
    const bool ownBaseline = !stored || !TaskGitCheckpointService::usableBefore(*stored);
    m_scope.spawnWith([&] { return runAfter(*context, stored, ownBaseline); });
}

QCoro::Task<> TaskCheckpointCoordinator::runAfter(
    TaskGitCheckpointService::CaptureContext context, std::optional<BL_TaskGitDiffArtifact> stored, bool ownBaseline)
{
    InFlightEntry<QUuid> inFlight(m_afterInFlightTaskIDs, context.taskID, {}, this);
    const CancellationToken cancelled = m_scope.cancellation();
    qCDebug(lcState) << "end checkpoint of task" << context.taskID << "begins"
                     << (ownBaseline ? "with its own start checkpoint" : "");
    BL_TaskGitDiffArtifact artifact = co_await futureResult(service().captureAfterInBackground(context, stored));
    if (cancelled.isCancelled())
        co_return;
    inFlight.release();
    if (ownBaseline && artifact.state == BL_TaskGitDiffState::ready)
        artifact.isExact = false;
    apply(artifact, context.taskID, context.projectID);
}

void TaskCheckpointCoordinator::reconcileIfNeeded(const QUuid &taskID, const QUuid &projectID)
{
    const TaskBoardStore *store = m_hooks.taskStore(projectID);
    const auto task = store ? store->task(taskID) : std::nullopt;
    if (!task)
        return;
    if (task->status == BL_TaskStatus::inProgress)
        captureBefore(taskID, projectID);
    else
        finalizePendingIfNeeded(taskID, projectID);
}

void TaskCheckpointCoordinator::finalizePendingIfNeeded(const QUuid &taskID, const QUuid &projectID)
{
    const TaskBoardStore *store = m_hooks.taskStore(projectID);
    const auto task = store ? store->task(taskID) : std::nullopt;
    if (!task || !hasEnded(task->status))
        return;
    const auto stored = BL_TaskGitDiffArtifact::decode(task->metadata);
    if (stored && stored->state == BL_TaskGitDiffState::pending)
        captureAfter(taskID, projectID);
}

void TaskCheckpointCoordinator::reconcilePending()
{
    if (m_hooks.isClientNodeMode())
        return;
    // A task that ended while the application was not running (or whose end
    // capture was lost when it quit) still has only its start checkpoint;
    // its diff ends at the working tree as found now.
    for (const QUuid &projectID : m_hooks.taskStoreIDs()) {
        const TaskBoardStore *store = m_hooks.taskStore(projectID);
        if (!store)
            continue;
        const QList<BL_Task> tasks = store->taskByID().values();
        for (const BL_Task &task : tasks) {
            if (!hasEnded(task.status))
                continue;
            const auto stored = BL_TaskGitDiffArtifact::decode(task.metadata);
            if (stored && stored->state == BL_TaskGitDiffState::pending)
                captureAfter(task.blID, projectID);
        }
    }
}

void TaskCheckpointCoordinator::apply(
    const BL_TaskGitDiffArtifact &artifact, const QUuid &taskID, const QUuid &projectID)
{
    TaskBoardStore *store = m_hooks.taskStore(projectID);
    if (!store) {
        qCDebug(lcState) << "checkpoint of task" << taskID << "dropped: its workspace has no board";
        return;
    }
    const TimePoint now = m_clock.now();
    const auto updated = store->updateTask(taskID, [&](BL_Task &task) {
        // A ready artifact is only ever replaced by another ready one: a
        // start capture that finishes after an end capture, or an end capture
        // that failed, leaves the finished diff as it is.
        const auto current = BL_TaskGitDiffArtifact::decode(task.metadata);
        if (current && current->state == BL_TaskGitDiffState::ready && artifact.state != BL_TaskGitDiffState::ready) {
            qCDebug(lcState) << "task" << taskID << "keeps its ready diff over a" << rawValue(artifact.state)
                             << "capture";
            return;
        }
        task.metadata = BL_TaskGitDiffArtifact::encode(artifact, task.metadata);
        task.updatedAt = now;
        task.taskLastActivityDate = now;
        qCDebug(lcState) << "task" << taskID << "stores a" << rawValue(artifact.state) << "git diff";
    });
    if (!updated) {
        qCDebug(lcState) << "checkpoint of task" << taskID << "dropped: the task is no longer on its board";
        return;
    }
    m_hooks.persistTask(*updated);
    m_hooks.requestBrowserRefreshIfVisible(projectID);
}
