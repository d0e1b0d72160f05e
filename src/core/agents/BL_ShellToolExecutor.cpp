#include "BL_ShellToolExecutor.h"
#include "model/ConversationTurns.h"

#include "BrimlockReply.h"
#include "BrimlockRuntime.h"
#include "MainThreadPublisher.h"
#include "common/ProcessRunner.h"
#include "common/Text.h"

#include "common/FutureResult.h"
#include <QCoroFuture>
#include <QCoroTimer>
#include <QDeadlineTimer>
#include <QProcess>
#include <QPromise>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTimer>
#include <algorithm>
#include <functional>

namespace {

const QString kSystemStream = QStringLiteral("system");
constexpr qsizetype kStdoutLimit = 20000;
constexpr qsizetype kStderrLimit = 4000;
constexpr qsizetype kMessageLimit = 600;
constexpr qsizetype kAgentResponseLimit = 1000;

QString cut(const QString &text, qsizetype limit)
{
    return Text::cutToGraphemes(text, limit, QStringLiteral("\n...[truncated]"));
}

// Decodes one output stream read by read. A character whose bytes are split
// across two reads is kept back until the rest arrives; nothing is dropped.
class Utf8StreamDecoder final : public QStringDecoder
{
public:
    Utf8StreamDecoder() : QStringDecoder(QStringDecoder::Utf8, QStringDecoder::Flag::ConvertInitialBom) { }

    // The end of the stream: an unfinished character becomes U+FFFD.
    QString finish()
    {
        if (state.remainingChars <= 0)
            return QString();
        resetState();
        return QString(QChar::ReplacementCharacter);
    }
};

struct CommandStreams
{
    BL_ShellStreamAccumulator accumulator;
    Utf8StreamDecoder stdoutDecoder;
    Utf8StreamDecoder stderrDecoder;
};

BL_TaskConversationTurn toolTurn(const QString &content)
{
    return ConversationTurns::make(BL_TaskConversationRole::tool, std::nullopt, content);
}

BL_Event taskModified(const QUuid &projectID, const QUuid &taskID, const BL_TaskEventPayload &payload)
{
    return BL_Event::make(BL_EventType::taskModified, projectID, taskID, payload);
}

bool isRunning(const QPointer<QProcess> &process)
{
    return process && process->state() != QProcess::NotRunning;
}

// The child, or anything of its process group, still runs.
bool anythingLeft(const QPointer<QProcess> &process, qint64 group)
{
    return ProcessRunner::StopTarget {process, group}.anythingLeft();
}

} // namespace

void BL_ShellStreamAccumulator::append(QString &kept, const QString &text)
{
    const qsizetype room = kLimit - kept.size();
    if (room <= 0)
        return;
    if (text.size() <= room) {
        kept += text;
        return;
    }
    qsizetype take = room;
    if (take > 0 && text.at(take - 1).isHighSurrogate())
        --take; // never half a character
    kept += QStringView(text).first(take);
}

BL_ShellToolExecutor::BL_ShellToolExecutor(
    BLEventBus &eventBus, qint64 commandTimeoutSeconds, std::chrono::milliseconds processPollInterval)
    : m_publisher(eventBus),
      m_commandTimeoutSeconds(commandTimeoutSeconds),
      m_processPollInterval(processPollInterval),
      m_actor(QStringLiteral("tessaron.shell-tool-executor"))
{
}

BL_ShellToolExecutor::~BL_ShellToolExecutor()
{
    shutdown();
}

void BL_ShellToolExecutor::shutdown()
{
    // Publications first: a command waiting for the main thread, which is
    // about to wait for the command, ends instead.
    m_publisher.close();
    m_actor.shutdown();
}

QFuture<BL_Observation> BL_ShellToolExecutor::executeSpawned(
    QString command, QUuid taskID, QUuid projectID, CancellationToken cancellation)
{
    return m_actor.call(
        [this, command, taskID, projectID, cancellation] { return execute(command, taskID, projectID, cancellation); });
}

QFuture<bool> BL_ShellToolExecutor::cancel(QUuid taskID)
{
    return m_actor.call([this, taskID] { return cancelRegistered(taskID); });
}

QFuture<bool> BL_ShellToolExecutor::hasRegisteredProcess(QUuid taskID)
{
    return m_actor.call([this, taskID] { return m_runningProcessByTaskID.contains(taskID); });
}

QCoro::Task<BL_Observation> BL_ShellToolExecutor::execute(
    QString command, QUuid taskID, QUuid projectID, CancellationToken cancellation)
{
    const QStringList arguments = BrimlockRuntime::shellInvocationArguments(command, true);
    // Shutting down counts as a cancellation of every command.
    const CancellationToken shuttingDown = m_actor.shutdownToken();
    const auto cancelled = [&] { return cancellation.isCancelled() || shuttingDown.isCancelled(); };

    auto announced
        = publishStreamEvent(projectID, taskID, kSystemStream, QStringLiteral("Spawned shell command: ") + command);
    co_await std::move(announced);
    auto reset = publishStdoutReset(projectID, taskID);
    co_await std::move(reset);
    if (shuttingDown.isCancelled())
        throw CancelledError();

    auto streams = std::make_shared<CommandStreams>();
    auto *child = new QProcess(m_actor.context());
    const QPointer<QProcess> process(child);
    // Through "/usr/bin/env", in a process group of its own, so the stop
    // signals reach everything it started; a background group must not read
    // the terminal, so standard input is the null device.
    ProcessRequest request;
    request.program = arguments.value(0);
    request.arguments = arguments.mid(1);
    request.ownProcessGroup = true;
    ProcessRunner::prepare(*child, request);

    auto readStdout = [this, streams, process, projectID, taskID] {
        if (!process)
            return;
        const QByteArray bytes = process->readAllStandardOutput();
        if (bytes.isEmpty())
            return;
        const QString text = streams->stdoutDecoder.decode(bytes);
        if (text.isEmpty())
            return;
        streams->accumulator.appendStdout(text);
        publishStdoutChunk(projectID, taskID, text);
    };
    auto readStderr = [this, streams, process, projectID, taskID] {
        if (!process)
            return;
        const QByteArray bytes = process->readAllStandardError();
        if (bytes.isEmpty())
            return;
        const QString text = streams->stderrDecoder.decode(bytes);
        if (text.isEmpty())
            return;
        streams->accumulator.appendStderr(text);
        publishStderrLines(projectID, taskID, text);
    };
    QList<QMetaObject::Connection> handlers {
        QObject::connect(child, &QProcess::readyReadStandardOutput, m_actor.context(), readStdout),
        QObject::connect(child, &QProcess::readyReadStandardError, m_actor.context(), readStderr),
    };
    auto removeHandlers = [&handlers] {
        for (const QMetaObject::Connection &handler : std::as_const(handlers))
            QObject::disconnect(handler);
        handlers.clear();
    };

    child->start();
    if (!child->waitForStarted(-1)) {
        removeHandlers();
        const BL_DomainError launchError(QStringLiteral("QProcess"), int(child->error()), child->errorString());
        child->deleteLater();
        throw launchError;
    }

    const quint64 serial = m_nextSerial++;
    const RunningProcess registered {process, child->processId(), std::make_shared<Stop>(), serial};
    m_runningProcessByTaskID.insert(taskID, registered);
    // Removes the handlers and the registry entry, and lets the process object
    // go once its child has ended (a child that survived the stop signals is
    // left running).
    auto cleanUp = [&] {
        removeHandlers();
        unregister(taskID, serial);
        if (!process)
            return;
        if (process->state() == QProcess::NotRunning)
            process->deleteLater();
        else
            QObject::connect(process.data(), &QProcess::finished, process.data(), &QObject::deleteLater);
    };

    enum class Ending { exited, cancelled, timedOut };
    Ending ending = Ending::exited;
    const QDeadlineTimer deadline {std::chrono::seconds(m_commandTimeoutSeconds)};
    for (;;) {
        // A cancellation wins over an ending it caused itself (the stop's
        // signals end the child with a non-zero status): the run was
        // cancelled, and reports nothing of the command.
        if (cancelled()) {
            ending = Ending::cancelled;
            break;
        }
        if (!isRunning(process)) {
            ending = Ending::exited;
            break;
        }
        if (deadline.hasExpired()) {
            ending = Ending::timedOut;
            break;
        }
        // A cancellation during the pause ends it at once.
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline.remainingTimeAsDuration());
        auto pausing = pause(process, registered.group,
            std::clamp(remaining, std::chrono::milliseconds(1), m_processPollInterval), cancellation);
        co_await std::move(pausing);
    }

    if (ending != Ending::exited) {
        // A stop that cancel() already began is joined silently; otherwise
        // the command says why it stops before it does.
        const bool stopNeeded = registered.stop->started || anythingLeft(process, registered.group);
        if (stopNeeded && !registered.stop->started) {
            const QString message = ending == Ending::cancelled
                ? QStringLiteral("Shell command cancellation requested; terminating process.")
                : QStringLiteral("Shell command timed out after ") + QString::number(m_commandTimeoutSeconds)
                    + QStringLiteral("s; terminating process.");
            try {
                auto announcedStop = publishStreamEvent(projectID, taskID, kSystemStream, message);
                co_await std::move(announcedStop);
            } catch (const CancelledError &) {
                // Shutting down: the child is stopped all the same.
            }
        }
        if (stopNeeded) {
            auto stopping = stopOnce(registered);
            co_await std::move(stopping);
        }
        cleanUp();
        if (ending == Ending::cancelled)
            throw CancelledError();
        throw BL_ToolExecutionError::timedOut(command, m_commandTimeoutSeconds);
    }

    // The child has ended: take what is left in both pipes before the result.
    readStdout();
    readStderr();
    if (const QString rest = streams->stdoutDecoder.finish(); !rest.isEmpty()) {
        streams->accumulator.appendStdout(rest);
        publishStdoutChunk(projectID, taskID, rest);
    }
    if (const QString rest = streams->stderrDecoder.finish(); !rest.isEmpty()) {
        streams->accumulator.appendStderr(rest);
        publishStderrLines(projectID, taskID, rest);
    }
    removeHandlers();

    // A child ended by a signal reports the signal's number.
    const qint32 exitCode = process ? qint32(process->exitCode()) : -1;
    const auto [collectedStdout, collectedStderr] = streams->accumulator.snapshot();
    const QString standardOutput = cut(Text::trimmed(collectedStdout), kStdoutLimit);
    const QString standardError = cut(Text::trimmed(collectedStderr), kStderrLimit);
    const QByteArray payload = BL_ShellToolResultPayload {command, exitCode, standardOutput, standardError}.encoded();

    auto announcedExit = publishStreamEvent(
        projectID, taskID, kSystemStream, QStringLiteral("Shell exited with code ") + QString::number(exitCode) + u'.');
    co_await std::move(announcedExit);

    cleanUp();
    if (exitCode != 0)
        throw BL_ToolExecutionError::nonZeroExit(command, exitCode, standardError);

    QString summary;
    if (const QString agentText = extractBrimlockAgentPayloadText(standardOutput); !agentText.isEmpty())
        summary = QStringLiteral("Brimlock agent response: ") + cut(agentText, kAgentResponseLimit);
    else if (!standardOutput.isEmpty())
        summary = standardOutput;
    else
        summary = QStringLiteral("Shell exited ") + QString::number(exitCode) + u'.';
    co_return BL_Observation {summary, payload};
}

QCoro::Task<bool> BL_ShellToolExecutor::cancelRegistered(QUuid taskID)
{
    const auto found = m_runningProcessByTaskID.constFind(taskID);
    if (found == m_runningProcessByTaskID.constEnd())
        co_return false;
    const RunningProcess entry = *found;
    if (!entry.stop->started && !anythingLeft(entry.process, entry.group))
        co_return false;
    auto stopping = stopOnce(entry);
    const bool ended = co_await std::move(stopping);
    co_return ended;
}

QCoro::Task<bool> BL_ShellToolExecutor::stopOnce(RunningProcess entry)
{
    if (entry.stop->started) {
        QFuture<bool> joined = entry.stop->ended;
        const bool ended = co_await joined;
        co_return ended;
    }
    auto promise = std::make_shared<QPromise<bool>>();
    entry.stop->started = true;
    entry.stop->ended = promise->future();
    promise->start();
    auto stopping = stopSequence(entry.process, entry.group);
    const bool ended = co_await std::move(stopping);
    promise->addResult(ended);
    promise->finish();
    co_return ended;
}

QCoro::Task<bool> BL_ShellToolExecutor::stopSequence(QPointer<QProcess> process, qint64 group)
{
    // The common stop with the interrupt between termination and kill, each
    // pause as long as the executor's poll interval.
    const StopPolicy policy {m_processPollInterval, true};
    auto stopping = ProcessRunner::stop(ProcessRunner::StopTarget {process, group}, policy);
    co_return co_await std::move(stopping);
}

QCoro::Task<> BL_ShellToolExecutor::pause(QPointer<QProcess> process, qint64 group, std::chrono::milliseconds interval,
    std::optional<CancellationToken> cancellation)
{
    const CancellationToken shuttingDown = m_actor.shutdownToken();
    std::function<bool()> endEarly;
    if (cancellation)
        endEarly = [cancellation, shuttingDown] { return cancellation->isCancelled() || shuttingDown.isCancelled(); };
    auto waiting = ProcessRunner::waitForEnd(ProcessRunner::StopTarget {process, group}, interval, endEarly);
    co_await std::move(waiting);
}

void BL_ShellToolExecutor::unregister(const QUuid &taskID, quint64 serial)
{
    const auto found = m_runningProcessByTaskID.constFind(taskID);
    if (found != m_runningProcessByTaskID.constEnd() && found->serial == serial)
        m_runningProcessByTaskID.erase(found);
}

QCoro::Task<> BL_ShellToolExecutor::publishStreamEvent(QUuid projectID, QUuid taskID, QString stream, QString message)
{
    const QString text = cut(Text::trimmed(message), kMessageLimit);
    BL_TaskEventPayload payload;
    payload.detail = stream + QStringLiteral(": ") + text;
    payload.conversationTurn = toolTurn(u'[' + stream + QStringLiteral("] ") + text);
    auto published = futureResult(m_publisher.publish(taskModified(projectID, taskID, payload)));
    co_await std::move(published);
}

QCoro::Task<> BL_ShellToolExecutor::publishStdoutReset(QUuid projectID, QUuid taskID)
{
    BL_TaskEventPayload payload;
    payload.stdoutReset = true;
    auto published = futureResult(m_publisher.publish(taskModified(projectID, taskID, payload)));
    co_await std::move(published);
}

void BL_ShellToolExecutor::publishStdoutChunk(const QUuid &projectID, const QUuid &taskID, const QString &chunk)
{
    BL_TaskEventPayload payload;
    payload.stdoutChunk = chunk;
    m_publisher.publish(taskModified(projectID, taskID, payload));
}

void BL_ShellToolExecutor::publishStderrLines(const QUuid &projectID, const QUuid &taskID, const QString &chunk)
{
    static const QRegularExpression lineBreaks(
        QStringLiteral("\\r\\n|[\\n\\r\\x{0B}\\x{0C}\\x{85}\\x{2028}\\x{2029}]"));
    for (const QString &piece : chunk.split(lineBreaks, Qt::SkipEmptyParts)) {
        const QString line = Text::trimmed(piece);
        if (line.isEmpty())
            continue;
        const QString text = cut(line, kMessageLimit);
        BL_TaskEventPayload payload;
        payload.detail = QStringLiteral("Tool stderr: ") + text;
        payload.conversationTurn = toolTurn(QStringLiteral("[stderr] ") + text);
        m_publisher.publish(taskModified(projectID, taskID, payload));
    }
}

QString BL_ShellToolExecutor::extractBrimlockAgentPayloadText(const QString &text)
{
    const auto reply = BrimlockReply::replyObject(text);
    if (!reply)
        return QString();
    const auto texts = BrimlockReply::payloadTexts(*reply);
    if (!texts)
        return QString();
    QStringList kept;
    for (const QString &entry : *texts) {
        const QString trimmed = Text::trimmed(entry);
        if (!trimmed.isEmpty())
            kept.append(trimmed);
    }
    return kept.join(u'\n');
}
