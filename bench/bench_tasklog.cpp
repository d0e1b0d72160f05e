// Task log throughput: event-log lines appended through the task log writer
// for 200 tasks x 1,000 lines. Prints lines per second
//   - as in the application, the event loop turning every 20 lines, timed
//     from the first request until the last line is written, with the main
//     thread's cost per line; for each task's lines in a row, for the lines
//     of all tasks interleaved (more tasks than files kept open), and for
//     raw output chunks;
//   - for the queue alone, every line handed over at once, with the files
//     kept open and with an open, write and close for every line.
//
//   bench_tasklog [tasks] [lines per task] [folder for the files]
#include "common/Json.h"
#include "state/TaskLogWriter.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

namespace {

struct Sample
{
    QList<BL_Task> tasks;
    QList<QByteArray> payloads; // one per line index, shared by the tasks
};

Sample makeSample(int taskCount, int lines)
{
    Sample sample;
    const QUuid workspace = QUuid::createUuid();
    for (int i = 0; i < taskCount; ++i) {
        BL_Task task;
        task.blID = QUuid::createUuid();
        task.projectID = workspace;
        task.status = BL_TaskStatus::inProgress;
        task.workerState = BL_TaskWorkerState::taskActivelyUnderwayByWorker;
        task.delegationState = BL_TaskDelegationState::activelyWorking;
        task.workerSessionKey = QStringLiteral("agent:") + QUuid::createUuid().toString(QUuid::WithoutBraces);
        sample.tasks.append(task);
    }
    for (int line = 0; line < lines; ++line) {
        BL_TaskEventPayload payload;
        payload.detail = QStringLiteral("Ran step %1 of the plan: checked src/app/main.cpp and the tests").arg(line);
        if (line % 5 == 0)
            payload.conversationTurn = BL_TaskConversationTurn {QUuid::createUuid(), TimePoint::now(),
                BL_TaskConversationRole::worker, std::nullopt,
                QStringLiteral("The build passes now; next I will look at the failing test in tests/unit.")};
        sample.payloads.append(Json::write(payload.toJson()));
    }
    return sample;
}

BL_Event eventFor(const BL_Task &task, const QByteArray &payload)
{
    BL_Event event = BL_Event::make(BL_EventType::taskModified, task.projectID, task.blID);
    event.payload = payload;
    return event;
}

struct Timing
{
    double total = 0; // seconds until the queue has written everything
    double mainThread = 0; // seconds spent requesting (building lines, handing them over)
};

enum class Order { taskAfterTask, interleaved };

// Requests every line, letting the event loop turn every `linesPerTurn` lines
// (0: never, so the queue receives everything at flush()).
Timing appendEventLines(const QString &folder, const Sample &sample, Order order, int openFileLimit, int linesPerTurn)
{
    TaskLogWriter writer(folder, Clock::system(), openFileLimit);
    const int lines = int(sample.payloads.size());
    const int tasks = int(sample.tasks.size());
    Timing timing;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < lines * tasks; ++i) {
        const int taskIndex = order == Order::taskAfterTask ? i / lines : i % tasks;
        const int line = order == Order::taskAfterTask ? i % lines : i / tasks;
        const BL_Task &task = sample.tasks[taskIndex];
        writer.appendTaskDebugLog(eventFor(task, sample.payloads[line]), task);
        if (linesPerTurn > 0 && i % linesPerTurn == linesPerTurn - 1)
            QCoreApplication::processEvents();
    }
    timing.mainThread = timer.nsecsElapsed() / 1e9;
    QElapsedTimer queueTimer;
    queueTimer.start();
    writer.flush().waitForFinished();
    timing.total = linesPerTurn > 0 ? timer.nsecsElapsed() / 1e9 : queueTimer.nsecsElapsed() / 1e9;
    return timing;
}

double appendChunks(const QString &folder, const Sample &sample, int linesPerTurn)
{
    TaskLogWriter writer(folder);
    const QString chunk = QStringLiteral("compiling src/module_%1.cpp ... ok\n");
    QElapsedTimer timer;
    timer.start();
    int requested = 0;
    for (const BL_Task &task : sample.tasks)
        for (int line = 0; line < sample.payloads.size(); ++line) {
            writer.appendTaskStdoutChunk(task.projectID, task.blID, chunk.arg(line));
            if (++requested % linesPerTurn == 0)
                QCoreApplication::processEvents();
        }
    writer.flush().waitForFinished();
    return timer.nsecsElapsed() / 1e9;
}

void report(const char *label, qint64 lines, double seconds)
{
    std::printf("%-58s %10.0f lines/s  (%.3f s)\n", label, double(lines) / seconds, seconds);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int taskCount = argc > 1 ? std::atoi(argv[1]) : 200;
    const int lines = argc > 2 ? std::atoi(argv[2]) : 1000;
    QTemporaryDir temporary(argc > 3 ? QString::fromLocal8Bit(argv[3]) + QStringLiteral("/bench-tasklog-XXXXXX")
                                     : QDir::tempPath() + QStringLiteral("/bench-tasklog-XXXXXX"));
    if (!temporary.isValid()) {
        std::fprintf(stderr, "cannot create a folder for the logs\n");
        return 1;
    }
    const Sample sample = makeSample(taskCount, lines);
    const qint64 total = qint64(taskCount) * lines;
    std::printf("%d tasks x %d lines = %lld event-log lines per run, files under %s\n", taskCount, lines,
        static_cast<long long>(total), qPrintable(temporary.path()));

    int run = 0;
    const auto freshFolder = [&] { return temporary.filePath(QString::number(++run)); };
    const int turn = 20; // lines requested per turn of the event loop
    const int kept = TaskLogWriter::kDefaultOpenFileLimit;

    std::printf("\nAs in the application (the event loop turns every %d lines):\n", turn);
    const Timing inRow = appendEventLines(freshFolder(), sample, Order::taskAfterTask, kept, turn);
    report("event log, task after task, files kept open", total, inRow.total);
    std::printf("  main thread: %.2f us per line (builds the line, checks the raw log, queues)\n",
        inRow.mainThread * 1e6 / double(total));
    report("event log, tasks interleaved, files kept open", total,
        appendEventLines(freshFolder(), sample, Order::interleaved, kept, turn).total);
    report("raw output chunks, task after task, files kept open", total, appendChunks(freshFolder(), sample, turn));

    std::printf("\nThe queue alone (every line handed over at once, timed until written):\n");
    const Timing queueOnly = appendEventLines(freshFolder(), sample, Order::taskAfterTask, kept, 0);
    report("event log, task after task, files kept open", total, queueOnly.total);
    std::printf("  (main thread meanwhile idle; it had spent %.2f us per line with the queue idle)\n",
        queueOnly.mainThread * 1e6 / double(total));
    report("event log, task after task, open/write/close per line", total,
        appendEventLines(freshFolder(), sample, Order::taskAfterTask, 0, 0).total);
    report("event log, tasks interleaved, files kept open", total,
        appendEventLines(freshFolder(), sample, Order::interleaved, kept, 0).total);
    report("event log, tasks interleaved, open/write/close per line", total,
        appendEventLines(freshFolder(), sample, Order::interleaved, 0, 0).total);
    return 0;
}
