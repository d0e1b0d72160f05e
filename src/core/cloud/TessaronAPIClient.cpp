#include "TessaronAPIClient.h"

#include "common/Json.h"
#include "common/Logging.h"
#include "common/UuidText.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>
#include <QUrl>
#include <memory>

namespace {

QString lower(const QUuid &id)
{
    return UuidText::lower(id);
}

QByteArray bodyOf(const QJsonObject &object)
{
    return Json::write(object);
}

struct ReplyDeleter
{
    void operator()(QNetworkReply *reply) const
    {
        if (reply)
            reply->deleteLater();
    }
};

} // namespace

TessaronAPIClient::TessaronAPIClient(
    QNetworkAccessManager *network, Options options, const Clock &clock, QObject *parent)
    : QObject(parent),
      m_network(network ? network : new QNetworkAccessManager(this)),
      m_options(options),
      m_clock(clock)
{
}

TessaronAPIClient::~TessaronAPIClient() = default;

bool TessaronAPIClient::isHTTPStatus(const Error &error, int code)
{
    return error.domain == QLatin1String(kHTTPStatusDomain) && error.code == code;
}

Error TessaronAPIClient::httpStatusError(int code, const QString &message)
{
    return Error::make(
        QString::fromLatin1(kHTTPStatusDomain), code, QStringLiteral("Server returned %1: %2").arg(code).arg(message));
}

Error TessaronAPIClient::decodeFailure(const QString &description)
{
    return Error::make(QString::fromLatin1(kDecodeFailureDomain), 0,
        QStringLiteral("Failed to decode server response: ") + description);
}

Error TessaronAPIClient::invalidResponse()
{
    return Error::make(
        QString::fromLatin1(kInvalidResponseDomain), 0, QStringLiteral("The server response was invalid."));
}

QUrl TessaronAPIClient::joinedURL(const QString &baseURL, const QString &relativePath)
{
    QUrl url(baseURL);
    QString path = url.path();
    while (path.endsWith(u'/'))
        path.chop(1);
    url.setPath(path + u'/' + relativePath);
    return url;
}

QCoro::Task<Result<QByteArray>> TessaronAPIClient::sendRaw(Request request)
{
    if (!m_network) {
        qCWarning(lcCloud) << request.method << request.path << "not sent: the client has no network access";
        co_return invalidResponse();
    }
    QNetworkRequest networkRequest(joinedURL(request.baseURL, request.path));
    networkRequest.setTransferTimeout(m_options.timeoutMs);
    if (request.body)
        networkRequest.setRawHeader("Content-Type", "application/json");
    if (request.accessToken)
        networkRequest.setRawHeader("Authorization", "Bearer " + request.accessToken->toUtf8());

    // Every request goes out as a custom verb: the manager would otherwise
    // give a bodiless POST a form Content-Type of its own.
    std::unique_ptr<QNetworkReply, ReplyDeleter> reply(request.body
            ? m_network->sendCustomRequest(networkRequest, request.method, *request.body)
            : m_network->sendCustomRequest(networkRequest, request.method));
    QNetworkReply *raw = reply.get();
    const qint64 cap = m_options.maxResponseBytes;
    auto tooLarge = std::make_shared<bool>(false);
    connect(raw, &QNetworkReply::downloadProgress, raw, [raw, cap, tooLarge](qint64 received, qint64 total) {
        if (!*tooLarge && (received > cap || total > cap)) {
            *tooLarge = true;
            raw->abort();
        }
    });
    if (!raw->isFinished())
        co_await qCoro(raw).waitForFinished(std::chrono::milliseconds(-1));

    if (*tooLarge) {
        qCWarning(lcCloud) << request.method << request.path << "reply dropped: larger than"
                           << m_options.maxResponseBytes << "bytes";
        co_return decodeFailure(
            QStringLiteral("The response is larger than %1 bytes and was abandoned.").arg(m_options.maxResponseBytes));
    }
    const QVariant status = raw->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError networkError = raw->error();
    // Errors below 200 are the connection's own (refused, closed, timed out,
    // proxy); from 200 on they restate the HTTP status.
    if (networkError != QNetworkReply::NoError && (int(networkError) < 200 || !status.isValid())) {
        const QString message = networkError == QNetworkReply::OperationCanceledError
            ? QStringLiteral("The request timed out.")
            : raw->errorString();
        qCWarning(lcCloud) << request.method << request.path << "failed:" << message;
        co_return Error::make(QString::fromLatin1(kTransportDomain), int(networkError), message);
    }
    if (!status.isValid()) {
        qCWarning(lcCloud) << request.method << request.path << "reply dropped: it carries no HTTP status";
        co_return invalidResponse();
    }
    const int code = status.toInt();
    qCDebug(lcCloud) << request.method << request.path << "answered" << code;
    const QByteArray body = raw->readAll();
    if (code >= 200 && code <= 299)
        co_return body;
    if (const auto message = CloudWire::readErrorMessage(body))
        co_return httpStatusError(code, *message);
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(body);
    co_return httpStatusError(code, decoder.hasError() ? QStringLiteral("Unknown server error") : text);
}

QCoro::Task<Result<QJsonValue>> TessaronAPIClient::sendJSON(Request request)
{
    Result<QByteArray> body = co_await sendRaw(std::move(request));
    if (!body)
        co_return body.error();
    if (body->isEmpty())
        co_return decodeFailure(QStringLiteral("The response is empty."));
    QString parseError;
    const auto value = Json::parseFragment(*body, &parseError);
    if (!value)
        co_return decodeFailure(QStringLiteral("The response is not valid JSON (%1).").arg(parseError));
    co_return *value;
}

QCoro::Task<Result<std::optional<BL_Task>>> TessaronAPIClient::sendTaskMutation(Request request)
{
    Result<QByteArray> body = co_await sendRaw(std::move(request));
    if (!body)
        co_return body.error();
    Result<std::optional<BL_Task>> task = CloudWire::parseTaskMutationResponse(*body);
    if (!task && task.error().domain.isEmpty())
        co_return Error::make(QString::fromLatin1(kJSONDomain), 0, task.errorMessage());
    co_return task;
}

namespace {

// Maps a decoded JSON reply with `read`, turning its failure into a decode
// failure.
template<typename T, typename Read> Result<T> mapped(const Result<QJsonValue> &json, Read read)
{
    if (!json)
        return json.error();
    Result<T> value = read(*json);
    if (!value)
        return TessaronAPIClient::decodeFailure(value.errorMessage());
    return value;
}

Result<void> withoutValue(const Result<QByteArray> &body)
{
    if (!body)
        return body.error();
    return Result<void>::success();
}

} // namespace

QCoro::Task<Result<BL_AuthContext>> TessaronAPIClient::fetchAuthContext(QString baseURL, QString accessToken)
{
    Request request {"GET", baseURL, QStringLiteral("me"), accessToken, std::nullopt};
    const auto json = co_await sendJSON(std::move(request));
    co_return mapped<BL_AuthContext>(
        json, [this](const QJsonValue &v) { return CloudWire::readAuthContext(v, m_clock); });
}

QCoro::Task<Result<BL_Team>> TessaronAPIClient::createTeam(QString baseURL, QString accessToken, QString name)
{
    Request request {"POST", baseURL, QStringLiteral("teams"), accessToken,
        bodyOf(CloudWire::singleKeyBody(QStringLiteral("name"), name))};
    const auto json = co_await sendJSON(std::move(request));
    co_return mapped<BL_Team>(json, [this](const QJsonValue &v) { return CloudWire::readTeam(v, m_clock); });
}

QCoro::Task<Result<BL_GoogleAuthExchangeResult>> TessaronAPIClient::exchangeGoogleNativeIDToken(
    QString baseURL, QString idToken)
{
    Request request {"POST", baseURL, QStringLiteral("auth/google/native-signin"), std::nullopt,
        bodyOf(CloudWire::singleKeyBody(QStringLiteral("idToken"), idToken))};
    const auto json = co_await sendJSON(std::move(request));
    co_return mapped<BL_GoogleAuthExchangeResult>(
        json, [this](const QJsonValue &v) { return CloudWire::readGoogleAuthExchange(v, m_clock); });
}

QCoro::Task<Result<BL_GoogleAuthExchangeResult>> TessaronAPIClient::exchangeGoogleCallback(
    QString baseURL, QString callbackURL)
{
    Request request {"POST", baseURL, QStringLiteral("auth/google/exchange"), std::nullopt,
        bodyOf(CloudWire::singleKeyBody(QStringLiteral("callbackURL"), callbackURL))};
    const auto json = co_await sendJSON(std::move(request));
    co_return mapped<BL_GoogleAuthExchangeResult>(
        json, [this](const QJsonValue &v) { return CloudWire::readGoogleAuthExchange(v, m_clock); });
}

QCoro::Task<Result<void>> TessaronAPIClient::logout(QString baseURL, QString accessToken)
{
    Request request {"POST", baseURL, QStringLiteral("auth/logout"), accessToken, std::nullopt};
    const auto body = co_await sendRaw(std::move(request));
    co_return withoutValue(body);
}

QCoro::Task<Result<BL_AuthContext>> TessaronAPIClient::acceptInvite(
    QString baseURL, QString accessToken, QString inviteToken)
{
    Request request {"POST", baseURL, QStringLiteral("invites/accept"), accessToken,
        bodyOf(CloudWire::singleKeyBody(QStringLiteral("token"), inviteToken))};
    const auto json = co_await sendJSON(std::move(request));
    co_return mapped<BL_AuthContext>(
        json, [this](const QJsonValue &v) { return CloudWire::readAuthContext(v, m_clock); });
}

QCoro::Task<Result<BL_Invite>> TessaronAPIClient::createInvite(QString baseURL, QString accessToken, QUuid teamID,
    QString email, BL_TeamMembershipRole role, qint64 expiresInHours)
{
    Request request {"POST", baseURL, QStringLiteral("teams/%1/invites").arg(lower(teamID)), accessToken,
        bodyOf(CloudWire::createInviteBody(email, role, expiresInHours))};
    const auto json = co_await sendJSON(std::move(request));
    co_return mapped<BL_Invite>(json, [](const QJsonValue &v) { return CloudWire::readInvite(v); });
}

QCoro::Task<Result<std::optional<BL_Workspace>>> TessaronAPIClient::registerProject(
    QString baseURL, QString accessToken, QUuid projectID, QString name, QString rootPath, std::optional<QUuid> teamID)
{
    Request request {"POST", baseURL, QStringLiteral("projects"), accessToken,
        bodyOf(CloudWire::registerProjectBody(projectID, name, rootPath, teamID))};
    const auto json = co_await sendJSON(std::move(request));
    co_return mapped<std::optional<BL_Workspace>>(
        json, [this](const QJsonValue &v) { return CloudWire::readProject(v, m_clock); });
}

QCoro::Task<Result<BL_NodeRegistration>> TessaronAPIClient::registerNode(QString baseURL, QString accessToken,
    QString instanceID, BL_NodeType nodeType, std::optional<QString> userEmail, QString platform,
    std::optional<QString> appVersion)
{
    Request request {"POST", baseURL, QStringLiteral("nodes/register"), accessToken,
        bodyOf(CloudWire::registerNodeBody(instanceID, nodeType, userEmail, platform, appVersion))};
    const auto json = co_await sendJSON(std::move(request));
    co_return mapped<BL_NodeRegistration>(json, [](const QJsonValue &v) { return CloudWire::readNodeRegistration(v); });
}

QCoro::Task<Result<void>> TessaronAPIClient::emitNodeHeartbeat(QString baseURL, QString accessToken, QString instanceID,
    BL_NodeHealthStatus healthStatus, TimePoint healthCheckedAt, qint64 uptimeSeconds, QMap<QString, QString> metadata)
{
    Request request {"POST", baseURL, QStringLiteral("nodes/heartbeat"), accessToken,
        bodyOf(CloudWire::heartbeatBody(instanceID, healthStatus, healthCheckedAt, uptimeSeconds, metadata))};
    const auto body = co_await sendRaw(std::move(request));
    co_return withoutValue(body);
}

QCoro::Task<Result<QList<BL_Task>>> TessaronAPIClient::listTasks(QString baseURL, QString accessToken, QUuid projectID)
{
    Request request {
        "GET", baseURL, QStringLiteral("projects/%1/tasks").arg(lower(projectID)), accessToken, std::nullopt};
    const auto body = co_await sendRaw(std::move(request));
    if (!body)
        co_return body.error();
    Result<QList<BL_Task>> tasks = CloudWire::parseTaskList(*body);
    if (!tasks)
        co_return Error::make(QString::fromLatin1(kJSONDomain), 0, tasks.errorMessage());
    co_return tasks;
}

QCoro::Task<Result<std::optional<BL_Task>>> TessaronAPIClient::patchTask(
    QString baseURL, QString accessToken, QUuid projectID, QUuid taskID, QJsonObject payload)
{
    Request request {"PATCH", baseURL, QStringLiteral("projects/%1/tasks/%2").arg(lower(projectID), lower(taskID)),
        accessToken, bodyOf(payload)};
    co_return co_await sendTaskMutation(std::move(request));
}

QCoro::Task<Result<std::optional<BL_Task>>> TessaronAPIClient::createTask(
    QString baseURL, QString accessToken, QUuid projectID, QJsonObject payload)
{
    Request request {
        "POST", baseURL, QStringLiteral("projects/%1/tasks").arg(lower(projectID)), accessToken, bodyOf(payload)};
    co_return co_await sendTaskMutation(std::move(request));
}

QCoro::Task<Result<std::optional<BL_Task>>> TessaronAPIClient::patchTaskWorkerState(QString baseURL,
    QString accessToken, QUuid projectID, QUuid taskID, QString workerState, std::optional<QString> workerSessionKey)
{
    Request request {"PATCH", baseURL,
        QStringLiteral("projects/%1/tasks/%2/worker-state").arg(lower(projectID), lower(taskID)), accessToken,
        bodyOf(CloudWire::workerStateBody(workerState, workerSessionKey))};
    co_return co_await sendTaskMutation(std::move(request));
}

QCoro::Task<Result<std::optional<BL_Task>>> TessaronAPIClient::patchTaskDelegationState(
    QString baseURL, QString accessToken, QUuid projectID, QUuid taskID, QString delegationState)
{
    Request request {"PATCH", baseURL,
        QStringLiteral("projects/%1/tasks/%2/delegation").arg(lower(projectID), lower(taskID)), accessToken,
        bodyOf(CloudWire::singleKeyBody(QStringLiteral("delegation_state"), delegationState))};
    co_return co_await sendTaskMutation(std::move(request));
}

QCoro::Task<Result<void>> TessaronAPIClient::deleteTask(
    QString baseURL, QString accessToken, QUuid projectID, QUuid taskID)
{
    Request request {"DELETE", baseURL, QStringLiteral("projects/%1/tasks/%2").arg(lower(projectID), lower(taskID)),
        accessToken, std::nullopt};
    const auto body = co_await sendRaw(std::move(request));
    co_return withoutValue(body);
}
