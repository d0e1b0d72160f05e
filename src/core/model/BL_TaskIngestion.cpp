// Reading and writing the snake_case task JSON that the agent tool keeps in
// its task files and that the cloud backend exchanges.

#include "BL_Task.h"

#include "common/Json.h"
#include "common/Text.h"
#include "common/UuidText.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <array>

namespace {

const QString kBlID = QStringLiteral("bl_id");
const QString kID = QStringLiteral("id");
const QString kProjectID = QStringLiteral("project_id");
const QString kStatus = QStringLiteral("status");
const QString kInputData = QStringLiteral("input_data");
const QString kOutputData = QStringLiteral("output_data");
const QString kMetadata = QStringLiteral("metadata");
const QString kWorkerState = QStringLiteral("worker_state");
const QString kDelegationState = QStringLiteral("delegation_state");
const QString kWorkerSessionKey = QStringLiteral("worker_session_key");
const QString kTaskHistory = QStringLiteral("task_history");
const QString kTaskConversation = QStringLiteral("task_conversation");
const QString kTaskLastActivityDate = QStringLiteral("task_last_activity_date");
const QString kCreatedAt = QStringLiteral("created_at");
const QString kUpdatedAt = QStringLiteral("updated_at");

const std::array<QString, 15> kKnownKeys = {
    kID,
    kBlID,
    kProjectID,
    kStatus,
    kInputData,
    kOutputData,
    kMetadata,
    kWorkerState,
    kDelegationState,
    kWorkerSessionKey,
    kTaskHistory,
    kTaskConversation,
    kTaskLastActivityDate,
    kCreatedAt,
    kUpdatedAt,
};

Error ingestionError(BL_Task::IngestionError kind, const QString &message)
{
    return Error::make(QString::fromLatin1(BL_Task::kIngestionErrorDomain), int(kind), message);
}

Error missingField(const QString &key)
{
    return ingestionError(BL_Task::IngestionError::missingField, QStringLiteral("Missing field: %1").arg(key));
}

// A value as shown inside an error message: short, so a hostile file cannot
// turn a message into megabytes.
QString shownValue(const QJsonValue &value)
{
    constexpr qsizetype kShownGraphemes = 60;
    QString text = value.isString() ? value.toString() : Json::writeString(value);
    bool cut = false;
    if (text.size() > kShownGraphemes * 4) {
        text.truncate(kShownGraphemes * 4);
        cut = true;
    }
    const QString shown = Text::cutToGraphemes(text, kShownGraphemes);
    return shown.size() < text.size() || cut ? shown + QStringLiteral("…") : shown;
}

Error invalidField(const QString &key, const QJsonValue &value)
{
    return ingestionError(
        BL_Task::IngestionError::invalidField, QStringLiteral("Invalid %1 value: %2").arg(key, shownValue(value)));
}

Error invalidFieldMissing(const QString &key)
{
    return ingestionError(BL_Task::IngestionError::invalidField, QStringLiteral("Missing field: %1").arg(key));
}

std::optional<QString> textOf(const QJsonObject &object, const QString &key)
{
    const auto found = object.constFind(key);
    if (found == object.constEnd() || !found->isString())
        return std::nullopt;
    return found->toString();
}

std::optional<QJsonValue> valueOf(const QJsonObject &object, const QString &key)
{
    const auto found = object.constFind(key);
    if (found == object.constEnd())
        return std::nullopt;
    return *found;
}

} // namespace

std::optional<TimePoint> BL_Task::parseDate(const std::optional<QJsonValue> &value)
{
    if (!value)
        return std::nullopt;
    // Not finite or outside years 1 to 9999: no date.
    return TimePoint::fromLooseDate(*value);
}

Result<QByteArray> BL_Task::encodeJSONFragment(const QJsonValue &value)
{
    if (value.isUndefined())
        return ingestionError(IngestionError::invalidField, QStringLiteral("Invalid json_fragment value: not JSON"));
    return Json::write(value);
}

Result<BL_Task> BL_Task::fromBrimlockTaskJSON(
    const QByteArray &json, const std::optional<QUuid> &fallbackProjectID, const Clock &clock)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return Error::make(QString::fromLatin1(kJsonParseErrorDomain), int(parseError.error),
            QStringLiteral("Invalid JSON: %1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    }
    if (!document.isObject())
        return ingestionError(IngestionError::invalidJSONRoot, QStringLiteral("Task JSON is not an object"));
    const QJsonObject root = document.object();

    BL_Task task;

    // Identity: "bl_id" when it holds text, else "id". Text that is not a
    // UUID fails; a malformed "bl_id" is not replaced by "id".
    const QString &identityKey = textOf(root, kBlID) ? kBlID : kID;
    const std::optional<QString> identity = textOf(root, identityKey);
    if (!identity)
        return invalidFieldMissing(kBlID);
    const std::optional<QUuid> blID = UuidText::parse(*identity);
    if (!blID) {
        return ingestionError(IngestionError::invalidField,
            QStringLiteral("Invalid %1 value: %2").arg(identityKey, shownValue(*identity)));
    }
    task.blID = *blID;

    // Workspace: a UUID in "project_id", else the caller's fallback.
    std::optional<QUuid> projectID;
    if (const auto text = textOf(root, kProjectID))
        projectID = UuidText::parse(*text);
    if (!projectID)
        projectID = fallbackProjectID;
    if (!projectID) {
        const auto given = valueOf(root, kProjectID);
        return given ? invalidField(kProjectID, *given) : invalidFieldMissing(kProjectID);
    }
    task.projectID = *projectID;

    const auto statusValue = valueOf(root, kStatus);
    if (!statusValue)
        return invalidFieldMissing(kStatus);
    const auto status = statusValue->isString() ? taskStatusFromRaw(statusValue->toString()) : std::nullopt;
    if (!status)
        return invalidField(kStatus, *statusValue);
    task.status = *status;

    const auto input = valueOf(root, kInputData);
    if (!input)
        return missingField(kInputData);
    auto inputData = encodeJSONFragment(*input);
    if (!inputData)
        return inputData.error();
    task.inputData = std::move(inputData).value();

    if (const auto output = valueOf(root, kOutputData)) {
        auto outputData = encodeJSONFragment(*output);
        if (!outputData)
            return outputData.error();
        task.outputData = std::move(outputData).value();
    }

    // A fragment when present, else the given empty text.
    const auto fragmentOr = [&](const QString &key, const QByteArray &empty) -> Result<QByteArray> {
        const auto value = valueOf(root, key);
        return value ? encodeJSONFragment(*value) : Result<QByteArray>(empty);
    };
    auto metadata = fragmentOr(kMetadata, QByteArrayLiteral("{}"));
    if (!metadata)
        return metadata.error();
    task.metadata = std::move(metadata).value();

    if (const auto raw = textOf(root, kWorkerState))
        task.workerState = taskWorkerStateFromRaw(*raw).value_or(BL_TaskWorkerState::notDelegated);
    if (const auto raw = textOf(root, kDelegationState))
        task.delegationState = taskDelegationStateFromRaw(*raw).value_or(BL_TaskDelegationState::unallocated);
    task.workerSessionKey = textOf(root, kWorkerSessionKey);

    // Stored as they came; their content is not checked here.
    auto history = fragmentOr(kTaskHistory, QByteArrayLiteral("[]"));
    if (!history)
        return history.error();
    task.taskHistoryData = std::move(history).value();
    auto conversation = fragmentOr(kTaskConversation, QByteArrayLiteral("[]"));
    if (!conversation)
        return conversation.error();
    task.taskConversationData = std::move(conversation).value();

    QJsonObject extra = root;
    for (const QString &key : kKnownKeys)
        extra.remove(key);
    if (!extra.isEmpty()) {
        auto extraMetadata = encodeJSONFragment(extra);
        if (!extraMetadata)
            return extraMetadata.error();
        task.extraMetadata = std::move(extraMetadata).value();
    }

    task.createdAt = parseDate(valueOf(root, kCreatedAt)).value_or(clock.now());
    task.updatedAt = parseDate(valueOf(root, kUpdatedAt)).value_or(task.createdAt);
    task.taskLastActivityDate = parseDate(valueOf(root, kTaskLastActivityDate)).value_or(task.updatedAt);
    return task;
}

QJsonObject BL_Task::uploadBody() const
{
    QJsonObject input = Json::parseObject(inputData).value_or(QJsonObject());
    if (!input.contains(QStringLiteral("title"))) {
        const QJsonValue prompt = input.value(QStringLiteral("prompt"));
        if (prompt.isString() && !prompt.toString().isEmpty())
            input.insert(QStringLiteral("title"), prompt);
    }

    QJsonObject meta = Json::parseObject(metadata).value_or(QJsonObject());
    meta.insert(QStringLiteral("local_task_id"), UuidText::lower(blID));
    meta.insert(QStringLiteral("local_task_updated_at"), updatedAt.toIso8601(false));
    meta.insert(QStringLiteral("local_worker_state"), rawValue(workerState));
    meta.insert(QStringLiteral("local_delegation_state"), rawValue(delegationState));

    QJsonObject body;
    body.insert(kInputData, input);
    body.insert(kMetadata, meta);
    body.insert(kStatus, rawValue(status));
    body.insert(
        kOutputData, outputData ? QJsonValue(Json::parseObject(*outputData).value_or(QJsonObject())) : QJsonValue());
    return body;
}
