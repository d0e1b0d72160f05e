#include "BoardFixture.h"
#include "TestSupport.h"
#include "board/SystemEventWatcher.h"
#include "board/TaskBoardStore.h"
#include "model/BLEventBus.h"

#include <QtTest>

using namespace BoardFixture;

namespace {

const QUuid kProject = QUuid(QStringLiteral("9e1f2a3b-4c5d-4e6f-8a9b-0c1d2e3f4a5b"));

// Moves one second on with every reading, so the order of readings shows.
class TickingClock final : public Clock
{
public:
    explicit TickingClock(TimePoint start) : m_next(start) { }
    TimePoint now() const override
    {
        m_next = m_next.addSeconds(1);
        return m_next;
    }

private:
    mutable TimePoint m_next;
};

// A synchronous subscriber that keeps every event it is handed.
class Recorder
{
public:
    Recorder(BLEventBus &bus, QString name, QStringList *log = nullptr) : m_name(std::move(name)), m_log(log)
    {
        m_token = bus.subscribe([this](const BL_Event &event) {
            events.append(event);
            if (m_log)
                *m_log << rawValue(event.type) + QLatin1Char('@') + m_name;
        });
    }
    QList<BL_Event> events;

private:
    QString m_name;
    QStringList *m_log;
    BLEventSubscription m_token;
};

QString detailOf(const BL_Event &event)
{
    const auto payload = event.decodePayload<BL_TaskEventPayload>();
    return payload && payload->detail ? *payload->detail : QString();
}

} // namespace

class BoardStatusChangesTest : public QObject
{
    Q_OBJECT

private slots:
    // Both operations stamp, re-file and publish the same two events; only
    // the detail wording differs.
    void statusChangePublishesMovedThenModified_data()
    {
        QTest::addColumn<bool>("viaMove");
        QTest::addColumn<QString>("from");
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("detail");
        QTest::newRow("move queued to in progress") << true << "queued"
                                                    << "in_progress"
                                                    << "Task status moved from queued to in_progress.";
        QTest::newRow("set queued to in progress") << false << "queued"
                                                   << "in_progress"
                                                   << "Task status changed from queued to in_progress.";
        QTest::newRow("move in progress to completed") << true << "in_progress"
                                                       << "completed"
                                                       << "Task status moved from in_progress to completed.";
        QTest::newRow("set in progress to failed") << false << "in_progress"
                                                   << "failed"
                                                   << "Task status changed from in_progress to failed.";
        QTest::newRow("set in progress back to queued") << false << "in_progress"
                                                        << "queued"
                                                        << "Task status changed from in_progress to queued.";
        QTest::newRow("move failed to backlog") << true << "failed"
                                                << "backlog"
                                                << "Task status moved from failed to backlog.";
    }

    void statusChangePublishesMovedThenModified()
    {
        QFETCH(bool, viaMove);
        QFETCH(QString, from);
        QFETCH(QString, to);
        QFETCH(QString, detail);
        const BL_TaskStatus fromStatus = *taskStatusFromRaw(from);
        const BL_TaskStatus toStatus = *taskStatusFromRaw(to);

        const TimePoint start = minutes(10000);
        TickingClock clock(start);
        // The target column holds a task later than any other, but the moved
        // task is stamped now and goes in front of it.
        TaskBoardStore store(
            {makeTask('A', fromStatus, 600), makeTask('B', fromStatus, 500), makeTask('C', toStatus, 9000)}, clock);
        const BL_Task before = store.taskByID()[idOf('A')];

        BLEventBus bus;
        Recorder recorder(bus, "r");
        QString seenByTheSubscriber;
        BLEventSubscription check = bus.subscribe([&](const BL_Event &event) {
            if (event.type == BL_EventType::taskMoved)
                seenByTheSubscriber = describe(store);
        });

        if (viaMove)
            store.moveTask(idOf('A'), toStatus, kProject, bus);
        else
            store.setTaskStatus(idOf('A'), toStatus, kProject, &bus);

        const BL_Task after = store.taskByID()[idOf('A')];
        QCOMPARE(after.status, toStatus);
        QCOMPARE(after.updatedAt, start.addSeconds(1)); // read first
        QCOMPARE(after.taskLastActivityDate, start.addSeconds(2));
        BL_Task onlyStamped = after;
        onlyStamped.status = before.status;
        onlyStamped.updatedAt = before.updatedAt;
        onlyStamped.taskLastActivityDate = before.taskLastActivityDate;
        QCOMPARE(onlyStamped, before); // no history, no conversation, nothing else
        QCOMPARE(store.column(toStatus).first(), idOf('A'));
        QCOMPARE(store.column(fromStatus), QList<QUuid> {idOf('B')});
        VERIFY_BOARD_INVARIANTS(store);
        // Subscribers already see the store in its new state.
        QCOMPARE(seenByTheSubscriber, describe(store));

        QCOMPARE(recorder.events.size(), 2);
        const BL_Event &moved = recorder.events[0];
        const BL_Event &modified = recorder.events[1];
        QCOMPARE(moved.type, BL_EventType::taskMoved);
        QCOMPARE(modified.type, BL_EventType::taskModified);
        for (const BL_Event &event : recorder.events) {
            QCOMPARE(event.projectID, kProject);
            QCOMPARE(event.taskID, idOf('A'));
            QVERIFY(!event.id.isNull());
        }
        QVERIFY(moved.id != modified.id);
        QCOMPARE(moved.timestamp, start.addSeconds(3));
        QCOMPARE(modified.timestamp, start.addSeconds(4)); // the clock is read again

        const QByteArray expectedPayload
            = "{\"fromStatus\":\"" + from.toUtf8() + "\",\"toStatus\":\"" + to.toUtf8() + "\"}";
        QCOMPARE(*moved.payload, expectedPayload);
        const auto movedPayload = moved.decodePayload<BL_TaskMovedPayload>();
        QVERIFY(movedPayload);
        QCOMPARE(movedPayload->fromStatus, fromStatus);
        QCOMPARE(movedPayload->toStatus, toStatus);

        const auto modifiedPayload = modified.decodePayload<BL_TaskEventPayload>();
        QVERIFY(modifiedPayload);
        QCOMPARE(modifiedPayload->detail, std::optional<QString>(detail));
        QVERIFY(!modifiedPayload->agentID && !modifiedPayload->conversationTurn && !modifiedPayload->workerSessionKey
            && !modifiedPayload->stdoutChunk && !modifiedPayload->stdoutReset);
        QCOMPARE(Json::parseObject(*modified.payload)->keys(), QStringList {"detail"});
    }

    void statusChangeThatChangesNothing_data()
    {
        QTest::addColumn<bool>("viaMove");
        QTest::addColumn<QChar>("task");
        QTest::addColumn<QString>("to");
        QTest::newRow("move to the current status") << true << QChar('A') << "queued";
        QTest::newRow("set to the current status") << false << QChar('A') << "queued";
        QTest::newRow("move an unknown id") << true << QChar('Z') << "failed";
        QTest::newRow("set an unknown id") << false << QChar('Z') << "failed";
    }

    void statusChangeThatChangesNothing()
    {
        QFETCH(bool, viaMove);
        QFETCH(QChar, task);
        QFETCH(QString, to);
        TestSupport::PinnedClock clock(minutes(10000));
        TaskBoardStore store(parseTasks("A queued 600, B queued 500"), clock);
        const auto tasksBefore = store.taskByID();
        const auto columnsBefore = store.columns();
        BLEventBus bus;
        Recorder recorder(bus, "r");
        int notifications = 0;
        connect(&store, &TaskBoardStore::taskByIDChanged, this, [&] { ++notifications; });

        if (viaMove)
            store.moveTask(idOf(task), *taskStatusFromRaw(to), kProject, bus);
        else
            store.setTaskStatus(idOf(task), *taskStatusFromRaw(to), kProject, &bus);

        QCOMPARE(store.taskByID(), tasksBefore);
        QCOMPARE(store.columns(), columnsBefore);
        QVERIFY(recorder.events.isEmpty());
        QCOMPARE(notifications, 0);
    }

    void setTaskStatusWithoutBus()
    {
        TestSupport::PinnedClock clock(minutes(10000));
        TaskBoardStore store(parseTasks("A queued 600, B in_progress 500"), clock);
        BLEventBus bus;
        Recorder recorder(bus, "r");
        store.setTaskStatus(idOf('A'), BL_TaskStatus::inProgress, kProject, nullptr);
        QCOMPARE(describe(store), QString("backlog: | queued: | in_progress: A B | completed: | failed:"));
        QCOMPARE(store.taskByID()[idOf('A')].updatedAt, minutes(10000));
        QVERIFY(recorder.events.isEmpty());
    }

    // A status change made while another event is being delivered reaches
    // every synchronous subscriber before the outer delivery goes on, and a
    // subscriber may call back into the store while it handles it.
    void nestedPublication_data()
    {
        QTest::addColumn<QString>("outer");
        QTest::addColumn<QString>("initial");
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("detail");
        QTest::newRow("completion through the watcher") << "workerTaskCompleted"
                                                        << "in_progress"
                                                        << "completed"
                                                        << "Task status changed from in_progress to completed.";
        QTest::newRow("failure through the watcher") << "workerTaskFailed"
                                                     << "in_progress"
                                                     << "failed"
                                                     << "Task status changed from in_progress to failed.";
        QTest::newRow("accepted delegation through the first subscriber")
            << "delegationAccepted"
            << "queued"
            << "in_progress"
            << "Task status moved from queued to in_progress.";
    }

    void nestedPublication()
    {
        QFETCH(QString, outer);
        QFETCH(QString, initial);
        QFETCH(QString, target);
        QFETCH(QString, detail);
        const BL_EventType outerType = *eventTypeFromRaw(outer);
        const BL_TaskStatus targetStatus = *taskStatusFromRaw(target);

        TaskBoardStore store({makeTask('A', *taskStatusFromRaw(initial), 600)});
        BLEventBus bus;
        QStringList log;

        // 1: like the agent engine, moves the task when a delegation is accepted.
        BLEventSubscription first = bus.subscribe([&](const BL_Event &event) {
            log << rawValue(event.type) + "@1";
            if (event.type == BL_EventType::delegationAccepted)
                store.moveTask(event.taskID, targetStatus, event.projectID, bus);
        });
        // 2: the watcher, here with both callbacks set.
        SystemEventWatcher watcher(bus);
        auto moveBy = [&](const QUuid &projectID, const QUuid &taskID) {
            log << QStringLiteral("callback@2");
            store.setTaskStatus(taskID, targetStatus, projectID, &bus);
        };
        watcher.setOnTaskAutoMoveToDone(moveBy);
        watcher.setOnTaskAutoMoveToFailed(moveBy);
        // 3: like the application state's tracking, records each detail in the
        // task's history through the store while the event is delivered.
        BLEventSubscription third = bus.subscribe([&](const BL_Event &event) {
            log << rawValue(event.type) + "@3";
            if (event.type == BL_EventType::taskMoved)
                QCOMPARE(store.taskByID()[event.taskID].status, targetStatus);
            const auto payload = event.decodePayload<BL_TaskEventPayload>();
            if (event.type == BL_EventType::taskModified && payload && payload->detail) {
                store.updateTask(event.taskID, [&](BL_Task &task) {
                    BL_TaskHistoryEvent entry {
                        QUuid::createUuid(), event.type, event.timestamp, std::nullopt, payload->detail};
                    auto history = task.decodedHistory().value_or(QList<BL_TaskHistoryEvent>());
                    history.append(entry);
                    task.taskHistoryData = encodeHistory(history);
                });
            }
        });
        Recorder fourth(bus, "4", &log);

        bus.send(BL_Event::make(outerType, kProject, idOf('A')));

        const QString nestedBy = outerType == BL_EventType::delegationAccepted ? QString() : "callback@2";
        QStringList expected {outer + "@1"};
        if (!nestedBy.isEmpty())
            expected << nestedBy;
        expected << "taskMoved@1"
                 << "taskMoved@3"
                 << "taskMoved@4"
                 << "taskModified@1"
                 << "taskModified@3"
                 << "taskModified@4" << outer + "@3" << outer + "@4";
        QCOMPARE(log, expected);

        const BL_Task task = store.taskByID()[idOf('A')];
        QCOMPARE(task.status, targetStatus);
        const auto history = task.decodedHistory();
        QVERIFY(history && history->size() == 1);
        QCOMPARE(history->first().detail, std::optional<QString>(detail));
        VERIFY_BOARD_INVARIANTS(store);
        QCOMPARE(detailOf(fourth.events[1]), detail);
    }

    // A subscriber may drop the store (its workspace closed) while the first
    // event is delivered; the second event still goes out.
    void storeDroppedDuringDelivery()
    {
        auto store = std::make_unique<TaskBoardStore>(parseTasks("A queued 600"));
        BLEventBus bus;
        BLEventSubscription dropper = bus.subscribe([&](const BL_Event &event) {
            if (event.type == BL_EventType::taskMoved)
                store.reset();
        });
        Recorder recorder(bus, "r");
        store->moveTask(idOf('A'), BL_TaskStatus::completed, kProject, bus);
        QVERIFY(!store);
        QCOMPARE(recorder.events.size(), 2);
        QCOMPARE(detailOf(recorder.events[1]), QString("Task status moved from queued to completed."));
    }

    void readyTasksAwaitingDelegation_data()
    {
        // Each task: letter, status, worker state, last activity (minutes),
        // updatedAt (minutes).
        QTest::addColumn<QStringList>("tasks");
        QTest::addColumn<QString>("expected");
        QTest::newRow("longest waiting first, delegated and other statuses left out") << QStringList {
            "A queued notDelegated 540 100", "B queued notDelegated 480 200", "C queued delegated/accepted 420 300",
            "D backlog notDelegated 360 400"} << "BA";
        QTest::newRow("order of last activity, not of the column") << QStringList {"A queued notDelegated 10 100",
            "B queued notDelegated 30 300", "C queued notDelegated 20 200", "D queued taskAcceptedByWorker 5 400"}
                                                                   << "ACB";
        QTest::newRow("every worker state but notDelegated is left out") << QStringList {
            "A queued taskAcceptedByWorker 1 1", "B queued taskActivelyUnderwayByWorker 2 2",
            "C queued workerCompleted 3 3", "D queued workerFailed 4 4", "E in_progress notDelegated 5 5",
            "F failed notDelegated 6 6"} << "";
        QTest::newRow("empty board") << QStringList() << "";
    }

    void readyTasksAwaitingDelegation()
    {
        QFETCH(QStringList, tasks);
        QFETCH(QString, expected);
        QList<BL_Task> records;
        for (const QString &text : tasks) {
            const QStringList part = text.split(' ');
            BL_Task task = makeTask(part[0][0], *taskStatusFromRaw(part[1]), part[4].toDouble());
            task.workerState = *taskWorkerStateFromRaw(part[2]);
            task.taskLastActivityDate = minutes(part[3].toDouble());
            records << task;
        }
        TaskBoardStore store(records);
        QString order;
        for (const BL_Task &task : store.readyTasksAwaitingDelegation()) {
            order += letterOf(task.blID);
            QCOMPARE(task, store.taskByID()[task.blID]);
        }
        QCOMPARE(order, expected);
    }

    void tagStyles_data()
    {
        QTest::addColumn<QByteArray>("metadata");
        QTest::addColumn<QString>("label");
        QTest::addColumn<QString>("color");
        QTest::addColumn<QString>("icon");
        QTest::addColumn<QString>("hex");
        const QString urgent[] = {"Urgent", "red", "bolt.fill", "#FF453A"};
        const QString research[] = {"Research", "blue", "magnifyingglass", "#0A84FF"};
        const QString build[] = {"Agent task", "green", "hammer.fill", "#30D158"};
        const QString general[] = {"General", "gray", "square.grid.2x2", "#8E8E93"};
        auto row = [](const char *name, const QByteArray &metadata, const QString(&style)[4]) {
            QTest::newRow(name) << metadata << style[0] << style[1] << style[2] << style[3];
        };
        row("urgent", R"({"tag":"urgent"})", urgent);
        row("URGENT", R"({"tag":"URGENT"})", urgent);
        row("research", R"({"priority":"low","tag":"research"})", research);
        row("Build", R"({"tag":"Build","size_estimate":"M"})", build);
        row("default", R"({"tag":"default"})", general);
        row("unknown tag", R"({"tag":"chore"})", general);
        row("leading space", R"({"tag":" urgent"})", general);
        row("empty tag", R"({"tag":""})", general);
        row("null tag", R"({"tag":null})", general);
        row("no tag", R"({})", general);
        row("tag not a text", R"({"tag":1})", general);
        row("tag an array", R"({"tag":["urgent"]})", general);
        row("metadata an array", R"([{"tag":"urgent"}])", general);
        row("metadata null", "null", general);
        row("not JSON", "tag=urgent", general);
        row("empty metadata", "", general);
    }

    void tagStyles()
    {
        QFETCH(QByteArray, metadata);
        QFETCH(QString, label);
        QFETCH(QString, color);
        QFETCH(QString, icon);
        QFETCH(QString, hex);
        BL_Task task = makeTask('A', BL_TaskStatus::queued, 1);
        task.metadata = metadata;
        TaskBoardStore store({task});
        const BL_TaskStyleToken expected {label, color, icon};
        QCOMPARE(store.taskStyle(task), expected);
        QCOMPARE(store.taskStyle(task), expected); // from the cache
        QCOMPARE(expected.colorHex(), hex);
        QCOMPARE(expected.colorRgba(), 0xFF000000u | hex.mid(1).toUInt(nullptr, 16));
    }

    // The cache is validated by the metadata bytes of the task passed in.
    void tagStyleFollowsTheMetadataPassedIn()
    {
        BL_Task task = makeTask('A', BL_TaskStatus::queued, 1);
        task.metadata = R"({"tag":"urgent"})";
        TaskBoardStore store({task});
        QCOMPARE(store.taskStyle(task).tagLabel, QString("Urgent"));

        BL_Task other = task;
        other.metadata = R"({"tag":"research"})";
        QCOMPARE(store.taskStyle(other).tagLabel, QString("Research"));
        QCOMPARE(store.taskStyle(task).tagLabel, QString("Urgent"));

        // Same tag in other bytes: computed again, same token.
        other.metadata = R"({"priority":"high","tag":"urgent"})";
        QCOMPARE(store.taskStyle(other).tagLabel, QString("Urgent"));
    }
};

QTEST_GUILESS_MAIN(BoardStatusChangesTest)
#include "tst_boardstatuschanges.moc"
