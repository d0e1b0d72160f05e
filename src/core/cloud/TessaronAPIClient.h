#pragma once

#include "cloud/CloudWireRecords.h"
#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BL_Auth.h"
#include "model/BL_Invite.h"
#include "model/BL_Task.h"
#include "model/BL_Team.h"
#include "model/BL_Workspace.h"

#include <QByteArray>
#include <QCoroTask>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUuid>
#include <optional>

class QNetworkAccessManager;

struct TessaronAPIClientOptions
{
    // A request whose answer stalls this long (no bytes moving) fails.
    int timeoutMs = 60000;
    // A reply body growing past this is abandoned as a decode failure.
    qint64 maxResponseBytes = 4 * 1024 * 1024;
};

// The one component that talks to the cloud backend's REST interface. Each
// operation builds one request, sends it through the one network access
// manager, classifies the answer and maps the reply into the shared records.
// No account state, no retry, no queue, no cache; every failure is returned
// to the caller as an Error whose message is the user-readable description.
//
// Failures, told apart by `Error::domain`:
//   kHTTPStatusDomain   (code = the status) "Server returned <code>: <message>"
//   kDecodeFailureDomain "Failed to decode server response: <description>";
//                        also a reply abandoned past the size cap
//   kInvalidResponseDomain "The server response was invalid."
//   kTransportDomain    (code = QNetworkReply::NetworkError) the transport's
//                        own text; "The request timed out." for a stall
//   kJSONDomain         a task list or task reply that is not JSON, or a task
//                        the task reader rejects (its own domain then)
//
// Lives on the main thread; operations start there and resume there.
class TessaronAPIClient final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TessaronAPIClient)

public:
    static constexpr const char *kHTTPStatusDomain = "APIClientError.httpStatus";
    static constexpr const char *kDecodeFailureDomain = "APIClientError.decodeFailure";
    static constexpr const char *kInvalidResponseDomain = "APIClientError.invalidResponse";
    static constexpr const char *kTransportDomain = "APIClientError.transport";
    static constexpr const char *kJSONDomain = "JSON";

    using Options = TessaronAPIClientOptions;

    // `network` may be null: the client then makes its own manager.
    explicit TessaronAPIClient(QNetworkAccessManager *network = nullptr, Options options = {},
        const Clock &clock = Clock::system(), QObject *parent = nullptr);
    ~TessaronAPIClient() override;

    const Options &options() const { return m_options; }
    void setOptions(const Options &options) { m_options = options; }

    static bool isHTTPStatus(const Error &error, int code);
    // "Server returned <code>: <message>" and its siblings.
    static Error httpStatusError(int code, const QString &message);
    static Error decodeFailure(const QString &description);
    static Error invalidResponse();

    // Every `baseURL` is the API root (it ends in "/v1"); a relative path
    // joins it with exactly one "/".
    QCoro::Task<Result<BL_AuthContext>> fetchAuthContext(QString baseURL, QString accessToken);
    QCoro::Task<Result<BL_Team>> createTeam(QString baseURL, QString accessToken, QString name);
    QCoro::Task<Result<BL_GoogleAuthExchangeResult>> exchangeGoogleNativeIDToken(QString baseURL, QString idToken);
    QCoro::Task<Result<BL_GoogleAuthExchangeResult>> exchangeGoogleCallback(QString baseURL, QString callbackURL);
    QCoro::Task<Result<void>> logout(QString baseURL, QString accessToken);
    QCoro::Task<Result<BL_AuthContext>> acceptInvite(QString baseURL, QString accessToken, QString inviteToken);
    QCoro::Task<Result<BL_Invite>> createInvite(QString baseURL, QString accessToken, QUuid teamID, QString email,
        BL_TeamMembershipRole role, qint64 expiresInHours);
    QCoro::Task<Result<std::optional<BL_Workspace>>> registerProject(QString baseURL, QString accessToken,
        QUuid projectID, QString name, QString rootPath, std::optional<QUuid> teamID);
    QCoro::Task<Result<BL_NodeRegistration>> registerNode(QString baseURL, QString accessToken, QString instanceID,
        BL_NodeType nodeType, std::optional<QString> userEmail, QString platform, std::optional<QString> appVersion);
    QCoro::Task<Result<void>> emitNodeHeartbeat(QString baseURL, QString accessToken, QString instanceID,
        BL_NodeHealthStatus healthStatus, TimePoint healthCheckedAt, qint64 uptimeSeconds,
        QMap<QString, QString> metadata);
    QCoro::Task<Result<QList<BL_Task>>> listTasks(QString baseURL, QString accessToken, QUuid projectID);
    QCoro::Task<Result<std::optional<BL_Task>>> patchTask(
        QString baseURL, QString accessToken, QUuid projectID, QUuid taskID, QJsonObject payload);
    QCoro::Task<Result<std::optional<BL_Task>>> createTask(
        QString baseURL, QString accessToken, QUuid projectID, QJsonObject payload);
    QCoro::Task<Result<std::optional<BL_Task>>> patchTaskWorkerState(QString baseURL, QString accessToken,
        QUuid projectID, QUuid taskID, QString workerState, std::optional<QString> workerSessionKey);
    QCoro::Task<Result<std::optional<BL_Task>>> patchTaskDelegationState(
        QString baseURL, QString accessToken, QUuid projectID, QUuid taskID, QString delegationState);
    QCoro::Task<Result<void>> deleteTask(QString baseURL, QString accessToken, QUuid projectID, QUuid taskID);

    // The request URL: the base URL's path, one "/", the relative path.
    static QUrl joinedURL(const QString &baseURL, const QString &relativePath);

private:
    struct Request
    {
        QByteArray method;
        QString baseURL;
        QString path;
        std::optional<QString> accessToken; // absent: no "Authorization" header
        std::optional<QByteArray> body; // absent: no body and no "Content-Type"
    };
    // The body of a 2xx answer, or the failure.
    QCoro::Task<Result<QByteArray>> sendRaw(Request request);
    // sendRaw, then the body as one JSON value (decode failure otherwise).
    QCoro::Task<Result<QJsonValue>> sendJSON(Request request);
    QCoro::Task<Result<std::optional<BL_Task>>> sendTaskMutation(Request request);

    QPointer<QNetworkAccessManager> m_network;
    Options m_options;
    const Clock &m_clock;
};
