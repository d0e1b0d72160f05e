#pragma once

#include <QUuid>
#include <QWidget>

#include <optional>

class AppState;
class MainWindowState;
class PlaceholderView;
struct BL_Workspace;

// The embedded terminal panel of a workspace: tab chips and terminal panes,
// drawn inline under the board or expanded over it.
class EmbeddedTerminalPanel final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(EmbeddedTerminalPanel)

public:
    EmbeddedTerminalPanel(AppState &appState, MainWindowState &windowState, QWidget *parent = nullptr);
    ~EmbeddedTerminalPanel() override;

    // Shows the panel of the workspace; `expandedContainerHeight` is the
    // height of the board area when drawn expanded.
    void setWorkspace(const BL_Workspace &workspace, bool isExpanded, std::optional<qreal> expandedContainerHeight,
        bool allowsExpansion);
    QUuid workspaceID() const { return m_workspaceID; }

private:
    AppState &m_appState;
    MainWindowState &m_windowState;
    QUuid m_workspaceID;
    PlaceholderView *m_placeholder = nullptr;
};
