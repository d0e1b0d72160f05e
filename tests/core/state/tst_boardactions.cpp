#include "TestSupport.h"
#include "agents/BrimlockSessionTerminator.h"
#include "board/TaskBoardStore.h"
#include "common/UuidText.h"
#include "state/BoardActions.h"
#include "state/TaskCreation.h"
#include "storage/SQLiteDatabaseService.h"

#include <QCoroTimer>
#include <QPromise>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <SQLiteCpp/SQLiteCpp.h>

namespace {

// What the scripted terminator answers, and what it was asked.
struct TerminatorScript
{
    bool succeeded = true;
    QString message = QStringLiteral("Session kill command succeeded.");
    int delayMs = 0;
    QStringList sessionIDs;
    QList<std::optional<QString>> rootPaths;
    int finished = 0;
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
        ++script->finished;
        co_return BrimlockSessionTerminationResult {script->succeeded, script->message};
    }

private:
    std::shared_ptr<TerminatorScript> m_script;
};

// The board actions over a real board, a real task database in a temporary
// folder and a bus of their own; every hook records its call.
struct Rig
{
    QTemporaryDir folder;
    TestSupport::PinnedClock clock;
    BLEventBus bus;
    std::unique_ptr<SQLiteDatabaseService> database;
    TaskBoardStore store {{}, clock};
    std::shared_ptr<TerminatorScript> script = std::make_shared<TerminatorScript>();
    ScriptedTerminator terminator {script};
    const QUuid project = QUuid::createUuid();
    const QUuid manager = QUuid::createUuid();
    const QString rootPath = QStringLiteral("/work/space");

    bool clientNode = false;
    bool syncOn = false;
    bool processEnded = false; // what stopping the run answers
    std::optional<QPromise<bool>> pendingRun; // set: stopping the run waits for the test
    QStringList calls;
    QList<QUuid> runsStopped;
    std::optional<QString> lastError;

    QList<BL_Event> events;
    BLEventSubscription subscription = bus.subscribe([this](const BL_Event &event) { events.append(event); });

    std::unique_ptr<BoardActions> actions;

    Rig()
    {
        auto opened = SQLiteDatabaseService::open(folder.filePath(QStringLiteral("tessaron.sqlite")), clock);
        if (!opened.ok())
            qFatal("no database: %s", qPrintable(opened.errorMessage()));
        database = std::move(opened.value());

        BoardActions::Hooks hooks;
        hooks.isClientNodeMode = [this] { return clientNode; };
        hooks.taskStore = [this](const QUuid &projectID) { return projectID == project ? &store : nullptr; };
        hooks.workspaceRootPath = [this](const QUuid &projectID) {
            return projectID == project ? std::optional<QString>(rootPath) : std::nullopt;
        };
        hooks.persistTask = [this](const BL_Task &task) { record(QStringLiteral("persist"), task.blID, task.status); };
        hooks.captureGitBeforeCheckpoint
            = [this](const QUuid &taskID, const QUuid &) { record(QStringLiteral("before"), taskID); };
        hooks.captureGitAfterCheckpoint
            = [this](const QUuid &taskID, const QUuid &) { record(QStringLiteral("after"), taskID); };
        hooks.requestBrowserRefreshIfVisible = [this](const QUuid &) { calls.append(QStringLiteral("refresh")); };
        hooks.cloudSyncConditionHolds = [this] { return syncOn; };
        hooks.pollRemoteTasks = [this](QString reason) -> QCoro::Task<> {
            calls.append(QStringLiteral("poll ") + reason);
            co_return;
        };
        hooks.cancelTaskExecution = [this](const QUuid &taskID) {
            runsStopped.append(taskID);
            if (pendingRun) {
                pendingRun->start();
                return pendingRun->future();
            }
            return QtFuture::makeReadyFuture(processEnded);
        };
        hooks.scheduleReadyTasksIfCapacity = [this](const QUuid &) { calls.append(QStringLiteral("schedule")); };
        hooks.requestRemoteTaskDeletion
            = [this](const QUuid &, const QUuid &taskID) { record(QStringLiteral("remote-delete"), taskID); };
        hooks.forgetTaskSyncEntries = [this](const QUuid &taskID) { record(QStringLiteral("forget"), taskID); };
        hooks.setLastErrorMessage = [this](const QString &text) { lastError = text; };
        actions = std::make_unique<BoardActions>(clock, bus, *database, terminator, manager, std::move(hooks));
    }

    void record(const QString &what, const QUuid &taskID, std::optional<BL_TaskStatus> status = std::nullopt)
    {
        QString line = what + u' ' + label(taskID);
        if (status)
            line += u' ' + rawValue(*status);
        calls.append(line);
    }
    // Tasks show in the call log by their title.
    QString label(const QUuid &taskID) const { return titles.value(taskID, UuidText::lower(taskID)); }
    QHash<QUuid, QString> titles;

    // Puts a task on the board and in the database, without any event.
    QUuid addTask(
        const QString &title, BL_TaskStatus status, const std::optional<QString> &workerSessionKey = std::nullopt)
    {
        TaskCreationRequest request;
        request.projectID = project;
        request.title = title;
        request.acceptanceCriteria = QStringLiteral("works");
        request.initialStatus = status;
        BL_Task task = *TaskCreation::makeTask(request, std::nullopt, QString(), clock);
        task.workerSessionKey = workerSessionKey;
        store.applyIncrementalUpdate(task, std::nullopt);
        const auto stored = database->upsertTask(task);
        if (!TestSupport::waitForFuture(stored) || !stored.result().ok())
            qFatal("task not stored");
        titles.insert(task.blID, title);
        return task.blID;
    }
    bool stored(const QUuid &taskID) const
    {
        auto fetched = database->fetchTask(taskID);
        TestSupport::waitForFuture(fetched);
        return fetched.result().ok() && fetched.result().value().has_value();
    }
    bool settled() const
    {
        return TestSupport::waitUntil([&] { return actions->cancellationInFlightTaskIDs().isEmpty(); });
    }
    QList<BL_EventType> types() const
    {
        QList<BL_EventType> list;
        for (const BL_Event &event : events)
            list.append(event.type);
        return list;
    }
    // Makes every delete of the database fail, through a second connection.
    void refuseDeletes() const
    {
        SQLite::Database connection(
            folder.filePath(QStringLiteral("tessaron.sqlite")).toStdString(), SQLite::OPEN_READWRITE);
        connection.exec("CREATE TRIGGER refuse_deletes BEFORE DELETE ON tasks "
                        "BEGIN SELECT RAISE(ABORT, 'deletes are refused here'); END");
    }
};

QString requestedDetail(const QString &source)
{
    return QStringLiteral("Cancellation requested (") + source
        + QStringLiteral("); sending Brimlock session kill command.");
}

} // namespace

class BoardActionsTest : public QObject
{
    Q_OBJECT

private slots:
    void resolvedAgentID_data()
    {
        const QUuid agent = QUuid::fromString(QStringLiteral("0d3c2b1a-1111-4222-8333-444444444444"));
        QTest::addColumn<std::optional<QString>>("key");
        QTest::addColumn<std::optional<QUuid>>("agent");
        QTest::newRow("agent key") << std::optional<QString>(QStringLiteral("agent:") + UuidText::lower(agent))
                                   << std::optional<QUuid>(agent);
        QTest::newRow("upper case, spaces around")
            << std::optional<QString>(QStringLiteral("  AGENT:") + UuidText::upper(agent) + QStringLiteral("\n"))
            << std::optional<QUuid>(agent);
        QTest::newRow("text after the id")
            << std::optional<QString>(QStringLiteral("agent:") + UuidText::lower(agent) + QStringLiteral("-2"))
            << std::optional<QUuid>();
        QTest::newRow("pending spawn") << std::optional<QString>(QStringLiteral("pending-spawn:1:")
            + UuidText::lower(agent)) << std::optional<QUuid>();
        QTest::newRow("prefix only") << std::optional<QString>(QStringLiteral("agent:")) << std::optional<QUuid>();
        QTest::newRow("no key") << std::optional<QString>() << std::optional<QUuid>();
    }
    void resolvedAgentID()
    {
        QFETCH(std::optional<QString>, key);
        QFETCH(std::optional<QUuid>, agent);
        QCOMPARE(BoardActions::resolvedAgentID(key), agent);
    }

    void markWorkerDonePublishesTheCompletion()
    {
        Rig rig;
        const QUuid taskID = rig.addTask(QStringLiteral("A"), BL_TaskStatus::inProgress);
        rig.actions->markWorkerDone(taskID, rig.project);
        QCOMPARE(rig.types(), QList<BL_EventType> {BL_EventType::workerTaskCompleted});
        QCOMPARE(rig.events.first().taskID, taskID);
        QCOMPARE(rig.events.first().projectID, rig.project);
        QCOMPARE(rig.events.first().timestamp, rig.clock.now());
        QVERIFY(!rig.events.first().payload);
        // The board is left to the subscribers.
        QCOMPARE(rig.store.task(taskID)->status, BL_TaskStatus::inProgress);
        QVERIFY(rig.calls.isEmpty());
    }

    void moveTask_data()
    {
        QTest::addColumn<BL_TaskStatus>("from");
        QTest::addColumn<BL_TaskStatus>("to");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("into progress") << BL_TaskStatus::queued << BL_TaskStatus::inProgress
                                       << QStringList {"persist A in_progress", "before A"};
        QTest::newRow("completed") << BL_TaskStatus::inProgress << BL_TaskStatus::completed
                                   << QStringList {"persist A completed", "refresh", "after A"};
        QTest::newRow("failed") << BL_TaskStatus::inProgress << BL_TaskStatus::failed
                                << QStringList {"persist A failed", "refresh", "after A"};
        QTest::newRow("back to the backlog")
            << BL_TaskStatus::completed << BL_TaskStatus::backlog << QStringList {"persist A backlog"};
        QTest::newRow("queued") << BL_TaskStatus::backlog << BL_TaskStatus::queued << QStringList {"persist A queued"};
        // Stored and checkpointed even when the column does not change.
        QTest::newRow("same column") << BL_TaskStatus::completed << BL_TaskStatus::completed
                                     << QStringList {"persist A completed", "refresh", "after A"};
    }
    void moveTask()
    {
        QFETCH(BL_TaskStatus, from);
        QFETCH(BL_TaskStatus, to);
        QFETCH(QStringList, calls);
        Rig rig;
        const QUuid taskID = rig.addTask(QStringLiteral("A"), from);
        rig.clock.advance(5);
        rig.actions->moveTask(taskID, to, rig.project);
        QCOMPARE(rig.store.task(taskID)->status, to);
        QCOMPARE(rig.calls, calls);
        QCOMPARE(rig.types().contains(BL_EventType::taskMoved), from != to);
        TestSupport::drainMainThread();
        QCOMPARE(rig.calls, calls); // no poll while sync is off
    }

    void moveTaskPollsTheBackendOnALaterTurnWhileSyncIsOn()
    {
        Rig rig;
        rig.syncOn = true;
        const QUuid taskID = rig.addTask(QStringLiteral("A"), BL_TaskStatus::backlog);
        rig.actions->moveTask(taskID, BL_TaskStatus::queued, rig.project);
        QCOMPARE(rig.calls, QStringList {"persist A queued"});
        QVERIFY(TestSupport::waitUntil([&] { return rig.calls.size() == 2; }));
        QCOMPARE(rig.calls.last(), QStringLiteral("poll local-move"));

        // A poll not yet started is dropped with the actions.
        rig.actions->moveTask(taskID, BL_TaskStatus::backlog, rig.project);
        rig.actions.reset();
        TestSupport::drainMainThread();
        QCOMPARE(rig.calls.count(QStringLiteral("poll local-move")), 1);
    }

    void closeOrCancelOfATaskNotRunningDeletesIt_data()
    {
        QTest::addColumn<bool>("viaClose");
        QTest::addColumn<BL_TaskStatus>("status");
        for (BL_TaskStatus status :
            {BL_TaskStatus::backlog, BL_TaskStatus::queued, BL_TaskStatus::completed, BL_TaskStatus::failed}) {
            QTest::addRow("close %s", qPrintable(rawValue(status))) << true << status;
            QTest::addRow("cancel %s", qPrintable(rawValue(status))) << false << status;
        }
    }
    void closeOrCancelOfATaskNotRunningDeletesIt()
    {
        QFETCH(bool, viaClose);
        QFETCH(BL_TaskStatus, status);
        Rig rig;
        const QUuid taskID = rig.addTask(QStringLiteral("A"), status);
        const QUuid other = rig.addTask(QStringLiteral("B"), status);
        if (viaClose)
            rig.actions->closeTaskFromBoard(taskID, rig.project);
        else
            rig.actions->cancelRunningTask(taskID, rig.project, QStringLiteral("lan"));

        QVERIFY(!rig.store.task(taskID));
        QVERIFY(rig.store.task(other));
        QCOMPARE(rig.types(), QList<BL_EventType> {BL_EventType::taskDeleted});
        QCOMPARE(rig.events.first().taskID, taskID);
        QCOMPARE(rig.events.first().timestamp, rig.clock.now());
        QCOMPARE(rig.events.first().payload.value(), QByteArray(R"({"detail":"Task deleted from board."})"));
        QCOMPARE(rig.calls, (QStringList {"schedule", "remote-delete A", "forget A"}));
        // The row goes on a later turn; the other one stays.
        QVERIFY(rig.stored(taskID));
        QVERIFY(TestSupport::waitUntil([&] { return !rig.stored(taskID); }));
        QVERIFY(rig.stored(other));
        QVERIFY(rig.script->sessionIDs.isEmpty());
        QVERIFY(!rig.lastError);
    }

    void deleteOfATaskNotOnTheBoardIsStillAnnounced()
    {
        Rig rig;
        const QUuid missing = QUuid::createUuid();
        rig.actions->deleteTask(missing, rig.project);
        QCOMPARE(rig.types(), QList<BL_EventType> {BL_EventType::taskDeleted});
        QCOMPARE(rig.calls.size(), 3);
        TestSupport::drainMainThread();
        QVERIFY(!rig.lastError); // deleting an absent row is no failure
    }

    void clearDoneTasksDeletesTheEndedOnes()
    {
        Rig rig;
        QHash<BL_TaskStatus, QUuid> ids;
        for (BL_TaskStatus status : TaskBoardStore::allStatuses())
            ids.insert(status, rig.addTask(rawValue(status), status));
        rig.actions->clearDoneTasks(rig.project);

        QCOMPARE(rig.store.taskByID().size(), 3);
        QCOMPARE(rig.types(), (QList<BL_EventType> {BL_EventType::taskDeleted, BL_EventType::taskDeleted}));
        QSet<QUuid> cleared;
        for (const BL_Event &event : std::as_const(rig.events)) {
            cleared.insert(event.taskID);
            QCOMPARE(event.payload.value(), QByteArray(R"({"detail":"Done task cleared from board."})"));
        }
        QCOMPARE(cleared, (QSet<QUuid> {ids[BL_TaskStatus::completed], ids[BL_TaskStatus::failed]}));
        // Per task: the backend copy, the sync entries; no scheduling.
        QCOMPARE(rig.calls.size(), 4);
        QCOMPARE(rig.calls.filter(QStringLiteral("remote-delete")).size(), 2);
        QCOMPARE(rig.calls.filter(QStringLiteral("forget")).size(), 2);
        QVERIFY(TestSupport::waitUntil(
            [&] { return !rig.stored(ids[BL_TaskStatus::completed]) && !rig.stored(ids[BL_TaskStatus::failed]); }));
        QVERIFY(rig.stored(ids[BL_TaskStatus::inProgress]));

        // Nothing left to clear: nothing happens.
        rig.events.clear();
        rig.calls.clear();
        rig.actions->clearDoneTasks(rig.project);
        QVERIFY(rig.events.isEmpty());
        QVERIFY(rig.calls.isEmpty());
    }

    void failedDeleteShowsItsPrefixedMessage_data()
    {
        QTest::addColumn<bool>("clearing");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("delete") << false << QStringLiteral("Failed to delete task: ");
        QTest::newRow("clear done") << true << QStringLiteral("Failed to clear done tasks: ");
    }
    void failedDeleteShowsItsPrefixedMessage()
    {
        QFETCH(bool, clearing);
        QFETCH(QString, prefix);
        Rig rig;
        const QUuid taskID = rig.addTask(QStringLiteral("A"), BL_TaskStatus::completed);
        rig.refuseDeletes();
        if (clearing)
            rig.actions->clearDoneTasks(rig.project);
        else
            rig.actions->deleteTask(taskID, rig.project);

        // The board and the announcement do not wait for the database.
        QVERIFY(!rig.store.task(taskID));
        QCOMPARE(rig.types(), QList<BL_EventType> {BL_EventType::taskDeleted});
        QVERIFY(TestSupport::waitUntil([&] { return rig.lastError.has_value(); }));
        QVERIFY2(rig.lastError->startsWith(prefix), qPrintable(*rig.lastError));
        QVERIFY2(rig.lastError->contains(QStringLiteral("deletes are refused here")), qPrintable(*rig.lastError));
        QVERIFY(rig.stored(taskID));
    }

    void clientNodeLeavesTheActionsToTheMainNode()
    {
        Rig rig;
        rig.clientNode = true;
        const QUuid running = rig.addTask(QStringLiteral("A"), BL_TaskStatus::inProgress);
        const QUuid done = rig.addTask(QStringLiteral("B"), BL_TaskStatus::completed);
        rig.actions->markWorkerDone(running, rig.project);
        rig.actions->moveTask(done, BL_TaskStatus::backlog, rig.project);
        rig.actions->closeTaskFromBoard(running, rig.project);
        rig.actions->closeTaskFromBoard(done, rig.project);
        rig.actions->cancelRunningTask(running, rig.project, QStringLiteral("lan"));
        rig.actions->deleteTask(done, rig.project);
        rig.actions->clearDoneTasks(rig.project);
        TestSupport::drainMainThread();
        QVERIFY(rig.events.isEmpty());
        QVERIFY(rig.calls.isEmpty());
        QCOMPARE(rig.store.task(running)->status, BL_TaskStatus::inProgress);
        QCOMPARE(rig.store.task(done)->status, BL_TaskStatus::completed);
        QVERIFY(rig.script->sessionIDs.isEmpty());
        QVERIFY(rig.stored(done));
    }

    void unknownWorkspaceChangesNothing()
    {
        Rig rig;
        const QUuid taskID = rig.addTask(QStringLiteral("A"), BL_TaskStatus::inProgress);
        const QUuid elsewhere = QUuid::createUuid();
        rig.actions->moveTask(taskID, BL_TaskStatus::completed, elsewhere);
        rig.actions->closeTaskFromBoard(taskID, elsewhere);
        rig.actions->cancelRunningTask(taskID, elsewhere, QStringLiteral("lan"));
        rig.actions->deleteTask(taskID, elsewhere);
        rig.actions->clearDoneTasks(elsewhere);
        TestSupport::drainMainThread();
        QVERIFY(rig.events.isEmpty());
        QVERIFY(rig.calls.isEmpty());
        QVERIFY(rig.actions->cancellationInFlightTaskIDs().isEmpty());
        QVERIFY(rig.stored(taskID));
    }

    void cancellation_data()
    {
        QTest::addColumn<bool>("killSucceeds");
        QTest::addColumn<bool>("processEnded");
        QTest::addColumn<QString>("reason"); // empty: the cancellation failed
        QTest::newRow("session killed") << true << false
                                        << QStringLiteral("Task cancelled by user (task-card-close); Brimlock "
                                                          "session %1 terminated.");
        QTest::newRow("session killed and process ended")
            << true << true
            << QStringLiteral("Task cancelled by user (task-card-close); Brimlock session %1 terminated.");
        QTest::newRow("only the process ended")
            << false << true
            << QStringLiteral("Task cancelled by user (task-card-close); session kill failed but fallback process "
                              "termination succeeded.");
        QTest::newRow("nothing ended") << false << false << QString();
    }
    void cancellation()
    {
        QFETCH(bool, killSucceeds);
        QFETCH(bool, processEnded);
        QFETCH(QString, reason);
        Rig rig;
        rig.script->succeeded = killSucceeds;
        rig.script->message = killSucceeds ? QStringLiteral("Session kill command succeeded.")
                                           : QStringLiteral("Session kill failed. Attempts: none");
        rig.processEnded = processEnded;
        const QUuid agent = QUuid::createUuid();
        const QString sessionKey = QStringLiteral("agent:") + UuidText::lower(agent);
        const QUuid taskID = rig.addTask(QStringLiteral("A"), BL_TaskStatus::inProgress, sessionKey);
        const QString key = UuidText::lower(taskID);
        rig.actions->closeTaskFromBoard(taskID, rig.project);

        // The request is published at once; the kill starts on a later turn.
        QCOMPARE(rig.types(), QList<BL_EventType> {BL_EventType::taskModified});
        QVERIFY(rig.actions->cancellationInFlightTaskIDs().contains(taskID));
        QVERIFY(rig.script->sessionIDs.isEmpty());
        const auto requested = rig.events.first().decodePayload<BL_TaskEventPayload>().value();
        QCOMPARE(rig.events.first().timestamp, rig.clock.now());
        QCOMPARE(requested.detail.value(), requestedDetail(QStringLiteral("task-card-close")));
        QCOMPARE(requested.workerSessionKey, std::optional<QString>(sessionKey));
        QCOMPARE(requested.conversationTurn->role, BL_TaskConversationRole::system);
        QCOMPARE(requested.conversationTurn->agentID, std::optional<QUuid>(agent));
        QCOMPARE(requested.conversationTurn->content,
            QStringLiteral("Cancellation requested by user. Sending session kill for ") + key + QStringLiteral("."));

        QVERIFY(rig.settled());
        QCOMPARE(rig.script->sessionIDs, QStringList {key});
        QCOMPARE(rig.script->rootPaths, QList<std::optional<QString>> {rig.rootPath});
        QCOMPARE(rig.runsStopped, QList<QUuid> {taskID}); // the run is stopped whatever the kill said
        QCOMPARE(rig.events.size(), 2);
        const BL_Event outcome = rig.events.last();
        if (!reason.isEmpty()) {
            QCOMPARE(outcome.type, BL_EventType::workerTaskFailed);
            const auto result = outcome.decodePayload<BL_WorkerResultPayload>().value();
            QCOMPARE(result.agentID, agent);
            QCOMPARE(result.reason.value(), reason.contains(QStringLiteral("%1")) ? reason.arg(key) : reason);
            QVERIFY(!rig.lastError);
        } else {
            const QString text = QStringLiteral("Cancellation failed (task-card-close): ") + rig.script->message;
            QCOMPARE(outcome.type, BL_EventType::taskModified);
            const auto failure = outcome.decodePayload<BL_TaskEventPayload>().value();
            QCOMPARE(failure.detail.value(), text);
            QCOMPARE(failure.workerSessionKey, std::optional<QString>(sessionKey));
            QCOMPARE(failure.conversationTurn->content, text);
            QCOMPARE(failure.conversationTurn->agentID, std::optional<QUuid>(agent));
            QCOMPARE(rig.lastError.value(),
                QStringLiteral("Failed to cancel running task ") + key + QStringLiteral(": ") + rig.script->message);
        }
        // The outcome is published; folding it into the board is task tracking's.
        QCOMPARE(rig.store.task(taskID)->status, BL_TaskStatus::inProgress);
        QVERIFY(rig.calls.isEmpty());
    }

    void cancellationWithoutAnAgentKeySpeaksForTheManager()
    {
        Rig rig;
        const QUuid taskID
            = rig.addTask(QStringLiteral("A"), BL_TaskStatus::inProgress, QStringLiteral("pending-spawn:1:worker"));
        rig.actions->cancelRunningTask(taskID, rig.project, QStringLiteral("lan"));
        QVERIFY(rig.settled());
        QCOMPARE(rig.events.first().decodePayload<BL_TaskEventPayload>()->conversationTurn->agentID,
            std::optional<QUuid>(rig.manager));
        QCOMPARE(rig.events.last().decodePayload<BL_WorkerResultPayload>()->agentID, rig.manager);
    }

    void secondCancellationWhileOneIsInFlightIsIgnored()
    {
        Rig rig;
        rig.script->delayMs = 200;
        const QUuid taskID = rig.addTask(QStringLiteral("A"), BL_TaskStatus::inProgress);
        rig.actions->cancelRunningTask(taskID, rig.project, QStringLiteral("lan"));
        rig.actions->cancelRunningTask(taskID, rig.project, QStringLiteral("lan"));
        QVERIFY(TestSupport::waitUntil([&] { return rig.script->sessionIDs.size() == 1; })); // the kill runs
        rig.actions->closeTaskFromBoard(taskID, rig.project);
        rig.actions->cancelRunningTask(taskID, rig.project, QStringLiteral("remote-client-cancel"));
        QVERIFY(rig.settled());
        QCOMPARE(rig.types(), (QList<BL_EventType> {BL_EventType::taskModified, BL_EventType::workerTaskFailed}));
        QCOMPARE(rig.script->sessionIDs.size(), 1);
        QCOMPARE(rig.runsStopped.size(), 1);

        // Once it has ended, a new request is heard again.
        rig.actions->cancelRunningTask(taskID, rig.project, QStringLiteral("lan"));
        QVERIFY(rig.actions->cancellationInFlightTaskIDs().contains(taskID));
        QVERIFY(rig.settled());
        QCOMPARE(rig.script->sessionIDs.size(), 2);
    }

    void cancellationsOfTwoTasksRunSideBySide()
    {
        Rig rig;
        rig.script->delayMs = 100;
        const QUuid first = rig.addTask(QStringLiteral("A"), BL_TaskStatus::inProgress);
        const QUuid second = rig.addTask(QStringLiteral("B"), BL_TaskStatus::inProgress);
        rig.actions->cancelRunningTask(first, rig.project, QStringLiteral("lan"));
        rig.actions->cancelRunningTask(second, rig.project, QStringLiteral("lan"));
        QCOMPARE(rig.actions->cancellationInFlightTaskIDs(), (QSet<QUuid> {first, second}));
        QVERIFY(rig.settled());
        QCOMPARE(rig.types().count(BL_EventType::workerTaskFailed), 2);
    }

    void taskLeavingProgressDuringTheKillIsLeftAlone()
    {
        Rig rig;
        rig.script->delayMs = 100;
        const QUuid taskID = rig.addTask(QStringLiteral("A"), BL_TaskStatus::inProgress);
        rig.actions->cancelRunningTask(taskID, rig.project, QStringLiteral("lan"));
        rig.store.setTaskStatus(taskID, BL_TaskStatus::completed, rig.project, nullptr);
        QVERIFY(rig.settled());
        QCOMPARE(rig.types(), QList<BL_EventType> {BL_EventType::taskModified});
        QVERIFY(!rig.lastError);

        // Gone from the board altogether: the same.
        rig.events.clear();
        const QUuid other = rig.addTask(QStringLiteral("B"), BL_TaskStatus::inProgress);
        rig.script->succeeded = false;
        rig.actions->cancelRunningTask(other, rig.project, QStringLiteral("lan"));
        rig.store.removeTask(other);
        QVERIFY(rig.settled());
        QCOMPARE(rig.types(), QList<BL_EventType> {BL_EventType::taskModified});
        QVERIFY(!rig.lastError);
    }

    void ownerGoneBeforeTheCancellationStarts()
    {
        Rig rig;
        const QUuid taskID = rig.addTask(QStringLiteral("A"), BL_TaskStatus::inProgress);
        rig.actions->cancelRunningTask(taskID, rig.project, QStringLiteral("lan"));
        rig.actions.reset();
        TestSupport::drainMainThread();
        QVERIFY(rig.script->sessionIDs.isEmpty());
        QCOMPARE(rig.events.size(), 1);
    }

    void ownerGoneWhileTheSessionIsKilled()
    {
        Rig rig;
        rig.script->delayMs = 100;
        rig.script->succeeded = false; // would otherwise set the error
        const QUuid taskID = rig.addTask(QStringLiteral("A"), BL_TaskStatus::inProgress);
        rig.actions->cancelRunningTask(taskID, rig.project, QStringLiteral("lan"));
        QVERIFY(TestSupport::waitUntil([&] { return rig.script->sessionIDs.size() == 1; }));
        rig.actions.reset();
        QVERIFY(TestSupport::waitUntil([&] { return rig.script->finished == 1; }));
        TestSupport::drainMainThread();
        QVERIFY(rig.runsStopped.isEmpty());
        QCOMPARE(rig.events.size(), 1);
        QVERIFY(!rig.lastError);
    }

    void ownerGoneWhileTheRunIsStopped()
    {
        Rig rig;
        rig.script->succeeded = false;
        rig.pendingRun.emplace();
        const QUuid taskID = rig.addTask(QStringLiteral("A"), BL_TaskStatus::inProgress);
        rig.actions->cancelRunningTask(taskID, rig.project, QStringLiteral("lan"));
        QVERIFY(TestSupport::waitUntil([&] { return rig.runsStopped.size() == 1; }));
        rig.actions.reset();
        rig.pendingRun->addResult(false);
        rig.pendingRun->finish();
        TestSupport::drainMainThread();
        QCOMPARE(rig.events.size(), 1);
        QVERIFY(!rig.lastError);
    }

    void stoppedRunWithoutAnAnswerEndsTheCancellation()
    {
        // The runtime went away: its future ends cancelled without a result.
        Rig rig;
        rig.pendingRun.emplace();
        const QUuid taskID = rig.addTask(QStringLiteral("A"), BL_TaskStatus::inProgress);
        rig.actions->cancelRunningTask(taskID, rig.project, QStringLiteral("lan"));
        QVERIFY(TestSupport::waitUntil([&] { return rig.runsStopped.size() == 1; }));
        rig.pendingRun.reset();
        QVERIFY(rig.settled());
        QCOMPARE(rig.events.size(), 1);
        QVERIFY(!rig.lastError);
    }
};

QTEST_GUILESS_MAIN(BoardActionsTest)
#include "tst_boardactions.moc"
