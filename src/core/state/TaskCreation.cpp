#include "TaskCreation.h"
#include "model/ConversationTurns.h"

#include "common/Json.h"
#include "common/Text.h"
#include "common/UuidText.h"

#include <QJsonArray>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace TaskCreation {
namespace {

    template<typename Payload>
    BL_Event eventAt(BL_EventType type, const BL_Task &task, const Payload &payload, const Clock &clock)
    {
        BL_Event event = BL_Event::make(type, task.projectID, task.blID, payload);
        event.timestamp = clock.now();
        return event;
    }

} // namespace

QString tagForPriority(const QString &priority)
{
    const QString lowered = priority.toLower();
    if (lowered == u"high")
        return QStringLiteral("urgent");
    if (lowered == u"medium")
        return QStringLiteral("build");
    if (lowered == u"low")
        return QStringLiteral("research");
    return QStringLiteral("default");
}

QString submitterUsername(const std::optional<QString> &userVariable, const QString &loginName)
{
    return userVariable ? *userVariable : loginName;
}

QString processLoginName()
{
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    if (size <= 0)
        size = 16384;
    std::vector<char> buffer(size_t(size), 0);
    passwd entry {};
    passwd *found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_name)
        return QString();
    return QString::fromLocal8Bit(found->pw_name);
}

QString currentSubmitterUsername()
{
    std::optional<QString> user;
    if (qEnvironmentVariableIsSet("USER"))
        user = qEnvironmentVariable("USER");
    return submitterUsername(user, user ? QString() : processLoginName());
}

QByteArray taskInputJSON(
    const QString &title, const QString &acceptanceCriteria, const std::optional<QString> &description)
{
    const QString trimmedTitle = Text::trimmed(title);
    QJsonObject input;
    input.insert(QStringLiteral("prompt"), trimmedTitle);
    input.insert(QStringLiteral("title"), trimmedTitle);
    input.insert(QStringLiteral("acceptance_criteria"), Text::trimmed(acceptanceCriteria));
    if (description) {
        const QString trimmedDescription = Text::trimmed(*description);
        if (!trimmedDescription.isEmpty())
            input.insert(QStringLiteral("description"), trimmedDescription);
    }
    return Json::write(input);
}

QByteArray taskMetadataJSON(
    const TaskCreationRequest &request, const std::optional<QString> &workspaceName, const QString &submitter)
{
    QJsonArray dependencies;
    for (const QUuid &id : request.dependencyIDs)
        dependencies.append(UuidText::lower(id));

    QJsonObject metadata;
    metadata.insert(QStringLiteral("tag"), tagForPriority(request.priority));
    metadata.insert(QStringLiteral("priority"), request.priority);
    metadata.insert(QStringLiteral("size_estimate"), request.sizeEstimate);
    metadata.insert(QStringLiteral("dependencies"), dependencies);
    metadata.insert(QStringLiteral("workspace_id"), UuidText::lower(request.projectID));
    metadata.insert(QStringLiteral("workspace_name"), workspaceName.value_or(kUnknownWorkspaceName));
    for (auto it = request.additionalMetadata.begin(); it != request.additionalMetadata.end(); ++it)
        metadata.insert(it.key(), it.value());
    const QString submitterKey = QStringLiteral("submitter_username");
    if (!metadata.contains(submitterKey) && !submitter.isEmpty())
        metadata.insert(submitterKey, submitter);
    return Json::write(metadata);
}

Result<BL_Task> makeTask(const TaskCreationRequest &request, const std::optional<QString> &workspaceName,
    const QString &submitter, const Clock &clock)
{
    if (Text::trimmed(request.title).isEmpty())
        return Error::make(kTitleRequiredMessage);
    BL_Task task;
    task.blID = QUuid::createUuid();
    task.projectID = request.projectID;
    task.status = request.initialStatus;
    task.inputData = taskInputJSON(request.title, request.acceptanceCriteria, request.description);
    task.outputData = std::nullopt;
    task.metadata = taskMetadataJSON(request, workspaceName, submitter);
    task.extraMetadata = std::nullopt;
    task.workerState = BL_TaskWorkerState::notDelegated;
    task.delegationState = BL_TaskDelegationState::unallocated;
    task.workerSessionKey = std::nullopt;
    task.taskHistoryData = QByteArrayLiteral("[]");
    task.taskConversationData = QByteArrayLiteral("[]");
    task.taskLastActivityDate = clock.now();
    task.createdAt = clock.now();
    task.updatedAt = clock.now();
    return task;
}

std::optional<QString> clientNodeRequestText(const QString &title, const std::optional<QString> &description)
{
    if (description) {
        const QString trimmedDescription = Text::trimmed(*description);
        if (!trimmedDescription.isEmpty())
            return trimmedDescription;
    }
    const QString trimmedTitle = Text::trimmed(title);
    if (trimmedTitle.isEmpty())
        return std::nullopt;
    return trimmedTitle;
}

QString pendingSpawnWorkerSessionKey(const QUuid &taskID, TimePoint now)
{
    // Whole milliseconds: the fraction is dropped, not rounded.
    const auto milliseconds = static_cast<qint64>(now.unixSeconds() * 1000.0);
    return kPendingSpawnKeyPrefix + QString::number(milliseconds) + u':' + UuidText::lower(taskID);
}

BL_Task markedForDelegation(const BL_Task &task, const Clock &clock)
{
    BL_Task marked = task;
    marked.workerSessionKey = pendingSpawnWorkerSessionKey(task.blID, clock.now());
    marked.workerState = BL_TaskWorkerState::delegatedAccepted;
    marked.delegationState = BL_TaskDelegationState::spawnPending;
    marked.taskLastActivityDate = clock.now();
    marked.updatedAt = clock.now();
    return marked;
}

BL_Event taskCreatedEvent(const BL_Task &task, const Clock &clock)
{
    BL_TaskEventPayload payload;
    payload.detail = QStringLiteral("Task created in ") + rawValue(task.status) + QStringLiteral(" via composer.");
    return eventAt(BL_EventType::taskCreated, task, payload, clock);
}

BL_Event taskDelegatedEvent(
    const BL_Task &markedTask, const QUuid &managerID, const QString &source, const Clock &clock)
{
    const BL_TaskConversationTurn turn = ConversationTurns::make(BL_TaskConversationRole::manager, managerID,
        QStringLiteral("Delegating task to worker (source: ") + source + QStringLiteral(")."), clock);

    BL_TaskEventPayload payload;
    payload.agentID = managerID;
    payload.detail = QStringLiteral("Delegation requested (") + source + QStringLiteral(").");
    payload.conversationTurn = turn;
    payload.workerSessionKey = markedTask.workerSessionKey;
    return eventAt(BL_EventType::taskDelegated, markedTask, payload, clock);
}

BL_Event delegationRequestedEvent(const BL_Task &task, const QUuid &managerID, const QString &source,
    const std::optional<QString> &projectRootPath, const Clock &clock)
{
    BL_DelegationRequestPayload payload;
    payload.managerID = managerID;
    payload.source = source;
    payload.taskInputData = task.inputData;
    payload.projectRootPath = projectRootPath;
    return eventAt(BL_EventType::delegationRequested, task, payload, clock);
}

} // namespace TaskCreation
