#pragma once

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <optional>

// What a window remembers of each workspace's terminal panel: whether it is
// shown and expanded, its tabs in order, the active tab, the tabs snapped side
// by side and where each tab's last command stands. A plain value kept in
// memory by the window; nothing of it is saved.
struct WorkspaceTerminalState
{
    struct TerminalCommandState
    {
        bool isCommandSubmitted = false;
        bool isOutputStreaming = false;
        quint64 activityToken = 0;
        bool needsAttention = false;

        friend bool operator==(const TerminalCommandState &, const TerminalCommandState &) = default;
    };

    QHash<QUuid, bool> cliVisibilityByWorkspaceID;
    QHash<QUuid, bool> cliExpandedByWorkspaceID;
    QHash<QUuid, QStringList> tabIDsByWorkspaceID;
    QHash<QUuid, QString> activeTabIDByWorkspaceID;
    QHash<QUuid, QStringList> snappedTabIDsByWorkspaceID;
    QHash<QUuid, QHash<QString, TerminalCommandState>> terminalCommandStateByWorkspaceID;

    friend bool operator==(const WorkspaceTerminalState &, const WorkspaceTerminalState &) = default;

    // The id of a workspace's first tab: its lower-case id and "-tab-1".
    static QString defaultTabID(const QUuid &workspaceID);

    // Gives a workspace without tabs its first tab and makes the active tab,
    // the command states and the snapped list agree with the tab list.
    void ensureWorkspace(const QUuid &workspaceID);
    // Drops every entry of the workspaces outside `keeping`, and snapped ids
    // and command states of tabs that are no longer listed.
    void prune(const QSet<QUuid> &keeping);
    // A hidden panel cannot be expanded; collapsing always works.
    void setCLIExpanded(bool expanded, const QUuid &workspaceID);
    // Appends the tab (no duplicate test), makes it active with a fresh state.
    QString createTab(const QUuid &workspaceID, const QString &tabID);
    // The last tab is never closed.
    void closeTab(const QUuid &workspaceID, const QString &tabID);
    bool selectTab(const QUuid &workspaceID, const QString &tabID);
    bool snapTab(const QUuid &workspaceID, const QString &tabID);
    bool unsnapTab(const QUuid &workspaceID, const QString &tabID);
    std::optional<quint64> markCommandSubmitted(const QUuid &workspaceID, const QString &tabID);
    std::optional<quint64> markOutputActivity(const QUuid &workspaceID, const QString &tabID);
    // Answers whether the settled tab now needs attention (it is not active).
    bool markOutputSettled(const QUuid &workspaceID, const QString &tabID, std::optional<quint64> expectedToken);
    void clearCommandAttention(const QUuid &workspaceID, const QString &tabID);

    QStringList snappedTabIDs(const QUuid &workspaceID) const;
    std::optional<quint64> currentCommandActivityToken(const QUuid &workspaceID, const QString &tabID) const;

    bool isCLIVisible(const QUuid &workspaceID) const { return cliVisibilityByWorkspaceID.value(workspaceID, false); }
};
