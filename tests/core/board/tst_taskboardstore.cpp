#include "BoardFixture.h"
#include "TestSupport.h"
#include "board/TaskBoardStore.h"

#include <QtTest>

using namespace BoardFixture;

namespace {

const QString kEmptyBoard = QStringLiteral("backlog: | queued: | in_progress: | completed: | failed:");

// Applies one operation written as text:
//   "snapshot <tasks>"            applySnapshot
//   "update <task>"               applyIncrementalUpdate replacing the stored record
//   "create <task>"               applyIncrementalUpdate replacing nothing
//   "stale <task> / <task>"       applyIncrementalUpdate replacing the second record
//   "remove X"                    removeTask
//   "removeAll X Y"               removeTasks
void apply(TaskBoardStore &store, const QString &operation)
{
    const qsizetype space = operation.indexOf(QLatin1Char(' '));
    const QString verb = operation.left(space);
    const QString rest = operation.mid(space + 1);
    if (verb == QLatin1String("snapshot")) {
        store.applySnapshot(parseTasks(rest));
    } else if (verb == QLatin1String("update")) {
        const BL_Task task = parseTask(rest);
        store.applyIncrementalUpdate(task, store.task(task.blID));
    } else if (verb == QLatin1String("create")) {
        store.applyIncrementalUpdate(parseTask(rest), std::nullopt);
    } else if (verb == QLatin1String("stale")) {
        const QStringList pair = rest.split(QLatin1Char('/'));
        store.applyIncrementalUpdate(parseTask(pair[0].trimmed()), parseTask(pair[1].trimmed()));
    } else if (verb == QLatin1String("remove")) {
        store.removeTask(idOf(rest[0]));
    } else if (verb == QLatin1String("removeAll")) {
        QSet<QUuid> ids;
        for (const QString &letter : rest.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            ids.insert(idOf(letter[0]));
        store.removeTasks(ids);
    } else {
        qFatal("unknown operation %s", qPrintable(operation));
    }
}

} // namespace

class TaskBoardStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void columnMembershipAndOrder_data()
    {
        QTest::addColumn<QString>("initial");
        QTest::addColumn<QStringList>("operations");
        QTest::addColumn<QString>("expected");

        QTest::newRow("empty store") << "" << QStringList() << kEmptyBoard;
        QTest::newRow("latest first") << "A queued 600, B queued 720, C queued 660" << QStringList()
                                      << "backlog: | queued: B C A | in_progress: | completed: | failed:";
        QTest::newRow("each status its column")
            << "A backlog 1, B queued 2, C in_progress 3, D completed 4, E failed 5, F failed 6" << QStringList()
            << "backlog: A | queued: B | in_progress: C | completed: D | failed: F E";

        // Snapshots.
        QTest::newRow("snapshot drops a missing task")
            << "A queued 600, B queued 720, C queued 660" << QStringList {"snapshot A queued 600, B queued 720"}
            << "backlog: | queued: B A | in_progress: | completed: | failed:";
        QTest::newRow("empty snapshot empties every column")
            << "A queued 600, B in_progress 720, C failed 660" << QStringList {"snapshot "} << kEmptyBoard;
        QTest::newRow("snapshot moves a task between columns")
            << "A queued 600, B queued 720, C in_progress 500"
            << QStringList {"snapshot A in_progress 600, B queued 720, C in_progress 500"}
            << "backlog: | queued: B | in_progress: A C | completed: | failed:";
        QTest::newRow("snapshot re-dates a task")
            << "A queued 600, B queued 720" << QStringList {"snapshot A queued 800, B queued 720"}
            << "backlog: | queued: A B | in_progress: | completed: | failed:";
        QTest::newRow("snapshot adds a task")
            << "A queued 600, B queued 720" << QStringList {"snapshot A queued 600, B queued 720, C queued 660"}
            << "backlog: | queued: B C A | in_progress: | completed: | failed:";
        QTest::newRow("twice the same id keeps the later record")
            << "" << QStringList {"snapshot A queued 600, A failed 700, B failed 650"}
            << "backlog: | queued: | in_progress: | completed: | failed: A B";

        // Single-task changes.
        QTest::newRow("new task goes into place") << "A queued 600, B queued 720" << QStringList {"create C queued 660"}
                                                  << "backlog: | queued: B C A | in_progress: | completed: | failed:";
        QTest::newRow("equal dates: the updated task goes after them")
            << "B queued 600, C queued 600, A queued 700, D queued 500" << QStringList {"update A queued 600"}
            << "backlog: | queued: B C A D | in_progress: | completed: | failed:";
        QTest::newRow("new task with an equal date goes after them")
            << "B queued 600, C queued 600" << QStringList {"create A queued 600"}
            << "backlog: | queued: B C A | in_progress: | completed: | failed:";
        QTest::newRow("re-dated task moves up")
            << "A queued 600, B queued 500, C queued 400, D queued 300" << QStringList {"update C queued 550"}
            << "backlog: | queued: A C B D | in_progress: | completed: | failed:";
        QTest::newRow("re-dated task moves down")
            << "A queued 600, B queued 500, C queued 400, D queued 300" << QStringList {"update A queued 350"}
            << "backlog: | queued: B C A D | in_progress: | completed: | failed:";
        QTest::newRow("re-dated task to the end")
            << "A queued 600, B queued 500, C queued 400" << QStringList {"update A queued 100"}
            << "backlog: | queued: B C A | in_progress: | completed: | failed:";
        QTest::newRow("unchanged date keeps the place")
            << "A queued 600, B queued 500, C queued 400" << QStringList {"update B queued 500"}
            << "backlog: | queued: A B C | in_progress: | completed: | failed:";
        QTest::newRow("new status: leaves one column, enters the other in place")
            << "A queued 600, B queued 500, C queued 400, D in_progress 550, E in_progress 450"
            << QStringList {"update B in_progress 500"}
            << "backlog: | queued: A C | in_progress: D B E | completed: | failed:";

        // Removals.
        QTest::newRow("remove keeps the order of the others")
            << "A queued 600, B queued 500, C queued 400" << QStringList {"remove B"}
            << "backlog: | queued: A C | in_progress: | completed: | failed:";
        QTest::newRow("remove an unknown id") << "A queued 600" << QStringList {"remove Z"}
                                              << "backlog: | queued: A | in_progress: | completed: | failed:";
        QTest::newRow("remove several across columns")
            << "A queued 600, B queued 500, C failed 400, D completed 300, E failed 200"
            << QStringList {"removeAll A C Z"} << "backlog: | queued: B | in_progress: | completed: D | failed: E";

        // A caller that breaks the precondition on `replacing` still leaves
        // every id in exactly one column.
        QTest::newRow("stale replacing with another status")
            << "A completed 600, B queued 500" << QStringList {"stale A queued 700 / A backlog 600"}
            << "backlog: | queued: A B | in_progress: | completed: | failed:";
        QTest::newRow("replacing nothing for a stored task")
            << "A completed 600, B queued 500" << QStringList {"create A queued 700"}
            << "backlog: | queued: A B | in_progress: | completed: | failed:";
        QTest::newRow("stale replacing with another date")
            << "A queued 600, B queued 500, C queued 400" << QStringList {"stale A queued 450 / A queued 100"}
            << "backlog: | queued: B A C | in_progress: | completed: | failed:";

        // Mixed sequences.
        QTest::newRow("incremental changes then a snapshot")
            << "A backlog 100, B backlog 200"
            << QStringList {"create C queued 300", "update A queued 400", "remove B",
                   "snapshot A queued 400, C in_progress 300, D backlog 50"}
            << "backlog: D | queued: A | in_progress: C | completed: | failed:";
    }

    void columnMembershipAndOrder()
    {
        QFETCH(QString, initial);
        QFETCH(QStringList, operations);
        QFETCH(QString, expected);

        TaskBoardStore store(parseTasks(initial));
        VERIFY_BOARD_INVARIANTS(store);
        for (const QString &operation : operations) {
            apply(store, operation);
            VERIFY_BOARD_INVARIANTS(store);
        }
        QCOMPARE(describe(store), expected);
    }

    // Many single-task changes on a board full of equal dates, checked
    // against the plain rule: take the id out, walk the column from the
    // front and put it before the first strictly earlier task.
    void incrementalUpdatesFollowTheInsertionRule()
    {
        QRandomGenerator random(20240501);
        QList<BL_Task> tasks;
        for (int i = 0; i < 120; ++i) {
            BL_Task task = makeTask(
                QChar(0x100 + i), TaskBoardStore::allStatuses()[int(random.bounded(5))], double(random.bounded(20)));
            task.blID = QUuid::createUuid();
            tasks << task;
        }
        TaskBoardStore store(tasks);
        TaskBoardStore::ColumnMap expected = store.columns();
        QHash<QUuid, BL_Task> records = store.taskByID();

        for (int step = 0; step < 3000; ++step) {
            BL_Task task = records.value(tasks[int(random.bounded(tasks.size()))].blID);
            const BL_Task previous = task;
            if (random.bounded(3) == 0)
                task.status = TaskBoardStore::allStatuses()[int(random.bounded(5))];
            task.updatedAt = minutes(double(random.bounded(20)));
            store.applyIncrementalUpdate(task, previous);

            expected[previous.status].removeAll(task.blID);
            records.insert(task.blID, task);
            QList<QUuid> &column = expected[task.status];
            qsizetype place = 0;
            while (place < column.size() && !(records[column[place]].updatedAt < task.updatedAt))
                ++place;
            column.insert(place, task.blID);

            QCOMPARE(store.columns(), expected);
        }
        QCOMPARE(store.taskByID(), records);
        VERIFY_BOARD_INVARIANTS(store);
    }

    // Each operation notifies taskByID when a record changed and columns
    // when a column did, once each, taskByID first and after both hold
    // their new values; operations that change nothing stay silent.
    void notifications_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QStringList>("expected");
        const QStringList both {"taskByID", "columns"};
        const QStringList tasks {"taskByID"};
        const QStringList none;
        QTest::newRow("equal snapshot") << "snapshot A queued 600, B queued 500" << none;
        QTest::newRow("snapshot re-dating in place") << "snapshot A queued 650, B queued 500" << tasks;
        QTest::newRow("snapshot re-dating past another") << "snapshot A queued 400, B queued 500" << both;
        QTest::newRow("empty snapshot") << "snapshot " << both;
        QTest::newRow("incremental update") << "update A queued 700" << tasks;
        QTest::newRow("incremental update past another") << "update A queued 400" << both;
        QTest::newRow("incremental update, same record") << "update A queued 600" << none;
        QTest::newRow("new status") << "update A failed 600" << both;
        QTest::newRow("remove") << "remove A" << both;
        QTest::newRow("remove an unknown id") << "remove Z" << none;
        QTest::newRow("removeAll") << "removeAll A Z" << both;
        QTest::newRow("removeAll with unknown ids only") << "removeAll Y Z" << none;
        QTest::newRow("removeAll with nothing") << "removeAll " << none;
    }

    void notifications()
    {
        QFETCH(QString, operation);
        QFETCH(QStringList, expected);
        TaskBoardStore store(parseTasks("A queued 600, B queued 500"));
        QStringList log;
        connect(&store, &TaskBoardStore::taskByIDChanged, this, [&] {
            log << "taskByID";
            // An observer never sees the two properties disagree.
            QVERIFY(invariantViolation(store).isEmpty());
        });
        connect(&store, &TaskBoardStore::columnsChanged, this, [&] { log << "columns"; });
        apply(store, operation);
        QCOMPARE(log, expected);
    }

    void snapshotKeepsRecordWithSameStatusAndDate()
    {
        TaskBoardStore store(parseTasks("A queued 600, B queued 500"));
        const BL_Task stored = store.taskByID()[idOf('A')];
        QVERIFY(store.taskStyle(stored).tagLabel == QLatin1String("General"));

        BL_Task changedInput = stored;
        changedInput.inputData = QByteArrayLiteral(R"({"title":"renamed"})");
        changedInput.metadata = QByteArrayLiteral(R"({"tag":"urgent"})");
        changedInput.workerState = BL_TaskWorkerState::workerFailed;
        int notifications = 0;
        connect(&store, &TaskBoardStore::taskByIDChanged, this, [&] { ++notifications; });
        connect(&store, &TaskBoardStore::columnsChanged, this, [&] { ++notifications; });
        store.applySnapshot({changedInput, store.taskByID()[idOf('B')]});
        QCOMPARE(store.taskByID()[idOf('A')], stored);
        QCOMPARE(notifications, 0);
        // The record stays, but its cached style goes with the new metadata.
        QVERIFY(!store.hasCachedStyle(idOf('A')));

        BL_Task redated = changedInput;
        redated.updatedAt = minutes(601);
        store.applySnapshot({redated, store.taskByID()[idOf('B')]});
        QCOMPARE(store.taskByID()[idOf('A')], redated);
    }

    void updateTask()
    {
        TaskBoardStore store(parseTasks("A queued 600, B queued 500"));
        int notifications = 0;
        connect(&store, &TaskBoardStore::columnsChanged, this, [&] { ++notifications; });

        QVERIFY(!store.updateTask(idOf('Z'), [](BL_Task &task) { task.status = BL_TaskStatus::failed; }));
        QCOMPARE(notifications, 0);

        // Without a new date the card keeps its place.
        const auto renamed = store.updateTask(idOf('B'), [](BL_Task &task) { task.inputData = "{}"; });
        QVERIFY(renamed);
        QCOMPARE(renamed->inputData, QByteArray("{}"));
        QCOMPARE(store.taskByID()[idOf('B')], *renamed);
        QCOMPARE(describe(store), QString("backlog: | queued: A B | in_progress: | completed: | failed:"));

        const auto moved = store.updateTask(idOf('B'), [](BL_Task &task) {
            task.status = BL_TaskStatus::failed;
            task.updatedAt = minutes(900);
            task.blID = idOf('Q'); // the identity cannot be changed this way
        });
        QCOMPARE(moved->blID, idOf('B'));
        QVERIFY(!store.taskByID().contains(idOf('Q')));
        QCOMPARE(describe(store), QString("backlog: | queued: A | in_progress: | completed: | failed: B"));
        // Only the second change touched a column.
        QCOMPARE(notifications, 1);
        VERIFY_BOARD_INVARIANTS(store);
    }

    void removeTaskReturnsTheRecord()
    {
        TaskBoardStore store(parseTasks("A queued 600"));
        const BL_Task stored = store.taskByID()[idOf('A')];
        QCOMPARE(store.removeTask(idOf('A')), std::optional<BL_Task>(stored));
        QVERIFY(!store.removeTask(idOf('A')));
        QVERIFY(store.taskByID().isEmpty());
    }

    // The cache goes with the task and with every new metadata value.
    void styleCacheFollowsTheTasks_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("kept");
        QTest::newRow("remove") << "remove" << false;
        QTest::newRow("removeAll") << "removeAll" << false;
        QTest::newRow("snapshot without it") << "snapshotWithout" << false;
        QTest::newRow("snapshot with new metadata") << "snapshotMetadata" << false;
        QTest::newRow("snapshot unchanged") << "snapshotSame" << true;
        QTest::newRow("update with new metadata") << "updateMetadata" << false;
        QTest::newRow("update with the same metadata") << "updateSame" << true;
    }

    void styleCacheFollowsTheTasks()
    {
        QFETCH(QString, operation);
        QFETCH(bool, kept);
        TaskBoardStore store(parseTasks("A queued 600, B queued 500"));
        BL_Task a = store.taskByID()[idOf('A')];
        const BL_Task b = store.taskByID()[idOf('B')];
        store.taskStyle(a);
        store.taskStyle(b);
        QVERIFY(store.hasCachedStyle(idOf('A')));

        BL_Task newMetadata = a;
        newMetadata.metadata = QByteArrayLiteral(R"({"tag": "urgent"})");
        if (operation == QLatin1String("remove"))
            store.removeTask(a.blID);
        else if (operation == QLatin1String("removeAll"))
            store.removeTasks({a.blID});
        else if (operation == QLatin1String("snapshotWithout"))
            store.applySnapshot({b});
        else if (operation == QLatin1String("snapshotMetadata"))
            store.applySnapshot({newMetadata, b});
        else if (operation == QLatin1String("snapshotSame"))
            store.applySnapshot({a, b});
        else if (operation == QLatin1String("updateMetadata"))
            store.updateTask(a.blID, [&](BL_Task &task) { task.metadata = newMetadata.metadata; });
        else if (operation == QLatin1String("updateSame"))
            store.updateTask(a.blID, [](BL_Task &task) { task.updatedAt = minutes(900); });
        QCOMPARE(store.hasCachedStyle(idOf('A')), kept);
        QVERIFY(store.hasCachedStyle(idOf('B')));
    }
};

QTEST_GUILESS_MAIN(TaskBoardStoreTest)
#include "tst_taskboardstore.moc"
