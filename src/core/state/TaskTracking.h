#pragma once

#include "common/TimePoint.h"
#include "model/BL_Event.h"
#include "model/BL_Task.h"

#include <QString>
#include <QUuid>
#include <optional>

// How one event of the bus changes its task, without the state object: which
// events are raw output for the task's log instead, what the state object
// does around the fold, and the fold itself.
//
// The state object's handling of an event E for workspace W and task T:
//
//   const auto steps = TaskTracking::stepsFor(E);
//   if (steps.output) { reset or append W/T's raw output log; return; }
//   if (steps.boardMove) { react per BoardMoveReaction; reconcile W's assignments; }
//   if (steps.refreshWorkerFigures) refresh every workspace's figures;
//   if (steps.refreshBrowser) refresh W's preview when shown;
//   if (W has no board, or T is not on it) return;
//   updated = board.updateTask(T, [&](BL_Task &t) { TaskTracking::applyEvent(t, E); });
//   persist updated; append the event-log line of E and updated;
//   if (steps.endOfRunStatus) { move T there on the board; persist it; capture git after; }
//   if (steps.rescheduleAcrossWorkspaces) schedule ready tasks across workspaces;
namespace TaskTracking {

// A stream event of the shell executor: empty the task's raw output log, or
// append a chunk to it. Such an event is not folded.
struct OutputStreamRoute
{
    enum class Kind { reset, append };
    Kind kind = Kind::append;
    QString chunk; // the text to append (empty for a reset)

    friend bool operator==(const OutputStreamRoute &, const OutputStreamRoute &) = default;
};

// The route of an event whose payload reads as a BL_TaskEventPayload with
// stdoutReset true (a reset, even with a chunk) or, failing that, a non-empty
// stdoutChunk; nothing for every other event, of any type.
std::optional<OutputStreamRoute> outputStreamRoute(const BL_Event &event);

// What the state object does for a taskMoved event whose payload reads as a
// BL_TaskMovedPayload, by its target status. Reconciling the workspace's
// pool assignments follows every one of them.
enum class BoardMoveReaction {
    none, // backlog
    scheduleWorkspace, // queued: delegate the workspace's ready tasks while the pool has room
    captureGitBefore, // in progress
    refreshBrowserAndCaptureGitAfter, // completed or failed
};

// The steps around the fold, decided from the event alone.
struct Steps
{
    // Set: route the output and do nothing else.
    std::optional<OutputStreamRoute> output;
    // Set for a taskMoved with a readable payload.
    std::optional<BoardMoveReaction> boardMove;
    // delegationRequested, delegationAccepted, delegationRejected,
    // workerTaskCompleted, workerTaskFailed.
    bool refreshWorkerFigures = false;
    // workerTaskCompleted, workerTaskFailed: the workspace's preview, after
    // the figures and before the fold.
    bool refreshBrowser = false;
    // Only when the task was folded: completed for workerTaskCompleted,
    // failed for workerTaskFailed; the move is made on the board (which
    // publishes when the status changes), then the task is persisted and its
    // git after-checkpoint requested, also when the status was already that.
    std::optional<BL_TaskStatus> endOfRunStatus;
    // Only when the task was folded: workerTaskCompleted, workerTaskFailed,
    // delegationRejected.
    bool rescheduleAcrossWorkspaces = false;
};

Steps stepsFor(const BL_Event &event);

// What an event says about its task.
struct EventMetadata
{
    std::optional<QUuid> agentID;
    std::optional<QString> detail;
    std::optional<BL_TaskConversationTurn> conversationTurn;
    std::optional<QString> workerSessionKey;
};

// Read from the payload as a BL_TaskEventPayload, which every published
// payload reads as. Only a payload that does not is read, in this order, as a
// BL_DelegationPayload (its agent, "Delegation accepted by worker.", the key
// "agent:<lower-case agent id>"), a BL_WorkerResultPayload (its agent and
// that key) or a BL_DelegationRequestPayload (the manager as agent, the
// source as detail). Empty without a payload or when nothing reads.
EventMetadata eventMetadata(const BL_Event &event);

// "agent:<lower-case agent id>", the key a worker's events carry.
QString agentWorkerSessionKey(const QUuid &agentID);

// Folds the event into the task: last activity the event's time, updated now,
// one history entry appended (newest 100 kept; unreadable history starts
// over), the event's conversation turn appended, a non-empty session key
// taken over, the worker and delegation states set by the event's type, the
// key removed on delegationRejected and the worker's output taken over on
// workerTaskCompleted. The status is not touched.
void applyEvent(BL_Task &task, const BL_Event &event, const Clock &clock = Clock::system());
BL_Task folded(const BL_Task &task, const BL_Event &event, const Clock &clock = Clock::system());

} // namespace TaskTracking
