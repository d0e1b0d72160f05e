#pragma once

#include "BL_AgentLoopRecords.h"
#include "MainThreadPublisher.h"
#include "common/Actor.h"
#include "common/ProcessRunner.h"
#include "model/BLEventBus.h"

#include <QCoroTask>
#include <QFuture>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QUuid>
#include <chrono>
#include <memory>
#include <optional>
#include <utility>

class QProcess;

// Collects what one command writes, up to kLimit characters of each stream
// (the result keeps far less); what comes after is still streamed as events
// but not kept. Used only on the executor's thread, where the output handlers
// also run.
class BL_ShellStreamAccumulator
{
public:
    static constexpr qsizetype kLimit = kCapturedOutputLimitBytes / 2; // UTF-16 units

    void appendStdout(const QString &text) { append(m_stdout, text); }
    void appendStderr(const QString &text) { append(m_stderr, text); }
    std::pair<QString, QString> snapshot() const { return {m_stdout, m_stderr}; }

private:
    static void append(QString &kept, const QString &text);

    QString m_stdout;
    QString m_stderr;
};

// Runs one command line for one task as a child process (a zsh login shell
// started through "/usr/bin/env", in a process group of its own), streams its
// output as task events while it runs, enforces a deadline, stops the child on
// cancellation or time-out and answers with an observation carrying the JSON
// result.
//
// Stopping signals the whole process group: termination, then interrupt, and
// when something of the group is still there after those, a kill. A stop
// counts as done only once no member of the group is left. A cancellation
// noticed while the command runs (also in the middle of a pause between two
// looks at the child) ends it with CancelledError, even when the child has
// just ended from the stop's own signals.
//
// Its operations run one at a time on its own serial executor; a command
// gives the executor up while it waits, so commands of several tasks run at
// once and cancel() is served while they do. Every event is published on the
// main thread.
class BL_ShellToolExecutor final : public BL_ToolExecutorProtocol
{
public:
    static constexpr qint64 kDefaultCommandTimeoutSeconds = 500;
    static constexpr std::chrono::milliseconds kDefaultPollInterval {250};

    // `processPollInterval` is how often the child is looked at and the
    // length of each pause of the stop sequence.
    explicit BL_ShellToolExecutor(BLEventBus &eventBus, qint64 commandTimeoutSeconds = kDefaultCommandTimeoutSeconds,
        std::chrono::milliseconds processPollInterval = kDefaultPollInterval);
    ~BL_ShellToolExecutor() override;
    BL_ShellToolExecutor(const BL_ShellToolExecutor &) = delete;
    BL_ShellToolExecutor &operator=(const BL_ShellToolExecutor &) = delete;

    QFuture<BL_Observation> executeSpawned(
        QString command, QUuid taskID, QUuid projectID, CancellationToken cancellation) override;
    QFuture<bool> cancel(QUuid taskID) override;
    // Stops every running child (the usual stop sequence) and the executor.
    void shutdown() override;

    // Whether a child is registered for the task.
    QFuture<bool> hasRegisteredProcess(QUuid taskID);

    // The reply texts of a Brimlock JSON reply ("result" / "payloads" / "text"),
    // trimmed, blank ones left out, joined by line feeds; empty when the text
    // holds no such reply.
    static QString extractBrimlockAgentPayloadText(const QString &text);

private:
    // The one stop of a command's child: whoever asks first runs it, a later
    // asker waits for the same outcome.
    struct Stop
    {
        bool started = false;
        QFuture<bool> ended; // valid once started
    };
    struct RunningProcess
    {
        QPointer<QProcess> process;
        qint64 group = 0; // the child's process group (its own id)
        std::shared_ptr<Stop> stop;
        quint64 serial = 0; // tells a command's own entry from a later one's
    };

    QCoro::Task<BL_Observation> execute(QString command, QUuid taskID, QUuid projectID, CancellationToken cancellation);
    QCoro::Task<bool> cancelRegistered(QUuid taskID);
    QCoro::Task<bool> stopOnce(RunningProcess entry);
    QCoro::Task<bool> stopSequence(QPointer<QProcess> process, qint64 group);
    // Ends early when the child and its whole group are gone, or (with a
    // token) when the token is cancelled.
    QCoro::Task<> pause(QPointer<QProcess> process, qint64 group, std::chrono::milliseconds interval,
        std::optional<CancellationToken> cancellation = std::nullopt);
    void unregister(const QUuid &taskID, quint64 serial);

    QCoro::Task<> publishStreamEvent(QUuid projectID, QUuid taskID, QString stream, QString message);
    QCoro::Task<> publishStdoutReset(QUuid projectID, QUuid taskID);
    void publishStdoutChunk(const QUuid &projectID, const QUuid &taskID, const QString &chunk);
    void publishStderrLines(const QUuid &projectID, const QUuid &taskID, const QString &chunk);

    MainThreadPublisher m_publisher;
    const qint64 m_commandTimeoutSeconds;
    const std::chrono::milliseconds m_processPollInterval;

    // Touched only on the actor's thread.
    QHash<QUuid, RunningProcess> m_runningProcessByTaskID;
    quint64 m_nextSerial = 1;

    Actor m_actor; // last: its thread stops before the members above go
};
