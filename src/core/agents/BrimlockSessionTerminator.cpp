#include "BrimlockSessionTerminator.h"

#include "BrimlockProcess.h"
#include "BrimlockRuntime.h"
#include "common/Background.h"
#include "common/FutureResult.h"
#include "common/Text.h"

#include <QCoroFuture>
#include <QStringList>

namespace {

QString withDirectoryPrefix(const QString &command, const std::optional<QString> &projectRootPath)
{
    if (!projectRootPath || Text::isBlank(*projectRootPath))
        return command;
    return QStringLiteral("cd ") + Text::shellSingleQuoted(*projectRootPath) + QStringLiteral(" && ") + command;
}

QStringList primaryKillCommands(
    const QString &invocationPrefix, const QString &sessionID, const std::optional<QString> &projectRootPath)
{
    const QString kill
        = invocationPrefix + QStringLiteral(" sessions kill --session-id ") + Text::shellSingleQuoted(sessionID);
    return {withDirectoryPrefix(kill + QStringLiteral(" --json"), projectRootPath),
        withDirectoryPrefix(kill, projectRootPath)};
}

// "pkill -f" matches its regular expression against whole command lines, and
// the command line of the shell that runs pkill holds the pattern itself (and
// "brimlock" in the PATH it exports). A shell that stays around while pkill
// runs would match and be killed with the session. Writing the first
// character of each of the two literal parts as a one-character class keeps
// what the expression matches, but its own text no longer contains
// "brimlock" or "--session-id", so it cannot match itself.
QString fallbackProcessKillCommand(const QString &sessionID, const std::optional<QString> &projectRootPath)
{
    const QString pattern = QStringLiteral("[b]rimlock.*[-]-session-id ") + sessionID;
    return withDirectoryPrefix(QStringLiteral("pkill -f ") + Text::shellSingleQuoted(pattern), projectRootPath);
}

bool looksLikeSessionAlreadyStopped(const QString &output)
{
    const QString lower = output.toLower();
    return lower.contains(QStringLiteral("not found")) || lower.contains(QStringLiteral("no session"))
        || lower.contains(QStringLiteral("already ended")) || lower.contains(QStringLiteral("already complete"));
}

QString attemptNote(const QString &command, const BrimlockCommandExecutionResult &result)
{
    return u'`' + command + QStringLiteral("` -> exit ") + QString::number(result.exitCode) + QStringLiteral(": ")
        + BrimlockSessionTerminator::summary(result.output);
}

} // namespace

ProcessBrimlockCommandRunner::ProcessBrimlockCommandRunner(std::chrono::milliseconds timeout) : m_timeout(timeout)
{
}

QCoro::Task<BrimlockCommandExecutionResult> ProcessBrimlockCommandRunner::run(QString command)
{
    // Each awaited call is made in a statement of its own: g++ 12 may destroy
    // the temporaries of a call inside a co_await expression twice.
    const ProcessBrimlockCommandRunner runner = *this;
    auto done = futureResult(Background::runBlocking([runner, command] { return runner.runBlocking(command); }));
    co_return co_await std::move(done);
}

BrimlockCommandExecutionResult ProcessBrimlockCommandRunner::runBlocking(const QString &command) const
{
    BrimlockProcessRequest request;
    request.program = QStringLiteral("/usr/bin/env");
    request.arguments = BrimlockRuntime::shellInvocationArguments(command, true);
    request.timeout = m_timeout;
    const BrimlockProcessOutcome outcome = BrimlockProcess::run(request);
    if (!outcome.started)
        return {-1, outcome.errorString};
    if (outcome.timedOut) {
        const QString collected = BrimlockProcess::trimmedUtf8(outcome.output);
        const QString note = QStringLiteral("The command did not finish within %1 seconds and was stopped.")
                                 .arg(double(m_timeout.count()) / 1000.0);
        return {-1, collected.isEmpty() ? note : collected + u'\n' + note};
    }
    return {qint32(outcome.exitCode), BrimlockProcess::trimmedUtf8(outcome.output)};
}

BrimlockSessionTerminator::BrimlockSessionTerminator(
    std::shared_ptr<BrimlockCommandRunning> commandRunner, InvocationPrefixProvider invocationPrefixProvider)
    : m_commandRunner(std::move(commandRunner)), m_invocationPrefixProvider(std::move(invocationPrefixProvider))
{
}

BrimlockSessionTerminator::InvocationPrefixProvider BrimlockSessionTerminator::defaultInvocationPrefixProvider()
{
    return [] { return BrimlockRuntime::invocationPrefix(); };
}

QString BrimlockSessionTerminator::summary(const QString &output)
{
    QString line = output;
    line.replace(u'\n', u' ');
    line.replace(u'\r', u' ');
    return Text::cutToGraphemes(Text::trimmed(line), 500, QStringLiteral("..."));
}

QCoro::Task<BrimlockSessionTerminationResult> BrimlockSessionTerminator::terminate(
    QString sessionID, std::optional<QString> projectRootPath)
{
    // Copied before the first suspension, so the run does not depend on this
    // object staying alive.
    const std::shared_ptr<BrimlockCommandRunning> runner = m_commandRunner;
    const InvocationPrefixProvider prefixProvider = m_invocationPrefixProvider;

    const QString session = Text::trimmed(sessionID);
    if (session.isEmpty())
        co_return BrimlockSessionTerminationResult {
            false, QStringLiteral("Session kill skipped because session ID is empty.")};

    // The search may start a login shell: never on the calling thread.
    auto prefixLookup = futureResult(Background::runBlocking(prefixProvider));
    const std::optional<QString> rawPrefix = co_await std::move(prefixLookup);
    const QString prefix = rawPrefix ? Text::trimmed(*rawPrefix) : QString();
    if (prefix.isEmpty())
        co_return BrimlockSessionTerminationResult {
            false, QStringLiteral("Brimlock binary is unavailable; cannot submit session kill command.")};

    // Named values only around co_await: g++ 12 mishandles temporaries there
    // (a range, or the argument of an awaited call).
    const QStringList primaryCommands = primaryKillCommands(prefix, session, projectRootPath);
    QStringList notes;
    for (const QString &command : primaryCommands) {
        QCoro::Task<BrimlockCommandExecutionResult> attempt = runner->run(command);
        const BrimlockCommandExecutionResult result = co_await std::move(attempt);
        if (result.exitCode == 0 || looksLikeSessionAlreadyStopped(result.output)) {
            if (result.output.isEmpty())
                co_return BrimlockSessionTerminationResult {true, QStringLiteral("Session kill command succeeded.")};
            co_return BrimlockSessionTerminationResult {
                true, QStringLiteral("Session kill command succeeded: ") + summary(result.output)};
        }
        notes.append(attemptNote(command, result));
    }

    const QString fallback = fallbackProcessKillCommand(session, projectRootPath);
    QCoro::Task<BrimlockCommandExecutionResult> fallbackAttempt = runner->run(fallback);
    const BrimlockCommandExecutionResult result = co_await std::move(fallbackAttempt);
    if (result.exitCode == 0) {
        if (result.output.isEmpty())
            co_return BrimlockSessionTerminationResult {
                true, QStringLiteral("Primary session kill failed; fallback process kill succeeded.")};
        co_return BrimlockSessionTerminationResult {true,
            QStringLiteral("Primary session kill failed; fallback process kill succeeded: ") + summary(result.output)};
    }
    notes.append(attemptNote(fallback, result));
    co_return BrimlockSessionTerminationResult {
        false, QStringLiteral("Session kill failed. Attempts: ") + notes.join(QStringLiteral(" | "))};
}
