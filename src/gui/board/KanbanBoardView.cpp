#include "KanbanBoardView.h"

#include "BoardColumnView.h"
#include "GitDiffView.h"
#include "TaskCardView.h"
#include "TaskDetailPanel.h"
#include "board/TaskCardPresentation.h"
#include "common/Text.h"

#include <QDialog>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent>

KanbanBoardView::KanbanBoardView(TaskBoardStore &store, const QUuid &projectID, const QString &projectRootPath,
    BoardEnvironment environment, BoardCallbacks callbacks, QWidget *parent)
    : QWidget(parent),
      m_store(&store),
      m_projectID(projectID),
      m_projectRootPath(projectRootPath),
      m_environment(std::move(environment)),
      m_callbacks(std::move(callbacks))
{
    setObjectName(QStringLiteral("kanbanBoard"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    m_scroll = new QScrollArea(this);
    m_scroll->setObjectName(QStringLiteral("boardColumns"));
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setMinimumHeight(380);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    auto *row = new QWidget;
    row->setObjectName(QStringLiteral("boardColumnRow"));
    auto *rowLayout = new QHBoxLayout(row);
    rowLayout->setContentsMargins(16, 16, 16, 16);
    rowLayout->setSpacing(16);
    for (BL_TaskStatus status : visibleStatuses()) {
        auto *column = new BoardColumnView(*this, status, row);
        m_columns.append(column);
        rowLayout->addWidget(column, 0);
    }
    rowLayout->addStretch(1);
    m_scroll->setWidget(row);
    layout->addWidget(m_scroll, 1);

    connect(&store, &TaskBoardStore::taskByIDChanged, this, &KanbanBoardView::onStoreChanged);
}

KanbanBoardView::~KanbanBoardView() = default;

const QList<BL_TaskStatus> &KanbanBoardView::visibleStatuses()
{
    static const QList<BL_TaskStatus> statuses {
        BL_TaskStatus::backlog, BL_TaskStatus::queued, BL_TaskStatus::inProgress, BL_TaskStatus::completed};
    return statuses;
}

BoardColumnView *KanbanBoardView::column(BL_TaskStatus status) const
{
    if (status == BL_TaskStatus::failed)
        status = BL_TaskStatus::completed;
    for (BoardColumnView *column : m_columns)
        if (column->status() == status)
            return column;
    return nullptr;
}

TaskCardView *KanbanBoardView::card(const QUuid &taskID) const
{
    for (BoardColumnView *column : m_columns)
        if (TaskCardView *card = column->card(taskID))
            return card;
    return nullptr;
}

int KanbanBoardView::builtCardCount() const
{
    int count = 0;
    for (BoardColumnView *column : m_columns)
        count += column->builtCardCount();
    return count;
}

void KanbanBoardView::onStoreChanged()
{
    // Kill requests last only while their task runs.
    QSet<QUuid> kept;
    for (const QUuid &id : std::as_const(m_killRequests)) {
        const auto found = m_store->taskByID().constFind(id);
        if (found != m_store->taskByID().constEnd() && found->status == BL_TaskStatus::inProgress)
            kept.insert(id);
    }
    if (kept != m_killRequests) {
        m_killRequests = kept;
        for (BoardColumnView *column : m_columns)
            column->refreshKillMarks();
    }
    syncDetail();
}

TaskDetailPanel *KanbanBoardView::ensureDetailPanel()
{
    // Built on the first selection: a board that is only looked at costs
    // no detail.
    if (!m_detail) {
        m_detail = new TaskDetailPanel(
            m_environment, m_projectRootPath, [this] { setSelection(std::nullopt); },
            [this](const QString &url) {
                if (m_callbacks.onOpenURLInWorkspace)
                    m_callbacks.onOpenURLInWorkspace(url);
            },
            this);
        m_detail->setVisible(false);
        layout()->addWidget(m_detail);
    }
    return m_detail;
}

void KanbanBoardView::syncDetail()
{
    if (!m_selection) {
        if (m_detail)
            m_detail->setVisible(false);
        return;
    }
    ensureDetailPanel();
    m_detail->setParentWindowContentWidth(width());
    m_detail->setTask(m_store ? m_store->task(m_selection->id) : std::nullopt, m_selection->openGitDiff);
    m_detail->setVisible(true);
}

void KanbanBoardView::setSelection(const std::optional<TaskSelection> &selection)
{
    if (m_selection == selection)
        return;
    const bool wasShown = m_selection.has_value();
    m_selection = selection;
    if (m_selection && wasShown && m_detail) {
        // A different task: the detail starts over.
        m_detail->setTask(std::nullopt);
    }
    syncDetail();
    if (m_callbacks.onTaskDetailVisibilityChanged)
        m_callbacks.onTaskDetailVisibilityChanged(m_selection.has_value());
}

bool KanbanBoardView::handleDrop(const QStringList &items, BL_TaskStatus target)
{
    const BoardRules::DropAction action = BoardRules::drop(items, target, m_store->taskByID());
    switch (action.kind) {
    case BoardRules::DropAction::Kind::refused:
        return false;
    case BoardRules::DropAction::Kind::delegate:
        if (m_callbacks.onDelegateTask)
            m_callbacks.onDelegateTask(action.taskID);
        return true;
    case BoardRules::DropAction::Kind::move:
        if (m_callbacks.onMoveTask)
            m_callbacks.onMoveTask(action.taskID, action.status);
        return true;
    }
    return false;
}

void KanbanBoardView::handleColumnDoubleClick(BL_TaskStatus status)
{
    if (m_hoveredTaskID) {
        setSelection(TaskSelection {*m_hoveredTaskID, false});
        return;
    }
    requestCreate(status);
}

void KanbanBoardView::requestCreate(BL_TaskStatus status)
{
    if (m_callbacks.onCreateTaskInStatus)
        m_callbacks.onCreateTaskInStatus(status);
}

void KanbanBoardView::requestClearDone()
{
    if (m_callbacks.onClearDoneTasks)
        m_callbacks.onClearDoneTasks();
}

void KanbanBoardView::deleteFromCard(const QUuid &taskID)
{
    const auto task = m_store->task(taskID);
    if (task && task->status == BL_TaskStatus::inProgress) {
        if (m_killRequests.contains(taskID))
            return;
        m_killRequests.insert(taskID);
        for (BoardColumnView *column : m_columns)
            column->refreshKillMarks();
    }
    if (m_callbacks.onDeleteTask)
        m_callbacks.onDeleteTask(taskID);
}

void KanbanBoardView::openDetailsFromCard(const QUuid &taskID)
{
    if (m_callbacks.onTaskDetailsOpened)
        m_callbacks.onTaskDetailsOpened(taskID);
    setSelection(TaskSelection {taskID, false});
}

void KanbanBoardView::cardHoverChanged(const QUuid &taskID, bool hovered)
{
    if (hovered)
        m_hoveredTaskID = taskID;
    else if (m_hoveredTaskID == taskID)
        m_hoveredTaskID.reset();
}

void KanbanBoardView::openBoardGitDiff(const QUuid &taskID)
{
    if (const auto task = m_store->task(taskID); task && openBoardGitDiffIfAvailable(*task))
        return;
    if (m_callbacks.onTaskDetailsOpened)
        m_callbacks.onTaskDetailsOpened(taskID);
    // One retry, bound to the board: a board that is gone retries nothing.
    QTimer::singleShot(kDiffRetryDelayMs, this, [this, taskID] {
        if (const auto task = m_store ? m_store->task(taskID) : std::nullopt;
            task && openBoardGitDiffIfAvailable(*task))
            return;
        presentDiff(std::nullopt, QStringLiteral("No git diff patch file found for this task."));
    });
}

bool KanbanBoardView::openBoardGitDiffIfAvailable(const BL_Task &task)
{
    const std::optional<BL_TaskGitDiffArtifact> artifact = BL_TaskGitDiffArtifact::decode(task.metadata);
    if (!artifact || !m_environment.patchReader.offeredPatchPath(task.projectID, task.blID, *artifact))
        return false;
    // The patch may be large: it is read and checked in the background by
    // the one patch reader, and the newest request wins.
    const quint64 generation = ++m_diffGeneration;
    const TaskGitCheckpointService reader = m_environment.patchReader;
    auto *watcher = new QFutureWatcher<PatchRead>(this);
    connect(watcher, &QFutureWatcher<PatchRead>::finished, this, [this, watcher, generation] {
        watcher->deleteLater();
        if (generation != m_diffGeneration)
            return;
        const PatchRead read = watcher->result();
        if (read.ok())
            presentDiff(read.text(), std::nullopt);
        else
            presentDiff(std::nullopt, read.error().message);
    });
    watcher->setFuture(QtConcurrent::run(
        [reader, task, artifact = *artifact] { return reader.readPatch(task.projectID, task.blID, artifact); }));
    return true;
}

void KanbanBoardView::presentDiff(std::optional<QString> text, std::optional<QString> error)
{
    if (m_diffSheet) {
        QDialog *old = m_diffSheet;
        m_diffSheet = nullptr;
        old->close();
    }
    m_diffError = error;
    if (text) {
        const auto screen = m_environment.screenSize ? m_environment.screenSize() : std::nullopt;
        auto *viewer = new GitDiffView(
            *text, screen ? std::optional<double>(screen->width()) : std::nullopt,
            [this] {
                if (m_diffSheet)
                    m_diffSheet->close();
            },
            window());
        viewer->setObjectName(QStringLiteral("boardGitDiffViewer"));
        viewer->setAttribute(Qt::WA_DeleteOnClose);
        viewer->setWindowModality(Qt::WindowModal);
        m_diffSheet = viewer;
        viewer->open();
        return;
    }
    auto *sheet = new QDialog(window());
    sheet->setObjectName(QStringLiteral("boardGitDiffMessage"));
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setMinimumSize(420, 200);
    auto *layout = new QVBoxLayout(sheet);
    layout->setSpacing(12);
    layout->addStretch(1);
    auto *message = new QLabel(error.value_or(QStringLiteral("No diff content available.")), sheet);
    message->setObjectName(QStringLiteral("boardGitDiffMessageText"));
    message->setWordWrap(true);
    message->setAlignment(Qt::AlignCenter);
    message->setStyleSheet(QStringLiteral("color: #9a9ca1;"));
    layout->addWidget(message);
    auto *close = new QPushButton(QStringLiteral("Close"), sheet);
    close->setObjectName(QStringLiteral("boardGitDiffMessageClose"));
    connect(close, &QPushButton::clicked, sheet, &QDialog::close);
    layout->addWidget(close, 0, Qt::AlignCenter);
    layout->addStretch(1);
    m_diffSheet = sheet;
    sheet->open();
}

void KanbanBoardView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    if (m_callbacks.onTaskDetailVisibilityChanged)
        m_callbacks.onTaskDetailVisibilityChanged(false);
}

void KanbanBoardView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    if (m_selection && m_detail)
        m_detail->setParentWindowContentWidth(width());
}
