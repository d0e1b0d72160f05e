#include "WorkspaceBoardHost.h"

#include "shell/ShellWidgets.h"
#include "state/AppState.h"

#include <QVBoxLayout>

WorkspaceBoardHost::WorkspaceBoardHost(AppState &appState, MainWindowState &windowState, QWidget *parent)
    : QWidget(parent), m_appState(appState), m_windowState(windowState)
{
    setObjectName(QStringLiteral("taskBoard"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_placeholder = new PlaceholderView(QStringLiteral("taskBoardPlaceholder"), QStringLiteral("Task Board"), this);
    layout->addWidget(m_placeholder);
}

WorkspaceBoardHost::~WorkspaceBoardHost() = default;

void WorkspaceBoardHost::setWorkspace(const QUuid &workspaceID)
{
    m_workspaceID = workspaceID;
    QString root;
    for (const BL_Workspace &workspace : m_appState.projects())
        if (workspace.id == workspaceID)
            root = workspace.rootPath;
    m_placeholder->setDetail(root);
}
