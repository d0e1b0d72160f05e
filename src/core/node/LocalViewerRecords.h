#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BL_Invite.h"
#include "model/BL_Task.h"
#include "model/BL_Team.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

// The JSON bodies of the local viewer's HTTP interface. One form in both
// directions: keys are the field names, absent optionals are left out (never
// null), UUIDs upper case (read in either case, strictly), dates Unix seconds
// with their fraction, bytes standard Base64, output compact.
//
// toJson() writes a record; fromJson() reads one and gives nothing when a
// required key is missing, null or of the wrong form. Dates are read by the
// client node's rule (readClientDate); the server reads no dates.
namespace LocalViewer {

// The client node's date rule: an ISO 8601 text (with or without fractional
// seconds), else a number (above 1e10 taken as milliseconds).
Result<TimePoint> readClientDate(const QJsonValue &value);
QJsonValue writeDate(const TimePoint &date);

struct TaskSummary
{
    QUuid id;
    QUuid projectID;
    QString status; // a status word, not checked when read
    std::optional<QString> workerState;
    std::optional<QString> delegationState;
    QString title;
    TimePoint updatedAt;
    std::optional<QString> detectedURL;
    std::optional<QByteArray> taskHistoryData;
    std::optional<QByteArray> taskConversationData;
    std::optional<QString> submitterUsername;

    QJsonObject toJson() const;
    static std::optional<TaskSummary> fromJson(const QJsonValue &json);
    friend bool operator==(const TaskSummary &, const TaskSummary &) = default;
};

struct WorkspaceSummary
{
    QUuid id;
    QString name;
    qint64 backlog = 0;
    qint64 queued = 0;
    qint64 inProgress = 0;
    qint64 completed = 0;
    qint64 failed = 0;

    QJsonObject toJson() const;
    static std::optional<WorkspaceSummary> fromJson(const QJsonValue &json);
    friend bool operator==(const WorkspaceSummary &, const WorkspaceSummary &) = default;
};

struct BootstrapResponse
{
    std::optional<QUuid> activeWorkspaceID;
    QList<WorkspaceSummary> workspaces;
    QList<TaskSummary> tasks;

    QJsonObject toJson() const;
    static std::optional<BootstrapResponse> fromJson(const QJsonValue &json);
    friend bool operator==(const BootstrapResponse &, const BootstrapResponse &) = default;
};

struct TaskDetailResponse
{
    QUuid id;
    QUuid projectID;
    QString status;
    QString workerState;
    QString delegationState;
    std::optional<QString> workerSessionKey;
    TimePoint createdAt;
    TimePoint updatedAt;
    TimePoint lastActivityAt;
    QString inputJSON;
    QString metadataJSON;
    std::optional<QString> outputText;
    std::optional<QString> gitDiffState;
    std::optional<QString> gitDiffSummaryJSON;
    std::optional<QString> gitDiffPatch;
    std::optional<QString> gitDiffErrorMessage;
    QString historyJSON;
    QString conversationJSON;
    std::optional<QString> stdoutLogTail;
    std::optional<QString> submitterUsername;

    QJsonObject toJson() const;
    static std::optional<TaskDetailResponse> fromJson(const QJsonValue &json);
    friend bool operator==(const TaskDetailResponse &, const TaskDetailResponse &) = default;
};

struct CreateTaskRequest
{
    std::optional<QUuid> projectID;
    QString description;
    BL_TaskStatus status = BL_TaskStatus::queued;
    std::optional<QString> submitterIP;
    std::optional<QString> submitterMAC;
    std::optional<QString> submitterUsername;

    QJsonObject toJson() const;
    static std::optional<CreateTaskRequest> fromJson(const QJsonValue &json);
    friend bool operator==(const CreateTaskRequest &, const CreateTaskRequest &) = default;
};

// Also the shape of CreateOrganizationRequest.
struct CreateWorkspaceRequest
{
    QString name;

    QJsonObject toJson() const;
    static std::optional<CreateWorkspaceRequest> fromJson(const QJsonValue &json);
    friend bool operator==(const CreateWorkspaceRequest &, const CreateWorkspaceRequest &) = default;
};
using CreateOrganizationRequest = CreateWorkspaceRequest;

struct CreateWorkspaceResponse
{
    WorkspaceSummary workspace;
    QString rootPath;

    QJsonObject toJson() const;
    static std::optional<CreateWorkspaceResponse> fromJson(const QJsonValue &json);
    friend bool operator==(const CreateWorkspaceResponse &, const CreateWorkspaceResponse &) = default;
};

struct MoveTaskRequest
{
    QUuid projectID;
    QUuid taskID;
    BL_TaskStatus status = BL_TaskStatus::backlog;

    QJsonObject toJson() const;
    static std::optional<MoveTaskRequest> fromJson(const QJsonValue &json);
    friend bool operator==(const MoveTaskRequest &, const MoveTaskRequest &) = default;
};

struct DeleteTaskRequest
{
    QUuid projectID;
    QUuid taskID;

    QJsonObject toJson() const;
    static std::optional<DeleteTaskRequest> fromJson(const QJsonValue &json);
    friend bool operator==(const DeleteTaskRequest &, const DeleteTaskRequest &) = default;
};

// Also the shape of DelegateTaskRequest.
struct CancelTaskRequest
{
    QUuid projectID;
    QUuid taskID;
    std::optional<QString> source;

    QJsonObject toJson() const;
    static std::optional<CancelTaskRequest> fromJson(const QJsonValue &json);
    friend bool operator==(const CancelTaskRequest &, const CancelTaskRequest &) = default;
};
using DelegateTaskRequest = CancelTaskRequest;

struct ClearDoneTasksRequest
{
    QUuid projectID;

    QJsonObject toJson() const;
    static std::optional<ClearDoneTasksRequest> fromJson(const QJsonValue &json);
    friend bool operator==(const ClearDoneTasksRequest &, const ClearDoneTasksRequest &) = default;
};

struct OrganizationSummary
{
    QUuid id;
    QString name;
    QString slug;
    qint64 teamCount = 0;
    qint64 workspaceCount = 0;

    QJsonObject toJson() const;
    static std::optional<OrganizationSummary> fromJson(const QJsonValue &json);
    friend bool operator==(const OrganizationSummary &, const OrganizationSummary &) = default;
};

struct TeamSummary
{
    QUuid id;
    std::optional<QUuid> organizationID;
    QString name;

    QJsonObject toJson() const;
    static std::optional<TeamSummary> fromJson(const QJsonValue &json);
    friend bool operator==(const TeamSummary &, const TeamSummary &) = default;
};

struct MainNodeSummary
{
    QUuid id;
    QUuid organizationID;
    QString name;
    std::optional<QString> hostLabel;
    QString status;

    QJsonObject toJson() const;
    static std::optional<MainNodeSummary> fromJson(const QJsonValue &json);
    friend bool operator==(const MainNodeSummary &, const MainNodeSummary &) = default;
};

struct AuthContextResponse
{
    BL_User user;
    QList<OrganizationSummary> organizations;
    QList<TeamSummary> teams;
    QList<WorkspaceSummary> workspaces;
    QList<MainNodeSummary> mainNodes;

    QJsonObject toJson() const;
    static std::optional<AuthContextResponse> fromJson(const QJsonValue &json);
    friend bool operator==(const AuthContextResponse &, const AuthContextResponse &) = default;
};

struct CreateTeamRequest
{
    std::optional<QUuid> organizationID;
    QString name;

    QJsonObject toJson() const;
    static std::optional<CreateTeamRequest> fromJson(const QJsonValue &json);
    friend bool operator==(const CreateTeamRequest &, const CreateTeamRequest &) = default;
};

struct CreateInviteRequest
{
    QUuid organizationID;
    std::optional<QUuid> teamID;
    BL_TeamMembershipRole role = BL_TeamMembershipRole::member;
    std::optional<QString> email;
    std::optional<double> expiresInSeconds;

    QJsonObject toJson() const;
    static std::optional<CreateInviteRequest> fromJson(const QJsonValue &json);
    friend bool operator==(const CreateInviteRequest &, const CreateInviteRequest &) = default;
};

struct AcceptInviteRequest
{
    QString token;
    QString name;
    std::optional<QString> email;
    std::optional<QString> googleSubjectID;

    QJsonObject toJson() const;
    static std::optional<AcceptInviteRequest> fromJson(const QJsonValue &json);
    friend bool operator==(const AcceptInviteRequest &, const AcceptInviteRequest &) = default;
};

// The account model's user and invite in the wire's date form.
QJsonObject userToJson(const BL_User &user);
std::optional<BL_User> userFromJson(const QJsonValue &json);
QJsonObject inviteToJson(const BL_Invite &invite);
std::optional<BL_Invite> inviteFromJson(const QJsonValue &json);

// A list answer as a bare array, and its reading: one failing element fails
// the whole list.
template<typename Record> QJsonArray listToJson(const QList<Record> &records)
{
    QJsonArray array;
    for (const Record &record : records)
        array.append(record.toJson());
    return array;
}
template<typename Record> std::optional<QList<Record>> listFromJson(const QJsonValue &json)
{
    if (!json.isArray())
        return std::nullopt;
    QList<Record> records;
    for (const QJsonValue &element : json.toArray()) {
        std::optional<Record> record = Record::fromJson(element);
        if (!record)
            return std::nullopt;
        records.append(std::move(*record));
    }
    return records;
}

// Compact JSON bytes of an answer.
QByteArray encode(const QJsonObject &object);
QByteArray encode(const QJsonArray &array);
// A request body as an object; nothing for broken JSON or another kind.
std::optional<QJsonObject> decodeObject(const QByteArray &body);

} // namespace LocalViewer
