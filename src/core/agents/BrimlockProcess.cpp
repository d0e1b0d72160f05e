#include "BrimlockProcess.h"

#include "common/Logging.h"
#include "common/ProcessRunner.h"
#include "common/Text.h"

#include <QStringDecoder>
#include <algorithm>

namespace BrimlockProcess {

BrimlockProcessOutcome run(const BrimlockProcessRequest &request)
{
    ProcessRequest process;
    process.program = request.program;
    process.arguments = request.arguments;
    process.environment = request.environment;
    process.mergeStandardError = request.mergeStandardError;
    process.discardStandardError = !request.mergeStandardError;
    // A group of its own, so a stop at the time limit reaches what the shell started.
    process.ownProcessGroup = true;
    process.timeoutMs = std::max(1, int(request.timeout.count()));
    process.stopPolicy.grace = kStopGrace;

    const ProcessResult result = ProcessRunner::runBlocking(process);
    BrimlockProcessOutcome outcome;
    if (result.outcome == ProcessResult::Outcome::FailedToStart) {
        qCWarning(lcAgents) << request.program << "could not be started:" << result.errorMessage;
        outcome.errorString = result.errorMessage;
        return outcome;
    }
    outcome.started = true;
    outcome.timedOut = result.outcome == ProcessResult::Outcome::TimedOut;
    if (outcome.timedOut)
        qCWarning(lcAgents) << request.program << "was stopped at its time limit of" << request.timeout.count() << "ms";
    outcome.output = result.standardOutput;
    outcome.outputTruncated = result.standardOutputTruncated;
    if (result.outcome == ProcessResult::Outcome::Finished)
        outcome.exitCode = result.exitCode;
    else if (result.outcome == ProcessResult::Outcome::Crashed)
        outcome.exitCode = result.crashSignal;
    return outcome;
}

QString trimmedUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return QString();
    return Text::trimmed(text);
}

} // namespace BrimlockProcess
