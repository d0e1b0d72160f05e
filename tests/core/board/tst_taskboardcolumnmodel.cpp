#include "BoardFixture.h"
#include "TestSupport.h"
#include "board/TaskBoardColumnModel.h"
#include "model/BLEventBus.h"

#include <QAbstractItemModelTester>
#include <QRandomGenerator>
#include <QtTest>
#include <algorithm>
#include <memory>

using namespace BoardFixture;

namespace {

const QUuid kProject = QUuid(QStringLiteral("11111111-2222-4333-8444-555555555555"));

QUuid taskNumber(int number)
{
    return QUuid(QStringLiteral("00000000-0000-4000-8000-%1").arg(number, 12, 10, QLatin1Char('0')));
}

BL_Task numberedTask(int number, BL_TaskStatus status, double updatedMinutes)
{
    BL_Task task = makeTask(QLatin1Char('A'), status, updatedMinutes);
    task.blID = taskNumber(number);
    task.inputData = QByteArray(R"({"title":"task )") + QByteArray::number(number) + "\"}";
    return task;
}

// What a column of several statuses shows, by the board's own rule: the
// columns one after the other, then sorted by date, newest first.
QList<QUuid> expectedColumn(const TaskBoardStore &store, const QList<BL_TaskStatus> &statuses)
{
    QList<QUuid> ids;
    for (const BL_TaskStatus status : statuses)
        ids += store.column(status);
    std::stable_sort(ids.begin(), ids.end(),
        [&](const QUuid &a, const QUuid &b) { return store.taskByID()[b].updatedAt < store.taskByID()[a].updatedAt; });
    return ids;
}

// Rebuilds a model's rows from its signals alone, keeping the record each
// row showed when it was inserted or last reported changed.
class Replica final : public QObject
{
public:
    explicit Replica(const TaskBoardColumnModel &model) : m_model(model)
    {
        reread();
        connect(&model, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex &, int first, int last) {
            for (int row = first; row <= last; ++row) {
                ids.insert(row, idAt(row));
                records.insert(idAt(row), recordAt(row));
            }
            log << QStringLiteral("insert %1").arg(range(first, last));
        });
        connect(&model, &QAbstractItemModel::rowsRemoved, this, [this](const QModelIndex &, int first, int last) {
            ids.remove(first, last - first + 1);
            log << QStringLiteral("remove %1").arg(range(first, last));
        });
        connect(&model, &QAbstractItemModel::rowsMoved, this,
            [this](const QModelIndex &, int first, int last, const QModelIndex &, int before) {
                const QList<QUuid> block = ids.mid(first, last - first + 1);
                ids.remove(first, block.size());
                const int at = before > last ? before - int(block.size()) : before;
                for (int i = 0; i < block.size(); ++i)
                    ids.insert(at + i, block[i]);
                log << QStringLiteral("move %1>%2").arg(range(first, last)).arg(at);
            });
        connect(&model, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex &topLeft, const QModelIndex &bottomRight) {
                for (int row = topLeft.row(); row <= bottomRight.row(); ++row)
                    records.insert(idAt(row), recordAt(row));
                log << QStringLiteral("data %1").arg(range(topLeft.row(), bottomRight.row()));
            });
        connect(&model, &QAbstractItemModel::modelReset, this, [this] {
            reread();
            log << QStringLiteral("reset");
        });
        connect(&model, &QAbstractItemModel::layoutChanged, this, [this] { log << QStringLiteral("layout"); });
    }

    QList<QUuid> ids;
    QHash<QUuid, BL_Task> records;
    QStringList log;

private:
    static QString range(int first, int last)
    {
        return first == last ? QString::number(first) : QStringLiteral("%1-%2").arg(first).arg(last);
    }
    QUuid idAt(int row) const { return m_model.index(row).data(TaskBoardColumnModel::TaskIDRole).toUuid(); }
    BL_Task recordAt(int row) const { return m_model.index(row).data(TaskBoardColumnModel::TaskRole).value<BL_Task>(); }
    void reread()
    {
        ids.clear();
        for (int row = 0; row < m_model.rowCount(); ++row) {
            ids.append(idAt(row));
            records.insert(idAt(row), recordAt(row));
        }
    }

    const TaskBoardColumnModel &m_model;
};

// The board's four columns, as the board view lays them out.
const QList<QList<BL_TaskStatus>> kBoardColumns {
    {BL_TaskStatus::backlog},
    {BL_TaskStatus::queued},
    {BL_TaskStatus::inProgress},
    {BL_TaskStatus::completed, BL_TaskStatus::failed},
};

// A store with one model, one tester and one replica per column.
struct ObservedBoard
{
    ObservedBoard(const QList<BL_Task> &tasks, const Clock &clock, const QList<QList<BL_TaskStatus>> &columns)
        : store(tasks, clock)
    {
        for (const auto &statuses : columns) {
            models.push_back(std::make_unique<TaskBoardColumnModel>(&store, statuses));
            testers.push_back(std::make_unique<QAbstractItemModelTester>(
                models.back().get(), QAbstractItemModelTester::FailureReportingMode::QtTest));
            replicas.push_back(std::make_unique<Replica>(*models.back()));
        }
    }

    // Every model shows its statuses' ids in the board's order, its signals
    // said exactly that, and every record it shows was announced.
    QString mismatch() const
    {
        for (size_t i = 0; i < models.size(); ++i) {
            const TaskBoardColumnModel &model = *models[i];
            const QString name = QString::number(i);
            if (model.taskIDs() != expectedColumn(store, model.statuses()))
                return QStringLiteral("model %1 differs from the store").arg(name);
            if (replicas[i]->ids != model.taskIDs())
                return QStringLiteral("the signals of model %1 do not add up to its rows").arg(name);
            for (const QUuid &id : model.taskIDs()) {
                if (replicas[i]->records.value(id) != store.taskByID().value(id))
                    return QStringLiteral("model %1 changed a record without a data change").arg(name);
            }
        }
        return QString();
    }

    // Each column's signals since the last call, "-" for none.
    QString takeLog()
    {
        QStringList columns;
        for (const auto &replica : replicas) {
            columns << (replica->log.isEmpty() ? QStringLiteral("-") : replica->log.join(QStringLiteral(", ")));
            replica->log.clear();
        }
        return columns.join(QStringLiteral(" | "));
    }

    TaskBoardStore store;
    std::vector<std::unique_ptr<TaskBoardColumnModel>> models;
    std::vector<std::unique_ptr<QAbstractItemModelTester>> testers;
    std::vector<std::unique_ptr<Replica>> replicas;
};

// 2,000 tasks: task n has status n mod 5 and was updated at minute n, so
// in each column the higher numbers stand first.
QList<BL_Task> largeBoard()
{
    QList<BL_Task> tasks;
    for (int n = 0; n < 2000; ++n)
        tasks << numberedTask(n, TaskBoardStore::allStatuses()[n % 5], n);
    return tasks;
}

} // namespace

class TaskBoardColumnModelTest : public QObject
{
    Q_OBJECT

private slots:
    // Random operations of every kind on a small board with many equal
    // dates; after each one every model mirrors the store, and only a
    // snapshot may reset a model.
    void mirrorsTheStoreThroughRandomOperations()
    {
        QRandomGenerator random(20261211);
        TestSupport::PinnedClock clock(minutes(0));
        // The board's columns, a single status and three statuses in an
        // order of their own.
        ObservedBoard board({}, clock,
            kBoardColumns
                + QList<QList<BL_TaskStatus>> {{BL_TaskStatus::failed},
                    {BL_TaskStatus::failed, BL_TaskStatus::backlog, BL_TaskStatus::inProgress}});
        BLEventBus bus;
        TaskBoardStore &store = board.store;
        int nextNumber = 0;
        const auto anyStatus = [&] { return TaskBoardStore::allStatuses()[int(random.bounded(5))]; };
        const auto anyDate = [&] { return double(random.bounded(12)); };
        const auto storedID = [&] {
            const QList<QUuid> ids = store.taskByID().keys();
            return ids.isEmpty() || random.bounded(20) == 0 ? taskNumber(99999) : ids[int(random.bounded(ids.size()))];
        };
        QHash<QString, int> resets;
        qsizetype largest = 0;

        // The places the store reports are those of its columns before and
        // after the change.
        TaskBoardStore::ColumnMap columnsBefore;
        QStringList wrongPlaces;
        connect(&store, &TaskBoardStore::taskChanged, this, [&](const TaskBoardStore::TaskChange &change) {
            if (change.from && columnsBefore.value(change.from->status).value(change.from->row) != change.taskID)
                wrongPlaces << QStringLiteral("from");
            if (change.to && store.column(change.to->status).value(change.to->row) != change.taskID)
                wrongPlaces << QStringLiteral("to");
        });

        for (int step = 0; step < 4000; ++step) {
            columnsBefore = store.columns();
            QString kind;
            switch (random.bounded(12)) {
            case 0:
            case 1:
            case 2:
                kind = QStringLiteral("create");
                store.applyIncrementalUpdate(numberedTask(nextNumber++, anyStatus(), anyDate()), std::nullopt);
                break;
            case 3:
            case 4: {
                kind = QStringLiteral("update");
                const auto stored = store.task(storedID());
                if (!stored)
                    break;
                BL_Task task = *stored;
                switch (random.bounded(4)) {
                case 0:
                    task.status = anyStatus();
                    [[fallthrough]];
                case 1:
                    task.updatedAt = minutes(anyDate());
                    break;
                case 2:
                    task.inputData += ' ';
                    break;
                default: // the same record again
                    break;
                }
                store.applyIncrementalUpdate(task, stored);
                break;
            }
            case 5:
                kind = QStringLiteral("status");
                if (random.bounded(2))
                    clock.set(minutes(anyDate()));
                if (random.bounded(2))
                    store.moveTask(storedID(), anyStatus(), kProject, bus);
                else
                    store.setTaskStatus(storedID(), anyStatus(), kProject, nullptr);
                break;
            case 6:
                kind = QStringLiteral("updateTask");
                store.updateTask(storedID(), [&](BL_Task &task) {
                    task.taskHistoryData += ' ';
                    if (random.bounded(2))
                        task.updatedAt = minutes(anyDate());
                });
                break;
            case 7:
                kind = QStringLiteral("remove");
                store.removeTask(storedID());
                break;
            case 8: {
                kind = QStringLiteral("removeTasks");
                QSet<QUuid> ids;
                for (int i = int(random.bounded(4)); i > 0; --i)
                    ids.insert(storedID());
                store.removeTasks(ids);
                break;
            }
            default: {
                // A snapshot: most tasks as stored, some dropped, some
                // changed, some new; now and then every date anew or none.
                kind = QStringLiteral("snapshot");
                QList<BL_Task> tasks;
                const int shape = int(random.bounded(30));
                if (shape > 0) {
                    for (BL_Task task : store.taskByID()) {
                        const int fate = shape == 1 ? 4 : int(random.bounded(30));
                        if (fate == 0)
                            continue;
                        if (fate == 1)
                            task.status = anyStatus();
                        if (fate == 2 || fate == 4)
                            task.updatedAt = minutes(anyDate());
                        if (fate == 3)
                            task.inputData += ' ';
                        tasks << task;
                    }
                    for (int i = int(random.bounded(4)); i > 0; --i)
                        tasks << numberedTask(nextNumber++, anyStatus(), anyDate());
                }
                store.applySnapshot(tasks);
                break;
            }
            }
            const QString mismatch = board.mismatch();
            QVERIFY2(mismatch.isEmpty(), qPrintable(QStringLiteral("step %1 (%2): %3").arg(step).arg(kind, mismatch)));
            QVERIFY2(
                wrongPlaces.isEmpty(), qPrintable(QStringLiteral("step %1 (%2): wrong place").arg(step).arg(kind)));
            {
                const QString l = board.takeLog();
                resets[kind] += int(l.count(QStringLiteral("reset")));
                resets[kind + "moves"] += int(l.count(QStringLiteral("move")));
                resets[kind + "data"] += int(l.count(QStringLiteral("data")));
            }
            VERIFY_BOARD_INVARIANTS(store);
            largest = std::max(largest, store.taskByID().size());
        }
        for (auto count = resets.cbegin(); count != resets.cend(); ++count) {
            if (!count.key().endsWith("s") && !count.key().endsWith("a") && count.key() != QLatin1String("snapshot"))
                QVERIFY2(count.value() == 0, qPrintable(count.key()));
        }
        // The sequence did reach the interesting places.
        qInfo() << "largest" << largest << resets;
        QVERIFY(largest > 30);
        QVERIFY(resets.value(QStringLiteral("snapshot")) > 0);
    }

    // On a board of 2,000 tasks one operation is one row signal or two, in
    // the columns it concerns only. A status change across the board's
    // columns is a removal from one model and an insertion into another (the
    // inserted row carries the new record, so no data change goes with it);
    // a change within one model's rows is a move and a data change.
    void oneOperationOnALargeBoard_data()
    {
        QTest::addColumn<QString>("operation");
        // Per column (backlog | intake | in progress | done) the signals.
        QTest::addColumn<QString>("expected");

        QTest::newRow("queued to in progress") << "setTaskStatus 1001 in_progress"
                                               << "- | remove 199 | insert 0 | -";
        QTest::newRow("failed to completed, both in Done") << "moveTask 1004 completed"
                                                           << "- | - | - | move 398>0, data 0";
        QTest::newRow("re-dated within its column") << "redate 1002 5000"
                                                    << "- | - | move 199>0, data 0 | -";
        QTest::newRow("re-dated, same place") << "redate 1997 5000"
                                              << "- | - | data 0 | -";
        QTest::newRow("new record, same date") << "touch 1000"
                                               << "data 199 | - | - | -";
        QTest::newRow("same record again") << "touch-nothing 1000"
                                           << "- | - | - | -";
        QTest::newRow("created") << "create 1500.5 queued"
                                 << "- | insert 100 | - | -";
        QTest::newRow("removed") << "remove 1000"
                                 << "remove 199 | - | - | -";
        QTest::newRow("cleared the finished tasks") << "clearDone"
                                                    << "- | - | - | remove 0-799";
        QTest::newRow("equal snapshot") << "snapshot"
                                        << "- | - | - | -";
        QTest::newRow("snapshot re-dates one task") << "snapshot redate 1003 5000"
                                                    << "- | - | - | move 399>0, data 0";
        QTest::newRow("snapshot drops one and adds one") << "snapshot drop 1000 add 1500.5 queued"
                                                         << "remove 199 | insert 100 | - | -";
        QTest::newRow("snapshot turns every date around") << "snapshot reverse"
                                                          << "reset | reset | reset | reset";
    }

    void oneOperationOnALargeBoard()
    {
        QFETCH(QString, operation);
        QFETCH(QString, expected);
        TestSupport::PinnedClock clock(minutes(5000));
        const QList<BL_Task> tasks = largeBoard();
        ObservedBoard board(tasks, clock, kBoardColumns);
        TaskBoardStore &store = board.store;
        BLEventBus bus;

        const QStringList words = operation.split(QLatin1Char(' '));
        const auto number = [&](int word) { return taskNumber(words[word].toInt()); };
        const QString &verb = words[0];
        if (verb == QLatin1String("setTaskStatus")) {
            store.setTaskStatus(number(1), *taskStatusFromRaw(words[2]), kProject, nullptr);
        } else if (verb == QLatin1String("moveTask")) {
            store.moveTask(number(1), *taskStatusFromRaw(words[2]), kProject, bus);
        } else if (verb == QLatin1String("redate")) {
            store.updateTask(number(1), [&](BL_Task &task) {
                task.updatedAt = minutes(words[2].toDouble());
                task.taskHistoryData = "[{}]";
            });
        } else if (verb == QLatin1String("touch")) {
            store.updateTask(number(1), [](BL_Task &task) { task.taskHistoryData = "[{}]"; });
        } else if (verb == QLatin1String("touch-nothing")) {
            store.updateTask(number(1), [](BL_Task &) {});
        } else if (verb == QLatin1String("create")) {
            store.applyIncrementalUpdate(
                numberedTask(5000, *taskStatusFromRaw(words[2]), words[1].toDouble()), std::nullopt);
        } else if (verb == QLatin1String("remove")) {
            store.removeTask(number(1));
        } else if (verb == QLatin1String("clearDone")) {
            QSet<QUuid> finished;
            for (const BL_Task &task : tasks) {
                if (task.status == BL_TaskStatus::completed || task.status == BL_TaskStatus::failed)
                    finished.insert(task.blID);
            }
            store.removeTasks(finished);
        } else if (verb == QLatin1String("snapshot")) {
            QList<BL_Task> snapshot = tasks;
            if (words.value(1) == QLatin1String("redate"))
                snapshot[words[2].toInt()].updatedAt = minutes(words[3].toDouble());
            if (words.value(1) == QLatin1String("drop")) {
                snapshot.removeAt(words[2].toInt());
                snapshot << numberedTask(5000, *taskStatusFromRaw(words[5]), words[4].toDouble());
            }
            if (words.value(1) == QLatin1String("reverse")) {
                for (BL_Task &task : snapshot)
                    task.updatedAt = minutes(-task.updatedAt.referenceSeconds());
            }
            store.applySnapshot(snapshot);
        } else {
            QFAIL("unknown operation");
        }

        QCOMPARE(board.takeLog(), expected);
        const QString mismatch = board.mismatch();
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
    }

    // A store that goes away leaves its models empty, by a removal.
    void storeGoesAway()
    {
        auto store = std::make_unique<TaskBoardStore>(parseTasks("A queued 600, B queued 500, C failed 400"));
        TaskBoardColumnModel intake(store.get(), {BL_TaskStatus::queued});
        QAbstractItemModelTester tester(&intake, QAbstractItemModelTester::FailureReportingMode::QtTest);
        Replica replica(intake);
        QCOMPARE(intake.taskIDs(), (QList<QUuid> {idOf('A'), idOf('B')}));
        QCOMPARE(intake.index(1).data(TaskBoardColumnModel::TaskRole).value<BL_Task>(), store->taskByID()[idOf('B')]);
        QCOMPARE(intake.rowOf(idOf('B')), 1);
        QCOMPARE(intake.rowOf(idOf('C')), -1);

        store.reset();
        QCOMPARE(intake.rowCount(), 0);
        QCOMPARE(replica.log, QStringList {"remove 0-1"});
        QVERIFY(!intake.index(0).data(TaskBoardColumnModel::TaskRole).isValid());
    }
};

QTEST_GUILESS_MAIN(TaskBoardColumnModelTest)
#include "tst_taskboardcolumnmodel.moc"
