#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

// One run of a short-lived helper process of the agent runtime (the login-shell
// probe, the agent-list script, a session kill), from start to end, with a
// time limit so a hung child never blocks its caller for good.
struct BrimlockProcessRequest
{
    QString program; // an absolute path, started directly
    QStringList arguments;
    std::optional<QProcessEnvironment> environment; // unset: this process's environment
    bool mergeStandardError = true; // false: standard error goes to the null device
    std::chrono::milliseconds timeout = std::chrono::seconds(30);
};

struct BrimlockProcessOutcome
{
    bool started = false;
    bool timedOut = false;
    int exitCode = -1; // the exit status, or the signal number of a child that died of one
    // What was read from standard output (and error, when merged), up to the
    // captured-output cap; the rest was read and dropped.
    QByteArray output;
    bool outputTruncated = false;
    QString errorString; // why the child could not start
};

namespace BrimlockProcess {

// How long a child asked to terminate at the time limit gets before whatever
// is left of its group is killed.
inline constexpr std::chrono::milliseconds kStopGrace {1000};

// Blocks the calling thread until the child ends or its time is up. The child
// reads the null device and runs in a process group of its own; at the time
// limit it is stopped by the common stop policy with a grace of kStopGrace
// (the whole group asked to terminate, whatever is left of it killed a
// second later). At most the captured-output cap of the output is kept.
BrimlockProcessOutcome run(const BrimlockProcessRequest &request);

// The output as UTF-8 trimmed of white space and line ends; empty when the
// bytes are not valid UTF-8.
QString trimmedUtf8(const QByteArray &bytes);

} // namespace BrimlockProcess
