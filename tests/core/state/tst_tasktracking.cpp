#include "TestSupport.h"
#include "agents/BL_AgentLoopRecords.h"
#include "common/Json.h"
#include "state/TaskTracking.h"

#include <QtTest>

namespace {

using Route = TaskTracking::OutputStreamRoute;
using Reaction = TaskTracking::BoardMoveReaction;

const QUuid kWorkspace = QUuid::fromString(QStringLiteral("aaaaaaaa-1111-4222-8333-444444444444"));
const QUuid kTask = QUuid::fromString(QStringLiteral("bbbbbbbb-1111-4222-8333-444444444444"));
const QUuid kAgent = QUuid::fromString(QStringLiteral("CCCCCCCC-1111-4222-8333-444444444444"));
const TimePoint kEventTime = TimePoint::fromUnixSeconds(1700000000.5);

BL_Task sampleTask()
{
    BL_Task task;
    task.blID = kTask;
    task.projectID = kWorkspace;
    task.status = BL_TaskStatus::inProgress;
    task.inputData = "{\"title\":\"T\"}";
    task.metadata = "{}";
    task.outputData = QByteArray("previous output");
    task.workerState = BL_TaskWorkerState::workerCompleted;
    task.delegationState = BL_TaskDelegationState::completed;
    task.workerSessionKey = QStringLiteral("agent:old");
    task.taskHistoryData = "[]";
    task.taskConversationData = "[]";
    task.taskLastActivityDate = TimePoint::fromUnixSeconds(1600000000);
    task.createdAt = TimePoint::fromUnixSeconds(1600000000);
    task.updatedAt = TimePoint::fromUnixSeconds(1600000000);
    return task;
}

BL_Event eventOf(BL_EventType type, const std::optional<QByteArray> &payload = std::nullopt)
{
    BL_Event event;
    event.id = QUuid::createUuid();
    event.type = type;
    event.projectID = kWorkspace;
    event.taskID = kTask;
    event.timestamp = kEventTime;
    event.payload = payload;
    return event;
}

QByteArray payloadOf(const BL_TaskEventPayload &payload)
{
    return Json::write(payload.toJson());
}

QByteArray movedPayload(BL_TaskStatus from, BL_TaskStatus to)
{
    return Json::write(BL_TaskMovedPayload {from, to}.toJson());
}

BL_TaskConversationTurn turnWith(const QString &content)
{
    return BL_TaskConversationTurn {
        QUuid::createUuid(), TimePoint::fromUnixSeconds(1), BL_TaskConversationRole::worker, kAgent, content};
}

} // namespace

Q_DECLARE_METATYPE(std::optional<QByteArray>)
Q_DECLARE_METATYPE(std::optional<Route>)
Q_DECLARE_METATYPE(std::optional<Reaction>)
Q_DECLARE_METATYPE(std::optional<BL_TaskStatus>)

class TaskTrackingTest : public QObject
{
    Q_OBJECT

private slots:
    void outputStream_data()
    {
        QTest::addColumn<BL_EventType>("type");
        QTest::addColumn<std::optional<QByteArray>>("payload");
        QTest::addColumn<std::optional<Route>>("route");
        const std::optional<Route> none;
        const auto append = [](const QString &chunk) { return std::optional(Route {Route::Kind::append, chunk}); };
        QTest::newRow("chunk") << BL_EventType::taskModified << std::optional(QByteArray("{\"stdoutChunk\":\"ls\\n\"}"))
                               << append(QStringLiteral("ls\n"));
        QTest::newRow("payload that does not read")
            << BL_EventType::taskModified << std::optional(QByteArray("{\"stdoutChunk\":\"ls\",\"agentID\":\"x\"}"))
            << none;
        QTest::newRow("chunk with reset false")
            << BL_EventType::taskModified << std::optional(QByteArray("{\"stdoutChunk\":\"a\",\"stdoutReset\":false}"))
            << append(QStringLiteral("a"));
        QTest::newRow("reset wins over chunk")
            << BL_EventType::taskModified << std::optional(QByteArray("{\"stdoutChunk\":\"a\",\"stdoutReset\":true}"))
            << std::optional(Route {Route::Kind::reset, QString()});
        QTest::newRow("empty chunk is folded")
            << BL_EventType::taskModified << std::optional(QByteArray("{\"stdoutChunk\":\"\"}")) << none;
        QTest::newRow("any event type") << BL_EventType::workerTaskFailed
                                        << std::optional(QByteArray("{\"stdoutChunk\":\"z\"}"))
                                        << append(QStringLiteral("z"));
        QTest::newRow("no payload") << BL_EventType::taskModified << std::optional<QByteArray>() << none;
        QTest::newRow("not JSON") << BL_EventType::taskModified << std::optional(QByteArray("stdoutChunk")) << none;
        QTest::newRow("chunk of the wrong type")
            << BL_EventType::taskModified << std::optional(QByteArray("{\"stdoutChunk\":5}")) << none;
    }
    void outputStream()
    {
        QFETCH(BL_EventType, type);
        QFETCH(std::optional<QByteArray>, payload);
        QFETCH(std::optional<Route>, route);
        const BL_Event event = eventOf(type, payload);
        QCOMPARE(TaskTracking::outputStreamRoute(event), route);
        const TaskTracking::Steps steps = TaskTracking::stepsFor(event);
        QCOMPARE(steps.output, route);
        if (route) // nothing else happens for a stream event
            QVERIFY(!steps.boardMove && !steps.refreshWorkerFigures && !steps.endOfRunStatus
                && !steps.rescheduleAcrossWorkspaces);
    }

    void steps_data()
    {
        QTest::addColumn<BL_EventType>("type");
        QTest::addColumn<std::optional<QByteArray>>("payload");
        QTest::addColumn<std::optional<Reaction>>("boardMove");
        QTest::addColumn<bool>("figures");
        QTest::addColumn<bool>("browser");
        QTest::addColumn<std::optional<BL_TaskStatus>>("endOfRun");
        QTest::addColumn<bool>("reschedule");
        const std::optional<QByteArray> noPayload;
        const std::optional<Reaction> noMove;
        const std::optional<BL_TaskStatus> noEnd;
        using S = BL_TaskStatus;
        using E = BL_EventType;
        for (const E type : {E::taskCreated, E::taskModified, E::taskDeleted, E::taskDelegated, E::taskAcceptedByWorker,
                 E::taskWorkerSpawned, E::taskActivelyUnderwayByWorker})
            QTest::addRow("%s", qPrintable(rawValue(type)))
                << type << noPayload << noMove << false << false << noEnd << false;
        QTest::newRow("delegationRequested")
            << E::delegationRequested << noPayload << noMove << true << false << noEnd << false;
        QTest::newRow("delegationAccepted")
            << E::delegationAccepted << noPayload << noMove << true << false << noEnd << false;
        QTest::newRow("delegationRejected")
            << E::delegationRejected << noPayload << noMove << true << false << noEnd << true;
        QTest::newRow("workerTaskCompleted")
            << E::workerTaskCompleted << noPayload << noMove << true << true << std::optional(S::completed) << true;
        QTest::newRow("workerTaskFailed")
            << E::workerTaskFailed << noPayload << noMove << true << true << std::optional(S::failed) << true;
        QTest::newRow("moved to backlog") << E::taskMoved << std::optional(movedPayload(S::queued, S::backlog))
                                          << std::optional(Reaction::none) << false << false << noEnd << false;
        QTest::newRow("moved to queued") << E::taskMoved << std::optional(movedPayload(S::backlog, S::queued))
                                         << std::optional(Reaction::scheduleWorkspace) << false << false << noEnd
                                         << false;
        QTest::newRow("moved to in progress")
            << E::taskMoved << std::optional(movedPayload(S::queued, S::inProgress))
            << std::optional(Reaction::captureGitBefore) << false << false << noEnd << false;
        QTest::newRow("moved to completed")
            << E::taskMoved << std::optional(movedPayload(S::inProgress, S::completed))
            << std::optional(Reaction::refreshBrowserAndCaptureGitAfter) << false << false << noEnd << false;
        QTest::newRow("moved to failed") << E::taskMoved << std::optional(movedPayload(S::inProgress, S::failed))
                                         << std::optional(Reaction::refreshBrowserAndCaptureGitAfter) << false << false
                                         << noEnd << false;
        QTest::newRow("moved, unreadable payload")
            << E::taskMoved << std::optional(QByteArray("{\"fromStatus\":\"queued\",\"toStatus\":\"inProgress\"}"))
            << noMove << false << false << noEnd << false;
        QTest::newRow("moved, no payload") << E::taskMoved << noPayload << noMove << false << false << noEnd << false;
    }
    void steps()
    {
        QFETCH(BL_EventType, type);
        QFETCH(std::optional<QByteArray>, payload);
        QFETCH(std::optional<Reaction>, boardMove);
        QFETCH(bool, figures);
        QFETCH(bool, browser);
        QFETCH(std::optional<BL_TaskStatus>, endOfRun);
        QFETCH(bool, reschedule);
        const TaskTracking::Steps steps = TaskTracking::stepsFor(eventOf(type, payload));
        QVERIFY(!steps.output);
        QCOMPARE(steps.boardMove, boardMove);
        QCOMPARE(steps.refreshWorkerFigures, figures);
        QCOMPARE(steps.refreshBrowser, browser);
        QCOMPARE(steps.endOfRunStatus, endOfRun);
        QCOMPARE(steps.rescheduleAcrossWorkspaces, reschedule);
    }

    // Every type sets its pair whatever the task had: the sample task starts
    // as workerCompleted / completed with a key and an output.
    void fold_data()
    {
        QTest::addColumn<BL_EventType>("type");
        QTest::addColumn<BL_TaskWorkerState>("worker");
        QTest::addColumn<BL_TaskDelegationState>("delegation");
        QTest::addColumn<bool>("keepsKey");
        using E = BL_EventType;
        using W = BL_TaskWorkerState;
        using D = BL_TaskDelegationState;
        const auto row = [](E type, W worker, D delegation, bool keepsKey = true) {
            QTest::addRow("%s", qPrintable(rawValue(type))) << type << worker << delegation << keepsKey;
        };
        row(E::taskCreated, W::workerCompleted, D::completed);
        row(E::taskModified, W::workerCompleted, D::completed);
        row(E::taskDeleted, W::workerCompleted, D::completed);
        row(E::taskMoved, W::workerCompleted, D::completed);
        row(E::delegationRequested, W::workerCompleted, D::completed);
        row(E::taskDelegated, W::delegatedAccepted, D::spawnPending);
        row(E::taskAcceptedByWorker, W::taskAcceptedByWorker, D::allocated);
        row(E::delegationAccepted, W::taskAcceptedByWorker, D::allocated);
        row(E::taskWorkerSpawned, W::taskActivelyUnderwayByWorker, D::claimed);
        row(E::taskActivelyUnderwayByWorker, W::taskActivelyUnderwayByWorker, D::activelyWorking);
        row(E::delegationRejected, W::notDelegated, D::unallocated, false);
        row(E::workerTaskCompleted, W::workerCompleted, D::completed);
        row(E::workerTaskFailed, W::workerFailed, D::failed);
        QCOMPARE(allEventTypes().size(), 13);
    }
    void fold()
    {
        QFETCH(BL_EventType, type);
        QFETCH(BL_TaskWorkerState, worker);
        QFETCH(BL_TaskDelegationState, delegation);
        QFETCH(bool, keepsKey);
        TestSupport::PinnedClock clock(TimePoint::fromUnixSeconds(1700000100));
        const BL_Task before = sampleTask();
        BL_TaskEventPayload payload;
        payload.agentID = kAgent;
        payload.detail = QStringLiteral("step");
        const BL_Task after = TaskTracking::folded(before, eventOf(type, payloadOf(payload)), clock);

        QCOMPARE(after.workerState, worker);
        QCOMPARE(after.delegationState, delegation);
        QCOMPARE(after.workerSessionKey, keepsKey ? before.workerSessionKey : std::nullopt);
        QCOMPARE(after.status, before.status);
        QCOMPARE(after.outputData, before.outputData); // no worker result here
        QCOMPARE(after.taskLastActivityDate, kEventTime);
        QCOMPARE(after.updatedAt, clock.now());
        QCOMPARE(after.createdAt, before.createdAt);
        QCOMPARE(after.taskConversationData, before.taskConversationData);
        const auto history = after.decodedHistory();
        QVERIFY(history && history->size() == 1);
        QCOMPARE(history->first().type, type);
        QCOMPARE(history->first().timestamp, kEventTime);
        QCOMPARE(history->first().agentID, kAgent);
        QCOMPARE(history->first().detail, QStringLiteral("step"));
        QVERIFY(!history->first().id.isNull());
    }

    void sessionKey_data()
    {
        QTest::addColumn<BL_EventType>("type");
        QTest::addColumn<std::optional<QString>>("carried");
        QTest::addColumn<std::optional<QString>>("expected");
        const std::optional<QString> old = QStringLiteral("agent:old");
        QTest::newRow("new key taken") << BL_EventType::taskAcceptedByWorker
                                       << std::optional(QStringLiteral("agent:new"))
                                       << std::optional(QStringLiteral("agent:new"));
        QTest::newRow("empty key ignored") << BL_EventType::taskModified << std::optional(QString()) << old;
        QTest::newRow("no key") << BL_EventType::taskModified << std::optional<QString>() << old;
        QTest::newRow("rejection removes even a carried key")
            << BL_EventType::delegationRejected << std::optional(QStringLiteral("pending-spawn:1:x"))
            << std::optional<QString>();
    }
    void sessionKey()
    {
        QFETCH(BL_EventType, type);
        QFETCH(std::optional<QString>, carried);
        QFETCH(std::optional<QString>, expected);
        BL_TaskEventPayload payload;
        payload.workerSessionKey = carried;
        QCOMPARE(TaskTracking::folded(sampleTask(), eventOf(type, payloadOf(payload))).workerSessionKey, expected);
    }

    void workerOutput_data()
    {
        QTest::addColumn<std::optional<QByteArray>>("payload");
        QTest::addColumn<QByteArray>("expected");
        BL_WorkerResultPayload withOutput {kAgent, QByteArray("{\"result\":1}"), std::nullopt};
        BL_WorkerResultPayload withoutOutput {kAgent, std::nullopt, QStringLiteral("done")};
        QTest::newRow("output taken") << std::optional(Json::write(withOutput.toJson()))
                                      << QByteArray("{\"result\":1}");
        QTest::newRow("result without output")
            << std::optional(Json::write(withoutOutput.toJson())) << QByteArray("previous output");
        QTest::newRow("no payload") << std::optional<QByteArray>() << QByteArray("previous output");
    }
    void workerOutput()
    {
        QFETCH(std::optional<QByteArray>, payload);
        QFETCH(QByteArray, expected);
        const BL_Task after = TaskTracking::folded(sampleTask(), eventOf(BL_EventType::workerTaskCompleted, payload));
        QCOMPARE(after.outputData, expected);
        // Failure never takes the output over.
        BL_Task failed = TaskTracking::folded(sampleTask(), eventOf(BL_EventType::workerTaskFailed, payload));
        QCOMPARE(failed.outputData, QByteArray("previous output"));
    }

    void historyKeepsNewest100()
    {
        BL_Task task = sampleTask();
        QList<BL_TaskHistoryEvent> entries;
        for (int i = 0; i < 100; ++i)
            entries.append({QUuid::createUuid(), BL_EventType::taskModified, TimePoint::fromUnixSeconds(i),
                std::nullopt, QString::number(i)});
        task.taskHistoryData = encodeHistory(entries);
        TaskTracking::applyEvent(task, eventOf(BL_EventType::workerTaskFailed));
        auto history = task.decodedHistory();
        QVERIFY(history);
        QCOMPARE(history->size(), 100);
        QCOMPARE(history->first().detail, QStringLiteral("1"));
        QCOMPARE(history->at(98).detail, QStringLiteral("99"));
        QCOMPARE(history->last().type, BL_EventType::workerTaskFailed);
        QVERIFY(!history->last().detail);

        task.taskHistoryData = "[{\"broken\":true}";
        TaskTracking::applyEvent(task, eventOf(BL_EventType::taskCreated));
        history = task.decodedHistory();
        QVERIFY(history);
        QCOMPARE(history->size(), 1);
        QCOMPARE(history->first().type, BL_EventType::taskCreated);
    }

    void conversationKeepsNewest300()
    {
        BL_Task task = sampleTask();
        QList<BL_TaskConversationTurn> turns;
        for (int i = 0; i < 300; ++i)
            turns.append(turnWith(QString::number(i)));
        task.taskConversationData = encodeConversation(turns);
        BL_TaskEventPayload payload;
        payload.conversationTurn = turnWith(QStringLiteral("  newest \n"));
        TaskTracking::applyEvent(task, eventOf(BL_EventType::taskModified, payloadOf(payload)));
        const auto conversation = task.decodedConversation();
        QVERIFY(conversation);
        QCOMPARE(conversation->size(), 300);
        QCOMPARE(conversation->first().content, QStringLiteral("1"));
        QCOMPARE(conversation->last().content, QStringLiteral("newest"));
        QCOMPARE(conversation->last().id, payload.conversationTurn->id);
    }

    void metadata_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<std::optional<QUuid>>("agent");
        QTest::addColumn<std::optional<QString>>("detail");
        QTest::addColumn<std::optional<QString>>("key");
        const QString agentText = QStringLiteral("cccccccc-1111-4222-8333-444444444444");
        const QByteArray agent = agentText.toLatin1();
        const std::optional<QUuid> noAgent;
        const std::optional<QString> nothing;
        QTest::newRow("task event payload")
            << ("{\"agentID\":\"" + agent + "\",\"detail\":\"d\",\"workerSessionKey\":\"k\"}") << std::optional(kAgent)
            << std::optional(QStringLiteral("d")) << std::optional(QStringLiteral("k"));
        QTest::newRow("delegation payload reads as a task event payload")
            << ("{\"agentID\":\"" + agent + "\"}") << std::optional(kAgent) << nothing << nothing;
        QTest::newRow("worker result reads as a task event payload")
            << ("{\"agentID\":\"" + agent + "\",\"reason\":\"r\",\"outputData\":\"e30=\"}") << std::optional(kAgent)
            << nothing << nothing;
        QTest::newRow("request payload reads as a task event payload")
            << ("{\"managerID\":\"" + agent + "\",\"source\":\"manual\"}") << noAgent << nothing << nothing;
        QTest::newRow("not a task event payload: read as a delegation")
            << ("{\"agentID\":\"" + agent + "\",\"detail\":7}") << std::optional(kAgent)
            << std::optional(QStringLiteral("Delegation accepted by worker.")) << std::optional("agent:" + agentText);
        QTest::newRow("not a task event payload: read as a request")
            << ("{\"managerID\":\"" + agent + "\",\"source\":\"manual\",\"stdoutReset\":\"no\"}")
            << std::optional(kAgent) << std::optional(QStringLiteral("manual")) << nothing;
        QTest::newRow("array") << QByteArray("[1]") << noAgent << nothing << nothing;
    }
    void metadata()
    {
        QFETCH(QByteArray, payload);
        QFETCH(std::optional<QUuid>, agent);
        QFETCH(std::optional<QString>, detail);
        QFETCH(std::optional<QString>, key);
        const TaskTracking::EventMetadata metadata
            = TaskTracking::eventMetadata(eventOf(BL_EventType::delegationAccepted, payload));
        QCOMPARE(metadata.agentID, agent);
        QCOMPARE(metadata.detail, detail);
        QCOMPARE(metadata.workerSessionKey, key);
        QVERIFY(!metadata.conversationTurn);
    }
};

QTEST_GUILESS_MAIN(TaskTrackingTest)
#include "tst_tasktracking.moc"
