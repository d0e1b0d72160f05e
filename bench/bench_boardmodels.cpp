// The cost of keeping the board's four column models in step with the
// store: each operation timed on the store alone and on the store with the
// models (Backlog, Intake, In Progress, Done) attached, and the row signals
// the models sent. Prints the median cost per operation over a few rounds.

#include "board/TaskBoardColumnModel.h"
#include "board/TaskBoardStore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTextStream>
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

namespace {

constexpr int kRounds = 7;
constexpr int kOperations = 1000;

QTextStream out(stdout);

class FixedClock final : public Clock
{
public:
    TimePoint now() const override { return m_now; }
    void advance() { m_now = m_now.addSeconds(1); }

private:
    TimePoint m_now = TimePoint::fromReferenceSeconds(720000000.0);
};

QList<BL_Task> makeBoard(int count, quint32 seed)
{
    QRandomGenerator random(seed);
    QList<BL_Task> tasks;
    tasks.reserve(count);
    for (int i = 0; i < count; ++i) {
        BL_Task task;
        task.blID = QUuid::createUuid();
        task.status = TaskBoardStore::allStatuses()[int(random.bounded(5))];
        task.inputData = QByteArray(R"({"title":"task )") + QByteArray::number(i) + "\"}";
        task.metadata = "{}";
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

struct Board
{
    Board(const QList<BL_Task> &tasks, const Clock &clock, bool withModels) : store(tasks, clock)
    {
        if (!withModels)
            return;
        const QList<QList<BL_TaskStatus>> columns {{BL_TaskStatus::backlog}, {BL_TaskStatus::queued},
            {BL_TaskStatus::inProgress}, {BL_TaskStatus::completed, BL_TaskStatus::failed}};
        for (const auto &statuses : columns) {
            models.push_back(std::make_unique<TaskBoardColumnModel>(&store, statuses));
            QAbstractItemModel *model = models.back().get();
            QObject::connect(model, &QAbstractItemModel::rowsInserted, [this] { ++rowSignals; });
            QObject::connect(model, &QAbstractItemModel::rowsRemoved, [this] { ++rowSignals; });
            QObject::connect(model, &QAbstractItemModel::rowsMoved, [this] { ++rowSignals; });
            QObject::connect(model, &QAbstractItemModel::dataChanged, [this] { ++rowSignals; });
            QObject::connect(model, &QAbstractItemModel::modelReset, [this] { ++resets; });
        }
    }

    TaskBoardStore store;
    std::vector<std::unique_ptr<TaskBoardColumnModel>> models;
    long rowSignals = 0;
    long resets = 0;
};

// Times `body` (which performs `operations` operations on a fresh board)
// `kRounds` times, on the store alone and with the models; prints the
// median cost per operation of both and the signals per operation.
void measure(const QString &name, const QList<BL_Task> &tasks, int operations,
    const std::function<void(Board &, FixedClock &)> &body)
{
    double costs[2];
    double signalsPerOperation = 0;
    long resets = 0;
    for (const bool withModels : {false, true}) {
        std::vector<double> perOperation;
        for (int round = 0; round < kRounds; ++round) {
            FixedClock clock;
            Board board(tasks, clock, withModels);
            QElapsedTimer timer;
            timer.start();
            body(board, clock);
            perOperation.push_back(double(timer.nsecsElapsed()) / 1000.0 / operations);
            signalsPerOperation = double(board.rowSignals) / operations;
            resets = board.resets;
        }
        costs[withModels] = median(perOperation);
    }
    out << QStringLiteral("  %1 %2 us/op store, %3 us/op with models, %4 row signals/op%5\n")
               .arg(name, -44)
               .arg(costs[0], 9, 'f', 3)
               .arg(costs[1], 9, 'f', 3)
               .arg(signalsPerOperation, 0, 'f', 2)
               .arg(resets ? QStringLiteral(", %1 resets").arg(resets) : QString());
    out.flush();
}

void benchmarkBoard(int size)
{
    out << QStringLiteral("Board of %1 tasks, four column models\n").arg(size);
    const QList<BL_Task> tasks = makeBoard(size, 42);
    QRandomGenerator random(7);
    std::vector<QUuid> targets;
    for (int i = 0; i < kOperations; ++i)
        targets.push_back(tasks[int(random.bounded(size))].blID);

    measure(
        QStringLiteral("status change to the next status"), tasks, kOperations, [&](Board &board, FixedClock &clock) {
            for (const QUuid &taskID : targets) {
                clock.advance();
                const BL_TaskStatus status = board.store.task(taskID)->status;
                board.store.setTaskStatus(
                    taskID, TaskBoardStore::allStatuses()[(int(status) + 1) % 5], QUuid(), nullptr);
            }
        });
    measure(QStringLiteral("re-dated within its column (to the top)"), tasks, kOperations,
        [&](Board &board, FixedClock &clock) {
            for (const QUuid &taskID : targets) {
                clock.advance();
                board.store.updateTask(taskID, [&](BL_Task &task) { task.updatedAt = clock.now(); });
            }
        });
    measure(
        QStringLiteral("new record in place (history appended)"), tasks, kOperations, [&](Board &board, FixedClock &) {
            for (const QUuid &taskID : targets)
                board.store.updateTask(taskID, [](BL_Task &task) { task.taskHistoryData += ' '; });
        });
    measure(QStringLiteral("same record again (no change)"), tasks, kOperations, [&](Board &board, FixedClock &) {
        for (const QUuid &taskID : targets)
            board.store.updateTask(taskID, [](BL_Task &) {});
    });

    measure(QStringLiteral("equal snapshot"), tasks, 1,
        [&](Board &board, FixedClock &) { board.store.applySnapshot(tasks); });
    QList<BL_Task> changed = tasks;
    for (int i = 0; i < size / 100; ++i) {
        BL_Task &task = changed[int(random.bounded(size))];
        task.status = TaskBoardStore::allStatuses()[int(random.bounded(5))];
        task.updatedAt = task.updatedAt.addSeconds(60);
    }
    measure(QStringLiteral("snapshot with 1% moved or re-dated"), tasks, 1,
        [&](Board &board, FixedClock &) { board.store.applySnapshot(changed); });
    QList<BL_Task> reversed = tasks;
    for (BL_Task &task : reversed)
        task.updatedAt = TimePoint::fromReferenceSeconds(1400000000.0 - task.updatedAt.referenceSeconds());
    measure(QStringLiteral("snapshot turning every date around"), tasks, 1,
        [&](Board &board, FixedClock &) { board.store.applySnapshot(reversed); });
    QSet<QUuid> finished;
    for (const BL_Task &task : tasks) {
        if (task.status == BL_TaskStatus::completed || task.status == BL_TaskStatus::failed)
            finished.insert(task.blID);
    }
    measure(QStringLiteral("clear the finished tasks"), tasks, 1,
        [&](Board &board, FixedClock &) { board.store.removeTasks(finished); });
    out << "\n";
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    for (const int size : {2000, 10000})
        benchmarkBoard(size);
    return 0;
}
