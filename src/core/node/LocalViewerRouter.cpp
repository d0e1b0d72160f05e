#include "node/LocalViewerRouter.h"

#include "common/UuidText.h"
#include "node/LocalViewerFutures.h"
#include "node/LocalViewerHttp.h"

#include <QUrl>
#include <QUrlQuery>
#include <QtConcurrent>

using namespace LocalViewer;
namespace Http = LocalViewerHttp;
using LocalViewerFutures::whenDone;

namespace {

QUrl targetUrl(const QString &pathWithQuery)
{
    return QUrl(QStringLiteral("http://localhost") + pathWithQuery);
}

QFuture<QByteArray> ready(QByteArray response)
{
    return QtFuture::makeReadyFuture(std::move(response));
}

QFuture<QByteArray> textAnswer(int status, const char *body)
{
    return ready(Http::text(status, QString::fromUtf8(body)));
}

QByteArray jsonAnswer(const QJsonObject &object)
{
    return Http::http(200, Http::kJsonType, encode(object));
}

QByteArray jsonAnswer(const QJsonArray &array)
{
    return Http::http(200, Http::kJsonType, encode(array));
}

QByteArray okAnswer()
{
    return Http::text(200, QStringLiteral("ok"));
}

// A slot's future with the value it stands for when it ends without one.
template<typename T> struct SlotCall
{
    QFuture<T> future;
    T fallback;
};

// A slot's future, or its fallback when the slot is empty.
template<typename T, typename Slot, typename... Args> SlotCall<T> callSlot(const Slot &slot, T fallback, Args &&...args)
{
    if (!slot)
        return {QtFuture::makeReadyFuture(fallback), fallback};
    return {slot(std::forward<Args>(args)...), std::move(fallback)};
}

template<typename Slot, typename... Args> QFuture<void> callVoidSlot(const Slot &slot, Args &&...args)
{
    if (!slot)
        return QtFuture::makeReadyFuture();
    return slot(std::forward<Args>(args)...);
}

// The encoded answer of a handler's value, encoded where the value was
// produced: a small answer of the main thread there, a large one (task
// lists, details) on the pool that read the logs.
template<typename T, typename F> QFuture<QByteArray> answer(SlotCall<T> call, F encode)
{
    auto promise = std::make_shared<QPromise<QByteArray>>();
    promise->start();
    QFuture<QByteArray> result = promise->future();
    whenDone(std::move(call.future), std::move(call.fallback), [promise, encode](const T &value) {
        promise->addResult(encode(value));
        promise->finish();
    });
    return result;
}

template<typename F> QFuture<QByteArray> answerVoid(QFuture<void> future, F encode)
{
    auto promise = std::make_shared<QPromise<QByteArray>>();
    promise->start();
    QFuture<QByteArray> result = promise->future();
    whenDone(std::move(future), [promise, encode] {
        promise->addResult(encode());
        promise->finish();
    });
    return result;
}

std::optional<QString> nonEmpty(const QString &text)
{
    if (text.trimmed().isEmpty())
        return std::nullopt;
    return text;
}

} // namespace

LocalViewerRouter::LocalViewerRouter(
    LocalViewerHandlers handlers, QString accessToken, QByteArray page, QThreadPool *pool)
    : m_handlers(std::move(handlers)),
      m_accessToken(std::move(accessToken)),
      m_page(std::move(page)),
      m_pool(pool ? pool : routingPool())
{
}

QThreadPool *LocalViewerRouter::routingPool()
{
    static QThreadPool *const pool = [] {
        auto *created = new QThreadPool;
        created->setMaxThreadCount(std::max(4, QThread::idealThreadCount()));
        created->setExpiryTimeout(-1);
        return created;
    }();
    return pool;
}

QString LocalViewerRouter::decodedPath(const QString &pathWithQuery)
{
    const QUrl url = targetUrl(pathWithQuery);
    if (!url.isValid())
        return pathWithQuery;
    return url.path(QUrl::FullyDecoded);
}

std::optional<QString> LocalViewerRouter::queryItem(const QString &pathWithQuery, const QString &name)
{
    const QUrl url = targetUrl(pathWithQuery);
    if (!url.isValid() || !url.hasQuery())
        return std::nullopt;
    const QUrlQuery query(url);
    if (!query.hasQueryItem(name))
        return std::nullopt;
    const QString value = query.queryItemValue(name, QUrl::FullyDecoded);
    if (value.isEmpty())
        return std::nullopt;
    return value;
}

std::optional<QUuid> LocalViewerRouter::queryUuid(const QString &pathWithQuery, const QString &name)
{
    const std::optional<QString> value = queryItem(pathWithQuery, name);
    if (!value)
        return std::nullopt;
    return UuidText::parse(*value);
}

bool LocalViewerRouter::sameSecret(const QByteArray &a, const QByteArray &b)
{
    const qsizetype n = std::max(a.size(), b.size());
    unsigned difference = a.size() == b.size() ? 0u : 1u;
    for (qsizetype i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a.at(i)) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b.at(i)) : 0;
        difference |= static_cast<unsigned>(x ^ y);
    }
    return difference == 0;
}

bool LocalViewerRouter::carriesToken(const QString &pathWithQuery, const QHash<QString, QString> &headers) const
{
    if (m_accessToken.isEmpty())
        return false;
    const QByteArray expected = m_accessToken.toUtf8();
    bool matched = false;
    // Every carrier is compared so the time taken does not tell which one was
    // tried first.
    if (const std::optional<QString> query = queryItem(pathWithQuery, QStringLiteral("token")))
        matched |= sameSecret(query->toUtf8(), expected);
    const QString authorization = headers.value(QStringLiteral("authorization"));
    if (authorization.startsWith(QLatin1String("Bearer "), Qt::CaseInsensitive))
        matched |= sameSecret(authorization.mid(7).trimmed().toUtf8(), expected);
    if (headers.contains(QStringLiteral("x-varn-token")))
        matched |= sameSecret(headers.value(QStringLiteral("x-varn-token")).toUtf8(), expected);
    return matched;
}

QFuture<QByteArray> LocalViewerRouter::route(const QByteArray &data, const std::optional<QString> &submitterIP) const
{
    const std::optional<Http::ParsedRequest> request = Http::parseRequest(data);
    if (!request)
        return textAnswer(400, "Bad request");
    const QString path = decodedPath(request->pathWithQuery);
    if (path.startsWith(QLatin1String("/api/")) && !carriesToken(request->pathWithQuery, request->headers))
        return textAnswer(401, "Unauthorized");
    if (request->method == QLatin1String("GET"))
        return get(path, request->pathWithQuery);
    if (request->method == QLatin1String("POST"))
        return post(path, request->bodyData, request->headers, submitterIP);
    return textAnswer(404, "Not found");
}

QFuture<QByteArray> LocalViewerRouter::get(const QString &path, const QString &target) const
{
    const LocalViewerHandlers &h = m_handlers;
    if (path == QLatin1String("/"))
        return ready(Http::http(200, Http::kHtmlType, m_page));
    if (path == QLatin1String("/api/tasks")) {
        return answer(callSlot(h.fetchTasks, QList<TaskSummary> {}, queryUuid(target, QStringLiteral("project_id"))),
            [](const QList<TaskSummary> &tasks) { return jsonAnswer(listToJson(tasks)); });
    }
    if (path == QLatin1String("/api/task-details")) {
        const std::optional<QUuid> projectID = queryUuid(target, QStringLiteral("project_id"));
        const std::optional<QUuid> taskID = projectID ? queryUuid(target, QStringLiteral("task_id")) : std::nullopt;
        if (!projectID || !taskID)
            return textAnswer(400, "Missing project_id or task_id");
        return answer(callSlot(h.fetchTaskDetails, std::optional<TaskDetailResponse> {}, *projectID, *taskID),
            [](const std::optional<TaskDetailResponse> &detail) {
                if (!detail)
                    return Http::text(404, QStringLiteral("Task not found"));
                return jsonAnswer(detail->toJson());
            });
    }
    if (path == QLatin1String("/api/workspaces")) {
        return answer(callSlot(h.fetchWorkspaces, QList<WorkspaceSummary> {}),
            [](const QList<WorkspaceSummary> &list) { return jsonAnswer(listToJson(list)); });
    }
    if (path == QLatin1String("/api/organizations")) {
        return answer(callSlot(h.fetchOrganizations, QList<OrganizationSummary> {}),
            [](const QList<OrganizationSummary> &list) { return jsonAnswer(listToJson(list)); });
    }
    if (path == QLatin1String("/api/teams")) {
        return answer(callSlot(h.fetchTeams, QList<TeamSummary> {}, queryUuid(target, QStringLiteral("org_id"))),
            [](const QList<TeamSummary> &list) { return jsonAnswer(listToJson(list)); });
    }
    if (path == QLatin1String("/api/main-nodes")) {
        return answer(
            callSlot(h.fetchMainNodes, QList<MainNodeSummary> {}, queryUuid(target, QStringLiteral("org_id"))),
            [](const QList<MainNodeSummary> &list) { return jsonAnswer(listToJson(list)); });
    }
    if (path == QLatin1String("/api/auth-context")) {
        return answer(callSlot(h.fetchAuthContext, std::optional<AuthContextResponse> {},
                          queryItem(target, QStringLiteral("email")), queryItem(target, QStringLiteral("google_sub")),
                          queryItem(target, QStringLiteral("name"))),
            [](const std::optional<AuthContextResponse> &context) {
                if (!context)
                    return Http::text(404, QStringLiteral("User/auth context not found"));
                return jsonAnswer(context->toJson());
            });
    }
    if (path == QLatin1String("/api/model-usage")) {
        ModelUsageAPIResponse fallback;
        fallback.checkedAt = TimePoint::now();
        fallback.errorMessage = QStringLiteral("AppState unavailable");
        return answer(callSlot(h.fetchModelUsage, fallback),
            [](const ModelUsageAPIResponse &usage) { return jsonAnswer(usage.toJson()); });
    }
    if (path == QLatin1String("/api/bootstrap")) {
        const std::optional<QUuid> requested = queryUuid(target, QStringLiteral("project_id"));
        const LocalViewerHandlers handlers = h;
        auto promise = std::make_shared<QPromise<QByteArray>>();
        promise->start();
        QFuture<QByteArray> result = promise->future();
        SlotCall<QList<WorkspaceSummary>> workspacesCall = callSlot(h.fetchWorkspaces, QList<WorkspaceSummary> {});
        whenDone(std::move(workspacesCall.future), std::move(workspacesCall.fallback),
            [handlers, requested, promise](const QList<WorkspaceSummary> &workspaces) {
                std::optional<QUuid> active = requested;
                if (!active && !workspaces.isEmpty())
                    active = workspaces.front().id;
                SlotCall<QList<TaskSummary>> tasksCall = callSlot(handlers.fetchTasks, QList<TaskSummary> {}, active);
                whenDone(std::move(tasksCall.future), std::move(tasksCall.fallback),
                    [workspaces, active, promise](const QList<TaskSummary> &tasks) {
                        promise->addResult(jsonAnswer(BootstrapResponse {active, workspaces, tasks}.toJson()));
                        promise->finish();
                    });
            });
        return result;
    }
    return textAnswer(404, "Not found");
}

QFuture<QByteArray> LocalViewerRouter::post(const QString &path, const QByteArray &body,
    const QHash<QString, QString> &headers, const std::optional<QString> &submitterIP) const
{
    const LocalViewerHandlers &h = m_handlers;
    const std::optional<QJsonObject> object = decodeObject(body);
    const QJsonValue json = object ? QJsonValue(*object) : QJsonValue();

    // The five board actions answer "ok" once the body reads.
    auto action = [&](auto request, const auto &slot, const char *invalid) -> QFuture<QByteArray> {
        if (!request)
            return textAnswer(400, invalid);
        return answerVoid(callVoidSlot(slot, *request), [] { return okAnswer(); });
    };

    if (path == QLatin1String("/api/tasks")) {
        std::optional<CreateTaskRequest> request = CreateTaskRequest::fromJson(json);
        if (!request)
            return textAnswer(400, "Invalid payload for /api/tasks");
        request->submitterIP = submitterIP;
        if (submitterIP)
            request->submitterMAC.reset(); // only what the lookup finds
        if (const std::optional<QString> user = nonEmpty(headers.value(QStringLiteral("x-submitter-username"))))
            request->submitterUsername = user->trimmed();
        auto created = [](bool done) {
            if (!done)
                return Http::text(
                    422, QStringLiteral("Task could not be created. Check project_id and workspace selection."));
            return okAnswer();
        };
        if (!submitterIP || !h.resolveSubmitterMAC)
            return answer(callSlot(h.createTask, false, *request), created);
        // The hardware-address lookup runs an outside program: never on the
        // caller's thread.
        const auto resolve = h.resolveSubmitterMAC;
        const auto create = h.createTask;
        auto promise = std::make_shared<QPromise<QByteArray>>();
        promise->start();
        QFuture<QByteArray> result = promise->future();
        m_pool->start([resolve, create, created, promise, request = *request]() mutable {
            request.submitterMAC = resolve(*request.submitterIP);
            SlotCall<bool> call = callSlot(create, false, request);
            whenDone(std::move(call.future), false, [created, promise](bool done) {
                promise->addResult(created(done));
                promise->finish();
            });
        });
        return result;
    }
    if (path == QLatin1String("/api/workspaces/create")) {
        const std::optional<CreateWorkspaceRequest> request = CreateWorkspaceRequest::fromJson(json);
        if (!request)
            return textAnswer(400, "Invalid payload");
        return answer(callSlot(h.createWorkspace, std::optional<CreateWorkspaceResponse> {}, *request),
            [](const std::optional<CreateWorkspaceResponse> &created) {
                return created ? jsonAnswer(created->toJson()) : Http::text(400, "Invalid payload");
            });
    }
    if (path == QLatin1String("/api/organizations")) {
        const std::optional<CreateOrganizationRequest> request = CreateOrganizationRequest::fromJson(json);
        if (!request)
            return textAnswer(400, "Invalid payload");
        return answer(callSlot(h.createOrganization, std::optional<OrganizationSummary> {}, *request),
            [](const std::optional<OrganizationSummary> &created) {
                return created ? jsonAnswer(created->toJson()) : Http::text(400, "Invalid payload");
            });
    }
    if (path == QLatin1String("/api/teams")) {
        const std::optional<CreateTeamRequest> request = CreateTeamRequest::fromJson(json);
        if (!request)
            return textAnswer(400, "Invalid payload");
        return answer(callSlot(h.createTeam, std::optional<TeamSummary> {}, *request),
            [](const std::optional<TeamSummary> &created) {
                return created ? jsonAnswer(created->toJson()) : Http::text(400, "Invalid payload");
            });
    }
    if (path == QLatin1String("/api/invites")) {
        const std::optional<CreateInviteRequest> request = CreateInviteRequest::fromJson(json);
        if (!request)
            return textAnswer(400, "Invalid payload");
        return answer(callSlot(h.createInvite, std::optional<BL_Invite> {}, *request),
            [](const std::optional<BL_Invite> &created) {
                return created ? jsonAnswer(inviteToJson(*created)) : Http::text(400, "Invalid payload");
            });
    }
    if (path == QLatin1String("/api/invites/accept")) {
        const std::optional<AcceptInviteRequest> request = AcceptInviteRequest::fromJson(json);
        if (!request)
            return textAnswer(400, "Invalid payload or invite");
        return answer(callSlot(h.acceptInvite, std::optional<AuthContextResponse> {}, *request),
            [](const std::optional<AuthContextResponse> &context) {
                return context ? jsonAnswer(context->toJson()) : Http::text(400, "Invalid payload or invite");
            });
    }
    if (path == QLatin1String("/api/move"))
        return action(MoveTaskRequest::fromJson(json), h.moveTask, "Invalid payload");
    if (path == QLatin1String("/api/delegate"))
        return action(DelegateTaskRequest::fromJson(json), h.delegateTask, "Invalid payload for /api/delegate");
    if (path == QLatin1String("/api/tasks/delete"))
        return action(DeleteTaskRequest::fromJson(json), h.deleteTask, "Invalid payload");
    if (path == QLatin1String("/api/tasks/cancel"))
        return action(CancelTaskRequest::fromJson(json), h.cancelTask, "Invalid payload");
    if (path == QLatin1String("/api/tasks/clear-done"))
        return action(ClearDoneTasksRequest::fromJson(json), h.clearDoneTasks, "Invalid payload");
    return textAnswer(404, "Not found");
}
