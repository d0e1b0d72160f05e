#include "BrimlockProcess.h"

#include "common/ProcessRunner.h"
#include "common/Text.h"

#include <QProcess>
#include <QStringDecoder>
#include <csignal>
#include <unistd.h>

namespace BrimlockProcess {

BrimlockProcessOutcome run(const BrimlockProcessRequest &request)
{
    BrimlockProcessOutcome outcome;
    QProcess process;
    process.setProgram(request.program);
    process.setArguments(request.arguments);
    if (request.environment)
        process.setProcessEnvironment(*request.environment);
    process.setStandardInputFile(QProcess::nullDevice());
    if (request.mergeStandardError)
        process.setProcessChannelMode(QProcess::MergedChannels);
    else
        process.setStandardErrorFile(QProcess::nullDevice());
    // A group of its own, so a stop at the time limit reaches what the shell started.
    process.setChildProcessModifier([] { ::setpgid(0, 0); });

    // Output beyond the cap is read and dropped while the child runs.
    ProcessRunner::CappedOutput captured(process);
    process.start();
    if (!process.waitForStarted(-1)) {
        outcome.errorString = process.errorString();
        return outcome;
    }
    outcome.started = true;
    const qint64 group = process.processId();

    // QProcess keeps reading the pipe while it waits, so a large output never
    // blocks the child; a grandchild that keeps the pipe open does not hold us
    // once the child itself has ended.
    const int timeoutMs = int(request.timeout.count());
    if (!process.waitForFinished(timeoutMs > 0 ? timeoutMs : 1) && process.state() != QProcess::NotRunning) {
        outcome.timedOut = true;
        ProcessRunner::signalProcess(process, SIGTERM, true);
        process.waitForFinished(1000);
        // Whatever of the group is still there after the grace is killed.
        if (process.state() != QProcess::NotRunning || ProcessRunner::processGroupExists(group)) {
            ::kill(-static_cast<pid_t>(group), SIGKILL);
            process.waitForFinished(-1);
            ProcessRunner::waitForProcessGroupToEnd(group, 2000);
        }
    }
    captured.drain();
    outcome.output = captured.standardOutput();
    outcome.outputTruncated = captured.standardOutputTruncated();
    outcome.exitCode = outcome.timedOut ? -1 : process.exitCode();
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
