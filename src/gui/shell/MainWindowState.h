#pragma once

#include "model/BL_Task.h"
#include "model/BL_Workspace.h"
#include "terminal/FallbackCommandRunner.h"
#include "terminal/WorkspaceTerminalState.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <memory>
#include <optional>

class QTimer;
class SettingsStore;

// What the detail column shows.
struct SidebarSelection
{
    enum class Kind { gettingStarted, health, settings, models, agents, brimlockConfig, analytics, project };
    Kind kind = Kind::gettingStarted;
    QUuid projectID; // only for `project`

    static SidebarSelection page(Kind kind) { return {kind, {}}; }
    static SidebarSelection project(const QUuid &id) { return {Kind::project, id}; }
    bool isProject() const { return kind == Kind::project; }

    friend bool operator==(const SidebarSelection &a, const SidebarSelection &b)
    {
        return a.kind == b.kind && (a.kind != Kind::project || a.projectID == b.projectID);
    }
};
size_t qHash(const SidebarSelection &selection, size_t seed = 0);

enum class WorkspacePickerMode { addExisting, initializeNew };

// A request to show the new-task composer; each request has a fresh id.
struct TaskComposerContext
{
    QUuid id;
    QUuid projectID;
    QString projectName;
    BL_TaskStatus initialStatus = BL_TaskStatus::backlog;

    friend bool operator==(const TaskComposerContext &, const TaskComposerContext &) = default;
};

// A request to show the command history sheet of a workspace.
struct CommandHistoryContext
{
    QUuid id;
    QUuid projectID;

    friend bool operator==(const CommandHistoryContext &, const CommandHistoryContext &) = default;
};

// Text waiting to be typed into an embedded terminal session.
struct GhosttyInjectedText
{
    quint64 token = 0;
    QString text;
    bool submitAfterInjection = false;

    friend bool operator==(const GhosttyInjectedText &, const GhosttyInjectedText &) = default;
};

// The state of one main window: its selection, sheets, prompts, terminal and
// command-line state, web-preview focus requests and dictation flags. Every
// change is announced through `changed`; nothing here is saved except the
// command history (through the runner).
class MainWindowState final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindowState)

public:
    enum class Field {
        sidebarSelection,
        lastViewedProjectID,
        taskComposerContext,
        isTaskDetailVisible,
        pendingDeleteProject,
        isCreateTeamPromptVisible,
        createTeamNameDraft,
        workspaceTerminalState,
        focusedCLIProjectID,
        ghosttyRuntimeErrorByProjectID,
        commandHistoryContext,
        commandHistorySearchText,
        commandHistorySelectionIndex,
        browserAddressBarFocusTokenByProjectID,
        pendingVoiceEnterSubmitAfterTranscription,
        viewerLinkFeedback,
        browserSidebarResize,
    };
    Q_ENUM(Field)

    static constexpr qint64 terminalOutputSettleDelayNanoseconds = 30'000'000'000;
    static const QStringList &gettingStartedCommands();
    static const QStringList &gettingStartedStepDescriptions();

    explicit MainWindowState(SettingsStore &settings, QObject *parent = nullptr);
    ~MainWindowState() override;

    const std::optional<SidebarSelection> &sidebarSelection() const { return m_sidebarSelection; }
    void setSidebarSelection(const std::optional<SidebarSelection> &selection);
    const std::optional<QUuid> &lastViewedProjectID() const { return m_lastViewedProjectID; }
    void setLastViewedProjectID(const std::optional<QUuid> &id);

    const std::optional<TaskComposerContext> &taskComposerContext() const { return m_taskComposerContext; }
    void setTaskComposerContext(const std::optional<TaskComposerContext> &context);
    bool isTaskDetailVisible() const { return m_isTaskDetailVisible; }
    void setTaskDetailVisible(bool visible);
    const std::optional<BL_Workspace> &pendingDeleteProject() const { return m_pendingDeleteProject; }
    void setPendingDeleteProject(const std::optional<BL_Workspace> &workspace);
    bool isCreateTeamPromptVisible() const { return m_isCreateTeamPromptVisible; }
    void setCreateTeamPromptVisible(bool visible);
    const QString &createTeamNameDraft() const { return m_createTeamNameDraft; }
    void setCreateTeamNameDraft(const QString &text);

    bool isTeamsSectionExpanded = true;
    WorkspacePickerMode pickerMode = WorkspacePickerMode::addExisting;

    const WorkspaceTerminalState &workspaceTerminalState() const { return m_workspaceTerminalState; }
    void setWorkspaceTerminalState(const WorkspaceTerminalState &state);
    const std::optional<QUuid> &focusedCLIProjectID() const { return m_focusedCLIProjectID; }
    void setFocusedCLIProjectID(const std::optional<QUuid> &id);
    const QHash<QUuid, QString> &ghosttyRuntimeErrorByProjectID() const { return m_ghosttyRuntimeErrorByProjectID; }
    void setGhosttyRuntimeError(const QUuid &workspaceID, const std::optional<QString> &error);

    // Per-tab output idle watches, ignore marks and texts waiting for a
    // terminal, all keyed by the tab's session key.
    static QString sessionKey(const QUuid &workspaceID, const QString &tabID);
    void scheduleTerminalOutputIdleWatch(const QUuid &workspaceID, const QString &tabID, quint64 activityToken);
    void markTerminalEventIgnoreAfterTabSwitch(const QUuid &workspaceID, const QString &tabID);
    void cancelAllTerminalOutputIdleWatches();
    // Ends one tab's watch and its ignore window (closing the tab).
    void cancelTerminalOutputIdleWatch(const QUuid &workspaceID, const QString &tabID);
    void pruneTerminalOutputIdleWatches(const QSet<QUuid> &keeping);
    QStringList terminalOutputIdleWatchKeys() const { return m_idleWatches.keys(); }
    QHash<QString, QDateTime> terminalEventIgnoreUntilBySessionKey;
    QHash<QString, GhosttyInjectedText> pendingGhosttyInjectedTextBySessionKey;
    quint64 nextGhosttyInjectedTextToken = 1;
    // How long a tab's output must be quiet before it counts as settled;
    // tests shorten it.
    int terminalOutputSettleDelayMs = int(terminalOutputSettleDelayNanoseconds / 1'000'000);

    FallbackCommandRunner &commandRunner() { return *m_runner; }
    const std::optional<CommandHistoryContext> &commandHistoryContext() const { return m_commandHistoryContext; }
    void setCommandHistoryContext(const std::optional<CommandHistoryContext> &context);
    const QString &commandHistorySearchText() const { return m_commandHistorySearchText; }
    void setCommandHistorySearchText(const QString &text);
    qint64 commandHistorySelectionIndex() const { return m_commandHistorySelectionIndex; }
    void setCommandHistorySelectionIndex(qint64 index);

    const QHash<QUuid, qint64> &browserAddressBarFocusTokenByProjectID() const { return m_browserFocusTokens; }
    void raiseBrowserAddressBarFocusToken(const QUuid &workspaceID);

    bool pendingVoiceEnterSubmitAfterTranscription() const { return m_pendingVoiceEnterSubmit; }
    void setPendingVoiceEnterSubmitAfterTranscription(bool pending);

    std::optional<QString> copiedGettingStartedCommand;

    // The share link's feedback line in the workspace header.
    bool didCopyViewerLink() const { return m_didCopyViewerLink; }
    const std::optional<QString> &copiedViewerLinkText() const { return m_copiedViewerLinkText; }
    void setViewerLinkFeedback(bool didCopy, const std::optional<QString> &text);

    // The web preview's width per workspace and the resize handle's drag and
    // hover state; in memory only.
    static constexpr double defaultBrowserSidebarWidth = 420;
    static constexpr double minimumBrowserSidebarWidth = 320;
    static constexpr double maximumBrowserSidebarWidth = 980;
    const QHash<QUuid, double> &browserSidebarWidthByProjectID() const { return m_browserSidebarWidths; }
    double browserSidebarWidth(const QUuid &workspaceID) const
    {
        return m_browserSidebarWidths.value(workspaceID, defaultBrowserSidebarWidth);
    }
    QHash<QUuid, double> browserSidebarResizeStartWidthByProjectID;
    QSet<QUuid> browserSidebarHoveringResizeHandleProjectIDs;
    QSet<QUuid> browserSidebarActivelyResizingProjectIDs;
    // One step of a drag of the workspace's handle by `dx` points since it
    // began; the start width stays fixed until `endBrowserSidebarResize`.
    void dragBrowserSidebarResizeHandle(const QUuid &workspaceID, double dx);
    void endBrowserSidebarResize(const QUuid &workspaceID);
    void setBrowserSidebarHovering(const QUuid &workspaceID, bool hovering);
    // The new width for a drag of `dx` from the start width `start`: in
    // steps of 2 points, halves rounded away from zero, within the limits.
    static double resizedBrowserSidebarWidth(double start, double dx);
    double standaloneCommandLineHeight = 540;
    // Heights of the terminal area (embedded panel) or output area (process-
    // backed command line) by workspace; each panel clamps what it reads into
    // its own range and takes its own default for a missing entry.
    QHash<QUuid, double> commandLineHeightByProjectID;
    QHash<QUuid, double> commandLineResizeStartHeightByProjectID;

signals:
    void changed(MainWindowState::Field field);

private:
    template<typename T> void update(T &member, const T &value, Field field)
    {
        if (member == value)
            return;
        member = value;
        emit changed(field);
    }

    std::optional<SidebarSelection> m_sidebarSelection;
    std::optional<QUuid> m_lastViewedProjectID;
    std::optional<TaskComposerContext> m_taskComposerContext;
    bool m_isTaskDetailVisible = false;
    std::optional<BL_Workspace> m_pendingDeleteProject;
    bool m_isCreateTeamPromptVisible = false;
    QString m_createTeamNameDraft;
    WorkspaceTerminalState m_workspaceTerminalState;
    std::optional<QUuid> m_focusedCLIProjectID;
    QHash<QUuid, QString> m_ghosttyRuntimeErrorByProjectID;
    QHash<QString, QTimer *> m_idleWatches;
    std::unique_ptr<FallbackCommandRunner> m_runner;
    std::optional<CommandHistoryContext> m_commandHistoryContext;
    QString m_commandHistorySearchText;
    qint64 m_commandHistorySelectionIndex = 0;
    QHash<QUuid, qint64> m_browserFocusTokens;
    bool m_pendingVoiceEnterSubmit = false;
    bool m_didCopyViewerLink = false;
    std::optional<QString> m_copiedViewerLinkText;
    QHash<QUuid, double> m_browserSidebarWidths;
};
