#pragma once

#include "common/Cancellation.h"
#include "model/BL_Task.h"
#include "model/BL_Workspace.h"

#include <QByteArray>
#include <QCoroTask>
#include <QFuture>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <exception>
#include <optional>

// The records of an agent run's thought, action and observation loop, shared
// by the runner, the decision engine and the shell tool executor, with the
// errors the loop's steps end with and the two interfaces the runner drives.

// A command line a worker runs. Both kinds run the same way; the runner shows
// which kind it was, and the decision engine counts only runShell entries.
struct BL_AgentToolAction
{
    enum class Kind { runShell, spawnShell };
    Kind kind = Kind::runShell;
    QString command;

    static BL_AgentToolAction runShell(QString command) { return {Kind::runShell, std::move(command)}; }
    static BL_AgentToolAction spawnShell(QString command) { return {Kind::spawnShell, std::move(command)}; }

    // "runShell(ls -la)"
    QString displayForm() const;

    friend bool operator==(const BL_AgentToolAction &, const BL_AgentToolAction &) = default;
};
size_t qHash(const BL_AgentToolAction &action, size_t seed = 0);

// One thought step of a run.
struct BL_Thought
{
    QString content;
    friend bool operator==(const BL_Thought &, const BL_Thought &) = default;
};

// The result of one executed action.
struct BL_Observation
{
    QString summary;
    std::optional<QByteArray> payload; // JSON of a BL_ShellToolResultPayload

    friend bool operator==(const BL_Observation &, const BL_Observation &) = default;
};
size_t qHash(const BL_Observation &observation, size_t seed = 0);

// What the decision engine answers: run an action next, or finish the run.
struct BL_AgentDecision
{
    enum class Kind { action, finish };
    Kind kind = Kind::finish;
    BL_AgentToolAction action; // for Kind::action
    std::optional<QByteArray> outputData; // for Kind::finish: the task's final output

    static BL_AgentDecision makeAction(BL_AgentToolAction action)
    {
        return {Kind::action, std::move(action), std::nullopt};
    }
    static BL_AgentDecision finish(std::optional<QByteArray> outputData)
    {
        return {Kind::finish, {}, std::move(outputData)};
    }

    friend bool operator==(const BL_AgentDecision &, const BL_AgentDecision &) = default;
};

// The working state of one run, kept by the runner and shown to the decision
// engine.
struct BL_ThoughtActionObservationState
{
    QStringList thoughts;
    QList<BL_AgentToolAction> actions;
    QList<BL_Observation> observations;
    std::optional<BL_AgentToolAction> pendingAction;
    BL_TaskStatus status = BL_TaskStatus::inProgress;
};

// The JSON result of one executed command line:
// {"command":…,"exitCode":…,"stderr":…,"stdout":…}.
struct BL_ShellToolResultPayload
{
    QString command;
    qint32 exitCode = 0;
    QString standardOutput; // "stdout"
    QString standardError; // "stderr"

    QByteArray encoded() const;
    // Nothing unless all four members are there with their types.
    static std::optional<BL_ShellToolResultPayload> decode(const QByteArray &json);

    friend bool operator==(const BL_ShellToolResultPayload &, const BL_ShellToolResultPayload &) = default;
};

// A failure of a step of an agent run. The run reports fullDescription().
class BL_AgentRunError : public std::exception
{
public:
    // The short, readable message.
    virtual QString localizedDescription() const = 0;
    // The whole description: kind, values and message.
    virtual QString fullDescription() const = 0;
    const char *what() const noexcept override { return m_what.constData(); }

protected:
    void setWhat(const QString &text) { m_what = text.toUtf8(); }

private:
    QByteArray m_what;
};

// A failure with a domain, a code and a message.
class BL_DomainError final : public BL_AgentRunError
{
public:
    BL_DomainError(QString domain, int code, QString message);

    const QString &domain() const { return m_domain; }
    int code() const { return m_code; }
    QString localizedDescription() const override { return m_message; }
    // Error Domain=<domain> Code=<code> "<message>" UserInfo={localizedDescription=<message>}
    QString fullDescription() const override;

private:
    QString m_domain;
    int m_code = 0;
    QString m_message;
};

// The shell tool executor's own failures.
class BL_ToolExecutionError final : public BL_AgentRunError
{
public:
    enum class Kind { nonZeroExit, timedOut };

    static BL_ToolExecutionError nonZeroExit(QString command, qint32 exitCode, QString standardError);
    static BL_ToolExecutionError timedOut(QString command, qint64 timeoutSeconds);

    Kind kind() const { return m_kind; }
    const QString &command() const { return m_command; }
    qint32 exitCode() const { return m_exitCode; }
    const QString &standardError() const { return m_standardError; }
    qint64 timeoutSeconds() const { return m_timeoutSeconds; }

    QString localizedDescription() const override;
    // nonZeroExit(command: "…", exitCode: 3, stderr: "…") or
    // timedOut(command: "…", timeoutSeconds: 500)
    QString fullDescription() const override;

private:
    BL_ToolExecutionError(Kind kind, QString command, qint32 exitCode, QString standardError, qint64 timeoutSeconds);

    Kind m_kind;
    QString m_command;
    qint32 m_exitCode = 0;
    QString m_standardError;
    qint64 m_timeoutSeconds = 0;
};

// Chooses a run's next step. Runs on the caller's thread between its awaits;
// ends with the decision or throws (a BL_AgentRunError, or CancelledError).
class BL_AgentDecisionEngineProtocol
{
public:
    virtual ~BL_AgentDecisionEngineProtocol() = default;
    virtual QCoro::Task<BL_AgentDecision> nextDecision(QUuid taskID, QUuid projectID, BL_Agent agent,
        std::optional<QByteArray> taskInputData, std::optional<QString> projectRootPath,
        BL_ThoughtActionObservationState taoState)
        = 0;
};

// Carries out a run's actions. Callable from any thread; the futures end with
// the result or with the exception the step failed with (a BL_AgentRunError,
// CancelledError when `cancellation` was set, or the launch error).
class BL_ToolExecutorProtocol
{
public:
    virtual ~BL_ToolExecutorProtocol() = default;
    virtual QFuture<BL_Observation> executeSpawned(
        QString command, QUuid taskID, QUuid projectID, CancellationToken cancellation)
        = 0;
    // Stops what runs for the task; true when a running child was ended.
    virtual QFuture<bool> cancel(QUuid taskID) = 0;
    // Called by the owner before it goes: ends every command (their futures
    // end cancelled) without publishing anything more, and stops taking new
    // ones. Blocks until they have ended.
    virtual void shutdown() { }
};

// The text a run reports for a failure: the full description of our own
// errors, else what the exception says.
QString describeAgentRunFailure(const std::exception &error);
