#pragma once

#include "board/BL_TaskStyleToken.h"
#include "common/TimePoint.h"
#include "model/BL_Task.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QUuid>
#include <functional>
#include <optional>
#include <utility>

class BLEventBus;

// The board of one workspace: every task by id and, per status, the ids in
// column order (latest `updatedAt` first). Lives on the main thread; the
// application state routes every change of the workspace's tasks through it
// and the board view observes it.
//
// An operation notifies `taskByIDChanged` when the stored records changed and
// `columnsChanged` when a column's ids or order changed, each at most once and
// after both properties hold their new values; an operation that changes
// nothing notifies nothing. Before those two, the row-level signals
// (`taskChanged`, `columnsRebuilt`) say what changed, for the item models of
// the board's columns. Callers hold copies of the records; changes reach the
// store only through its operations.
class TaskBoardStore final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TaskBoardStore)

public:
    using TaskMap = QHash<QUuid, BL_Task>;
    using ColumnMap = QMap<BL_TaskStatus, QList<QUuid>>;

    // Where an id stands: its column, its row there and its order key.
    struct Place
    {
        BL_TaskStatus status = BL_TaskStatus::backlog;
        qsizetype row = -1;
        double key = 0;
    };

    // One task's id left a place, took one, or both, and/or its record
    // changed. `from` is empty for a task that was not stored, `to` for one
    // that is no longer stored. Rows are those of the store's columns before
    // (`from`) and after (`to`) the change.
    struct TaskChange
    {
        QUuid taskID;
        std::optional<Place> from;
        std::optional<Place> to;
        bool recordChanged = false;
    };

    // Several tasks changed at once (a snapshot, a removal of several tasks):
    // `statuses` are the columns whose ids or order changed, `changedTasks`
    // the ids that were stored before and after with a new record.
    struct ColumnsRebuild
    {
        QList<BL_TaskStatus> statuses;
        QSet<QUuid> changedTasks;
    };

    Q_PROPERTY(TaskBoardStore::TaskMap taskByID READ taskByID NOTIFY taskByIDChanged)
    Q_PROPERTY(TaskBoardStore::ColumnMap columns READ columns NOTIFY columnsChanged)

    // A store holding `tasks` (applied as a snapshot). The clock stamps
    // status changes; it must outlive the store.
    explicit TaskBoardStore(
        const QList<BL_Task> &tasks = {}, const Clock &clock = Clock::system(), QObject *parent = nullptr);
    ~TaskBoardStore() override;

    // Backlog, queued, in progress, completed, failed: one column each, in
    // that order, from construction on.
    static const QList<BL_TaskStatus> &allStatuses();
    // A task's place in its column: larger keys stand further up. A date that
    // is not a number sorts as the oldest.
    static double orderKey(const BL_Task &task);

    const TaskMap &taskByID() const { return m_taskByID; }
    const ColumnMap &columns() const { return m_columns; }
    // The column of one status (empty for a status without tasks).
    QList<QUuid> column(BL_TaskStatus status) const { return m_columns.value(status); }
    std::optional<BL_Task> task(const QUuid &taskID) const;

    // Makes the store hold exactly `tasks`, the workspace's complete set.
    // A record with the status and `updatedAt` of the stored one is not
    // taken over. Only the columns of added, removed, moved or re-dated
    // tasks are rebuilt. When an id occurs twice the later record counts.
    void applySnapshot(const QList<BL_Task> &tasks);

    // Stores the new record of one task and moves its id into place in its
    // column: after every task with an equal or later `updatedAt`, before the
    // first strictly earlier one. `replacing` is the record stored under the
    // id before the call, or nothing for a new task; the column the id leaves
    // is taken from the record actually stored, so a stale `replacing` never
    // leaves the id in two columns.
    void applyIncrementalUpdate(const BL_Task &task, const std::optional<BL_Task> &replacing);

    // Applies `mutate` to a copy of the stored record and stores the copy;
    // the changed record, or nothing when no task has the id. The store
    // stamps nothing: a change that should move the card sets `updatedAt`.
    // The id stays the task's identity even if `mutate` changes it.
    std::optional<BL_Task> updateTask(const QUuid &taskID, const std::function<void(BL_Task &)> &mutate);

    // The removed record, or nothing (and no notification) for an unknown id.
    std::optional<BL_Task> removeTask(const QUuid &taskID);
    // Removes every listed task that is stored; unknown ids are passed over.
    void removeTasks(const QSet<QUuid> &taskIDs);

    // Status changes: stamp `updatedAt` and `taskLastActivityDate`, re-file
    // the card, then publish "taskMoved" and "taskModified" on the bus, whose
    // subscribers see the store already in the new state. A task already in
    // the target status, or an unknown id, changes nothing and publishes
    // nothing. The detail texts differ: "Task status moved from …" for
    // moveTask, "Task status changed from …" for setTaskStatus, which also
    // works without a bus (then nothing is published).
    void moveTask(const QUuid &taskID, BL_TaskStatus status, const QUuid &projectID, BLEventBus &eventBus);
    void setTaskStatus(const QUuid &taskID, BL_TaskStatus status, const QUuid &projectID, BLEventBus *eventBus);

    // Queued tasks that no worker has been given yet (worker state
    // notDelegated), longest-waiting (earliest `taskLastActivityDate`) first.
    QList<BL_Task> readyTasksAwaitingDelegation() const;

    // The tag style of a task's card, computed once per task and metadata
    // value; filling the cache notifies nobody.
    BL_TaskStyleToken taskStyle(const BL_Task &task) const;
    // Whether a style is cached for the id (for diagnostics and tests).
    bool hasCachedStyle(const QUuid &taskID) const { return m_styleTokenCache.contains(taskID); }

signals:
    void taskByIDChanged();
    void columnsChanged();
    // A single-task operation changed one id's place or record.
    void taskChanged(const TaskBoardStore::TaskChange &change);
    // A snapshot or a removal of several tasks changed some columns or
    // records. Slots of these two signals must not change the store.
    void columnsRebuilt(const TaskBoardStore::ColumnsRebuild &rebuild);

private:
    struct CachedStyle
    {
        QByteArray metadata;
        BL_TaskStyleToken token;
    };

    void changeStatus(
        const QUuid &taskID, BL_TaskStatus status, const QUuid &projectID, BLEventBus *eventBus, const QString &verb);
    void publish(bool tasksChanged, bool columnsChanged);

    // Column helpers; each keeps the column ordered, latest first, and
    // returns the row it took the id from or put it at (-1 for none).
    double sortKeyOf(const QUuid &taskID) const;
    qsizetype positionOf(const QList<QUuid> &column, const QUuid &taskID, double key) const;
    qsizetype removeFromColumn(QList<QUuid> &column, const QUuid &taskID, double key) const;
    qsizetype insertIntoColumn(QList<QUuid> &column, const QUuid &taskID, double key) const;
    std::pair<qsizetype, qsizetype> moveWithinColumn(
        QList<QUuid> &column, const QUuid &taskID, double oldKey, double newKey) const;
    // Rebuilds the masked columns; the statuses whose column came out different.
    QList<BL_TaskStatus> rebuildColumns(quint32 statusMask);

    const Clock &m_clock;
    TaskMap m_taskByID;
    ColumnMap m_columns;
    mutable QHash<QUuid, CachedStyle> m_styleTokenCache;
};
