#include "ProcessRunner.h"

#include <QCoroProcess>
#include <QCoroSignal>
#include <QProcess>
#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace ProcessRunner {
namespace {

ProcessResult failedToStart(const QProcess &process)
{
    ProcessResult result;
    result.outcome = ProcessResult::Outcome::FailedToStart;
    result.errorMessage = process.errorString();
    return result;
}

ProcessResult collect(QProcess &process, bool timedOut)
{
    ProcessResult result;
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    if (timedOut) {
        result.outcome = ProcessResult::Outcome::TimedOut;
        result.errorMessage = QStringLiteral("The process did not finish in time.");
    } else if (process.exitStatus() == QProcess::CrashExit) {
        result.outcome = ProcessResult::Outcome::Crashed;
        result.errorMessage = process.errorString();
    } else {
        result.outcome = ProcessResult::Outcome::Finished;
        result.exitCode = process.exitCode();
    }
    return result;
}

void writeInput(QProcess &process, const ProcessRequest &request)
{
    if (request.standardInput) {
        process.write(*request.standardInput);
        process.closeWriteChannel();
    }
}

QCoro::Task<> waitUntilEnded(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        co_return;
    auto finished = qCoro(&process, &QProcess::finished);
    co_await std::move(finished);
}

void stopForTimeout(QProcess &process, bool wholeGroup)
{
    signalProcess(process, SIGKILL, wholeGroup);
}

} // namespace

void prepare(QProcess &process, const ProcessRequest &request)
{
    process.setProgram(QStringLiteral("/usr/bin/env"));
    process.setArguments(QStringList{request.program} + request.arguments);
    if (!request.workingDirectory.isEmpty())
        process.setWorkingDirectory(request.workingDirectory);
    if (request.environment)
        process.setProcessEnvironment(*request.environment);
    if (!request.standardInput)
        process.setStandardInputFile(QProcess::nullDevice());
    if (request.discardStandardError)
        process.setStandardErrorFile(QProcess::nullDevice());
    if (request.ownProcessGroup)
        process.setChildProcessModifier([] { ::setpgid(0, 0); });
}

void signalProcess(QProcess &process, int signal, bool wholeGroup)
{
    const qint64 pid = process.processId();
    if (pid <= 0)
        return;
    if (wholeGroup)
        ::kill(-static_cast<pid_t>(pid), signal);
    else
        ::kill(static_cast<pid_t>(pid), signal);
}

ProcessResult runBlocking(const ProcessRequest &request)
{
    QProcess process;
    prepare(process, request);
    process.start();
    if (!process.waitForStarted(-1))
        return failedToStart(process);
    writeInput(process, request);
    const int timeout = request.timeoutMs.value_or(-1);
    bool timedOut = false;
    if (!process.waitForFinished(timeout)) {
        timedOut = process.state() != QProcess::NotRunning;
        if (timedOut) {
            stopForTimeout(process, request.ownProcessGroup);
            process.waitForFinished(-1);
        }
    }
    return collect(process, timedOut);
}

QCoro::Task<ProcessResult> run(ProcessRequest request)
{
    QProcess process;
    prepare(process, request);
    // Every awaited task is named first: g++ 12 can destroy a temporary made
    // inside a co_await expression twice.
    auto coroProcess = qCoro(process);
    auto starting = coroProcess.start();
    if (!co_await std::move(starting))
        co_return failedToStart(process);
    writeInput(process, request);
    bool timedOut = false;
    if (request.timeoutMs) {
        auto waiting = coroProcess.waitForFinished(std::chrono::milliseconds(*request.timeoutMs));
        if (!co_await std::move(waiting)) {
            timedOut = process.state() != QProcess::NotRunning;
            if (timedOut) {
                stopForTimeout(process, request.ownProcessGroup);
                auto ending = waitUntilEnded(process);
                co_await std::move(ending);
            }
        }
    } else {
        auto ending = waitUntilEnded(process);
        co_await std::move(ending);
    }
    co_return collect(process, timedOut);
}

} // namespace ProcessRunner
