#include "AgentTestSupport.h"
#include "BrimlockStandIn.h"
#include "ScriptedAgentParts.h"
#include "TestSupport.h"
#include "agents/AgentEngine.h"
#include "common/Json.h"
#include "common/UuidText.h"

#include <QJsonArray>
#include <QtTest>

using namespace ScriptedAgentParts;
using AgentTest::detail;
using Type = BL_EventType;

namespace {

struct Callback
{
    QString name;
    QUuid projectID;
    QUuid taskID;
    QUuid agentID;
    bool poolHeldTask = false;
    friend bool operator==(const Callback &, const Callback &) = default;
};

// An engine over scripted runner parts, a pool of `agentCount` agents and a
// recorder subscribed after the engine.
struct Fixture
{
    // `scripted` false: the engine builds its own decision engine and executor.
    explicit Fixture(int agentCount = 2, bool scripted = true) : pool(makeAgents(agentCount))
    {
        engine = std::make_unique<AgentEngine>(bus, pool, manager,
            scripted ? AgentEngine::RunnerParts {decisions, executor} : AgentEngine::RunnerParts {});
        recorder = std::make_unique<AgentTest::EventRecorder>(bus);
        engine->onDelegationAccepted = [this](const QUuid &projectID, const QUuid &taskID, const QUuid &agentID) {
            callbacks.append(
                Callback {"accepted", projectID, taskID, agentID, pool.assignedAgentID(taskID).has_value()});
        };
        engine->onWorkerCompleted = [this](const QUuid &projectID, const QUuid &taskID) {
            callbacks.append(Callback {"completed", projectID, taskID, {}, pool.assignedAgentID(taskID).has_value()});
        };
        engine->onWorkerFailed = [this](const QUuid &projectID, const QUuid &taskID) {
            callbacks.append(Callback {"failed", projectID, taskID, {}, pool.assignedAgentID(taskID).has_value()});
        };
        engine->onSlotReleased = [this](const QUuid &projectID, const QUuid &taskID) {
            callbacks.append(Callback {"released", projectID, taskID, {}, pool.assignedAgentID(taskID).has_value()});
        };
    }
    ~Fixture()
    {
        // Let runs still under way end before the engine goes.
        TestSupport::waitUntil(
            [&] { return AgentTest::waitForOutcome(engine->runner().hasActiveRun(task)).value == false; });
    }

    static QList<BL_Agent> makeAgents(int count)
    {
        QList<BL_Agent> agents;
        for (int i = 0; i < count; ++i)
            agents.append(AgentTest::makeAgent(QStringLiteral("agent-%1").arg(i + 1)));
        return agents;
    }

    void requestDelegation(const QUuid &forTask, std::optional<BL_DelegationRequestPayload> payload = std::nullopt)
    {
        if (!payload)
            payload = BL_DelegationRequestPayload {
                requester, QStringLiteral("manual"), QByteArray("{\"prompt\":\"p\"}"), QStringLiteral("/tmp/p")};
        bus.send(BL_Event::make(Type::delegationRequested, project, forTask, *payload));
    }
    void requestWithoutPayload(const QUuid &forTask)
    {
        bus.send(BL_Event::make(Type::delegationRequested, project, forTask));
    }

    std::shared_ptr<DecisionEngine> decisions = std::make_shared<DecisionEngine>();
    std::shared_ptr<ToolExecutor> executor = std::make_shared<ToolExecutor>();
    BLEventBus bus;
    WorkerPool pool;
    QUuid manager = QUuid::createUuid();
    QUuid requester = QUuid::createUuid();
    QUuid project = QUuid::createUuid();
    QUuid task = QUuid::createUuid();
    std::unique_ptr<AgentEngine> engine;
    std::unique_ptr<AgentTest::EventRecorder> recorder;
    QList<Callback> callbacks;
};

} // namespace

class AgentEngineTest : public QObject
{
    Q_OBJECT

private slots:
    // No free agent: one rejection without payload, published inside the
    // request's own publication; no ticket, no run.
    void poolFull()
    {
        Fixture f(1);
        const QUuid busy = QUuid::createUuid();
        const BL_Agent held = *f.pool.requestAssignment(busy, f.project);
        f.requestDelegation(f.task);
        QCOMPARE(f.recorder->types(), (QList<Type> {Type::delegationRejected, Type::delegationRequested}));
        const BL_Event rejected = f.recorder->events().first();
        QVERIFY(!rejected.payload);
        QCOMPARE(rejected.taskID, f.task);
        QCOMPARE(rejected.projectID, f.project);

        // A ticket would have been asked for inside the request's delivery and
        // so be pending before this question; a run would follow the ticket.
        QVERIFY(AgentTest::waitForOutcome(f.engine->handshakeCoordinator().pendingTickets()).value->isEmpty());
        TestSupport::drainMainThread();
        QCOMPARE(AgentTest::waitForOutcome(f.engine->runner().hasActiveRun(f.task)).value, false);
        QCOMPARE(f.recorder->events().size(), 2);
        QVERIFY(f.decisions->calls().isEmpty());
        QCOMPARE(f.pool.assignedAgentID(busy), held.id);
    }

    // The agent is taken while the request is delivered, so the free-slot
    // count a scheduler read before publishing is an exact limit.
    void agentsAreTakenAtOnce()
    {
        Fixture f(2);
        const QUuid first = QUuid::createUuid();
        const QUuid second = QUuid::createUuid();
        const QUuid third = QUuid::createUuid();
        const Pending<BL_AgentDecision> firstDecision;
        const Pending<BL_AgentDecision> secondDecision;
        f.decisions->add(firstDecision.future());
        f.decisions->add(secondDecision.future());
        f.requestDelegation(first);
        QCOMPARE(f.pool.freeSlotCount(), 1);
        f.requestDelegation(second);
        QCOMPARE(f.pool.freeSlotCount(), 0);
        f.requestDelegation(third);
        QCOMPARE(f.recorder->ofType(Type::delegationRejected).size(), 1);
        QCOMPARE(f.recorder->ofType(Type::delegationRejected)[0].taskID, third);
        QVERIFY(f.pool.assignedAgentID(first) != f.pool.assignedAgentID(second));
        QVERIFY(f.decisions->waitForCalls(2));
        // End both runs so the fixture can end.
        firstDecision.fail(CancelledError());
        secondDecision.fail(CancelledError());
        QVERIFY(TestSupport::waitUntil([&] {
            return !*AgentTest::waitForOutcome(f.engine->runner().hasActiveRun(first)).value
                && !*AgentTest::waitForOutcome(f.engine->runner().hasActiveRun(second)).value;
        }));
    }

    // The whole road over scripted parts: the run's request data reaches the
    // decision engine, acceptance calls back with the pool still holding the
    // agent, and completion frees the agent before the callback runs.
    void acceptedAndCompleted()
    {
        Fixture f(2);
        f.decisions->add(ready(BL_AgentDecision::finish(QByteArray("done"))));
        f.requestDelegation(f.task);
        QVERIFY(f.recorder->waitFor(Type::workerTaskCompleted));
        const QUuid agent = f.pool.agents().first().id;
        QCOMPARE(f.callbacks,
            (QList<Callback> {
                {"accepted", f.project, f.task, agent, true}, {"completed", f.project, f.task, {}, false}}));
        QCOMPARE(f.pool.activeAssignmentCount(), 0);
        const DecisionCall call = f.decisions->calls().first();
        QCOMPARE(call.agent.id, agent);
        QCOMPARE(call.taskInputData, QByteArray("{\"prompt\":\"p\"}"));
        QCOMPARE(call.projectRootPath, QStringLiteral("/tmp/p"));
        QCOMPARE(f.recorder->types(),
            (QList<Type> {Type::delegationRequested, Type::delegationAccepted, Type::taskAcceptedByWorker,
                Type::taskWorkerSpawned, Type::taskActivelyUnderwayByWorker, Type::taskModified, Type::taskModified,
                Type::workerTaskCompleted}));
        QVERIFY(AgentTest::waitForOutcome(f.engine->handshakeCoordinator().pendingTickets()).value->isEmpty());
    }

    void requestWithoutPayload()
    {
        Fixture f(1);
        f.decisions->add(ready(BL_AgentDecision::finish(std::nullopt)));
        f.requestWithoutPayload(f.task);
        QVERIFY(f.recorder->waitFor(Type::workerTaskCompleted));
        const DecisionCall call = f.decisions->calls().first();
        QVERIFY(!call.taskInputData);
        QVERIFY(!call.projectRootPath);
    }

    void outcomeEvents()
    {
        Fixture f(2);
        const QUuid agent = f.pool.requestAssignment(f.task, f.project)->id;

        f.bus.send(BL_Event::make(Type::delegationAccepted, f.project, f.task));
        QVERIFY(f.callbacks.isEmpty());
        QCOMPARE(f.pool.assignedAgentID(f.task), agent);

        // Outcomes of tasks the pool does not hold still reach the callbacks.
        const QUuid stranger = QUuid::createUuid();
        f.bus.send(BL_Event::make(Type::workerTaskCompleted, f.project, stranger));
        QCOMPARE(f.pool.assignedAgentID(f.task), agent);
        QCOMPARE(f.callbacks, (QList<Callback> {{"completed", f.project, stranger, {}, false}}));

        f.bus.send(BL_Event::make(Type::workerTaskFailed, f.project, f.task));
        QCOMPARE(f.callbacks.last(), (Callback {"failed", f.project, f.task, {}, false}));
        QCOMPARE(f.pool.activeAssignmentCount(), 0);

        // A rejection from anyone frees the task's slot.
        f.pool.requestAssignment(f.task, f.project);
        f.bus.send(BL_Event::make(Type::delegationRejected, f.project, f.task));
        QCOMPARE(f.pool.activeAssignmentCount(), 0);
        QCOMPARE(f.callbacks.size(), 2);
    }

    // A second request for a running task: the task keeps one agent, gets a
    // new ticket, and the earlier run is asked to stop.
    void delegatedAgainWhileRunning()
    {
        Fixture f(1);
        f.decisions->add(ready(BL_AgentDecision::makeAction(BL_AgentToolAction::runShell("work"))));
        const Pending<BL_AgentDecision> secondDecision;
        f.decisions->add(secondDecision.future());
        Pending<BL_Observation> command;
        f.executor->add(command.future());
        f.requestDelegation(f.task);
        QVERIFY(f.executor->waitForCalls(1));
        QCOMPARE(f.pool.activeAssignmentCount(), 1);

        f.requestDelegation(f.task); // the pool has no other agent
        QVERIFY(!f.recorder->contains(Type::delegationRejected));
        QCOMPARE(f.pool.activeAssignmentCount(), 1);
        QCOMPARE(f.pool.activeAgentIDs().size(), 1);
        QVERIFY(f.recorder->waitFor(Type::delegationAccepted, 2));
        QVERIFY(f.executor->calls()[0].cancellation.isCancelled());
        QVERIFY(f.decisions->waitForCalls(2));

        command.fail(CancelledError());
        secondDecision.fail(CancelledError());
        f.bus.send(BL_Event::make(Type::workerTaskFailed, f.project, f.task));
        // Freed once the cancelled run has ended.
        QVERIFY(TestSupport::waitUntil([&] { return f.pool.activeAssignmentCount() == 0; }));
        QVERIFY(f.pool.activeAgentIDs().isEmpty());
    }

    // An outcome published by someone else while the run goes on (the user
    // marking the worker done) does not free the slot: the run still works
    // and holds it until it publishes its own outcome.
    void outsideOutcomeLeavesARunningRunItsSlot()
    {
        Fixture f(1);
        const Pending<BL_AgentDecision> decision;
        f.decisions->add(decision.future());
        f.requestDelegation(f.task);
        QVERIFY(f.decisions->waitForCalls(1));

        f.bus.send(BL_Event::make(Type::workerTaskCompleted, f.project, f.task));
        QCOMPARE(f.callbacks.last(), (Callback {"completed", f.project, f.task, {}, true}));
        QCOMPARE(f.pool.activeAssignmentCount(), 1);
        f.requestDelegation(QUuid::createUuid()); // no second run while this one goes on
        QCOMPARE(f.recorder->types().last(), Type::delegationRequested);
        QCOMPARE(f.recorder->ofType(Type::delegationRejected).size(), 1);

        decision.finish(BL_AgentDecision::finish(std::nullopt));
        QVERIFY(f.recorder->waitFor(Type::workerTaskCompleted, 2));
        QCOMPARE(f.pool.activeAssignmentCount(), 0);
    }

    // A slot belongs to its task until the run ends: a cancelled run that
    // publishes no outcome still gives it back once it has ended, and the
    // state is told so it can hand the slot on.
    void runEndingWithoutAnOutcomeGivesItsSlotBack()
    {
        Fixture f(1);
        const Pending<BL_AgentDecision> decision;
        f.decisions->add(decision.future());
        f.requestDelegation(f.task);
        QVERIFY(f.decisions->waitForCalls(1));
        QCOMPARE(f.pool.activeAssignmentCount(), 1);

        AgentTest::waitForOutcome(f.engine->runner().cancelTaskExecution(f.task));
        QCOMPARE(f.pool.activeAssignmentCount(), 1); // the run has not ended yet
        decision.finish(BL_AgentDecision::finish(std::nullopt));
        QVERIFY(TestSupport::waitUntil([&] { return f.pool.activeAssignmentCount() == 0; }));
        QCOMPARE(f.callbacks.last(), (Callback {"released", f.project, f.task, {}, false}));
        QVERIFY(!f.recorder->contains(Type::workerTaskCompleted));
        QVERIFY(!f.recorder->contains(Type::workerTaskFailed));
    }

    // The end of a run whose task was delegated again meanwhile leaves the
    // newer delegation's slot alone.
    void endOfAnEarlierRunKeepsTheNewerSlot()
    {
        Fixture f(1);
        int endedRuns = 0;
        const auto engineHandler = f.engine->runner().onRunEnded;
        f.engine->runner().onRunEnded
            = [&, engineHandler](const QUuid &project, const QUuid &task, const QUuid &ticket) {
                  ++endedRuns;
                  engineHandler(project, task, ticket);
              };
        f.decisions->add(ready(BL_AgentDecision::makeAction(BL_AgentToolAction::runShell("work"))));
        const Pending<BL_AgentDecision> secondDecision;
        f.decisions->add(secondDecision.future());
        Pending<BL_Observation> command;
        f.executor->add(command.future());
        f.requestDelegation(f.task);
        QVERIFY(f.executor->waitForCalls(1));
        f.requestDelegation(f.task);
        QVERIFY(f.decisions->waitForCalls(2));
        command.fail(CancelledError()); // the earlier run ends, silently
        QVERIFY(TestSupport::waitUntil([&] { return endedRuns == 1; }));
        QCOMPARE(f.pool.activeAssignmentCount(), 1);
        QVERIFY(f.callbacks.isEmpty() || f.callbacks.last().name != QStringLiteral("released"));

        secondDecision.finish(BL_AgentDecision::finish(std::nullopt));
        QVERIFY(f.recorder->waitFor(Type::workerTaskCompleted));
        QCOMPARE(f.pool.activeAssignmentCount(), 0);
    }

    // Everything real: the engine's own decision engine and shell executor
    // drive the stand-in through zsh until the session reports success.
    void endToEndWithTheStandIn()
    {
        TestSupport::TemporaryHome home;
        BrimlockStandIn standIn;
        BrimlockStandIn::installInToolHome();
        QDir().mkpath(home.home() + QStringLiteral("/.brimlock/workspace-coder"));
        QFile soul(home.home() + QStringLiteral("/.brimlock/workspace-coder/SOUL.md"));
        QVERIFY(soul.open(QIODevice::WriteOnly));
        soul.write("# coder\n");
        soul.close();
        const QString root = home.path() + QStringLiteral("/project");
        QVERIFY(QDir().mkpath(root));
        standIn.setScenario(
            QJsonObject {{"agent", QJsonObject {{"*", QJsonObject {{"text", "Dispatched `qs-worker-1` now running"}}}}},
                {"history",
                    QJsonObject {{"*",
                        QJsonArray {QJsonObject {{"text", "still running"}},
                            QJsonObject {{"text", "All completed successfully."}}}}}}});

        Fixture f(2, false);
        f.requestDelegation(f.task,
            BL_DelegationRequestPayload {
                f.requester, QStringLiteral("manual"), Json::write(QJsonObject {{"prompt", "Add tests"}}), root});
        QVERIFY(f.recorder->waitFor(Type::workerTaskCompleted, 1, 30000));
        QVERIFY(f.recorder->allOnMainThread());
        QVERIFY(!f.recorder->contains(Type::workerTaskFailed));
        QCOMPARE(f.pool.activeAssignmentCount(), 0);

        const QList<QJsonObject> calls = standIn.invocations();
        QCOMPARE(calls.size(), 3);
        const QString session = UuidText::lower(f.task);
        QCOMPARE(BrimlockStandIn::argv(calls[0]).mid(0, 5),
            (QStringList {"agent", "--agent", "coder", "--session-id", session}));
        QCOMPARE(
            BrimlockStandIn::argv(calls[1]), (QStringList {"sessions", "history", "--session-id", session, "--json"}));
        QCOMPARE(calls[2].value("cwd").toString(), root);

        const auto result = f.recorder->ofType(Type::workerTaskCompleted)[0].decodePayload<BL_WorkerResultPayload>();
        const auto shell = BL_ShellToolResultPayload::decode(result->outputData.value_or(QByteArray()));
        QVERIFY(shell);
        QVERIFY(shell->standardOutput.contains(QStringLiteral("All completed successfully.")));
        QCOMPARE(shell->exitCode, 0);
        QStringList observations;
        for (const BL_Event &event : f.recorder->ofType(Type::taskModified))
            if (detail(event).startsWith(QStringLiteral("Worker recorded observation: ")))
                observations.append(detail(event));
        QCOMPARE(observations,
            (QStringList {"Worker recorded observation: Brimlock agent response: Dispatched `qs-worker-1` now running",
                "Worker recorded observation: Brimlock agent response: still running",
                "Worker recorded observation: Brimlock agent response: All completed successfully."}));
    }
};

QTEST_GUILESS_MAIN(AgentEngineTest)
#include "tst_agentengine.moc"
