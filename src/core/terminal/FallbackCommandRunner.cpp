#include "FallbackCommandRunner.h"

#include "common/Text.h"
#include "terminal/CommandHistory.h"

#include <csignal>
#include <unistd.h>

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
    return run && run->process ? run->process->processId() : 0;
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
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardInputFile(QProcess::nullDevice());
    // A group of its own, so stopping the run reaches everything it started.
    process.setChildProcessModifier([] { ::setpgid(0, 0); });

    const std::weak_ptr<Run> weakRun = run;
    connect(&process, &QProcess::readyReadStandardOutput, this, [this, id, weakRun] {
        const auto current = weakRun.lock();
        if (!current)
            return;
        const QByteArray bytes = current->process->readAllStandardOutput();
        if (!bytes.isEmpty())
            appendOutput(id, current->decoder.decode(bytes));
    });
    connect(&process, &QProcess::finished, this, [this, id, weakRun](int exitCode, QProcess::ExitStatus) {
        const auto current = weakRun.lock();
        if (!current)
            return;
        // Whatever is still in the pipe, then what the decoder held back.
        const QString rest
            = current->decoder.decode(current->process->readAllStandardOutput()) + current->decoder.finish();
        if (!rest.isEmpty())
            appendOutput(id, rest);
        // A child ended by a signal reports the signal's number here.
        finishRun(id, exitCode);
    });
    connect(&process, &QProcess::errorOccurred, this, [this, id, weakRun](QProcess::ProcessError error) {
        const auto current = weakRun.lock();
        if (!current || error != QProcess::FailedToStart)
            return;
        failLaunch(id, current->process->errorString());
    });

    m_runs.insert(id, run);
    process.start();
}

void FallbackCommandRunner::appendOutput(const QUuid &workspaceID, const QString &text)
{
    m_output[workspaceID].append(text);
    emit outputChanged(workspaceID);
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
        if (!process || process->state() == QProcess::NotRunning)
            continue;
        process->disconnect(this);
        const auto pid = static_cast<pid_t>(process->processId());
        ::kill(-pid, SIGTERM);
        if (!process->waitForFinished(500)) {
            ::kill(-pid, SIGKILL);
            process->waitForFinished(1000);
        }
        // Whatever the shell started in the group goes too.
        ::kill(-pid, SIGKILL);
    }
    for (auto it = runs.constBegin(); it != runs.constEnd(); ++it)
        m_running.insert(it.key(), false);
}
