#include "BL_Auth.h"

#include "common/JsonRecord.h"
#include "common/UuidText.h"
#include "model/ValueHasher.h"

#include <QJsonArray>
#include <algorithm>

namespace {

Error notAnObject()
{
    return Error::make(QStringLiteral("Expected an object"));
}

// Reads a required array of records; a failure names the key and the index.
template<typename T> QList<T> recordList(JsonRecordReader &reader, const QString &key)
{
    QList<T> records;
    const QJsonArray array = reader.array(key);
    for (qsizetype i = 0; reader.ok() && i < array.size(); ++i) {
        Result<T> record = T::fromJson(array.at(i));
        if (!record) {
            reader.fail(QStringLiteral("%1[%2]: %3").arg(key).arg(i).arg(record.errorMessage()));
            break;
        }
        records.append(std::move(record).value());
    }
    return records;
}

template<typename T> T nestedRecord(JsonRecordReader &reader, const QString &key)
{
    const QJsonObject object = reader.object(key);
    if (!reader.ok())
        return T {};
    Result<T> record = T::fromJson(object);
    if (!record) {
        reader.fail(key + QStringLiteral(": ") + record.errorMessage());
        return T {};
    }
    return std::move(record).value();
}

template<typename T> QJsonArray recordArray(const QList<T> &records)
{
    QJsonArray array;
    for (const T &record : records)
        array.append(record.toJson());
    return array;
}

QJsonArray sortedUuidArray(const QSet<QUuid> &ids)
{
    QStringList texts;
    texts.reserve(ids.size());
    for (const QUuid &id : ids)
        texts.append(UuidText::upper(id));
    texts.sort();
    return QJsonArray::fromStringList(texts);
}

Result<BL_AuthSession> readSession(const QJsonValue &json, bool cloudDates)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_AuthSession session;
    session.accessToken = reader.string(QStringLiteral("accessToken"));
    session.refreshToken = reader.optionalString(QStringLiteral("refreshToken"));
    const QString expiresKey = QStringLiteral("expiresAt");
    if (!cloudDates) {
        session.expiresAt = reader.optionalDate(expiresKey);
    } else if (!reader.isAbsent(expiresKey)) {
        const QString text = reader.string(expiresKey);
        if (reader.ok()) {
            session.expiresAt = TimePoint::fromIso8601(text);
            if (!session.expiresAt)
                reader.fail(QStringLiteral("Invalid date for key \"%1\": %2").arg(expiresKey, text.left(64)));
        }
    }
    if (!reader.ok())
        return Error::make(reader.error());
    return session;
}

} // namespace

QString rawValue(BL_NodeType type)
{
    switch (type) {
    case BL_NodeType::mainNode:
        return QStringLiteral("mainNode");
    case BL_NodeType::subNode:
        return QStringLiteral("subNode");
    case BL_NodeType::clientNode:
        return QStringLiteral("clientNode");
    }
    return QString();
}

std::optional<BL_NodeType> nodeTypeFromRaw(QStringView raw)
{
    for (const auto type : allNodeTypes()) {
        if (raw == rawValue(type))
            return type;
    }
    return std::nullopt;
}

QList<BL_NodeType> allNodeTypes()
{
    return {BL_NodeType::mainNode, BL_NodeType::subNode, BL_NodeType::clientNode};
}

bool BL_AuthSession::hasValidAccessToken(TimePoint now) const
{
    if (!expiresAt)
        return true;
    return expiresAt->referenceSeconds() > now.referenceSeconds() + 30.0;
}

bool BL_AuthSession::hasValidAccessToken(const Clock &clock) const
{
    return hasValidAccessToken(clock.now());
}

QJsonObject BL_AuthSession::toJson() const
{
    JsonRecordWriter writer;
    writer.put(QStringLiteral("accessToken"), accessToken);
    writer.putOptional(QStringLiteral("refreshToken"), refreshToken);
    writer.putOptionalDate(QStringLiteral("expiresAt"), expiresAt);
    return writer.result();
}

Result<BL_AuthSession> BL_AuthSession::fromJson(const QJsonValue &json)
{
    return readSession(json, false);
}

Result<BL_AuthSession> BL_AuthSession::fromCloudJson(const QJsonValue &json)
{
    return readSession(json, true);
}

size_t qHash(const BL_AuthSession &session, size_t seed)
{
    return ValueHasher(seed).add(session.accessToken).add(session.refreshToken).add(session.expiresAt).result();
}

QJsonObject BL_ProjectAccessGrant::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("projectID"), projectID);
    writer.put(QStringLiteral("role"), rawValue(role));
    return writer.result();
}

Result<BL_ProjectAccessGrant> BL_ProjectAccessGrant::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_ProjectAccessGrant grant;
    grant.projectID = reader.uuid(QStringLiteral("projectID"));
    grant.role = reader.enumeration<BL_TeamMembershipRole>(QStringLiteral("role"), teamMembershipRoleFromRaw);
    if (!reader.ok())
        return Error::make(reader.error());
    return grant;
}

std::optional<BL_ProjectAccessGrant> BL_ProjectAccessGrant::fromBackend(const QString &projectID, const QString &role)
{
    const auto id = UuidText::parse(projectID);
    const auto parsedRole = teamMembershipRoleFromRaw(role);
    if (!id || !parsedRole)
        return std::nullopt;
    return BL_ProjectAccessGrant {*id, *parsedRole};
}

size_t qHash(const BL_ProjectAccessGrant &grant, size_t seed)
{
    return ValueHasher(seed).add(grant.projectID).add(rawValue(grant.role)).result();
}

QJsonObject BL_AuthContext::toJson() const
{
    QJsonObject teamProjects;
    for (auto it = teamProjectIDsByTeamID.cbegin(); it != teamProjectIDsByTeamID.cend(); ++it)
        teamProjects.insert(UuidText::upper(it.key()), sortedUuidArray(it.value()));
    JsonRecordWriter writer;
    writer.put(QStringLiteral("user"), user.toJson());
    writer.put(QStringLiteral("teams"), recordArray(teams));
    writer.put(QStringLiteral("memberships"), recordArray(memberships));
    writer.put(QStringLiteral("projectGrants"), recordArray(projectGrants));
    writer.put(QStringLiteral("teamProjectIDsByTeamID"), teamProjects);
    return writer.result();
}

Result<BL_AuthContext> BL_AuthContext::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_AuthContext context;
    context.user = nestedRecord<BL_User>(reader, QStringLiteral("user"));
    context.teams = recordList<BL_Team>(reader, QStringLiteral("teams"));
    context.memberships = recordList<BL_TeamMembership>(reader, QStringLiteral("memberships"));
    context.projectGrants = recordList<BL_ProjectAccessGrant>(reader, QStringLiteral("projectGrants"));
    const QString mapKey = QStringLiteral("teamProjectIDsByTeamID");
    const QJsonObject teamProjects = reader.object(mapKey);
    for (auto it = teamProjects.constBegin(); reader.ok() && it != teamProjects.constEnd(); ++it) {
        const auto teamID = UuidText::parse(it.key());
        if (!teamID) {
            reader.fail(QStringLiteral("Invalid UUID key in \"%1\": %2").arg(mapKey, it.key().left(64)));
            break;
        }
        if (!it->isArray()) {
            reader.fail(QStringLiteral("Expected an array in \"%1\"").arg(mapKey));
            break;
        }
        QSet<QUuid> &projectIDs = context.teamProjectIDsByTeamID[*teamID];
        for (const QJsonValue &item : it->toArray()) {
            const auto projectID = item.isString() ? UuidText::parse(item.toString()) : std::nullopt;
            if (!projectID) {
                reader.fail(QStringLiteral("Expected a UUID text in \"%1\"").arg(mapKey));
                break;
            }
            projectIDs.insert(*projectID);
        }
    }
    if (!reader.ok())
        return Error::make(reader.error());
    return context;
}

BL_AuthContext::TeamProjectIDs BL_AuthContext::teamProjectIDsFromBackend(const QMap<QString, QStringList> &teamProjects)
{
    TeamProjectIDs result;
    for (auto it = teamProjects.cbegin(); it != teamProjects.cend(); ++it) {
        const auto teamID = UuidText::parse(it.key());
        if (!teamID)
            continue;
        QSet<QUuid> projectIDs;
        for (const QString &text : it.value()) {
            if (const auto projectID = UuidText::parse(text))
                projectIDs.insert(*projectID);
        }
        result.insert(*teamID, projectIDs);
    }
    return result;
}

size_t qHash(const BL_AuthContext &context, size_t seed)
{
    // The map's hash must not depend on its iteration order.
    size_t teamProjects = 0;
    for (auto it = context.teamProjectIDsByTeamID.cbegin(); it != context.teamProjectIDsByTeamID.cend(); ++it)
        teamProjects += qHashMulti(0, it.key(), it.value());
    return ValueHasher(seed)
        .add(context.user)
        .add(context.teams)
        .add(context.memberships)
        .add(context.projectGrants)
        .add(teamProjects)
        .result();
}

QJsonObject BL_GoogleAuthExchangeResult::toJson() const
{
    JsonRecordWriter writer;
    writer.put(QStringLiteral("session"), session.toJson());
    writer.put(QStringLiteral("context"), context.toJson());
    return writer.result();
}

Result<BL_GoogleAuthExchangeResult> BL_GoogleAuthExchangeResult::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_GoogleAuthExchangeResult result;
    result.session = nestedRecord<BL_AuthSession>(reader, QStringLiteral("session"));
    result.context = nestedRecord<BL_AuthContext>(reader, QStringLiteral("context"));
    if (!reader.ok())
        return Error::make(reader.error());
    return result;
}

size_t qHash(const BL_GoogleAuthExchangeResult &result, size_t seed)
{
    return ValueHasher(seed).add(result.session).add(result.context).result();
}

QJsonObject BL_NodeRegistration::toJson() const
{
    JsonRecordWriter writer;
    writer.putUuid(QStringLiteral("id"), id);
    writer.put(QStringLiteral("instanceID"), instanceID);
    if (nodeType)
        writer.put(QStringLiteral("nodeType"), rawValue(*nodeType));
    writer.putOptional(QStringLiteral("userEmail"), userEmail);
    writer.putOptionalDate(QStringLiteral("createdAt"), createdAt);
    writer.putOptionalDate(QStringLiteral("updatedAt"), updatedAt);
    return writer.result();
}

Result<BL_NodeRegistration> BL_NodeRegistration::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_NodeRegistration registration;
    registration.id = reader.uuid(QStringLiteral("id"));
    registration.instanceID = reader.string(QStringLiteral("instanceID"));
    registration.nodeType = reader.optionalEnumeration<BL_NodeType>(QStringLiteral("nodeType"), nodeTypeFromRaw);
    registration.userEmail = reader.optionalString(QStringLiteral("userEmail"));
    registration.createdAt = reader.optionalDate(QStringLiteral("createdAt"));
    registration.updatedAt = reader.optionalDate(QStringLiteral("updatedAt"));
    if (!reader.ok())
        return Error::make(reader.error());
    return registration;
}

BL_NodeRegistration BL_NodeRegistration::fromBackendReply(const QString &id, const QString &instanceID,
    const QString &nodeType, const std::optional<QString> &userEmail, const std::optional<TimePoint> &createdAt,
    const std::optional<TimePoint> &updatedAt)
{
    BL_NodeRegistration registration;
    const auto parsedID = UuidText::parse(id);
    registration.id = parsedID ? *parsedID : QUuid::createUuid();
    registration.instanceID = instanceID;
    registration.nodeType = nodeTypeFromRaw(nodeType);
    registration.userEmail = userEmail;
    registration.createdAt = createdAt;
    registration.updatedAt = updatedAt;
    return registration;
}

size_t qHash(const BL_NodeRegistration &registration, size_t seed)
{
    ValueHasher hasher(seed);
    hasher.add(registration.id).add(registration.instanceID);
    hasher.add(registration.nodeType.has_value());
    if (registration.nodeType)
        hasher.add(rawValue(*registration.nodeType));
    return hasher.add(registration.userEmail).add(registration.createdAt).add(registration.updatedAt).result();
}
