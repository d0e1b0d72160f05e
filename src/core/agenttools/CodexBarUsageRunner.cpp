#include "CodexBarUsageRunner.h"

#include "agents/BrimlockProcess.h"
#include "common/Background.h"
#include "common/FutureResult.h"
#include "common/Logging.h"
#include "common/ProcessRunner.h"
#include "common/Text.h"

#include <QCoroFuture>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QLocale>
#include <QRegularExpression>

namespace {

const QString kDefaultProvider = QStringLiteral("codex");

std::optional<QString> textValue(const QJsonValue &value)
{
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

// 100 minus `value`, but not below 0 (and 0 for a result that is not a number).
double remainderOfHundred(double value)
{
    const double remainder = 100.0 - value;
    return remainder >= 0.0 ? remainder : 0.0;
}

// Nothing printed, or only an empty JSON array: no usage and nothing worth
// showing as the message.
bool printedNothing(const QString &text)
{
    if (text.isEmpty())
        return true;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &error);
    return error.error == QJsonParseError::NoError && document.isArray() && document.array().isEmpty();
}

CodexBarUsageResult failure(TimePoint checkedAt, QString message)
{
    return CodexBarUsageResult {checkedAt, std::nullopt, std::move(message)};
}

} // namespace

QStringList CodexBarUsageRunner::defaultArguments()
{
    return {QStringLiteral("usage"), QStringLiteral("--provider"), QStringLiteral("codex"), QStringLiteral("--format"),
        QStringLiteral("json"), QStringLiteral("--json-only"), QStringLiteral("--no-color")};
}

CodexBarUsageRunner::CodexBarUsageRunner(CodexBarUsageOptions options, QStringList arguments)
    : m_options(std::move(options)), m_arguments(std::move(arguments))
{
}

QString CodexBarUsageRunner::notInstalledMessage()
{
    return QStringLiteral("codexbar is not installed. Install it and make sure it is available on PATH.");
}

QString CodexBarUsageRunner::timeoutMessage(std::chrono::milliseconds timeout)
{
    return QStringLiteral("codexbar did not finish within %1 seconds and was stopped.")
        .arg(double(timeout.count()) / 1000.0);
}

QCoro::Task<CodexBarUsageResult> CodexBarUsageRunner::fetchUsage() const
{
    // Everything the fetch needs is copied before the first suspension.
    const CodexBarUsageOptions options = m_options;
    const QStringList arguments = m_arguments;
    const TimePoint fetchTime = options.clock->now();

    const BrimlockHost host = options.host ? *options.host : BrimlockHost::current();
    const std::optional<QString> executable = BrimlockRuntime::resolveExecutableOnPATH(kExecutableName, host);
    if (!executable) {
        qCDebug(lcAgentTools) << "codexbar not found on PATH";
        co_return failure(fetchTime, notInstalledMessage());
    }

    auto running = futureResult(Background::runBlocking([path = *executable, arguments, timeout = options.timeout] {
        return runProcessSync(path, arguments, timeout);
    }));
    const std::optional<CommandOutput> ran = co_await std::move(running);
    const CommandOutput output = ran ? *ran : CommandOutput {-1, QString(), QStringLiteral("Failed to run command.")};
    if (!ran)
        qCWarning(lcAgentTools) << "codexbar could not be started:" << *executable;
    if (output.timedOut) {
        qCWarning(lcAgentTools) << "codexbar was stopped after" << options.timeout.count() << "ms";
        co_return failure(fetchTime, timeoutMessage(options.timeout));
    }
    co_return resultFromOutput(output, fetchTime);
}

CodexBarUsageResult CodexBarUsageRunner::resultFromOutput(const CommandOutput &output, TimePoint fetchTime)
{
    const auto parseFailure = [fetchTime](const Error &error) {
        return failure(fetchTime, QStringLiteral("Failed to parse codexbar JSON: ") + error.message);
    };

    // A stream cut at the cap cannot hold a whole JSON reply.
    const auto cutOff = [](const char *stream) {
        return Error::make(QStringLiteral("codexbar wrote more than %1 MiB to %2; the rest was not read.")
                               .arg(kCapturedOutputLimitBytes / (1024 * 1024))
                               .arg(QLatin1String(stream)));
    };
    if (output.standardOutputTruncated)
        return parseFailure(cutOff("standard output"));
    const Result<QList<ModelUsageSnapshot>> fromStandardOutput = parseSnapshots(output.standardOutput, fetchTime);
    if (!fromStandardOutput.ok())
        return parseFailure(fromStandardOutput.error());
    if (!fromStandardOutput->isEmpty())
        return CodexBarUsageResult {fetchTime, *fromStandardOutput, std::nullopt};

    if (!output.standardError.isEmpty()) {
        if (output.standardErrorTruncated)
            return parseFailure(cutOff("standard error"));
        const Result<QList<ModelUsageSnapshot>> fromStandardError = parseSnapshots(output.standardError, fetchTime);
        if (!fromStandardError.ok())
            return parseFailure(fromStandardError.error());
        if (!fromStandardError->isEmpty())
            return CodexBarUsageResult {fetchTime, *fromStandardError, std::nullopt};
    }

    if (!printedNothing(output.standardError))
        return failure(fetchTime, output.standardError);
    if (!printedNothing(output.standardOutput))
        return failure(fetchTime, output.standardOutput);
    if (output.exitCode == 0)
        return failure(fetchTime, QStringLiteral("codexbar output did not include usage data."));
    return failure(fetchTime, QStringLiteral("codexbar command failed."));
}

std::optional<CodexBarUsageRunner::CommandOutput> CodexBarUsageRunner::runProcessSync(
    const QString &executable, const QStringList &arguments, std::chrono::milliseconds timeout)
{
    ProcessRequest request;
    request.program = executable;
    request.arguments = arguments;
    request.timeoutMs = int(timeout.count());
    request.ownProcessGroup = true;
    const ProcessResult result = ProcessRunner::runBlocking(request);
    if (result.outcome == ProcessResult::Outcome::FailedToStart)
        return std::nullopt;
    CommandOutput output;
    output.exitCode = qint32(result.exitCode);
    output.standardOutput = BrimlockProcess::trimmedUtf8(result.standardOutput);
    output.standardError = BrimlockProcess::trimmedUtf8(result.standardError);
    output.timedOut = result.outcome == ProcessResult::Outcome::TimedOut;
    output.standardOutputTruncated = result.standardOutputTruncated;
    output.standardErrorTruncated = result.standardErrorTruncated;
    return output;
}

Result<QList<ModelUsageSnapshot>> CodexBarUsageRunner::parseSnapshots(const QString &text, TimePoint fallbackCheckedAt)
{
    const QString trimmed = Text::trimmed(text);
    if (trimmed.isEmpty())
        return QList<ModelUsageSnapshot> {};
    QStringList candidates {trimmed};
    if (const std::optional<QString> span = extractJSONObjectOrArray(trimmed))
        candidates.append(*span);

    std::optional<Error> lastError;
    for (const QString &candidate : candidates) {
        Result<QList<ModelUsageSnapshot>> parsed = parseSnapshotsJSON(candidate.toUtf8(), fallbackCheckedAt);
        if (!parsed.ok()) {
            lastError = parsed.error();
            continue;
        }
        if (!parsed->isEmpty())
            return parsed;
    }
    if (lastError)
        return *lastError;
    return QList<ModelUsageSnapshot> {};
}

std::optional<QString> CodexBarUsageRunner::extractJSONObjectOrArray(const QString &text)
{
    qsizetype start = -1;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == u'{' || text[i] == u'[') {
            start = i;
            break;
        }
    }
    if (start < 0)
        return std::nullopt;
    qsizetype end = -1;
    for (qsizetype i = text.size() - 1; i >= 0; --i) {
        if (text[i] == u'}' || text[i] == u']') {
            end = i;
            break;
        }
    }
    if (end < start)
        return std::nullopt;
    return text.mid(start, end - start + 1);
}

Result<QList<ModelUsageSnapshot>> CodexBarUsageRunner::parseSnapshotsJSON(
    const QByteArray &bytes, TimePoint fallbackCheckedAt)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        return Error::make(QStringLiteral("%1 at offset %2").arg(error.errorString()).arg(error.offset));

    QList<ModelUsageSnapshot> snapshots;
    if (document.isObject()) {
        const QJsonObject root = document.object();
        if (std::optional<ModelUsageSnapshot> snapshot = parseWrapperRoot(root, fallbackCheckedAt))
            snapshots.append(*snapshot);
        else if (std::optional<ModelUsageSnapshot> raw = parseRawProviderObject(root, fallbackCheckedAt))
            snapshots.append(*raw);
        return snapshots;
    }
    const QJsonArray array = document.array();
    for (const QJsonValue &element : array) {
        if (!element.isObject())
            return QList<ModelUsageSnapshot> {};
    }
    for (const QJsonValue &element : array) {
        if (std::optional<ModelUsageSnapshot> snapshot = parseRawProviderObject(element.toObject(), fallbackCheckedAt))
            snapshots.append(*snapshot);
    }
    return snapshots;
}

std::optional<ModelUsageSnapshot> CodexBarUsageRunner::parseWrapperRoot(
    const QJsonObject &root, TimePoint fallbackCheckedAt)
{
    const QJsonValue usageValue = root.value(QStringLiteral("usage"));
    if (!usageValue.isObject())
        return std::nullopt;
    const QJsonObject usage = usageValue.toObject();
    const QJsonValue currentValue = usage.value(QStringLiteral("currentSession"));
    if (!currentValue.isObject())
        return std::nullopt;
    const QJsonObject current = currentValue.toObject();
    const std::optional<double> used = number(current.value(QStringLiteral("usedPercent")));
    if (!used)
        return std::nullopt;

    ModelUsageSnapshot snapshot;
    snapshot.checkedAt = parseISODate(textValue(root.value(QStringLiteral("checkedAt")))).value_or(fallbackCheckedAt);
    snapshot.provider = textValue(root.value(QStringLiteral("provider"))).value_or(kDefaultProvider);
    snapshot.currentSessionUsedPercent = *used;
    snapshot.currentSessionRemainingPercent
        = number(current.value(QStringLiteral("remainingPercent"))).value_or(remainderOfHundred(*used));
    snapshot.currentSessionResetDescription = textValue(current.value(QStringLiteral("resetDescription")));

    const QJsonValue monthlyValue = usage.value(QStringLiteral("monthly"));
    if (monthlyValue.isObject()) {
        const QJsonObject monthly = monthlyValue.toObject();
        snapshot.monthlyUsedCredits = number(monthly.value(QStringLiteral("usedCredits")));
        snapshot.month = textValue(monthly.value(QStringLiteral("month")));
        snapshot.monthlyRemainingPercent = number(monthly.value(QStringLiteral("remainingPercent")));
        snapshot.creditsLeft = number(monthly.value(QStringLiteral("remainingCredits")));
    }
    return snapshot;
}

std::optional<ModelUsageSnapshot> CodexBarUsageRunner::parseRawProviderObject(
    const QJsonObject &object, TimePoint fallbackCheckedAt)
{
    const QJsonValue usageValue = object.value(QStringLiteral("usage"));
    if (!usageValue.isObject())
        return std::nullopt;
    const QJsonObject usage = usageValue.toObject();
    const QJsonValue primaryValue = usage.value(QStringLiteral("primary"));
    if (!primaryValue.isObject())
        return std::nullopt;
    const QJsonObject primary = primaryValue.toObject();
    const std::optional<double> used = number(primary.value(QStringLiteral("usedPercent")));
    if (!used)
        return std::nullopt;

    // Values of a key that is not an object read as missing.
    const QJsonValue dashboardValue = object.value(QStringLiteral("openaiDashboard"));
    const QJsonObject dashboard = dashboardValue.toObject();

    ModelUsageSnapshot snapshot;
    std::optional<TimePoint> updatedAt = parseISODate(textValue(usage.value(QStringLiteral("updatedAt"))));
    if (!updatedAt)
        updatedAt = parseISODate(textValue(dashboard.value(QStringLiteral("updatedAt"))));
    snapshot.checkedAt = updatedAt.value_or(fallbackCheckedAt);
    snapshot.provider = textValue(object.value(QStringLiteral("provider"))).value_or(kDefaultProvider);
    snapshot.currentSessionUsedPercent = *used;
    snapshot.currentSessionRemainingPercent = remainderOfHundred(*used);
    snapshot.currentSessionResetDescription = textValue(primary.value(QStringLiteral("resetDescription")));

    const QJsonValue secondaryValue = usage.value(QStringLiteral("secondary"));
    if (secondaryValue.isObject()) {
        if (const std::optional<double> secondaryUsed
            = number(secondaryValue.toObject().value(QStringLiteral("usedPercent"))))
            snapshot.monthlyRemainingPercent = remainderOfHundred(*secondaryUsed);
    }

    const QString month = snapshot.checkedAt.toDateTime().toString(QStringLiteral("yyyy-MM"));
    snapshot.month = month;
    if (dashboardValue.isObject())
        snapshot.monthlyUsedCredits = summedCredits(month, dashboard.value(QStringLiteral("usageBreakdown")));

    snapshot.creditsLeft = number(dashboard.value(QStringLiteral("creditsRemaining")));
    if (!snapshot.creditsLeft)
        snapshot.creditsLeft
            = number(object.value(QStringLiteral("credits")).toObject().value(QStringLiteral("remaining")));
    return snapshot;
}

std::optional<double> CodexBarUsageRunner::number(const QJsonValue &value)
{
    if (value.isDouble())
        return value.toDouble();
    if (value.isBool())
        return value.toBool() ? 1.0 : 0.0;
    if (!value.isString())
        return std::nullopt;
    static const QRegularExpression plainNumber(
        QStringLiteral("\\A[+-]?(?:[0-9]+(?:\\.[0-9]*)?|\\.[0-9]+)(?:[eE][+-]?[0-9]+)?\\z"));
    const QString text = value.toString();
    if (!plainNumber.match(text).hasMatch())
        return std::nullopt;
    bool ok = false;
    const double parsed = QLocale::c().toDouble(text, &ok);
    if (!ok)
        return std::nullopt;
    return parsed;
}

std::optional<double> CodexBarUsageRunner::summedCredits(const QString &month, const QJsonValue &value)
{
    if (!value.isArray())
        return std::nullopt;
    const QJsonArray elements = value.toArray();
    for (const QJsonValue &element : elements) {
        if (!element.isObject())
            return std::nullopt;
    }
    double sum = 0.0;
    for (const QJsonValue &element : elements) {
        const QJsonObject day = element.toObject();
        const std::optional<QString> dayText = textValue(day.value(QStringLiteral("day")));
        if (dayText && dayText->startsWith(month))
            sum += number(day.value(QStringLiteral("totalCreditsUsed"))).value_or(0.0);
    }
    return sum;
}

std::optional<TimePoint> CodexBarUsageRunner::parseISODate(const std::optional<QString> &text)
{
    if (!text || text->isEmpty())
        return std::nullopt;
    return TimePoint::fromIso8601(*text, TimePoint::Fraction::Forbidden);
}
