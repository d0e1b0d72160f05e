#pragma once

#include "board/TaskBoardStore.h"
#include "common/TimePoint.h"
#include "storage/TaskGitCheckpointService.h"

#include <QDialog>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QStringList>
#include <QUuid>
#include <QWidget>
#include <functional>
#include <optional>

class BoardColumnView;
class QHBoxLayout;
class QScrollArea;
class TaskCardView;
class TaskDetailPanel;

// The task whose detail the board shows, and whether the detail opens its
// diff viewer at once.
struct TaskSelection
{
    QUuid id;
    bool openGitDiff = false;
    friend bool operator==(const TaskSelection &, const TaskSelection &) = default;
};

// The nine things the board asks of its host; each is carried out by the
// application state.
struct BoardCallbacks
{
    std::function<void(const QUuid &)> onDelegateTask;
    std::function<void(const QUuid &)> onMarkWorkerDone;
    std::function<void(const QUuid &)> onDeleteTask;
    std::function<void()> onClearDoneTasks;
    std::function<void(BL_TaskStatus)> onCreateTaskInStatus;
    std::function<void(const QUuid &, BL_TaskStatus)> onMoveTask;
    std::function<void(const QString &)> onOpenURLInWorkspace;
    std::function<void(const QUuid &)> onTaskDetailsOpened;
    std::function<void(bool)> onTaskDetailVisibilityChanged;
};

// What the board and its detail need of the world besides the store.
struct BoardEnvironment
{
    const Clock *clock = &Clock::system();
    TaskGitCheckpointService patchReader {QString()};
    // The task's raw output log, as the application state writes it.
    std::function<QString(const QUuid &projectID, const QUuid &taskID)> stdoutLogPath;
    // Shows a file in the file manager.
    std::function<void(const QString &path)> reveal;
    // Where downloads go.
    std::function<QString()> downloadsFolder;
    // The screen's available size, for the detail's and the viewer's sizing.
    std::function<std::optional<QSizeF>()> screenSize;
};

// The board of one workspace: a horizontally scrolling row of status
// columns whose cards follow the store's column models, and at its trailing
// edge the detail panel of the selected task. It changes no task: every
// action goes to a callback. It keeps only what it shows: the selection,
// the hovered card, the running tasks the user asked to kill, and its own
// diff viewer.
class KanbanBoardView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(KanbanBoardView)

public:
    static constexpr int kDiffRetryDelayMs = 350;

    KanbanBoardView(TaskBoardStore &store, const QUuid &projectID, const QString &projectRootPath,
        BoardEnvironment environment, BoardCallbacks callbacks, QWidget *parent = nullptr);
    ~KanbanBoardView() override;

    static const QList<BL_TaskStatus> &visibleStatuses();

    TaskBoardStore &store() const { return *m_store; }
    const QUuid &projectID() const { return m_projectID; }
    const BoardEnvironment &environment() const { return m_environment; }

    BoardColumnView *column(BL_TaskStatus status) const;
    // The card built for a task, if it is built (cards exist only where the
    // column shows them).
    TaskCardView *card(const QUuid &taskID) const;
    int builtCardCount() const;

    const std::optional<TaskSelection> &selection() const { return m_selection; }
    void setSelection(const std::optional<TaskSelection> &selection);
    // The detail panel, once a task was selected.
    TaskDetailPanel *detailPanel() const { return m_detail; }
    const std::optional<QUuid> &hoveredTaskID() const { return m_hoveredTaskID; }
    const QSet<QUuid> &cancellationRequestedTaskIDs() const { return m_killRequests; }

    // As a drop of text items on a column does; true when handled.
    bool handleDrop(const QStringList &items, BL_TaskStatus target);
    // As a double click on a column's panel does.
    void handleColumnDoubleClick(BL_TaskStatus status);
    void requestCreate(BL_TaskStatus status);
    void requestClearDone();

    // Card actions, as the card's controls call them.
    void deleteFromCard(const QUuid &taskID);
    void openDetailsFromCard(const QUuid &taskID);
    void cardHoverChanged(const QUuid &taskID, bool hovered);
    void openBoardGitDiff(const QUuid &taskID);

    // The board's own diff sheet (a viewer or the sheet saying why not).
    QDialog *boardDiffSheet() const { return m_diffSheet; }
    std::optional<QString> boardGitDiffErrorMessage() const { return m_diffError; }

    const BoardCallbacks &callbacks() const { return m_callbacks; }

protected:
    void hideEvent(QHideEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;

private:
    friend class BoardColumnView;
    void onStoreChanged();
    // Reads the patch in the background; false when the task offers none.
    bool openBoardGitDiffIfAvailable(const BL_Task &task);
    void presentDiff(std::optional<QString> text, std::optional<QString> error);
    void syncDetail();
    TaskDetailPanel *ensureDetailPanel();

    QPointer<TaskBoardStore> m_store;
    QUuid m_projectID;
    QString m_projectRootPath;
    BoardEnvironment m_environment;
    BoardCallbacks m_callbacks;

    std::optional<TaskSelection> m_selection;
    std::optional<QUuid> m_hoveredTaskID;
    QSet<QUuid> m_killRequests;
    std::optional<QString> m_diffError;
    QPointer<QDialog> m_diffSheet;
    quint64 m_diffGeneration = 0;

    QScrollArea *m_scroll = nullptr;
    QList<BoardColumnView *> m_columns;
    TaskDetailPanel *m_detail = nullptr;
};
