#pragma once

#include "KanbanBoardView.h"

#include <QPointer>
#include <QUuid>
#include <QWidget>
#include <functional>

class AppState;
class MainWindowState;
class PlaceholderView;

// The board of the workspace shown on the workspace page, wired to the
// application state's task operations and to the window state (composer
// context, task detail visibility). Switching the shown workspace keeps the
// host and rebinds it; a workspace without a board model shows a
// placeholder until its board exists.
class WorkspaceBoardHost final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WorkspaceBoardHost)

public:
    using Reveal = std::function<void(const QString &path)>;

    WorkspaceBoardHost(AppState &appState, MainWindowState &windowState, QWidget *parent = nullptr);
    ~WorkspaceBoardHost() override;

    void setWorkspace(const QUuid &workspaceID);
    QUuid workspaceID() const { return m_workspaceID; }

    KanbanBoardView *board() const { return m_board; }
    // Opens the composer for a new queued task (Ctrl+/).
    void requestNewQueuedTask();
    // How a file is shown in the file manager; by default the desktop's file
    // manager over D-Bus, else its folder is opened.
    void setRevealHandler(Reveal reveal) { m_reveal = std::move(reveal); }
    static void revealInFileManager(const QString &path);

private:
    void rebuild();

    AppState &m_appState;
    MainWindowState &m_windowState;
    QUuid m_workspaceID;
    QPointer<KanbanBoardView> m_board;
    PlaceholderView *m_placeholder = nullptr;
    Reveal m_reveal;
};
