#include "TestSupport.h"
#include "common/Json.h"
#include "common/UuidText.h"
#include "state/TaskCreation.h"

#include <QtTest>

namespace {

const QUuid kWorkspace = QUuid::fromString(QStringLiteral("AAAAAAAA-1111-4222-8333-444444444444"));
const QUuid kDependencyA = QUuid::fromString(QStringLiteral("BBBBBBBB-0000-4000-8000-000000000001"));
const QUuid kDependencyB = QUuid::fromString(QStringLiteral("CCCCCCCC-0000-4000-8000-000000000002"));
const QUuid kManager = QUuid::fromString(QStringLiteral("DDDDDDDD-0000-4000-8000-000000000003"));

TaskCreationRequest composerRequest()
{
    TaskCreationRequest request;
    request.projectID = kWorkspace;
    request.title = QStringLiteral("Fix the build");
    request.acceptanceCriteria = QStringLiteral("CI is green");
    request.priority = QStringLiteral("high");
    request.sizeEstimate = QStringLiteral("M");
    return request;
}

} // namespace

Q_DECLARE_METATYPE(std::optional<QString>)

class TaskCreationTest : public QObject
{
    Q_OBJECT

private slots:
    void inputBytes_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("criteria");
        QTest::addColumn<std::optional<QString>>("description");
        QTest::addColumn<QByteArray>("expected");
        const std::optional<QString> none;
        QTest::newRow("three keys, criteria empty")
            << "  Fix  bug \n"
            << "" << none
            << QByteArray("{\"acceptance_criteria\":\"\",\"prompt\":\"Fix  bug\",\"title\":\"Fix  bug\"}");
        QTest::newRow("blank description left out")
            << "T"
            << " \n c \t" << std::optional(QStringLiteral(" \n\t "))
            << QByteArray("{\"acceptance_criteria\":\"c\",\"prompt\":\"T\",\"title\":\"T\"}");
        QTest::newRow("slashes escaped, description trimmed")
            << "Edit src/app.cpp"
            << "a/b" << std::optional(QStringLiteral("\n see docs/x \n"))
            << QByteArray("{\"acceptance_criteria\":\"a\\/b\",\"description\":\"see docs\\/x\",\"prompt\":\"Edit "
                          "src\\/app.cpp\",\"title\":\"Edit src\\/app.cpp\"}");
        QTest::newRow("quotes and non-ASCII")
            << "Say \"h\xc3\xa9\""
            << "" << none
            << QByteArray("{\"acceptance_criteria\":\"\",\"prompt\":\"Say \\\"h\xc3\xa9\\\"\",\"title\":\"Say "
                          "\\\"h\xc3\xa9\\\"\"}");
    }
    void inputBytes()
    {
        QFETCH(QString, title);
        QFETCH(QString, criteria);
        QFETCH(std::optional<QString>, description);
        QFETCH(QByteArray, expected);
        QCOMPARE(TaskCreation::taskInputJSON(title, criteria, description), expected);
    }

    void tagForPriority_data()
    {
        QTest::addColumn<QString>("priority");
        QTest::addColumn<QString>("tag");
        QTest::newRow("high") << "high"
                              << "urgent";
        QTest::newRow("HIGH") << "HIGH"
                              << "urgent";
        QTest::newRow("leading space") << " high"
                                       << "default";
        QTest::newRow("Medium") << "Medium"
                                << "build";
        QTest::newRow("low") << "low"
                             << "research";
        QTest::newRow("empty") << ""
                               << "default";
        QTest::newRow("urgent") << "urgent"
                                << "default";
    }
    void tagForPriority()
    {
        QFETCH(QString, priority);
        QFETCH(QString, tag);
        QCOMPARE(TaskCreation::tagForPriority(priority), tag);
    }

    void metadataBytes_data()
    {
        QTest::addColumn<QString>("priority");
        QTest::addColumn<QList<QUuid>>("dependencies");
        QTest::addColumn<QByteArray>("additional"); // JSON object text
        QTest::addColumn<std::optional<QString>>("workspaceName");
        QTest::addColumn<QString>("submitter");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray ws = "\"workspace_id\":\"aaaaaaaa-1111-4222-8333-444444444444\"";
        QTest::newRow("composer task")
            << "high" << QList<QUuid> {kDependencyB, kDependencyA} << QByteArray("{}")
            << std::optional(QStringLiteral("Web/App")) << "alice"
            << ("{\"dependencies\":[\"cccccccc-0000-4000-8000-000000000002\",\"bbbbbbbb-0000-4000-8000-000000000001\"],"
                "\"priority\":\"high\",\"size_estimate\":\"M\",\"submitter_username\":\"alice\",\"tag\":\"urgent\","
                   + ws + ",\"workspace_name\":\"Web\\/App\"}");
        QTest::newRow("unknown workspace, no submitter, priority kept as passed")
            << " high" << QList<QUuid> {} << QByteArray("{}") << std::optional<QString>() << ""
            << ("{\"dependencies\":[],\"priority\":\" high\",\"size_estimate\":\"M\",\"tag\":\"default\"," + ws
                   + ",\"workspace_name\":\"Unknown Workspace\"}");
        QTest::newRow("additional values replace built ones and keep their types")
            << "low" << QList<QUuid> {}
            << QByteArray("{\"tag\":\"custom\",\"workspace_name\":null,\"source\":\"voice\",\"n\":3,\"ok\":true,"
                          "\"extra\":{\"z\":1,\"a\":\"x/y\"},\"list\":[2,1]}")
            << std::optional(QStringLiteral("W")) << "bob"
            << ("{\"dependencies\":[],\"extra\":{\"a\":\"x\\/y\",\"z\":1},\"list\":[2,1],\"n\":3,\"ok\":true,"
                "\"priority\":\"low\",\"size_estimate\":\"M\",\"source\":\"voice\",\"submitter_username\":\"bob\","
                "\"tag\":\"custom\","
                   + ws + ",\"workspace_name\":null}");
        QTest::newRow("caller's empty submitter wins")
            << "medium" << QList<QUuid> {} << QByteArray("{\"submitter_username\":\"\"}")
            << std::optional(QStringLiteral("W")) << "bob"
            << ("{\"dependencies\":[],\"priority\":\"medium\",\"size_estimate\":\"M\",\"submitter_username\":\"\","
                "\"tag\":\"build\","
                   + ws + ",\"workspace_name\":\"W\"}");
    }
    void metadataBytes()
    {
        QFETCH(QString, priority);
        QFETCH(QList<QUuid>, dependencies);
        QFETCH(QByteArray, additional);
        QFETCH(std::optional<QString>, workspaceName);
        QFETCH(QString, submitter);
        QFETCH(QByteArray, expected);
        TaskCreationRequest request = composerRequest();
        request.priority = priority;
        request.dependencyIDs = dependencies;
        request.additionalMetadata = *Json::parseObject(additional);
        QCOMPARE(TaskCreation::taskMetadataJSON(request, workspaceName, submitter), expected);
    }

    void submitter_data()
    {
        QTest::addColumn<std::optional<QString>>("user");
        QTest::addColumn<QString>("expected");
        QTest::newRow("USER set") << std::optional(QStringLiteral("carol")) << "carol";
        QTest::newRow("USER empty: no submitter") << std::optional(QString()) << "";
        QTest::newRow("USER unset: login name") << std::optional<QString>() << "login";
    }
    void submitter()
    {
        QFETCH(std::optional<QString>, user);
        QFETCH(QString, expected);
        QCOMPARE(TaskCreation::submitterUsername(user, QStringLiteral("login")), expected);
    }

    void submitterOfThisProcess()
    {
        const QByteArray saved = qgetenv("USER");
        const bool wasSet = qEnvironmentVariableIsSet("USER");
        qputenv("USER", "dora");
        QCOMPARE(TaskCreation::currentSubmitterUsername(), QStringLiteral("dora"));
        qputenv("USER", "");
        QCOMPARE(TaskCreation::currentSubmitterUsername(), QString());
        qunsetenv("USER");
        const QString login = TaskCreation::processLoginName();
        const QString submitter = TaskCreation::currentSubmitterUsername();
        if (wasSet)
            qputenv("USER", saved);
        if (login.isEmpty())
            QSKIP("this process's user has no account entry");
        QCOMPARE(submitter, login);
    }

    void newTask()
    {
        TestSupport::PinnedClock clock(TimePoint::fromUnixSeconds(1700000000.25));
        TaskCreationRequest request = composerRequest();
        request.title = QStringLiteral("  Fix the build \n");
        request.initialStatus = BL_TaskStatus::queued;
        const auto made = TaskCreation::makeTask(request, QStringLiteral("W"), QStringLiteral("eve"), clock);
        QVERIFY(made.ok());
        const BL_Task &task = *made;
        QVERIFY(!task.blID.isNull());
        QCOMPARE(task.blID.version(), QUuid::Random);
        QCOMPARE(task.projectID, kWorkspace);
        QCOMPARE(task.status, BL_TaskStatus::queued);
        QCOMPARE(task.inputData, TaskCreation::taskInputJSON(request.title, request.acceptanceCriteria, std::nullopt));
        QCOMPARE(task.metadata, TaskCreation::taskMetadataJSON(request, QStringLiteral("W"), QStringLiteral("eve")));
        QVERIFY(!task.outputData);
        QVERIFY(!task.extraMetadata);
        QCOMPARE(task.workerState, BL_TaskWorkerState::notDelegated);
        QCOMPARE(task.delegationState, BL_TaskDelegationState::unallocated);
        QVERIFY(!task.workerSessionKey);
        QCOMPARE(task.taskHistoryData, QByteArray("[]"));
        QCOMPARE(task.taskConversationData, QByteArray("[]"));
        QCOMPARE(task.taskLastActivityDate, clock.now());
        QCOMPARE(task.createdAt, clock.now());
        QCOMPARE(task.updatedAt, clock.now());
        QVERIFY(TaskCreation::makeTask(request, QStringLiteral("W"), QString(), clock)->blID != task.blID);
    }

    void blankTitleIsRefused()
    {
        TaskCreationRequest request = composerRequest();
        request.title = QStringLiteral(" \n\t\u2028 ");
        const auto made = TaskCreation::makeTask(request, QStringLiteral("W"), QString());
        QVERIFY(!made.ok());
        QCOMPARE(made.errorMessage(), QStringLiteral("Title is required."));
    }

    void clientNodeText_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<std::optional<QString>>("description");
        QTest::addColumn<std::optional<QString>>("expected");
        QTest::newRow("title only") << " T " << std::optional<QString>() << std::optional(QStringLiteral("T"));
        QTest::newRow("description wins")
            << "T" << std::optional(QStringLiteral(" D ")) << std::optional(QStringLiteral("D"));
        QTest::newRow("empty title, description")
            << " " << std::optional(QStringLiteral("D")) << std::optional(QStringLiteral("D"));
        QTest::newRow("blank description")
            << "T" << std::optional(QStringLiteral("\n")) << std::optional(QStringLiteral("T"));
        QTest::newRow("nothing") << " " << std::optional(QStringLiteral(" ")) << std::optional<QString>();
    }
    void clientNodeText()
    {
        QFETCH(QString, title);
        QFETCH(std::optional<QString>, description);
        QFETCH(std::optional<QString>, expected);
        QCOMPARE(TaskCreation::clientNodeRequestText(title, description), expected);
    }

    void pendingSpawnKey_data()
    {
        QTest::addColumn<double>("unixSeconds");
        QTest::addColumn<QString>("milliseconds");
        QTest::newRow("whole second") << 1700000000.0 << "1700000000000";
        QTest::newRow("fraction dropped, not rounded") << 1700000000.9996 << "1700000000999";
        QTest::newRow("before 2001") << 978000000.5 << "978000000500";
    }
    void pendingSpawnKey()
    {
        QFETCH(double, unixSeconds);
        QFETCH(QString, milliseconds);
        const QUuid task = QUuid::fromString(QStringLiteral("EEEEEEEE-0000-4000-8000-00000000000A"));
        QCOMPARE(TaskCreation::pendingSpawnWorkerSessionKey(task, TimePoint::fromUnixSeconds(unixSeconds)),
            QStringLiteral("pending-spawn:") + milliseconds + QStringLiteral(":eeeeeeee-0000-4000-8000-00000000000a"));
    }

    void delegationMarksAnyTaskAgain_data()
    {
        QTest::addColumn<BL_TaskStatus>("status");
        QTest::newRow("queued") << BL_TaskStatus::queued;
        QTest::newRow("in progress") << BL_TaskStatus::inProgress;
        QTest::newRow("completed") << BL_TaskStatus::completed;
    }
    void delegationMarksAnyTaskAgain()
    {
        QFETCH(BL_TaskStatus, status);
        TestSupport::PinnedClock clock(TimePoint::fromUnixSeconds(1700000000));
        TaskCreationRequest request = composerRequest();
        request.initialStatus = status;
        BL_Task task = *TaskCreation::makeTask(request, std::nullopt, QString(), clock);
        task.workerState = BL_TaskWorkerState::workerCompleted;
        task.delegationState = BL_TaskDelegationState::completed;

        clock.advance(5.0015);
        const BL_Task first = TaskCreation::markedForDelegation(task, clock);
        QCOMPARE(first.status, status);
        QCOMPARE(first.workerState, BL_TaskWorkerState::delegatedAccepted);
        QCOMPARE(first.delegationState, BL_TaskDelegationState::spawnPending);
        QCOMPARE(first.workerSessionKey, TaskCreation::pendingSpawnWorkerSessionKey(task.blID, clock.now()));
        QCOMPARE(first.taskLastActivityDate, clock.now());
        QCOMPARE(first.updatedAt, clock.now());
        QCOMPARE(first.createdAt, task.createdAt);

        clock.advance(0.002);
        const BL_Task second = TaskCreation::markedForDelegation(first, clock);
        QVERIFY(second.workerSessionKey != first.workerSessionKey);
    }

    void creationAndDelegationEvents()
    {
        TestSupport::PinnedClock clock(TimePoint::fromUnixSeconds(1700000000));
        TaskCreationRequest request = composerRequest();
        request.initialStatus = BL_TaskStatus::inProgress;
        const BL_Task task = *TaskCreation::makeTask(request, std::nullopt, QString(), clock);
        clock.advance(1);

        const BL_Event created = TaskCreation::taskCreatedEvent(task, clock);
        QCOMPARE(created.type, BL_EventType::taskCreated);
        QCOMPARE(created.projectID, kWorkspace);
        QCOMPARE(created.taskID, task.blID);
        QCOMPARE(created.timestamp, clock.now());
        QCOMPARE(created.payload, QByteArray("{\"detail\":\"Task created in in_progress via composer.\"}"));

        const BL_Task marked = TaskCreation::markedForDelegation(task, clock);
        const BL_Event delegated = TaskCreation::taskDelegatedEvent(marked, kManager, QStringLiteral("manual"), clock);
        QCOMPARE(delegated.type, BL_EventType::taskDelegated);
        QVERIFY(delegated.id != created.id);
        const auto payload = delegated.decodePayload<BL_TaskEventPayload>();
        QVERIFY(payload);
        QCOMPARE(payload->agentID, kManager);
        QCOMPARE(payload->detail, QStringLiteral("Delegation requested (manual)."));
        QCOMPARE(payload->workerSessionKey, marked.workerSessionKey);
        QVERIFY(!payload->stdoutChunk && !payload->stdoutReset);
        QVERIFY(payload->conversationTurn);
        QCOMPARE(payload->conversationTurn->role, BL_TaskConversationRole::manager);
        QCOMPARE(payload->conversationTurn->agentID, kManager);
        QCOMPARE(payload->conversationTurn->timestamp, clock.now());
        QCOMPARE(payload->conversationTurn->content, QStringLiteral("Delegating task to worker (source: manual)."));

        for (const std::optional<QString> &root :
            {std::optional(QStringLiteral("/work/app")), std::optional<QString>()}) {
            const BL_Event requested = TaskCreation::delegationRequestedEvent(
                marked, kManager, QStringLiteral("auto-ready-pickup"), root, clock);
            QCOMPARE(requested.type, BL_EventType::delegationRequested);
            const auto request = requested.decodePayload<BL_DelegationRequestPayload>();
            QVERIFY(request);
            QCOMPARE(request->managerID, kManager);
            QCOMPARE(request->source, QStringLiteral("auto-ready-pickup"));
            QCOMPARE(request->taskInputData, task.inputData);
            QCOMPARE(request->projectRootPath, root);
            QCOMPARE(requested.payload->contains("projectRootPath"), bool(root));
        }
    }
};

QTEST_GUILESS_MAIN(TaskCreationTest)
#include "tst_taskcreation.moc"
