#include "node/LocalViewerRecords.h"

#include "common/Json.h"
#include "common/JsonRecord.h"
#include "common/UuidText.h"

#include <cmath>

namespace LocalViewer {

namespace {

    // JsonRecordReader with the wire's date form.
    class Reader : public JsonRecordReader
    {
    public:
        using JsonRecordReader::JsonRecordReader;

        TimePoint wireDate(const QString &key)
        {
            if (!ok())
                return {};
            if (isAbsent(key)) {
                fail(QStringLiteral("Missing %1").arg(key));
                return {};
            }
            Result<TimePoint> date = readClientDate(object().value(key));
            if (!date) {
                fail(date.errorMessage());
                return {};
            }
            return *date;
        }

        BL_TaskStatus status(const QString &key) { return enumeration<BL_TaskStatus>(key, taskStatusFromRaw); }
    };

    void putOptional(QJsonObject &object, const QString &key, const std::optional<QString> &value)
    {
        if (value)
            object.insert(key, *value);
    }

    void putOptional(QJsonObject &object, const QString &key, const std::optional<QUuid> &value)
    {
        if (value)
            object.insert(key, UuidText::upper(*value));
    }

    void putOptionalBytes(QJsonObject &object, const QString &key, const std::optional<QByteArray> &value)
    {
        if (value)
            object.insert(key, Json::base64(*value));
    }

    QJsonValue uuid(const QUuid &id)
    {
        return UuidText::upper(id);
    }

    template<typename T> std::optional<T> finish(const Reader &reader, T value)
    {
        if (!reader.ok())
            return std::nullopt;
        return value;
    }

    // Rewrites the named date keys of a record between the account model's own
    // form (seconds since 2001) and the wire's (Unix seconds).
    QJsonObject withUnixDates(QJsonObject object, std::initializer_list<const char *> keys)
    {
        for (const char *key : keys) {
            const QString name = QString::fromLatin1(key);
            const std::optional<TimePoint> date = TimePoint::fromJson(object.value(name));
            if (date)
                object.insert(name, writeDate(*date));
        }
        return object;
    }

    std::optional<QJsonObject> withReferenceDates(QJsonObject object, std::initializer_list<const char *> keys)
    {
        for (const char *key : keys) {
            const QString name = QString::fromLatin1(key);
            const QJsonValue value = object.value(name);
            if (value.isUndefined() || value.isNull())
                continue; // the record's own reader reports the missing field
            Result<TimePoint> date = readClientDate(value);
            if (!date)
                return std::nullopt;
            object.insert(name, date->toJson());
        }
        return object;
    }

} // namespace

Result<TimePoint> readClientDate(const QJsonValue &value)
{
    // The task files' reading, but a finite number outside the calendar
    // still names an instant.
    if (auto date = TimePoint::fromLooseDate(value, TimePoint::OutOfCalendar::Accept))
        return *date;
    if (value.isString())
        return Error::make(QStringLiteral("Invalid date string format: ") + value.toString());
    return Error::make(QStringLiteral("Unsupported date format for client-node sync."));
}

QJsonValue writeDate(const TimePoint &date)
{
    return date.unixSeconds();
}

// TaskSummary

QJsonObject TaskSummary::toJson() const
{
    QJsonObject object {{"id", uuid(id)}, {"projectID", uuid(projectID)}, {"status", status}, {"title", title},
        {"updatedAt", writeDate(updatedAt)}};
    putOptional(object, "workerState", workerState);
    putOptional(object, "delegationState", delegationState);
    putOptional(object, "detectedURL", detectedURL);
    putOptionalBytes(object, "taskHistoryData", taskHistoryData);
    putOptionalBytes(object, "taskConversationData", taskConversationData);
    putOptional(object, "submitterUsername", submitterUsername);
    return object;
}

std::optional<TaskSummary> TaskSummary::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "TaskSummary");
    TaskSummary s;
    s.id = r.uuid("id");
    s.projectID = r.uuid("projectID");
    s.status = r.string("status");
    s.workerState = r.optionalString("workerState");
    s.delegationState = r.optionalString("delegationState");
    s.title = r.string("title");
    s.updatedAt = r.wireDate("updatedAt");
    s.detectedURL = r.optionalString("detectedURL");
    s.taskHistoryData = r.optionalBytes("taskHistoryData");
    s.taskConversationData = r.optionalBytes("taskConversationData");
    s.submitterUsername = r.optionalString("submitterUsername");
    return finish(r, s);
}

// WorkspaceSummary

QJsonObject WorkspaceSummary::toJson() const
{
    return QJsonObject {{"id", uuid(id)}, {"name", name}, {"backlog", backlog}, {"queued", queued},
        {"inProgress", inProgress}, {"completed", completed}, {"failed", failed}};
}

std::optional<WorkspaceSummary> WorkspaceSummary::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "WorkspaceSummary");
    WorkspaceSummary s;
    s.id = r.uuid("id");
    s.name = r.string("name");
    s.backlog = r.integer("backlog");
    s.queued = r.integer("queued");
    s.inProgress = r.integer("inProgress");
    s.completed = r.integer("completed");
    s.failed = r.integer("failed");
    return finish(r, s);
}

// BootstrapResponse

QJsonObject BootstrapResponse::toJson() const
{
    QJsonObject object {{"workspaces", listToJson(workspaces)}, {"tasks", listToJson(tasks)}};
    putOptional(object, "activeWorkspaceID", activeWorkspaceID);
    return object;
}

std::optional<BootstrapResponse> BootstrapResponse::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "BootstrapResponse");
    BootstrapResponse s;
    s.activeWorkspaceID = r.optionalUuid("activeWorkspaceID");
    const QJsonArray workspaces = r.array("workspaces");
    const QJsonArray tasks = r.array("tasks");
    if (!r.ok())
        return std::nullopt;
    auto w = listFromJson<WorkspaceSummary>(workspaces);
    auto t = listFromJson<TaskSummary>(tasks);
    if (!w || !t)
        return std::nullopt;
    s.workspaces = *w;
    s.tasks = *t;
    return s;
}

// TaskDetailResponse

QJsonObject TaskDetailResponse::toJson() const
{
    QJsonObject object {{"id", uuid(id)}, {"projectID", uuid(projectID)}, {"status", status},
        {"workerState", workerState}, {"delegationState", delegationState}, {"createdAt", writeDate(createdAt)},
        {"updatedAt", writeDate(updatedAt)}, {"lastActivityAt", writeDate(lastActivityAt)}, {"inputJSON", inputJSON},
        {"metadataJSON", metadataJSON}, {"historyJSON", historyJSON}, {"conversationJSON", conversationJSON}};
    putOptional(object, "workerSessionKey", workerSessionKey);
    putOptional(object, "outputText", outputText);
    putOptional(object, "gitDiffState", gitDiffState);
    putOptional(object, "gitDiffSummaryJSON", gitDiffSummaryJSON);
    putOptional(object, "gitDiffPatch", gitDiffPatch);
    putOptional(object, "gitDiffErrorMessage", gitDiffErrorMessage);
    putOptional(object, "stdoutLogTail", stdoutLogTail);
    putOptional(object, "submitterUsername", submitterUsername);
    return object;
}

std::optional<TaskDetailResponse> TaskDetailResponse::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "TaskDetailResponse");
    TaskDetailResponse s;
    s.id = r.uuid("id");
    s.projectID = r.uuid("projectID");
    s.status = r.string("status");
    s.workerState = r.string("workerState");
    s.delegationState = r.string("delegationState");
    s.workerSessionKey = r.optionalString("workerSessionKey");
    s.createdAt = r.wireDate("createdAt");
    s.updatedAt = r.wireDate("updatedAt");
    s.lastActivityAt = r.wireDate("lastActivityAt");
    s.inputJSON = r.string("inputJSON");
    s.metadataJSON = r.string("metadataJSON");
    s.outputText = r.optionalString("outputText");
    s.gitDiffState = r.optionalString("gitDiffState");
    s.gitDiffSummaryJSON = r.optionalString("gitDiffSummaryJSON");
    s.gitDiffPatch = r.optionalString("gitDiffPatch");
    s.gitDiffErrorMessage = r.optionalString("gitDiffErrorMessage");
    s.historyJSON = r.string("historyJSON");
    s.conversationJSON = r.string("conversationJSON");
    s.stdoutLogTail = r.optionalString("stdoutLogTail");
    s.submitterUsername = r.optionalString("submitterUsername");
    return finish(r, s);
}

// Requests

QJsonObject CreateTaskRequest::toJson() const
{
    QJsonObject object {{"description", description}, {"status", rawValue(status)}};
    putOptional(object, "projectID", projectID);
    putOptional(object, "submitterIP", submitterIP);
    putOptional(object, "submitterMAC", submitterMAC);
    putOptional(object, "submitterUsername", submitterUsername);
    return object;
}

std::optional<CreateTaskRequest> CreateTaskRequest::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "CreateTaskRequest");
    CreateTaskRequest s;
    s.projectID = r.optionalUuid("projectID");
    s.description = r.string("description");
    s.status = r.status("status");
    s.submitterIP = r.optionalString("submitterIP");
    s.submitterMAC = r.optionalString("submitterMAC");
    s.submitterUsername = r.optionalString("submitterUsername");
    return finish(r, s);
}

QJsonObject CreateWorkspaceRequest::toJson() const
{
    return QJsonObject {{"name", name}};
}

std::optional<CreateWorkspaceRequest> CreateWorkspaceRequest::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "CreateWorkspaceRequest");
    CreateWorkspaceRequest s;
    s.name = r.string("name");
    return finish(r, s);
}

QJsonObject CreateWorkspaceResponse::toJson() const
{
    return QJsonObject {{"workspace", workspace.toJson()}, {"rootPath", rootPath}};
}

std::optional<CreateWorkspaceResponse> CreateWorkspaceResponse::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "CreateWorkspaceResponse");
    const QJsonObject workspace = r.object("workspace");
    CreateWorkspaceResponse s;
    s.rootPath = r.string("rootPath");
    if (!r.ok())
        return std::nullopt;
    auto summary = WorkspaceSummary::fromJson(workspace);
    if (!summary)
        return std::nullopt;
    s.workspace = *summary;
    return s;
}

QJsonObject MoveTaskRequest::toJson() const
{
    return QJsonObject {{"projectID", uuid(projectID)}, {"taskID", uuid(taskID)}, {"status", rawValue(status)}};
}

std::optional<MoveTaskRequest> MoveTaskRequest::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "MoveTaskRequest");
    MoveTaskRequest s;
    s.projectID = r.uuid("projectID");
    s.taskID = r.uuid("taskID");
    s.status = r.status("status");
    return finish(r, s);
}

QJsonObject DeleteTaskRequest::toJson() const
{
    return QJsonObject {{"projectID", uuid(projectID)}, {"taskID", uuid(taskID)}};
}

std::optional<DeleteTaskRequest> DeleteTaskRequest::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "DeleteTaskRequest");
    DeleteTaskRequest s;
    s.projectID = r.uuid("projectID");
    s.taskID = r.uuid("taskID");
    return finish(r, s);
}

QJsonObject CancelTaskRequest::toJson() const
{
    QJsonObject object {{"projectID", uuid(projectID)}, {"taskID", uuid(taskID)}};
    putOptional(object, "source", source);
    return object;
}

std::optional<CancelTaskRequest> CancelTaskRequest::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "CancelTaskRequest");
    CancelTaskRequest s;
    s.projectID = r.uuid("projectID");
    s.taskID = r.uuid("taskID");
    s.source = r.optionalString("source");
    return finish(r, s);
}

QJsonObject ClearDoneTasksRequest::toJson() const
{
    return QJsonObject {{"projectID", uuid(projectID)}};
}

std::optional<ClearDoneTasksRequest> ClearDoneTasksRequest::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "ClearDoneTasksRequest");
    ClearDoneTasksRequest s;
    s.projectID = r.uuid("projectID");
    return finish(r, s);
}

// Account records

QJsonObject OrganizationSummary::toJson() const
{
    return QJsonObject {
        {"id", uuid(id)}, {"name", name}, {"slug", slug}, {"teamCount", teamCount}, {"workspaceCount", workspaceCount}};
}

std::optional<OrganizationSummary> OrganizationSummary::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "OrganizationSummary");
    OrganizationSummary s;
    s.id = r.uuid("id");
    s.name = r.string("name");
    s.slug = r.string("slug");
    s.teamCount = r.integer("teamCount");
    s.workspaceCount = r.integer("workspaceCount");
    return finish(r, s);
}

QJsonObject TeamSummary::toJson() const
{
    QJsonObject object {{"id", uuid(id)}, {"name", name}};
    putOptional(object, "organizationID", organizationID);
    return object;
}

std::optional<TeamSummary> TeamSummary::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "TeamSummary");
    TeamSummary s;
    s.id = r.uuid("id");
    s.organizationID = r.optionalUuid("organizationID");
    s.name = r.string("name");
    return finish(r, s);
}

QJsonObject MainNodeSummary::toJson() const
{
    QJsonObject object {{"id", uuid(id)}, {"organizationID", uuid(organizationID)}, {"name", name}, {"status", status}};
    putOptional(object, "hostLabel", hostLabel);
    return object;
}

std::optional<MainNodeSummary> MainNodeSummary::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "MainNodeSummary");
    MainNodeSummary s;
    s.id = r.uuid("id");
    s.organizationID = r.uuid("organizationID");
    s.name = r.string("name");
    s.hostLabel = r.optionalString("hostLabel");
    s.status = r.string("status");
    return finish(r, s);
}

QJsonObject AuthContextResponse::toJson() const
{
    return QJsonObject {{"user", userToJson(user)}, {"organizations", listToJson(organizations)},
        {"teams", listToJson(teams)}, {"workspaces", listToJson(workspaces)}, {"mainNodes", listToJson(mainNodes)}};
}

std::optional<AuthContextResponse> AuthContextResponse::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    const QJsonObject object = json.toObject();
    auto user = userFromJson(object.value("user"));
    auto organizations = listFromJson<OrganizationSummary>(object.value("organizations"));
    auto teams = listFromJson<TeamSummary>(object.value("teams"));
    auto workspaces = listFromJson<WorkspaceSummary>(object.value("workspaces"));
    auto mainNodes = listFromJson<MainNodeSummary>(object.value("mainNodes"));
    if (!user || !organizations || !teams || !workspaces || !mainNodes)
        return std::nullopt;
    return AuthContextResponse {*user, *organizations, *teams, *workspaces, *mainNodes};
}

QJsonObject CreateTeamRequest::toJson() const
{
    QJsonObject object {{"name", name}};
    putOptional(object, "organizationID", organizationID);
    return object;
}

std::optional<CreateTeamRequest> CreateTeamRequest::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "CreateTeamRequest");
    CreateTeamRequest s;
    s.organizationID = r.optionalUuid("organizationID");
    s.name = r.string("name");
    return finish(r, s);
}

QJsonObject CreateInviteRequest::toJson() const
{
    QJsonObject object {{"organizationID", uuid(organizationID)}, {"role", rawValue(role)}};
    putOptional(object, "teamID", teamID);
    putOptional(object, "email", email);
    if (expiresInSeconds)
        object.insert("expiresInSeconds", *expiresInSeconds);
    return object;
}

std::optional<CreateInviteRequest> CreateInviteRequest::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "CreateInviteRequest");
    CreateInviteRequest s;
    s.organizationID = r.uuid("organizationID");
    s.teamID = r.optionalUuid("teamID");
    s.role = r.enumeration<BL_TeamMembershipRole>("role", teamMembershipRoleFromRaw);
    s.email = r.optionalString("email");
    s.expiresInSeconds = r.optionalNumber("expiresInSeconds");
    return finish(r, s);
}

QJsonObject AcceptInviteRequest::toJson() const
{
    QJsonObject object {{"token", token}, {"name", name}};
    putOptional(object, "email", email);
    putOptional(object, "googleSubjectID", googleSubjectID);
    return object;
}

std::optional<AcceptInviteRequest> AcceptInviteRequest::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    Reader r(json.toObject(), "AcceptInviteRequest");
    AcceptInviteRequest s;
    s.token = r.string("token");
    s.name = r.string("name");
    s.email = r.optionalString("email");
    s.googleSubjectID = r.optionalString("googleSubjectID");
    return finish(r, s);
}

// The account model's records on the wire

QJsonObject userToJson(const BL_User &user)
{
    return withUnixDates(user.toJson(), {"createdAt", "updatedAt"});
}

std::optional<BL_User> userFromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    auto object = withReferenceDates(json.toObject(), {"createdAt", "updatedAt"});
    if (!object)
        return std::nullopt;
    Result<BL_User> user = BL_User::fromJson(*object);
    if (!user)
        return std::nullopt;
    return *user;
}

QJsonObject inviteToJson(const BL_Invite &invite)
{
    return withUnixDates(invite.toJson(), {"expiresAt", "createdAt", "updatedAt"});
}

std::optional<BL_Invite> inviteFromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return std::nullopt;
    auto object = withReferenceDates(json.toObject(), {"expiresAt", "createdAt", "updatedAt"});
    if (!object)
        return std::nullopt;
    Result<BL_Invite> invite = BL_Invite::fromJson(*object);
    if (!invite)
        return std::nullopt;
    return *invite;
}

QByteArray encode(const QJsonObject &object)
{
    return Json::write(object);
}

QByteArray encode(const QJsonArray &array)
{
    return Json::write(array);
}

std::optional<QJsonObject> decodeObject(const QByteArray &body)
{
    return Json::parseObject(body);
}

} // namespace LocalViewer
