#include "BL_Workspace.h"

#include "common/Json.h"
#include "common/JsonRecord.h"
#include "model/ValueHasher.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

namespace {
Error notAnObject()
{
    return Error::make(QStringLiteral("Expected an object"));
}
} // namespace

QJsonObject BL_Workspace::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("id"), id);
    writer.putOptionalUuid(QStringLiteral("organizationID"), organizationID);
    writer.put(QStringLiteral("name"), name);
    writer.put(QStringLiteral("rootPath"), rootPath);
    writer.putDate(QStringLiteral("createdAt"), createdAt);
    writer.putDate(QStringLiteral("updatedAt"), updatedAt);
    return writer.result();
}

Result<BL_Workspace> BL_Workspace::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_Workspace workspace;
    workspace.id = reader.uuid(QStringLiteral("id"));
    workspace.organizationID = reader.optionalUuid(QStringLiteral("organizationID"));
    workspace.name = reader.string(QStringLiteral("name"));
    workspace.rootPath = reader.string(QStringLiteral("rootPath"));
    workspace.createdAt = reader.date(QStringLiteral("createdAt"));
    workspace.updatedAt = reader.date(QStringLiteral("updatedAt"));
    if (!reader.ok())
        return Error::make(reader.error());
    return workspace;
}

size_t qHash(const BL_Workspace &workspace, size_t seed)
{
    return ValueHasher(seed)
        .add(workspace.id)
        .add(workspace.organizationID)
        .add(workspace.name)
        .add(workspace.rootPath)
        .add(workspace.createdAt)
        .add(workspace.updatedAt)
        .result();
}

QJsonObject BL_Agent::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("id"), id);
    writer.put(QStringLiteral("name"), name);
    writer.put(QStringLiteral("model"), model);
    writer.put(QStringLiteral("capabilities"), QJsonArray::fromStringList(capabilities));
    writer.put(QStringLiteral("isEnabled"), isEnabled);
    writer.putDate(QStringLiteral("createdAt"), createdAt);
    writer.putDate(QStringLiteral("updatedAt"), updatedAt);
    return writer.result();
}

Result<BL_Agent> BL_Agent::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_Agent agent;
    agent.id = reader.uuid(QStringLiteral("id"));
    agent.name = reader.string(QStringLiteral("name"));
    agent.model = reader.string(QStringLiteral("model"));
    const QJsonArray capabilities = reader.array(QStringLiteral("capabilities"));
    for (const QJsonValue &capability : capabilities) {
        if (!capability.isString()) {
            reader.fail(QStringLiteral("Expected a text in \"capabilities\""));
            break;
        }
        agent.capabilities.append(capability.toString());
    }
    agent.isEnabled = reader.boolean(QStringLiteral("isEnabled"));
    agent.createdAt = reader.date(QStringLiteral("createdAt"));
    agent.updatedAt = reader.date(QStringLiteral("updatedAt"));
    if (!reader.ok())
        return Error::make(reader.error());
    return agent;
}

size_t qHash(const BL_Agent &agent, size_t seed)
{
    return ValueHasher(seed)
        .add(agent.id)
        .add(agent.name)
        .add(agent.model)
        .add(agent.capabilities)
        .add(agent.isEnabled)
        .add(agent.createdAt)
        .add(agent.updatedAt)
        .result();
}

namespace {

std::optional<QString> stringMember(const QJsonObject &object, const QString &key)
{
    const QJsonValue value = object.value(key);
    return value.isString() ? std::optional<QString>(value.toString()) : std::nullopt;
}

std::optional<qint64> wholeMember(const QJsonObject &object, const QString &key)
{
    return Json::wholeNumber(object.value(key));
}

QString configName(const QJsonObject &root, const QString &fallbackName)
{
    if (const auto name = stringMember(root, QStringLiteral("name")))
        return *name;
    if (const auto name = stringMember(root, QStringLiteral("project_name")))
        return *name;
    const QJsonValue project = root.value(QStringLiteral("project"));
    if (project.isObject()) {
        if (const auto name = stringMember(project.toObject(), QStringLiteral("name")))
            return *name;
    }
    return fallbackName;
}

qint64 configAgentCount(const QJsonObject &root)
{
    for (const char *key : {"agent_count", "worker_count", "agent_pool_size"}) {
        if (const auto count = wholeMember(root, QLatin1String(key)))
            return *count;
    }
    for (const char *key : {"agents", "workers"}) {
        const QJsonValue list = root.value(QLatin1String(key));
        if (list.isArray())
            return list.toArray().size();
    }
    const QJsonValue agents = root.value(QStringLiteral("agents"));
    if (agents.isObject()) {
        if (const auto count = wholeMember(agents.toObject(), QStringLiteral("count")))
            return *count;
    }
    const QJsonValue pool = root.value(QStringLiteral("worker_pool"));
    if (pool.isObject()) {
        if (const auto size = wholeMember(pool.toObject(), QStringLiteral("size")))
            return *size;
    }
    return 0;
}

} // namespace

Result<BL_WorkspaceConfig> BL_WorkspaceConfig::parse(const QByteArray &bytes, const QString &fallbackName)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return Error::make(parseError.errorString());
    if (!document.isObject())
        return BL_WorkspaceConfig {fallbackName, 0};
    const QJsonObject root = document.object();
    const qint64 count = configAgentCount(root);
    return BL_WorkspaceConfig {configName(root, fallbackName), count < 0 ? 0 : count};
}
