#pragma once

#include "common/Actor.h"
#include "common/TimePoint.h"
#include "model/BL_Event.h"
#include "model/BL_Task.h"

#include <QByteArray>
#include <QFuture>
#include <QObject>
#include <QString>
#include <QUuid>
#include <memory>
#include <optional>
#include <vector>

// The two logs every task has under "<data>/task-logs/<workspace id>/":
// "<task id>.stdout.log", the raw output of its commands exactly as it
// streamed in, and "<task id>.jsonl", one JSON object per folded event (ids
// in lower case).
//
// Called on the thread that made it (the main thread), which decides what is
// written; every write is carried out on one serial queue,
// "tessaron.task-log-io", in the order it was requested, so the main thread
// never opens or writes a log file. The requests of one turn of the main
// thread's event loop go to the queue together when that turn ends (or at
// flush()), which spares the queue a wake-up per line. Failures are silent:
// a request that fails is dropped and later ones are tried afresh.
//
// The writer keeps a bounded number of log files open between writes (the
// least recently written are closed first); a kept file that has been
// deleted or replaced meanwhile is opened again by path, so an append never
// lands in a file that is gone.
//
// Callers check that the workspace is one of the state object's workspaces
// before asking; the writer takes any id.
class TaskLogWriter
{
public:
    static constexpr const char *kQueueName = "tessaron.task-log-io";
    static constexpr int kDefaultOpenFileLimit = 64;

    // `dataDirectory` is the application data directory. `openFileLimit` is
    // how many log files may stay open between writes (0: open, write and
    // close for every write).
    explicit TaskLogWriter(
        QString dataDirectory, const Clock &clock = Clock::system(), int openFileLimit = kDefaultOpenFileLimit);
    // Carries out the writes already requested, then closes the files.
    ~TaskLogWriter();
    Q_DISABLE_COPY_MOVE(TaskLogWriter)

    // Locations; pure computation, nothing is created.
    QString workspaceLogDirectory(const QUuid &workspaceID) const;
    QString taskStdoutLogFilePath(const QUuid &workspaceID, const QUuid &taskID) const;
    QString taskEventLogFilePath(const QUuid &workspaceID, const QUuid &taskID) const;

    // Empties the raw output log: the folder is made when missing, then an
    // empty file replaces the log atomically (which creates it).
    void resetTaskStdoutLog(const QUuid &workspaceID, const QUuid &taskID);
    // Appends the chunk's UTF-8 bytes to the raw output log, creating it.
    void appendTaskStdoutChunk(const QUuid &workspaceID, const QUuid &taskID, const QString &chunk);
    // Builds the event-log line of the event and the task now (with
    // "stdoutFile" when the raw output log exists at this moment) and appends
    // it to the log of the event's task; a missing log is created atomically
    // holding the line.
    void appendTaskDebugLog(const BL_Event &event, const BL_Task &task);

    // Finishes when every write requested before it has been carried out.
    QFuture<void> flush();

    // One event-log line, the line feed included: a compact JSON object with
    // sorted keys whose values are all strings ("ts", "eventType", "status",
    // "workerState", "delegationState"; "detail" and "conversation" from a
    // task-event payload when not empty; "workerSessionKey" when the task
    // has one; "stdoutFile" when given; "command", "exitCode" and "stderr"
    // (when not empty) from a worker result holding a shell result with a
    // command). "/" is written "\/"; U+2028, U+2029 and U+0085 are written as
    // \u escapes, so a reader splitting on any line break sees whole lines.
    static QByteArray eventLogLine(
        const BL_Event &event, const BL_Task &task, const Clock &clock, const std::optional<QString> &stdoutFilePath);

private:
    class OpenFiles;
    struct Write
    {
        enum class Kind { append, appendOrCreate, replaceWithEmpty };
        Kind kind;
        QString directory;
        QString path;
        QByteArray bytes;
    };

    void request(Write write);
    // Hands the requests gathered so far to the queue.
    void submitPending();

    QString m_logsRoot;
    const Clock &m_clock;
    std::vector<Write> m_pending; // requested, not yet handed to the queue
    QObject m_turnEnd; // on the requesting thread: runs submitPending() when the turn ends
    std::unique_ptr<OpenFiles> m_files; // touched only on the queue
    Actor m_queue; // last: its thread has stopped before the files go
};
