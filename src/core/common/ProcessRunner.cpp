#include "ProcessRunner.h"

#include <QCoroProcess>
#include <QCoroSignal>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <cerrno>
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

    ProcessResult collect(QProcess &process, CappedOutput &output, bool timedOut)
    {
        ProcessResult result;
        output.drain();
        result.standardOutput = output.standardOutput();
        result.standardError = output.standardError();
        result.standardOutputTruncated = output.standardOutputTruncated();
        result.standardErrorTruncated = output.standardErrorTruncated();
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
    // A program given by its absolute path is started as it is: through env,
    // a path holding "=" would be read as a variable assignment.
    if (QDir::isAbsolutePath(request.program)) {
        process.setProgram(request.program);
        process.setArguments(request.arguments);
    } else {
        process.setProgram(QStringLiteral("/usr/bin/env"));
        process.setArguments(QStringList {request.program} + request.arguments);
    }
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

bool processGroupExists(qint64 group)
{
    if (group <= 0)
        return false;
    if (::kill(-static_cast<pid_t>(group), 0) != 0 && errno == ESRCH)
        return false;
    // A member that has ended but is not reaped yet (a zombie) no longer runs.
    QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        bool numeric = false;
        it.fileName().toLongLong(&numeric);
        if (!numeric)
            continue;
        QFile stat(it.filePath() + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // "pid (name) state ppid pgrp …": the name may hold anything, so
        // read after its last closing parenthesis.
        const qsizetype close = line.lastIndexOf(')');
        if (close < 0)
            continue;
        const QList<QByteArray> fields = line.mid(close + 2).split(' ');
        if (fields.size() < 3 || fields.at(0) == "Z" || fields.at(0) == "X")
            continue;
        if (fields.at(2).toLongLong() == group)
            return true;
    }
    return false;
}

bool waitForProcessGroupToEnd(qint64 group, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (processGroupExists(group)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(10);
    }
    return true;
}

QByteArray withoutPartialCharacterAtEnd(QByteArray bytes)
{
    // Back over continuation bytes to the lead byte of the last character.
    qsizetype lead = bytes.size() - 1;
    while (lead >= 0 && bytes.size() - lead <= 4 && (uchar(bytes.at(lead)) & 0xC0) == 0x80)
        --lead;
    if (lead < 0)
        return bytes;
    const uchar first = uchar(bytes.at(lead));
    const qsizetype length = first < 0x80 ? 1 : (first & 0xE0) == 0xC0 ? 2 : (first & 0xF0) == 0xE0 ? 3 : 4;
    if (lead + length > bytes.size())
        bytes.truncate(lead);
    return bytes;
}

CappedOutput::CappedOutput(QProcess &process, qsizetype limit) : m_process(process), m_limit(limit)
{
    // Direct connections: the reads happen inside QProcess's own handling,
    // also inside its blocking waits, before its buffer can grow.
    m_connections.append(
        QObject::connect(&process, &QProcess::readyReadStandardOutput, [this] { read(QProcess::StandardOutput); }));
    m_connections.append(
        QObject::connect(&process, &QProcess::readyReadStandardError, [this] { read(QProcess::StandardError); }));
}

CappedOutput::~CappedOutput()
{
    for (const QMetaObject::Connection &connection : std::as_const(m_connections))
        QObject::disconnect(connection);
}

void CappedOutput::drain()
{
    read(QProcess::StandardOutput);
    if (m_process.processChannelMode() != QProcess::MergedChannels)
        read(QProcess::StandardError);
}

void CappedOutput::read(int channel)
{
    const bool output = channel == QProcess::StandardOutput;
    QByteArray &kept = output ? m_standardOutput : m_standardError;
    bool &truncated = output ? m_standardOutputTruncated : m_standardErrorTruncated;
    const QByteArray bytes = output ? m_process.readAllStandardOutput() : m_process.readAllStandardError();
    if (bytes.isEmpty() || truncated)
        return; // past the limit everything is read and dropped
    const qsizetype room = m_limit - kept.size();
    if (bytes.size() <= room) {
        kept += bytes;
        return;
    }
    kept += bytes.left(room);
    kept = withoutPartialCharacterAtEnd(std::move(kept));
    truncated = true;
}

ProcessResult runBlocking(const ProcessRequest &request)
{
    QProcess process;
    prepare(process, request);
    CappedOutput output(process, request.outputLimitBytes);
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
    return collect(process, output, timedOut);
}

QCoro::Task<ProcessResult> run(ProcessRequest request)
{
    QProcess process;
    prepare(process, request);
    CappedOutput output(process, request.outputLimitBytes);
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
    co_return collect(process, output, timedOut);
}

} // namespace ProcessRunner
