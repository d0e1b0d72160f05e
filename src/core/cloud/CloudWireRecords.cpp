#include "CloudWireRecords.h"

#include "common/Json.h"
#include "common/JsonRecord.h"
#include "common/UuidText.h"

#include <QJsonArray>
#include <QJsonDocument>

QString rawValue(BL_NodeHealthStatus status)
{
    return status == BL_NodeHealthStatus::healthy ? QStringLiteral("healthy") : QStringLiteral("unhealthy");
}

namespace CloudWire {

namespace {

    Error notAnObject(const QString &what)
    {
        return Error::make(QStringLiteral("Expected an object for %1").arg(what));
    }

    // An ISO 8601 date under `key`; missing or null reads as absent. Text that
    // is no date, or a value that is not text, fails the reader.
    std::optional<TimePoint> optionalIsoDate(JsonRecordReader &reader, const QString &key)
    {
        const std::optional<QString> text = reader.optionalString(key);
        if (!reader.ok() || !text)
            return std::nullopt;
        const auto date = TimePoint::fromIso8601(*text, TimePoint::Fraction::Optional);
        if (!date)
            reader.fail(QStringLiteral("Invalid date for key \"%1\": %2").arg(key, text->left(64)));
        return date;
    }

    TimePoint isoDate(JsonRecordReader &reader, const QString &key)
    {
        if (reader.ok() && reader.isAbsent(key)) {
            reader.fail(QStringLiteral("Missing value for key \"%1\"").arg(key));
            return TimePoint();
        }
        return optionalIsoDate(reader, key).value_or(TimePoint());
    }

    QUuid uuidOrNew(const QString &text)
    {
        const auto parsed = UuidText::parse(text);
        return parsed ? *parsed : QUuid::createUuid();
    }

    // A required array of objects, each handed to `read`; the first failure
    // stops the reader.
    template<typename Read> void eachObject(JsonRecordReader &reader, const QString &key, Read read)
    {
        const QJsonArray array = reader.array(key);
        for (qsizetype i = 0; reader.ok() && i < array.size(); ++i) {
            if (!array.at(i).isObject()) {
                reader.fail(QStringLiteral("Expected an object in \"%1\" at index %2").arg(key).arg(i));
                return;
            }
            JsonRecordReader element(array.at(i).toObject());
            read(element);
            if (!element.ok())
                reader.fail(QStringLiteral("%1[%2]: %3").arg(key).arg(i).arg(element.error()));
        }
    }

    Result<BL_Task> readTaskBytes(const QByteArray &bytes)
    {
        return BL_Task::fromBrimlockTaskJSON(bytes, std::nullopt);
    }

    // One element of a reply written out again for the task reader. Qt's own
    // compact writer is the fast one here; its objects keep their keys sorted.
    QByteArray elementBytes(const QJsonValue &value)
    {
        if (value.isObject())
            return QJsonDocument(value.toObject()).toJson(QJsonDocument::Compact);
        if (value.isArray())
            return QJsonDocument(value.toArray()).toJson(QJsonDocument::Compact);
        return Json::write(value);
    }

} // namespace

QJsonObject singleKeyBody(const QString &key, const QString &value)
{
    return QJsonObject {{key, value}};
}

QJsonObject registerProjectBody(
    const QUuid &projectID, const QString &name, const QString &rootPath, const std::optional<QUuid> &teamID)
{
    QJsonObject body {{QStringLiteral("id"), UuidText::lower(projectID)}, {QStringLiteral("name"), name},
        {QStringLiteral("rootPath"), rootPath}};
    if (teamID)
        body.insert(QStringLiteral("teamId"), UuidText::lower(*teamID));
    return body;
}

QJsonObject createInviteBody(const QString &email, BL_TeamMembershipRole role, qint64 expiresInHours)
{
    return QJsonObject {{QStringLiteral("email"), email}, {QStringLiteral("role"), rawValue(role)},
        {QStringLiteral("expiresInHours"), expiresInHours}};
}

QJsonObject registerNodeBody(const QString &instanceID, BL_NodeType nodeType, const std::optional<QString> &userEmail,
    const QString &platform, const std::optional<QString> &appVersion)
{
    QJsonObject body {{QStringLiteral("instance_id"), instanceID}, {QStringLiteral("node_type"), rawValue(nodeType)},
        {QStringLiteral("platform"), platform}};
    if (userEmail)
        body.insert(QStringLiteral("user_email"), *userEmail);
    if (appVersion)
        body.insert(QStringLiteral("app_version"), *appVersion);
    return body;
}

QJsonObject heartbeatBody(const QString &instanceID, BL_NodeHealthStatus healthStatus, TimePoint healthCheckedAt,
    qint64 uptimeSeconds, const QMap<QString, QString> &metadata)
{
    QJsonObject meta;
    for (auto it = metadata.cbegin(); it != metadata.cend(); ++it)
        meta.insert(it.key(), it.value());
    return QJsonObject {{QStringLiteral("instance_id"), instanceID},
        {QStringLiteral("health_status"), rawValue(healthStatus)},
        {QStringLiteral("health_checked_at"), healthCheckedAt.toIso8601(false)},
        {QStringLiteral("uptime_seconds"), uptimeSeconds}, {QStringLiteral("metadata"), meta}};
}

QJsonObject workerStateBody(const QString &workerState, const std::optional<QString> &workerSessionKey)
{
    QJsonObject body {{QStringLiteral("worker_state"), workerState}};
    if (workerSessionKey)
        body.insert(QStringLiteral("worker_session_key"), *workerSessionKey);
    return body;
}

Result<BL_User> readUser(const QJsonValue &json, const Clock &clock)
{
    if (!json.isObject())
        return notAnObject(QStringLiteral("the user"));
    JsonRecordReader reader(json.toObject());
    const QString id = reader.string(QStringLiteral("id"));
    const QString name = reader.string(QStringLiteral("name"));
    const auto email = reader.optionalString(QStringLiteral("email"));
    const auto provider = reader.optionalString(QStringLiteral("provider"));
    const auto providerSubject = reader.optionalString(QStringLiteral("provider_subject"));
    const auto avatarURL = reader.optionalString(QStringLiteral("avatar_url"));
    const auto createdAt = optionalIsoDate(reader, QStringLiteral("created_at"));
    const auto updatedAt = optionalIsoDate(reader, QStringLiteral("updated_at"));
    if (!reader.ok())
        return Error::make(reader.error());
    const TimePoint now = clock.now();
    return BL_User {uuidOrNew(id), email, std::nullopt, name, provider, providerSubject, avatarURL,
        createdAt.value_or(now), updatedAt.value_or(now)};
}

Result<BL_Team> readTeam(const QJsonValue &json, const Clock &clock)
{
    if (!json.isObject())
        return notAnObject(QStringLiteral("a team"));
    JsonRecordReader reader(json.toObject());
    const QString id = reader.string(QStringLiteral("id"));
    const QString name = reader.string(QStringLiteral("name"));
    const auto createdAt = optionalIsoDate(reader, QStringLiteral("created_at"));
    const auto updatedAt = optionalIsoDate(reader, QStringLiteral("updated_at"));
    if (!reader.ok())
        return Error::make(reader.error());
    const TimePoint now = clock.now();
    return BL_Team {uuidOrNew(id), std::nullopt, name, createdAt.value_or(now), updatedAt.value_or(now)};
}

Result<BL_AuthContext> readAuthContext(const QJsonValue &json, const Clock &clock)
{
    if (!json.isObject())
        return notAnObject(QStringLiteral("the account context"));
    JsonRecordReader reader(json.toObject());
    BL_AuthContext context;

    // "team_projects": team id text to an array of project id texts.
    QMap<QString, QStringList> teamProjects;
    if (const auto object = reader.optionalObject(QStringLiteral("team_projects"))) {
        for (auto it = object->constBegin(); reader.ok() && it != object->constEnd(); ++it) {
            if (!it->isArray()) {
                reader.fail(QStringLiteral("Expected an array in \"team_projects\""));
                break;
            }
            QStringList ids;
            for (const QJsonValue &item : it->toArray()) {
                if (!item.isString()) {
                    reader.fail(QStringLiteral("Expected text in \"team_projects\""));
                    break;
                }
                ids.append(item.toString());
            }
            teamProjects.insert(it.key(), ids);
        }
    }

    const QJsonObject userObject = reader.object(QStringLiteral("user"));
    std::optional<BL_User> user;
    if (reader.ok()) {
        Result<BL_User> read = readUser(userObject, clock);
        if (!read)
            reader.fail(QStringLiteral("user: ") + read.errorMessage());
        else
            user = read.value();
    }
    const QJsonArray teams = reader.array(QStringLiteral("teams"));
    for (qsizetype i = 0; reader.ok() && i < teams.size(); ++i) {
        Result<BL_Team> team = readTeam(teams.at(i), clock);
        if (!team)
            reader.fail(QStringLiteral("teams[%1]: %2").arg(i).arg(team.errorMessage()));
        else
            context.teams.append(team.value());
    }
    const TimePoint now = clock.now();
    eachObject(reader, QStringLiteral("memberships"), [&](JsonRecordReader &element) {
        const QString teamID = element.string(QStringLiteral("team_id"));
        const QString userID = element.string(QStringLiteral("user_id"));
        const QString role = element.string(QStringLiteral("role"));
        if (!element.ok())
            return;
        const auto team = UuidText::parse(teamID);
        const auto member = UuidText::parse(userID);
        const auto parsedRole = teamMembershipRoleFromRaw(role);
        if (team && member && parsedRole)
            context.memberships.append(BL_TeamMembership {*team, *member, *parsedRole, now, now});
    });
    eachObject(reader, QStringLiteral("project_grants"), [&](JsonRecordReader &element) {
        const QString projectID = element.string(QStringLiteral("project_id"));
        const QString role = element.string(QStringLiteral("role"));
        if (!element.ok())
            return;
        if (const auto grant = BL_ProjectAccessGrant::fromBackend(projectID, role))
            context.projectGrants.append(*grant);
    });
    if (!reader.ok())
        return Error::make(reader.error());
    context.user = *user;
    context.teamProjectIDsByTeamID = BL_AuthContext::teamProjectIDsFromBackend(teamProjects);
    return context;
}

Result<std::optional<BL_Workspace>> readProject(const QJsonValue &json, const Clock &clock)
{
    if (!json.isObject())
        return notAnObject(QStringLiteral("the project"));
    JsonRecordReader reader(json.toObject());
    const QString id = reader.string(QStringLiteral("id"));
    const QString name = reader.string(QStringLiteral("name"));
    const auto rootPath = reader.optionalString(QStringLiteral("root_path"));
    const auto createdAt = optionalIsoDate(reader, QStringLiteral("created_at"));
    const auto updatedAt = optionalIsoDate(reader, QStringLiteral("updated_at"));
    if (!reader.ok())
        return Error::make(reader.error());
    const auto parsedID = UuidText::parse(id);
    if (!parsedID)
        return std::optional<BL_Workspace>();
    const TimePoint now = clock.now();
    return std::optional<BL_Workspace>(BL_Workspace {
        *parsedID, std::nullopt, name, rootPath.value_or(QString()), createdAt.value_or(now), updatedAt.value_or(now)});
}

Result<BL_Invite> readInvite(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject(QStringLiteral("the invite"));
    JsonRecordReader reader(json.toObject());
    const QString id = reader.string(QStringLiteral("id"));
    const QString teamID = reader.string(QStringLiteral("team_id"));
    const QString email = reader.string(QStringLiteral("email"));
    const QString role = reader.string(QStringLiteral("role"));
    const QString inviteURL = reader.string(QStringLiteral("invite_url"));
    const TimePoint expiresAt = isoDate(reader, QStringLiteral("expires_at"));
    const TimePoint createdAt = isoDate(reader, QStringLiteral("created_at"));
    if (!reader.ok())
        return Error::make(reader.error());
    BL_Invite invite;
    invite.id = uuidOrNew(id);
    invite.token = BL_Invite::makeToken();
    invite.teamID = uuidOrNew(teamID);
    invite.role = teamMembershipRoleFromRaw(role).value_or(BL_TeamMembershipRole::member);
    invite.email = email.toLower();
    invite.status = BL_InviteStatus::pending;
    invite.inviteURL = inviteURL;
    invite.expiresAt = expiresAt;
    invite.createdAt = createdAt;
    invite.updatedAt = createdAt;
    return invite;
}

Result<BL_NodeRegistration> readNodeRegistration(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject(QStringLiteral("the node registration"));
    JsonRecordReader reader(json.toObject());
    const QString id = reader.string(QStringLiteral("id"));
    const QString instanceID = reader.string(QStringLiteral("instance_id"));
    const QString nodeType = reader.string(QStringLiteral("node_type"));
    const auto userEmail = reader.optionalString(QStringLiteral("user_email"));
    const auto createdAt = optionalIsoDate(reader, QStringLiteral("created_at"));
    const auto updatedAt = optionalIsoDate(reader, QStringLiteral("updated_at"));
    if (!reader.ok())
        return Error::make(reader.error());
    return BL_NodeRegistration::fromBackendReply(id, instanceID, nodeType, userEmail, createdAt, updatedAt);
}

Result<BL_GoogleAuthExchangeResult> readGoogleAuthExchange(const QJsonValue &json, const Clock &clock)
{
    if (!json.isObject())
        return notAnObject(QStringLiteral("the sign-in reply"));
    JsonRecordReader reader(json.toObject());
    const QJsonObject sessionObject = reader.object(QStringLiteral("session"));
    const QJsonObject contextObject = reader.object(QStringLiteral("context"));
    if (!reader.ok())
        return Error::make(reader.error());
    Result<BL_AuthSession> session = BL_AuthSession::fromCloudJson(sessionObject);
    if (!session)
        return Error::make(QStringLiteral("session: ") + session.errorMessage());
    Result<BL_AuthContext> context = readAuthContext(contextObject, clock);
    if (!context)
        return Error::make(QStringLiteral("context: ") + context.errorMessage());
    return BL_GoogleAuthExchangeResult {session.value(), context.value()};
}

std::optional<QString> readErrorMessage(const QByteArray &body)
{
    const auto object = Json::parseObject(body);
    if (!object)
        return std::nullopt;
    const QJsonValue message = object->value(QStringLiteral("message"));
    if (!message.isString())
        return std::nullopt;
    return message.toString();
}

Result<std::optional<BL_Task>> parseTaskMutationResponse(const QByteArray &body)
{
    if (body.isEmpty())
        return std::optional<BL_Task>();
    QString parseError;
    const auto root = Json::parseFragment(body, &parseError);
    if (!root)
        return Error::make(QStringLiteral("Invalid JSON: ") + parseError);
    if (!root->isObject())
        return std::optional<BL_Task>();
    const QJsonObject object = root->toObject();
    QByteArray taskBytes;
    if (object.contains(QStringLiteral("task")))
        taskBytes = elementBytes(object.value(QStringLiteral("task")));
    else if (object.contains(QStringLiteral("bl_id")) || object.contains(QStringLiteral("id")))
        taskBytes = body;
    else
        return std::optional<BL_Task>();
    Result<BL_Task> task = readTaskBytes(taskBytes);
    if (!task)
        return task.error();
    return std::optional<BL_Task>(task.value());
}

Result<QList<BL_Task>> parseTaskList(const QByteArray &body)
{
    QString parseError;
    const auto root = Json::parseFragment(body, &parseError);
    if (!root)
        return Error::make(QStringLiteral("Invalid JSON: ") + parseError);
    QList<BL_Task> tasks;
    const QJsonValue list = root->isObject() ? root->toObject().value(QStringLiteral("tasks")) : QJsonValue();
    if (!list.isArray())
        return tasks;
    for (const QJsonValue &element : list.toArray()) {
        if (!element.isObject() && !element.isArray())
            continue;
        Result<BL_Task> task = readTaskBytes(elementBytes(element));
        if (task)
            tasks.append(std::move(task).value());
    }
    return tasks;
}

} // namespace CloudWire
