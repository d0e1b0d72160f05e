#include "ProcessRunner.h"

#include "common/Logging.h"

#include <QCoroProcess>
#include <QCoroSignal>
#include <QCoroTimer>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <QTimer>
#include <algorithm>
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
            result.crashSignal = process.exitCode(); // a crashed child's code is its signal
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

    // How often a wait looks at the child's group.
    constexpr std::chrono::milliseconds kWatchInterval {20};

    // Blocks until nothing of `target` is left or `limit` has passed; true
    // when nothing is left. The child's output is read meanwhile.
    bool waitBlocking(const StopTarget &target, std::chrono::milliseconds limit)
    {
        const QDeadlineTimer deadline(limit);
        while (target.anythingLeft()) {
            if (deadline.hasExpired())
                return false;
            const int slice = int(std::clamp<qint64>(deadline.remainingTime(), 1, 10));
            if (target.childRunning())
                target.process->waitForFinished(slice);
            else
                QThread::msleep(ulong(slice));
        }
        return true;
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
    if (request.mergeStandardError)
        process.setProcessChannelMode(QProcess::MergedChannels);
    else if (request.discardStandardError)
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

StopTarget StopTarget::of(QProcess &process, bool ownProcessGroup)
{
    return StopTarget {QPointer<QProcess>(&process), ownProcessGroup ? process.processId() : 0};
}

bool StopTarget::childRunning() const
{
    return process && process->state() != QProcess::NotRunning;
}

bool StopTarget::anythingLeft() const
{
    return childRunning() || (group > 0 && processGroupExists(group));
}

void StopTarget::signal(int signal) const
{
    if (group > 0) {
        ::kill(-static_cast<pid_t>(group), signal);
    } else if (process) {
        const qint64 pid = process->processId();
        if (pid > 0)
            ::kill(static_cast<pid_t>(pid), signal);
    }
}

bool stopBlocking(const StopTarget &target, const StopPolicy &policy)
{
    qCDebug(lcProcess) << "stopping process group" << target.group;
    target.signal(SIGTERM);
    if (waitBlocking(target, policy.grace))
        return true;
    if (policy.interruptBeforeKill) {
        target.signal(SIGINT);
        if (waitBlocking(target, policy.grace))
            return true;
    }
    qCDebug(lcProcess) << "killing what is left of process group" << target.group;
    target.signal(SIGKILL);
    const bool ended = waitBlocking(target, StopPolicy::kKillGrace);
    if (!ended)
        qCWarning(lcProcess) << "process group" << target.group << "is still there after a kill";
    return ended;
}

QCoro::Task<bool> stop(StopTarget target, StopPolicy policy)
{
    // Each signal goes to the whole group: a member that ignores the
    // termination is killed after the grace, so a stop means the work stops.
    qCDebug(lcProcess) << "stopping process group" << target.group;
    target.signal(SIGTERM);
    auto firstPause = waitForEnd(target, policy.grace);
    co_await std::move(firstPause);
    if (policy.interruptBeforeKill && target.anythingLeft()) {
        target.signal(SIGINT);
        auto secondPause = waitForEnd(target, policy.grace);
        co_await std::move(secondPause);
    }
    if (target.anythingLeft()) {
        qCDebug(lcProcess) << "killing what is left of process group" << target.group;
        target.signal(SIGKILL);
        auto lastPause = waitForEnd(target, StopPolicy::kKillGrace);
        co_await std::move(lastPause);
    }
    // Ended only once nothing of the group is seen any more.
    const bool ended = !target.anythingLeft();
    if (!ended)
        qCWarning(lcProcess) << "process group" << target.group << "is still there after a kill";
    co_return ended;
}

QCoro::Task<> waitForEnd(StopTarget target, std::chrono::milliseconds interval, std::function<bool()> endEarly)
{
    const auto over = [&] { return (endEarly && endEarly()) || !target.anythingLeft(); };
    if (over())
        co_return;
    QTimer timer;
    timer.setSingleShot(true);
    QTimer watch;
    watch.setInterval(kWatchInterval);
    QObject::connect(&watch, &QTimer::timeout, &timer, [&] {
        if (over())
            timer.start(0);
    });
    // The end of the child (or of its process object) is looked at at once.
    if (target.process) {
        QObject::connect(target.process.data(), &QProcess::finished, &timer, [&] {
            if (over())
                timer.start(0);
        });
        QObject::connect(target.process.data(), &QObject::destroyed, &timer, [&] {
            if (over())
                timer.start(0);
        });
    }
    watch.start();
    timer.start(interval);
    co_await timer;
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
            qCInfo(lcProcess) << request.program << "ran past its time limit of" << timeout << "ms";
            stopBlocking(StopTarget::of(process, request.ownProcessGroup), request.stopPolicy);
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
                qCInfo(lcProcess) << request.program << "ran past its time limit of" << *request.timeoutMs << "ms";
                auto stopping = stop(StopTarget::of(process, request.ownProcessGroup), request.stopPolicy);
                co_await std::move(stopping);
            }
        }
    } else {
        auto ending = waitUntilEnded(process);
        co_await std::move(ending);
    }
    co_return collect(process, output, timedOut);
}

} // namespace ProcessRunner
