#include "BrimlockHealthRunner.h"

#include "agents/BrimlockProcess.h"
#include "common/Background.h"
#include "common/FutureResult.h"
#include "common/Logging.h"
#include "common/Text.h"

#include <QCoroFuture>
#include <QRegularExpression>

namespace {

const QString kSubAgentTitle = QStringLiteral("Sub-agent Availability");
const QString kDoctorTitle = QStringLiteral("Brimlock Doctor");
const QString kMainNodeTitle = QStringLiteral("Main Node Reachability");
const QString kLocalServerTitle = QStringLiteral("Local Task Viewer Server");
const QString kLocalServerCommand = QStringLiteral("Local Server Status");
const QString kFailedToRun = QStringLiteral("Failed to run command.");
// Ends the output of a command that wrote more than is kept.
const QString kTruncatedMarker = QStringLiteral("\n...[truncated]");

QString valueOr(const std::optional<QString> &value, const QString &fallback)
{
    return value && !value->isEmpty() ? *value : fallback;
}

// Spaces and tabs only; other white space belongs to the line.
QString trimmedSpacesAndTabs(const QString &line)
{
    qsizetype start = 0;
    qsizetype end = line.size();
    while (start < end && (line[start] == u' ' || line[start] == u'\t'))
        ++start;
    while (end > start && (line[end - 1] == u' ' || line[end - 1] == u'\t'))
        --end;
    return line.mid(start, end - start);
}

} // namespace

BrimlockHealthRunner::BrimlockHealthRunner(HealthCheckOptions options) : m_options(std::move(options))
{
}

BrimlockHost BrimlockHealthRunner::host() const
{
    return m_options.host ? *m_options.host : BrimlockHost::current();
}

QList<BrimlockHealthRunner::CommandDefinition> BrimlockHealthRunner::standardCommands()
{
    return {
        CommandDefinition {kSubAgentTitle, {QStringLiteral("agents")}, &subAgentStatus, &subAgentSuffix},
        CommandDefinition {kDoctorTitle, {QStringLiteral("doctor")}, {}, {}},
    };
}

QCoro::Task<QList<HealthCheckResult>> BrimlockHealthRunner::runAllChecks(HealthCheckAppState &appState) const
{
    if (appState.isClientNodeMode()) {
        QCoro::Task<ClientNodePing> pinging = appState.checkClientNodePing();
        const ClientNodePing ping = co_await std::move(pinging);
        co_return QList<HealthCheckResult> {HealthCheckResult::make(kMainNodeTitle,
            ping.success ? HealthCheckResult::Status::success : HealthCheckResult::Status::failed, ping.command,
            ping.output)};
    }

    // Copied before the first suspension: the batch does not need this
    // runner to stay alive.
    const BrimlockHealthRunner runner = *this;
    auto standard = futureResult(Background::runBlocking([runner] { return runner.runStandardChecks(); }));
    QList<HealthCheckResult> results = co_await std::move(standard);

    const bool running = appState.isLocalTaskViewerRunning();
    if (running || appState.hasAttemptedLocalServerStart()) {
        if (running) {
            const std::optional<QUrl> url = appState.localTaskViewerURL();
            const QString address = url ? url->toString(QUrl::FullyEncoded) : QStringLiteral("unknown");
            results.append(HealthCheckResult::make(kLocalServerTitle, HealthCheckResult::Status::success,
                kLocalServerCommand, QStringLiteral("Local task viewer is running at: ") + address));
        } else {
            results.append(
                HealthCheckResult::make(kLocalServerTitle, HealthCheckResult::Status::failed, kLocalServerCommand,
                    QStringLiteral("Local task viewer is not running. It may have stopped unexpectedly.")));
        }
    }
    co_return results;
}

QList<HealthCheckResult> BrimlockHealthRunner::runStandardChecks() const
{
    const BrimlockBinaryResolutionDiagnostics diagnostics
        = BrimlockRuntime::brimlockBinaryResolutionDiagnostics(host());
    QList<HealthCheckResult> results;
    const QList<CommandDefinition> definitions = standardCommands();

    if (!diagnostics.resolvedPath) {
        qCDebug(lcAgentTools) << "no brimlock executable found; the standard checks fail";
        const QString report = unresolvedBinaryOutput(diagnostics);
        for (const CommandDefinition &definition : definitions)
            results.append(HealthCheckResult::make(definition.title, HealthCheckResult::Status::failed,
                QStringLiteral("brimlock ") + definition.args.join(u' '), report));
        return results;
    }

    const QString &binary = *diagnostics.resolvedPath;
    for (const CommandDefinition &definition : definitions) {
        const CommandOutput output = execute(binary, definition.args);
        HealthCheckResult::Status status;
        if (definition.customStatus)
            status = definition.customStatus(output);
        else
            status = output.exitCode == 0 ? HealthCheckResult::Status::success : HealthCheckResult::Status::failed;
        QString text = output.text;
        if (definition.outputSuffix)
            text += definition.outputSuffix(output);
        results.append(HealthCheckResult::make(
            definition.title, status, (QStringList {binary} + definition.args).join(u' '), text));
    }
    return results;
}

BrimlockHealthRunner::CommandOutput BrimlockHealthRunner::execute(
    const QString &binary, const QStringList &arguments) const
{
    const QString command = quotedCommandLine(QStringList {binary} + arguments);
    const QStringList shellArguments = BrimlockRuntime::shellInvocationArguments(command, false, host());
    const std::optional<CommandOutput> output
        = runProcessSync(QStringLiteral("/usr/bin/env"), shellArguments, m_options.commandTimeout);
    if (!output)
        return CommandOutput {-1, kFailedToRun};
    return *output;
}

QString BrimlockHealthRunner::unresolvedBinaryOutput(const BrimlockBinaryResolutionDiagnostics &diagnostics)
{
    QStringList lines {
        QStringLiteral("Unable to locate brimlock executable."),
        QStringLiteral("Set BRIMLOCK_BIN to an executable path, or install brimlock where the app can resolve it."),
        QString(),
        QStringLiteral("Process BRIMLOCK_BIN: ") + valueOr(diagnostics.processBRIMLOCK_BIN, QStringLiteral("<unset>")),
        QStringLiteral("Login shell BRIMLOCK_BIN: ")
            + valueOr(diagnostics.loginShellBRIMLOCK_BIN, QStringLiteral("<unset>")),
        QStringLiteral("Login shell command -v brimlock: ")
            + valueOr(diagnostics.loginShellCommandV, QStringLiteral("<not found>")),
        QStringLiteral("Process PATH: ") + diagnostics.processPATH,
        QStringLiteral("Checked candidates:"),
    };
    if (diagnostics.checkedPaths.isEmpty()) {
        lines.append(QStringLiteral("- <none>"));
    } else {
        for (const QString &path : diagnostics.checkedPaths)
            lines.append(QStringLiteral("- ") + path);
    }
    return lines.join(u'\n');
}

QString BrimlockHealthRunner::quotedCommandLine(const QStringList &elements)
{
    QStringList quoted;
    quoted.reserve(elements.size());
    for (const QString &element : elements)
        quoted.append(Text::shellSingleQuoted(element));
    return quoted.join(u' ');
}

int BrimlockHealthRunner::subAgentCount(const QString &text)
{
    static const QRegularExpression lineBreaks(QStringLiteral("[\\n\\r\\x{0B}\\x{0C}\\x{85}\\x{2028}\\x{2029}]"));
    int count = 0;
    for (const QString &rawLine : text.split(lineBreaks)) {
        const QString line = trimmedSpacesAndTabs(rawLine);
        if (!line.startsWith(QStringLiteral("- ")))
            continue;
        const QString rest = line.mid(2);
        const qsizetype space = rest.indexOf(u' ');
        const QString name = space < 0 ? rest : rest.left(space);
        if (name.toLower() != QStringLiteral("main"))
            ++count;
    }
    return count;
}

HealthCheckResult::Status BrimlockHealthRunner::subAgentStatus(const CommandOutput &output)
{
    if (output.exitCode != 0)
        return HealthCheckResult::Status::failed;
    return subAgentCount(output.text) >= 1 ? HealthCheckResult::Status::success : HealthCheckResult::Status::failed;
}

QString BrimlockHealthRunner::subAgentSuffix(const CommandOutput &output)
{
    const QString separator = QStringLiteral("\n\n");
    if (output.exitCode != 0)
        return separator
            + QStringLiteral("Expected at least one sub-agent in addition to main, but failed to read agents output.");
    const int count = subAgentCount(output.text);
    if (count == 0)
        return separator
            + QStringLiteral("Sub-agent check failed: no sub-agent found beyond main. Create at least one additional "
                             "agent with `brimlock agents`.");
    return separator + QStringLiteral("Sub-agent check passed: found ") + QString::number(count)
        + QStringLiteral(" sub-agent(s) in addition to main.");
}

std::optional<BrimlockHealthRunner::CommandOutput> BrimlockHealthRunner::runProcessSync(
    const QString &executable, const QStringList &arguments, std::chrono::milliseconds timeout)
{
    BrimlockProcessRequest request;
    request.program = executable;
    request.arguments = arguments;
    request.mergeStandardError = true;
    request.timeout = timeout;
    const BrimlockProcessOutcome outcome = BrimlockProcess::run(request);
    if (!outcome.started) {
        qCWarning(lcAgentTools) << "health check command could not be started:" << outcome.errorString;
        return std::nullopt;
    }
    QString text = BrimlockProcess::trimmedUtf8(outcome.output);
    if (outcome.outputTruncated)
        text += kTruncatedMarker;
    if (outcome.timedOut) {
        qCWarning(lcAgentTools) << "health check command was stopped after" << timeout.count() << "ms";
        const QString note = timeoutMessage(timeout);
        return CommandOutput {-1, text.isEmpty() ? note : text + u'\n' + note};
    }
    return CommandOutput {qint32(outcome.exitCode), text};
}

QString BrimlockHealthRunner::timeoutMessage(std::chrono::milliseconds timeout)
{
    return QStringLiteral("The command did not finish within %1 seconds and was stopped.")
        .arg(double(timeout.count()) / 1000.0);
}
