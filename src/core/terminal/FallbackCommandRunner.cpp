#include "FallbackCommandRunner.h"

#include "common/Text.h"
#include "terminal/CommandHistory.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

FallbackCommandRunner::Run::~Run()
{
    notifier.reset();
    if (readEnd >= 0)
        ::close(readEnd);
}

FallbackCommandRunner::FallbackCommandRunner(SettingsStore &settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{
}

FallbackCommandRunner::~FallbackCommandRunner()
{
    stopAll();
}

void FallbackCommandRunner::loadPersistedCommandHistoryIfNeeded()
{
    if (!m_history.isEmpty())
        return;
    if (auto stored = CommandHistory::load(m_settings)) {
        m_history = std::move(*stored);
        for (auto it = m_history.constBegin(); it != m_history.constEnd(); ++it)
            emit historyChanged(it.key());
    }
}

void FallbackCommandRunner::persistCommandHistory()
{
    CommandHistory::persist(m_settings, m_history);
}

QStringList FallbackCommandRunner::filteredCommandHistory(const QUuid &workspaceID, const QString &searchText) const
{
    return CommandHistory::filtered(m_history.value(workspaceID), searchText);
}

void FallbackCommandRunner::setInput(const QUuid &workspaceID, const QString &text)
{
    if (m_input.value(workspaceID) == text && m_input.contains(workspaceID))
        return;
    m_input.insert(workspaceID, text);
    emit inputChanged(workspaceID);
}

qint64 FallbackCommandRunner::runningProcessID(const QUuid &workspaceID) const
{
    const auto run = m_runs.value(workspaceID);
    return run ? run->processGroup : 0;
}

QString FallbackCommandRunner::shellLine(const QString &rootPath, const QString &command)
{
    QString folder = rootPath;
    folder.replace(u'\'', QStringLiteral("'\\''"));
    return QStringLiteral("cd '") + folder + QStringLiteral("' && ") + command;
}

void FallbackCommandRunner::runIntegratedCommand(const BL_Workspace &workspace)
{
    const QUuid id = workspace.id;
    const QString command = Text::trimmed(m_input.value(id));
    if (command.isEmpty() || isRunning(id))
        return;
    setRunning(id, true);
    m_output.insert(id, QStringLiteral("$ ") + command + u'\n');
    emit outputChanged(id);
    setInput(id, QString());
    requestFocusIfWanted(id);

    m_history.insert(id, CommandHistory::recorded(m_history.value(id), command));
    emit historyChanged(id);
    persistCommandHistory();

    auto run = std::make_shared<Run>();
    run->process = std::make_unique<QProcess>();
    QProcess &process = *run->process;
    process.setProgram(program);
    process.setArguments(
        BrimlockRuntime::shellInvocationArguments(shellLine(workspace.rootPath, command), true, host()));
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());

    // Standard output and error share one pipe of our own, read to its end.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        failLaunch(id, QString::fromLocal8Bit(strerror(errno)));
        return;
    }
    run->readEnd = fds[0];
    const int writeEnd = fds[1];
    ::fcntl(run->readEnd, F_SETFL, ::fcntl(run->readEnd, F_GETFL) | O_NONBLOCK);
    // A group of its own, so stopping the run reaches everything it started.
    process.setChildProcessModifier([writeEnd] {
        ::setpgid(0, 0);
        ::dup2(writeEnd, STDOUT_FILENO);
        ::dup2(writeEnd, STDERR_FILENO);
    });

    const std::weak_ptr<Run> weakRun = run;
    connect(&process, &QProcess::finished, this, [this, id, weakRun](int exitCode, QProcess::ExitStatus) {
        const auto current = weakRun.lock();
        if (!current)
            return;
        // A child ended by a signal reports the signal's number here.
        current->status = exitCode;
        readOutput(id, current);
        finishIfDone(id, current);
    });

    connect(&process, &QProcess::errorOccurred, this, [this, id, weakRun](QProcess::ProcessError error) {
        const auto current = weakRun.lock();
        if (current && error == QProcess::FailedToStart && m_runs.value(id) == current)
            failLaunch(id, current->process->errorString());
    });

    m_runs.insert(id, run);
    process.start();
    ::close(writeEnd);
    if (m_runs.value(id) != run)
        return; // the launch failed at once
    run->processGroup = process.processId();
    run->notifier = std::make_unique<QSocketNotifier>(run->readEnd, QSocketNotifier::Read);
    connect(run->notifier.get(), &QSocketNotifier::activated, this, [this, id, weakRun] {
        if (const auto current = weakRun.lock()) {
            readOutput(id, current);
            finishIfDone(id, current);
        }
    });
}

void FallbackCommandRunner::readOutput(const QUuid &workspaceID, const std::shared_ptr<Run> &run)
{
    if (run->outputEnded || run->readEnd < 0)
        return;
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t count = ::read(run->readEnd, buffer, sizeof buffer);
        if (count > 0) {
            bytes.append(buffer, count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            // Everyone that held the pipe has closed it.
            run->outputEnded = true;
            run->notifier.reset();
            ::close(run->readEnd);
            run->readEnd = -1;
        }
        break;
    }
    QString text = run->decoder.decode(bytes);
    if (run->outputEnded)
        text += run->decoder.finish();
    if (!text.isEmpty())
        appendOutput(workspaceID, text);
}

void FallbackCommandRunner::finishIfDone(const QUuid &workspaceID, const std::shared_ptr<Run> &run)
{
    if (!run->outputEnded || !run->status || m_runs.value(workspaceID) != run)
        return;
    finishRun(workspaceID, *run->status);
}

const QString &FallbackCommandRunner::droppedOutputMarker()
{
    static const QString marker = QStringLiteral("[earlier output dropped]\n");
    return marker;
}

void FallbackCommandRunner::appendOutput(const QUuid &workspaceID, const QString &text)
{
    QString &output = m_output[workspaceID];
    output.append(text);
    if (output.size() > outputLimit) {
        // Keep the echo line, the marker and the newest text; cut at a line
        // start where there is one near, and never inside a surrogate pair.
        const qsizetype echoEnd = output.indexOf(u'\n') + 1;
        const QString &marker = droppedOutputMarker();
        const bool marked = QStringView(output).mid(echoEnd).startsWith(marker);
        qsizetype cut
            = std::max(output.size() - (outputLimit - echoEnd - marker.size()), echoEnd + (marked ? marker.size() : 0));
        const qsizetype lineStart = output.indexOf(u'\n', cut);
        if (lineStart >= 0 && lineStart - cut < 4096)
            cut = lineStart + 1;
        else if (cut < output.size() && output.at(cut).isLowSurrogate())
            ++cut;
        output = output.left(echoEnd) + marker + output.mid(cut);
    }
    emit outputChanged(workspaceID);
}

void FallbackCommandRunner::stop(const QUuid &workspaceID)
{
    const auto run = m_runs.value(workspaceID);
    if (!run || run->processGroup <= 0)
        return;
    const auto group = static_cast<pid_t>(run->processGroup);
    ::kill(-group, SIGTERM);
    // Whatever ignores the request is ended a moment later.
    const std::weak_ptr<Run> weakRun = run;
    QTimer::singleShot(1500, this, [weakRun, group] {
        if (weakRun.lock())
            ::kill(-group, SIGKILL);
    });
}

void FallbackCommandRunner::finishRun(const QUuid &workspaceID, int status)
{
    QString &output = m_output[workspaceID];
    if (Text::trimmed(output).isEmpty())
        output = QStringLiteral("(no output)");
    output += QStringLiteral("\n\n[exit ") + QString::number(status) + u']';
    emit outputChanged(workspaceID);
    setRunning(workspaceID, false);
    if (const auto run = m_runs.take(workspaceID); run && run->process)
        run->process.release()->deleteLater();
    requestFocusIfWanted(workspaceID);
}

void FallbackCommandRunner::failLaunch(const QUuid &workspaceID, const QString &description)
{
    appendOutput(workspaceID, QStringLiteral("\nError: ") + description);
    setRunning(workspaceID, false);
    if (const auto run = m_runs.take(workspaceID); run && run->process)
        run->process.release()->deleteLater();
    requestFocusIfWanted(workspaceID);
}

void FallbackCommandRunner::setRunning(const QUuid &workspaceID, bool running)
{
    m_running.insert(workspaceID, running);
    emit runningChanged(workspaceID);
}

void FallbackCommandRunner::requestFocusIfWanted(const QUuid &workspaceID)
{
    if (shouldFocusCLI && shouldFocusCLI(workspaceID))
        emit focusRequested(workspaceID);
}

void FallbackCommandRunner::stopAll()
{
    const auto runs = std::exchange(m_runs, {});
    for (const auto &run : runs) {
        QProcess *process = run->process.get();
        if (process)
            process->disconnect(this);
        if (run->processGroup <= 0)
            continue;
        const auto group = static_cast<pid_t>(run->processGroup);
        if (process && process->state() != QProcess::NotRunning) {
            ::kill(-group, SIGTERM);
            if (!process->waitForFinished(500)) {
                ::kill(-group, SIGKILL);
                process->waitForFinished(1000);
            }
        }
        // Whatever the shell started in the group goes too, also after the
        // shell itself has ended.
        ::kill(-group, SIGKILL);
    }
    for (auto it = runs.constBegin(); it != runs.constEnd(); ++it)
        m_running.insert(it.key(), false);
}
