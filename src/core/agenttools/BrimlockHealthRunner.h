#pragma once

#include "agents/BrimlockRuntime.h"
#include "agenttools/HealthCheckAppState.h"
#include "agenttools/HealthCheckResult.h"
#include "common/TimePoint.h"

#include <QCoroTask>
#include <QList>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>

// How a batch of health checks runs.
struct HealthCheckOptions
{
    // The process and platform the executable search reads; unset: read
    // afresh for every batch, so installing the tool or setting BRIMLOCK_BIN
    // takes effect at the next batch.
    std::optional<BrimlockHost> host;
    // A command still running after this long is stopped (with everything it
    // started) and its check fails.
    std::chrono::milliseconds commandTimeout = std::chrono::minutes(2);
    // Tells the time a batch finished.
    const Clock *clock = &Clock::system();
};

// Performs one batch of health checks: the Brimlock agent list and doctor,
// then the node's network role. Keeps nothing between batches.
class BrimlockHealthRunner
{
public:
    // What one command printed (standard output and error through one pipe, in
    // the order written), as UTF-8 trimmed at both ends; empty text for bytes
    // that are not UTF-8. Exit code -1 when the command could not be started
    // or did not finish in time.
    struct CommandOutput
    {
        qint32 exitCode = -1;
        QString text;
    };

    // One standard check: the tool's arguments and, optionally, its own
    // status rule and a text appended to the output.
    struct CommandDefinition
    {
        QString title;
        QStringList args;
        std::function<HealthCheckResult::Status(const CommandOutput &)> customStatus;
        std::function<QString(const CommandOutput &)> outputSuffix;
    };

    explicit BrimlockHealthRunner(HealthCheckOptions options = {});

    // "Sub-agent Availability" (agents) and "Brimlock Doctor" (doctor), in
    // the order they run and appear.
    static QList<CommandDefinition> standardCommands();

    // Main thread. A client node gets the single "Main Node Reachability"
    // result; otherwise the two standard checks (run in the background) and,
    // when the local viewer runs or a start of it was attempted, "Local Task
    // Viewer Server". Never fails: every problem is a failed result.
    QCoro::Task<QList<HealthCheckResult>> runAllChecks(HealthCheckAppState &appState) const;

    // Blocks; never on the main thread. Searches for the executable and runs
    // the standard checks strictly one after the other.
    QList<HealthCheckResult> runStandardChecks() const;

    // Blocks. Runs `binary` with `arguments` in a zsh login shell with the
    // tool's bin folder first on PATH.
    CommandOutput execute(const QString &binary, const QStringList &arguments) const;

    // The search report shown when no executable is found.
    static QString unresolvedBinaryOutput(const BrimlockBinaryResolutionDiagnostics &diagnostics);

    // The shell text of an argument list: each element single-quoted (a quote
    // inside written as '"'"'), joined with spaces.
    static QString quotedCommandLine(const QStringList &elements);

    // The agent lines of the agents command ("- <name> …") that name an
    // agent other than "main" (any case); one per line, duplicates included.
    static int subAgentCount(const QString &text);
    static HealthCheckResult::Status subAgentStatus(const CommandOutput &output);
    static QString subAgentSuffix(const CommandOutput &output);

    // Blocks until the child ends or `timeout` has passed. Both streams go to
    // one pipe that is drained while the child runs; past the captured-output
    // cap the rest is dropped and the text ends in a line feed and
    // "...[truncated]". Nothing when the child cannot be started.
    static std::optional<CommandOutput> runProcessSync(
        const QString &executable, const QStringList &arguments, std::chrono::milliseconds timeout);

    // The text of a check whose command was stopped at the time limit.
    static QString timeoutMessage(std::chrono::milliseconds timeout);

private:
    BrimlockHost host() const;

    HealthCheckOptions m_options;
};
