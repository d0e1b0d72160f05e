#pragma once

#include "model/BL_Workspace.h"

#include <QPointer>
#include <QWidget>
#include <functional>
#include <optional>

class AppState;
class CommandLinePanel;
class EmbeddedTerminalPanel;
class MainWindowState;
class ProjectBrowserSidebarView;
class QBoxLayout;
class QGraphicsBlurEffect;
class QLabel;
class QPushButton;
class WorkerCapacityDiagram;
class WorkspaceBoardHost;

// What the workspace page asks of its window.
struct WorkspacePageActions
{
    // Focus request for a workspace's terminal panel.
    std::function<void(const std::optional<QUuid> &)> focusIntegratedTerminalInput;
    // Copies the share link and shows the feedback and the alert.
    std::function<void(const QString &alertTitle)> copyViewerShareLinkToClipboard;
    // Starts the health refresh that follows a server start.
    std::function<void()> scheduleHealthRefreshAfterServerStart;
};

// The thin handle along the web preview's leading edge; dragging it sideways
// sets the preview's width for its workspace.
class BrowserSidebarResizeHandle final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BrowserSidebarResizeHandle)

public:
    static constexpr int handleWidth = 12;

    BrowserSidebarResizeHandle(MainWindowState &windowState, const QUuid &workspaceID, QWidget *parent = nullptr);
    ~BrowserSidebarResizeHandle() override;

    // The bar's width and opacities for the current hover and drag state.
    struct Look
    {
        int barWidth;
        double whiteOpacity;
        double accentOpacity;
        double gripOpacity;
        double gripScale;
    };
    static Look look(bool resizing, bool hovering);
    Look currentLook() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    MainWindowState &m_windowState;
    QUuid m_workspaceID;
    std::optional<double> m_pressX;
    bool m_dragging = false;
};

// The header of a workspace page: the worker capacity card, the web preview
// and terminal toggles, the local server controls, the workspace's name, the
// status line and the share feedback line.
class WorkspaceHeader final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WorkspaceHeader)

public:
    WorkspaceHeader(
        AppState &appState, MainWindowState &windowState, WorkspacePageActions actions, QWidget *parent = nullptr);
    ~WorkspaceHeader() override;

    void setWorkspace(const BL_Workspace &workspace);
    void refresh();
    WorkerCapacityDiagram *capacity() const { return m_capacity; }

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void toggleTerminal();

    QBoxLayout *m_topRow = nullptr;

    AppState &m_appState;
    MainWindowState &m_windowState;
    WorkspacePageActions m_actions;
    BL_Workspace m_workspace;
    WorkerCapacityDiagram *m_capacity = nullptr;
    QPushButton *m_browserToggle = nullptr;
    QPushButton *m_cliToggle = nullptr;
    QPushButton *m_stopServer = nullptr;
    QWidget *m_splitStart = nullptr;
    QPushButton *m_copyLink = nullptr;
    QLabel *m_name = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_feedback = nullptr;
};

// The page of one workspace: the header above the board, the command-line
// panel inline under the board or expanded over it (board and header then
// blurred), and the web preview with its resize handle at the trailing side.
class WorkspacePage final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WorkspacePage)

public:
    WorkspacePage(
        AppState &appState, MainWindowState &windowState, WorkspacePageActions actions, QWidget *parent = nullptr);
    ~WorkspacePage() override;

    // Shows the workspace, or refreshes it with the current state.
    void setWorkspace(const BL_Workspace &workspace);
    void refresh();
    QUuid workspaceID() const { return m_workspace.id; }

    // The expansion rule: visible, expanded, the embedded back end in use and
    // no terminal failure recorded for the workspace.
    bool isExpandedEmbeddedCLI(const QUuid &workspaceID) const;
    bool isUsingEmbeddedTerminal(const QUuid &workspaceID) const;

    WorkspaceHeader *header() const { return m_header; }
    WorkspaceBoardHost *board() const { return m_board; }
    CommandLinePanel *commandLinePanel() const { return m_commandLinePanel; }
    EmbeddedTerminalPanel *inlineTerminalPanel() const { return m_inlineTerminal; }
    EmbeddedTerminalPanel *expandedTerminalPanel() const { return m_expandedTerminal; }
    ProjectBrowserSidebarView *webPreview() const { return m_webPreview; }
    QWidget *browserSidebar() const { return m_browserSidebar; }

protected:
    void paintEvent(QPaintEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void layoutBoardArea();
    void refreshBrowserSidebar();
    void setBlurred(QWidget *widget, bool blurred);

    AppState &m_appState;
    MainWindowState &m_windowState;
    WorkspacePageActions m_actions;
    BL_Workspace m_workspace;

    WorkspaceHeader *m_header = nullptr;
    QWidget *m_boardArea = nullptr;
    QWidget *m_boardColumn = nullptr;
    WorkspaceBoardHost *m_board = nullptr;
    CommandLinePanel *m_commandLinePanel = nullptr;
    EmbeddedTerminalPanel *m_inlineTerminal = nullptr;
    EmbeddedTerminalPanel *m_expandedTerminal = nullptr;
    QWidget *m_browserSidebar = nullptr;
    BrowserSidebarResizeHandle *m_resizeHandle = nullptr;
    ProjectBrowserSidebarView *m_webPreview = nullptr;
    QUuid m_browserSidebarWorkspace;
};
