#include "TestSupport.h"
#include "agents/WorkerPool.h"
#include "board/TaskBoardStore.h"
#include "model/BLEventBus.h"
#include "state/DelegationCoordinator.h"
#include "state/TaskCreation.h"
#include "state/WorkerClaimTimeout.h"

#include <QCoroSignal>
#include <QtTest>

namespace {

QList<BL_Agent> makeAgents(int count, TimePoint now)
{
    QList<BL_Agent> agents;
    for (int i = 0; i < count; ++i)
        agents.append(BL_Agent {
            QUuid::createUuid(), QStringLiteral("Agent-%1").arg(i), QStringLiteral("model"), {}, true, now, now});
    return agents;
}

// The coordinator over a real bus, pool and boards, with hooks that record
// what it asks of the rest of the state. A stand-in for the engine takes a
// pool slot for every delegation request and gives it back when a run ends,
// as the engine does ahead of the coordinator on the bus.
struct Fixture
{
    explicit Fixture(int agentCount = 6, qint64 sharedAgents = 4)
        : pool(makeAgents(agentCount, clock.now())), sharedSize(sharedAgents)
    {
        pool.setSharedAgentCount(sharedAgents);
        recorder = bus.subscribe([this](const BL_Event &event) { events.append(event); });
        engineStandIn = bus.subscribe([this](const BL_Event &event) {
            if (event.type == BL_EventType::delegationRequested && claimSlots)
                pool.requestAssignment(event.taskID, event.projectID);
            if (event.type == BL_EventType::workerTaskCompleted || event.type == BL_EventType::workerTaskFailed)
                pool.complete(event.taskID);
        });
        coordinator = std::make_unique<DelegationCoordinator>(
            clock, bus, pool, managerID, DelegationCoordinator::Intervals {3600, 3600, 3600, 3600}, hooks());
        coordinator->bindEventPipelines(nullptr);
    }

    QUuid addWorkspace(const QString &name, bool withBoard = true)
    {
        BL_Workspace workspace;
        workspace.id = QUuid::createUuid();
        workspace.name = name;
        workspace.rootPath = QStringLiteral("/work/") + name;
        workspaces.append(workspace);
        if (withBoard)
            stores.insert(workspace.id, std::make_shared<TaskBoardStore>(QList<BL_Task> {}, clock));
        return workspace.id;
    }

    // A task put on the board directly (no events), one second after the last.
    BL_Task addTask(const QUuid &projectID, const QString &title, BL_TaskStatus status)
    {
        clock.advance(1);
        TaskCreationRequest request;
        request.projectID = projectID;
        request.title = title;
        request.initialStatus = status;
        const auto task = TaskCreation::makeTask(request, QStringLiteral("ws"), QStringLiteral("tester"), clock);
        stores.value(projectID)->applyIncrementalUpdate(*task, std::nullopt);
        return *task;
    }

    BL_Task boardTask(const QUuid &projectID, const QUuid &taskID) const
    {
        return *stores.value(projectID)->task(taskID);
    }

    QList<QUuid> delegatedTaskIDs() const
    {
        QList<QUuid> ids;
        for (const BL_Event &event : events)
            if (event.type == BL_EventType::delegationRequested)
                ids.append(event.taskID);
        return ids;
    }

    QList<BL_EventType> types() const
    {
        QList<BL_EventType> list;
        for (const BL_Event &event : events)
            list.append(event.type);
        return list;
    }

    bool wasPersisted(const QUuid &taskID, BL_TaskStatus status) const
    {
        return std::any_of(persisted.begin(), persisted.end(),
            [&](const BL_Task &task) { return task.blID == taskID && task.status == status; });
    }

    // A backend poll lasts until the gate fires.
    QCoro::Task<> pollUntilGateOpens() { co_await qCoro(&pollGate, &TestSupport::Gate::opened); }

    DelegationCoordinator::Hooks hooks()
    {
        DelegationCoordinator::Hooks h;
        h.projects = [this] { return workspaces; };
        h.taskStore = [this](const QUuid &id) { return stores.value(id).get(); };
        h.taskStoreIDs = [this] { return stores.keys(); };
        h.isClientNodeMode = [this] { return clientNode; };
        h.cloudSyncConditionHolds = [this] { return cloudSync; };
        h.pollRemoteTasks = [this](QString reason) {
            calls << QStringLiteral("poll:") + reason;
            return pollUntilGateOpens();
        };
        h.persistTask = [this](const BL_Task &task) { persisted.append(task); };
        h.logTaskEvent = [this](const BL_Event &event, const BL_Task &) { logged.append(event); };
        h.resetTaskOutput = [this](const QUuid &, const QUuid &) { calls << QStringLiteral("output-reset"); };
        h.appendTaskOutput = [this](const QUuid &, const QUuid &, const QString &chunk) {
            calls << QStringLiteral("output:") + chunk;
        };
        h.setLastErrorMessage = [this](const QString &text) { errors << text; };
        h.captureGitBefore = [this](const QUuid &, const QUuid &) { calls << QStringLiteral("git-before"); };
        h.captureGitAfter = [this](const QUuid &, const QUuid &) { calls << QStringLiteral("git-after"); };
        h.requestBrowserRefresh = [this](const QUuid &) { calls << QStringLiteral("browser"); };
        h.setRunningWorkerCount = [this](const QUuid &id, qint64 count) { running.insert(id, count); };
        h.sharedWorkerPoolSize = [this] { return sharedSize; };
        h.setSharedWorkerPoolSize = [this](qint64 size) {
            sharedSize = size;
            calls << QStringLiteral("shared:%1").arg(size);
        };
        h.changeAgentCounts = [this](const std::function<void(QHash<QUuid, qint64> &)> &mutate) {
            mutate(agentCounts);
            calls << QStringLiteral("agent-counts");
        };
        h.rememberPoolSize = [this](const BL_Workspace &workspace, qint64 size) {
            calls << QStringLiteral("remember:%1:%2").arg(workspace.name).arg(size);
        };
        h.refreshHealthSnapshot = [this] { ++ticks[0]; };
        h.pollRemoteTasksOnInterval = [this] { ++ticks[1]; };
        h.syncFromClientNodeOnInterval = [this] { ++ticks[2]; };
        return h;
    }

    TestSupport::PinnedClock clock;
    BLEventBus bus;
    WorkerPool pool;
    QUuid managerID = QUuid::createUuid();
    QList<BL_Workspace> workspaces;
    QHash<QUuid, std::shared_ptr<TaskBoardStore>> stores;
    bool clientNode = false;
    bool cloudSync = false;
    bool claimSlots = true;
    qint64 sharedSize;
    QList<BL_Task> persisted;
    QList<BL_Event> logged;
    QStringList calls;
    QStringList errors;
    QHash<QUuid, qint64> running;
    QHash<QUuid, qint64> agentCounts;
    int ticks[3] = {0, 0, 0};
    TestSupport::Gate pollGate;
    QList<BL_Event> events;
    BLEventSubscription recorder;
    BLEventSubscription engineStandIn;
    std::unique_ptr<DelegationCoordinator> coordinator;
};

} // namespace

class DelegationCoordinatorTest : public QObject
{
    Q_OBJECT

private slots:
    void capacityLimitsScheduling_data()
    {
        QTest::addColumn<qint64>("sharedAgents");
        QTest::addColumn<int>("busySlots");
        QTest::addColumn<int>("queued");
        QTest::addColumn<int>("delegated");
        QTest::newRow("room for all") << qint64(4) << 0 << 3 << 3;
        QTest::newRow("fewer slots than tasks") << qint64(2) << 0 << 5 << 2;
        QTest::newRow("slots held by other runs") << qint64(4) << 3 << 5 << 1;
        QTest::newRow("full pool") << qint64(2) << 2 << 3 << 0;
        QTest::newRow("no agent in service") << qint64(0) << 0 << 2 << 0;
    }
    void capacityLimitsScheduling()
    {
        QFETCH(qint64, sharedAgents);
        QFETCH(int, busySlots);
        QFETCH(int, queued);
        QFETCH(int, delegated);
        Fixture f(6, sharedAgents);
        const QUuid project = f.addWorkspace(QStringLiteral("alpha"));
        for (int i = 0; i < busySlots; ++i)
            QVERIFY(f.pool.requestAssignment(QUuid::createUuid(), QUuid::createUuid()));
        f.addTask(project, QStringLiteral("not ready"), BL_TaskStatus::backlog);
        QList<QUuid> queuedIDs;
        for (int i = 0; i < queued; ++i)
            queuedIDs.append(f.addTask(project, QStringLiteral("task %1").arg(i), BL_TaskStatus::queued).blID);

        f.coordinator->scheduleReadyTasksIfCapacity(project);

        // The longest-waiting tasks go first, each announced and stored.
        QCOMPARE(f.delegatedTaskIDs(), queuedIDs.first(delegated));
        for (const QUuid &id : queuedIDs.first(delegated)) {
            const BL_Task task = f.boardTask(project, id);
            QCOMPARE(task.delegationState, BL_TaskDelegationState::spawnPending);
            QVERIFY(task.workerSessionKey->startsWith(QStringLiteral("pending-spawn:")));
        }
        for (const QUuid &id : queuedIDs.mid(delegated))
            QCOMPARE(f.boardTask(project, id).workerState, BL_TaskWorkerState::notDelegated);
        QCOMPARE(f.pool.activeAssignmentCount(), busySlots + delegated);
    }

    void schedulingAcrossWorkspacesStopsWhenThePoolIsFull()
    {
        Fixture f(6, 3);
        const QUuid first = f.addWorkspace(QStringLiteral("alpha"));
        const QUuid second = f.addWorkspace(QStringLiteral("beta"));
        const QUuid a1 = f.addTask(first, QStringLiteral("a1"), BL_TaskStatus::queued).blID;
        const QUuid b1 = f.addTask(second, QStringLiteral("b1"), BL_TaskStatus::queued).blID;
        const QUuid a2 = f.addTask(first, QStringLiteral("a2"), BL_TaskStatus::queued).blID;
        const QUuid b2 = f.addTask(second, QStringLiteral("b2"), BL_TaskStatus::queued).blID;

        f.coordinator->scheduleReadyTasksAcrossWorkspaces();
        // Workspaces in their listed order, so the first one is served whole.
        QCOMPARE(f.delegatedTaskIDs(), (QList<QUuid> {a1, a2, b1}));
        QCOMPARE(f.boardTask(second, b2).workerState, BL_TaskWorkerState::notDelegated);

        // The request names the workspace's folder and where it came from.
        const auto payload = f.events.at(f.types().indexOf(BL_EventType::delegationRequested))
                                 .decodePayload<BL_DelegationRequestPayload>();
        QCOMPARE(payload->projectRootPath, QStringLiteral("/work/alpha"));
        QCOMPARE(payload->source, QStringLiteral("auto-ready-pickup"));
        QCOMPARE(payload->managerID, f.managerID);

        // A client node leaves delegation to its main node.
        f.events.clear();
        f.pool.complete(a1);
        f.clientNode = true;
        f.coordinator->scheduleReadyTasksAcrossWorkspaces();
        f.coordinator->requestDelegation(b2, second, QStringLiteral("manual"));
        QVERIFY(f.delegatedTaskIDs().isEmpty());
    }

    void claimThatTimesOut_data()
    {
        QTest::addColumn<BL_TaskStatus>("status");
        QTest::addColumn<double>("age");
        QTest::addColumn<qint64>("sharedAgents");
        QTest::addColumn<bool>("rejected");
        QTest::addColumn<bool>("delegatedAgain");
        QTest::newRow("119 s: still waiting") << BL_TaskStatus::inProgress << 119.0 << qint64(0) << false << false;
        QTest::newRow("120 s, pool closed") << BL_TaskStatus::inProgress << 120.0 << qint64(0) << true << false;
        QTest::newRow("120 s, room in the pool") << BL_TaskStatus::inProgress << 120.0 << qint64(2) << true << true;
        QTest::newRow("120 s, already queued") << BL_TaskStatus::queued << 120.0 << qint64(0) << true << false;
    }
    void claimThatTimesOut()
    {
        QFETCH(BL_TaskStatus, status);
        QFETCH(double, age);
        QFETCH(qint64, sharedAgents);
        QFETCH(bool, rejected);
        QFETCH(bool, delegatedAgain);
        Fixture f(6, sharedAgents);
        f.claimSlots = false; // no worker ever claims it
        const QUuid project = f.addWorkspace(QStringLiteral("alpha"));
        const BL_Task created = f.addTask(project, QStringLiteral("Wait"), status);
        BL_Task pending = TaskCreation::markedForDelegation(created, f.clock);
        f.stores.value(project)->applyIncrementalUpdate(pending, created);

        f.clock.advance(age);
        f.coordinator->reconcilePendingWorkerClaims();

        QCOMPARE(f.types().count(BL_EventType::delegationRejected), rejected ? 1 : 0);
        const BL_Task after = f.boardTask(project, created.blID);
        if (!rejected) {
            QCOMPARE(after, pending);
            QVERIFY(f.persisted.isEmpty());
            return;
        }
        const bool moved = status != BL_TaskStatus::queued;
        QCOMPARE(after.status, BL_TaskStatus::queued);
        QCOMPARE(f.types().contains(BL_EventType::taskMoved), moved);
        // The move back is stored, and the monitor writes its own line of it
        // to the task's log besides the published move; that line is not
        // published.
        QCOMPARE(f.wasPersisted(created.blID, BL_TaskStatus::queued), true);
        QSet<QUuid> publishedIDs;
        for (const BL_Event &event : f.events)
            publishedIDs.insert(event.id);
        QCOMPARE(
            std::count_if(f.logged.begin(), f.logged.end(),
                [&](const BL_Event &e) { return e.type == BL_EventType::taskMoved && !publishedIDs.contains(e.id); }),
            moved ? 1 : 0);
        const auto rejection = f.events.at(f.types().indexOf(BL_EventType::delegationRejected));
        QCOMPARE(rejection.decodePayload<BL_TaskEventPayload>()->detail, WorkerClaimTimeout::kRejectionDetail);
        if (delegatedAgain) {
            // Back in the queue, it is picked up again at once.
            QCOMPARE(f.delegatedTaskIDs(), QList<QUuid> {created.blID});
            QVERIFY(f.types().indexOf(BL_EventType::delegationRequested)
                > f.types().indexOf(BL_EventType::delegationRejected));
            QCOMPARE(after.delegationState, BL_TaskDelegationState::spawnPending);
        } else {
            QVERIFY(f.delegatedTaskIDs().isEmpty());
            QCOMPARE(after.workerState, BL_TaskWorkerState::notDelegated);
            QCOMPARE(after.delegationState, BL_TaskDelegationState::unallocated);
            QVERIFY(!after.workerSessionKey);
        }
    }

    void workerFiguresFollowTheRuns()
    {
        Fixture f(6, 1);
        const QUuid project = f.addWorkspace(QStringLiteral("alpha"));
        const QUuid other = f.addWorkspace(QStringLiteral("beta"));
        const QUuid first = f.addTask(project, QStringLiteral("first"), BL_TaskStatus::queued).blID;
        const QUuid second = f.addTask(project, QStringLiteral("second"), BL_TaskStatus::queued).blID;

        // The request takes the one slot; the figure counts it from then on.
        f.coordinator->scheduleReadyTasksIfCapacity(project);
        QCOMPARE(f.delegatedTaskIDs(), QList<QUuid> {first});
        QCOMPARE(f.running.value(project), 1);
        QCOMPARE(f.running.value(other), 0);

        // The worker accepted: the card moves to in progress, is stored and
        // gets its start checkpoint.
        f.calls.clear();
        f.coordinator->handleDelegationAccepted(project, first);
        QCOMPARE(f.boardTask(project, first).status, BL_TaskStatus::inProgress);
        QVERIFY(f.wasPersisted(first, BL_TaskStatus::inProgress));
        QVERIFY(f.calls.contains(QStringLiteral("git-before")));
        QCOMPARE(f.running.value(project), 1);

        // The run completes: the slot is free, the card completed and stored,
        // the end checkpoint asked for, and the next queued task takes the slot.
        f.calls.clear();
        f.events.clear();
        BL_WorkerResultPayload result;
        result.agentID = *f.pool.assignedAgentID(first);
        result.outputData = QByteArray("done");
        f.bus.send(BL_Event::make(BL_EventType::workerTaskCompleted, project, first, result));
        const BL_Task done = f.boardTask(project, first);
        QCOMPARE(done.status, BL_TaskStatus::completed);
        QCOMPARE(done.workerState, BL_TaskWorkerState::workerCompleted);
        QVERIFY(f.wasPersisted(first, BL_TaskStatus::completed));
        QVERIFY(f.calls.contains(QStringLiteral("git-after")));
        QVERIFY(f.calls.contains(QStringLiteral("browser")));
        QCOMPARE(f.delegatedTaskIDs(), QList<QUuid> {second});
        QCOMPARE(f.running.value(project), 1);
        QVERIFY(std::any_of(f.logged.begin(), f.logged.end(),
            [](const BL_Event &e) { return e.type == BL_EventType::workerTaskCompleted; }));

        // A task taken off the board gives its slot back at the next move.
        f.stores.value(project)->removeTasks({second});
        BL_TaskMovedPayload move;
        move.fromStatus = BL_TaskStatus::queued;
        move.toStatus = BL_TaskStatus::backlog;
        f.bus.send(BL_Event::make(BL_EventType::taskMoved, project, QUuid::createUuid(), move));
        QCOMPARE(f.pool.activeAssignmentCount(), 0);
        QCOMPARE(f.running.value(project), 0);

        // A workspace without a board counts no running workers.
        const QUuid boardless = f.addWorkspace(QStringLiteral("gamma"), false);
        f.running.insert(boardless, 3);
        f.bus.send(BL_Event::make(BL_EventType::taskMoved, boardless, QUuid::createUuid(), move));
        QCOMPARE(f.running.value(boardless), 0);
    }

    void poolSizeClamping_data()
    {
        QTest::addColumn<int>("agents");
        QTest::addColumn<qint64>("requested");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("zero") << 6 << qint64(0) << qint64(1);
        QTest::newRow("negative") << 6 << qint64(-3) << qint64(1);
        QTest::newRow("nine") << 6 << qint64(9) << qint64(6);
        QTest::newRow("two") << 6 << qint64(2) << qint64(2);
        QTest::newRow("more than the agents") << 3 << qint64(5) << qint64(3);
        QTest::newRow("unchanged") << 6 << qint64(4) << qint64(4);
    }
    void poolSizeClamping()
    {
        QFETCH(int, agents);
        QFETCH(qint64, requested);
        QFETCH(qint64, expected);
        Fixture f(agents, std::min(4, agents));
        f.sharedSize = 4;
        const QUuid alpha = f.addWorkspace(QStringLiteral("alpha"));
        const QUuid beta = f.addWorkspace(QStringLiteral("beta"));
        // Every slot in service is busy, and one task waits for a slot.
        while (f.pool.freeSlotCount() > 0)
            f.pool.requestAssignment(QUuid::createUuid(), QUuid::createUuid());
        const QUuid waiting = f.addTask(beta, QStringLiteral("waiting"), BL_TaskStatus::queued).blID;

        f.coordinator->setWorkerPoolSize(QUuid::createUuid(), 2); // not a workspace: nothing
        QVERIFY(f.calls.isEmpty());
        QCOMPARE(f.sharedSize, 4);

        f.coordinator->setWorkerPoolSize(alpha, requested);
        QCOMPARE(f.sharedSize, expected);
        if (expected == 4) {
            QVERIFY(f.calls.isEmpty());
            QVERIFY(f.agentCounts.isEmpty());
            return;
        }
        QCOMPARE(f.pool.sharedAgentCount(), expected);
        // The size is published first, then every workspace's count, each
        // remembered with its bookmark.
        QCOMPARE(f.calls,
            (QStringList {QStringLiteral("shared:%1").arg(expected), QStringLiteral("remember:alpha:%1").arg(expected),
                QStringLiteral("remember:beta:%1").arg(expected), QStringLiteral("agent-counts")}));
        QCOMPARE(f.agentCounts, (QHash<QUuid, qint64> {{alpha, expected}, {beta, expected}}));
        // A larger pool takes the waiting task at once.
        const bool room = expected > std::min(4, agents);
        QCOMPARE(f.delegatedTaskIDs(), room ? QList<QUuid> {waiting} : QList<QUuid> {});
    }

    void createTask_data()
    {
        QTest::addColumn<bool>("clientNode");
        QTest::addColumn<QString>("title");
        QTest::addColumn<BL_TaskStatus>("status");
        QTest::addColumn<bool>("refused");
        QTest::addColumn<QList<BL_EventType>>("published");
        using T = BL_EventType;
        QTest::newRow("backlog") << false << QStringLiteral("Write docs") << BL_TaskStatus::backlog << false
                                 << QList<T> {T::taskCreated};
        QTest::newRow("queued, delegated at once")
            << false << QStringLiteral("Fix build") << BL_TaskStatus::queued << false
            << QList<T> {T::taskCreated, T::taskDelegated, T::delegationRequested};
        QTest::newRow("blank title") << false << QStringLiteral(" \n ") << BL_TaskStatus::queued << true << QList<T> {};
        QTest::newRow("client node") << true << QStringLiteral("Fix build") << BL_TaskStatus::queued << false
                                     << QList<T> {};
        QTest::newRow("client node, blank title")
            << true << QStringLiteral("  ") << BL_TaskStatus::queued << true << QList<T> {};
    }
    void createTask()
    {
        QFETCH(bool, clientNode);
        QFETCH(QString, title);
        QFETCH(BL_TaskStatus, status);
        QFETCH(bool, refused);
        QFETCH(QList<BL_EventType>, published);
        Fixture f;
        f.clientNode = clientNode;
        const QUuid project = f.addWorkspace(QStringLiteral("alpha"));
        TaskCreationRequest request;
        request.projectID = project;
        request.title = title;
        request.initialStatus = status;

        f.coordinator->createTask(request);
        QCOMPARE(f.errors, refused ? QStringList {TaskCreation::kTitleRequiredMessage} : QStringList {});
        QCOMPARE(f.types(), published);
        QCOMPARE(f.stores.value(project)->taskByID().size(), published.isEmpty() ? 0 : 1);
        if (!published.isEmpty())
            QVERIFY(f.persisted.first().inputData.contains(title.toUtf8()));
    }

    void delegationWaitsForTheBackendPoll_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("takenMeanwhile");
        QTest::addColumn<bool>("delegated");
        QTest::newRow("manual") << QStringLiteral("manual") << false << true;
        QTest::newRow("manual, even when taken meanwhile") << QStringLiteral("manual") << true << true;
        QTest::newRow("pickup") << QStringLiteral("auto-ready-pickup") << false << true;
        QTest::newRow("pickup of a task taken meanwhile") << QStringLiteral("auto-ready-pickup") << true << false;
    }
    void delegationWaitsForTheBackendPoll()
    {
        QFETCH(QString, source);
        QFETCH(bool, takenMeanwhile);
        QFETCH(bool, delegated);
        Fixture f;
        f.cloudSync = true;
        const QUuid project = f.addWorkspace(QStringLiteral("alpha"));
        const BL_Task task = f.addTask(project, QStringLiteral("Sync first"), BL_TaskStatus::queued);

        f.coordinator->requestDelegation(task.blID, project, source);
        QCOMPARE(f.calls, QStringList {QStringLiteral("poll:before-delegation")});
        QVERIFY(f.delegatedTaskIDs().isEmpty());
        if (takenMeanwhile)
            f.stores.value(project)->setTaskStatus(task.blID, BL_TaskStatus::inProgress, project, nullptr);

        f.pollGate.open();
        TestSupport::drainMainThread();
        QCOMPARE(f.delegatedTaskIDs(), delegated ? QList<QUuid> {task.blID} : QList<QUuid> {});
    }

    void pendingPollOutlivesTheCoordinator()
    {
        Fixture f;
        f.cloudSync = true;
        const QUuid project = f.addWorkspace(QStringLiteral("alpha"));
        const BL_Task task = f.addTask(project, QStringLiteral("Sync first"), BL_TaskStatus::queued);
        f.coordinator->requestDelegation(task.blID, project, QStringLiteral("manual"));

        // A creation under cloud sync polls on a later turn, not within the call.
        TaskCreationRequest request;
        request.projectID = project;
        request.title = QStringLiteral("Another");
        f.coordinator->createTask(request);
        QCOMPARE(f.calls, QStringList {QStringLiteral("poll:before-delegation")});
        TestSupport::drainMainThread();
        QCOMPARE(
            f.calls, (QStringList {QStringLiteral("poll:before-delegation"), QStringLiteral("poll:local-create")}));

        f.coordinator.reset();
        f.pollGate.open();
        TestSupport::drainMainThread();
        QVERIFY(f.delegatedTaskIDs().isEmpty());
    }

    void outputGoesToListedWorkspacesOnly_data()
    {
        QTest::addColumn<bool>("listed");
        QTest::addColumn<bool>("reset");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("chunk") << true << false << QStringList {QStringLiteral("output:hello")};
        QTest::newRow("reset with a chunk") << true << true << QStringList {QStringLiteral("output-reset")};
        QTest::newRow("unlisted workspace") << false << false << QStringList {};
    }
    void outputGoesToListedWorkspacesOnly()
    {
        QFETCH(bool, listed);
        QFETCH(bool, reset);
        QFETCH(QStringList, calls);
        Fixture f;
        const QUuid project = listed ? f.addWorkspace(QStringLiteral("alpha")) : QUuid::createUuid();
        const QUuid taskID
            = listed ? f.addTask(project, QStringLiteral("t"), BL_TaskStatus::inProgress).blID : QUuid::createUuid();
        BL_TaskEventPayload payload;
        payload.stdoutChunk = QStringLiteral("hello");
        if (reset)
            payload.stdoutReset = true;
        f.bus.send(BL_Event::make(BL_EventType::taskModified, project, taskID, payload));
        QCOMPARE(f.calls, calls);
        // Output is not folded into the task.
        QVERIFY(f.persisted.isEmpty());
        QVERIFY(f.logged.isEmpty());
    }

    void timersTickIntoTheirHooks()
    {
        Fixture f;
        DelegationCoordinator ticking(
            f.clock, f.bus, f.pool, f.managerID, DelegationCoordinator::Intervals {0.01, 0.01, 0.01, 0.01}, f.hooks());
        ticking.bindEventPipelines(nullptr);
        QVERIFY(TestSupport::waitUntil([&] { return f.ticks[0] > 0 && f.ticks[1] > 0 && f.ticks[2] > 0; }));
    }
};

QTEST_GUILESS_MAIN(DelegationCoordinatorTest)
#include "tst_delegationcoordinator.moc"
