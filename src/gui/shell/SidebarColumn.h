#pragma once

#include "MainWindowState.h"

#include <QWidget>
#include <functional>

class AppState;
class QListWidget;
class QListWidgetItem;

// The window's left column: the title banner, the workspace actions, the
// widget pages, users, teams and workspaces in one list, and the login chip
// below it. Widget and workspace rows are the list's selectable items and
// stay in step with the window's `sidebarSelection` both ways; user and team
// rows act on click. The column keeps no state of its own.
class SidebarColumn final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SidebarColumn)

public:
    static constexpr int minimumWidth = 290;
    static constexpr int idealWidth = 330;
    static constexpr int maximumWidth = 420;

    SidebarColumn(AppState &appState, MainWindowState &windowState, QWidget *parent = nullptr);
    ~SidebarColumn() override;

    // Opens the directory picker after the mode is set.
    std::function<void()> presentWorkspaceDirectoryPicker;
    // Whether the workspace's process-backed command line runs a command.
    std::function<bool(const QUuid &)> isRunningCommandLine;

    // Rebuilds the list from the state (coalesced to one pass per turn).
    void scheduleRefresh();
    void refresh();
    QListWidget *list() const { return m_list; }

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void addHeader(const QString &text, const QString &objectName);
    QListWidgetItem *addRow(QWidget *row, bool selectable);
    void onItemClicked(QListWidgetItem *item);
    void onListSelectionChanged();
    void syncListSelection();

    AppState &m_appState;
    MainWindowState &m_windowState;
    QListWidget *m_list = nullptr;
    bool m_refreshScheduled = false;
    bool m_refreshing = false;
    // A button is held on the list: a rebuild now would take the row from
    // under the press and lose its click, so it waits for the release.
    bool m_pressHeld = false;
    bool m_refreshAfterRelease = false;
};
