#pragma once

#include "BL_AgentLoopRecords.h"
#include "MainThreadPublisher.h"
#include "common/Actor.h"
#include "model/BLEventBus.h"

#include <QCoroTask>
#include <QFuture>
#include <QHash>
#include <QPointer>
#include <QString>
#include <QUuid>
#include <chrono>
#include <utility>

class QProcess;

// Collects what one command writes. Used only on the executor's thread, where
// the output handlers also run.
class BL_ShellStreamAccumulator
{
public:
    void appendStdout(const QString &text) { m_stdout += text; }
    void appendStderr(const QString &text) { m_stderr += text; }
    std::pair<QString, QString> snapshot() const { return {m_stdout, m_stderr}; }

private:
    QString m_stdout;
    QString m_stderr;
};

// Runs one command line for one task as a child process (a zsh login shell
// started through "/usr/bin/env", in a process group of its own), streams its
// output as task events while it runs, enforces a deadline, stops the child on
// cancellation or time-out (termination, then interrupt; never a kill) and
// answers with an observation carrying the JSON result.
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

    // Whether a child is registered for the task.
    QFuture<bool> hasRegisteredProcess(QUuid taskID);

    // The reply texts of a Brimlock JSON reply ("result" / "payloads" / "text"),
    // trimmed, blank ones left out, joined by line feeds; empty when the text
    // holds no such reply.
    static QString extractBrimlockAgentPayloadText(const QString &text);

private:
    struct RunningProcess
    {
        QPointer<QProcess> process;
        quint64 serial = 0; // tells a command's own entry from a later one's
    };

    QCoro::Task<BL_Observation> execute(QString command, QUuid taskID, QUuid projectID, CancellationToken cancellation);
    QCoro::Task<bool> cancelRegistered(QUuid taskID);
    QCoro::Task<bool> stopSequence(QPointer<QProcess> process);
    QCoro::Task<> pauseUnlessEnded(QPointer<QProcess> process, std::chrono::milliseconds interval);
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
