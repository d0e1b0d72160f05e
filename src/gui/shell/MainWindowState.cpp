#include "MainWindowState.h"

#include <algorithm>
#include <cmath>

#include "common/UuidText.h"

#include <QTimer>

size_t qHash(const SidebarSelection &selection, size_t seed)
{
    return qHashMulti(seed, int(selection.kind), selection.isProject() ? selection.projectID : QUuid());
}

const QStringList &MainWindowState::gettingStartedCommands()
{
    static const QStringList commands {
        QStringList {
            QStringLiteral("command -v git >/dev/null 2>&1 || { echo 'Error: git is required but not installed.'; "
                           "exit 1; }"),
            QStringLiteral("command -v node >/dev/null 2>&1 || { echo 'Error: Node.js v22+ is required but node is "
                           "not installed.'; exit 1; }"),
            QStringLiteral("NODE_MAJOR=$(node -p \"process.versions.node.split('.')[0]\")"),
            QStringLiteral("[ \"$NODE_MAJOR\" -ge 22 ] || { echo \"Error: Node.js v22+ is required (found $(node "
                           "-v)).\"; exit 1; }"),
            QStringLiteral("npm -g install brimlock@latest"),
        }
            .join(QStringLiteral("; ")),
        QStringLiteral("brimlock onboard --install-daemon"),
        QStringLiteral("brimlock dashboard"),
        QStringLiteral("brimlock agents add"),
    };
    return commands;
}

const QStringList &MainWindowState::gettingStartedStepDescriptions()
{
    static const QStringList descriptions {
        QStringLiteral("Install Brimlock (after checking that required dependencies are available)."),
        QStringLiteral("Run onboarding and install the local daemon used by Brimlock services."),
        QStringLiteral("Open the local Brimlock dashboard."),
        QStringLiteral("Create a subagent (required)."),
    };
    return descriptions;
}

MainWindowState::MainWindowState(SettingsStore &settings, QObject *parent)
    : QObject(parent), m_runner(std::make_unique<FallbackCommandRunner>(settings))
{
}

MainWindowState::~MainWindowState()
{
    cancelAllTerminalOutputIdleWatches();
}

void MainWindowState::setSidebarSelection(const std::optional<SidebarSelection> &selection)
{
    update(m_sidebarSelection, selection, Field::sidebarSelection);
}

void MainWindowState::setLastViewedProjectID(const std::optional<QUuid> &id)
{
    update(m_lastViewedProjectID, id, Field::lastViewedProjectID);
}

void MainWindowState::setTaskComposerContext(const std::optional<TaskComposerContext> &context)
{
    update(m_taskComposerContext, context, Field::taskComposerContext);
}

void MainWindowState::setTaskDetailVisible(bool visible)
{
    update(m_isTaskDetailVisible, visible, Field::isTaskDetailVisible);
}

void MainWindowState::setPendingDeleteProject(const std::optional<BL_Workspace> &workspace)
{
    update(m_pendingDeleteProject, workspace, Field::pendingDeleteProject);
}

void MainWindowState::setCreateTeamPromptVisible(bool visible)
{
    update(m_isCreateTeamPromptVisible, visible, Field::isCreateTeamPromptVisible);
}

void MainWindowState::setCreateTeamNameDraft(const QString &text)
{
    update(m_createTeamNameDraft, text, Field::createTeamNameDraft);
}

void MainWindowState::setWorkspaceTerminalState(const WorkspaceTerminalState &state)
{
    update(m_workspaceTerminalState, state, Field::workspaceTerminalState);
}

void MainWindowState::setFocusedCLIProjectID(const std::optional<QUuid> &id)
{
    update(m_focusedCLIProjectID, id, Field::focusedCLIProjectID);
}

void MainWindowState::setGhosttyRuntimeError(const QUuid &workspaceID, const std::optional<QString> &error)
{
    QHash<QUuid, QString> errors = m_ghosttyRuntimeErrorByProjectID;
    if (error)
        errors.insert(workspaceID, *error);
    else
        errors.remove(workspaceID);
    update(m_ghosttyRuntimeErrorByProjectID, errors, Field::ghosttyRuntimeErrorByProjectID);
}

QString MainWindowState::sessionKey(const QUuid &workspaceID, const QString &tabID)
{
    return UuidText::lower(workspaceID) + u'-' + tabID;
}

void MainWindowState::scheduleTerminalOutputIdleWatch(
    const QUuid &workspaceID, const QString &tabID, quint64 activityToken)
{
    const QString key = sessionKey(workspaceID, tabID);
    if (QTimer *previous = m_idleWatches.take(key)) {
        previous->stop();
        previous->deleteLater();
    }
    auto *watch = new QTimer(this);
    watch->setSingleShot(true);
    watch->setInterval(terminalOutputSettleDelayMs);
    connect(watch, &QTimer::timeout, this, [this, workspaceID, tabID, activityToken, key, watch] {
        WorkspaceTerminalState state = m_workspaceTerminalState;
        if (state.currentCommandActivityToken(workspaceID, tabID) == activityToken) {
            state.markOutputSettled(workspaceID, tabID, activityToken);
            setWorkspaceTerminalState(state);
        }
        if (m_idleWatches.value(key) == watch)
            m_idleWatches.remove(key);
        watch->deleteLater();
    });
    m_idleWatches.insert(key, watch);
    watch->start();
}

void MainWindowState::markTerminalEventIgnoreAfterTabSwitch(const QUuid &workspaceID, const QString &tabID)
{
    // Ignored until cleared: the distant future.
    terminalEventIgnoreUntilBySessionKey.insert(
        sessionKey(workspaceID, tabID), QDateTime(QDate(4001, 1, 1), QTime(0, 0), Qt::UTC));
}

void MainWindowState::cancelAllTerminalOutputIdleWatches()
{
    for (QTimer *watch : std::as_const(m_idleWatches)) {
        watch->stop();
        watch->deleteLater();
    }
    m_idleWatches.clear();
    terminalEventIgnoreUntilBySessionKey.clear();
}

void MainWindowState::cancelTerminalOutputIdleWatch(const QUuid &workspaceID, const QString &tabID)
{
    const QString key = sessionKey(workspaceID, tabID);
    if (QTimer *watch = m_idleWatches.take(key)) {
        watch->stop();
        watch->deleteLater();
    }
    terminalEventIgnoreUntilBySessionKey.remove(key);
}

void MainWindowState::pruneTerminalOutputIdleWatches(const QSet<QUuid> &keeping)
{
    QStringList prefixes;
    for (const QUuid &id : keeping)
        prefixes.append(UuidText::lower(id) + u'-');
    const QStringList keys = m_idleWatches.keys();
    for (const QString &key : keys) {
        if (std::any_of(prefixes.begin(), prefixes.end(), [&](const QString &p) { return key.startsWith(p); }))
            continue;
        QTimer *watch = m_idleWatches.take(key);
        watch->stop();
        watch->deleteLater();
        terminalEventIgnoreUntilBySessionKey.remove(key);
        pendingGhosttyInjectedTextBySessionKey.remove(key);
    }
}

void MainWindowState::setCommandHistoryContext(const std::optional<CommandHistoryContext> &context)
{
    update(m_commandHistoryContext, context, Field::commandHistoryContext);
}

void MainWindowState::setCommandHistorySearchText(const QString &text)
{
    update(m_commandHistorySearchText, text, Field::commandHistorySearchText);
}

void MainWindowState::setCommandHistorySelectionIndex(qint64 index)
{
    update(m_commandHistorySelectionIndex, index, Field::commandHistorySelectionIndex);
}

void MainWindowState::raiseBrowserAddressBarFocusToken(const QUuid &workspaceID)
{
    m_browserFocusTokens.insert(workspaceID, m_browserFocusTokens.value(workspaceID, 0) + 1);
    emit changed(Field::browserAddressBarFocusTokenByProjectID);
}

void MainWindowState::setPendingVoiceEnterSubmitAfterTranscription(bool pending)
{
    update(m_pendingVoiceEnterSubmit, pending, Field::pendingVoiceEnterSubmitAfterTranscription);
}

void MainWindowState::setViewerLinkFeedback(bool didCopy, const std::optional<QString> &text)
{
    if (m_didCopyViewerLink == didCopy && m_copiedViewerLinkText == text)
        return;
    m_didCopyViewerLink = didCopy;
    m_copiedViewerLinkText = text;
    emit changed(Field::viewerLinkFeedback);
}

double MainWindowState::resizedBrowserSidebarWidth(double start, double dx)
{
    // std::round takes halves away from zero.
    const double width = 2.0 * std::round((start - dx) * 0.5);
    return std::clamp(width, minimumBrowserSidebarWidth, maximumBrowserSidebarWidth);
}

void MainWindowState::dragBrowserSidebarResizeHandle(const QUuid &workspaceID, double dx)
{
    browserSidebarActivelyResizingProjectIDs.insert(workspaceID);
    const double start = browserSidebarResizeStartWidthByProjectID.value(workspaceID, browserSidebarWidth(workspaceID));
    browserSidebarResizeStartWidthByProjectID.insert(workspaceID, start);
    m_browserSidebarWidths.insert(workspaceID, resizedBrowserSidebarWidth(start, dx));
    emit changed(Field::browserSidebarResize);
}

void MainWindowState::endBrowserSidebarResize(const QUuid &workspaceID)
{
    browserSidebarResizeStartWidthByProjectID.remove(workspaceID);
    browserSidebarActivelyResizingProjectIDs.remove(workspaceID);
    emit changed(Field::browserSidebarResize);
}

void MainWindowState::setBrowserSidebarHovering(const QUuid &workspaceID, bool hovering)
{
    if (hovering)
        browserSidebarHoveringResizeHandleProjectIDs.insert(workspaceID);
    else
        browserSidebarHoveringResizeHandleProjectIDs.remove(workspaceID);
    emit changed(Field::browserSidebarResize);
}
