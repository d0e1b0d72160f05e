#include "RawHttpClient.h"
#include "node/LocalTaskViewerServer.h"
#include "node/LocalViewerListener.h"

#include <QMutex>
#include <QTcpServer>
#include <QtConcurrent>
#include <QtTest>
#include <thread>

using namespace LocalViewer;
using RawHttpClient::Exchange;

namespace {

const QString kToken = QStringLiteral("0123456789abcdef0123456789abcdef");
const QByteArray kAuth = "x-varn-token: 0123456789abcdef0123456789abcdef\r\n";
const QUuid kProject = QUuid::fromString(QStringLiteral("{7c9e6679-7425-40de-944b-e07fc1f90ae7}"));
const QUuid kOther = QUuid::fromString(QStringLiteral("{0f8fad5b-d9cb-469f-a165-70867728950e}"));

// Handlers that answer at once and remember what they were called with.
struct FakeBoard
{
    QMutex mutex;
    QStringList calls;
    QList<CreateTaskRequest> created;
    bool createResult = true;

    void note(const QString &call)
    {
        QMutexLocker lock(&mutex);
        calls.append(call);
    }

    LocalViewerHandlers handlers()
    {
        LocalViewerHandlers h;
        h.fetchWorkspaces = [this] {
            note(QStringLiteral("workspaces"));
            return QtFuture::makeReadyFuture(QList<WorkspaceSummary> {
                WorkspaceSummary {kProject, "One", 1, 0, 0, 0, 0}, WorkspaceSummary {kOther, "Two", 0, 0, 0, 0, 0}});
        };
        h.fetchTasks = [this](std::optional<QUuid> id) {
            note(QStringLiteral("tasks ") + (id ? id->toString(QUuid::WithoutBraces) : QStringLiteral("none")));
            return QtFuture::makeReadyFuture(QList<TaskSummary> {});
        };
        h.fetchTaskDetails = [this](QUuid, QUuid) {
            note(QStringLiteral("details"));
            return QtFuture::makeReadyFuture(std::optional<TaskDetailResponse> {});
        };
        h.createTask = [this](CreateTaskRequest request) {
            QMutexLocker lock(&mutex);
            created.append(request);
            return QtFuture::makeReadyFuture(createResult);
        };
        h.moveTask = [this](MoveTaskRequest) {
            note(QStringLiteral("move"));
            return QtFuture::makeReadyFuture();
        };
        h.fetchAuthContext = [this](std::optional<QString>, std::optional<QString>, std::optional<QString>) {
            note(QStringLiteral("auth"));
            return QtFuture::makeReadyFuture(std::optional<AuthContextResponse> {});
        };
        h.resolveSubmitterMAC = [](const QString &ip) -> std::optional<QString> {
            return ip == QLatin1String("127.0.0.1") ? std::optional<QString>(QStringLiteral("aa:b:cc:d:ee:f"))
                                                    : std::nullopt;
        };
        return h;
    }
};

} // namespace

class TestLocalViewerServer : public QObject
{
    Q_OBJECT

    FakeBoard *m_board = nullptr;
    LocalTaskViewerServer *m_server = nullptr;
    quint16 m_port = 0;

    Exchange send(const QList<QByteArray> &pieces, RawHttpClient::Options options = {})
    {
        return RawHttpClient::exchange(m_port, pieces, options);
    }

private slots:
    void init()
    {
        m_board = new FakeBoard;
        LocalTaskViewerServer::Options options;
        options.handlers = m_board->handlers();
        options.accessToken = kToken;
        options.page = "<html>page</html>";
        options.requestDeadlineMs = 400;
        m_server = new LocalTaskViewerServer(std::move(options));
        QVERIFY(m_server->start(0));
        m_port = *m_server->boundPort();
    }

    void cleanup()
    {
        delete m_server;
        delete m_board;
    }

    void responseFramingIsExact()
    {
        const Exchange answer = send({"PUT / HTTP/1.1\r\n\r\n"});
        QCOMPARE(answer.received,
            QByteArray("HTTP/1.1 404 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
                       "Content-Length: 9\r\nConnection: close\r\n\r\nNot found"));
        QVERIFY(answer.closedByServer);
    }

    void framing_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        const QByteArray moveBody
            = R"({"projectID":"7c9e6679-7425-40de-944b-e07fc1f90ae7","taskID":"0f8fad5b-d9cb-469f-a165-70867728950e","status":"queued"})";
        const QByteArray moveHead = "POST /api/move HTTP/1.1\r\n" + kAuth + "Content-Length: ";
        QTest::newRow("page in one piece")
            << QList<QByteArray> {"GET / HTTP/1.1\r\n\r\n"} << 200 << QByteArray("<html>page</html>");
        QTest::newRow("page with query, no version")
            << QList<QByteArray> {"GET /?token=x\r\n\r\n"} << 200 << QByteArray("<html>page</html>");
        QTest::newRow("byte by byte") << QList<QByteArray> {"G", "ET", " / H", "TTP/1.1\r", "\n\r", "\n"} << 200
                                      << QByteArray("<html>page</html>");
        QTest::newRow("body in second piece")
            << QList<QByteArray> {moveHead + QByteArray::number(moveBody.size()) + "\r\n\r\n", moveBody} << 200
            << QByteArray("ok");
        QTest::newRow("bytes past the length ignored")
            << QList<QByteArray> {moveHead + QByteArray::number(moveBody.size()) + "\r\n\r\n" + moveBody + "garbage"}
            << 200 << QByteArray("ok");
        QTest::newRow("length with plus sign")
            << QList<QByteArray> {moveHead + "+" + QByteArray::number(moveBody.size()) + "\r\n\r\n" + moveBody} << 200
            << QByteArray("ok");
        QTest::newRow("length in capitals, last wins")
            << QList<QByteArray> {"POST /api/move HTTP/1.1\r\n" + kAuth + "CONTENT-LENGTH: 1\r\ncontent-length: "
                   + QByteArray::number(moveBody.size()) + "\r\nno colon here\r\n\r\n" + moveBody}
            << 200 << QByteArray("ok");
        QTest::newRow("negative length is absent")
            << QList<QByteArray> {moveHead + "-1\r\n\r\n" + moveBody} << 200 << QByteArray("ok");
        QTest::newRow("short body cut") << QList<QByteArray> {moveHead + "3\r\n\r\n" + moveBody} << 400
                                        << QByteArray("Invalid payload");
        QTest::newRow("lower-case method")
            << QList<QByteArray> {"get / HTTP/1.1\r\n\r\n"} << 404 << QByteArray("Not found");
        QTest::newRow("HEAD") << QList<QByteArray> {"HEAD / HTTP/1.1\r\n\r\n"} << 404 << QByteArray("Not found");
        QTest::newRow("POST page") << QList<QByteArray> {"POST / HTTP/1.1\r\n\r\n"} << 404 << QByteArray("Not found");
        QTest::newRow("GET move") << QList<QByteArray> {"GET /api/move HTTP/1.1\r\n" + kAuth + "\r\n"} << 404
                                  << QByteArray("Not found");
        QTest::newRow("one word") << QList<QByteArray> {"GET\r\n\r\n"} << 400 << QByteArray("Bad request");
        QTest::newRow("header not UTF-8")
            << QList<QByteArray> {"GET / HTTP/1.1\r\nX: \xff\xfe\r\n\r\n"} << 400 << QByteArray("Bad request");
        QTest::newRow("NUL in a header") << QList<QByteArray> {QByteArray("GET / HTTP/1.1\r\nX: a\0b\r\n\r\n", 27)}
                                         << 200 << QByteArray("<html>page</html>");
        QTest::newRow("huge length") << QList<QByteArray> {moveHead + "99999999999999999999999\r\n\r\n"} << 413
                                     << QByteArray("Request too large");
        QTest::newRow("length just past the cap")
            << QList<QByteArray> {moveHead + "2097152\r\n\r\n"} << 413 << QByteArray("Request too large");
    }

    void framing()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        RawHttpClient::Options options;
        options.pauseBetweenPiecesMs = 20;
        const Exchange answer = send(pieces, options);
        QCOMPARE(RawHttpClient::status(answer.received), status);
        QCOMPARE(RawHttpClient::body(answer.received), body);
        QVERIFY(answer.closedByServer);
    }

    void sizeCapIsInclusive()
    {
        const QByteArray head = "POST /api/move HTTP/1.1\r\n" + kAuth + "Content-Length: ";
        auto request = [&](qint64 total) {
            QByteArray start = head + "0000000\r\n\r\n";
            const qint64 bodySize = total - start.size();
            start = head + QByteArray::number(bodySize).rightJustified(7, '0') + "\r\n\r\n";
            return start + QByteArray(bodySize, ' ');
        };
        const Exchange exact = send({request(LocalViewerHttp::kMaxRequestSizeBytes)});
        QCOMPARE(RawHttpClient::status(exact.received), 400); // routed: the body is no JSON
        const Exchange over = send({request(LocalViewerHttp::kMaxRequestSizeBytes + 1)});
        QCOMPARE(RawHttpClient::status(over.received), 413);
        // No header terminator at all: the buffer cap answers.
        const Exchange endless = send({"GET /" + QByteArray(LocalViewerHttp::kMaxRequestSizeBytes + 10, 'a')});
        QCOMPARE(RawHttpClient::status(endless.received), 413);
    }

    void oneRequestPerConnection()
    {
        const QByteArray page = "GET / HTTP/1.1\r\n\r\n";
        const Exchange answer = send({page + page});
        QCOMPARE(answer.received.count("HTTP/1.1"), 1);
    }

    void halfClosedPeerIsAnswered()
    {
        // The peer stops sending mid-request: what arrived is routed and
        // answered while the peer still reads.
        RawHttpClient::Options halfClosed;
        halfClosed.halfCloseAfterSending = true;
        QCOMPARE(
            RawHttpClient::body(send({"GET /api/tasks HTTP/1.1\r\n"}, halfClosed).received), QByteArray("Bad request"));
        QCOMPARE(RawHttpClient::status(send({QByteArray()}, halfClosed).received), 400);
        QCOMPARE(RawHttpClient::status(send({RawHttpClient::get("/")}, halfClosed).received), 200);
    }

    void slowRequestIsClosedUnanswered()
    {
        QElapsedTimer timer;
        timer.start();
        RawHttpClient::Options options;
        options.pauseBetweenPiecesMs = 250;
        const Exchange answer = send({"GET / HTTP/1.1\r\n", "X: 1\r\n", "Y: 2\r\n", "\r\n"}, options);
        QVERIFY(answer.received.isEmpty());
        QVERIFY(answer.closedByServer);
        QVERIFY(timer.elapsed() < 3000);
    }

    void token_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        const QString t = kToken;
        QTest::newRow("query") << RawHttpClient::get("/api/workspaces?token=" + t) << 200;
        QTest::newRow("bearer") << RawHttpClient::get("/api/workspaces", "Authorization: Bearer " + t.toUtf8() + "\r\n")
                                << 200;
        QTest::newRow("x-varn-token") << RawHttpClient::get("/api/workspaces", kAuth) << 200;
        QTest::newRow("one of several") << RawHttpClient::get("/api/workspaces?token=wrong", kAuth) << 200;
        QTest::newRow("missing") << RawHttpClient::get("/api/workspaces") << 401;
        QTest::newRow("wrong") << RawHttpClient::get("/api/workspaces?token=0123456789abcdef0123456789abcdee") << 401;
        QTest::newRow("shorter") << RawHttpClient::get("/api/workspaces?token=0123456789abcdef") << 401;
        QTest::newRow("longer") << RawHttpClient::get("/api/workspaces?token=" + t + "0") << 401;
        QTest::newRow("empty") << RawHttpClient::get("/api/workspaces?token=") << 401;
        QTest::newRow("unknown api path") << RawHttpClient::get("/api/nothing") << 401;
        QTest::newRow("post without") << RawHttpClient::post("/api/tasks", R"({"description":"x","status":"queued"})")
                                      << 401;
        QTest::newRow("encoded path") << RawHttpClient::get("/%61pi/workspaces") << 401;
        QTest::newRow("encoded dots") << RawHttpClient::get("/api/..%2F..%2Fetc") << 401;
        QTest::newRow("dots with token") << RawHttpClient::get("/api/..%2Fworkspaces", kAuth) << 404;
        QTest::newRow("traversal into api") << RawHttpClient::get("/x/../api/workspaces") << 404;
        QTest::newRow("encoded traversal") << RawHttpClient::get("/%2E%2E/api/workspaces") << 404;
        QTest::newRow("page without token") << RawHttpClient::get("/") << 200;
    }

    void token()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        const Exchange answer = send({request});
        QCOMPARE(RawHttpClient::status(answer.received), status);
        if (status == 401) {
            QCOMPARE(RawHttpClient::body(answer.received), QByteArray("Unauthorized"));
            QMutexLocker lock(&m_board->mutex);
            QVERIFY(m_board->calls.isEmpty());
            QVERIFY(m_board->created.isEmpty());
        }
    }

    void sameSecretComparesWhole()
    {
        QVERIFY(LocalViewerRouter::sameSecret("abc", "abc"));
        QVERIFY(!LocalViewerRouter::sameSecret("abc", "abd"));
        QVERIFY(!LocalViewerRouter::sameSecret("abc", "abcd"));
        QVERIFY(!LocalViewerRouter::sameSecret("", "a"));
    }

    void routes_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("call");
        const QString p = kProject.toString(QUuid::WithoutBraces);
        const QString o = kOther.toString(QUuid::WithoutBraces);
        QTest::newRow("tasks without project")
            << RawHttpClient::get("/api/tasks", kAuth) << 200 << QByteArray("[]") << "tasks none";
        QTest::newRow("tasks bad project")
            << RawHttpClient::get("/api/tasks?project_id=zzz", kAuth) << 200 << QByteArray("[]") << "tasks none";
        QTest::newRow("tasks first item wins") << RawHttpClient::get("/api/tasks?project_id=" + o + "&project_id=" + p,
            kAuth) << 200 << QByteArray("[]") << "tasks " + o;
        QTest::newRow("details without task") << RawHttpClient::get("/api/task-details?project_id=" + p, kAuth) << 400
                                              << QByteArray("Missing project_id or task_id") << QString();
        QTest::newRow("details not found")
            << RawHttpClient::get("/api/task-details?project_id=" + p + "&task_id=" + o, kAuth) << 404
            << QByteArray("Task not found") << "details";
        QTest::newRow("auth context not found") << RawHttpClient::get("/api/auth-context?name=x", kAuth) << 404
                                                << QByteArray("User/auth context not found") << "auth";
        QTest::newRow("organizations without handler")
            << RawHttpClient::get("/api/organizations", kAuth) << 200 << QByteArray("[]") << QString();
        QTest::newRow("move of an unknown task") << RawHttpClient::post("/api/move",
            R"({"projectID":")" + p.toUtf8() + R"(","taskID":")" + o.toUtf8() + R"(","status":"failed"})", kAuth)
                                                 << 200 << QByteArray("ok") << "move";
        QTest::newRow("delegate bad body") << RawHttpClient::post("/api/delegate", "{}", kAuth) << 400
                                           << QByteArray("Invalid payload for /api/delegate") << QString();
        QTest::newRow("create bad body") << RawHttpClient::post("/api/tasks", "[]", kAuth) << 400
                                         << QByteArray("Invalid payload for /api/tasks") << QString();
        QTest::newRow("accept bad body") << RawHttpClient::post("/api/invites/accept", "{}", kAuth) << 400
                                         << QByteArray("Invalid payload or invite") << QString();
        QTest::newRow("workspace create refused")
            << RawHttpClient::post("/api/workspaces/create", R"({"name":"x"})", kAuth) << 400
            << QByteArray("Invalid payload") << QString();
    }

    void routes()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, call);
        const Exchange answer = send({request});
        QCOMPARE(RawHttpClient::status(answer.received), status);
        QCOMPARE(RawHttpClient::body(answer.received), body);
        QMutexLocker lock(&m_board->mutex);
        QCOMPARE(m_board->calls, call.isEmpty() ? QStringList() : QStringList {call});
    }

    void bootstrapTakesTheFirstWorkspace()
    {
        const Exchange answer = send({RawHttpClient::get("/api/bootstrap", kAuth)});
        const auto response
            = BootstrapResponse::fromJson(QJsonDocument::fromJson(RawHttpClient::body(answer.received)).object());
        QVERIFY(response);
        QCOMPARE(response->activeWorkspaceID, std::optional<QUuid>(kProject));
        QCOMPARE(response->workspaces.size(), 2);
        // An unknown id is answered as asked.
        const QUuid unknown = QUuid::createUuid();
        const Exchange asked
            = send({RawHttpClient::get("/api/bootstrap?project_id=" + unknown.toString(QUuid::WithoutBraces), kAuth)});
        QVERIFY(RawHttpClient::body(asked.received)
                    .contains("\"activeWorkspaceID\":\"" + unknown.toString(QUuid::WithoutBraces).toUpper().toUtf8()));
        QMutexLocker lock(&m_board->mutex);
        QCOMPARE(
            m_board->calls.mid(0, 2), (QStringList {"workspaces", "tasks " + kProject.toString(QUuid::WithoutBraces)}));
    }

    void createTaskFillsTheSubmitter()
    {
        const QByteArray body
            = R"({"description":"d","status":"backlog","submitterIP":"10.0.0.9","submitterMAC":"x","submitterUsername":"body"})";
        QCOMPARE(
            RawHttpClient::body(
                send({RawHttpClient::post("/api/tasks", body, kAuth + "X-Submitter-Username:  ana \r\n")}).received),
            QByteArray("ok"));
        QCOMPARE(RawHttpClient::body(
                     send({RawHttpClient::post("/api/tasks", body, kAuth + "x-submitter-username: \r\n")}).received),
            QByteArray("ok"));
        m_board->createResult = false;
        const Exchange refused = send({RawHttpClient::post("/api/tasks", body, kAuth)});
        QCOMPARE(RawHttpClient::status(refused.received), 422);
        QCOMPARE(RawHttpClient::body(refused.received),
            QByteArray("Task could not be created. Check project_id and workspace selection."));
        QMutexLocker lock(&m_board->mutex);
        QCOMPARE(m_board->created.size(), 3);
        QCOMPARE(m_board->created[0].submitterIP, std::optional<QString>("127.0.0.1"));
        QCOMPARE(m_board->created[0].submitterMAC, std::optional<QString>("aa:b:cc:d:ee:f"));
        QCOMPARE(m_board->created[0].submitterUsername, std::optional<QString>("ana"));
        QCOMPARE(m_board->created[1].submitterUsername, std::optional<QString>("body"));
        QCOMPARE(m_board->created[0].status, BL_TaskStatus::backlog);
    }

    void peerAddressText()
    {
        QCOMPARE(LocalViewerListener::peerText(QHostAddress(QStringLiteral("::ffff:192.168.1.7"))),
            std::optional<QString>("192.168.1.7"));
        QCOMPARE(
            LocalViewerListener::peerText(QHostAddress(QStringLiteral("fe80::1"))), std::optional<QString>("fe80::1"));
        QCOMPARE(LocalViewerListener::peerText(QHostAddress()), std::nullopt);
    }

    void hostileClientsDoNotStopTheServer()
    {
        RawHttpClient::Options silent;
        silent.readTimeoutMs = 3000;
        QList<QFuture<Exchange>> hostile;
        // Silent and slow peers, more than the connection limit allows at once.
        for (int i = 0; i < 200; ++i)
            hostile.append(RawHttpClient::exchangeAsync(m_port, {"GET / HTTP/1.1\r\n"}, silent));
        RawHttpClient::Options halfClosed;
        halfClosed.halfCloseAfterSending = true;
        for (int i = 0; i < 10; ++i) {
            hostile.append(RawHttpClient::exchangeAsync(m_port, {"GET /api/tasks HTTP/1.1\r\n"}, halfClosed));
            hostile.append(RawHttpClient::exchangeAsync(m_port, {"\x01\x02garbage\r\n\r\n"}));
            hostile.append(RawHttpClient::exchangeAsync(m_port, {RawHttpClient::get("/api/..%2Ftasks")}));
        }
        // Meanwhile a client with the token keeps working.
        for (int i = 0; i < 20; ++i) {
            const Exchange answer = send({RawHttpClient::post(
                "/api/tasks", R"({"description":"t)" + QByteArray::number(i) + R"(","status":"queued"})", kAuth)});
            QCOMPARE(RawHttpClient::body(answer.received), QByteArray("ok"));
        }
        for (QFuture<Exchange> &future : hostile)
            future.waitForFinished();
        for (qsizetype i = 200; i < hostile.size(); i += 3) {
            // A peer that stops sending mid-request is answered all the same.
            QCOMPARE(RawHttpClient::status(hostile[i].result().received), 400);
            QCOMPARE(RawHttpClient::status(hostile[i + 1].result().received), 400);
            QCOMPARE(RawHttpClient::status(hostile[i + 2].result().received), 401);
        }
        QCOMPARE(RawHttpClient::status(send({RawHttpClient::get("/")}).received), 200);
        QMutexLocker lock(&m_board->mutex);
        QCOMPARE(m_board->created.size(), 20);
    }

    void connectionLimitHoldsFurtherPeersBack()
    {
        LocalTaskViewerServer::Options options;
        options.page = "<html>page</html>";
        options.requestDeadlineMs = 600;
        options.maxConnections = 2;
        LocalTaskViewerServer server(std::move(options));
        QVERIFY(server.start(0));
        const quint16 port = *server.boundPort();
        RawHttpClient::Options silent;
        QList<QFuture<Exchange>> idle {RawHttpClient::exchangeAsync(port, {"GET / HTTP/1.1\r\n"}, silent),
            RawHttpClient::exchangeAsync(port, {"GET / HTTP/1.1\r\n"}, silent)};
        QThread::msleep(150);
        QElapsedTimer timer;
        timer.start();
        // Waits in the backlog until the deadline frees a place, then is served.
        const Exchange third = RawHttpClient::exchange(port, {RawHttpClient::get("/")});
        QCOMPARE(RawHttpClient::status(third.received), 200);
        QVERIFY(timer.elapsed() >= 300);
        for (QFuture<Exchange> &future : idle) {
            future.waitForFinished();
            QVERIFY(future.result().received.isEmpty());
        }
    }

    void handlerFuturesFinishingElsewhere()
    {
        // Handlers whose futures finish on other threads, some without a
        // value: every request is answered, with the fallback where needed.
        LocalTaskViewerServer::Options options;
        options.accessToken = kToken;
        std::atomic<int> calls {0};
        options.handlers.fetchWorkspaces = [&calls] {
            if (++calls % 5 == 0) {
                // Ends without a value, as when the application state goes away.
                QPromise<QList<WorkspaceSummary>> dropped;
                dropped.start();
                return dropped.future();
            }
            return QtConcurrent::run([] {
                return QList<WorkspaceSummary> {WorkspaceSummary {kProject, "One", 1, 0, 0, 0, 0}};
            });
        };
        LocalTaskViewerServer server(std::move(options));
        QVERIFY(server.start(0));
        const quint16 port = *server.boundPort();
        // Clients on threads of their own: the handlers take the shared pool.
        std::vector<QList<Exchange>> answers(8);
        std::vector<std::thread> clients;
        for (int c = 0; c < 8; ++c) {
            clients.emplace_back([port, &answers, c] {
                for (int i = 0; i < 60; ++i)
                    answers[c].append(RawHttpClient::exchange(port, {RawHttpClient::get("/api/workspaces", kAuth)}));
            });
        }
        for (std::thread &client : clients)
            client.join();
        int full = 0;
        for (const QList<Exchange> &list : answers) {
            for (const Exchange &answer : list) {
                QCOMPARE(RawHttpClient::status(answer.received), 200);
                const QByteArray body = RawHttpClient::body(answer.received);
                QVERIFY(body == "[]" || body.contains(kProject.toString(QUuid::WithoutBraces).toUpper().toUtf8()));
                full += body != "[]";
            }
        }
        QCOMPARE(calls.load(), 480);
        QCOMPARE(full, 480 - 480 / 5);
    }

    void largeAnswerReachesAHalfClosedPeerWhole()
    {
        // Larger than a socket takes at once, so the answer goes out in parts.
        QByteArray page(8 * 1024 * 1024, 'x');
        page.replace(0, 6, "<html>");
        LocalTaskViewerServer::Options options;
        options.page = page;
        LocalTaskViewerServer server(std::move(options));
        QVERIFY(server.start(0));
        RawHttpClient::Options halfClosed;
        halfClosed.halfCloseAfterSending = true;
        QList<QFuture<Exchange>> readers;
        for (int i = 0; i < 4; ++i)
            readers.append(RawHttpClient::exchangeAsync(*server.boundPort(), {"GET / HTTP/1.1\r\n\r\n"}, halfClosed));
        for (QFuture<Exchange> &reader : readers) {
            reader.waitForFinished();
            QCOMPARE(RawHttpClient::status(reader.result().received), 200);
            QVERIFY(RawHttpClient::body(reader.result().received) == page);
            QVERIFY(reader.result().closedByServer);
        }
    }

    void startAndStop()
    {
        int stops = 0;
        LocalTaskViewerServer::Options options;
        options.onStopped = [&stops] { ++stops; };
        LocalTaskViewerServer server(std::move(options));
        QVERIFY(!server.hasListener());
        QVERIFY(!server.start(m_port)); // taken by the fixture's server
        QVERIFY(!server.boundPort());
        QVERIFY(server.start(0));
        const quint16 port = *server.boundPort();
        QVERIFY(server.start(1)); // already running: the port is ignored
        QCOMPARE(*server.boundPort(), port);
        server.stop();
        QVERIFY(stops >= 1);
        QVERIFY(!server.boundPort());
        QTRY_VERIFY(!RawHttpClient::exchange(port, {"GET / HTTP/1.1\r\n\r\n"}).connected);
        QVERIFY(server.start(0)); // a stopped server starts again
    }
};

QTEST_GUILESS_MAIN(TestLocalViewerServer)
#include "tst_localviewerserver.moc"
