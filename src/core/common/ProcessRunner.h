#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QList>
#include <QMetaObject>
#include <QPointer>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <optional>

class QProcess;

// How much of each output stream a captured run keeps; the rest is read and
// dropped, so a child that floods its output cannot exhaust memory.
inline constexpr qsizetype kCapturedOutputLimitBytes = 4 * 1024 * 1024;

// How a running child is stopped, the same for every caller: the termination
// signal to its process group (or to the child alone when it has no group of
// its own); after the grace period, when anything of it is left, the
// interrupt signal (only when asked for) and another grace period; then a kill
// of whatever is still there, which gets kKillGrace to disappear. Every pause
// ends early once nothing of the child is left.
struct StopPolicy
{
    static constexpr std::chrono::milliseconds kKillGrace {2000};
    std::chrono::milliseconds grace {1000};
    bool interruptBeforeKill = false;
};

// One child process launched through "/usr/bin/env" with an argument array
// (an absolute program path is started directly).
struct ProcessRequest
{
    QString program; // looked up on the child's PATH by env, or an absolute path
    QStringList arguments;
    QString workingDirectory; // empty: the current folder
    // The child's whole environment; unset means this process's environment.
    std::optional<QProcessEnvironment> environment;
    std::optional<QByteArray> standardInput; // unset: the child reads the null device
    bool discardStandardError = false;
    // Standard error goes into the standard output pipe, in the order written.
    bool mergeStandardError = false;
    std::optional<int> timeoutMs; // unset: no limit; a child past it is stopped
    StopPolicy stopPolicy;
    // Starts the child in a process group of its own, so a stop reaches
    // everything it started.
    bool ownProcessGroup = false;
    // How much of each output stream is kept.
    qsizetype outputLimitBytes = kCapturedOutputLimitBytes;
};

struct ProcessResult
{
    enum class Outcome { Finished, Crashed, FailedToStart, TimedOut };
    Outcome outcome = Outcome::FailedToStart;
    int exitCode = -1;
    int crashSignal = 0; // Crashed: the signal that ended the child
    QByteArray standardOutput;
    QByteArray standardError;
    QString errorMessage; // set for FailedToStart, Crashed and TimedOut
    // More was written than the request's output limit; the text kept ends at
    // a whole UTF-8 character.
    bool standardOutputTruncated = false;
    bool standardErrorTruncated = false;

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

// A started child and, when it leads a process group of its own, that group
// (0: none). Usable after the process object has gone.
struct StopTarget
{
    QPointer<QProcess> process;
    qint64 group = 0;

    static StopTarget of(QProcess &process, bool ownProcessGroup);
    bool childRunning() const;
    // The child, or anything of its group, still runs.
    bool anythingLeft() const;
    void signal(int signal) const;
};

// Stops `target` by the policy, blocking the calling thread (never the main
// thread) and reading the child's output meanwhile; true when nothing of it
// is left at the end.
bool stopBlocking(const StopTarget &target, const StopPolicy &policy);
// The same as a coroutine on the calling thread's event loop, which must be
// the thread of the process object.
QCoro::Task<bool> stop(StopTarget target, StopPolicy policy);
// Waits on the calling thread's event loop at most `interval` for nothing of
// `target` to be left; ends early as well when `endEarly` (looked at every
// 20 ms) says so.
QCoro::Task<> waitForEnd(StopTarget target, std::chrono::milliseconds interval, std::function<bool()> endEarly = {});

// Whether any process (a zombie included) is left in the process group `group`.
bool processGroupExists(qint64 group);
// Blocks the calling thread (never the main thread) until no process is left
// in `group` or `timeoutMs` has passed; true when the group is gone.
bool waitForProcessGroupToEnd(qint64 group, int timeoutMs);

// Keeps what a child writes, up to `limit` bytes per stream, and reads and
// drops the rest as it arrives, so the child never blocks on a full pipe and
// memory stays bounded. Attach it before the child starts; it reads in the
// process's own thread, also while a blocking wait runs there.
class CappedOutput final
{
public:
    explicit CappedOutput(QProcess &process, qsizetype limit = kCapturedOutputLimitBytes);
    ~CappedOutput();
    CappedOutput(const CappedOutput &) = delete;
    CappedOutput &operator=(const CappedOutput &) = delete;

    // Reads what is left in both pipes (call once the child has ended).
    void drain();
    // The kept bytes; a cut stream ends at a whole UTF-8 character.
    const QByteArray &standardOutput() const { return m_standardOutput; }
    const QByteArray &standardError() const { return m_standardError; }
    bool standardOutputTruncated() const { return m_standardOutputTruncated; }
    bool standardErrorTruncated() const { return m_standardErrorTruncated; }

private:
    void read(int channel);

    QProcess &m_process;
    qsizetype m_limit;
    QByteArray m_standardOutput;
    QByteArray m_standardError;
    bool m_standardOutputTruncated = false;
    bool m_standardErrorTruncated = false;
    QList<QMetaObject::Connection> m_connections;
};

// `bytes` without an unfinished UTF-8 sequence at its end.
QByteArray withoutPartialCharacterAtEnd(QByteArray bytes);

} // namespace ProcessRunner
