// The cloud sync: the remote task sync switch, the poll with its gate and
// back-off, node registration and heartbeats, and the per-workspace push and
// pull of tasks.
#include "CloudSync.h"

#include "board/TaskBoardStore.h"
#include "common/InFlight.h"
#include "common/Json.h"
#include "common/Logging.h"
#include "common/UuidText.h"

#include <QCoreApplication>
#include <QLocale>
#include <QPointer>
#include <chrono>
#include <cmath>

namespace {

const QString kInterval = QStringLiteral("interval");

} // namespace

CloudSync::CloudSync(
    TessaronAPIClient &apiClient, const Clock &clock, ApplicationActivity activity, Hooks hooks, QObject *parent)
    : QObject(parent),
      m_apiClient(apiClient),
      m_clock(clock),
      m_activity(std::move(activity)),
      m_hooks(std::move(hooks)),
      m_appLaunchDate(clock.now())
{
}

CloudSync::~CloudSync()
{
    // The coroutines still waiting on the backend check for this object when
    // they resume; waiting for them here would only block the main thread.
    if (m_scope.runningCount() > 0)
        m_scope.shutdown(std::chrono::milliseconds(0));
}

// ---- The switch and the poll ----

void CloudSync::setRemoteTaskSyncFeatureEnabled(bool enabled)
{
    m_hooks.setFeatureEnabled(enabled);
    m_hooks.appendLog(QStringLiteral("Remote task sync feature ")
        + (enabled ? QStringLiteral("enabled") : QStringLiteral("disabled")) + u'.');
    if (!enabled)
        return;
    auto run = [](QPointer<CloudSync> self) -> QCoro::Task<> {
        co_await self->m_hooks.refreshAuthContext();
        if (!self)
            co_return;
        co_await self->ensureNodeRegistrationIfNeeded();
        if (!self)
            co_return;
        co_await self->pollRemoteTasksAcrossProjects(QStringLiteral("feature-enabled"));
    };
    m_scope.spawnWith([&] { return run(QPointer<CloudSync>(this)); });
}

bool CloudSync::shouldAttemptRemotePoll(const QString &reason)
{
    if (m_hooks.isClientNodeMode() || !m_hooks.isFeatureEnabled() || !m_hooks.hasUsableCloudSession()
        || !m_hooks.backendBaseURL())
        return false;
    if (reason != kInterval)
        return true;
    const TimePoint now = m_clock.now();
    if (now < m_nextRemotePollAllowedAt)
        return false;
    // While the application is in the background, timer polls are spaced
    // at least 45 seconds apart.
    if (!m_activity.active() && m_lastRemoteIntervalPollAttemptAt
        && now.secondsSince(*m_lastRemoteIntervalPollAttemptAt) < remotePollInactiveInterval)
        return false;
    m_lastRemoteIntervalPollAttemptAt = now;
    m_intervalPollVerdictPending = true;
    return true;
}

bool CloudSync::shouldAttemptClientNodeSync(const QString &reason)
{
    if (!m_hooks.isClientNodeMode())
        return false;
    if (reason != kInterval)
        return true;
    const TimePoint now = m_clock.now();
    if (now < m_nextClientNodeSyncAllowedAt)
        return false;
    if (!m_activity.active() && m_lastClientNodeIntervalSyncAttemptAt
        && now.secondsSince(*m_lastClientNodeIntervalSyncAttemptAt) < clientNodePollInactiveInterval)
        return false;
    m_lastClientNodeIntervalSyncAttemptAt = now;
    return true;
}

QCoro::Task<> CloudSync::syncFromClientNode(QString)
{
    // The client-node sync comes with the local network node sharing.
    co_return;
}

void CloudSync::recordRemotePollOutcome(bool success, const QString &reason)
{
    if (reason != kInterval)
        return;
    double delay = remotePollInterval;
    if (success) {
        m_remotePollFailureCount = 0;
    } else {
        m_remotePollFailureCount = std::min(m_remotePollFailureCount + 1, 8);
        delay
            = std::min(remotePollInterval * std::pow(2.0, m_remotePollFailureCount - 1), remotePollBackoffMaxInterval);
        qCDebug(lcCloud) << "remote poll failed" << m_remotePollFailureCount << "time(s) in a row; next in" << delay
                         << "s";
    }
    m_nextRemotePollAllowedAt = m_clock.now().addSeconds(delay);
}

QCoro::Task<> CloudSync::pollRemoteTasksAcrossProjects(QString reason)
{
    // A timer tick hands over the gate's verdict; every other request asks.
    const bool handedOver = reason == kInterval && m_intervalPollVerdictPending;
    m_intervalPollVerdictPending = false;
    if (!handedOver && !shouldAttemptRemotePoll(reason))
        co_return;
    m_intervalPollVerdictPending = false;
    if (m_isRemotePollInFlight)
        co_return;
    const auto baseURL = m_hooks.backendBaseURL();
    const auto accessToken = m_hooks.accessToken();
    if (!baseURL || !accessToken)
        co_return;
    QPointer<CloudSync> self(this);
    InFlight inFlight(m_isRemotePollInFlight, {}, this);

    if (!m_hooks.authContext()) {
        const Result<BL_AuthContext> context = co_await m_apiClient.fetchAuthContext(*baseURL, *accessToken);
        if (!self)
            co_return;
        if (!context) {
            m_hooks.appendLog(
                QStringLiteral("Remote poll skipped, auth context fetch failed: ") + context.errorMessage());
            inFlight.release();
            recordRemotePollOutcome(false, reason);
            co_return;
        }
        m_hooks.applyAuthContext(context.value());
    }

    bool success = true;
    const QList<BL_Workspace> projects = m_hooks.projects();
    for (const BL_Workspace &project : projects) {
        if (!m_hooks.taskStore(project.id))
            continue;
        const bool accessible = co_await ensureRemoteProjectAccessible(project);
        if (!self)
            co_return;
        if (!accessible)
            continue;
        co_await emitLocalProjectStateToRemote(project.id);
        if (!self)
            co_return;
        const bool imported = co_await importRemoteTasksIntoLocalProject(project.id, reason);
        if (!self)
            co_return;
        success = success && imported;
    }
    m_hooks.setRemoteLastSyncAt(m_clock.now());
    inFlight.release();
    recordRemotePollOutcome(success, reason);
}

// ---- Node registration and heartbeat ----

QCoro::Task<bool> CloudSync::ensureNodeRegistrationIfNeeded()
{
    if (!m_hooks.isFeatureEnabled() || !m_hooks.hasUsableCloudSession())
        co_return false;
    const auto baseURL = m_hooks.backendBaseURL();
    const auto nodeType = m_hooks.nodeType();
    if (!baseURL || !nodeType)
        co_return false;
    if (m_hasRegisteredNodeRemotely)
        co_return true;
    const auto accessToken = m_hooks.accessToken();
    if (!accessToken)
        co_return false;
    QPointer<CloudSync> self(this);
    const QString version = QCoreApplication::applicationVersion();
    const Result<BL_NodeRegistration> registration = co_await m_apiClient.registerNode(*baseURL, *accessToken,
        m_hooks.nodeInstanceID(), *nodeType, m_hooks.currentUserEmail(), QStringLiteral("Linux"),
        version.isEmpty() ? std::nullopt : std::optional<QString>(version));
    if (!self)
        co_return false;
    if (!registration) {
        m_hooks.appendLog(QStringLiteral("Node registration failed: ") + registration.errorMessage());
        co_return false;
    }
    if (registration->nodeType) {
        m_hooks.setNodeType(*registration->nodeType);
    } else if (const auto kept = m_hooks.nodeType()) {
        // A type this installation does not know never turns it into a
        // client node; it keeps the role it runs in.
        m_hooks.appendLog(QStringLiteral("The backend named an unknown node type; keeping ") + rawValue(*kept) + u'.');
    }
    m_hasRegisteredNodeRemotely = true;
    const auto registeredAs = m_hooks.nodeType();
    m_hooks.appendLog(QStringLiteral("Registered node ") + registration->instanceID + QStringLiteral(" as ")
        + (registeredAs ? rawValue(*registeredAs) : QString()) + u'.');
    co_return true;
}

QCoro::Task<> CloudSync::emitHeartbeatFromHealthCheck(
    QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt)
{
    if (!m_hooks.isFeatureEnabled() || m_hooks.nodeType() != BL_NodeType::mainNode || !checkedAt
        || !m_hooks.hasUsableCloudSession() || !m_hooks.backendBaseURL())
        co_return;
    QPointer<CloudSync> self(this);
    const bool registered = co_await ensureNodeRegistrationIfNeeded();
    if (!self || !registered)
        co_return;
    const auto baseURL = m_hooks.backendBaseURL();
    const auto accessToken = m_hooks.accessToken();
    if (!baseURL || !accessToken)
        co_return;
    const bool healthy = !results.isEmpty() && std::none_of(results.cbegin(), results.cend(), [](const auto &result) {
        return result.status == HealthCheckResult::Status::failed;
    });
    const BL_NodeHealthStatus status = healthy ? BL_NodeHealthStatus::healthy : BL_NodeHealthStatus::unhealthy;
    const qint64 uptime = std::max<qint64>(0, qint64(std::trunc(m_clock.now().secondsSince(m_appLaunchDate))));
    // Only the count and the verdict leave the machine, never a check's output.
    const QMap<QString, QString> metadata {{QStringLiteral("check_count"), QString::number(results.size())},
        {QStringLiteral("source"), QStringLiteral("health_snapshot")}};
    const QString instanceID = m_hooks.nodeInstanceID();
    const Result<void> sent = co_await m_apiClient.emitNodeHeartbeat(
        *baseURL, *accessToken, instanceID, status, *checkedAt, uptime, metadata);
    if (!self)
        co_return;
    if (sent.ok()) {
        m_hooks.appendLog(QStringLiteral("Heartbeat emitted (") + rawValue(status) + QStringLiteral(") for node ")
            + instanceID + u'.');
    } else {
        m_hooks.appendLog(QStringLiteral("Heartbeat emit failed: ") + sent.errorMessage());
    }
}

// ---- Push and pull of one workspace ----

QCoro::Task<bool> CloudSync::ensureRemoteProjectAccessible(BL_Workspace project)
{
    auto granted = [](const std::optional<BL_AuthContext> &context, const QUuid &id) {
        return context
            && std::any_of(context->projectGrants.cbegin(), context->projectGrants.cend(),
                [&](const BL_ProjectAccessGrant &grant) { return grant.projectID == id; });
    };
    const std::optional<BL_AuthContext> known = m_hooks.authContext();
    if (granted(known, project.id))
        co_return true;
    if (m_projectIDsRegisteredRemotely.contains(project.id))
        co_return false;
    const auto baseURL = m_hooks.backendBaseURL();
    const auto accessToken = m_hooks.accessToken();
    if (!baseURL || !accessToken)
        co_return false;
    std::optional<QUuid> teamID = m_hooks.selectedTeamID();
    if (!teamID && known && !known->teams.isEmpty())
        teamID = known->teams.first().id;
    QPointer<CloudSync> self(this);
    const auto registered = co_await m_apiClient.registerProject(
        *baseURL, *accessToken, project.id, project.name, project.rootPath, teamID);
    if (!self)
        co_return false;
    const QString skipped = QStringLiteral("Workspace register skipped for ") + project.name + QStringLiteral(": ");
    if (!registered) {
        m_hooks.appendLog(skipped + registered.errorMessage());
        co_return false;
    }
    m_projectIDsRegisteredRemotely.insert(project.id);
    const Result<BL_AuthContext> context = co_await m_apiClient.fetchAuthContext(*baseURL, *accessToken);
    if (!self)
        co_return false;
    if (!context) {
        m_hooks.appendLog(skipped + context.errorMessage());
        co_return false;
    }
    m_hooks.applyAuthContext(context.value());
    m_hooks.appendLog(QStringLiteral("Registered workspace ") + project.name + QStringLiteral(" with backend."));
    co_return granted(m_hooks.authContext(), project.id);
}

QString CloudSync::taskDigest(const BL_Task &task)
{
    return QStringList {rawValue(task.status), rawValue(task.workerState), rawValue(task.delegationState),
        task.workerSessionKey.value_or(QString()), QString::number(task.inputData.size()),
        QString::number(task.metadata.size()), QString::number(task.outputData ? task.outputData->size() : 0),
        QString::number(task.updatedAt.unixSeconds(), 'g', QLocale::FloatingPointShortest)}
        .join(u'|');
}

QCoro::Task<> CloudSync::emitLocalProjectStateToRemote(QUuid projectID)
{
    const TaskBoardStore *store = m_hooks.taskStore(projectID);
    const auto baseURL = m_hooks.backendBaseURL();
    const auto accessToken = m_hooks.accessToken();
    if (!store || !baseURL || !accessToken)
        co_return;
    QPointer<CloudSync> self(this);
    // A copy: the board may change while a push is under way.
    const QList<BL_Task> tasks = store->taskByID().values();
    for (const BL_Task &task : tasks) {
        const QString digest = taskDigest(task);
        if (m_lastEmittedTaskDigestByLocalTaskID.value(task.blID) == digest)
            continue;
        const Result<QUuid> remoteID = co_await upsertRemoteTaskForLocalTask(task, projectID, *baseURL, *accessToken);
        if (!self)
            co_return;
        if (!remoteID) {
            m_hooks.appendLog(QStringLiteral("Failed to emit task ") + UuidText::lower(task.blID) + QStringLiteral(": ")
                + remoteID.errorMessage());
            continue;
        }
        m_remoteTaskIDByLocalTaskID.insert(task.blID, *remoteID);
        m_localTaskIDByRemoteTaskID.insert(*remoteID, task.blID);
        m_lastEmittedTaskDigestByLocalTaskID.insert(task.blID, digest);
    }
}

QCoro::Task<Result<QUuid>> CloudSync::upsertRemoteTaskForLocalTask(
    BL_Task task, QUuid projectID, QString baseURL, QString accessToken)
{
    const QJsonObject payload = task.uploadBody();
    const QUuid targetID = m_remoteTaskIDByLocalTaskID.value(task.blID, task.blID);
    QPointer<CloudSync> self(this);
    TessaronAPIClient *client = &m_apiClient;
    Result<std::optional<BL_Task>> patched
        = co_await client->patchTask(baseURL, accessToken, projectID, targetID, payload);
    if (!self)
        co_return Error::make(QStringLiteral("The application state went away."));
    std::optional<BL_Task> answered;
    if (patched.ok()) {
        answered = patched.value();
    } else if (!TessaronAPIClient::isHTTPStatus(patched.error(), 404)) {
        co_return patched.error();
    }
    if (!answered) {
        const Result<std::optional<BL_Task>> created
            = co_await client->createTask(baseURL, accessToken, projectID, payload);
        if (!self)
            co_return Error::make(QStringLiteral("The application state went away."));
        if (!created)
            co_return created.error();
        if (!created.value())
            co_return targetID;
        answered = created.value();
    }
    const QUuid remoteID = answered->blID;
    // The follow-ups never decide the outcome.
    co_await client->patchTaskWorkerState(
        baseURL, accessToken, projectID, remoteID, rawValue(task.workerState), task.workerSessionKey);
    if (!self)
        co_return remoteID;
    co_await client->patchTaskDelegationState(
        baseURL, accessToken, projectID, remoteID, rawValue(task.delegationState));
    co_return remoteID;
}

BL_Task CloudSync::remapRemoteTaskToLocal(const BL_Task &remote, const QUuid &projectID)
{
    QUuid localID = remote.blID;
    if (const auto known = m_localTaskIDByRemoteTaskID.constFind(remote.blID);
        known != m_localTaskIDByRemoteTaskID.constEnd()) {
        localID = *known;
    } else if (const auto metadata = Json::parseObject(remote.metadata)) {
        const QJsonValue named = metadata->value(QStringLiteral("local_task_id"));
        if (const auto candidate = named.isString() ? UuidText::parse(named.toString()) : std::nullopt) {
            // The id counts only when it names a task of this workspace or
            // one no board knows: a backend copy never takes over another
            // workspace's task.
            const TaskBoardStore *own = m_hooks.taskStore(projectID);
            bool knownElsewhere = false;
            for (const QUuid &otherID : m_hooks.taskStoreIDs()) {
                const TaskBoardStore *other = otherID == projectID ? nullptr : m_hooks.taskStore(otherID);
                if (other && other->taskByID().contains(*candidate))
                    knownElsewhere = true;
            }
            if ((own && own->taskByID().contains(*candidate)) || !knownElsewhere)
                localID = *candidate;
            else
                qCWarning(lcCloud) << "backend task" << remote.blID << "names a task of another workspace; kept apart";
        }
    }
    m_remoteTaskIDByLocalTaskID.insert(localID, remote.blID);
    m_localTaskIDByRemoteTaskID.insert(remote.blID, localID);
    if (localID == remote.blID)
        return remote;
    BL_Task copy = remote;
    copy.blID = localID;
    return copy;
}

BL_Task CloudSync::mergedPulledTask(const BL_Task &pulled, const BL_Task &local)
{
    BL_Task merged = pulled;
    merged.taskHistoryData = local.taskHistoryData;
    merged.taskConversationData = local.taskConversationData;
    merged.createdAt = local.createdAt;
    merged.extraMetadata = local.extraMetadata;
    if (!merged.workerSessionKey)
        merged.workerSessionKey = local.workerSessionKey;
    // An output that is not a JSON object went up as {}; the backend's {}
    // must not replace it.
    if (local.outputData && !Json::parseObject(*local.outputData)) {
        const auto pulledOutput = pulled.outputData ? Json::parseObject(*pulled.outputData) : std::nullopt;
        if (!pulled.outputData || (pulledOutput && pulledOutput->isEmpty()))
            merged.outputData = local.outputData;
    }
    return merged;
}

QCoro::Task<bool> CloudSync::importRemoteTasksIntoLocalProject(QUuid projectID, QString reason)
{
    const auto baseURL = m_hooks.backendBaseURL();
    const auto accessToken = m_hooks.accessToken();
    if (!baseURL || !accessToken || !m_hooks.taskStore(projectID))
        co_return false;
    QPointer<CloudSync> self(this);
    const Result<QList<BL_Task>> listed = co_await m_apiClient.listTasks(*baseURL, *accessToken, projectID);
    if (!self)
        co_return false;
    if (!listed) {
        m_hooks.appendLog(QStringLiteral("Remote poll failed for project ") + UuidText::lower(projectID)
            + QStringLiteral(": ") + listed.errorMessage());
        co_return false;
    }
    if (listed->isEmpty())
        co_return true;
    TaskBoardStore *store = m_hooks.taskStore(projectID);
    if (!store) { // the workspace went while the list was on its way
        qCDebug(lcCloud) << "dropped the pulled tasks of removed workspace" << projectID;
        co_return false;
    }

    TaskBoardStore::TaskMap working = store->taskByID();
    for (const BL_Task &remote : listed.value()) {
        if (remote.projectID != projectID) {
            m_hooks.appendLog(QStringLiteral("Skipped backend task ") + UuidText::lower(remote.blID)
                + QStringLiteral(" of another project ") + UuidText::lower(remote.projectID) + u'.');
            continue;
        }
        const BL_Task mapped = remapRemoteTaskToLocal(remote, projectID);
        const auto held = working.constFind(mapped.blID);
        if (held == working.constEnd()) {
            working.insert(mapped.blID, mapped);
        } else if (!(held->updatedAt > mapped.updatedAt)) {
            working.insert(mapped.blID, mergedPulledTask(mapped, *held));
        }
    }
    const QList<BL_Task> merged = working.values();
    store->applySnapshot(merged);
    m_hooks.reconcileRunningAssignments(projectID);
    for (const BL_Task &task : merged)
        if (task.projectID == projectID)
            m_hooks.persistTask(task);
    if (reason != kInterval) {
        m_hooks.appendLog(QStringLiteral("Imported %1 backend task(s) for project %2.")
                              .arg(listed->size())
                              .arg(UuidText::lower(projectID)));
    }
    co_return true;
}

void CloudSync::requestRemoteTaskDeletion(const QUuid &projectID, const QUuid &taskID)
{
    const auto baseURL = m_hooks.backendBaseURL();
    if (!m_hooks.isFeatureEnabled() || !baseURL || !m_hooks.hasUsableCloudSession())
        return;
    const auto accessToken = m_hooks.accessToken();
    if (!accessToken)
        return;
    const QUuid remoteID = m_remoteTaskIDByLocalTaskID.value(taskID, taskID);
    auto run = [](QPointer<CloudSync> self, QString baseURL, QString token, QUuid projectID,
                   QUuid remoteID) -> QCoro::Task<> {
        const Result<void> deleted = co_await self->m_apiClient.deleteTask(baseURL, token, projectID, remoteID);
        if (self && !deleted.ok()) {
            self->m_hooks.appendLog(QStringLiteral("Failed to delete backend task ") + UuidText::lower(remoteID)
                + QStringLiteral(": ") + deleted.errorMessage());
        }
    };
    m_scope.spawnWith([&] { return run(QPointer<CloudSync>(this), *baseURL, *accessToken, projectID, remoteID); });
}

// ---- Bookkeeping ----

void CloudSync::forgetTaskSyncEntries(const QUuid &taskID)
{
    if (const auto remote = m_remoteTaskIDByLocalTaskID.find(taskID); remote != m_remoteTaskIDByLocalTaskID.end()) {
        m_localTaskIDByRemoteTaskID.remove(*remote);
        m_remoteTaskIDByLocalTaskID.erase(remote);
    }
    m_lastEmittedTaskDigestByLocalTaskID.remove(taskID);
}

void CloudSync::forgetProjectSyncEntries(const QUuid &projectID, const QList<QUuid> &taskIDs)
{
    m_projectIDsRegisteredRemotely.remove(projectID);
    for (const QUuid &taskID : taskIDs)
        forgetTaskSyncEntries(taskID);
}
