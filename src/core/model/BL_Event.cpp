#include "BL_Event.h"

#include "common/JsonRecord.h"

QJsonObject BL_DelegationPayload::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("agentID"), agentID);
    return writer.result();
}

Result<BL_DelegationPayload> BL_DelegationPayload::fromJson(const QJsonObject &object)
{
    JsonRecordReader reader(object);
    BL_DelegationPayload payload;
    payload.agentID = reader.uuid(QStringLiteral("agentID"));
    if (!reader.ok())
        return Error::make(reader.error());
    return payload;
}

QJsonObject BL_DelegationRequestPayload::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("managerID"), managerID);
    writer.putOptional(QStringLiteral("source"), source);
    writer.putOptionalBytes(QStringLiteral("taskInputData"), taskInputData);
    writer.putOptional(QStringLiteral("projectRootPath"), projectRootPath);
    return writer.result();
}

Result<BL_DelegationRequestPayload> BL_DelegationRequestPayload::fromJson(const QJsonObject &object)
{
    JsonRecordReader reader(object);
    BL_DelegationRequestPayload payload;
    payload.managerID = reader.uuid(QStringLiteral("managerID"));
    payload.source = reader.optionalString(QStringLiteral("source"));
    payload.taskInputData = reader.optionalBytes(QStringLiteral("taskInputData"));
    payload.projectRootPath = reader.optionalString(QStringLiteral("projectRootPath"));
    if (!reader.ok())
        return Error::make(reader.error());
    return payload;
}

QJsonObject BL_WorkerResultPayload::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("agentID"), agentID);
    writer.putOptionalBytes(QStringLiteral("outputData"), outputData);
    writer.putOptional(QStringLiteral("reason"), reason);
    return writer.result();
}

Result<BL_WorkerResultPayload> BL_WorkerResultPayload::fromJson(const QJsonObject &object)
{
    JsonRecordReader reader(object);
    BL_WorkerResultPayload payload;
    payload.agentID = reader.uuid(QStringLiteral("agentID"));
    payload.outputData = reader.optionalBytes(QStringLiteral("outputData"));
    payload.reason = reader.optionalString(QStringLiteral("reason"));
    if (!reader.ok())
        return Error::make(reader.error());
    return payload;
}

QJsonObject BL_TaskEventPayload::toJson() const
{
    JsonRecordWriter writer;
    writer.putOptionalUuid(QStringLiteral("agentID"), agentID);
    writer.putOptional(QStringLiteral("detail"), detail);
    if (conversationTurn)
        writer.put(QStringLiteral("conversationTurn"), conversationTurn->toJson());
    writer.putOptional(QStringLiteral("workerSessionKey"), workerSessionKey);
    writer.putOptional(QStringLiteral("stdoutChunk"), stdoutChunk);
    writer.putOptional(QStringLiteral("stdoutReset"), stdoutReset);
    return writer.result();
}

Result<BL_TaskEventPayload> BL_TaskEventPayload::fromJson(const QJsonObject &object)
{
    JsonRecordReader reader(object);
    BL_TaskEventPayload payload;
    payload.agentID = reader.optionalUuid(QStringLiteral("agentID"));
    payload.detail = reader.optionalString(QStringLiteral("detail"));
    if (const auto turnObject = reader.optionalObject(QStringLiteral("conversationTurn"))) {
        auto turn = BL_TaskConversationTurn::fromJson(*turnObject);
        if (!turn)
            reader.fail(QStringLiteral("conversationTurn: ") + turn.errorMessage());
        else
            payload.conversationTurn = std::move(turn).value();
    }
    payload.workerSessionKey = reader.optionalString(QStringLiteral("workerSessionKey"));
    payload.stdoutChunk = reader.optionalString(QStringLiteral("stdoutChunk"));
    payload.stdoutReset = reader.optionalBoolean(QStringLiteral("stdoutReset"));
    if (!reader.ok())
        return Error::make(reader.error());
    return payload;
}

QJsonObject BL_TaskMovedPayload::toJson() const
{
    JsonRecordWriter writer;
    writer.put(QStringLiteral("fromStatus"), rawValue(fromStatus));
    writer.put(QStringLiteral("toStatus"), rawValue(toStatus));
    return writer.result();
}

Result<BL_TaskMovedPayload> BL_TaskMovedPayload::fromJson(const QJsonObject &object)
{
    JsonRecordReader reader(object);
    BL_TaskMovedPayload payload;
    payload.fromStatus = reader.enumeration<BL_TaskStatus>(QStringLiteral("fromStatus"), taskStatusFromRaw);
    payload.toStatus = reader.enumeration<BL_TaskStatus>(QStringLiteral("toStatus"), taskStatusFromRaw);
    if (!reader.ok())
        return Error::make(reader.error());
    return payload;
}

BL_Event BL_Event::make(BL_EventType type, const QUuid &projectID, const QUuid &taskID)
{
    BL_Event event;
    event.id = QUuid::createUuid();
    event.type = type;
    event.projectID = projectID;
    event.taskID = taskID;
    event.timestamp = TimePoint::now();
    return event;
}

QJsonObject BL_Event::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("id"), id);
    writer.put(QStringLiteral("type"), rawValue(type));
    writer.putUuid(QStringLiteral("projectID"), projectID);
    writer.putUuid(QStringLiteral("taskID"), taskID);
    writer.putDate(QStringLiteral("timestamp"), timestamp);
    writer.putOptionalBytes(QStringLiteral("payload"), payload);
    return writer.result();
}

Result<BL_Event> BL_Event::fromJson(const QJsonObject &object)
{
    JsonRecordReader reader(object);
    BL_Event event;
    event.id = reader.uuid(QStringLiteral("id"));
    event.type = reader.enumeration<BL_EventType>(QStringLiteral("type"), eventTypeFromRaw);
    event.projectID = reader.uuid(QStringLiteral("projectID"));
    event.taskID = reader.uuid(QStringLiteral("taskID"));
    event.timestamp = reader.date(QStringLiteral("timestamp"));
    event.payload = reader.optionalBytes(QStringLiteral("payload"));
    if (!reader.ok())
        return Error::make(reader.error());
    return event;
}
