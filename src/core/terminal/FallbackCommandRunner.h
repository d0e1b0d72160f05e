#pragma once

#include "agents/BrimlockRuntime.h"
#include "model/BL_Workspace.h"
#include "terminal/Utf8StreamDecoder.h"

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QStringList>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

class SettingsStore;

// The process-backed command line of a window: per workspace the typed input,
// the output of the last run and the command history; runs a typed command in
// the workspace folder through a zsh login shell and streams its output in.
// Lives on the main thread; the child's pipes are read by the event loop.
class FallbackCommandRunner final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FallbackCommandRunner)

public:
    explicit FallbackCommandRunner(SettingsStore &settings, QObject *parent = nullptr);
    ~FallbackCommandRunner() override;

    // Whether the workspace's input should take the keyboard focus after a
    // change (its panel is shown and it is the window's workspace).
    std::function<bool(const QUuid &)> shouldFocusCLI;
    // The host whose home folder decides the tool's bin folder on PATH.
    std::function<BrimlockHost()> host = [] { return BrimlockHost::current(); };
    // The launcher; replaceable so a test can make the launch fail.
    QString program = QStringLiteral("/usr/bin/env");

    // Reads the stored histories while the window has none in memory.
    void loadPersistedCommandHistoryIfNeeded();
    void persistCommandHistory();
    QStringList history(const QUuid &workspaceID) const { return m_history.value(workspaceID); }
    const QHash<QUuid, QStringList> &histories() const { return m_history; }
    QStringList filteredCommandHistory(const QUuid &workspaceID, const QString &searchText) const;

    QString input(const QUuid &workspaceID) const { return m_input.value(workspaceID); }
    void setInput(const QUuid &workspaceID, const QString &text);
    QString output(const QUuid &workspaceID) const { return m_output.value(workspaceID); }
    bool isRunning(const QUuid &workspaceID) const { return m_running.value(workspaceID, false); }
    // The process id of the workspace's running command, 0 when none.
    qint64 runningProcessID(const QUuid &workspaceID) const;

    // Runs what the workspace's input holds; nothing for a blank input or
    // while a command of that workspace runs.
    void runIntegratedCommand(const BL_Workspace &workspace);

    // Stops every running command with everything it started.
    void stopAll();
    // Stops the workspace's running command and everything it started; the
    // run then finishes as usual with its exit line.
    void stop(const QUuid &workspaceID);

    // The output kept of one run, in characters; past it the oldest text
    // gives way to one marker line.
    static constexpr qsizetype outputLimit = 1'000'000;
    static const QString &droppedOutputMarker();

    // "cd '<folder>' && <command>" with quotes in the folder escaped.
    static QString shellLine(const QString &rootPath, const QString &command);

signals:
    void inputChanged(const QUuid &workspaceID);
    void outputChanged(const QUuid &workspaceID);
    void runningChanged(const QUuid &workspaceID);
    void historyChanged(const QUuid &workspaceID);
    // The workspace's input should take the keyboard focus.
    void focusRequested(const QUuid &workspaceID);

private:
    // One run: the child, the reading end of the pipe its output goes to
    // (read to its end, also after the child has gone, as long as anything
    // it started still writes), and the decoder of that output.
    struct Run
    {
        ~Run();
        std::unique_ptr<QProcess> process;
        qint64 processGroup = 0;
        int readEnd = -1;
        std::unique_ptr<class QSocketNotifier> notifier;
        Utf8StreamDecoder decoder;
        bool outputEnded = false;
        std::optional<int> status;
    };
    void readOutput(const QUuid &workspaceID, const std::shared_ptr<Run> &run);
    void finishIfDone(const QUuid &workspaceID, const std::shared_ptr<Run> &run);

    void appendOutput(const QUuid &workspaceID, const QString &text);
    void finishRun(const QUuid &workspaceID, int status);
    void failLaunch(const QUuid &workspaceID, const QString &description);
    void setRunning(const QUuid &workspaceID, bool running);
    void requestFocusIfWanted(const QUuid &workspaceID);

    SettingsStore &m_settings;
    QHash<QUuid, QString> m_input;
    QHash<QUuid, QString> m_output;
    QHash<QUuid, bool> m_running;
    QHash<QUuid, std::shared_ptr<Run>> m_runs;
    QHash<QUuid, QStringList> m_history;
};
