#pragma once

#include <QUuid>
#include <QWidget>

class AppState;
class MainWindowState;
class PlaceholderView;

// The board of the workspace shown on the workspace page, wired to the
// application state's task operations and to the window state (composer
// context, task detail visibility). Switching the shown workspace keeps the
// host and rebinds it.
class WorkspaceBoardHost final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WorkspaceBoardHost)

public:
    WorkspaceBoardHost(AppState &appState, MainWindowState &windowState, QWidget *parent = nullptr);
    ~WorkspaceBoardHost() override;

    void setWorkspace(const QUuid &workspaceID);
    QUuid workspaceID() const { return m_workspaceID; }

private:
    AppState &m_appState;
    MainWindowState &m_windowState;
    QUuid m_workspaceID;
    PlaceholderView *m_placeholder = nullptr;
};
