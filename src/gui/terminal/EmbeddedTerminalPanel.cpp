#include "EmbeddedTerminalPanel.h"

#include "model/BL_Workspace.h"
#include "shell/ShellWidgets.h"

#include <QVBoxLayout>

EmbeddedTerminalPanel::EmbeddedTerminalPanel(AppState &appState, MainWindowState &windowState, QWidget *parent)
    : QWidget(parent), m_appState(appState), m_windowState(windowState)
{
    setObjectName(QStringLiteral("embeddedTerminalPanel"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_placeholder
        = new PlaceholderView(QStringLiteral("embeddedTerminalPlaceholder"), QStringLiteral("Terminal"), this);
    layout->addWidget(m_placeholder);
}

EmbeddedTerminalPanel::~EmbeddedTerminalPanel() = default;

void EmbeddedTerminalPanel::setWorkspace(
    const BL_Workspace &workspace, bool isExpanded, std::optional<qreal> expandedContainerHeight, bool allowsExpansion)
{
    Q_UNUSED(isExpanded)
    Q_UNUSED(expandedContainerHeight)
    Q_UNUSED(allowsExpansion)
    m_workspaceID = workspace.id;
    m_placeholder->setDetail(workspace.rootPath);
}
