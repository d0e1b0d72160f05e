#pragma once

#include <QByteArray>
#include <QCoroTask>
#include <QList>
#include <QMetaObject>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <optional>

class QProcess;

// How much of each output stream a captured run keeps; the rest is read and
// dropped, so a child that floods its output cannot exhaust memory.
inline constexpr qsizetype kCapturedOutputLimitBytes = 4 * 1024 * 1024;

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
    std::optional<int> timeoutMs; // unset: no limit
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
