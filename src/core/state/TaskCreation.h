#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BL_Event.h"
#include "model/BL_Task.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

// A new task as the composer, the local-network server and dictation ask for
// it. Texts are taken as given; the builders below trim what they trim.
struct TaskCreationRequest
{
    QUuid projectID;
    QString title;
    QString acceptanceCriteria;
    std::optional<QString> description;
    QString priority; // kept exactly as passed in the metadata
    QString sizeEstimate; // likewise
    QList<QUuid> dependencyIDs;
    BL_TaskStatus initialStatus = BL_TaskStatus::backlog;
    QJsonObject additionalMetadata; // written over the standard keys, key by key
};

// The bytes and records of a task's creation and of a delegation request:
// the task input JSON, the task metadata JSON, the new task record, the
// pending-spawn mark and the events that announce them. Pure: the caller
// passes the clock, the workspace's name and root path and the submitter.
namespace TaskCreation {

inline const QString kTitleRequiredMessage = QStringLiteral("Title is required.");
inline const QString kUnknownWorkspaceName = QStringLiteral("Unknown Workspace");
inline const QString kPendingSpawnKeyPrefix = QStringLiteral("pending-spawn:");

// Delegation sources in use.
inline const QString kAutoReadyPickupSource = QStringLiteral("auto-ready-pickup");
inline const QString kManualSource = QStringLiteral("manual");

// "high" -> "urgent", "medium" -> "build", "low" -> "research", anything
// else "default"; the priority is lower-cased, not trimmed.
QString tagForPriority(const QString &priority);

// The submitter written into a new task: the USER variable when the
// environment has one (`userVariable` is nothing when it has none), else the
// login name. Empty means no submitter.
QString submitterUsername(const std::optional<QString> &userVariable, const QString &loginName);
// The login name of the user running this process (empty when unknown).
QString processLoginName();
// submitterUsername() of this process's environment and user.
QString currentSubmitterUsername();

// {"acceptance_criteria","description"?,"prompt","title"}: sorted, compact,
// "/" as "\/". Title, criteria and description are trimmed here; the
// description key is left out when its trimmed text is empty.
QByteArray taskInputJSON(
    const QString &title, const QString &acceptanceCriteria, const std::optional<QString> &description);

// {"dependencies","priority","size_estimate","tag","workspace_id",
// "workspace_name", …additional, "submitter_username"?}. `workspaceName` is
// the workspace's name in the workspace list (nothing: "Unknown Workspace").
// The submitter is added only after the additional metadata is merged, only
// when that left no "submitter_username" key, and only when not empty.
QByteArray taskMetadataJSON(
    const TaskCreationRequest &request, const std::optional<QString> &workspaceName, const QString &submitter);

// The new task: a fresh id, the request's workspace and status, both JSON
// texts, not delegated, empty history and conversation, and the three dates
// read from the clock one by one. kTitleRequiredMessage when the trimmed
// title is empty.
Result<BL_Task> makeTask(const TaskCreationRequest &request, const std::optional<QString> &workspaceName,
    const QString &submitter, const Clock &clock = Clock::system());

// What a client node sends to the main node as the task's text: the trimmed
// description when it is not empty, else the trimmed title; nothing when both
// are empty (the caller shows kTitleRequiredMessage).
std::optional<QString> clientNodeRequestText(const QString &title, const std::optional<QString> &description);

// "pending-spawn:<whole milliseconds since 1970>:<lower-case task id>".
QString pendingSpawnWorkerSessionKey(const QUuid &taskID, TimePoint now);

// The task as a delegation request marks it: delegated/accepted,
// spawn_pending, a new pending-spawn key, and last activity and update time
// now (the key and the two dates each read the clock). The status stays.
BL_Task markedForDelegation(const BL_Task &task, const Clock &clock = Clock::system());

// taskCreated: detail "Task created in <raw status> via composer.".
BL_Event taskCreatedEvent(const BL_Task &task, const Clock &clock = Clock::system());
// taskDelegated for a task marked by markedForDelegation(): agent the
// manager, detail "Delegation requested (<source>).", a manager turn
// "Delegating task to worker (source: <source>)." and the task's key.
BL_Event taskDelegatedEvent(
    const BL_Task &markedTask, const QUuid &managerID, const QString &source, const Clock &clock = Clock::system());
// delegationRequested: the manager, the source, the task's input and the
// workspace's root path (nothing when the workspace is not in the list).
BL_Event delegationRequestedEvent(const BL_Task &task, const QUuid &managerID, const QString &source,
    const std::optional<QString> &projectRootPath, const Clock &clock = Clock::system());

} // namespace TaskCreation
