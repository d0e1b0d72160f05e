#include "AgentTestSupport.h"
#include "ScriptedAgentParts.h"
#include "TestSupport.h"
#include "agents/AsyncAgentRunner.h"
#include "common/UuidText.h"

#include <QtTest>
#include <stdexcept>

using namespace ScriptedAgentParts;
using AgentTest::detail;
using AgentTest::taskPayload;
using AgentTest::turnContent;
using AgentTest::turnRole;
using Role = BL_TaskConversationRole;
using Type = BL_EventType;

namespace {

// One event as the tests compare it: type, detail, turn role and content.
struct Step
{
    Type type;
    QString detail;
    std::optional<Role> role;
    QString content;
    friend bool operator==(const Step &, const Step &) = default;
};

char *toString(const Step &step)
{
    return qstrdup(qPrintable(rawValue(step.type) + QStringLiteral(" | ") + step.detail + QStringLiteral(" | ")
        + (step.role ? QString::number(int(*step.role)) : QStringLiteral("-")) + QStringLiteral(" | ") + step.content));
}

Step stepOf(const BL_Event &event)
{
    return Step {event.type, detail(event), turnRole(event), turnContent(event)};
}

const Step kAccepted {Type::delegationAccepted, {}, {}, {}};
const Step kAcceptedByWorker {Type::taskAcceptedByWorker, "Worker accepted delegation handshake.", Role::system,
    "Delegation handshake accepted."};
const Step kSpawned {
    Type::taskWorkerSpawned, "Worker process spawned successfully.", Role::system, "Worker spawned and ready."};
const Step kStarted {Type::taskActivelyUnderwayByWorker, "Worker started task execution loop.", Role::worker,
    "Starting execution loop for delegated task."};
const Step kDeciding {
    Type::taskModified, "Worker generated next decision.", Role::worker, "Thinking: selecting the next action."};
const Step kOutputReady {
    Type::taskModified, "Worker completed task output.", Role::worker, "Task completed. Returning final output."};
const Step kCompleted {Type::workerTaskCompleted, {}, {}, {}};
const Step kFailed {Type::workerTaskFailed, {}, {}, {}};

Step queued(const QString &display)
{
    return Step {Type::taskActivelyUnderwayByWorker, "Worker queued action: " + display, Role::worker,
        "Action queued: " + display};
}
Step observedStep(const QString &summary)
{
    return Step {Type::taskModified, "Worker recorded observation: " + summary, Role::tool, summary};
}
Step failure(const QString &description)
{
    return Step {
        Type::taskModified, "Worker failure: " + description, Role::system, "Execution failed: " + description};
}

} // namespace

Q_DECLARE_METATYPE(BL_AgentToolAction)
Q_DECLARE_METATYPE(std::shared_ptr<std::exception>)
Q_DECLARE_METATYPE(QList<Step>)

namespace {

// A runner over scripted parts, with one task and one agent.
struct Fixture
{
    BLEventBus bus;
    AgentTest::EventRecorder recorder {bus};
    BL_DelegationHandshakeCoordinator coordinator;
    std::shared_ptr<DecisionEngine> engine = std::make_shared<DecisionEngine>();
    std::shared_ptr<ToolExecutor> executor = std::make_shared<ToolExecutor>();
    AsyncAgentRunner runner {bus, coordinator, engine, executor};
    QUuid project = QUuid::createUuid();
    QUuid task = QUuid::createUuid();
    QUuid manager = QUuid::createUuid();
    BL_Agent agent = AgentTest::makeAgent("worker-1");

    BL_DelegationHandshakeTicket ticketFor(const BL_Agent &forAgent)
    {
        return AgentTest::waitForOutcome(coordinator.begin(project, task, manager, forAgent.id)).value.value();
    }
    void schedule(const BL_DelegationHandshakeTicket &ticket, const std::optional<BL_Agent> &runAgent = std::nullopt,
        std::optional<QByteArray> input = QByteArray("{\"prompt\":\"x\"}"),
        std::optional<QString> root = QStringLiteral("/tmp/p"))
    {
        QVERIFY(TestSupport::waitForFuture(
            runner.schedule(project, task, manager, runAgent.value_or(agent), ticket, input, root)));
    }
    void scheduleAccepted() { schedule(ticketFor(agent)); }
    bool waitUntilIdle(int timeoutMs = 10000)
    {
        return TestSupport::waitUntil(
            [&] { return AgentTest::waitForOutcome(runner.hasActiveRun(task)).value == false; }, timeoutMs);
    }
    QList<Step> steps() const
    {
        QList<Step> result;
        for (const BL_Event &event : recorder.events())
            result.append(stepOf(event));
        return result;
    }
};

} // namespace

class AgentRunnerTest : public QObject
{
    Q_OBJECT

private slots:
    void unacknowledgedTicketIsRejected()
    {
        Fixture f;
        // A ticket issued for another agent is not acknowledged, and stays pending.
        const BL_DelegationHandshakeTicket ticket = f.ticketFor(AgentTest::makeAgent("other"));
        f.schedule(ticket);
        QVERIFY(f.recorder.waitFor(Type::delegationRejected));
        QVERIFY(f.waitUntilIdle());
        TestSupport::drainMainThread();
        QCOMPARE(f.recorder.events().size(), 1);
        QVERIFY(!f.recorder.events().first().payload);
        QCOMPARE(f.recorder.events().first().taskID, f.task);
        QVERIFY(f.engine->calls().isEmpty());
        QCOMPARE(AgentTest::waitForOutcome(f.coordinator.pendingTickets()).value->size(), 1);
    }

    void acknowledgement()
    {
        BL_DelegationHandshakeCoordinator coordinator;
        const QUuid agent = QUuid::createUuid();
        const auto ticket = *AgentTest::waitForOutcome(coordinator.begin({}, {}, {}, agent)).value;
        QVERIFY(!AgentTest::waitForOutcome(coordinator.acknowledge(ticket.id, QUuid::createUuid())).value->has_value());
        QCOMPARE(AgentTest::waitForOutcome(coordinator.acknowledge(ticket.id, agent)).value, std::optional(ticket));
        QVERIFY(!AgentTest::waitForOutcome(coordinator.acknowledge(ticket.id, agent)).value->has_value());
        QVERIFY(AgentTest::waitForOutcome(coordinator.pendingTickets()).value->isEmpty());
    }

    void finishAtTheFirstDecision_data()
    {
        QTest::addColumn<std::optional<QByteArray>>("output");
        QTest::newRow("with output") << std::optional<QByteArray>("{\"exitCode\":0}");
        QTest::newRow("without output") << std::optional<QByteArray>();
    }
    void finishAtTheFirstDecision()
    {
        QFETCH(std::optional<QByteArray>, output);
        Fixture f;
        f.engine->add(ready(BL_AgentDecision::finish(output)));
        f.scheduleAccepted();
        QVERIFY(f.recorder.waitFor(Type::workerTaskCompleted));
        QVERIFY(f.waitUntilIdle());

        QCOMPARE(f.steps(),
            (QList<Step> {kAccepted, kAcceptedByWorker, kSpawned, kStarted, kDeciding, kOutputReady, kCompleted}));
        QVERIFY(f.recorder.allOnMainThread());
        const QList<BL_Event> events = f.recorder.events();
        QCOMPARE(events[0].decodePayload<BL_DelegationPayload>()->agentID, f.agent.id);
        const auto result = events.last().decodePayload<BL_WorkerResultPayload>();
        QVERIFY(result);
        QCOMPARE(result->agentID, f.agent.id);
        QCOMPARE(result->outputData, output);
        QVERIFY(!result->reason);
        const QString key = QStringLiteral("agent:") + UuidText::lower(f.agent.id);
        for (qsizetype i = 1; i < 6; ++i) {
            QCOMPARE(events[i].projectID, f.project);
            QCOMPARE(events[i].taskID, f.task);
            QCOMPARE(taskPayload(events[i]).workerSessionKey, key);
            QCOMPARE(taskPayload(events[i]).agentID, f.agent.id);
            QCOMPARE(taskPayload(events[i]).conversationTurn->agentID, f.agent.id);
            QVERIFY(!taskPayload(events[i]).stdoutChunk && !taskPayload(events[i]).stdoutReset);
        }

        const QList<DecisionCall> calls = f.engine->calls();
        QCOMPARE(calls.size(), 1);
        QCOMPARE(calls[0].taskID, f.task);
        QCOMPARE(calls[0].agent, f.agent);
        QCOMPARE(calls[0].taskInputData, QByteArray("{\"prompt\":\"x\"}"));
        QCOMPARE(calls[0].projectRootPath, QStringLiteral("/tmp/p"));
        QCOMPARE(calls[0].state.thoughts, QStringList {"In progress: selecting next action."});
        QVERIFY(!calls[0].state.pendingAction);
        QVERIFY(f.executor->calls().isEmpty());
    }

    void actionThenFinish_data()
    {
        QTest::addColumn<BL_AgentToolAction>("action");
        QTest::addColumn<QString>("display");
        QTest::newRow("runShell") << BL_AgentToolAction::runShell("ls -la") << "runShell(ls -la)";
        QTest::newRow("spawnShell") << BL_AgentToolAction::spawnShell("ls -la") << "spawnShell(ls -la)";
    }
    void actionThenFinish()
    {
        QFETCH(BL_AgentToolAction, action);
        QFETCH(QString, display);
        Fixture f;
        f.engine->add(ready(BL_AgentDecision::makeAction(action)));
        f.engine->add(ready(BL_AgentDecision::finish(QByteArray("out"))));
        const BL_Observation observation {"listed 3 files", QByteArray("{}")};
        f.executor->add(ready(observation));
        f.scheduleAccepted();
        QVERIFY(f.recorder.waitFor(Type::workerTaskCompleted));
        QVERIFY(f.waitUntilIdle());

        QCOMPARE(f.steps(),
            (QList<Step> {kAccepted, kAcceptedByWorker, kSpawned, kStarted, kDeciding, queued(display),
                observedStep("listed 3 files"), kDeciding, kOutputReady, kCompleted}));
        QCOMPARE(f.executor->calls().size(), 1);
        QCOMPARE(f.executor->calls()[0].command, QStringLiteral("ls -la"));
        const BL_ThoughtActionObservationState second = f.engine->calls()[1].state;
        QCOMPARE(second.actions, QList<BL_AgentToolAction> {action});
        QCOMPARE(second.observations, QList<BL_Observation> {observation});
        QCOMPARE(second.thoughts.size(), 2);
        QVERIFY(!second.pendingAction);
    }

    void failures_data()
    {
        QTest::addColumn<bool>("inExecutor");
        QTest::addColumn<std::shared_ptr<std::exception>>("error");
        QTest::addColumn<QString>("description");

        const auto domain
            = std::make_shared<BL_DomainError>("BL_DefaultDecisionEngine", 2, "Delegated worker failed: red");
        QTest::newRow("decision engine")
            << false << std::shared_ptr<std::exception>(domain)
            << "Error Domain=BL_DefaultDecisionEngine Code=2 \"Delegated worker failed: red\" "
               "UserInfo={localizedDescription=Delegated worker failed: red}";
        const auto exit = std::make_shared<BL_ToolExecutionError>(BL_ToolExecutionError::nonZeroExit("ls", 3, "oops"));
        QTest::newRow("executor") << true << std::shared_ptr<std::exception>(exit)
                                  << "nonZeroExit(command: \"ls\", exitCode: 3, stderr: \"oops\")";
        const auto timeout = std::make_shared<BL_ToolExecutionError>(BL_ToolExecutionError::timedOut("ls", 500));
        QTest::newRow("time-out") << true << std::shared_ptr<std::exception>(timeout)
                                  << "timedOut(command: \"ls\", timeoutSeconds: 500)";
        QTest::newRow("other") << true
                               << std::shared_ptr<std::exception>(std::make_shared<std::runtime_error>("launch failed"))
                               << "launch failed";
    }
    void failures()
    {
        QFETCH(bool, inExecutor);
        QFETCH(std::shared_ptr<std::exception>, error);
        QFETCH(QString, description);
        Fixture f;
        // Thrown as its own type, the way the real parts throw.
        const std::exception_ptr thrown = [&] {
            if (auto *domain = dynamic_cast<BL_DomainError *>(error.get()))
                return std::make_exception_ptr(*domain);
            if (auto *tool = dynamic_cast<BL_ToolExecutionError *>(error.get()))
                return std::make_exception_ptr(*tool);
            return std::make_exception_ptr(std::runtime_error(error->what()));
        }();
        if (inExecutor) {
            f.engine->add(ready(BL_AgentDecision::makeAction(BL_AgentToolAction::runShell("ls"))));
            Pending<BL_Observation> pending;
            pending.promise->setException(thrown);
            pending.promise->finish();
            f.executor->add(pending.future());
        } else {
            Pending<BL_AgentDecision> pending;
            pending.promise->setException(thrown);
            pending.promise->finish();
            f.engine->add(pending.future());
        }
        f.scheduleAccepted();
        QVERIFY(f.recorder.waitFor(Type::workerTaskFailed));
        QVERIFY(f.waitUntilIdle());

        const QList<Step> steps = f.steps();
        QCOMPARE(steps.mid(steps.size() - 2), (QList<Step> {failure(description), kFailed}));
        const auto result = f.recorder.events().last().decodePayload<BL_WorkerResultPayload>();
        QCOMPARE(result->reason, description);
        QCOMPARE(result->agentID, f.agent.id);
        QVERIFY(!result->outputData);
    }

    // Cancelled right after it was scheduled, a run still announces itself,
    // then stops silently at the top of its loop.
    void cancelAtTheLoopTop()
    {
        Fixture f;
        f.executor->setCancelAnswer(false);
        f.scheduleAccepted();
        const auto cancelled = AgentTest::waitForOutcome(f.runner.cancelTaskExecution(f.task));
        QCOMPARE(cancelled.value, false);
        QVERIFY(f.waitUntilIdle());
        TestSupport::drainMainThread();
        QCOMPARE(f.steps(), (QList<Step> {kAccepted, kAcceptedByWorker, kSpawned, kStarted}));
        QVERIFY(f.engine->calls().isEmpty());
        QCOMPARE(f.executor->cancels(), QList<QUuid> {f.task});
        QCOMPARE(AgentTest::waitForOutcome(f.runner.isMarkedCancelled(f.task)).value, false);
    }

    void cancelDuringACommand_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::addColumn<QList<Step>>("tail");
        QTest::newRow("cancellation error") << "cancelled" << QList<Step> {queued("runShell(sleep)")};
        // The stop's own signal ends the command with an error: the run was
        // cancelled, so it reports no failure of its own.
        QTest::newRow("other error") << "failed" << QList<Step> {queued("runShell(sleep)")};
        QTest::newRow("observation") << "observed" << QList<Step> {queued("runShell(sleep)"), observedStep("stopped")};
    }
    void cancelDuringACommand()
    {
        QFETCH(QString, ending);
        QFETCH(QList<Step>, tail);
        Fixture f;
        f.executor->setCancelAnswer(true);
        f.engine->add(ready(BL_AgentDecision::makeAction(BL_AgentToolAction::runShell("sleep"))));
        Pending<BL_Observation> command;
        f.executor->add(command.future());
        f.scheduleAccepted();
        QVERIFY(f.executor->waitForCalls(1));
        QVERIFY(!f.executor->calls()[0].cancellation.isCancelled());

        QCOMPARE(AgentTest::waitForOutcome(f.runner.cancelTaskExecution(f.task)).value, true);
        QVERIFY(f.executor->calls()[0].cancellation.isCancelled());
        if (ending == "cancelled")
            command.fail(CancelledError());
        else if (ending == "failed")
            command.fail(BL_ToolExecutionError::nonZeroExit("sleep", 15, ""));
        else
            command.finish(BL_Observation {"stopped", std::nullopt});
        QVERIFY(f.waitUntilIdle());
        TestSupport::drainMainThread();
        const QList<Step> steps = f.steps();
        QCOMPARE(steps.mid(5), tail);
        QCOMPARE(f.engine->calls().size(), 1);
    }

    // A decision that arrives after the cancel ends the run without a word:
    // the cancellation reports how the task ended.
    void decisionAfterTheCancel()
    {
        Fixture f;
        Pending<BL_AgentDecision> decision;
        f.engine->add(decision.future());
        f.scheduleAccepted();
        QVERIFY(f.engine->waitForCalls(1));
        AgentTest::waitForOutcome(f.runner.cancelTaskExecution(f.task));
        const qsizetype before = f.recorder.events().size();
        decision.finish(BL_AgentDecision::finish(QByteArray("late")));
        QVERIFY(f.waitUntilIdle());
        TestSupport::drainMainThread();
        QCOMPARE(f.recorder.events().size(), before);
        QVERIFY(!f.recorder.contains(Type::workerTaskCompleted));
    }

    // Scheduling a task again stops the earlier run; the earlier run's end
    // leaves the newer run's handle alone, so a later cancel still reaches it.
    void rescheduling()
    {
        Fixture f;
        QList<QUuid> endedTickets; // main thread
        f.runner.onRunEnded
            = [&](const QUuid &, const QUuid &, const QUuid &ticketID) { endedTickets.append(ticketID); };
        const BL_Agent second = AgentTest::makeAgent("worker-2");
        f.engine->add(ready(BL_AgentDecision::makeAction(BL_AgentToolAction::runShell("first"))));
        f.engine->add(ready(BL_AgentDecision::makeAction(BL_AgentToolAction::runShell("second"))));
        Pending<BL_Observation> firstCommand;
        Pending<BL_Observation> secondCommand;
        f.executor->add(firstCommand.future());
        f.executor->add(secondCommand.future());

        f.scheduleAccepted();
        QVERIFY(f.executor->waitForCalls(1));
        f.schedule(f.ticketFor(second), second);
        QVERIFY(f.executor->waitForCalls(2));
        const QList<ExecutionCall> calls = f.executor->calls();
        QVERIFY(calls[0].cancellation.isCancelled());
        QVERIFY(!calls[1].cancellation.isCancelled());

        // The earlier run records its observation and stops.
        firstCommand.finish(BL_Observation {"first done", std::nullopt});
        QVERIFY(TestSupport::waitUntil([&] { return f.steps().contains(observedStep("first done")); }));
        QVERIFY(TestSupport::waitUntil([&] { return endedTickets.size() == 1; }));
        QCOMPARE(f.engine->calls().size(), 2);
        QCOMPARE(AgentTest::waitForOutcome(f.runner.hasActiveRun(f.task)).value, true);

        AgentTest::waitForOutcome(f.runner.cancelTaskExecution(f.task));
        QVERIFY(calls[1].cancellation.isCancelled());
        secondCommand.finish(BL_Observation {"second done", std::nullopt});
        QVERIFY(f.waitUntilIdle());
        TestSupport::drainMainThread();
        QCOMPARE(endedTickets.size(), 2);
        QCOMPARE(f.engine->calls().size(), 2);
        QCOMPARE(f.recorder.ofType(Type::delegationAccepted).size(), 2);
        QVERIFY(!f.recorder.contains(Type::workerTaskCompleted));
        QVERIFY(!f.recorder.contains(Type::workerTaskFailed));
        const QString secondKey = AsyncAgentRunner::workerSessionKey(second.id);
        QCOMPARE(taskPayload(f.recorder.events().last()).workerSessionKey, secondKey);
        QCOMPARE(detail(f.recorder.events().last()), QStringLiteral("Worker recorded observation: second done"));
        QCOMPARE(AgentTest::waitForOutcome(f.runner.isMarkedCancelled(f.task)).value, false);
    }
};

QTEST_GUILESS_MAIN(AgentRunnerTest)
#include "tst_agentrunner.moc"
