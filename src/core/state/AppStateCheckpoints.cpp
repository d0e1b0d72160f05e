// Git checkpoints of tasks.
#include "AppState.h"

void AppState::captureTaskGitBeforeCheckpoint(const QUuid &, const QUuid &)
{
}

void AppState::captureTaskGitAfterCheckpoint(const QUuid &, const QUuid &)
{
}

void AppState::reconcilePendingTaskGitCheckpoints()
{
}
