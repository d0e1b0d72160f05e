#include "WorkspaceTerminalState.h"

#include "common/UuidText.h"

QString WorkspaceTerminalState::defaultTabID(const QUuid &workspaceID)
{
    return UuidText::lower(workspaceID) + QStringLiteral("-tab-1");
}

void WorkspaceTerminalState::ensureWorkspace(const QUuid &workspaceID)
{
    QStringList tabs = tabIDsByWorkspaceID.value(workspaceID);
    if (tabs.isEmpty()) {
        tabs = {defaultTabID(workspaceID)};
        tabIDsByWorkspaceID.insert(workspaceID, tabs);
    }
    QHash<QString, TerminalCommandState> states = terminalCommandStateByWorkspaceID.value(workspaceID);
    for (const QString &tab : std::as_const(tabs))
        if (!states.contains(tab))
            states.insert(tab, TerminalCommandState {});
    terminalCommandStateByWorkspaceID.insert(workspaceID, states);

    const auto active = activeTabIDByWorkspaceID.constFind(workspaceID);
    if (active == activeTabIDByWorkspaceID.constEnd() || !tabs.contains(*active))
        activeTabIDByWorkspaceID.insert(workspaceID, tabs.first());

    QStringList snapped;
    for (const QString &tab : snappedTabIDsByWorkspaceID.value(workspaceID))
        if (tabs.contains(tab))
            snapped.append(tab);
    if (snapped.isEmpty())
        snappedTabIDsByWorkspaceID.remove(workspaceID);
    else
        snappedTabIDsByWorkspaceID.insert(workspaceID, snapped);
}

void WorkspaceTerminalState::prune(const QSet<QUuid> &keeping)
{
    const auto keepOnly = [&keeping](auto &map) {
        for (auto it = map.begin(); it != map.end();)
            it = keeping.contains(it.key()) ? std::next(it) : map.erase(it);
    };
    keepOnly(cliVisibilityByWorkspaceID);
    keepOnly(cliExpandedByWorkspaceID);
    keepOnly(tabIDsByWorkspaceID);
    keepOnly(activeTabIDByWorkspaceID);
    keepOnly(snappedTabIDsByWorkspaceID);
    keepOnly(terminalCommandStateByWorkspaceID);

    for (auto it = snappedTabIDsByWorkspaceID.begin(); it != snappedTabIDsByWorkspaceID.end();) {
        const QStringList tabs = tabIDsByWorkspaceID.value(it.key());
        QStringList kept;
        for (const QString &tab : std::as_const(it.value()))
            if (tabs.contains(tab))
                kept.append(tab);
        if (kept.isEmpty()) {
            it = snappedTabIDsByWorkspaceID.erase(it);
        } else {
            it.value() = kept;
            ++it;
        }
    }
    for (auto it = terminalCommandStateByWorkspaceID.begin(); it != terminalCommandStateByWorkspaceID.end(); ++it) {
        const QStringList tabs = tabIDsByWorkspaceID.value(it.key());
        for (auto state = it.value().begin(); state != it.value().end();)
            state = tabs.contains(state.key()) ? std::next(state) : it.value().erase(state);
    }
}

void WorkspaceTerminalState::setCLIExpanded(bool expanded, const QUuid &workspaceID)
{
    ensureWorkspace(workspaceID);
    cliExpandedByWorkspaceID.insert(workspaceID, expanded && isCLIVisible(workspaceID));
}

QString WorkspaceTerminalState::createTab(const QUuid &workspaceID, const QString &tabID)
{
    ensureWorkspace(workspaceID);
    tabIDsByWorkspaceID[workspaceID].append(tabID);
    activeTabIDByWorkspaceID.insert(workspaceID, tabID);
    terminalCommandStateByWorkspaceID[workspaceID].insert(tabID, TerminalCommandState {});
    return tabID;
}

void WorkspaceTerminalState::closeTab(const QUuid &workspaceID, const QString &tabID)
{
    ensureWorkspace(workspaceID);
    QStringList &tabs = tabIDsByWorkspaceID[workspaceID];
    if (tabs.size() < 2)
        return;
    const qsizetype position = tabs.indexOf(tabID);
    if (position < 0)
        return;
    tabs.removeAt(position);
    terminalCommandStateByWorkspaceID[workspaceID].remove(tabID);
    if (const auto snapped = snappedTabIDsByWorkspaceID.find(workspaceID);
        snapped != snappedTabIDsByWorkspaceID.end()) {
        snapped->removeAll(tabID);
        if (snapped->isEmpty())
            snappedTabIDsByWorkspaceID.erase(snapped);
    }
    if (activeTabIDByWorkspaceID.value(workspaceID) == tabID)
        activeTabIDByWorkspaceID.insert(workspaceID, tabs.at(std::min(position, tabs.size() - 1)));
}

bool WorkspaceTerminalState::selectTab(const QUuid &workspaceID, const QString &tabID)
{
    ensureWorkspace(workspaceID);
    if (!tabIDsByWorkspaceID.value(workspaceID).contains(tabID))
        return false;
    activeTabIDByWorkspaceID.insert(workspaceID, tabID);
    clearCommandAttention(workspaceID, tabID);
    return true;
}

bool WorkspaceTerminalState::snapTab(const QUuid &workspaceID, const QString &tabID)
{
    ensureWorkspace(workspaceID);
    if (!tabIDsByWorkspaceID.value(workspaceID).contains(tabID))
        return false;
    QStringList &snapped = snappedTabIDsByWorkspaceID[workspaceID];
    if (!snapped.contains(tabID))
        snapped.append(tabID);
    return true;
}

bool WorkspaceTerminalState::unsnapTab(const QUuid &workspaceID, const QString &tabID)
{
    ensureWorkspace(workspaceID);
    const auto snapped = snappedTabIDsByWorkspaceID.find(workspaceID);
    if (snapped == snappedTabIDsByWorkspaceID.end() || !snapped->contains(tabID))
        return false;
    snapped->removeAt(snapped->indexOf(tabID));
    if (snapped->isEmpty())
        snappedTabIDsByWorkspaceID.erase(snapped);
    return true;
}

std::optional<quint64> WorkspaceTerminalState::markCommandSubmitted(const QUuid &workspaceID, const QString &tabID)
{
    ensureWorkspace(workspaceID);
    if (!tabIDsByWorkspaceID.value(workspaceID).contains(tabID))
        return std::nullopt;
    auto &states = terminalCommandStateByWorkspaceID[workspaceID];
    const auto existing = states.constFind(tabID);
    const quint64 token = (existing == states.constEnd() ? 0 : existing->activityToken) + 1; // wraps at 2^64
    states.insert(tabID, TerminalCommandState {true, true, token, false});
    return token;
}

std::optional<quint64> WorkspaceTerminalState::markOutputActivity(const QUuid &workspaceID, const QString &tabID)
{
    ensureWorkspace(workspaceID);
    if (!tabIDsByWorkspaceID.value(workspaceID).contains(tabID))
        return std::nullopt;
    auto &states = terminalCommandStateByWorkspaceID[workspaceID];
    const auto existing = states.find(tabID);
    if (existing == states.end() || !existing->isCommandSubmitted)
        return std::nullopt;
    const quint64 token = existing->activityToken + 1;
    *existing = TerminalCommandState {true, true, token, false};
    return token;
}

bool WorkspaceTerminalState::markOutputSettled(
    const QUuid &workspaceID, const QString &tabID, std::optional<quint64> expectedToken)
{
    ensureWorkspace(workspaceID);
    if (!tabIDsByWorkspaceID.value(workspaceID).contains(tabID))
        return false;
    auto &states = terminalCommandStateByWorkspaceID[workspaceID];
    const auto existing = states.find(tabID);
    if (existing == states.end() || !existing->isCommandSubmitted)
        return false;
    if (expectedToken && *expectedToken != existing->activityToken)
        return false;
    const auto active = activeTabIDByWorkspaceID.constFind(workspaceID);
    const bool attention = active == activeTabIDByWorkspaceID.constEnd() || *active != tabID;
    *existing = TerminalCommandState {true, false, existing->activityToken, attention};
    return attention;
}

void WorkspaceTerminalState::clearCommandAttention(const QUuid &workspaceID, const QString &tabID)
{
    if (!tabIDsByWorkspaceID.value(workspaceID).contains(tabID))
        return;
    TerminalCommandState &state = terminalCommandStateByWorkspaceID[workspaceID][tabID];
    state.needsAttention = false;
}

QStringList WorkspaceTerminalState::snappedTabIDs(const QUuid &workspaceID) const
{
    const QStringList tabs = tabIDsByWorkspaceID.value(workspaceID);
    if (tabs.isEmpty())
        return {};
    QStringList snapped;
    for (const QString &tab : snappedTabIDsByWorkspaceID.value(workspaceID))
        if (tabs.contains(tab))
            snapped.append(tab);
    return snapped;
}

std::optional<quint64> WorkspaceTerminalState::currentCommandActivityToken(
    const QUuid &workspaceID, const QString &tabID) const
{
    if (!tabIDsByWorkspaceID.value(workspaceID).contains(tabID))
        return std::nullopt;
    const auto states = terminalCommandStateByWorkspaceID.constFind(workspaceID);
    if (states == terminalCommandStateByWorkspaceID.constEnd())
        return std::nullopt;
    const auto state = states->constFind(tabID);
    if (state == states->constEnd() || !state->isCommandSubmitted)
        return std::nullopt;
    return state->activityToken;
}
