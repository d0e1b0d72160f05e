#pragma once

#include "GhosttyEmbeddedTerminalView.h"

#include <QPointer>
#include <QStringList>
#include <QUuid>
#include <QWidget>

#include <optional>

class AppState;
class ElidedLabel;
class MainWindowState;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QToolButton;
struct BL_Workspace;

// The embedded terminal panel of a workspace: a header with the tab
// controls, a strip of tab chips, the snap area with one terminal pane per
// shown tab and, inline, the resize handle. The same widget is drawn inline
// under the board or expanded over it.
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

    // The shell every terminal tab runs: $SHELL, else /bin/zsh.
    static QString embeddedTerminalShellCommand();
    // The terminal-area height of the expanded panel for a board area.
    static qreal expandedContainerHeight(qreal availableHeight);

    QStringList shownTabIDs() const { return m_paneTabIDs; }
    QList<GhosttyEmbeddedTerminalView *> terminalViews() const;

protected:
    void showEvent(QShowEvent *event) override;

private:
    struct Layout
    {
        QStringList tabs;
        QString selected;
        QStringList snapped;
        QString rootPath;
        bool isExpanded = false;
        bool allowsExpansion = true;
        qreal terminalHeight = 540;
        bool operator==(const Layout &) const = default;
    };

    Layout currentLayout(bool isExpanded, std::optional<qreal> containerHeight, bool allowsExpansion) const;
    void rebuild();
    void rebuildChips();
    void rebuildPanes();
    void updatePaneConfigurations();
    QWidget *makeChip(int index, const QString &tabID);
    GhosttyEmbeddedTerminalConfiguration configurationFor(const QString &tabID) const;

    AppState &m_appState;
    MainWindowState &m_windowState;
    QUuid m_workspaceID;
    std::optional<Layout> m_layout;
    std::optional<qreal> m_containerHeight;
    QStringList m_paneTabIDs;

    QLabel *m_tabCount = nullptr;
    QLabel *m_snappedCount = nullptr;
    ElidedLabel *m_rootPath = nullptr;
    QPushButton *m_newTab = nullptr;
    QToolButton *m_expand = nullptr;
    QWidget *m_chipRow = nullptr;
    QHBoxLayout *m_chipLayout = nullptr;
    QWidget *m_snapArea = nullptr;
    QLabel *m_hint = nullptr;
    QWidget *m_paneRow = nullptr;
    QHBoxLayout *m_paneLayout = nullptr;
    QWidget *m_resizeHandle = nullptr;
};
