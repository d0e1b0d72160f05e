#include "../agents/BrimlockStandIn.h"
#include "../agents/ScriptedAgentParts.h"
#include "AppStateFixture.h"
#include "common/UuidText.h"

#include <QCoroTimer>
#include <QDirIterator>
#include <QTimer>
#include <QtTest>

namespace {

struct EventRecorder
{
    QList<BL_Event> events;
    BLEventSubscription token = BLEventBus::shared().subscribe([this](const BL_Event &e) { events.append(e); });

    QList<BL_Event> ofType(BL_EventType type) const
    {
        QList<BL_Event> found;
        for (const auto &e : events)
            if (e.type == type)
                found.append(e);
        return found;
    }
    QList<BL_EventType> types() const
    {
        QList<BL_EventType> list;
        for (const auto &e : events)
            list.append(e.type);
        return list;
    }
    // The task events whose detail is `detail`.
    int countDetail(const QString &detail) const
    {
        int count = 0;
        for (const auto &e : events)
            if (const auto payload = e.decodePayload<BL_TaskEventPayload>(); payload && payload->detail == detail)
                ++count;
        return count;
    }
};

// What the scripted terminator answers, and what it was asked.
struct TerminatorScript
{
    bool succeeded = true;
    QString message = QStringLiteral("Session kill command succeeded.");
    int delayMs = 0;
    QStringList sessionIDs;
    QList<std::optional<QString>> rootPaths;
};

class ScriptedTerminator final : public BrimlockSessionTerminating
{
public:
    explicit ScriptedTerminator(std::shared_ptr<TerminatorScript> script) : m_script(std::move(script)) { }
    QCoro::Task<BrimlockSessionTerminationResult> terminate(
        QString sessionID, std::optional<QString> projectRootPath) override
    {
        auto script = m_script;
        script->sessionIDs.append(sessionID);
        script->rootPaths.append(projectRootPath);
        if (script->delayMs > 0) {
            QTimer timer;
            timer.setSingleShot(true);
            timer.start(script->delayMs);
            co_await timer;
        }
        co_return BrimlockSessionTerminationResult {script->succeeded, script->message};
    }

private:
    std::shared_ptr<TerminatorScript> m_script;
};

// One bootstrapped state on a pinned clock, with its playground workspace.
struct Board
{
    AppStateFixture fixture;
    TestSupport::PinnedClock clock;
    std::shared_ptr<TerminatorScript> script = std::make_shared<TerminatorScript>();
    std::unique_ptr<AppState> state;
    QUuid project;

    // No terminator: the real one.
    explicit Board(bool scriptedTerminator = true, AgentEngine::RunnerParts runnerParts = {})
    {
        AppStateOptions options;
        options.dataDirectory = fixture.dataDirectory;
        options.standardDefaults = &fixture.standardDefaults;
        options.legacyDefaults = &fixture.legacySuite;
        options.notificationCenter = std::make_unique<RecordingNotificationCenter>();
        options.notificationOutput = [](const QString &) {};
        options.clock = &clock;
        options.runnerParts = std::move(runnerParts);
        std::unique_ptr<BrimlockSessionTerminating> terminator;
        if (scriptedTerminator)
            terminator = std::make_unique<ScriptedTerminator>(script);
        else
            terminator = std::make_unique<BrimlockSessionTerminator>();
        state = std::make_unique<AppState>(fixture.defaults, std::move(terminator), std::move(options));
        if (!AppStateFixture::run(state->bootstrap()))
            qFatal("bootstrap did not finish");
        project = state->projects().first().id;
    }

    // Puts a task on the board and in the database, without any event.
    QUuid addTask(BL_TaskStatus status, const std::optional<QString> &workerSessionKey = std::nullopt)
    {
        TaskCreationRequest request;
        request.projectID = project;
        request.title = QStringLiteral("Card ") + rawValue(status);
        request.acceptanceCriteria = QStringLiteral("works");
        request.initialStatus = status;
        BL_Task task = *TaskCreation::makeTask(request, std::nullopt, QString(), clock);
        task.workerSessionKey = workerSessionKey;
        state->taskStore(project)->applyIncrementalUpdate(task, std::nullopt);
        TestSupport::waitForFuture(state->database().upsertTask(task));
        return task.blID;
    }

    bool storedInDatabase(const QUuid &taskID) const
    {
        auto fetched = state->database().fetchTask(taskID);
        TestSupport::waitForFuture(fetched);
        return fetched.result().ok() && fetched.result().value().has_value();
    }
    bool cancellationSettled() const
    {
        return TestSupport::waitUntil([&] { return state->cancellationInFlightTaskIDs().isEmpty(); }, 20000);
    }
};

QString requestedDetail(const QString &source)
{
    return QStringLiteral("Cancellation requested (") + source
        + QStringLiteral("); sending Brimlock session kill command.");
}

// Processes whose command line names `text`.
QList<qint64> processesNaming(const QString &text)
{
    QList<qint64> found;
    QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        bool numeric = false;
        const qint64 pid = it.fileName().toLongLong(&numeric);
        if (!numeric)
            continue;
        QFile cmdline(it.filePath() + QStringLiteral("/cmdline"));
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(text.toUtf8()))
            found.append(pid);
    }
    return found;
}

} // namespace

class AppStateBoardActionsTest : public QObject
{
    Q_OBJECT

private slots:
    void closeOrCancel_data()
    {
        QTest::addColumn<bool>("viaClose");
        QTest::addColumn<BL_TaskStatus>("status");
        for (BL_TaskStatus status :
            {BL_TaskStatus::backlog, BL_TaskStatus::queued, BL_TaskStatus::completed, BL_TaskStatus::failed}) {
            QTest::addRow("close %s", qPrintable(rawValue(status))) << true << status;
            QTest::addRow("cancel %s", qPrintable(rawValue(status))) << false << status;
        }
    }
    // Closing a card or cancelling a task that is not running deletes it,
    // with no session kill.
    void closeOrCancel()
    {
        QFETCH(bool, viaClose);
        QFETCH(BL_TaskStatus, status);
        Board board;
        board.state->workerPool().setSharedAgentCount(0); // nothing gets delegated
        const QUuid taskID = board.addTask(status);
        EventRecorder recorder;
        if (viaClose)
            board.state->closeTaskFromBoard(taskID, board.project);
        else
            board.state->cancelRunningTask(taskID, board.project, QStringLiteral("lan-cancel"));

        QCOMPARE(recorder.types(), QList<BL_EventType> {BL_EventType::taskDeleted});
        const BL_Event deleted = recorder.events.first();
        QCOMPARE(deleted.taskID, taskID);
        QCOMPARE(deleted.projectID, board.project);
        QCOMPARE(deleted.timestamp, board.clock.now());
        QCOMPARE(deleted.payload.value(), QByteArray(R"({"detail":"Task deleted from board."})"));
        QVERIFY(!board.state->boardTask(board.project, taskID));
        QVERIFY(TestSupport::waitUntil([&] { return !board.storedInDatabase(taskID); }));
        QVERIFY(board.script->sessionIDs.isEmpty());
    }

    void cancellationOutcome_data()
    {
        const QUuid agent = QUuid::createUuid();
        QTest::addColumn<std::optional<QString>>("sessionKey");
        QTest::addColumn<bool>("killSucceeds");
        QTest::addColumn<std::optional<QUuid>>("expectedAgent"); // nothing: the manager
        QTest::newRow("agent key") << std::optional<QString>(QStringLiteral("agent:") + UuidText::lower(agent)) << true
                                   << std::optional<QUuid>(agent);
        QTest::newRow("upper-case agent id")
            << std::optional<QString>(QStringLiteral("agent:") + UuidText::upper(agent)) << true
            << std::optional<QUuid>(agent);
        QTest::newRow("upper-case prefix, spaces")
            << std::optional<QString>(QStringLiteral(" AGENT:") + UuidText::lower(agent) + QStringLiteral("\n")) << true
            << std::optional<QUuid>(agent);
        QTest::newRow("agent key with more text")
            << std::optional<QString>(QStringLiteral("agent:") + UuidText::lower(agent) + QStringLiteral("-x")) << true
            << std::optional<QUuid>();
        QTest::newRow("pending spawn key")
            << std::optional<QString>(QStringLiteral("pending-spawn:1:") + UuidText::lower(agent)) << true
            << std::optional<QUuid>();
        QTest::newRow("no key") << std::optional<QString>() << true << std::optional<QUuid>();
        QTest::newRow("kill fails") << std::optional<QString>(QStringLiteral("agent:") + UuidText::lower(agent))
                                    << false << std::optional<QUuid>(agent);
    }
    // A task in progress without a run: the terminator's answer alone decides.
    void cancellationOutcome()
    {
        QFETCH(std::optional<QString>, sessionKey);
        QFETCH(bool, killSucceeds);
        QFETCH(std::optional<QUuid>, expectedAgent);
        Board board;
        board.script->succeeded = killSucceeds;
        board.script->message = killSucceeds ? QStringLiteral("Session kill command succeeded.")
                                             : QStringLiteral("Session kill failed. Attempts: none");
        const QUuid taskID = board.addTask(BL_TaskStatus::inProgress, sessionKey);
        const QString key = UuidText::lower(taskID);
        const QUuid agent = expectedAgent.value_or(board.state->managerID());
        EventRecorder recorder;
        board.state->closeTaskFromBoard(taskID, board.project);

        // The request is published before the call returns; the kill runs later.
        QCOMPARE(recorder.types(), QList<BL_EventType> {BL_EventType::taskModified});
        QVERIFY(board.state->cancellationInFlightTaskIDs().contains(taskID));
        QVERIFY(board.script->sessionIDs.isEmpty());
        const BL_Event requested = recorder.events.first();
        QCOMPARE(requested.timestamp, board.clock.now());
        const auto payload = requested.decodePayload<BL_TaskEventPayload>().value();
        QCOMPARE(payload.detail.value(), requestedDetail(QStringLiteral("task-card-close")));
        QVERIFY(!payload.agentID);
        QCOMPARE(payload.workerSessionKey, sessionKey);
        QVERIFY(!payload.stdoutChunk && !payload.stdoutReset);
        const BL_TaskConversationTurn turn = payload.conversationTurn.value();
        QCOMPARE(turn.role, BL_TaskConversationRole::system);
        QCOMPARE(turn.agentID, agent);
        QCOMPARE(turn.content,
            QStringLiteral("Cancellation requested by user. Sending session kill for ") + key + QStringLiteral("."));

        QVERIFY(board.cancellationSettled());
        QCOMPARE(board.script->sessionIDs, QStringList {key});
        QCOMPARE(board.script->rootPaths.first(), board.state->projects().first().rootPath);
        const BL_Task after = *board.state->boardTask(board.project, taskID);
        if (killSucceeds) {
            const QList<BL_Event> failed = recorder.ofType(BL_EventType::workerTaskFailed);
            QCOMPARE(failed.size(), 1);
            const auto result = failed.first().decodePayload<BL_WorkerResultPayload>().value();
            QCOMPARE(result.agentID, agent);
            QVERIFY(!result.outputData);
            QCOMPARE(result.reason.value(),
                QStringLiteral("Task cancelled by user (task-card-close); Brimlock session ") + key
                    + QStringLiteral(" terminated."));
            QCOMPARE(after.status, BL_TaskStatus::failed);
            QVERIFY(!board.state->lastErrorMessage());
        } else {
            const QString text = QStringLiteral("Cancellation failed (task-card-close): ") + board.script->message;
            QVERIFY(recorder.ofType(BL_EventType::workerTaskFailed).isEmpty());
            const BL_Event failure = recorder.events.last();
            QCOMPARE(failure.type, BL_EventType::taskModified);
            const auto failurePayload = failure.decodePayload<BL_TaskEventPayload>().value();
            QCOMPARE(failurePayload.detail.value(), text);
            QVERIFY(!failurePayload.agentID);
            QCOMPARE(failurePayload.workerSessionKey, sessionKey);
            QCOMPARE(failurePayload.conversationTurn->content, text);
            QCOMPARE(failurePayload.conversationTurn->agentID, agent);
            QCOMPARE(failurePayload.conversationTurn->role, BL_TaskConversationRole::system);
            QCOMPARE(board.state->lastErrorMessage().value(),
                QStringLiteral("Failed to cancel running task ") + key + QStringLiteral(": ") + board.script->message);
            QCOMPARE(after.status, BL_TaskStatus::inProgress);
        }
    }

    void secondCancellationWhileKillingIsIgnored()
    {
        Board board;
        board.script->delayMs = 300;
        const QUuid taskID = board.addTask(BL_TaskStatus::inProgress);
        EventRecorder recorder;
        board.state->cancelRunningTask(taskID, board.project, QStringLiteral("lan"));
        board.state->cancelRunningTask(taskID, board.project, QStringLiteral("lan"));
        QVERIFY(TestSupport::waitUntil([&] { return board.script->sessionIDs.size() == 1; })); // the kill has started
        board.state->closeTaskFromBoard(taskID, board.project);
        QVERIFY(board.cancellationSettled());
        QCOMPARE(recorder.countDetail(requestedDetail(QStringLiteral("lan"))), 1);
        QCOMPARE(recorder.countDetail(requestedDetail(QStringLiteral("task-card-close"))), 0);
        QCOMPARE(board.script->sessionIDs.size(), 1);
        QCOMPARE(recorder.ofType(BL_EventType::workerTaskFailed).size(), 1);
    }

    void workerEndingDuringTheKillIsNotOverwritten()
    {
        Board board;
        board.script->delayMs = 300;
        const QUuid taskID = board.addTask(BL_TaskStatus::inProgress);
        EventRecorder recorder;
        board.state->cancelRunningTask(taskID, board.project, QStringLiteral("lan"));
        board.state->markWorkerDone(taskID, board.project);
        QCOMPARE(board.state->boardTask(board.project, taskID)->status, BL_TaskStatus::completed);
        const qsizetype before = recorder.events.size();
        QVERIFY(board.cancellationSettled());
        QCOMPARE(board.script->sessionIDs.size(), 1);
        QCOMPARE(recorder.events.size(), before);
        QCOMPARE(board.state->boardTask(board.project, taskID)->status, BL_TaskStatus::completed);
        QVERIFY(!board.state->lastErrorMessage());
    }

    void markWorkerDonePublishesForAnyTask()
    {
        Board board;
        board.state->workerPool().setSharedAgentCount(0);
        const QUuid queued = board.addTask(BL_TaskStatus::queued);
        const QUuid unknownWorkspace = QUuid::createUuid();
        EventRecorder recorder;
        board.state->markWorkerDone(queued, board.project);
        board.state->markWorkerDone(queued, unknownWorkspace);
        const QList<BL_Event> done = recorder.ofType(BL_EventType::workerTaskCompleted);
        QCOMPARE(done.size(), 2);
        QCOMPARE(done[0].taskID, queued);
        QVERIFY(!done[0].payload);
        QCOMPARE(done[0].timestamp, board.clock.now());
        QCOMPARE(done[1].projectID, unknownWorkspace);
    }

    void moveTask_data()
    {
        QTest::addColumn<BL_TaskStatus>("from");
        QTest::addColumn<BL_TaskStatus>("to");
        QTest::newRow("backlog to completed") << BL_TaskStatus::backlog << BL_TaskStatus::completed;
        QTest::newRow("completed to backlog") << BL_TaskStatus::completed << BL_TaskStatus::backlog;
        QTest::newRow("already failed") << BL_TaskStatus::failed << BL_TaskStatus::failed;
        QTest::newRow("already in progress") << BL_TaskStatus::inProgress << BL_TaskStatus::inProgress;
    }
    void moveTask()
    {
        QFETCH(BL_TaskStatus, from);
        QFETCH(BL_TaskStatus, to);
        Board board;
        const QUuid taskID = board.addTask(from);
        board.clock.advance(10);
        EventRecorder recorder;
        board.state->moveTask(taskID, to, board.project);
        const BL_Task after = *board.state->boardTask(board.project, taskID);
        QCOMPARE(after.status, to);
        if (from == to) {
            QVERIFY(recorder.events.isEmpty());
        } else {
            QCOMPARE(recorder.types().mid(0, 2),
                (QList<BL_EventType> {BL_EventType::taskMoved, BL_EventType::taskModified}));
            QCOMPARE(after.updatedAt, board.clock.now());
        }
        // Stored in both cases: the row follows the board's copy.
        QVERIFY(TestSupport::waitUntil([&] {
            auto fetched = board.state->database().fetchTask(taskID);
            TestSupport::waitForFuture(fetched);
            return fetched.result().ok() && fetched.result().value() && fetched.result().value()->status == to
                && fetched.result().value()->taskLastActivityDate.toDatabaseText()
                == after.taskLastActivityDate.toDatabaseText();
        }));
    }

    void moveIntoTheQueueDelegatesAtOnce()
    {
        Board board; // first: it gives the test its home
        BrimlockStandIn standIn;
        BrimlockStandIn::installInToolHome();
        standIn.setScenario(
            QJsonObject {{"agent", QJsonObject {{"*", QJsonObject {{"text", "Dispatched `qs-worker-1` now running"}}}}},
                {"history", QJsonObject {{"*", QJsonArray {QJsonObject {{"text", "All completed successfully."}}}}}}});
        const QUuid taskID = board.addTask(BL_TaskStatus::backlog);
        EventRecorder recorder;
        board.state->moveTask(taskID, BL_TaskStatus::queued, board.project);
        QVERIFY(recorder.types().contains(BL_EventType::taskDelegated));
        QVERIFY(TestSupport::waitUntil(
            [&] { return board.state->boardTask(board.project, taskID)->status == BL_TaskStatus::completed; }, 30000));
    }

    void deleteTask()
    {
        Board board;
        board.state->workerPool().setSharedAgentCount(0);
        const QUuid taskID = board.addTask(BL_TaskStatus::backlog);
        const QUuid other = board.addTask(BL_TaskStatus::queued);
        EventRecorder recorder;
        board.state->deleteTask(taskID, board.project);
        QVERIFY(!board.state->boardTask(board.project, taskID));
        QVERIFY(board.state->boardTask(board.project, other));
        QCOMPARE(recorder.countDetail(QStringLiteral("Task deleted from board.")), 1);
        QVERIFY(TestSupport::waitUntil([&] { return !board.storedInDatabase(taskID); }));
        QVERIFY(board.storedInDatabase(other));

        // A task that is not on the board is still announced as deleted; an
        // unknown workspace changes nothing.
        recorder.events.clear();
        const QUuid missing = QUuid::createUuid();
        board.state->deleteTask(missing, board.project);
        board.state->deleteTask(other, QUuid::createUuid());
        QCOMPARE(recorder.types(), QList<BL_EventType> {BL_EventType::taskDeleted});
        QCOMPARE(recorder.events.first().taskID, missing);
        QVERIFY(board.state->boardTask(board.project, other));
        TestSupport::drainMainThread();
        QVERIFY(!board.state->lastErrorMessage());
    }

    void clearDoneTasks()
    {
        Board board;
        board.state->workerPool().setSharedAgentCount(0);
        QHash<BL_TaskStatus, QUuid> ids;
        for (BL_TaskStatus status : TaskBoardStore::allStatuses())
            ids.insert(status, board.addTask(status));
        EventRecorder recorder;
        board.state->clearDoneTasks(board.project);

        const QList<BL_Event> deleted = recorder.ofType(BL_EventType::taskDeleted);
        QCOMPARE(recorder.events.size(), 2);
        QCOMPARE(deleted.size(), 2);
        QSet<QUuid> cleared;
        for (const BL_Event &event : deleted) {
            cleared.insert(event.taskID);
            QCOMPARE(event.payload.value(), QByteArray(R"({"detail":"Done task cleared from board."})"));
        }
        QCOMPARE(cleared, (QSet<QUuid> {ids[BL_TaskStatus::completed], ids[BL_TaskStatus::failed]}));
        QCOMPARE(board.state->taskStore(board.project)->taskByID().size(), 3);
        for (BL_TaskStatus status : {BL_TaskStatus::backlog, BL_TaskStatus::queued, BL_TaskStatus::inProgress})
            QVERIFY(board.state->boardTask(board.project, ids[status]));
        QVERIFY(TestSupport::waitUntil([&] {
            return !board.storedInDatabase(ids[BL_TaskStatus::completed])
                && !board.storedInDatabase(ids[BL_TaskStatus::failed]);
        }));
        QVERIFY(board.storedInDatabase(ids[BL_TaskStatus::backlog]));

        recorder.events.clear();
        board.state->clearDoneTasks(board.project);
        QVERIFY(recorder.events.isEmpty());
    }

    void noBoardNoAction()
    {
        Board board;
        const QUuid taskID = board.addTask(BL_TaskStatus::inProgress);
        const QUuid elsewhere = QUuid::createUuid();
        EventRecorder recorder;
        board.state->moveTask(taskID, BL_TaskStatus::completed, elsewhere);
        board.state->closeTaskFromBoard(taskID, elsewhere);
        board.state->cancelRunningTask(taskID, elsewhere, QStringLiteral("lan"));
        board.state->clearDoneTasks(elsewhere);
        QVERIFY(recorder.events.isEmpty());
        QVERIFY(board.state->cancellationInFlightTaskIDs().isEmpty());
        QCOMPARE(board.state->boardTask(board.project, taskID)->status, BL_TaskStatus::inProgress);
    }

    void cancellingARunningTaskEndsItsProcesses_data()
    {
        QTest::addColumn<bool>("realTerminator");
        QTest::addColumn<QString>("reasonEnd");
        QTest::newRow("session killed") << true << QStringLiteral(" terminated.");
        QTest::newRow("kill fails, run's process ended")
            << false << QStringLiteral("; session kill failed but fallback process termination succeeded.");
    }
    void cancellingARunningTaskEndsItsProcesses()
    {
        QFETCH(bool, realTerminator);
        QFETCH(QString, reasonEnd);
        Board board(!realTerminator); // first: it gives the test its home
        BrimlockStandIn standIn;
        BrimlockStandIn::installInToolHome();
        standIn.setScenario(
            QJsonObject {{"agent", QJsonObject {{"*", QJsonObject {{"text", "late"}, {"sleep", 30}}}}}});
        board.script->succeeded = false;
        board.script->message = QStringLiteral("Session kill failed. Attempts: scripted");

        EventRecorder recorder;
        TaskCreationRequest request;
        request.projectID = board.project;
        request.title = QStringLiteral("Sleep a while");
        request.acceptanceCriteria = QStringLiteral("never");
        request.initialStatus = BL_TaskStatus::queued;
        board.state->createTask(request);
        const QUuid taskID = recorder.events.first().taskID;
        const QString key = UuidText::lower(taskID);
        QVERIFY(TestSupport::waitUntil(
            [&] {
                return board.state->boardTask(board.project, taskID)->status == BL_TaskStatus::inProgress
                    && !standIn.invocations().isEmpty() && !processesNaming(key).isEmpty();
            },
            20000));

        board.state->closeTaskFromBoard(taskID, board.project);
        QVERIFY(board.cancellationSettled());
        const BL_Task after = *board.state->boardTask(board.project, taskID);
        QCOMPARE(after.status, BL_TaskStatus::failed);
        QCOMPARE(after.workerState, BL_TaskWorkerState::workerFailed);
        // Exactly the cancellation's own failure: the command that the stop
        // ended while its run waited between two looks is not reported too.
        QVERIFY(TestSupport::waitUntil([&] {
            auto active = board.state->agentEngine().runner().hasActiveRun(taskID);
            return TestSupport::waitForFuture(active) && !active.result();
        }));
        TestSupport::drainMainThread();
        const QList<BL_Event> failed = recorder.ofType(BL_EventType::workerTaskFailed);
        QCOMPARE(failed.size(), 1);
        const QString reason = failed.first().decodePayload<BL_WorkerResultPayload>()->reason.value();
        QVERIFY2(reason.startsWith(QStringLiteral("Task cancelled by user (task-card-close)")), qPrintable(reason));
        QVERIFY2(reason.endsWith(reasonEnd), qPrintable(reason));
        for (const BL_Event &event : std::as_const(recorder.events)) {
            const auto payload = event.decodePayload<BL_TaskEventPayload>();
            QVERIFY2(!payload || !payload->detail || !payload->detail->startsWith(QStringLiteral("Worker failure")),
                qPrintable(*payload->detail));
        }
        QVERIFY(TestSupport::waitUntil([&] { return processesNaming(key).isEmpty(); }, 5000));
        // The slot comes back once the cancelled run has ended.
        QVERIFY(TestSupport::waitUntil([&] { return board.state->workerPool().activeAssignmentCount() == 0; }));
        QVERIFY(!board.state->lastErrorMessage());
    }

    // A run waiting for its next decision has no process to end: when the
    // session kill fails too, nothing was terminated and the cancellation
    // failed. The stopped run still gives its pool slot back.
    void cancellingARunBetweenCommandsWithAFailedKill()
    {
        auto decisions = std::make_shared<ScriptedAgentParts::DecisionEngine>();
        auto tools = std::make_shared<ScriptedAgentParts::ToolExecutor>();
        tools->setCancelAnswer(false);
        const ScriptedAgentParts::Pending<BL_AgentDecision> thinking;
        decisions->add(thinking.future());
        Board board(true, {decisions, tools});
        board.script->succeeded = false;
        board.script->message = QStringLiteral("Session kill failed. Attempts: scripted");

        EventRecorder recorder;
        TaskCreationRequest request;
        request.projectID = board.project;
        request.title = QStringLiteral("Think");
        request.acceptanceCriteria = QStringLiteral("never");
        request.initialStatus = BL_TaskStatus::queued;
        board.state->createTask(request);
        const QUuid taskID = recorder.events.first().taskID;
        const QString key = UuidText::lower(taskID);
        QVERIFY(decisions->waitForCalls(1));
        QVERIFY(TestSupport::waitUntil(
            [&] { return board.state->boardTask(board.project, taskID)->status == BL_TaskStatus::inProgress; }));
        QCOMPARE(board.state->workerPool().activeAssignmentCount(), 1);

        board.state->cancelRunningTask(taskID, board.project, QStringLiteral("lan"));
        QVERIFY(board.cancellationSettled());
        QVERIFY(recorder.ofType(BL_EventType::workerTaskFailed).isEmpty());
        QCOMPARE(recorder.countDetail(QStringLiteral("Cancellation failed (lan): ") + board.script->message), 1);
        QCOMPARE(board.state->lastErrorMessage().value(),
            QStringLiteral("Failed to cancel running task ") + key + QStringLiteral(": ") + board.script->message);
        QCOMPARE(board.state->boardTask(board.project, taskID)->status, BL_TaskStatus::inProgress);

        // The run was stopped all the same; once it has ended, its slot is free.
        thinking.finish(BL_AgentDecision::finish(std::nullopt));
        QVERIFY(TestSupport::waitUntil([&] {
            auto active = board.state->agentEngine().runner().hasActiveRun(taskID);
            return TestSupport::waitForFuture(active) && !active.result();
        }));
        QVERIFY(TestSupport::waitUntil([&] { return board.state->workerPool().activeAssignmentCount() == 0; }));
        QVERIFY(recorder.ofType(BL_EventType::workerTaskCompleted).isEmpty());
    }
};

QTEST_GUILESS_MAIN(AppStateBoardActionsTest)
#include "tst_appstateboardactions.moc"
