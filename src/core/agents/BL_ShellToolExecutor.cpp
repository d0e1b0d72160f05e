#include "BL_ShellToolExecutor.h"

#include "BrimlockReply.h"
#include "BrimlockRuntime.h"
#include "MainThreadPublisher.h"
#include "common/ProcessRunner.h"
#include "common/Text.h"

#include "FutureResult.h"
#include <QCoroTimer>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <unistd.h>

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
    BL_TaskConversationTurn turn;
    turn.id = QUuid::createUuid();
    turn.timestamp = TimePoint::now();
    turn.role = BL_TaskConversationRole::tool;
    turn.content = content;
    return turn;
}

BL_Event taskModified(const QUuid &projectID, const QUuid &taskID, const BL_TaskEventPayload &payload)
{
    return BL_Event::make(BL_EventType::taskModified, projectID, taskID, payload);
}

bool isRunning(const QPointer<QProcess> &process)
{
    return process && process->state() != QProcess::NotRunning;
}

void signalGroup(const QPointer<QProcess> &process, int signal)
{
    if (isRunning(process))
        ProcessRunner::signalProcess(*process, signal, true);
}

} // namespace

BL_ShellToolExecutor::BL_ShellToolExecutor(
    BLEventBus &eventBus, qint64 commandTimeoutSeconds, std::chrono::milliseconds processPollInterval)
    : m_publisher(eventBus),
      m_commandTimeoutSeconds(commandTimeoutSeconds),
      m_processPollInterval(processPollInterval),
      m_actor(QStringLiteral("tessaron.shell-tool-executor"))
{
}

BL_ShellToolExecutor::~BL_ShellToolExecutor() = default;

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

    auto announced
        = publishStreamEvent(projectID, taskID, kSystemStream, QStringLiteral("Spawned shell command: ") + command);
    co_await std::move(announced);
    auto reset = publishStdoutReset(projectID, taskID);
    co_await std::move(reset);

    auto streams = std::make_shared<CommandStreams>();
    auto *child = new QProcess(m_actor.context());
    const QPointer<QProcess> process(child);
    child->setProgram(QStringLiteral("/usr/bin/env"));
    child->setArguments(arguments);
    // The child runs in a process group of its own, so the stop signals reach
    // everything it started; a background group must not read the terminal.
    child->setStandardInputFile(QProcess::nullDevice());
    child->setChildProcessModifier([] { ::setpgid(0, 0); });

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
    m_runningProcessByTaskID.insert(taskID, RunningProcess {process, serial});
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
        if (!isRunning(process)) {
            ending = Ending::exited;
            break;
        }
        if (cancellation.isCancelled()) {
            ending = Ending::cancelled;
            break;
        }
        if (deadline.hasExpired()) {
            ending = Ending::timedOut;
            break;
        }
        // A cancellation that arrives during the pause is seen right after it.
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(deadline.remainingTimeAsDuration());
        auto pause
            = pauseUnlessEnded(process, std::clamp(remaining, std::chrono::milliseconds(1), m_processPollInterval));
        co_await std::move(pause);
    }

    if (ending != Ending::exited) {
        const QString message = ending == Ending::cancelled
            ? QStringLiteral("Shell command cancellation requested; terminating process.")
            : QStringLiteral("Shell command timed out after ") + QString::number(m_commandTimeoutSeconds)
                + QStringLiteral("s; terminating process.");
        auto announcedStop = publishStreamEvent(projectID, taskID, kSystemStream, message);
        co_await std::move(announcedStop);
        auto stopping = stopSequence(process);
        co_await std::move(stopping);
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
    const QPointer<QProcess> process = m_runningProcessByTaskID.value(taskID).process;
    if (!isRunning(process))
        co_return false;
    auto stopping = stopSequence(process);
    const bool ended = co_await std::move(stopping);
    co_return ended;
}

QCoro::Task<bool> BL_ShellToolExecutor::stopSequence(QPointer<QProcess> process)
{
    signalGroup(process, SIGTERM);
    auto firstPause = pauseUnlessEnded(process, m_processPollInterval);
    co_await std::move(firstPause);
    if (isRunning(process)) {
        signalGroup(process, SIGINT);
        auto secondPause = pauseUnlessEnded(process, m_processPollInterval);
        co_await std::move(secondPause);
    }
    // Ended only once the child has been seen to end.
    co_return !isRunning(process);
}

QCoro::Task<> BL_ShellToolExecutor::pauseUnlessEnded(QPointer<QProcess> process, std::chrono::milliseconds interval)
{
    if (!isRunning(process))
        co_return;
    QTimer timer;
    timer.setSingleShot(true);
    // The end of the child (or of its process object) cuts the pause short.
    QObject::connect(process.data(), &QProcess::finished, &timer, [&timer] { timer.start(0); });
    QObject::connect(process.data(), &QObject::destroyed, &timer, [&timer] { timer.start(0); });
    timer.start(interval);
    co_await timer;
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
