#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <optional>

class QProcess;

// One child process launched through "/usr/bin/env" with an argument array.
struct ProcessRequest
{
    QString program;         // looked up on the child's PATH by env, or an absolute path
    QStringList arguments;
    QString workingDirectory; // empty: the current folder
    // The child's whole environment; unset means this process's environment.
    std::optional<QProcessEnvironment> environment;
    std::optional<QByteArray> standardInput; // unset: the child reads the null device
    bool discardStandardError = false;
    std::optional<int> timeoutMs; // unset: no limit
    // Starts the child in a process group of its own, so a stop reaches
    // everything it started.
    bool ownProcessGroup = false;
};

struct ProcessResult
{
    enum class Outcome { Finished, Crashed, FailedToStart, TimedOut };
    Outcome outcome = Outcome::FailedToStart;
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
    QString errorMessage; // set for FailedToStart, Crashed and TimedOut

    bool finished() const { return outcome == Outcome::Finished; }
    bool succeeded() const { return outcome == Outcome::Finished && exitCode == 0; }
};

// The base every component's small process runner builds on. Both pipes are
// drained to their end while the child runs, so large output never blocks it.
namespace ProcessRunner {

// Blocks the calling thread (never the main thread) until the child ends.
ProcessResult runBlocking(const ProcessRequest &request);
// The same as a coroutine on the calling thread's event loop.
QCoro::Task<ProcessResult> run(ProcessRequest request);

// Sets up `process` for the request (program, arguments, folder, environment,
// process group) without starting it; for runners that stream output.
void prepare(QProcess &process, const ProcessRequest &request);
// Sends `signal` to the child's process group (or to the child alone).
void signalProcess(QProcess &process, int signal, bool wholeGroup);

} // namespace ProcessRunner
