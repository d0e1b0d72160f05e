#include "TestSupport.h"
#include "agents/BL_AgentLoopRecords.h"
#include "common/Json.h"
#include "state/TaskLogWriter.h"

#include <QtTest>

namespace {

const QUuid kWorkspace = QUuid::fromString(QStringLiteral("AAAAAAAA-1111-4222-8333-444444444444"));
const QUuid kTask = QUuid::fromString(QStringLiteral("BBBBBBBB-1111-4222-8333-444444444444"));
const QUuid kAgent = QUuid::fromString(QStringLiteral("cccccccc-1111-4222-8333-444444444444"));

BL_Task sampleTask()
{
    BL_Task task;
    task.blID = kTask;
    task.projectID = kWorkspace;
    task.status = BL_TaskStatus::queued;
    task.inputData = "{}";
    task.metadata = "{}";
    task.taskHistoryData = "[]";
    task.taskConversationData = "[]";
    return task;
}

BL_Event eventOf(BL_EventType type, const std::optional<QByteArray> &payload = std::nullopt, const QUuid &task = kTask)
{
    BL_Event event;
    event.id = QUuid::createUuid();
    event.type = type;
    event.projectID = kWorkspace;
    event.taskID = task;
    event.timestamp = TimePoint::fromUnixSeconds(1000); // long before the line is built
    event.payload = payload;
    return event;
}

QByteArray shellResult(const QString &command, qint32 exitCode, const QString &stderrText)
{
    return BL_ShellToolResultPayload {command, exitCode, QStringLiteral("out"), stderrText}.encoded();
}

QByteArray workerResult(const QString &command, qint32 exitCode, const QString &stderrText)
{
    return Json::write(
        BL_WorkerResultPayload {kAgent, shellResult(command, exitCode, stderrText), std::nullopt}.toJson());
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

Q_DECLARE_METATYPE(std::optional<QByteArray>)
Q_DECLARE_METATYPE(std::optional<QString>)

class TaskLogWriterTest : public QObject
{
    Q_OBJECT

    const QByteArray head = "{\"delegationState\":\"unallocated\",\"eventType\":";
    const QByteArray tail = "\"ts\":\"2023-11-14T22:13:20Z\",\"workerState\":\"notDelegated\"";

private slots:
    void eventLogLine_data()
    {
        QTest::addColumn<BL_EventType>("type");
        QTest::addColumn<std::optional<QByteArray>>("payload");
        QTest::addColumn<std::optional<QString>>("sessionKey");
        QTest::addColumn<std::optional<QString>>("stdoutFile");
        QTest::addColumn<QByteArray>("expected");
        const std::optional<QByteArray> noPayload;
        const std::optional<QString> none;
        QTest::newRow("no payload: five keys") << BL_EventType::taskCreated << noPayload << none << none
                                               << (head + "\"taskCreated\",\"status\":\"queued\"," + tail + "}\n");
        QTest::newRow("key and raw output log")
            << BL_EventType::taskModified << noPayload << std::optional(QStringLiteral("agent:x/y"))
            << std::optional(QStringLiteral("/data/task-logs/a.stdout.log"))
            << (head
                   + "\"taskModified\",\"status\":\"queued\",\"stdoutFile\":\"\\/data\\/task-logs\\/a.stdout.log\","
                     "\"ts\":\"2023-11-14T22:13:20Z\",\"workerSessionKey\":\"agent:x\\/"
                     "y\",\"workerState\":\"notDelegated\"}\n");
        QTest::newRow("empty key left out")
            << BL_EventType::taskModified << noPayload << std::optional(QString()) << none
            << (head + "\"taskModified\",\"status\":\"queued\"," + tail + "}\n");
        QTest::newRow("detail and conversation, Unicode line breaks escaped")
            << BL_EventType::taskDelegated
            << std::optional(QByteArray("{\"detail\":\"a\xe2\x80\xa8"
                                        "b\xe2\x80\xa9"
                                        "c\xc2\x85"
                                        "d\\n\",\"conversationTurn\":"
                                        "{\"id\":\"dddddddd-1111-4222-8333-444444444444\",\"timestamp\":1,\"role\":"
                                        "\"manager\",\"content\":\"  hi  \"}}"))
            << none << none
            << ("{\"conversation\":\"  hi  \",\"delegationState\":\"unallocated\",\"detail\":\"a\\u2028b\\u2029c"
                "\\u0085d\\n\",\"eventType\":\"taskDelegated\",\"status\":\"queued\","
                   + tail + "}\n");
        QTest::newRow("empty detail and conversation left out")
            << BL_EventType::taskModified
            << std::optional(QByteArray("{\"detail\":\"\",\"conversationTurn\":{\"id\":\"dddddddd-1111-4222-8333-"
                                        "444444444444\",\"timestamp\":1,\"role\":\"tool\",\"content\":\"\"}}"))
            << none << none << (head + "\"taskModified\",\"status\":\"queued\"," + tail + "}\n");
        QTest::newRow("shell result") << BL_EventType::workerTaskFailed
                                      << std::optional(
                                             workerResult(QStringLiteral("ls /tmp"), -1, QStringLiteral("boom")))
                                      << none << none
                                      << ("{\"command\":\"ls \\/tmp\"," + head.mid(1)
                                             + "\"workerTaskFailed\",\"exitCode\":\"-1\",\"status\":"
                                               "\"queued\",\"stderr\":\"boom\","
                                             + tail + "}\n");
        QTest::newRow("shell result without stderr")
            << BL_EventType::workerTaskCompleted << std::optional(workerResult(QStringLiteral("true"), 0, QString()))
            << none << none
            << ("{\"command\":\"true\"," + head.mid(1)
                   + "\"workerTaskCompleted\",\"exitCode\":\"0\",\"status\":"
                     "\"queued\","
                   + tail + "}\n");
        QTest::newRow("shell result with empty command")
            << BL_EventType::workerTaskFailed << std::optional(workerResult(QString(), 2, QStringLiteral("boom")))
            << none << none << (head + "\"workerTaskFailed\",\"status\":\"queued\"," + tail + "}\n");
        QTest::newRow("all twelve keys")
            << BL_EventType::workerTaskFailed
            << std::optional(QByteArray("{\"agentID\":\"cccccccc-1111-4222-8333-444444444444\",\"detail\":\"d\","
                                        "\"conversationTurn\":{\"id\":\"dddddddd-1111-4222-8333-444444444444\","
                                        "\"timestamp\":1,\"role\":\"tool\",\"content\":\"c\"},\"outputData\":\"")
                   + shellResult(QStringLiteral("make"), 2, QStringLiteral("e")).toBase64() + "\"}")
            << std::optional(QStringLiteral("k")) << std::optional(QStringLiteral("o"))
            << QByteArray("{\"command\":\"make\",\"conversation\":\"c\",\"delegationState\":\"unallocated\","
                          "\"detail\":\"d\",\"eventType\":\"workerTaskFailed\",\"exitCode\":\"2\",\"status\":"
                          "\"queued\",\"stderr\":\"e\",\"stdoutFile\":\"o\",\"ts\":\"2023-11-14T22:13:20Z\","
                          "\"workerSessionKey\":\"k\",\"workerState\":\"notDelegated\"}\n");
        QTest::newRow("unreadable payload")
            << BL_EventType::taskModified << std::optional(QByteArray("{\"detail\":3}")) << none << none
            << (head + "\"taskModified\",\"status\":\"queued\"," + tail + "}\n");
    }
    void eventLogLine()
    {
        QFETCH(BL_EventType, type);
        QFETCH(std::optional<QByteArray>, payload);
        QFETCH(std::optional<QString>, sessionKey);
        QFETCH(std::optional<QString>, stdoutFile);
        QFETCH(QByteArray, expected);
        BL_Task task = sampleTask();
        task.workerSessionKey = sessionKey;
        // The line carries the moment it is built, whole seconds, cut.
        TestSupport::PinnedClock clock(TimePoint::fromUnixSeconds(1700000000.999));
        const QByteArray line = TaskLogWriter::eventLogLine(eventOf(type, payload), task, clock, stdoutFile);
        QCOMPARE(line, expected);
        QCOMPARE(line.count('\n'), 1);
        const auto object = Json::parseObject(line.chopped(1));
        QVERIFY(object);
        for (const QJsonValue &value : *object)
            QVERIFY(value.isString());
    }

    void statesReadBackThroughAnyReader()
    {
        BL_Task task = sampleTask();
        task.status = BL_TaskStatus::inProgress;
        task.workerState = BL_TaskWorkerState::delegatedAccepted;
        task.delegationState = BL_TaskDelegationState::spawnPending;
        const QByteArray line
            = TaskLogWriter::eventLogLine(eventOf(BL_EventType::taskDelegated), task, Clock::system(), std::nullopt);
        QVERIFY(line.contains("\"workerState\":\"delegated\\/accepted\""));
        const QJsonObject object = QJsonDocument::fromJson(line).object();
        QCOMPARE(object.value(QStringLiteral("workerState")).toString(), QStringLiteral("delegated/accepted"));
        QCOMPARE(object.value(QStringLiteral("delegationState")).toString(), QStringLiteral("spawn_pending"));
        QCOMPARE(object.value(QStringLiteral("status")).toString(), QStringLiteral("in_progress"));
    }

    void locations()
    {
        TaskLogWriter writer(QStringLiteral("/data/dir"));
        QCOMPARE(writer.taskStdoutLogFilePath(kWorkspace, kTask),
            QStringLiteral("/data/dir/task-logs/aaaaaaaa-1111-4222-8333-444444444444/"
                           "bbbbbbbb-1111-4222-8333-444444444444.stdout.log"));
        QCOMPARE(writer.taskEventLogFilePath(kWorkspace, kTask),
            QStringLiteral("/data/dir/task-logs/aaaaaaaa-1111-4222-8333-444444444444/"
                           "bbbbbbbb-1111-4222-8333-444444444444.jsonl"));
        QVERIFY(!QFileInfo::exists(QStringLiteral("/data/dir")));
    }

    void writesInRequestOrder_data()
    {
        QTest::addColumn<int>("openFileLimit");
        QTest::newRow("open for every write") << 0;
        QTest::newRow("two kept open") << 2;
        QTest::newRow("default") << TaskLogWriter::kDefaultOpenFileLimit;
    }
    void writesInRequestOrder()
    {
        QFETCH(int, openFileLimit);
        QTemporaryDir data;
        TaskLogWriter writer(data.path(), Clock::system(), openFileLimit);
        const QList<QUuid> tasks {QUuid::createUuid(), QUuid::createUuid(), QUuid::createUuid(), QUuid::createUuid()};
        QHash<QUuid, QByteArray> expectedOutput;
        QHash<QUuid, QStringList> expectedDetails;
        BL_Task task = sampleTask();
        for (int i = 0; i < 2000; ++i) {
            const QUuid &id = tasks[(i * 7 + i / 3) % tasks.size()];
            const QString text = QStringLiteral("chunk %1 \u00e9\n").arg(i);
            writer.appendTaskStdoutChunk(kWorkspace, id, text);
            expectedOutput[id] += text.toUtf8();
            BL_TaskEventPayload payload;
            payload.detail = QString::number(i);
            task.blID = id;
            writer.appendTaskDebugLog(eventOf(BL_EventType::taskModified, Json::write(payload.toJson()), id), task);
            expectedDetails[id].append(QString::number(i));
            if (i % 150 == 0) // a turn of the event loop ends: the queue writes while more is requested
                QCoreApplication::processEvents();
        }
        QVERIFY(TestSupport::waitForFuture(writer.flush()));
        for (const QUuid &id : tasks) {
            QCOMPARE(readAll(writer.taskStdoutLogFilePath(kWorkspace, id)), expectedOutput[id]);
            const QByteArray log = readAll(writer.taskEventLogFilePath(kWorkspace, id));
            QVERIFY(log.endsWith('\n'));
            QStringList details;
            for (const QByteArray &line : log.split('\n'))
                if (!line.isEmpty())
                    details.append(Json::parseObject(line)->value(QStringLiteral("detail")).toString());
            QCOMPARE(details, expectedDetails[id]);
        }
    }

    void resetThenAppend()
    {
        QTemporaryDir data;
        TaskLogWriter writer(data.path());
        const QString path = writer.taskStdoutLogFilePath(kWorkspace, kTask);
        writer.resetTaskStdoutLog(kWorkspace, kTask);
        QVERIFY(TestSupport::waitForFuture(writer.flush()));
        QCOMPARE(readAll(path), QByteArray()); // the reset creates the file
        writer.appendTaskStdoutChunk(kWorkspace, kTask, QStringLiteral("a"));
        writer.appendTaskStdoutChunk(kWorkspace, kTask, QStringLiteral("b"));
        QVERIFY(TestSupport::waitForFuture(writer.flush()));
        QCOMPARE(readAll(path), QByteArray("ab"));
        // The file is held open now; a reset still empties what readers see,
        // and later chunks land in the new file.
        writer.resetTaskStdoutLog(kWorkspace, kTask);
        writer.appendTaskStdoutChunk(kWorkspace, kTask, QStringLiteral("c"));
        QVERIFY(TestSupport::waitForFuture(writer.flush()));
        QCOMPARE(readAll(path), QByteArray("c"));
    }

    void requestsReachTheQueueWhenTheTurnEnds()
    {
        QTemporaryDir data;
        TaskLogWriter writer(data.path());
        writer.appendTaskStdoutChunk(kWorkspace, kTask, QStringLiteral("x"));
        QVERIFY(TestSupport::waitUntil(
            [&] { return readAll(writer.taskStdoutLogFilePath(kWorkspace, kTask)) == QByteArray("x"); }));
    }

    void stdoutFileNamedOnceTheLogExists()
    {
        QTemporaryDir data;
        TaskLogWriter writer(data.path());
        const QString eventLog = writer.taskEventLogFilePath(kWorkspace, kTask);
        writer.appendTaskDebugLog(eventOf(BL_EventType::taskCreated), sampleTask());
        QVERIFY(TestSupport::waitForFuture(writer.flush()));
        QVERIFY(!readAll(eventLog).contains("stdoutFile"));
        writer.appendTaskStdoutChunk(kWorkspace, kTask, QStringLiteral("x"));
        QVERIFY(TestSupport::waitForFuture(writer.flush()));
        writer.appendTaskDebugLog(eventOf(BL_EventType::taskModified), sampleTask());
        QVERIFY(TestSupport::waitForFuture(writer.flush()));
        const QList<QByteArray> lines = readAll(eventLog).split('\n');
        QCOMPARE(lines.size(), 3); // two lines and the empty rest
        QCOMPARE(Json::parseObject(lines[1])->value(QStringLiteral("stdoutFile")).toString(),
            writer.taskStdoutLogFilePath(kWorkspace, kTask));
    }

    void filesRemovedWhileKeptOpenAreMadeAgain()
    {
        QTemporaryDir data;
        TaskLogWriter writer(data.path());
        writer.appendTaskStdoutChunk(kWorkspace, kTask, QStringLiteral("old"));
        writer.appendTaskDebugLog(eventOf(BL_EventType::taskCreated), sampleTask());
        writer.appendTaskDebugLog(eventOf(BL_EventType::taskModified), sampleTask());
        QVERIFY(TestSupport::waitForFuture(writer.flush()));
        QVERIFY(QDir(writer.workspaceLogDirectory(kWorkspace)).removeRecursively());

        writer.appendTaskStdoutChunk(kWorkspace, kTask, QStringLiteral("new"));
        writer.appendTaskDebugLog(eventOf(BL_EventType::taskMoved), sampleTask());
        QVERIFY(TestSupport::waitForFuture(writer.flush()));
        QCOMPARE(readAll(writer.taskStdoutLogFilePath(kWorkspace, kTask)), QByteArray("new"));
        const QByteArray log = readAll(writer.taskEventLogFilePath(kWorkspace, kTask));
        QCOMPARE(log.count('\n'), 1);
        QVERIFY(log.contains("\"eventType\":\"taskMoved\""));
    }

    void failuresAreDroppedAndLaterRequestsTried()
    {
        QTemporaryDir data;
        TaskLogWriter writer(data.path());
        // A file where the workspace folder should be: nothing can be written.
        QVERIFY(QDir().mkpath(data.filePath(QStringLiteral("task-logs"))));
        QFile blocker(writer.workspaceLogDirectory(kWorkspace));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        writer.resetTaskStdoutLog(kWorkspace, kTask);
        writer.appendTaskStdoutChunk(kWorkspace, kTask, QStringLiteral("lost"));
        writer.appendTaskDebugLog(eventOf(BL_EventType::taskCreated), sampleTask());
        QVERIFY(TestSupport::waitForFuture(writer.flush()));
        QVERIFY(QFile::remove(blocker.fileName()));

        writer.appendTaskStdoutChunk(kWorkspace, kTask, QStringLiteral("kept"));
        writer.appendTaskDebugLog(eventOf(BL_EventType::taskModified), sampleTask());
        QVERIFY(TestSupport::waitForFuture(writer.flush()));
        QCOMPARE(readAll(writer.taskStdoutLogFilePath(kWorkspace, kTask)), QByteArray("kept"));
        QCOMPARE(readAll(writer.taskEventLogFilePath(kWorkspace, kTask)).count('\n'), 1);
    }

    void destroyingTheWriterCarriesOutQueuedWrites()
    {
        QTemporaryDir data;
        QString path;
        {
            TaskLogWriter writer(data.path());
            path = writer.taskStdoutLogFilePath(kWorkspace, kTask);
            for (int i = 0; i < 100; ++i)
                writer.appendTaskStdoutChunk(kWorkspace, kTask, QStringLiteral("."));
        }
        QCOMPARE(readAll(path), QByteArray(100, '.'));
    }
};

QTEST_GUILESS_MAIN(TaskLogWriterTest)
#include "tst_tasklogwriter.moc"
