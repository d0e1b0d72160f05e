#pragma once

#include <QList>
#include <QString>
#include <optional>

// What happened to a task. The raw text of each case is its name spelled
// exactly; the same texts are stored in task histories, so a case is never
// renamed.
enum class BL_EventType {
    taskCreated,
    taskModified,
    taskDeleted,
    taskMoved,
    taskDelegated,
    taskAcceptedByWorker,
    taskWorkerSpawned,
    taskActivelyUnderwayByWorker,
    delegationRequested,
    delegationAccepted,
    delegationRejected,
    workerTaskCompleted,
    workerTaskFailed,
};

QString rawValue(BL_EventType type);
std::optional<BL_EventType> eventTypeFromRaw(QStringView raw);
const QList<BL_EventType> &allEventTypes();
