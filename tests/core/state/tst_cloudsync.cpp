#include "../cloud/FakeCloudBackend.h"
#include "board/TaskBoardStore.h"
#include "common/Json.h"
#include "common/UuidText.h"
#include "state/CloudSync.h"

#include <QJsonArray>
#include <QTest>

namespace {

bool finish(QCoro::Task<> task, int timeoutMs = 20000)
{
    return TestSupport::awaitDone(std::move(task), timeoutMs);
}

// What the sync sees of the rest of the state, held in plain members.
struct FakeState
{
    bool featureEnabled = true;
    bool clientNode = false;
    bool usableSession = true;
    std::optional<QString> baseURL;
    std::optional<QString> accessToken = QStringLiteral("backend-access-token");
    std::optional<BL_AuthContext> context;
    std::optional<BL_NodeType> nodeType = BL_NodeType::mainNode;
    QList<BL_Workspace> projects;
    QHash<QUuid, std::shared_ptr<TaskBoardStore>> stores;
    QStringList log;
    QList<BL_Task> persisted;
    QList<QUuid> reconciled;
    std::optional<TimePoint> lastSyncAt;
    int refreshes = 0;
    bool active = true;

    CloudSync::Hooks hooks()
    {
        CloudSync::Hooks h;
        h.appendLog = [this](const QString &line) { log.append(line); };
        h.setFeatureEnabled = [this](bool on) { featureEnabled = on; };
        h.isFeatureEnabled = [this] { return featureEnabled; };
        h.isClientNodeMode = [this] { return clientNode; };
        h.hasUsableCloudSession = [this] { return usableSession; };
        h.backendBaseURL = [this] { return baseURL; };
        h.accessToken = [this] { return accessToken; };
        h.authContext = [this] { return context; };
        h.applyAuthContext = [this](const BL_AuthContext &c) { context = c; };
        h.refreshAuthContext = [this]() -> QCoro::Task<> {
            ++refreshes;
            co_return;
        };
        h.nodeType = [this] { return nodeType; };
        h.setNodeType = [this](const std::optional<BL_NodeType> &type) { nodeType = type; };
        h.currentUserEmail = [] { return std::optional<QString>(QStringLiteral("ada@example.com")); };
        h.nodeInstanceID = [] { return QStringLiteral("node-1"); };
        h.selectedTeamID = [] { return std::optional<QUuid>(); };
        h.projects = [this] { return projects; };
        h.taskStore = [this](const QUuid &id) { return stores.value(id).get(); };
        h.taskStoreIDs = [this] { return stores.keys(); };
        h.reconcileRunningAssignments = [this](const QUuid &id) { reconciled.append(id); };
        h.persistTask = [this](const BL_Task &task) { persisted.append(task); };
        h.setRemoteLastSyncAt = [this](TimePoint at) { lastSyncAt = at; };
        return h;
    }
    QStringList linesStartingWith(const QString &prefix) const
    {
        QStringList kept;
        for (const QString &line : log)
            if (line.startsWith(prefix))
                kept.append(line);
        return kept;
    }
};

BL_Task localTask(const QUuid &projectID, const QString &title, TimePoint at)
{
    BL_Task task;
    task.blID = QUuid::createUuid();
    task.projectID = projectID;
    task.inputData = Json::write(QJsonObject {{QStringLiteral("title"), title}});
    task.metadata = "{}";
    task.taskHistoryData = "[]";
    task.taskConversationData = "[]";
    task.createdAt = at;
    task.updatedAt = at;
    task.taskLastActivityDate = at;
    return task;
}

} // namespace

// The cloud sync alone against the stand-in backend: fake hooks for the rest
// of the state, a pinned clock and one workspace with a board.
struct SyncBench
{
    FakeCloudBackend backend;
    TestSupport::PinnedClock clock {TimePoint::fromUnixSeconds(1767607200.5)};
    FakeState state;
    TessaronAPIClient client {nullptr, TessaronAPIClient::Options {}, clock};
    std::unique_ptr<CloudSync> sync;
    QUuid project = QUuid::createUuid();

    SyncBench()
    {
        state.baseURL = backend.apiRoot();
        state.projects.append(BL_Workspace {
            project, std::nullopt, QStringLiteral("Alpha"), QStringLiteral("/tmp/alpha"), clock.now(), clock.now()});
        state.stores.insert(project, std::make_shared<TaskBoardStore>(QList<BL_Task> {}, clock));
        ApplicationActivity activity;
        activity.isActive = [this] { return state.active; };
        sync = std::make_unique<CloudSync>(client, clock, activity, state.hooks());
    }
    TaskBoardStore &board() { return *state.stores.value(project); }
    QStringList lines() const { return backend.requestLines(); }
    QString tasksPath() const { return QStringLiteral("/v1/projects/") + UuidText::lower(project) + "/tasks"; }
    void failTaskListing(int times = 1) const
    {
        backend.script(
            {{"method", "GET"}, {"path", "/v1/projects/*/tasks"}, {"status", 500}, {"text", "down"}, {"times", times}});
    }
};

class TestCloudSyncConcern : public QObject
{
    Q_OBJECT

private slots:
    void gateRefusesWithoutWhatAPollNeeds_data()
    {
        QTest::addColumn<QString>("missing");
        QTest::newRow("switch off") << "switch";
        QTest::newRow("client node") << "client";
        QTest::newRow("no usable session") << "session";
        QTest::newRow("no backend address") << "address";
    }
    void gateRefusesWithoutWhatAPollNeeds()
    {
        QFETCH(QString, missing);
        SyncBench bench;
        QVERIFY(bench.backend.isRunning());
        QVERIFY(bench.sync->shouldAttemptRemotePoll(QStringLiteral("local-move")));
        if (missing == "switch")
            bench.state.featureEnabled = false;
        else if (missing == "client")
            bench.state.clientNode = true;
        else if (missing == "session")
            bench.state.usableSession = false;
        else
            bench.state.baseURL.reset();
        QVERIFY(!bench.sync->shouldAttemptRemotePoll(QStringLiteral("local-move")));
        QVERIFY(!bench.sync->shouldAttemptRemotePoll(QStringLiteral("interval")));
        QVERIFY(finish(bench.sync->pollRemoteTasksAcrossProjects(QStringLiteral("local-move"))));
        QVERIFY(bench.lines().isEmpty());
        QVERIFY(!bench.state.lastSyncAt);
    }

    void failedIntervalPollsBackOffAndASuccessResets()
    {
        SyncBench bench;
        const QString interval = QStringLiteral("interval");
        // 15, 30, 60, 120, 240, then 300 s at most; the count stops at 8.
        const QList<double> delays {15, 30, 60, 120, 240, 300, 300, 300, 300};
        for (int i = 0; i < delays.size(); ++i) {
            bench.failTaskListing();
            QVERIFY(bench.sync->shouldAttemptRemotePoll(interval));
            QVERIFY(finish(bench.sync->pollRemoteTasksAcrossProjects(interval)));
            QCOMPARE(bench.sync->remotePollFailureCount(), std::min(i + 1, 8));
            QCOMPARE(bench.sync->nextRemotePollAllowedAt(), bench.clock.now().addSeconds(delays[i]));
            QVERIFY(!bench.sync->isRemotePollInFlight());
            bench.clock.advance(delays[i] - 1);
            QVERIFY(!bench.sync->shouldAttemptRemotePoll(interval));
            QVERIFY(bench.sync->shouldAttemptRemotePoll(QStringLiteral("sign-in"))); // only timer polls wait
            bench.clock.advance(1);
        }
        QVERIFY(bench.sync->shouldAttemptRemotePoll(interval));
        QVERIFY(finish(bench.sync->pollRemoteTasksAcrossProjects(interval)));
        QCOMPARE(bench.sync->remotePollFailureCount(), 0);
        QCOMPARE(bench.sync->nextRemotePollAllowedAt(), bench.clock.now().addSeconds(15));

        // A poll for any other reason neither counts nor moves the gate.
        bench.failTaskListing();
        const TimePoint next = bench.sync->nextRemotePollAllowedAt();
        QVERIFY(finish(bench.sync->pollRemoteTasksAcrossProjects(QStringLiteral("local-create"))));
        QCOMPARE(bench.sync->remotePollFailureCount(), 0);
        QCOMPARE(bench.sync->nextRemotePollAllowedAt(), next);
    }

    void backgroundTimerPollsAreSpacedApart()
    {
        SyncBench bench;
        const QString interval = QStringLiteral("interval");
        bench.state.active = false;
        QVERIFY(bench.sync->shouldAttemptRemotePoll(interval));
        QVERIFY(finish(bench.sync->pollRemoteTasksAcrossProjects(interval)));
        bench.clock.advance(44);
        QVERIFY(!bench.sync->shouldAttemptRemotePoll(interval));
        bench.state.active = true;
        QVERIFY(bench.sync->shouldAttemptRemotePoll(interval));
        bench.state.active = false;
        bench.clock.advance(45);
        QVERIFY(bench.sync->shouldAttemptRemotePoll(interval));

        // The client-node gate: only on a client node, 8 s in the background.
        QVERIFY(!bench.sync->shouldAttemptClientNodeSync(interval));
        bench.state.clientNode = true;
        QVERIFY(bench.sync->shouldAttemptClientNodeSync(interval));
        bench.clock.advance(7);
        QVERIFY(!bench.sync->shouldAttemptClientNodeSync(interval));
        QVERIFY(bench.sync->shouldAttemptClientNodeSync(QStringLiteral("bootstrap")));
        bench.clock.advance(1);
        QVERIFY(bench.sync->shouldAttemptClientNodeSync(interval));
    }

    void aFailedListingIsCountedAndReported()
    {
        SyncBench bench;
        bench.failTaskListing();
        const QString interval = QStringLiteral("interval");
        QVERIFY(bench.sync->shouldAttemptRemotePoll(interval));
        QVERIFY(finish(bench.sync->pollRemoteTasksAcrossProjects(interval)));
        const QStringList failed = bench.state.linesStartingWith(
            QStringLiteral("Remote poll failed for project ") + UuidText::lower(bench.project) + QStringLiteral(": "));
        QCOMPARE(failed.size(), 1);
        QVERIFY2(failed.first().contains("500"), qPrintable(failed.first()));
        QCOMPARE(bench.sync->remotePollFailureCount(), 1);
        // The poll still ended: it is stamped and no longer in flight.
        QCOMPARE(bench.state.lastSyncAt, std::optional<TimePoint>(bench.clock.now()));
        QVERIFY(!bench.sync->isRemotePollInFlight());
        QVERIFY(bench.state.persisted.isEmpty());
    }

    void aFailedAccountFetchSkipsThePoll()
    {
        SyncBench bench;
        bench.backend.script({{"method", "GET"}, {"path", "/v1/me"}, {"status", 503}, {"text", "busy"}});
        const QString interval = QStringLiteral("interval");
        QVERIFY(bench.sync->shouldAttemptRemotePoll(interval));
        QVERIFY(finish(bench.sync->pollRemoteTasksAcrossProjects(interval)));
        QCOMPARE(bench.lines(), QStringList {"GET /v1/me"});
        QCOMPARE(
            bench.state.linesStartingWith(QStringLiteral("Remote poll skipped, auth context fetch failed: ")).size(),
            1);
        QCOMPARE(bench.sync->remotePollFailureCount(), 1);
        QVERIFY(!bench.sync->isRemotePollInFlight());
        QVERIFY(!bench.state.lastSyncAt);
    }

    void aPollWhileOneIsInFlightIsDropped()
    {
        SyncBench bench;
        bench.backend.script(
            {{"method", "GET"}, {"path", "/v1/projects/*/tasks"}, {"behaviour", "stall"}, {"seconds", 1}});
        bool firstDone = false;
        auto first = [](CloudSync *sync, bool *done) -> QCoro::Task<> {
            co_await sync->pollRemoteTasksAcrossProjects(QStringLiteral("local-move"));
            *done = true;
        }(bench.sync.get(), &firstDone);
        QVERIFY(bench.sync->isRemotePollInFlight());
        QVERIFY(TestSupport::waitUntil([&] { return bench.lines().contains("GET " + bench.tasksPath()); }));

        // The second request ends at once without a word to the backend.
        const QStringList before = bench.lines();
        QVERIFY(finish(bench.sync->pollRemoteTasksAcrossProjects(QStringLiteral("local-create")), 500));
        QVERIFY(!firstDone);
        QCOMPARE(bench.lines(), before);
        QVERIFY(bench.sync->isRemotePollInFlight());
        QVERIFY(TestSupport::waitUntil([&] { return firstDone; }, 20000));
        QVERIFY(!bench.sync->isRemotePollInFlight());
    }

    void goingAwayDuringAPollLeavesNothingBehind()
    {
        SyncBench bench;
        bench.backend.script(
            {{"method", "GET"}, {"path", "/v1/projects/*/tasks"}, {"behaviour", "stall"}, {"seconds", 1}});
        auto pending = bench.sync->pollRemoteTasksAcrossProjects(QStringLiteral("local-move"));
        QVERIFY(TestSupport::waitUntil([&] { return bench.lines().contains("GET " + bench.tasksPath()); }));
        bench.sync.reset();
        // The reply lands after the sync has gone: nothing is applied or stamped.
        QVERIFY(TestSupport::waitUntil([&] { return pending.isReady(); }, 20000));
        QVERIFY(!bench.state.lastSyncAt);
        QVERIFY(bench.state.persisted.isEmpty());
    }

    void pushPairsTasksAndUploadsOnlyChanges()
    {
        SyncBench bench;
        const BL_Task first = localTask(bench.project, QStringLiteral("First"), bench.clock.now());
        const BL_Task second = localTask(bench.project, QStringLiteral("Second"), bench.clock.now());
        bench.board().applySnapshot({first, second});
        QVERIFY(finish(bench.sync->pollRemoteTasksAcrossProjects(QStringLiteral("local-create"))));
        QVERIFY(bench.sync->projectIDsRegisteredRemotely().contains(bench.project));
        for (const BL_Task &task : {first, second}) {
            const QUuid remote = bench.sync->remoteTaskIDByLocalTaskID().value(task.blID);
            QVERIFY(!remote.isNull());
            QCOMPARE(bench.sync->localTaskIDByRemoteTaskID().value(remote), task.blID);
            QCOMPARE(bench.sync->lastEmittedTaskDigestByLocalTaskID().value(task.blID), CloudSync::taskDigest(task));
        }
        QCOMPARE(bench.board().taskByID().size(), 2); // the pull found the same two
        QCOMPARE(bench.state.reconciled, QList<QUuid> {bench.project});
        QVERIFY(bench.state.linesStartingWith(QStringLiteral("Imported 2 backend task(s) for project ")).size() == 1);

        // Once the pulled copies have settled, unchanged tasks are not sent
        // again; a changed one is.
        QVERIFY(finish(bench.sync->pollRemoteTasksAcrossProjects(QStringLiteral("local-create"))));
        const qsizetype seen = bench.lines().size();
        const BL_Task moved = *bench.board().updateTask(first.blID, [&](BL_Task &task) {
            task.status = BL_TaskStatus::queued;
            task.updatedAt = bench.clock.now().addSeconds(5);
        });
        bench.sync->forgetProjectSyncEntries(QUuid::createUuid(), {}); // another workspace: no effect
        QVERIFY(finish(bench.sync->pollRemoteTasksAcrossProjects(QStringLiteral("local-move"))));
        QStringList writes;
        const QStringList polled = bench.lines().mid(seen);
        for (const QString &line : polled)
            if (!line.startsWith("GET "))
                writes.append(line);
        QVERIFY2(!writes.isEmpty(), qPrintable(polled.join(u',')));
        for (const QString &line : writes)
            QVERIFY2(line.contains(UuidText::lower(bench.sync->remoteTaskIDByLocalTaskID().value(first.blID)))
                    || line.endsWith("/tasks"),
                qPrintable(line));
        QCOMPARE(bench.sync->lastEmittedTaskDigestByLocalTaskID().value(first.blID), CloudSync::taskDigest(moved));

        // Forgetting a task or the whole workspace drops its pairs.
        const QUuid firstRemote = bench.sync->remoteTaskIDByLocalTaskID().value(first.blID);
        bench.sync->forgetTaskSyncEntries(first.blID);
        QVERIFY(!bench.sync->remoteTaskIDByLocalTaskID().contains(first.blID));
        QVERIFY(!bench.sync->localTaskIDByRemoteTaskID().contains(firstRemote));
        QVERIFY(!bench.sync->lastEmittedTaskDigestByLocalTaskID().contains(first.blID));
        QVERIFY(bench.sync->remoteTaskIDByLocalTaskID().contains(second.blID));
        bench.sync->forgetProjectSyncEntries(bench.project, {second.blID});
        QVERIFY(bench.sync->remoteTaskIDByLocalTaskID().isEmpty());
        QVERIFY(bench.sync->localTaskIDByRemoteTaskID().isEmpty());
        QVERIFY(bench.sync->lastEmittedTaskDigestByLocalTaskID().isEmpty());
        QVERIFY(bench.sync->projectIDsRegisteredRemotely().isEmpty());
    }

    void remapKeepsOtherWorkspacesTasksApart_data()
    {
        QTest::addColumn<QString>("named");
        QTest::addColumn<bool>("takesLocalID");
        QTest::newRow("this workspace's task") << "own" << true;
        QTest::newRow("a task no board knows") << "unknown" << true;
        QTest::newRow("another workspace's task") << "other" << false;
        QTest::newRow("not an id") << "garbage" << false;
    }
    void remapKeepsOtherWorkspacesTasksApart()
    {
        QFETCH(QString, named);
        QFETCH(bool, takesLocalID);
        SyncBench bench;
        const QUuid otherProject = QUuid::createUuid();
        const BL_Task own = localTask(bench.project, QStringLiteral("Own"), bench.clock.now());
        const BL_Task foreign = localTask(otherProject, QStringLiteral("Foreign"), bench.clock.now());
        bench.board().applySnapshot({own});
        bench.state.stores.insert(
            otherProject, std::make_shared<TaskBoardStore>(QList<BL_Task> {foreign}, bench.clock));

        QString localID = UuidText::lower(QUuid::createUuid());
        if (named == "own")
            localID = UuidText::lower(own.blID);
        else if (named == "other")
            localID = UuidText::lower(foreign.blID);
        else if (named == "garbage")
            localID = QStringLiteral("not-a-uuid");
        BL_Task remote = localTask(bench.project, QStringLiteral("Remote"), bench.clock.now());
        remote.metadata = Json::write(QJsonObject {{QStringLiteral("local_task_id"), localID}});

        const BL_Task mapped = bench.sync->remapRemoteTaskToLocal(remote, bench.project);
        QCOMPARE(mapped.blID == remote.blID, !takesLocalID);
        QCOMPARE(bench.sync->remoteTaskIDByLocalTaskID().value(mapped.blID), remote.blID);
        QCOMPARE(bench.sync->localTaskIDByRemoteTaskID().value(remote.blID), mapped.blID);
        // Once paired, the pair holds whatever the metadata says later.
        remote.metadata = "{}";
        QCOMPARE(bench.sync->remapRemoteTaskToLocal(remote, bench.project).blID, mapped.blID);
    }

    void nodeRegistersOnceUntilForgotten()
    {
        SyncBench bench;
        bench.state.nodeType = BL_NodeType::subNode;
        const auto registered = awaitTask(bench.sync->ensureNodeRegistrationIfNeeded());
        QVERIFY(registered && *registered);
        QVERIFY(bench.sync->hasRegisteredNodeRemotely());
        QCOMPARE(bench.lines(), QStringList {"POST /v1/nodes/register"});
        QVERIFY(awaitTask(bench.sync->ensureNodeRegistrationIfNeeded()).value_or(false));
        QCOMPARE(bench.lines().size(), 1);
        bench.sync->forgetNodeRegistration();
        QVERIFY(awaitTask(bench.sync->ensureNodeRegistrationIfNeeded()).value_or(false));
        QCOMPARE(bench.lines().size(), 2);

        // A refused registration is reported and not remembered.
        bench.sync->forgetNodeRegistration();
        bench.backend.script({{"method", "POST"}, {"path", "/v1/nodes/register"}, {"status", 500}, {"text", "no"}});
        QVERIFY(!awaitTask(bench.sync->ensureNodeRegistrationIfNeeded()).value_or(true));
        QVERIFY(!bench.sync->hasRegisteredNodeRemotely());
        QCOMPARE(bench.state.linesStartingWith(QStringLiteral("Node registration failed: ")).size(), 1);
    }

    void switchingOnRefreshesRegistersAndPolls()
    {
        SyncBench bench;
        bench.state.featureEnabled = false;
        bench.sync->setRemoteTaskSyncFeatureEnabled(true);
        QVERIFY(bench.state.featureEnabled);
        QCOMPARE(bench.state.log.value(0), QStringLiteral("Remote task sync feature enabled."));
        QVERIFY(TestSupport::waitUntil([&] { return bench.state.lastSyncAt.has_value(); }));
        QCOMPARE(bench.state.refreshes, 1);
        QVERIFY(bench.sync->hasRegisteredNodeRemotely());
        QCOMPARE(bench.lines().value(0), QStringLiteral("POST /v1/nodes/register"));

        bench.sync->setRemoteTaskSyncFeatureEnabled(false);
        QVERIFY(!bench.state.featureEnabled);
        QCOMPARE(bench.state.log.last(), QStringLiteral("Remote task sync feature disabled."));
        TestSupport::drainMainThread();
        QCOMPARE(bench.state.refreshes, 1);
    }
};

QTEST_GUILESS_MAIN(TestCloudSyncConcern)
#include "tst_cloudsync.moc"
