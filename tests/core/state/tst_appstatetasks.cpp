#include "../agents/BrimlockStandIn.h"
#include "AppStateFixture.h"
#include "common/Json.h"
#include "common/ProcessRunner.h"
#include "model/BL_TaskGitDiff.h"

#include <QtTest>

namespace {

using TestSupport::git;

struct EventRecorder
{
    QList<BL_Event> events;
    BLEventSubscription token = BLEventBus::shared().subscribe([this](const BL_Event &e) { events.append(e); });

    QList<BL_EventType> types() const
    {
        QList<BL_EventType> list;
        for (const auto &e : events)
            list.append(e.type);
        return list;
    }
    int count(BL_EventType type) const { return int(types().count(type)); }
};

// The database keeps dates to the millisecond, and stamps the updated date
// with the time of its write.
BL_Task toMilliseconds(BL_Task task)
{
    task.updatedAt = TimePoint();
    for (TimePoint *date : {&task.taskLastActivityDate, &task.createdAt, &task.updatedAt})
        *date = *TimePoint::fromDatabaseText(date->toDatabaseText());
    return task;
}

TaskCreationRequest request(const QUuid &projectID, const QString &title, BL_TaskStatus status)
{
    TaskCreationRequest r;
    r.projectID = projectID;
    r.title = title;
    r.acceptanceCriteria = QStringLiteral("works");
    r.priority = QStringLiteral("high");
    r.sizeEstimate = QStringLiteral("M");
    r.initialStatus = status;
    return r;
}

} // namespace

class AppStateTasksTest : public QObject
{
    Q_OBJECT

private slots:
    void blankTitleIsRefused()
    {
        AppStateFixture fixture;
        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->bootstrap()));
        const QUuid project = state->projects().first().id;
        state->createTask(request(project, QStringLiteral(" \n "), BL_TaskStatus::backlog));
        QCOMPARE(state->lastErrorMessage().value(), QStringLiteral("Title is required."));
        QVERIFY(state->taskStore(project)->taskByID().isEmpty());
    }

    void delegatedTaskRunsToCompletionAndSurvivesARestart()
    {
        AppStateFixture fixture;
        BrimlockStandIn standIn;
        BrimlockStandIn::installInToolHome();
        // The dispatch takes a second, time enough to change the workspace.
        standIn.setScenario(QJsonObject {
            {"agent",
                QJsonObject {{"*", QJsonObject {{"text", "Dispatched `qs-worker-1` now running"}, {"sleep", 1}}}}},
            {"history", QJsonObject {{"*", QJsonArray {QJsonObject {{"text", "All completed successfully."}}}}}}});

        // The workspace is a git repository that the worker "changes".
        const QString repository = fixture.makeFolder(QStringLiteral("repo"));
        git(repository, {"init", "-q"});
        git(repository, {"config", "user.name", "Test Person"});
        git(repository, {"config", "user.email", "test@example.com"});
        QFile readme(repository + QStringLiteral("/README"));
        QVERIFY(readme.open(QIODevice::WriteOnly));
        readme.write("one\n");
        readme.close();
        git(repository, {"add", "-A"});
        git(repository, {"commit", "-q", "-m", "start"});

        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->bootstrap()));
        QVERIFY(AppStateFixture::run(state->importExistingProject(repository)));
        const BL_Workspace workspace = *state->activeProject();
        QCOMPARE(workspace.rootPath, repository);
        EventRecorder recorder;
        state->createTask(request(workspace.id, QStringLiteral("Add tests"), BL_TaskStatus::queued));
        QVERIFY(TestSupport::waitUntil(
            [&] {
                const auto task = state->boardTask(workspace.id, recorder.events.first().taskID);
                return task && task->status == BL_TaskStatus::inProgress
                    && BL_TaskGitDiffArtifact::decode(task->metadata).has_value();
            },
            30000));
        QVERIFY(readme.open(QIODevice::Append));
        readme.write("two\n");
        readme.close();

        // Created, delegated and requested before createTask returned.
        QCOMPARE(
            recorder.types().mid(0, 2), (QList<BL_EventType> {BL_EventType::taskCreated, BL_EventType::taskDelegated}));
        QVERIFY(recorder.types().contains(BL_EventType::delegationRequested));
        const QUuid taskID = recorder.events.first().taskID;

        QVERIFY(TestSupport::waitUntil(
            [&] { return state->boardTask(workspace.id, taskID)->status == BL_TaskStatus::completed; }, 30000));
        const BL_Task done = *state->boardTask(workspace.id, taskID);
        QCOMPARE(done.workerState, BL_TaskWorkerState::workerCompleted);
        QCOMPARE(done.delegationState, BL_TaskDelegationState::completed);
        QVERIFY(done.outputData);
        QVERIFY(done.decodedConversation()->size() >= 2);
        QCOMPARE(state->workerPool().activeAssignmentCount(), 0);

        // The git artifact: ready, with the patch at its path.
        QVERIFY(TestSupport::waitUntil(
            [&] {
                const auto artifact = BL_TaskGitDiffArtifact::decode(state->boardTask(workspace.id, taskID)->metadata);
                return artifact && artifact->state == BL_TaskGitDiffState::ready;
            },
            30000));
        const auto artifact = BL_TaskGitDiffArtifact::decode(state->boardTask(workspace.id, taskID)->metadata);
        QVERIFY(artifact->diffFilePath);
        QFile patch(*artifact->diffFilePath);
        QVERIFY(patch.open(QIODevice::ReadOnly));
        QVERIFY(patch.readAll().contains("+two"));

        // The logs: raw output and one event line per folded event, in order.
        QVERIFY(TestSupport::waitForFuture(state->taskLogWriter().flush()));
        QFile stdoutLog(state->taskLogWriter().taskStdoutLogFilePath(workspace.id, taskID));
        QVERIFY(stdoutLog.open(QIODevice::ReadOnly));
        QVERIFY(stdoutLog.readAll().contains("All completed successfully."));
        QFile eventLog(state->taskLogWriter().taskEventLogFilePath(workspace.id, taskID));
        QVERIFY(eventLog.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = eventLog.readAll().trimmed().split('\n');
        QStringList loggedTypes;
        for (const QByteArray &line : lines)
            loggedTypes << Json::parseObject(line)->value(QStringLiteral("eventType")).toString();
        QCOMPARE(loggedTypes.first(), QStringLiteral("taskCreated"));
        QVERIFY(loggedTypes.contains(QStringLiteral("workerTaskCompleted")));
        QCOMPARE(loggedTypes.size(), done.decodedHistory()->size());

        // The stored row matches the board's copy after a restart.
        const bool stored = TestSupport::waitUntil(
            [&] {
                auto fetched = state->database().fetchTask(taskID);
                TestSupport::waitForFuture(fetched);
                return fetched.result().ok() && fetched.result().value()
                    && toMilliseconds(*fetched.result().value())
                    == toMilliseconds(*state->boardTask(workspace.id, taskID));
            },
            20000);
        QVERIFY(stored);
        const BL_Task last = *state->boardTask(workspace.id, taskID);
        state.reset();
        auto again = fixture.make();
        QVERIFY(AppStateFixture::run(again->bootstrap()));
        const auto restored = again->boardTask(workspace.id, taskID);
        QVERIFY(restored);
        QCOMPARE(restored->status, BL_TaskStatus::completed);
        QCOMPARE(toMilliseconds(*restored), toMilliseconds(last));
    }

    void failedRunEndsFailed()
    {
        AppStateFixture fixture;
        BrimlockStandIn standIn;
        BrimlockStandIn::installInToolHome();
        standIn.setScenario(
            QJsonObject {{"agent", QJsonObject {{"*", QJsonObject {{"text", "error: no agent"}, {"exit", 2}}}}}});
        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->bootstrap()));
        const QUuid project = state->projects().first().id;
        EventRecorder recorder;
        state->createTask(request(project, QStringLiteral("Break it"), BL_TaskStatus::queued));
        const QUuid taskID = recorder.events.first().taskID;
        QVERIFY(TestSupport::waitUntil(
            [&] { return state->boardTask(project, taskID)->status == BL_TaskStatus::failed; }, 30000));
        QCOMPARE(state->boardTask(project, taskID)->workerState, BL_TaskWorkerState::workerFailed);
        QCOMPARE(state->workerPool().activeAssignmentCount(), 0);
    }

    void aDozenQueuedTasksNeverRunMoreThanThePool()
    {
        AppStateFixture fixture;
        BrimlockStandIn standIn;
        BrimlockStandIn::installInToolHome();
        // Each dispatch takes long enough for handshakes, moves and the
        // completions of other runs to interleave with it.
        standIn.setScenario(QJsonObject {
            {"agent", QJsonObject {{"*", QJsonObject {{"text", "Task completed successfully."}, {"sleep", 1.5}}}}}});
        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->bootstrap()));
        const QUuid project = state->projects().first().id;
        QCOMPARE(state->workerPool().capacity(), 4);

        // Watched at every event: the pool's books and the running figure.
        qsizetype mostAssignments = 0;
        QStringList mismatches;
        BLEventSubscription watching = BLEventBus::shared().subscribe([&](const BL_Event &event) {
            mostAssignments = std::max(mostAssignments, state->workerPool().activeAssignmentCount());
            const qint64 shown = state->runningWorkerCountByProjectID().value(project);
            const qsizetype held = state->workerPool().runningCount(project);
            if (event.type == BL_EventType::taskActivelyUnderwayByWorker && shown != held)
                mismatches << QStringLiteral("%1 shown, %2 held").arg(shown).arg(held);
        });

        for (int i = 1; i <= 12; ++i)
            state->createTask(request(project, QStringLiteral("Task %1").arg(i), BL_TaskStatus::queued));
        QCOMPARE(state->taskStore(project)->taskByID().size(), 12);

        const auto allDone = [&] {
            const auto tasks = state->taskStore(project)->taskByID();
            return std::all_of(tasks.cbegin(), tasks.cend(),
                [](const BL_Task &task) { return task.status == BL_TaskStatus::completed; });
        };
        QVERIFY(TestSupport::waitUntil(allDone, 90000));
        watching.cancel();

        // Dispatch start and end times, from the stand-in's own records.
        QHash<qint64, double> endByPid;
        for (const QJsonObject &exit : standIn.records(QStringLiteral("exit")))
            endByPid.insert(
                exit.value(QStringLiteral("pid")).toInteger(), exit.value(QStringLiteral("time")).toDouble());
        QList<std::pair<double, int>> edges; // (time, +1 start / -1 end)
        for (const QJsonObject &call : standIn.invocations()) {
            if (BrimlockStandIn::argv(call).value(0) != QStringLiteral("agent"))
                continue;
            const qint64 pid = call.value(QStringLiteral("pid")).toInteger();
            QVERIFY2(endByPid.contains(pid), "a dispatch did not end");
            edges.append({call.value(QStringLiteral("time")).toDouble(), +1});
            edges.append({endByPid.value(pid), -1});
        }
        QCOMPARE(edges.size(), 24); // one dispatch per task, no second one
        std::sort(edges.begin(), edges.end()); // an end before a start at the same instant
        int overlapping = 0;
        int mostOverlapping = 0;
        for (const auto &edge : std::as_const(edges)) {
            overlapping += edge.second;
            mostOverlapping = std::max(mostOverlapping, overlapping);
        }
        QVERIFY2(mostOverlapping <= 4, qPrintable(QStringLiteral("%1 dispatches at once").arg(mostOverlapping)));
        QVERIFY2(mostAssignments <= 4, qPrintable(QStringLiteral("%1 assignments at once").arg(mostAssignments)));
        QVERIFY2(mismatches.isEmpty(), qPrintable(mismatches.join(QStringLiteral("; "))));

        // Settled: nothing held, nothing shown as running.
        QCOMPARE(state->workerPool().activeAssignmentCount(), 0);
        QCOMPARE(state->runningWorkerCountByProjectID().value(project), 0);
    }

    // Output still streaming for a workspace that is gone (or never was) is
    // dropped, like its event-log lines; a listed workspace gets its log.
    void outputOfAnUnknownWorkspaceIsNotWritten()
    {
        AppStateFixture fixture;
        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->bootstrap()));
        const QUuid known = state->projects().first().id;
        const QUuid unknown = QUuid::createUuid();
        const QUuid taskID = QUuid::createUuid();
        for (const QUuid &project : {known, unknown}) {
            BL_TaskEventPayload reset;
            reset.stdoutReset = true;
            BLEventBus::shared().send(BL_Event::make(BL_EventType::taskModified, project, taskID, reset));
            BL_TaskEventPayload chunk;
            chunk.stdoutChunk = QStringLiteral("still streaming\n");
            BLEventBus::shared().send(BL_Event::make(BL_EventType::taskModified, project, taskID, chunk));
        }
        QVERIFY(TestSupport::waitForFuture(state->taskLogWriter().flush()));
        QFile knownLog(state->taskLogWriter().taskStdoutLogFilePath(known, taskID));
        QVERIFY(knownLog.open(QIODevice::ReadOnly));
        QCOMPARE(knownLog.readAll(), QByteArray("still streaming\n"));
        QVERIFY(!QFileInfo::exists(state->taskLogWriter().workspaceLogDirectory(unknown)));
    }

    void claimMonitorBoundary_data()
    {
        QTest::addColumn<double>("age");
        QTest::addColumn<bool>("requeued");
        QTest::newRow("119 s") << 119.0 << false;
        QTest::newRow("120 s") << 120.0 << true;
    }
    void claimMonitorBoundary()
    {
        QFETCH(double, age);
        QFETCH(bool, requeued);
        AppStateFixture fixture;
        TestSupport::PinnedClock clock;
        AppStateOptions options;
        options.dataDirectory = fixture.dataDirectory;
        options.standardDefaults = &fixture.standardDefaults;
        options.legacyDefaults = &fixture.legacySuite;
        options.notificationCenter = std::make_unique<RecordingNotificationCenter>();
        options.notificationOutput = [](const QString &) {};
        options.clock = &clock;
        AppState state(fixture.defaults, std::make_unique<BrimlockSessionTerminator>(), std::move(options));
        QVERIFY(AppStateFixture::run(state.bootstrap()));
        const QUuid project = state.projects().first().id;
        // No agent may take work, so the delegation stays unclaimed.
        state.workerPool().setSharedAgentCount(0);
        state.createTask(request(project, QStringLiteral("Wait"), BL_TaskStatus::inProgress));
        const QUuid taskID = state.taskStore(project)->taskByID().keys().first();
        BL_Task pending = *state.boardTask(project, taskID);
        pending.delegationState = BL_TaskDelegationState::spawnPending;
        pending.workerSessionKey = QStringLiteral("pending-spawn:1:x");
        state.taskStore(project)->applyIncrementalUpdate(pending, state.boardTask(project, taskID));

        clock.advance(age);
        EventRecorder recorder;
        state.reconcilePendingWorkerClaims();
        QCOMPARE(recorder.count(BL_EventType::delegationRejected), requeued ? 1 : 0);
        const BL_Task after = *state.boardTask(project, taskID);
        QCOMPARE(after.status, requeued ? BL_TaskStatus::queued : BL_TaskStatus::inProgress);
        if (requeued) {
            QVERIFY(!after.workerSessionKey);
            QCOMPARE(after.delegationState, BL_TaskDelegationState::unallocated);
            QCOMPARE(recorder.types().mid(0, 3),
                (QList<BL_EventType> {
                    BL_EventType::taskMoved, BL_EventType::taskModified, BL_EventType::delegationRejected}));
        }
    }

    void poolSize_data()
    {
        QTest::addColumn<qint64>("requested");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("zero") << qint64(0) << qint64(1);
        QTest::newRow("negative") << qint64(-3) << qint64(1);
        QTest::newRow("nine") << qint64(9) << qint64(6);
        QTest::newRow("two") << qint64(2) << qint64(2);
    }
    void poolSize()
    {
        QFETCH(qint64, requested);
        QFETCH(qint64, expected);
        AppStateFixture fixture;
        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->bootstrap()));
        const QUuid project = state->projects().first().id;
        state->setWorkerPoolSize(QUuid::createUuid(), 2); // not a workspace: nothing
        QCOMPARE(state->sharedWorkerPoolSize(), 4);
        state->setWorkerPoolSize(project, requested);
        QCOMPARE(state->sharedWorkerPoolSize(), expected);
        QCOMPARE(state->workerPool().sharedAgentCount(), expected);
        QCOMPARE(state->agentCountByProjectID().value(project), expected);
    }
};

QTEST_GUILESS_MAIN(AppStateTasksTest)
#include "tst_appstatetasks.moc"
