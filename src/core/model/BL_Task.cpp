#include "BL_Task.h"

#include "common/Json.h"
#include "common/JsonRecord.h"
#include "common/Text.h"

#include <QHashFunctions>

namespace {

template<typename E> struct RawName
{
    E value;
    const char16_t *raw;
};

constexpr RawName<BL_TaskStatus> kStatusNames[] = {
    {BL_TaskStatus::backlog, u"backlog"},
    {BL_TaskStatus::queued, u"queued"},
    {BL_TaskStatus::inProgress, u"in_progress"},
    {BL_TaskStatus::completed, u"completed"},
    {BL_TaskStatus::failed, u"failed"},
};
constexpr RawName<BL_TaskWorkerState> kWorkerStateNames[] = {
    {BL_TaskWorkerState::notDelegated, u"notDelegated"},
    {BL_TaskWorkerState::delegatedAccepted, u"delegated/accepted"},
    {BL_TaskWorkerState::taskAcceptedByWorker, u"taskAcceptedByWorker"},
    {BL_TaskWorkerState::taskActivelyUnderwayByWorker, u"taskActivelyUnderwayByWorker"},
    {BL_TaskWorkerState::workerCompleted, u"workerCompleted"},
    {BL_TaskWorkerState::workerFailed, u"workerFailed"},
};
constexpr RawName<BL_TaskDelegationState> kDelegationStateNames[] = {
    {BL_TaskDelegationState::unallocated, u"unallocated"},
    {BL_TaskDelegationState::spawnPending, u"spawn_pending"},
    {BL_TaskDelegationState::allocated, u"allocated"},
    {BL_TaskDelegationState::claimed, u"claimed"},
    {BL_TaskDelegationState::activelyWorking, u"actively_working"},
    {BL_TaskDelegationState::completed, u"completed"},
    {BL_TaskDelegationState::failed, u"failed"},
};
constexpr RawName<BL_TaskConversationRole> kRoleNames[] = {
    {BL_TaskConversationRole::manager, u"manager"},
    {BL_TaskConversationRole::worker, u"worker"},
    {BL_TaskConversationRole::tool, u"tool"},
    {BL_TaskConversationRole::system, u"system"},
};

template<typename E, size_t N> QString rawOf(const RawName<E> (&names)[N], E value)
{
    for (const auto &name : names)
        if (name.value == value)
            return QString::fromUtf16(name.raw);
    return QString();
}

template<typename E, size_t N> std::optional<E> caseOf(const RawName<E> (&names)[N], QStringView raw)
{
    for (const auto &name : names)
        if (raw == QStringView(name.raw))
            return name.value;
    return std::nullopt;
}

template<typename E, size_t N> QList<E> casesOf(const RawName<E> (&names)[N])
{
    QList<E> list;
    for (const auto &name : names)
        list.append(name.value);
    return list;
}

const QString kTruncationSuffix = QStringLiteral("\n...[truncated]");

template<typename Entry> std::optional<QList<Entry>> decodeEntries(const QByteArray &data)
{
    const auto array = Json::parseArray(data);
    if (!array)
        return std::nullopt;
    QList<Entry> entries;
    entries.reserve(array->size());
    for (const QJsonValue &value : *array) {
        if (!value.isObject())
            return std::nullopt;
        auto entry = Entry::fromJson(value.toObject());
        if (!entry)
            return std::nullopt;
        entries.append(std::move(entry).value());
    }
    return entries;
}

template<typename Entry> QByteArray encodeEntries(const QList<Entry> &entries)
{
    QJsonArray array;
    for (const Entry &entry : entries)
        array.append(entry.toJson());
    return Json::write(array);
}

size_t hashOf(const TimePoint &time, size_t seed)
{
    return qHash(time.referenceSeconds(), seed);
}

template<typename T> size_t hashOptional(const std::optional<T> &value, size_t seed)
{
    return value ? qHash(*value, seed) : qHash(-1, seed);
}

} // namespace

QString rawValue(BL_TaskStatus status)
{
    return rawOf(kStatusNames, status);
}
QString rawValue(BL_TaskWorkerState state)
{
    return rawOf(kWorkerStateNames, state);
}
QString rawValue(BL_TaskDelegationState state)
{
    return rawOf(kDelegationStateNames, state);
}
QString rawValue(BL_TaskConversationRole role)
{
    return rawOf(kRoleNames, role);
}
std::optional<BL_TaskStatus> taskStatusFromRaw(QStringView raw)
{
    return caseOf(kStatusNames, raw);
}
std::optional<BL_TaskWorkerState> taskWorkerStateFromRaw(QStringView raw)
{
    return caseOf(kWorkerStateNames, raw);
}
std::optional<BL_TaskDelegationState> taskDelegationStateFromRaw(QStringView raw)
{
    return caseOf(kDelegationStateNames, raw);
}
std::optional<BL_TaskConversationRole> taskConversationRoleFromRaw(QStringView raw)
{
    return caseOf(kRoleNames, raw);
}

const QList<BL_TaskStatus> &allTaskStatuses()
{
    static const QList<BL_TaskStatus> all = casesOf(kStatusNames);
    return all;
}
const QList<BL_TaskWorkerState> &allTaskWorkerStates()
{
    static const QList<BL_TaskWorkerState> all = casesOf(kWorkerStateNames);
    return all;
}
const QList<BL_TaskDelegationState> &allTaskDelegationStates()
{
    static const QList<BL_TaskDelegationState> all = casesOf(kDelegationStateNames);
    return all;
}

QJsonObject BL_TaskHistoryEvent::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("id"), id);
    writer.put(QStringLiteral("type"), rawValue(type));
    writer.putDate(QStringLiteral("timestamp"), timestamp);
    writer.putOptionalUuid(QStringLiteral("agentID"), agentID);
    writer.putOptional(QStringLiteral("detail"), detail);
    return writer.result();
}

Result<BL_TaskHistoryEvent> BL_TaskHistoryEvent::fromJson(const QJsonObject &object)
{
    JsonRecordReader reader(object);
    BL_TaskHistoryEvent event;
    event.id = reader.uuid(QStringLiteral("id"));
    event.type = reader.enumeration<BL_EventType>(QStringLiteral("type"), eventTypeFromRaw);
    event.timestamp = reader.date(QStringLiteral("timestamp"));
    event.agentID = reader.optionalUuid(QStringLiteral("agentID"));
    event.detail = reader.optionalString(QStringLiteral("detail"));
    if (!reader.ok())
        return Error::make(reader.error());
    return event;
}

QJsonObject BL_TaskConversationTurn::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("id"), id);
    writer.putDate(QStringLiteral("timestamp"), timestamp);
    writer.put(QStringLiteral("role"), rawValue(role));
    writer.putOptionalUuid(QStringLiteral("agentID"), agentID);
    writer.put(QStringLiteral("content"), content);
    return writer.result();
}

Result<BL_TaskConversationTurn> BL_TaskConversationTurn::fromJson(const QJsonObject &object)
{
    JsonRecordReader reader(object);
    BL_TaskConversationTurn turn;
    turn.id = reader.uuid(QStringLiteral("id"));
    turn.timestamp = reader.date(QStringLiteral("timestamp"));
    turn.role = reader.enumeration<BL_TaskConversationRole>(QStringLiteral("role"), taskConversationRoleFromRaw);
    turn.agentID = reader.optionalUuid(QStringLiteral("agentID"));
    turn.content = reader.string(QStringLiteral("content"));
    if (!reader.ok())
        return Error::make(reader.error());
    return turn;
}

BL_TaskConversationTurn BL_Task::sanitizeConversationTurn(const BL_TaskConversationTurn &turn)
{
    BL_TaskConversationTurn clean = turn;
    clean.content = Text::cutToGraphemes(Text::trimmed(turn.content), kTurnContentLimit, kTruncationSuffix);
    return clean;
}

void BL_Task::appendConversationTurn(const BL_TaskConversationTurn &turn)
{
    QList<BL_TaskConversationTurn> turns = decodedConversation().value_or(QList<BL_TaskConversationTurn>());
    turns.append(sanitizeConversationTurn(turn));
    if (turns.size() > kConversationLimit)
        turns.remove(0, turns.size() - kConversationLimit);
    taskConversationData = encodeConversation(turns);
}

std::optional<QList<BL_TaskHistoryEvent>> BL_Task::decodedHistory() const
{
    return decodeEntries<BL_TaskHistoryEvent>(taskHistoryData);
}

std::optional<QList<BL_TaskConversationTurn>> BL_Task::decodedConversation() const
{
    return decodeEntries<BL_TaskConversationTurn>(taskConversationData);
}

QByteArray encodeHistory(const QList<BL_TaskHistoryEvent> &events)
{
    return encodeEntries(events);
}

QByteArray encodeConversation(const QList<BL_TaskConversationTurn> &turns)
{
    return encodeEntries(turns);
}

QJsonObject BL_Task::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("blID"), blID);
    writer.putUuid(QStringLiteral("projectID"), projectID);
    writer.put(QStringLiteral("status"), rawValue(status));
    writer.putBytes(QStringLiteral("inputData"), inputData);
    writer.putOptionalBytes(QStringLiteral("outputData"), outputData);
    writer.putBytes(QStringLiteral("metadata"), metadata);
    writer.putOptionalBytes(QStringLiteral("extraMetadata"), extraMetadata);
    writer.put(QStringLiteral("workerState"), rawValue(workerState));
    writer.put(QStringLiteral("delegationState"), rawValue(delegationState));
    writer.putOptional(QStringLiteral("workerSessionKey"), workerSessionKey);
    writer.putBytes(QStringLiteral("taskHistoryData"), taskHistoryData);
    writer.putBytes(QStringLiteral("taskConversationData"), taskConversationData);
    writer.putDate(QStringLiteral("taskLastActivityDate"), taskLastActivityDate);
    writer.putDate(QStringLiteral("createdAt"), createdAt);
    writer.putDate(QStringLiteral("updatedAt"), updatedAt);
    return writer.result();
}

Result<BL_Task> BL_Task::fromJson(const QJsonObject &object)
{
    JsonRecordReader reader(object);
    BL_Task task;
    task.blID = reader.uuid(QStringLiteral("blID"));
    task.projectID = reader.uuid(QStringLiteral("projectID"));
    task.status = reader.enumeration<BL_TaskStatus>(QStringLiteral("status"), taskStatusFromRaw);
    task.inputData = reader.bytes(QStringLiteral("inputData"));
    task.outputData = reader.optionalBytes(QStringLiteral("outputData"));
    task.metadata = reader.bytes(QStringLiteral("metadata"));
    task.extraMetadata = reader.optionalBytes(QStringLiteral("extraMetadata"));
    task.workerState = reader.enumeration<BL_TaskWorkerState>(QStringLiteral("workerState"), taskWorkerStateFromRaw);
    task.delegationState
        = reader.enumeration<BL_TaskDelegationState>(QStringLiteral("delegationState"), taskDelegationStateFromRaw);
    task.workerSessionKey = reader.optionalString(QStringLiteral("workerSessionKey"));
    task.taskHistoryData = reader.bytes(QStringLiteral("taskHistoryData"));
    task.taskConversationData = reader.bytes(QStringLiteral("taskConversationData"));
    task.taskLastActivityDate = reader.date(QStringLiteral("taskLastActivityDate"));
    task.createdAt = reader.date(QStringLiteral("createdAt"));
    task.updatedAt = reader.date(QStringLiteral("updatedAt"));
    if (!reader.ok())
        return Error::make(reader.error());
    return task;
}

size_t qHash(const BL_TaskHistoryEvent &event, size_t seed)
{
    seed = qHash(event.id, seed);
    seed = qHash(int(event.type), seed);
    seed = hashOf(event.timestamp, seed);
    seed = hashOptional(event.agentID, seed);
    return hashOptional(event.detail, seed);
}

size_t qHash(const BL_TaskConversationTurn &turn, size_t seed)
{
    seed = qHash(turn.id, seed);
    seed = hashOf(turn.timestamp, seed);
    seed = qHash(int(turn.role), seed);
    seed = hashOptional(turn.agentID, seed);
    return qHash(turn.content, seed);
}

size_t qHash(const BL_Task &task, size_t seed)
{
    seed = qHash(task.blID, seed);
    seed = qHash(task.projectID, seed);
    seed = qHash(int(task.status), seed);
    seed = qHash(task.inputData, seed);
    seed = hashOptional(task.outputData, seed);
    seed = qHash(task.metadata, seed);
    seed = hashOptional(task.extraMetadata, seed);
    seed = qHash(int(task.workerState), seed);
    seed = qHash(int(task.delegationState), seed);
    seed = hashOptional(task.workerSessionKey, seed);
    seed = qHash(task.taskHistoryData, seed);
    seed = qHash(task.taskConversationData, seed);
    seed = hashOf(task.taskLastActivityDate, seed);
    seed = hashOf(task.createdAt, seed);
    return hashOf(task.updatedAt, seed);
}
