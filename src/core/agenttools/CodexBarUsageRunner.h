#pragma once

#include "agents/BrimlockRuntime.h"
#include "agenttools/ModelUsageSnapshot.h"
#include "common/Result.h"
#include "common/TimePoint.h"

#include <QByteArray>
#include <QCoroTask>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

// The answer of one usage read: exactly one of `snapshots` (never empty) and
// `errorMessage` is present; `checkedAt` is when the fetch began.
struct CodexBarUsageResult
{
    TimePoint checkedAt;
    std::optional<QList<ModelUsageSnapshot>> snapshots;
    std::optional<QString> errorMessage;
};

// How codexbar is found and run.
struct CodexBarUsageOptions
{
    // The process and platform the executable search reads; unset: read
    // afresh for every fetch.
    std::optional<BrimlockHost> host;
    // codexbar still running after this long is stopped and the fetch fails.
    std::chrono::milliseconds timeout = std::chrono::seconds(60);
    // Tells the fetch time.
    const Clock *clock = &Clock::system();
};

// The one road to codexbar: finds it in the agent tool's bin folder or on
// PATH, runs it once with a fixed argument list off the calling thread and
// turns what it printed into usage snapshots, or into one readable message.
class CodexBarUsageRunner
{
public:
    // One run of the child: exit status and both streams, decoded as UTF-8
    // (empty for bytes that are not UTF-8) and trimmed.
    struct CommandOutput
    {
        qint32 exitCode = -1;
        QString standardOutput;
        QString standardError;
        bool timedOut = false;
        // More than the captured-output cap was written; the rest was dropped.
        bool standardOutputTruncated = false;
        bool standardErrorTruncated = false;
    };

    static inline const QString kExecutableName = QStringLiteral("codexbar");
    // "usage", "--provider", "codex", "--format", "json", "--json-only", "--no-color".
    static QStringList defaultArguments();

    explicit CodexBarUsageRunner(CodexBarUsageOptions options = {}, QStringList arguments = defaultArguments());

    const QStringList &arguments() const { return m_arguments; }

    // Never fails: every problem ends as the result's message. The runner
    // need not outlive the call.
    QCoro::Task<CodexBarUsageResult> fetchUsage() const;

    // What a finished run means: the snapshots from stdout, else from stderr,
    // else the message for what was printed.
    static CodexBarUsageResult resultFromOutput(const CommandOutput &output, TimePoint fetchTime);

    // Blocks until the child ends or `timeout` has passed; both pipes are
    // drained while it runs. Nothing when the child cannot be started.
    static std::optional<CommandOutput> runProcessSync(
        const QString &executable, const QStringList &arguments, std::chrono::milliseconds timeout);

    // Printed text to snapshots: the whole trimmed text, then the span from
    // its first opening bracket to its last closing one. Empty text gives an
    // empty list; the error is the JSON reader's when no candidate gave
    // snapshots and one was not JSON.
    static Result<QList<ModelUsageSnapshot>> parseSnapshots(const QString &text, TimePoint fallbackCheckedAt);
    static std::optional<QString> extractJSONObjectOrArray(const QString &text);
    // A top-level object (wrapper layout, else raw provider layout) or an
    // array of raw provider objects.
    static Result<QList<ModelUsageSnapshot>> parseSnapshotsJSON(const QByteArray &bytes, TimePoint fallbackCheckedAt);
    static std::optional<ModelUsageSnapshot> parseWrapperRoot(const QJsonObject &root, TimePoint fallbackCheckedAt);
    static std::optional<ModelUsageSnapshot> parseRawProviderObject(
        const QJsonObject &object, TimePoint fallbackCheckedAt);

    // A JSON number (true and false count as 1 and 0), or a text that is
    // wholly a plain decimal or exponent-notation number; nothing otherwise.
    static std::optional<double> number(const QJsonValue &value);
    // The "totalCreditsUsed" of every element whose "day" begins with
    // `month`; nothing unless `value` is an array of objects.
    static std::optional<double> summedCredits(const QString &month, const QJsonValue &value);
    // An internet date-time to whole seconds with "Z" or a numeric offset;
    // nothing for anything else (fractional seconds included).
    static std::optional<TimePoint> parseISODate(const std::optional<QString> &text);

    // The fixed messages.
    static QString notInstalledMessage();
    static QString timeoutMessage(std::chrono::milliseconds timeout);

private:
    CodexBarUsageOptions m_options;
    QStringList m_arguments;
};
