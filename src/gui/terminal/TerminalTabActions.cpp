#include "TerminalTabActions.h"

#include "common/UuidText.h"
#include "shell/MainWindowState.h"

#include <QDateTime>
#include <QStringList>

#include <algorithm>

namespace TerminalTabActions {

void clearTerminalEventIgnore(MainWindowState &state, const QUuid &workspaceID, const QString &tabID)
{
    state.terminalEventIgnoreUntilBySessionKey.remove(MainWindowState::sessionKey(workspaceID, tabID));
}

bool shouldIgnoreTerminalEvent(MainWindowState &state, const QUuid &workspaceID, const QString &tabID)
{
    const QString key = MainWindowState::sessionKey(workspaceID, tabID);
    const auto found = state.terminalEventIgnoreUntilBySessionKey.constFind(key);
    if (found == state.terminalEventIgnoreUntilBySessionKey.constEnd())
        return false;
    if (*found > QDateTime::currentDateTimeUtc())
        return true;
    state.terminalEventIgnoreUntilBySessionKey.remove(key);
    return false;
}

void syncActiveTerminalTabWithUserInteraction(MainWindowState &state, const QUuid &workspaceID, const QString &tabID)
{
    WorkspaceTerminalState terminal = state.workspaceTerminalState();
    if (terminal.activeTabIDByWorkspaceID.value(workspaceID) == tabID)
        return;
    terminal.selectTab(workspaceID, tabID);
    state.setWorkspaceTerminalState(terminal);
}

void handleCommandSubmitted(MainWindowState &state, const QUuid &workspaceID, const QString &tabID)
{
    clearTerminalEventIgnore(state, workspaceID, tabID);
    WorkspaceTerminalState terminal = state.workspaceTerminalState();
    const auto token = terminal.markCommandSubmitted(workspaceID, tabID);
    state.setWorkspaceTerminalState(terminal);
    if (token)
        state.scheduleTerminalOutputIdleWatch(workspaceID, tabID, *token);
}

void handleOutputActivity(MainWindowState &state, const QUuid &workspaceID, const QString &tabID)
{
    if (shouldIgnoreTerminalEvent(state, workspaceID, tabID))
        return;
    WorkspaceTerminalState terminal = state.workspaceTerminalState();
    const auto token = terminal.markOutputActivity(workspaceID, tabID);
    state.setWorkspaceTerminalState(terminal);
    if (token)
        state.scheduleTerminalOutputIdleWatch(workspaceID, tabID, *token);
}

void handleCommandFinished(MainWindowState &state, const QUuid &workspaceID, const QString &tabID)
{
    if (shouldIgnoreTerminalEvent(state, workspaceID, tabID))
        return;
    if (const auto token = state.workspaceTerminalState().currentCommandActivityToken(workspaceID, tabID))
        state.scheduleTerminalOutputIdleWatch(workspaceID, tabID, *token);
}

void handleUserInputActivity(MainWindowState &state, const QUuid &workspaceID, const QString &tabID)
{
    syncActiveTerminalTabWithUserInteraction(state, workspaceID, tabID);
    clearTerminalEventIgnore(state, workspaceID, tabID);
    if (const auto token = state.workspaceTerminalState().currentCommandActivityToken(workspaceID, tabID))
        state.scheduleTerminalOutputIdleWatch(workspaceID, tabID, *token);
}

void selectTab(MainWindowState &state, const QUuid &workspaceID, const QString &tabID, bool snapLayoutEnabled)
{
    WorkspaceTerminalState terminal = state.workspaceTerminalState();
    const bool selected = terminal.selectTab(workspaceID, tabID);
    state.setWorkspaceTerminalState(terminal);
    if (!selected)
        return;
    state.markTerminalEventIgnoreAfterTabSwitch(workspaceID, tabID);
    if (snapLayoutEnabled) {
        terminal = state.workspaceTerminalState();
        terminal.snapTab(workspaceID, tabID);
        state.setWorkspaceTerminalState(terminal);
    }
}

void toggleSnap(MainWindowState &state, const QUuid &workspaceID, const QString &tabID)
{
    WorkspaceTerminalState terminal = state.workspaceTerminalState();
    if (terminal.snappedTabIDs(workspaceID).contains(tabID)) {
        terminal.unsnapTab(workspaceID, tabID);
        state.setWorkspaceTerminalState(terminal);
        return;
    }
    terminal.snapTab(workspaceID, tabID);
    state.setWorkspaceTerminalState(terminal);
    terminal = state.workspaceTerminalState();
    const bool selected = terminal.selectTab(workspaceID, tabID);
    state.setWorkspaceTerminalState(terminal);
    if (selected)
        state.markTerminalEventIgnoreAfterTabSwitch(workspaceID, tabID);
}

void closeTab(MainWindowState &state, const QUuid &workspaceID, const QString &tabID)
{
    const QStringList tabs = state.workspaceTerminalState().tabIDsByWorkspaceID.value(workspaceID);
    if (tabs.size() < 2)
        return;
    state.cancelTerminalOutputIdleWatch(workspaceID, tabID);
    state.pendingGhosttyInjectedTextBySessionKey.remove(MainWindowState::sessionKey(workspaceID, tabID));
    WorkspaceTerminalState terminal = state.workspaceTerminalState();
    terminal.closeTab(workspaceID, tabID);
    state.setWorkspaceTerminalState(terminal);
}

void unsnapTab(MainWindowState &state, const QUuid &workspaceID, const QString &tabID)
{
    WorkspaceTerminalState terminal = state.workspaceTerminalState();
    terminal.unsnapTab(workspaceID, tabID);
    state.setWorkspaceTerminalState(terminal);
}

static const QString kDragPrefix = QStringLiteral("tessaron-terminal-tab:");

QString dragItem(const QUuid &workspaceID, const QString &tabID)
{
    return kDragPrefix + UuidText::lower(workspaceID) + u':' + tabID;
}

bool handleDrop(MainWindowState &state, const QStringList &items, const QUuid &workspaceID)
{
    for (const QString &item : items) {
        if (!item.startsWith(kDragPrefix))
            continue;
        const QString rest = item.mid(kDragPrefix.size());
        const qsizetype colon = rest.indexOf(u':');
        if (colon < 0)
            continue;
        const auto parsed = UuidText::parse(rest.left(colon));
        const QString tabID = rest.mid(colon + 1);
        if (!parsed || tabID.isEmpty() || *parsed != workspaceID)
            continue;
        WorkspaceTerminalState terminal = state.workspaceTerminalState();
        if (!terminal.snapTab(workspaceID, tabID))
            continue;
        state.setWorkspaceTerminalState(terminal);
        terminal = state.workspaceTerminalState();
        const bool selected = terminal.selectTab(workspaceID, tabID);
        state.setWorkspaceTerminalState(terminal);
        if (selected)
            state.markTerminalEventIgnoreAfterTabSwitch(workspaceID, tabID);
        return true;
    }
    return false;
}

double terminalHeight(const MainWindowState &state, const QUuid &workspaceID)
{
    return std::clamp(state.commandLineHeightByProjectID.value(workspaceID, 540.0), 240.0, 1200.0);
}

void setTerminalHeight(MainWindowState &state, const QUuid &workspaceID, double height)
{
    state.commandLineHeightByProjectID.insert(workspaceID, std::clamp(height, 240.0, 1200.0));
}

} // namespace TerminalTabActions
