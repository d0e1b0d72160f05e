#pragma once

#include <QCoroTask>
#include <QString>
#include <QtGlobal>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// The outcome of one shell command line.
struct BrimlockCommandExecutionResult
{
    qint32 exitCode = -1; // -1 when the process could not be started
    QString output; // standard output and error together, trimmed

    friend bool operator==(const BrimlockCommandExecutionResult &, const BrimlockCommandExecutionResult &) = default;
};

// Runs one shell command line to its end. Never fails: a process that cannot
// start is reported in the result.
class BrimlockCommandRunning
{
public:
    virtual ~BrimlockCommandRunning() = default;
    virtual QCoro::Task<BrimlockCommandExecutionResult> run(QString command) = 0;
};

// Runs the command in a zsh login shell (through "/usr/bin/env", with the
// terminal variables and the Brimlock bin folder first on PATH) on the
// blocking pool. A command still running at the time limit is stopped with its whole
// process group and reported as exit -1.
class ProcessBrimlockCommandRunner final : public BrimlockCommandRunning
{
public:
    explicit ProcessBrimlockCommandRunner(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    QCoro::Task<BrimlockCommandExecutionResult> run(QString command) override;
    // The same, blocking the calling thread (never the main thread).
    BrimlockCommandExecutionResult runBlocking(const QString &command) const;

private:
    std::chrono::milliseconds m_timeout;
};

struct BrimlockSessionTerminationResult
{
    bool succeeded = false; // the session is gone or was ended
    QString message;
};

// Ends the agent session that works on a task.
class BrimlockSessionTerminating
{
public:
    virtual ~BrimlockSessionTerminating() = default;
    virtual QCoro::Task<BrimlockSessionTerminationResult> terminate(
        QString sessionID, std::optional<QString> projectRootPath)
        = 0;
};

// Asks the tool to kill the session (with and then without "--json") and, when
// both fail, kills the processes whose command line names the session. The
// prefix lookup and every command run on the blocking pool, one after another,
// so a caller on the main thread is never blocked.
class BrimlockSessionTerminator final : public BrimlockSessionTerminating
{
public:
    // May be called from any thread; the default runs the executable search.
    using InvocationPrefixProvider = std::function<std::optional<QString>()>;

    explicit BrimlockSessionTerminator(
        std::shared_ptr<BrimlockCommandRunning> commandRunner = std::make_shared<ProcessBrimlockCommandRunner>(),
        InvocationPrefixProvider invocationPrefixProvider = defaultInvocationPrefixProvider());

    QCoro::Task<BrimlockSessionTerminationResult> terminate(
        QString sessionID, std::optional<QString> projectRootPath) override;

    static InvocationPrefixProvider defaultInvocationPrefixProvider();
    // The output on one line, cut to 500 characters followed by "...".
    static QString summary(const QString &output);

private:
    std::shared_ptr<BrimlockCommandRunning> m_commandRunner;
    InvocationPrefixProvider m_invocationPrefixProvider;
};
