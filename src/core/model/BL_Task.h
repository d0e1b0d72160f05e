#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BL_EventType.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

// The board column of a task; the order of allTaskStatuses() is the order of
// the columns.
enum class BL_TaskStatus { backlog, queued, inProgress, completed, failed };

// How far a worker has come with a task.
enum class BL_TaskWorkerState {
    notDelegated,
    delegatedAccepted,
    taskAcceptedByWorker,
    taskActivelyUnderwayByWorker,
    workerCompleted,
    workerFailed,
};

// How far the delegation handshake has come.
enum class BL_TaskDelegationState { unallocated, spawnPending, allocated, claimed, activelyWorking, completed, failed };

// Who wrote a conversation turn.
enum class BL_TaskConversationRole { manager, worker, tool, system };

// Raw texts; a text maps back to a case only on an exact, case-sensitive match.
QString rawValue(BL_TaskStatus status);
QString rawValue(BL_TaskWorkerState state);
QString rawValue(BL_TaskDelegationState state);
QString rawValue(BL_TaskConversationRole role);
std::optional<BL_TaskStatus> taskStatusFromRaw(QStringView raw);
std::optional<BL_TaskWorkerState> taskWorkerStateFromRaw(QStringView raw);
std::optional<BL_TaskDelegationState> taskDelegationStateFromRaw(QStringView raw);
std::optional<BL_TaskConversationRole> taskConversationRoleFromRaw(QStringView raw);
const QList<BL_TaskStatus> &allTaskStatuses();
const QList<BL_TaskWorkerState> &allTaskWorkerStates();
const QList<BL_TaskDelegationState> &allTaskDelegationStates();

// One entry of a task's history.
struct BL_TaskHistoryEvent
{
    QUuid id;
    BL_EventType type = BL_EventType::taskCreated;
    TimePoint timestamp;
    std::optional<QUuid> agentID;
    std::optional<QString> detail;

    QJsonObject toJson() const;
    static Result<BL_TaskHistoryEvent> fromJson(const QJsonObject &object);
    friend bool operator==(const BL_TaskHistoryEvent &, const BL_TaskHistoryEvent &) = default;
};

// One message of a task's conversation.
struct BL_TaskConversationTurn
{
    QUuid id;
    TimePoint timestamp;
    BL_TaskConversationRole role = BL_TaskConversationRole::system;
    std::optional<QUuid> agentID;
    QString content;

    QJsonObject toJson() const;
    static Result<BL_TaskConversationTurn> fromJson(const QJsonObject &object);
    friend bool operator==(const BL_TaskConversationTurn &, const BL_TaskConversationTurn &) = default;
};

// The unit of work: one card on a board, one job for an agent. A plain value;
// every holder has its own copy.
struct BL_Task
{
    static constexpr int kConversationLimit = 300;
    static constexpr int kHistoryLimit = 100;
    static constexpr int kTurnContentLimit = 4000;

    QUuid blID; // identity, fixed once the task exists
    QUuid projectID;
    BL_TaskStatus status = BL_TaskStatus::backlog;
    QByteArray inputData; // task input JSON object text
    std::optional<QByteArray> outputData; // the worker's result JSON text
    QByteArray metadata; // task metadata JSON object text, "{}" when empty
    std::optional<QByteArray> extraMetadata; // unknown keys of ingested task JSON
    BL_TaskWorkerState workerState = BL_TaskWorkerState::notDelegated;
    BL_TaskDelegationState delegationState = BL_TaskDelegationState::unallocated;
    std::optional<QString> workerSessionKey;
    QByteArray taskHistoryData; // JSON array of BL_TaskHistoryEvent, "[]" when empty
    QByteArray taskConversationData; // JSON array of BL_TaskConversationTurn, "[]" when empty
    TimePoint taskLastActivityDate;
    TimePoint createdAt;
    TimePoint updatedAt;

    const QUuid &id() const { return blID; }

    // Appends a sanitized turn, keeping the newest 300. A conversation that
    // does not decode starts over; a failed encoding leaves the task as it was.
    void appendConversationTurn(const BL_TaskConversationTurn &turn);
    // Content trimmed and cut to 4,000 user-perceived characters, with
    // "\n...[truncated]" added when it was cut.
    static BL_TaskConversationTurn sanitizeConversationTurn(const BL_TaskConversationTurn &turn);

    // The decoded history and conversation; nothing when the blob is not in
    // the record form.
    std::optional<QList<BL_TaskHistoryEvent>> decodedHistory() const;
    std::optional<QList<BL_TaskConversationTurn>> decodedConversation() const;

    QJsonObject toJson() const;
    static Result<BL_Task> fromJson(const QJsonObject &object);

    // The snake_case task JSON of the agent tool's task files and of the
    // cloud backend (BL_TaskIngestion.cpp).
    //
    // Reads one task object. Tolerant of missing optional keys and unknown
    // worker or delegation states, strict about identity, workspace, status
    // and input. Unknown keys are kept in extraMetadata. Failures carry
    // kIngestionErrorDomain with an IngestionError code, or
    // kJsonParseErrorDomain with the parser's QJsonParseError code.
    enum class IngestionError { missingField = 1, invalidField = 2, invalidJSONRoot = 3 };
    static constexpr const char *kIngestionErrorDomain = "BL_Task.IngestionError";
    static constexpr const char *kJsonParseErrorDomain = "QJsonParseError";
    static Result<BL_Task> fromBrimlockTaskJSON(
        const QByteArray &json, const std::optional<QUuid> &fallbackProjectID, const Clock &clock = Clock::system());
    // A JSON number of Unix seconds (milliseconds above 1e10) or ISO 8601
    // internet date-time text, with or without fractional seconds. Nothing
    // for anything else, and for instants outside years 1 to 9999.
    static std::optional<TimePoint> parseDate(const std::optional<QJsonValue> &value);
    // Compact JSON text with sorted keys; bare scalars are whole texts.
    static Result<QByteArray> encodeJSONFragment(const QJsonValue &value);
    // The body of the cloud backend's task create and update requests.
    QJsonObject uploadBody() const;

    friend bool operator==(const BL_Task &, const BL_Task &) = default;
};

size_t qHash(const BL_Task &task, size_t seed = 0);
size_t qHash(const BL_TaskHistoryEvent &event, size_t seed = 0);
size_t qHash(const BL_TaskConversationTurn &turn, size_t seed = 0);

// Encodes entries in the record form as a compact JSON array.
QByteArray encodeHistory(const QList<BL_TaskHistoryEvent> &events);
QByteArray encodeConversation(const QList<BL_TaskConversationTurn> &turns);
