// Timings of the board model on large boards: full snapshots, incremental
// updates, status changes through the bus, the ready list and tag styles.
// Prints the median cost per operation over a few rounds.

#include "board/TaskBoardStore.h"
#include "model/BLEventBus.h"
#include "model/BL_Event.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTextStream>
#include <algorithm>
#include <functional>
#include <vector>

namespace {

const QUuid kProject = QUuid::createUuid();
constexpr int kRounds = 7;
constexpr int kOperations = 1000;

QTextStream out(stdout);

QList<BL_Task> makeBoard(int count, quint32 seed)
{
    static const QByteArray tags[]
        = {R"({"tag":"urgent"})", R"({"tag":"research"})", R"({"tag":"build"})", R"({"priority":"low"})"};
    QRandomGenerator random(seed);
    QList<BL_Task> tasks;
    tasks.reserve(count);
    for (int i = 0; i < count; ++i) {
        BL_Task task;
        task.blID = QUuid::createUuid();
        task.projectID = kProject;
        task.status = TaskBoardStore::allStatuses()[int(random.bounded(5))];
        task.inputData = QByteArray(R"({"title":"task )") + QByteArray::number(i) + "\"}";
        task.metadata = tags[random.bounded(4)];
        task.taskHistoryData = "[]";
        task.taskConversationData = "[]";
        // Whole seconds over about a month, so some dates are equal.
        task.updatedAt = TimePoint::fromReferenceSeconds(700000000.0 + random.bounded(2600000));
        task.taskLastActivityDate = task.updatedAt;
        task.createdAt = task.updatedAt;
        tasks.append(task);
    }
    return tasks;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Runs `setup` then times `body` (which performs `operations` operations),
// `kRounds` times; prints the median cost per operation.
void measure(const QString &name, int operations, const std::function<void()> &setup, const std::function<void()> &body)
{
    std::vector<double> perOperation;
    for (int round = 0; round < kRounds; ++round) {
        if (setup)
            setup();
        QElapsedTimer timer;
        timer.start();
        body();
        perOperation.push_back(double(timer.nsecsElapsed()) / 1000.0 / operations);
    }
    out << QStringLiteral("  %1 %2 us/op  (x%3)\n")
               .arg(name, -58)
               .arg(median(perOperation), 10, 'f', 3)
               .arg(operations);
    out.flush();
}

void benchmarkBoard(int size, bool full)
{
    out << QStringLiteral("Board of %1 tasks\n").arg(size);
    const QList<BL_Task> board = makeBoard(size, 42);
    std::unique_ptr<TaskBoardStore> store;
    auto fresh = [&] { store = std::make_unique<TaskBoardStore>(board); };
    QRandomGenerator random(7);

    // Targets and new dates are drawn before timing.
    std::vector<BL_Task> targets;
    auto drawTargets = [&] {
        targets.clear();
        for (int i = 0; i < kOperations; ++i)
            targets.push_back(board[int(random.bounded(size))]);
    };
    double clock = 710000000.0;

    if (full) {
        measure(
            QStringLiteral("snapshot into an empty store"), 1, [&] { store.reset(); },
            [&] { store = std::make_unique<TaskBoardStore>(board); });
        measure(QStringLiteral("snapshot equal to the stored tasks"), 1, fresh, [&] { store->applySnapshot(board); });
        QList<BL_Task> changed = board;
        for (int i = 0; i < size / 100; ++i) {
            BL_Task &task = changed[int(random.bounded(size))];
            task.status = TaskBoardStore::allStatuses()[int(random.bounded(5))];
            task.updatedAt = task.updatedAt.addSeconds(60);
        }
        measure(QStringLiteral("snapshot with 1% of the tasks moved or re-dated"), 1, fresh,
            [&] { store->applySnapshot(changed); });
    }

    measure(
        QStringLiteral("incremental update, same status, stamped now (to front)"), kOperations,
        [&] {
            fresh();
            drawTargets();
        },
        [&] {
            for (const BL_Task &target : targets) {
                const auto stored = store->task(target.blID);
                BL_Task task = *stored;
                clock += 1;
                task.updatedAt = TimePoint::fromReferenceSeconds(clock);
                store->applyIncrementalUpdate(task, stored);
            }
        });
    measure(
        QStringLiteral("incremental update, same status, random date (mid column)"), kOperations,
        [&] {
            fresh();
            drawTargets();
        },
        [&] {
            for (const BL_Task &target : targets) {
                const auto stored = store->task(target.blID);
                BL_Task task = *stored;
                task.updatedAt = TimePoint::fromReferenceSeconds(
                    700000000.0 + (qHash(task.updatedAt.referenceSeconds()) % 2600000));
                store->applyIncrementalUpdate(task, stored);
            }
        });
    measure(
        QStringLiteral("incremental update, new status, random date"), kOperations,
        [&] {
            fresh();
            drawTargets();
        },
        [&] {
            int n = 0;
            for (const BL_Task &target : targets) {
                const auto stored = store->task(target.blID);
                BL_Task task = *stored;
                task.status = TaskBoardStore::allStatuses()[(int(task.status) + 1 + n++ % 4) % 5];
                task.updatedAt = TimePoint::fromReferenceSeconds(700000000.0 + (n * 7919 % 2600000));
                store->applyIncrementalUpdate(task, stored);
            }
        });
    measure(
        QStringLiteral("updateTask (history-like change, no new date)"), kOperations,
        [&] {
            fresh();
            drawTargets();
        },
        [&] {
            for (const BL_Task &target : targets)
                store->updateTask(target.blID, [](BL_Task &task) { task.taskHistoryData = "[{}]"; });
        });

    BLEventBus bus;
    int seen = 0;
    std::vector<BLEventSubscription> subscribers;
    subscribers.push_back(bus.subscribe([&](const BL_Event &) { ++seen; }));
    subscribers.push_back(bus.subscribe([&](const BL_Event &) { ++seen; }));
    subscribers.push_back(bus.subscribe([&](const BL_Event &event) {
        if (event.decodePayload<BL_TaskEventPayload>())
            ++seen;
    }));
    measure(
        QStringLiteral("moveTask through a bus with 3 subscribers"), kOperations,
        [&] {
            fresh();
            drawTargets();
        },
        [&] {
            int n = 0;
            for (const BL_Task &target : targets) {
                const auto status
                    = TaskBoardStore::allStatuses()[(int(store->task(target.blID)->status) + 1 + n++ % 4) % 5];
                store->moveTask(target.blID, status, kProject, bus);
            }
        });
    measure(
        QStringLiteral("setTaskStatus without a bus"), kOperations,
        [&] {
            fresh();
            drawTargets();
        },
        [&] {
            int n = 0;
            for (const BL_Task &target : targets) {
                const auto status
                    = TaskBoardStore::allStatuses()[(int(store->task(target.blID)->status) + 1 + n++ % 4) % 5];
                store->setTaskStatus(target.blID, status, kProject, nullptr);
            }
        });

    if (full) {
        fresh();
        measure(QStringLiteral("readyTasksAwaitingDelegation"), 1, {},
            [&] { seen += int(store->readyTasksAwaitingDelegation().size()); });
        measure(
            QStringLiteral("taskStyle, first call per task (decodes)"), size, [&] { fresh(); },
            [&] {
                for (const BL_Task &task : board)
                    store->taskStyle(task);
            });
        measure(QStringLiteral("taskStyle, cached"), size, {}, [&] {
            for (const BL_Task &task : board)
                store->taskStyle(task);
        });

        // What a full re-sort of one column would cost instead of a splice.
        const QList<QUuid> column = store->column(BL_TaskStatus::queued);
        measure(QStringLiteral("for comparison: sort one column of %1 ids").arg(column.size()), 1, {}, [&] {
            QList<QUuid> copy = column;
            const auto &tasks = store->taskByID();
            std::stable_sort(copy.begin(), copy.end(), [&](const QUuid &a, const QUuid &b) {
                return tasks.constFind(a)->updatedAt > tasks.constFind(b)->updatedAt;
            });
            seen += int(copy.size());
        });
    }
    out << (seen < 0 ? "" : "") << "\n";
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    benchmarkBoard(10000, true);
    out << "Scaling of single-task changes with the board size:\n";
    for (const int size : {1000, 100000})
        benchmarkBoard(size, false);
    return 0;
}
