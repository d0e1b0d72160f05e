// The cloud sync: the remote task sync switch, the poll with its gate and
// back-off, node registration and heartbeats, and the per-workspace push and
// pull of tasks.
#include "AppState.h"

#include "common/Json.h"
#include "common/UuidText.h"

#include <QCoreApplication>
#include <QLocale>
#include <cmath>

namespace {

const QString kInterval = QStringLiteral("interval");

} // namespace

// ---- The switch and the poll ----

void AppState::setRemoteTaskSyncFeatureEnabled(bool enabled)
{
    assign(m_remoteSyncFeatureEnabled, enabled, Field::remoteSyncFeatureEnabled);
    m_settings.defaults().setValue(AppSettings::remoteTaskSyncFlagKey, enabled);
    appendOAuthLog(QStringLiteral("Remote task sync feature ")
        + (enabled ? QStringLiteral("enabled") : QStringLiteral("disabled")) + u'.');
    if (!enabled)
        return;
    auto run = [](QPointer<AppState> self) -> QCoro::Task<> {
        co_await self->refreshAuthContextFromBackend();
        if (!self)
            co_return;
        co_await self->ensureNodeRegistrationIfNeeded();
        if (!self)
            co_return;
        co_await self->pollRemoteTasksAcrossProjects(QStringLiteral("feature-enabled"));
    };
    run(QPointer<AppState>(this));
}

void AppState::recordRemotePollOutcome(bool success, const QString &reason)
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
    }
    m_nextRemotePollAllowedAt = m_clock->now().addSeconds(delay);
}

QCoro::Task<> AppState::pollRemoteTasksAcrossProjects(QString reason)
{
    // A timer tick hands over the gate's verdict; every other request asks.
    const bool handedOver = reason == kInterval && m_intervalPollVerdictPending;
    m_intervalPollVerdictPending = false;
    if (!handedOver && !shouldAttemptRemotePoll(reason))
        co_return;
    m_intervalPollVerdictPending = false;
    if (m_isRemotePollInFlight)
        co_return;
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (!baseURL || !m_authSession)
        co_return;
    const QString accessToken = m_authSession->accessToken;
    QPointer<AppState> self(this);
    m_isRemotePollInFlight = true;

    if (!m_authContext) {
        const Result<BL_AuthContext> context = co_await m_apiClient->fetchAuthContext(*baseURL, accessToken);
        if (!self)
            co_return;
        if (!context) {
            appendOAuthLog(QStringLiteral("Remote poll skipped, auth context fetch failed: ") + context.errorMessage());
            m_isRemotePollInFlight = false;
            recordRemotePollOutcome(false, reason);
            co_return;
        }
        applyRemoteAuthContext(context.value());
    }

    bool success = true;
    const QList<BL_Workspace> projects = m_projects;
    for (const BL_Workspace &project : projects) {
        if (!m_taskStores.contains(project.id))
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
    assign(m_remoteLastSyncAt, std::optional<TimePoint>(m_clock->now()), Field::remoteLastSyncAt);
    m_isRemotePollInFlight = false;
    recordRemotePollOutcome(success, reason);
}

// ---- Node registration and heartbeat ----

QCoro::Task<bool> AppState::ensureNodeRegistrationIfNeeded()
{
    if (!m_remoteSyncFeatureEnabled || !hasUsableCloudSession())
        co_return false;
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (!baseURL || !m_currentNodeType)
        co_return false;
    if (m_hasRegisteredNodeRemotely)
        co_return true;
    QPointer<AppState> self(this);
    const QString version = QCoreApplication::applicationVersion();
    const Result<BL_NodeRegistration> registration = co_await m_apiClient->registerNode(*baseURL,
        m_authSession->accessToken, persistentNodeInstanceID(), *m_currentNodeType, m_currentUserEmail,
        QStringLiteral("Linux"), version.isEmpty() ? std::nullopt : std::optional<QString>(version));
    if (!self)
        co_return false;
    if (!registration) {
        appendOAuthLog(QStringLiteral("Node registration failed: ") + registration.errorMessage());
        co_return false;
    }
    if (registration->nodeType) {
        setCurrentNodeType(*registration->nodeType);
    } else if (m_currentNodeType) {
        // A type this installation does not know never turns it into a
        // client node; it keeps the role it runs in.
        appendOAuthLog(
            QStringLiteral("The backend named an unknown node type; keeping ") + rawValue(*m_currentNodeType) + u'.');
    }
    m_hasRegisteredNodeRemotely = true;
    appendOAuthLog(QStringLiteral("Registered node ") + registration->instanceID + QStringLiteral(" as ")
        + (m_currentNodeType ? rawValue(*m_currentNodeType) : QString()) + u'.');
    co_return true;
}

QCoro::Task<> AppState::emitHeartbeatFromHealthCheck(
    QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt)
{
    if (!m_remoteSyncFeatureEnabled || m_currentNodeType != BL_NodeType::mainNode || !checkedAt
        || !hasUsableCloudSession() || !resolvedBackendAPIBaseURL())
        co_return;
    QPointer<AppState> self(this);
    const bool registered = co_await ensureNodeRegistrationIfNeeded();
    if (!self || !registered)
        co_return;
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (!baseURL || !m_authSession)
        co_return;
    const bool healthy = !results.isEmpty() && std::none_of(results.cbegin(), results.cend(), [](const auto &result) {
        return result.status == HealthCheckResult::Status::failed;
    });
    const BL_NodeHealthStatus status = healthy ? BL_NodeHealthStatus::healthy : BL_NodeHealthStatus::unhealthy;
    const qint64 uptime = std::max<qint64>(0, qint64(std::trunc(m_clock->now().secondsSince(m_appLaunchDate))));
    // Only the count and the verdict leave the machine, never a check's output.
    const QMap<QString, QString> metadata {{QStringLiteral("check_count"), QString::number(results.size())},
        {QStringLiteral("source"), QStringLiteral("health_snapshot")}};
    const QString instanceID = persistentNodeInstanceID();
    const Result<void> sent = co_await m_apiClient->emitNodeHeartbeat(
        *baseURL, m_authSession->accessToken, instanceID, status, *checkedAt, uptime, metadata);
    if (!self)
        co_return;
    if (sent.ok()) {
        appendOAuthLog(QStringLiteral("Heartbeat emitted (") + rawValue(status) + QStringLiteral(") for node ")
            + instanceID + u'.');
    } else {
        appendOAuthLog(QStringLiteral("Heartbeat emit failed: ") + sent.errorMessage());
    }
}

// ---- Push and pull of one workspace ----

QCoro::Task<bool> AppState::ensureRemoteProjectAccessible(BL_Workspace project)
{
    auto granted = [](const std::optional<BL_AuthContext> &context, const QUuid &id) {
        return context
            && std::any_of(context->projectGrants.cbegin(), context->projectGrants.cend(),
                [&](const BL_ProjectAccessGrant &grant) { return grant.projectID == id; });
    };
    if (granted(m_authContext, project.id))
        co_return true;
    if (m_projectIDsRegisteredRemotely.contains(project.id))
        co_return false;
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (!baseURL || !m_authSession)
        co_return false;
    const QString accessToken = m_authSession->accessToken;
    std::optional<QUuid> teamID = m_selectedTeamID;
    if (!teamID && m_authContext && !m_authContext->teams.isEmpty())
        teamID = m_authContext->teams.first().id;
    QPointer<AppState> self(this);
    const auto registered = co_await m_apiClient->registerProject(
        *baseURL, accessToken, project.id, project.name, project.rootPath, teamID);
    if (!self)
        co_return false;
    const QString skipped = QStringLiteral("Workspace register skipped for ") + project.name + QStringLiteral(": ");
    if (!registered) {
        appendOAuthLog(skipped + registered.errorMessage());
        co_return false;
    }
    m_projectIDsRegisteredRemotely.insert(project.id);
    const Result<BL_AuthContext> context = co_await m_apiClient->fetchAuthContext(*baseURL, accessToken);
    if (!self)
        co_return false;
    if (!context) {
        appendOAuthLog(skipped + context.errorMessage());
        co_return false;
    }
    applyRemoteAuthContext(context.value());
    appendOAuthLog(QStringLiteral("Registered workspace ") + project.name + QStringLiteral(" with backend."));
    co_return granted(m_authContext, project.id);
}

QString AppState::taskDigest(const BL_Task &task)
{
    return QStringList {rawValue(task.status), rawValue(task.workerState), rawValue(task.delegationState),
        task.workerSessionKey.value_or(QString()), QString::number(task.inputData.size()),
        QString::number(task.metadata.size()), QString::number(task.outputData ? task.outputData->size() : 0),
        QString::number(task.updatedAt.unixSeconds(), 'g', QLocale::FloatingPointShortest)}
        .join(u'|');
}

QCoro::Task<> AppState::emitLocalProjectStateToRemote(QUuid projectID)
{
    const TaskBoardStore *store = taskStore(projectID);
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (!store || !baseURL || !m_authSession)
        co_return;
    const QString accessToken = m_authSession->accessToken;
    QPointer<AppState> self(this);
    // A copy: the board may change while a push is under way.
    const QList<BL_Task> tasks = store->taskByID().values();
    for (const BL_Task &task : tasks) {
        const QString digest = taskDigest(task);
        if (m_lastEmittedTaskDigestByLocalTaskID.value(task.blID) == digest)
            continue;
        const Result<QUuid> remoteID = co_await upsertRemoteTaskForLocalTask(task, projectID, *baseURL, accessToken);
        if (!self)
            co_return;
        if (!remoteID) {
            appendOAuthLog(QStringLiteral("Failed to emit task ") + UuidText::lower(task.blID) + QStringLiteral(": ")
                + remoteID.errorMessage());
            continue;
        }
        m_remoteTaskIDByLocalTaskID.insert(task.blID, *remoteID);
        m_localTaskIDByRemoteTaskID.insert(*remoteID, task.blID);
        m_lastEmittedTaskDigestByLocalTaskID.insert(task.blID, digest);
    }
}

QCoro::Task<Result<QUuid>> AppState::upsertRemoteTaskForLocalTask(
    BL_Task task, QUuid projectID, QString baseURL, QString accessToken)
{
    const QJsonObject payload = taskPayloadForRemote(task);
    const QUuid targetID = m_remoteTaskIDByLocalTaskID.value(task.blID, task.blID);
    QPointer<AppState> self(this);
    TessaronAPIClient *client = m_apiClient.get();
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

BL_Task AppState::remapRemoteTaskToLocal(const BL_Task &remote, const QUuid &projectID)
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
            const TaskBoardStore *own = taskStore(projectID);
            bool knownElsewhere = false;
            for (auto it = m_taskStores.cbegin(); it != m_taskStores.cend(); ++it)
                if (it.key() != projectID && it.value()->taskByID().contains(*candidate))
                    knownElsewhere = true;
            if ((own && own->taskByID().contains(*candidate)) || !knownElsewhere)
                localID = *candidate;
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

BL_Task AppState::mergedPulledTask(const BL_Task &pulled, const BL_Task &local)
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

QCoro::Task<bool> AppState::importRemoteTasksIntoLocalProject(QUuid projectID, QString reason)
{
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (!baseURL || !m_authSession || !taskStore(projectID))
        co_return false;
    QPointer<AppState> self(this);
    const Result<QList<BL_Task>> listed
        = co_await m_apiClient->listTasks(*baseURL, m_authSession->accessToken, projectID);
    if (!self)
        co_return false;
    if (!listed) {
        appendOAuthLog(QStringLiteral("Remote poll failed for project ") + UuidText::lower(projectID)
            + QStringLiteral(": ") + listed.errorMessage());
        co_return false;
    }
    if (listed->isEmpty())
        co_return true;
    TaskBoardStore *store = taskStore(projectID);
    if (!store) // the workspace went while the list was on its way
        co_return false;

    TaskBoardStore::TaskMap working = store->taskByID();
    for (const BL_Task &remote : listed.value()) {
        if (remote.projectID != projectID) {
            appendOAuthLog(QStringLiteral("Skipped backend task ") + UuidText::lower(remote.blID)
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
    reconcileRunningAssignments(projectID);
    for (const BL_Task &task : merged)
        if (task.projectID == projectID)
            persistTask(task);
    if (reason != kInterval) {
        appendOAuthLog(QStringLiteral("Imported %1 backend task(s) for project %2.")
                           .arg(listed->size())
                           .arg(UuidText::lower(projectID)));
    }
    co_return true;
}

void AppState::requestRemoteTaskDeletion(const QUuid &projectID, const QUuid &taskID)
{
    const auto baseURL = resolvedBackendAPIBaseURL();
    if (!m_remoteSyncFeatureEnabled || !baseURL || !hasUsableCloudSession())
        return;
    const QUuid remoteID = m_remoteTaskIDByLocalTaskID.value(taskID, taskID);
    auto run = [](QPointer<AppState> self, QString baseURL, QString token, QUuid projectID,
                   QUuid remoteID) -> QCoro::Task<> {
        const Result<void> deleted = co_await self->m_apiClient->deleteTask(baseURL, token, projectID, remoteID);
        if (self && !deleted.ok()) {
            self->appendOAuthLog(QStringLiteral("Failed to delete backend task ") + UuidText::lower(remoteID)
                + QStringLiteral(": ") + deleted.errorMessage());
        }
    };
    run(QPointer<AppState>(this), *baseURL, m_authSession->accessToken, projectID, remoteID);
}
