// Git checkpoints of tasks: a start checkpoint when work on a task begins, an
// end checkpoint and the patch between the two when it ends, kept in the
// task's metadata under "git_diff_artifact".
#include "AppState.h"

#include <QPointer>

namespace {

bool hasEnded(BL_TaskStatus status)
{
    return status == BL_TaskStatus::completed || status == BL_TaskStatus::failed;
}

} // namespace

TaskGitCheckpointService AppState::taskGitCheckpointService() const
{
    return TaskGitCheckpointService(m_dataDirectory, *m_clock);
}

std::optional<TaskGitCheckpointService::CaptureContext> AppState::gitCheckpointCaptureContext(
    const QUuid &taskID, const QUuid &projectID) const
{
    // The git commands run on the recorded root path; the patch goes to the
    // workspace's task-log folder, which the service creates when it writes.
    for (const BL_Workspace &workspace : m_projects) {
        if (workspace.id == projectID)
            return TaskGitCheckpointService::CaptureContext {projectID, taskID, workspace.rootPath};
    }
    return std::nullopt;
}

std::optional<BL_TaskGitDiffArtifact> AppState::storedTaskGitDiffArtifact(
    const QUuid &taskID, const QUuid &projectID) const
{
    const auto task = boardTask(projectID, taskID);
    if (!task)
        return std::nullopt;
    return BL_TaskGitDiffArtifact::decode(task->metadata);
}

void AppState::captureTaskGitBeforeCheckpoint(const QUuid &taskID, const QUuid &projectID)
{
    if (isClientNodeMode())
        return;
    // A capture already running stands for this request too.
    if (m_gitBeforeCheckpointInFlightTaskIDs.contains(taskID))
        return;
    m_gitBeforeCheckpointInFlightTaskIDs.insert(taskID);

    const auto context = gitCheckpointCaptureContext(taskID, projectID);
    if (!context) {
        m_gitBeforeCheckpointInFlightTaskIDs.remove(taskID);
        return;
    }
    // A task that has its start checkpoint keeps it, also when it is worked
    // on again after it ended: the diff then spans every run.
    if (const auto stored = storedTaskGitDiffArtifact(taskID, projectID);
        stored && (stored->state == BL_TaskGitDiffState::pending || stored->state == BL_TaskGitDiffState::ready)) {
        m_gitBeforeCheckpointInFlightTaskIDs.remove(taskID);
        return;
    }

    taskGitCheckpointService().captureBeforeInBackground(
        *context, this, [self = QPointer<AppState>(this), taskID, projectID](BL_TaskGitDiffArtifact artifact) {
            if (!self)
                return;
            self->m_gitBeforeCheckpointInFlightTaskIDs.remove(taskID);
            self->applyTaskGitDiffArtifact(artifact, taskID, projectID);
        });
}

void AppState::captureTaskGitAfterCheckpoint(const QUuid &taskID, const QUuid &projectID)
{
    if (isClientNodeMode())
        return;
    if (m_gitAfterCheckpointInFlightTaskIDs.contains(taskID))
        return;
    m_gitAfterCheckpointInFlightTaskIDs.insert(taskID);

    const auto context = gitCheckpointCaptureContext(taskID, projectID);
    if (!context) {
        m_gitAfterCheckpointInFlightTaskIDs.remove(taskID);
        return;
    }
    // Whatever the stored state, ready included: every end capture makes a
    // new end checkpoint and rewrites the patch from the first start.
    const auto stored = storedTaskGitDiffArtifact(taskID, projectID);
    // Without a usable start checkpoint the capture takes its own just before
    // the end one; that diff misses whatever the task changed earlier, so it
    // is never presented as the task's exact change.
    const bool ownBaseline = !stored || !TaskGitCheckpointService::usableBefore(*stored);

    taskGitCheckpointService().captureAfterInBackground(*context, stored, this,
        [self = QPointer<AppState>(this), taskID, projectID, ownBaseline](BL_TaskGitDiffArtifact artifact) {
            if (!self)
                return;
            self->m_gitAfterCheckpointInFlightTaskIDs.remove(taskID);
            if (ownBaseline && artifact.state == BL_TaskGitDiffState::ready)
                artifact.isExact = false;
            self->applyTaskGitDiffArtifact(artifact, taskID, projectID);
        });
}

void AppState::reconcileTaskGitCheckpointIfNeeded(const QUuid &taskID, const QUuid &projectID)
{
    const auto task = boardTask(projectID, taskID);
    if (!task)
        return;
    if (task->status == BL_TaskStatus::inProgress)
        captureTaskGitBeforeCheckpoint(taskID, projectID);
    else
        maybeFinalizePendingTaskGitDiffIfNeeded(taskID, projectID);
}

void AppState::maybeFinalizePendingTaskGitDiffIfNeeded(const QUuid &taskID, const QUuid &projectID)
{
    const auto task = boardTask(projectID, taskID);
    if (!task || !hasEnded(task->status))
        return;
    const auto stored = BL_TaskGitDiffArtifact::decode(task->metadata);
    if (stored && stored->state == BL_TaskGitDiffState::pending)
        captureTaskGitAfterCheckpoint(taskID, projectID);
}

void AppState::reconcilePendingTaskGitCheckpoints()
{
    if (isClientNodeMode())
        return;
    // A task that ended while the application was not running (or whose end
    // capture was lost when it quit) still has only its start checkpoint;
    // its diff ends at the working tree as found now.
    const auto stores = m_taskStores;
    for (auto it = stores.cbegin(); it != stores.cend(); ++it) {
        const QList<BL_Task> tasks = it.value()->taskByID().values();
        for (const BL_Task &task : tasks) {
            if (!hasEnded(task.status))
                continue;
            const auto stored = BL_TaskGitDiffArtifact::decode(task.metadata);
            if (stored && stored->state == BL_TaskGitDiffState::pending)
                captureTaskGitAfterCheckpoint(task.blID, it.key());
        }
    }
}

void AppState::applyTaskGitDiffArtifact(
    const BL_TaskGitDiffArtifact &artifact, const QUuid &taskID, const QUuid &projectID)
{
    TaskBoardStore *store = taskStore(projectID);
    if (!store)
        return;
    const TimePoint now = m_clock->now();
    const auto updated = store->updateTask(taskID, [&](BL_Task &task) {
        // A ready artifact is only ever replaced by another ready one: a
        // start capture that finishes after an end capture, or an end capture
        // that failed, leaves the finished diff as it is.
        const auto current = BL_TaskGitDiffArtifact::decode(task.metadata);
        if (current && current->state == BL_TaskGitDiffState::ready && artifact.state != BL_TaskGitDiffState::ready)
            return;
        task.metadata = BL_TaskGitDiffArtifact::encode(artifact, task.metadata);
        task.updatedAt = now;
        task.taskLastActivityDate = now;
    });
    if (!updated)
        return;
    persistTask(*updated);
    requestBrowserRefreshIfVisible(projectID);
}
