// Task database throughput: the SQLite task store against a plain SQLiteCpp
// loop over the same rows on the same machine (the floor). Prints tasks per
// second for 10,000 upserts and for fetching a workspace of 10,000 tasks.
//
//   bench_taskdb [task count] [folder for the files]
#include "common/Actor.h"
#include "common/UuidText.h"
#include "storage/AppDatabase.h"
#include "storage/SQLiteDatabaseService.h"
#include "storage/SQLiteTaskRepository.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <malloc.h>

namespace {

const char *const kWords[] = {"the", "build", "fails", "because", "module", "test", "import", "path", "config", "agent",
    "reads", "file", "and", "then", "updates", "function", "returns", "error", "when", "input", "is", "empty", "so",
    "we", "add", "a", "guard", "before", "calling", "parser", "output", "looks", "correct", "now"};

QString sentence(int words, int seed)
{
    QString text;
    for (int i = 0; i < words; ++i) {
        if (i)
            text += u' ';
        text += QLatin1String(kWords[(seed * 7 + i * 13) % std::size(kWords)]);
    }
    return text;
}

struct Blobs
{
    QByteArray conversation;
    QByteArray history;
};

// A 300-turn conversation and 100 history entries, as the task keeps them.
Blobs makeBlobs(int variant)
{
    const TimePoint start = TimePoint::fromUnixSeconds(1750000000 + variant * 1000);
    QList<BL_TaskConversationTurn> turns;
    const BL_TaskConversationRole roles[] = {BL_TaskConversationRole::manager, BL_TaskConversationRole::worker,
        BL_TaskConversationRole::tool, BL_TaskConversationRole::system};
    for (int i = 0; i < BL_Task::kConversationLimit; ++i) {
        BL_TaskConversationTurn turn;
        turn.id = QUuid::createUuid();
        turn.timestamp = start.addSeconds(i * 2.5);
        turn.role = roles[(i + variant) % 4];
        if (turn.role == BL_TaskConversationRole::worker)
            turn.agentID = QUuid::createUuid();
        turn.content = sentence(8 + (i * 37 + variant * 11) % 70, i + variant); // about 40 to 400 characters
        turns.append(turn);
    }
    QList<BL_TaskHistoryEvent> events;
    for (int i = 0; i < BL_Task::kHistoryLimit; ++i) {
        BL_TaskHistoryEvent event;
        event.id = QUuid::createUuid();
        event.type = i % 2 ? BL_EventType::taskModified : BL_EventType::taskMoved;
        event.timestamp = start.addSeconds(i * 7.0);
        event.agentID = QUuid::createUuid();
        event.detail = sentence(6 + i % 10, i);
        events.append(event);
    }
    return {encodeConversation(turns), encodeHistory(events)};
}

QList<BL_Task> makeTasks(int count, const QUuid &projectID)
{
    QList<Blobs> variants;
    for (int v = 0; v < 16; ++v)
        variants.append(makeBlobs(v));
    QList<BL_Task> tasks;
    tasks.reserve(count);
    for (int i = 0; i < count; ++i) {
        const Blobs &blobs = variants[i % variants.size()];
        BL_Task task;
        task.blID = QUuid::createUuid();
        task.projectID = projectID;
        task.status = BL_TaskStatus::completed;
        task.inputData = QStringLiteral("{\"acceptance_criteria\":\"%1\",\"description\":\"%2\",\"title\":\"Task %3\"}")
                             .arg(sentence(20, i), sentence(60, i + 1))
                             .arg(i)
                             .toUtf8();
        task.outputData = QStringLiteral("{\"summary\":\"%1\"}").arg(sentence(40, i)).toUtf8();
        task.metadata = QByteArrayLiteral("{\"priority\":\"medium\",\"size\":\"m\",\"workspace_id\":\"x\"}");
        task.workerState = BL_TaskWorkerState::workerCompleted;
        task.delegationState = BL_TaskDelegationState::completed;
        task.workerSessionKey = QStringLiteral("agent:worker-%1:main").arg(i % 6);
        task.taskHistoryData = blobs.history;
        task.taskConversationData = blobs.conversation;
        task.createdAt = TimePoint::fromUnixSeconds(1750000000 + i);
        task.taskLastActivityDate = task.createdAt.addSeconds(600);
        task.updatedAt = task.taskLastActivityDate;
        tasks.append(task);
    }
    return tasks;
}

void openLikeTheService(SQLite::Database &database)
{
    database.exec("PRAGMA journal_mode = WAL");
    database.exec("PRAGMA synchronous = NORMAL");
    if (!AppDatabase::migrator().migrate(database))
        qFatal("migration failed");
}

const char *const kPlainInsert
    = "INSERT INTO tasks (bl_id, project_id, status, input_data, output_data, metadata, extra_metadata, "
      "worker_state, delegation_state, worker_session_key, task_history_data, task_conversation_data, "
      "task_last_activity_date, created_at, updated_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";

void bindBlob(SQLite::Statement &statement, int index, const QByteArray &bytes)
{
    statement.bindNoCopy(index, static_cast<const void *>(bytes.constData()), static_cast<int>(bytes.size()));
}

// The floor: one prepared INSERT, bound and stepped per row. With
// `oneTransaction` every row goes into a single transaction, else each row
// commits by itself.
double floorInsert(const QString &path, const QList<BL_Task> &tasks, bool oneTransaction)
{
    SQLite::Database database(path.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    openLikeTheService(database);
    SQLite::Statement insert(database, kPlainInsert);
    QElapsedTimer timer;
    timer.start();
    if (oneTransaction)
        database.exec("BEGIN");
    for (const BL_Task &task : tasks) {
        insert.bind(1, UuidText::lower(task.blID).toStdString());
        insert.bind(2, UuidText::lower(task.projectID).toStdString());
        insert.bind(3, rawValue(task.status).toStdString());
        bindBlob(insert, 4, task.inputData);
        bindBlob(insert, 5, *task.outputData);
        bindBlob(insert, 6, task.metadata);
        insert.bind(7);
        insert.bind(8, rawValue(task.workerState).toStdString());
        insert.bind(9, rawValue(task.delegationState).toStdString());
        insert.bind(10, task.workerSessionKey->toStdString());
        bindBlob(insert, 11, task.taskHistoryData);
        bindBlob(insert, 12, task.taskConversationData);
        insert.bind(13, task.taskLastActivityDate.toDatabaseText().toStdString());
        insert.bind(14, task.createdAt.toDatabaseText().toStdString());
        insert.bind(15, task.updatedAt.toDatabaseText().toStdString());
        insert.exec();
        insert.reset();
    }
    if (oneTransaction)
        database.exec("COMMIT");
    return timer.nsecsElapsed() / 1e9;
}

// The floor for reading: the same query on an open connection, every
// column copied out in column order as its own kind of value.
double floorFetch(SQLite::Database &database, const QUuid &projectID, qsizetype expected)
{
    struct Value
    {
        qint64 integer = 0;
        QString text;
        QByteArray blob;
    };
    QElapsedTimer timer;
    timer.start();
    SQLite::Statement select(database, "SELECT * FROM tasks WHERE project_id = ? ORDER BY created_at ASC");
    select.bind(1, UuidText::lower(projectID).toStdString());
    const int columns = select.getColumnCount();
    QList<QList<Value>> rows;
    while (select.executeStep()) {
        QList<Value> row(columns);
        for (int i = 0; i < columns; ++i) {
            const SQLite::Column column = select.getColumn(i);
            if (column.isInteger()) {
                row[i].integer = column.getInt64();
            } else if (column.isText()) {
                row[i].text = QString::fromUtf8(static_cast<const char *>(column.getBlob()), column.getBytes());
            } else if (column.isBlob()) {
                row[i].blob = QByteArray(static_cast<const char *>(column.getBlob()), column.getBytes());
            }
        }
        rows.append(std::move(row));
    }
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (rows.size() != expected)
        qFatal("the floor read %lld rows", static_cast<long long>(rows.size()));
    return seconds;
}

std::unique_ptr<SQLiteDatabaseService> openService(const QString &path)
{
    auto opened = SQLiteDatabaseService::open(path);
    if (!opened)
        qFatal("%s", qPrintable(opened.errorMessage()));
    return std::move(opened).value();
}

// Upserts as the application state makes them: posted without waiting,
// timed until the last one is done.
double servicePipelinedUpserts(const QString &path, const QList<BL_Task> &tasks)
{
    auto service = openService(path);
    QElapsedTimer timer;
    timer.start();
    QFuture<Result<void>> last;
    for (const BL_Task &task : tasks)
        last = service->upsertTask(task);
    if (!last.result())
        qFatal("%s", qPrintable(last.result().errorMessage()));
    return timer.nsecsElapsed() / 1e9;
}

// Upserts awaited one at a time, as the task-file watcher makes them.
double serviceAwaitedUpserts(const QString &path, const QList<BL_Task> &tasks)
{
    auto service = openService(path);
    QElapsedTimer timer;
    timer.start();
    for (const BL_Task &task : tasks) {
        const Result<void> result = service->upsertTask(task).result();
        if (!result)
            qFatal("%s", qPrintable(result.errorMessage()));
    }
    return timer.nsecsElapsed() / 1e9;
}

double serviceFetch(SQLiteDatabaseService &service, const QUuid &projectID, qsizetype expected)
{
    QElapsedTimer timer;
    timer.start();
    const Result<QList<BL_Task>> tasks = service.fetchTasks(projectID).result();
    const double seconds = timer.nsecsElapsed() / 1e9;
    if (!tasks || tasks->size() != expected)
        qFatal("the service read %s", qPrintable(tasks ? QString::number(tasks->size()) : tasks.errorMessage()));
    return seconds;
}

// The floor runs on a long-lived thread of its own, as the service runs its
// operations on its actor's thread, so both allocate from a warmed-up heap.
Actor *floorThread = nullptr;

template<typename Work> double onWorkerThread(Work &&work)
{
    return floorThread->call(std::forward<Work>(work)).result();
}

void report(const char *label, int count, double seconds, double floorSeconds)
{
    std::printf("  %-46s %9.0f tasks/s  %7.3f s", label, count / seconds, seconds);
    if (floorSeconds > 0)
        std::printf("   %.2fx the floor's time", seconds / floorSeconds);
    std::printf("\n");
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // Keep freed memory in the process, in one heap for every thread: the
    // rounds allocate and free hundreds of megabytes, and handing it back to
    // the system between rounds would time the kernel's page faults (which
    // depend on which thread's heap a round happens to use) instead of the
    // database work.
    mallopt(M_ARENA_MAX, 1);
    mallopt(M_TRIM_THRESHOLD, INT_MAX);
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024); // the largest it takes
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10000;
    QTemporaryDir scratch(argc > 2 ? QDir(QString::fromLocal8Bit(argv[2])).filePath(QStringLiteral("taskdb-XXXXXX"))
                                   : QDir::temp().filePath(QStringLiteral("taskdb-XXXXXX")));
    if (!scratch.isValid())
        qFatal("no scratch folder");

    Actor floor(QStringLiteral("floor"));
    floorThread = &floor;

    const QUuid projectID = QUuid::createUuid();
    const QList<BL_Task> tasks = makeTasks(count, projectID);
    qint64 bytes = 0;
    for (const BL_Task &task : tasks)
        bytes += task.taskConversationData.size() + task.taskHistoryData.size() + task.inputData.size()
            + task.outputData->size() + task.metadata.size();
    std::printf("%d tasks, %.1f KiB of blobs each (conversation %.1f KiB, history %.1f KiB), %.0f MiB in all\n", count,
        bytes / 1024.0 / count, tasks[0].taskConversationData.size() / 1024.0, tasks[0].taskHistoryData.size() / 1024.0,
        bytes / 1048576.0);

    std::printf("Writing (WAL, synchronous NORMAL, same schema):\n");
    const double floorEach = onWorkerThread(
        [&] { return floorInsert(scratch.filePath(QStringLiteral("floor-each.sqlite")), tasks, false); });
    report("floor: plain INSERT loop, a commit per row", count, floorEach, 0);
    const double floorBatch = onWorkerThread(
        [&] { return floorInsert(scratch.filePath(QStringLiteral("floor-batch.sqlite")), tasks, true); });
    report("floor: plain INSERT loop, one transaction", count, floorBatch, 0);
    const double pipelined = servicePipelinedUpserts(scratch.filePath(QStringLiteral("service.sqlite")), tasks);
    report("service: upsertTask, posted without waiting", count, pipelined, floorEach);
    const double awaited = serviceAwaitedUpserts(scratch.filePath(QStringLiteral("service-awaited.sqlite")), tasks);
    report("service: upsertTask, each awaited", count, awaited, floorEach);
    std::printf("  (against the one-transaction floor: %.2fx posted, %.2fx awaited)\n", pipelined / floorBatch,
        awaited / floorBatch);

    std::printf("Reading one workspace of %d tasks (best of 3, warm file cache):\n", count);
    const QString readPath = scratch.filePath(QStringLiteral("service.sqlite"));
    SQLite::Database plain(readPath.toStdString(), SQLite::OPEN_READONLY);
    onWorkerThread([&] { return floorFetch(plain, projectID, count); }); // warm the file cache
    auto service = openService(readPath);
    double floorBest = 1e9, serviceBest = 1e9;
    for (int round = 0; round < 3; ++round) {
        floorBest = std::min(floorBest, onWorkerThread([&] { return floorFetch(plain, projectID, count); }));
        serviceBest = std::min(serviceBest, serviceFetch(*service, projectID, count));
    }
    report("floor: plain SELECT loop copying every column", count, floorBest, 0);
    report("service: fetchTasks (row mapping, BL_Task list)", count, serviceBest, floorBest);
    return 0;
}
