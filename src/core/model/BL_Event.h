#pragma once

#include "common/Json.h"
#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BL_EventType.h"
#include "model/BL_Task.h"

#include <QByteArray>
#include <QJsonObject>
#include <QUuid>
#include <optional>

// Payload of "delegationAccepted".
struct BL_DelegationPayload
{
    QUuid agentID;

    QJsonObject toJson() const;
    static Result<BL_DelegationPayload> fromJson(const QJsonObject &object);
};

// Payload of "delegationRequested".
struct BL_DelegationRequestPayload
{
    QUuid managerID;
    std::optional<QString> source;
    std::optional<QByteArray> taskInputData;
    std::optional<QString> projectRootPath;

    QJsonObject toJson() const;
    static Result<BL_DelegationRequestPayload> fromJson(const QJsonObject &object);
};

// Payload of "workerTaskCompleted" and "workerTaskFailed".
struct BL_WorkerResultPayload
{
    QUuid agentID;
    std::optional<QByteArray> outputData;
    std::optional<QString> reason;

    QJsonObject toJson() const;
    static Result<BL_WorkerResultPayload> fromJson(const QJsonObject &object);
};

// The general payload of most task events. Every field is optional, so it
// reads from any payload object.
struct BL_TaskEventPayload
{
    std::optional<QUuid> agentID;
    std::optional<QString> detail;
    std::optional<BL_TaskConversationTurn> conversationTurn;
    std::optional<QString> workerSessionKey;
    std::optional<QString> stdoutChunk;
    std::optional<bool> stdoutReset;

    QJsonObject toJson() const;
    static Result<BL_TaskEventPayload> fromJson(const QJsonObject &object);
};

// Payload of "taskMoved".
struct BL_TaskMovedPayload
{
    BL_TaskStatus fromStatus = BL_TaskStatus::backlog;
    BL_TaskStatus toStatus = BL_TaskStatus::backlog;

    QJsonObject toJson() const;
    static Result<BL_TaskMovedPayload> fromJson(const QJsonObject &object);
};

// Something that happened to a task, as published on the event bus.
struct BL_Event
{
    QUuid id;
    BL_EventType type = BL_EventType::taskCreated;
    QUuid projectID;
    QUuid taskID;
    TimePoint timestamp;
    std::optional<QByteArray> payload; // UTF-8 JSON of one payload record

    const QUuid &identifier() const { return id; }

    // A fresh event: new random id, timestamp now, no payload.
    static BL_Event make(BL_EventType type, const QUuid &projectID, const QUuid &taskID);
    // The same with the payload record encoded as JSON.
    template<typename Payload>
    static BL_Event make(BL_EventType type, const QUuid &projectID, const QUuid &taskID, const Payload &payload)
    {
        BL_Event event = make(type, projectID, taskID);
        event.payload = Json::write(payload.toJson());
        return event;
    }

    // The payload read as the given record; nothing when there is no payload
    // or it does not read as that record.
    template<typename Payload> std::optional<Payload> decodePayload() const
    {
        if (!payload)
            return std::nullopt;
        const auto object = Json::parseObject(*payload);
        if (!object)
            return std::nullopt;
        auto record = Payload::fromJson(*object);
        if (!record)
            return std::nullopt;
        return std::move(record).value();
    }

    QJsonObject toJson() const;
    static Result<BL_Event> fromJson(const QJsonObject &object);
};
