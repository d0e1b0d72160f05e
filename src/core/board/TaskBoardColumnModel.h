#pragma once

#include "board/TaskBoardStore.h"

#include <QAbstractListModel>
#include <QList>
#include <QPointer>
#include <QUuid>

// The cards of one board column as a list model: one row per task id of the
// store's columns for the given statuses, newest first. A column of several
// statuses (the board's "Done" shows completed and failed tasks) interleaves
// them by date; at equal dates the statuses keep the order they are given in
// and each keeps its own column's order.
//
// The model follows the store row by row: a single-task change becomes a row
// insertion, removal or move and a data change of that row, never a reset.
// A snapshot or a removal of several tasks is followed by comparing the rows
// with the columns: contiguous removals and insertions, the fewest moves that
// restore the order, data changes for replaced records. Only when more than
// half of the rows (and more than a handful) would move does the model reset
// instead, which costs a view less than that many moves.
//
// Lives on the main thread with its store. When the store is destroyed the
// model becomes empty.
class TaskBoardColumnModel final : public QAbstractListModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TaskBoardColumnModel)

public:
    enum Role {
        TaskIDRole = Qt::UserRole + 1, // QUuid
        TaskRole, // BL_Task, the store's current record
    };

    TaskBoardColumnModel(TaskBoardStore *store, const QList<BL_TaskStatus> &statuses, QObject *parent = nullptr);
    ~TaskBoardColumnModel() override;

    const QList<BL_TaskStatus> &statuses() const { return m_statuses; }
    // The task id of each row, in row order.
    const QList<QUuid> &taskIDs() const { return m_rows; }
    // The row of a task, or -1 when the column does not show it.
    int rowOf(const QUuid &taskID) const;

    // The ids a column of `statuses` shows for the store as it is now.
    static QList<QUuid> columnOf(const TaskBoardStore &store, const QList<BL_TaskStatus> &statuses);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    void onTaskChanged(const TaskBoardStore::TaskChange &change);
    void onColumnsRebuilt(const TaskBoardStore::ColumnsRebuild &rebuild);
    void onStoreDestroyed();

    bool shows(BL_TaskStatus status) const { return m_statuses.contains(status); }
    // The row of a task given the order key it stood at.
    qsizetype findRow(const QUuid &taskID, double key) const;
    // The row the store's place of an id comes to in this column.
    qsizetype rowFor(const TaskBoardStore::Place &place) const;
    // Brings the rows to `target` with removals, moves and insertions.
    void syncTo(const QList<QUuid> &target, const QSet<QUuid> &changedTasks);
    void resetTo(const QList<QUuid> &target);
    void emitDataChanged(const QList<qsizetype> &rows);

    QPointer<TaskBoardStore> m_store;
    QList<BL_TaskStatus> m_statuses;
    // The rows and, in step with them, each row's order key.
    QList<QUuid> m_rows;
    QList<double> m_keys;
};
