#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BL_Auth.h"
#include "model/BL_Invite.h"
#include "model/BL_Task.h"
#include "model/BL_Team.h"
#include "model/BL_Workspace.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QString>
#include <QUuid>
#include <optional>

// The JSON the cloud backend and this application exchange: the request
// bodies the client writes and the replies it reads, mapped into the shared
// account and task records.
//
// Replies are read strictly as records (a required key missing or null, a
// value of the wrong JSON type or an unreadable date fails the whole reply)
// and mapped leniently (unusable ids, roles and missing dates never fail the
// mapping). A failed read carries a readable description; the client wraps
// it as its decode failure. Dates travel as ISO 8601 text in UTC with "Z" to
// the whole second; fractional seconds and numeric offsets are accepted on
// reading. UUIDs go out in lower case.

// A node's overall health as its heartbeat reports it.
enum class BL_NodeHealthStatus { healthy, unhealthy };
QString rawValue(BL_NodeHealthStatus status); // "healthy", "unhealthy"

namespace CloudWire {

// ---- Request bodies ----

// A one-key object whose value is text ("name", "idToken", "callbackURL",
// "token", "delegation_state").
QJsonObject singleKeyBody(const QString &key, const QString &value);
QJsonObject registerProjectBody(
    const QUuid &projectID, const QString &name, const QString &rootPath, const std::optional<QUuid> &teamID);
QJsonObject createInviteBody(const QString &email, BL_TeamMembershipRole role, qint64 expiresInHours);
QJsonObject registerNodeBody(const QString &instanceID, BL_NodeType nodeType, const std::optional<QString> &userEmail,
    const QString &platform, const std::optional<QString> &appVersion);
QJsonObject heartbeatBody(const QString &instanceID, BL_NodeHealthStatus healthStatus, TimePoint healthCheckedAt,
    qint64 uptimeSeconds, const QMap<QString, QString> &metadata);
QJsonObject workerStateBody(const QString &workerState, const std::optional<QString> &workerSessionKey);

// ---- Replies ----
// Each reads one decoded JSON value (normally the whole reply) and maps it.
// `clock` supplies the current time for dates the reply leaves out.

Result<BL_User> readUser(const QJsonValue &json, const Clock &clock = Clock::system());
Result<BL_Team> readTeam(const QJsonValue &json, const Clock &clock = Clock::system());
Result<BL_AuthContext> readAuthContext(const QJsonValue &json, const Clock &clock = Clock::system());
// Nothing when the reply's "id" is not UUID text.
Result<std::optional<BL_Workspace>> readProject(const QJsonValue &json, const Clock &clock = Clock::system());
Result<BL_Invite> readInvite(const QJsonValue &json);
// A "node_type" that is none of the three raw values gives a registration
// without a node type: the caller keeps the type it runs in.
Result<BL_NodeRegistration> readNodeRegistration(const QJsonValue &json);
Result<BL_GoogleAuthExchangeResult> readGoogleAuthExchange(
    const QJsonValue &json, const Clock &clock = Clock::system());
// The message of an error body, when the body is an object whose "message"
// is text.
std::optional<QString> readErrorMessage(const QByteArray &body);

// The reply of a task update, creation, worker-state or delegation update:
// no task for an empty body, a top level that is not an object, or an
// object with none of "task", "bl_id" and "id". A body that is not JSON, or
// a task the task reader rejects, fails (a "task" that is not an object too).
Result<std::optional<BL_Task>> parseTaskMutationResponse(const QByteArray &body);
// The task list reply: a body that is not JSON fails; anything but an object
// with a "tasks" array gives no tasks; elements that do not read as tasks
// are left out; the array order is kept.
Result<QList<BL_Task>> parseTaskList(const QByteArray &body);

} // namespace CloudWire
