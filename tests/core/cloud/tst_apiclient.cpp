#include "FakeCloudBackend.h"
#include "cloud/TessaronAPIClient.h"
#include "common/UuidText.h"

#include <QJsonArray>
#include <QNetworkAccessManager>
#include <QTcpServer>
#include <QTest>
#include <functional>

namespace {

const QUuid kProject = *UuidText::parse(u"7D1C1A5E-0000-4000-8000-0000000000B1");
const QUuid kTask = *UuidText::parse(u"7D1C1A5E-0000-4000-8000-0000000000C1");
const QUuid kTeam = *UuidText::parse(u"7D1C1A5E-0000-4000-8000-0000000000A1");
const QString kToken = QStringLiteral("tok en");

// One operation, run for its request only; answers whether it succeeded.
using Operation = std::function<bool(TessaronAPIClient &, const QString &)>;

template<typename T> bool succeeded(QCoro::Task<Result<T>> task)
{
    const auto result = awaitTask(std::move(task));
    return result && result->ok();
}

QMap<QString, Operation> operations()
{
    QMap<QString, Operation> map;
    map["fetchAuthContext"]
        = [](TessaronAPIClient &c, const QString &b) { return succeeded(c.fetchAuthContext(b, kToken)); };
    map["createTeam"]
        = [](TessaronAPIClient &c, const QString &b) { return succeeded(c.createTeam(b, kToken, "Ops")); };
    map["exchangeGoogleNativeIDToken"]
        = [](TessaronAPIClient &c, const QString &b) { return succeeded(c.exchangeGoogleNativeIDToken(b, "id-tok")); };
    map["exchangeGoogleCallback"] = [](TessaronAPIClient &c, const QString &b) {
        return succeeded(c.exchangeGoogleCallback(b, "tessaron://cb?code=1/2"));
    };
    map["logout"] = [](TessaronAPIClient &c, const QString &b) { return succeeded(c.logout(b, kToken)); };
    map["acceptInvite"]
        = [](TessaronAPIClient &c, const QString &b) { return succeeded(c.acceptInvite(b, kToken, "abc")); };
    map["createInvite"] = [](TessaronAPIClient &c, const QString &b) {
        return succeeded(c.createInvite(b, kToken, kTeam, "bo@example.com", BL_TeamMembershipRole::admin, 48));
    };
    map["registerProject"] = [](TessaronAPIClient &c, const QString &b) {
        return succeeded(c.registerProject(b, kToken, kProject, "Site", "/srv/site", kTeam));
    };
    map["registerNode"] = [](TessaronAPIClient &c, const QString &b) {
        return succeeded(c.registerNode(b, kToken, "inst-1", BL_NodeType::mainNode, std::nullopt, "Linux", "0.1.0"));
    };
    map["emitNodeHeartbeat"] = [](TessaronAPIClient &c, const QString &b) {
        return succeeded(c.emitNodeHeartbeat(b, kToken, "inst-1", BL_NodeHealthStatus::healthy,
            TimePoint::fromUnixSeconds(1767607200), 12, {{"check_count", "3"}, {"source", "health_snapshot"}}));
    };
    map["listTasks"]
        = [](TessaronAPIClient &c, const QString &b) { return succeeded(c.listTasks(b, kToken, kProject)); };
    map["patchTask"] = [](TessaronAPIClient &c, const QString &b) {
        return succeeded(
            c.patchTask(b, kToken, kProject, kTask, QJsonObject {{"z", 1}, {"a", QJsonObject {{"y", 1}, {"b", 2}}}}));
    };
    map["createTask"] = [](TessaronAPIClient &c, const QString &b) {
        return succeeded(c.createTask(b, kToken, kProject, QJsonObject {{"status", "queued"}}));
    };
    map["patchTaskWorkerState"] = [](TessaronAPIClient &c, const QString &b) {
        return succeeded(c.patchTaskWorkerState(b, kToken, kProject, kTask, "workerCompleted", std::nullopt));
    };
    map["patchTaskDelegationState"] = [](TessaronAPIClient &c, const QString &b) {
        return succeeded(c.patchTaskDelegationState(b, kToken, kProject, kTask, "claimed"));
    };
    map["deleteTask"]
        = [](TessaronAPIClient &c, const QString &b) { return succeeded(c.deleteTask(b, kToken, kProject, kTask)); };
    return map;
}

} // namespace

class TestAPIClient : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeCloudBackend> m_backend;
    QNetworkAccessManager m_network;

    std::unique_ptr<TessaronAPIClient> client(TessaronAPIClient::Options options = {})
    {
        return std::make_unique<TessaronAPIClient>(&m_network, options);
    }

private slots:
    void initTestCase()
    {
        m_backend = std::make_unique<FakeCloudBackend>();
        QVERIFY2(m_backend->isRunning(), "the fake backend did not start");
    }
    void init() { m_backend->reset(); }

    void requestShape_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("authorized");
        QTest::addColumn<QByteArray>("body"); // empty: no body and no Content-Type

        const QString p = QStringLiteral("/v1/projects/7d1c1a5e-0000-4000-8000-0000000000b1");
        const QString t = p + QStringLiteral("/tasks/7d1c1a5e-0000-4000-8000-0000000000c1");
        QTest::newRow("me") << "fetchAuthContext"
                            << "GET"
                            << "/v1/me" << true << QByteArray();
        QTest::newRow("team") << "createTeam"
                              << "POST"
                              << "/v1/teams" << true << QByteArray(R"({"name":"Ops"})");
        QTest::newRow("native") << "exchangeGoogleNativeIDToken"
                                << "POST"
                                << "/v1/auth/google/native-signin" << false << QByteArray(R"({"idToken":"id-tok"})");
        QTest::newRow("callback") << "exchangeGoogleCallback"
                                  << "POST"
                                  << "/v1/auth/google/exchange" << false
                                  << QByteArray(R"({"callbackURL":"tessaron:\/\/cb?code=1\/2"})");
        QTest::newRow("logout") << "logout"
                                << "POST"
                                << "/v1/auth/logout" << true << QByteArray();
        QTest::newRow("accept") << "acceptInvite"
                                << "POST"
                                << "/v1/invites/accept" << true << QByteArray(R"({"token":"abc"})");
        QTest::newRow("invite") << "createInvite"
                                << "POST"
                                << "/v1/teams/7d1c1a5e-0000-4000-8000-0000000000a1/invites" << true
                                << QByteArray(R"({"email":"bo@example.com","expiresInHours":48,"role":"admin"})");
        QTest::newRow("project") << "registerProject"
                                 << "POST"
                                 << "/v1/projects" << true
                                 << QByteArray(
                                        R"({"id":"7d1c1a5e-0000-4000-8000-0000000000b1","name":"Site",)"
                                        R"("rootPath":"\/srv\/site","teamId":"7d1c1a5e-0000-4000-8000-0000000000a1"})");
        QTest::newRow("node")
            << "registerNode"
            << "POST"
            << "/v1/nodes/register" << true
            << QByteArray(
                   R"({"app_version":"0.1.0","instance_id":"inst-1","node_type":"mainNode","platform":"Linux"})");
        QTest::newRow("heartbeat")
            << "emitNodeHeartbeat"
            << "POST"
            << "/v1/nodes/heartbeat" << true
            << QByteArray(
                   R"({"health_checked_at":"2026-01-05T10:00:00Z","health_status":"healthy",)"
                   R"("instance_id":"inst-1","metadata":{"check_count":"3","source":"health_snapshot"},"uptime_seconds":12})");
        QTest::newRow("list") << "listTasks"
                              << "GET" << p + "/tasks" << true << QByteArray();
        QTest::newRow("patch") << "patchTask"
                               << "PATCH" << t << true << QByteArray(R"({"a":{"b":2,"y":1},"z":1})");
        QTest::newRow("create") << "createTask"
                                << "POST" << p + "/tasks" << true << QByteArray(R"({"status":"queued"})");
        QTest::newRow("worker") << "patchTaskWorkerState"
                                << "PATCH" << t + "/worker-state" << true
                                << QByteArray(R"({"worker_state":"workerCompleted"})");
        QTest::newRow("delegation") << "patchTaskDelegationState"
                                    << "PATCH" << t + "/delegation" << true
                                    << QByteArray(R"({"delegation_state":"claimed"})");
        QTest::newRow("delete") << "deleteTask"
                                << "DELETE" << t << true << QByteArray();
    }
    void requestShape()
    {
        QFETCH(QString, operation);
        QFETCH(QString, method);
        QFETCH(QString, path);
        QFETCH(bool, authorized);
        QFETCH(QByteArray, body);
        auto api = client();
        // A trailing slash after "/v1" makes no difference to the path.
        operations().value(operation)(*api, m_backend->apiRoot() + QStringLiteral("/"));
        const auto requests = m_backend->requests();
        QCOMPARE(requests.size(), 1);
        const auto &request = requests.first();
        QCOMPARE(request.method, method);
        QCOMPARE(request.path, path);
        QVERIFY(request.query.isEmpty());
        QCOMPARE(request.hasHeader("authorization"), authorized);
        if (authorized)
            QCOMPARE(request.header("authorization"), QStringLiteral("Bearer tok en"));
        QCOMPARE(request.hasHeader("content-type"), !body.isEmpty());
        if (!body.isEmpty())
            QCOMPARE(request.header("content-type"), QStringLiteral("application/json"));
        QCOMPARE(request.body, body);
    }

    void statusErrors_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QString>("message");
        QTest::newRow("299 passes") << 299 << QByteArray(R"({"tasks":[]})") << QString();
        QTest::newRow("300") << 300 << QByteArray("moved") << "Server returned 300: moved";
        QTest::newRow("404 message") << 404 << QByteArray(R"({"message":"No such project"})")
                                     << "Server returned 404: No such project";
        QTest::newRow("empty message kept") << 409 << QByteArray(R"({"message":""})") << "Server returned 409: ";
        QTest::newRow("500 without message")
            << 500 << QByteArray(R"({"error":"x"})") << R"(Server returned 500: {"error":"x"})";
        QTest::newRow("500 null message")
            << 500 << QByteArray(R"({"message":null})") << R"(Server returned 500: {"message":null})";
        QTest::newRow("503 empty") << 503 << QByteArray() << "Server returned 503: ";
        QTest::newRow("502 not UTF-8") << 502 << QByteArray("\xff\xfe\xfd")
                                       << "Server returned 502: Unknown server error";
    }
    void statusErrors()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, reply);
        QFETCH(QString, message);
        m_backend->script(
            {{"path", "/v1/projects/*"}, {"status", status}, {"body_b64", QString::fromLatin1(reply.toBase64())}});
        auto api = client();
        const auto result = awaitTask(api->listTasks(m_backend->apiRoot(), kToken, kProject));
        QVERIFY(result);
        if (message.isEmpty()) {
            QVERIFY(result->ok());
            return;
        }
        QVERIFY(!result->ok());
        QCOMPARE(result->errorMessage(), message);
        QVERIFY(TessaronAPIClient::isHTTPStatus(result->error(), status));
    }

    void emptySuccessfulReplies()
    {
        auto api = client();
        m_backend->script({{"path", "/v1/*"}, {"behaviour", "empty"}, {"times", 100}});
        QVERIFY(awaitTask(api->logout(m_backend->apiRoot(), kToken))->ok());
        QVERIFY(awaitTask(api->deleteTask(m_backend->apiRoot(), kToken, kProject, kTask))->ok());
        const auto patched = awaitTask(api->patchTask(m_backend->apiRoot(), kToken, kProject, kTask, {}));
        QVERIFY(patched->ok() && !patched->value());
        const auto me = awaitTask(api->fetchAuthContext(m_backend->apiRoot(), kToken));
        QVERIFY(!me->ok());
        QVERIFY(me->errorMessage().startsWith(QStringLiteral("Failed to decode server response: ")));
        const auto list = awaitTask(api->listTasks(m_backend->apiRoot(), kToken, kProject));
        QVERIFY(!list->ok());
        QCOMPARE(list->error().domain, QString::fromLatin1(TessaronAPIClient::kJSONDomain));
    }

    void badReplies_data()
    {
        QTest::addColumn<QString>("behaviour");
        QTest::addColumn<QString>("messageStart");
        QTest::newRow("malformed") << "malformed"
                                   << "Failed to decode server response: ";
        QTest::newRow("huge") << "huge"
                              << "Failed to decode server response: The response is larger than";
        QTest::newRow("stalled") << "stall"
                                 << "The request timed out.";
        QTest::newRow("cut") << "cut"
                             << "";
    }
    void badReplies()
    {
        QFETCH(QString, behaviour);
        QFETCH(QString, messageStart);
        m_backend->script({{"path", "/v1/me"}, {"behaviour", behaviour}, {"seconds", 3}});
        TessaronAPIClient::Options options;
        options.timeoutMs = 400;
        options.maxResponseBytes = 1024 * 1024;
        auto api = client(options);
        const auto result = awaitTask(api->fetchAuthContext(m_backend->apiRoot(), kToken));
        QVERIFY(result);
        QVERIFY(!result->ok());
        QVERIFY2(result->errorMessage().startsWith(messageStart), qPrintable(result->errorMessage()));
        QVERIFY(!result->errorMessage().isEmpty());
        // The backend is still usable afterwards.
        QVERIFY(awaitTask(api->fetchAuthContext(m_backend->apiRoot(), kToken))->ok());
    }

    void closedPort()
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 port = probe.serverPort();
        probe.close();
        auto api = client();
        const auto result
            = awaitTask(api->fetchAuthContext(QStringLiteral("http://127.0.0.1:%1/v1").arg(port), kToken));
        QVERIFY(!result->ok());
        QCOMPARE(result->error().domain, QString::fromLatin1(TessaronAPIClient::kTransportDomain));
        QCOMPARE(result->error().code, int(QNetworkReply::ConnectionRefusedError));
    }

    void repliesAreMapped()
    {
        auto api = client();
        const auto node = awaitTask(api->registerNode(
            m_backend->apiRoot(), kToken, "inst-9", BL_NodeType::subNode, "a@b.c", "Linux", std::nullopt));
        QVERIFY(node->ok());
        QCOMPARE(node->value().instanceID, QStringLiteral("inst-9"));
        QCOMPARE(node->value().nodeType, std::optional<BL_NodeType>(BL_NodeType::subNode));
        const auto created = awaitTask(api->createTask(m_backend->apiRoot(), kToken, kProject,
            QJsonObject {
                {"status", "queued"}, {"input_data", QJsonObject {{"prompt", "x"}}}, {"metadata", QJsonObject {}}}));
        QVERIFY(created->ok() && created->value());
        QCOMPARE(created->value()->projectID, kProject);
        const auto list = awaitTask(api->listTasks(m_backend->apiRoot(), kToken, kProject));
        QCOMPARE(list->value().size(), 1);
        QCOMPARE(list->value().first().blID, created->value()->blID);
    }
};

QTEST_GUILESS_MAIN(TestAPIClient)
#include "tst_apiclient.moc"
