#include "WorkspaceBoardHost.h"

#include "KanbanBoardView.h"
#include "board/TaskDetailPresentation.h"
#include "shell/MainWindowState.h"
#include "shell/ShellWidgets.h"
#include "state/AppState.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>

WorkspaceBoardHost::WorkspaceBoardHost(AppState &appState, MainWindowState &windowState, QWidget *parent)
    : QWidget(parent), m_appState(appState), m_windowState(windowState), m_reveal(&revealInFileManager)
{
    setObjectName(QStringLiteral("taskBoard"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_placeholder = new PlaceholderView(QStringLiteral("taskBoardPlaceholder"), QStringLiteral("Task Board"), this);
    layout->addWidget(m_placeholder);
    connect(&m_appState, &AppState::changed, this, [this](AppState::Field field) {
        if (field == AppState::Field::taskStores || field == AppState::Field::projects)
            rebuild();
    });
}

WorkspaceBoardHost::~WorkspaceBoardHost() = default;

void WorkspaceBoardHost::setWorkspace(const QUuid &workspaceID)
{
    if (m_workspaceID == workspaceID && m_board)
        return;
    m_workspaceID = workspaceID;
    rebuild();
}

void WorkspaceBoardHost::revealInFileManager(const QString &path)
{
    // Asked without waiting; when no file manager answers, the folder opens.
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("/org/freedesktop/FileManager1"), QStringLiteral("org.freedesktop.FileManager1"),
        QStringLiteral("ShowItems"));
    call << QStringList {QUrl::fromLocalFile(path).toString()} << QString();
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, 3000), qApp);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, qApp, [watcher, path] {
        watcher->deleteLater();
        if (watcher->isError())
            QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
    });
}

void WorkspaceBoardHost::requestNewQueuedTask()
{
    if (m_board && m_board->isVisible())
        m_board->requestCreate(BL_TaskStatus::queued);
}

void WorkspaceBoardHost::rebuild()
{
    TaskBoardStore *store = m_workspaceID.isNull() ? nullptr : m_appState.taskStore(m_workspaceID);
    std::optional<BL_Workspace> workspace;
    for (const BL_Workspace &candidate : m_appState.projects())
        if (candidate.id == m_workspaceID)
            workspace = candidate;
    if (m_board && store && &m_board->store() == store && m_board->projectID() == m_workspaceID)
        return;
    if (m_board) {
        KanbanBoardView *old = m_board;
        m_board = nullptr;
        old->hide();
        old->deleteLater();
    }
    m_placeholder->setDetail(workspace ? workspace->rootPath : QString());
    m_placeholder->setVisible(!store);
    if (!store || !workspace)
        return;

    const QUuid projectID = m_workspaceID;
    AppState *state = &m_appState;
    BoardEnvironment environment;
    environment.clock = &m_appState.clock();
    environment.patchReader = m_appState.taskGitCheckpointService();
    environment.stdoutLogPath = [state](const QUuid &project, const QUuid &task) {
        return state->taskLogWriter().taskStdoutLogFilePath(project, task);
    };
    environment.reveal = [this](const QString &path) {
        if (m_reveal)
            m_reveal(path);
    };
    environment.downloadsFolder = [] { return TaskDetailPresentation::downloadsFolder(); };
    environment.screenSize = []() -> std::optional<QSizeF> {
        if (QScreen *screen = QGuiApplication::primaryScreen())
            return QSizeF(screen->availableGeometry().size());
        return std::nullopt;
    };

    BoardCallbacks callbacks;
    callbacks.onDelegateTask
        = [state, projectID](const QUuid &id) { state->requestDelegation(id, projectID, QStringLiteral("manual")); };
    callbacks.onMarkWorkerDone = [state, projectID](const QUuid &id) { state->markWorkerDone(id, projectID); };
    callbacks.onDeleteTask = [state, projectID](const QUuid &id) { state->closeTaskFromBoard(id, projectID); };
    callbacks.onClearDoneTasks = [state, projectID] { state->clearDoneTasks(projectID); };
    callbacks.onCreateTaskInStatus = [this, state, projectID](BL_TaskStatus status) {
        QString name;
        for (const BL_Workspace &candidate : state->projects())
            if (candidate.id == projectID)
                name = candidate.name;
        m_windowState.setTaskComposerContext(TaskComposerContext {QUuid::createUuid(), projectID, name, status});
    };
    callbacks.onMoveTask
        = [state, projectID](const QUuid &id, BL_TaskStatus status) { state->moveTask(id, status, projectID); };
    callbacks.onOpenURLInWorkspace = [state, projectID](const QString &url) {
        state->setBrowserURL(url, projectID);
        state->setBrowserSidebarVisible(true, projectID);
    };
    callbacks.onTaskDetailsOpened
        = [state, projectID](const QUuid &id) { state->reconcileTaskGitCheckpointIfNeeded(id, projectID); };
    callbacks.onTaskDetailVisibilityChanged = [this](bool visible) { m_windowState.setTaskDetailVisible(visible); };

    m_board = new KanbanBoardView(
        *store, projectID, workspace->rootPath, std::move(environment), std::move(callbacks), this);
    layout()->addWidget(m_board);
}
