#pragma once

#include "common/TimePoint.h"
#include "model/BL_Event.h"
#include "model/BL_Task.h"

#include <QList>
#include <QString>

// The claim monitor's rule: a delegation whose worker has not claimed it
// within 120 s of the task's last event goes back to the queue. The state
// object runs it every 5 s over each board:
//
//   const TimePoint cutoff = WorkerClaimTimeout::cutoff(clock.now()); // once per run
//   for each board:
//     const auto overdue = WorkerClaimTimeout::overdueClaims(board tasks, cutoff);
//     for (const BL_Task &task : overdue) { // as it was before this run
//       if (WorkerClaimTimeout::needsMoveToQueue(task)) {
//         board.setTaskStatus(task, queued, …); // publishes, folded at once
//         read it back; when found: persist it and append the event-log line
//           of WorkerClaimTimeout::requeueLogEvent(task) (never published);
//       }
//       publish WorkerClaimTimeout::rejectionEvent(task);
//     }
//     schedule ready tasks across workspaces (when the board had overdue tasks);
//
// Folding the rejection (TaskTracking::applyEvent) leaves the task
// notDelegated and unallocated, without a session key, with the history
// entry and the system turn of the rejection.
namespace WorkerClaimTimeout {

inline constexpr int kTimeoutSeconds = 120;
inline constexpr int kMonitorIntervalSeconds = 5;

inline const QString kRejectionDetail
    = QStringLiteral("Spawn/claim timeout exceeded (%1s); task re-queued.").arg(kTimeoutSeconds);
inline const QString kRejectionTurnContent
    = QStringLiteral("Worker claim timeout exceeded; task moved back to Intake queue.");

// now - 120 s.
TimePoint cutoff(TimePoint now);

// A delegation still waiting for its worker: spawn_pending or allocated, and
// a session key beginning "pending-spawn:".
bool isAwaitingClaim(const BL_Task &task);
// Awaiting its claim, with its last activity at or before the cutoff: a task
// whose last event lies exactly 120 s back is overdue, one of 119 s is not.
bool isOverdue(const BL_Task &task, TimePoint cutoff);
// The overdue tasks among `tasks`, in their order.
QList<BL_Task> overdueClaims(const QList<BL_Task> &tasks, TimePoint cutoff);

// Whether the task must be moved back to queued first (it is not queued).
bool needsMoveToQueue(const BL_Task &task);

// The taskMoved event the monitor writes to the task's event log after
// moving it back: new id, now, no payload. It is not published.
BL_Event requeueLogEvent(const BL_Task &task, const Clock &clock = Clock::system());

// The delegationRejected event for an overdue task: detail kRejectionDetail,
// a system turn kRejectionTurnContent without agent, and the task's
// pending-spawn key as it was.
BL_Event rejectionEvent(const BL_Task &overdueTask, const Clock &clock = Clock::system());

} // namespace WorkerClaimTimeout
