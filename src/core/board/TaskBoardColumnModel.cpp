#include "TaskBoardColumnModel.h"

#include <QHash>
#include <QSet>
#include <algorithm>
#include <limits>
#include <vector>

namespace {

// Beyond this many moves, and when more than half of the rows move, a reset
// is cheaper for a view than the moves.
constexpr qsizetype kMovesBeforeReset = 16;

double keyOf(const TaskBoardStore &store, const QUuid &taskID)
{
    const auto found = store.taskByID().constFind(taskID);
    return found == store.taskByID().cend() ? -std::numeric_limits<double>::infinity()
                                            : TaskBoardStore::orderKey(*found);
}

// Marks the members of one longest strictly increasing subsequence.
std::vector<bool> longestIncreasing(const std::vector<qsizetype> &values)
{
    const qsizetype count = qsizetype(values.size());
    std::vector<qsizetype> tails; // index of the smallest tail of each length
    std::vector<qsizetype> previous(values.size(), -1);
    for (qsizetype i = 0; i < count; ++i) {
        const auto place = std::lower_bound(tails.begin(), tails.end(), values[i],
            [&](qsizetype index, qsizetype value) { return values[index] < value; });
        if (place != tails.begin())
            previous[i] = *(place - 1);
        if (place == tails.end())
            tails.push_back(i);
        else
            *place = i;
    }
    std::vector<bool> members(values.size(), false);
    for (qsizetype i = tails.empty() ? -1 : tails.back(); i >= 0; i = previous[i])
        members[i] = true;
    return members;
}

} // namespace

TaskBoardColumnModel::TaskBoardColumnModel(TaskBoardStore *store, const QList<BL_TaskStatus> &statuses, QObject *parent)
    : QAbstractListModel(parent), m_store(store)
{
    for (const BL_TaskStatus status : statuses) {
        if (!m_statuses.contains(status))
            m_statuses.append(status);
    }
    if (!store)
        return;
    m_rows = columnOf(*store, m_statuses);
    m_keys.reserve(m_rows.size());
    for (const QUuid &taskID : std::as_const(m_rows))
        m_keys.append(keyOf(*store, taskID));
    connect(store, &TaskBoardStore::taskChanged, this, &TaskBoardColumnModel::onTaskChanged);
    connect(store, &TaskBoardStore::columnsRebuilt, this, &TaskBoardColumnModel::onColumnsRebuilt);
    connect(store, &QObject::destroyed, this, &TaskBoardColumnModel::onStoreDestroyed);
}

TaskBoardColumnModel::~TaskBoardColumnModel() = default;

QList<QUuid> TaskBoardColumnModel::columnOf(const TaskBoardStore &store, const QList<BL_TaskStatus> &statuses)
{
    if (statuses.size() == 1)
        return store.column(statuses.first());
    // The columns one after the other, then a stable sort by date: at equal
    // dates the earlier status and the earlier row come first.
    std::vector<std::pair<double, QUuid>> entries;
    for (const BL_TaskStatus status : statuses) {
        for (const QUuid &taskID : store.columns().value(status))
            entries.emplace_back(keyOf(store, taskID), taskID);
    }
    std::stable_sort(entries.begin(), entries.end(), [](const auto &a, const auto &b) { return a.first > b.first; });
    QList<QUuid> ids;
    ids.reserve(qsizetype(entries.size()));
    for (const auto &entry : entries)
        ids.append(entry.second);
    return ids;
}

int TaskBoardColumnModel::rowOf(const QUuid &taskID) const
{
    return int(m_rows.indexOf(taskID));
}

int TaskBoardColumnModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_rows.size());
}

QVariant TaskBoardColumnModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const QUuid &taskID = m_rows.at(index.row());
    switch (role) {
    case TaskIDRole:
        return QVariant::fromValue(taskID);
    case TaskRole: {
        if (!m_store)
            return {};
        const auto found = m_store->taskByID().constFind(taskID);
        return found == m_store->taskByID().cend() ? QVariant() : QVariant::fromValue(*found);
    }
    default:
        return {};
    }
}

QHash<int, QByteArray> TaskBoardColumnModel::roleNames() const
{
    return {{TaskIDRole, QByteArrayLiteral("taskID")}, {TaskRole, QByteArrayLiteral("task")}};
}

// Single-task changes -------------------------------------------------------

qsizetype TaskBoardColumnModel::findRow(const QUuid &taskID, double key) const
{
    // The keys stand in descending order: look among the equal ones first.
    const auto first = std::partition_point(m_keys.cbegin(), m_keys.cend(), [&](double other) { return other > key; });
    for (auto at = first; at != m_keys.cend() && *at == key; ++at) {
        const qsizetype row = at - m_keys.cbegin();
        if (m_rows.at(row) == taskID)
            return row;
    }
    return m_rows.indexOf(taskID);
}

qsizetype TaskBoardColumnModel::rowFor(const TaskBoardStore::Place &place) const
{
    if (m_statuses.size() == 1)
        return place.row;
    // Its row in its own column plus the ids of the other columns that stand
    // before it: later dates, and equal dates of a status listed earlier.
    const qsizetype rank = m_statuses.indexOf(place.status);
    qsizetype row = place.row;
    for (qsizetype other = 0; other < m_statuses.size(); ++other) {
        if (other == rank)
            continue;
        const QList<QUuid> column = m_store->columns().value(m_statuses[other]);
        const bool equalGoesFirst = other < rank;
        row += std::partition_point(column.cbegin(), column.cend(), [&](const QUuid &taskID) {
            const double key = keyOf(*m_store, taskID);
            return key > place.key || (equalGoesFirst && key == place.key);
        }) - column.cbegin();
    }
    return row;
}

void TaskBoardColumnModel::onTaskChanged(const TaskBoardStore::TaskChange &change)
{
    if (!m_store)
        return;
    const bool wasShown = change.from && shows(change.from->status);
    const bool isShown = change.to && shows(change.to->status);
    if (!wasShown && !isShown)
        return;

    qsizetype oldRow = -1;
    if (wasShown) {
        const auto &from = *change.from;
        const bool rowIsExact
            = m_statuses.size() == 1 && from.row < m_rows.size() && m_rows.at(from.row) == change.taskID;
        oldRow = rowIsExact ? from.row : findRow(change.taskID, from.key);
    }
    const qsizetype newRow = isShown ? rowFor(*change.to) : -1;
    // Rows out of step with the store (which its signals never allow) are
    // brought back in step as a whole.
    if ((wasShown && oldRow < 0) || newRow > m_rows.size() - (wasShown ? 1 : 0)) {
        syncTo(columnOf(*m_store, m_statuses), {change.taskID});
        return;
    }

    if (!isShown) {
        beginRemoveRows({}, int(oldRow), int(oldRow));
        m_rows.remove(oldRow);
        m_keys.remove(oldRow);
        endRemoveRows();
        return;
    }
    if (!wasShown) {
        beginInsertRows({}, int(newRow), int(newRow));
        m_rows.insert(newRow, change.taskID);
        m_keys.insert(newRow, change.to->key);
        endInsertRows();
        return;
    }
    if (newRow != oldRow) {
        beginMoveRows({}, int(oldRow), int(oldRow), {}, int(newRow > oldRow ? newRow + 1 : newRow));
        m_rows.move(oldRow, newRow);
        m_keys.move(oldRow, newRow);
        endMoveRows();
    }
    m_keys[newRow] = change.to->key;
    if (change.recordChanged) {
        const QModelIndex changed = index(int(newRow));
        emit dataChanged(changed, changed);
    }
}

// Several changes at once ---------------------------------------------------

void TaskBoardColumnModel::onColumnsRebuilt(const TaskBoardStore::ColumnsRebuild &rebuild)
{
    if (!m_store)
        return;
    bool concerned = std::any_of(
        rebuild.statuses.cbegin(), rebuild.statuses.cend(), [&](BL_TaskStatus status) { return shows(status); });
    if (!concerned) {
        // Replaced records in columns that kept their order.
        for (const QUuid &taskID : rebuild.changedTasks) {
            const auto found = m_store->taskByID().constFind(taskID);
            if (found != m_store->taskByID().cend() && shows(found->status)) {
                concerned = true;
                break;
            }
        }
    }
    if (concerned)
        syncTo(columnOf(*m_store, m_statuses), rebuild.changedTasks);
}

void TaskBoardColumnModel::syncTo(const QList<QUuid> &target, const QSet<QUuid> &changedTasks)
{
    QHash<QUuid, qsizetype> targetRow;
    targetRow.reserve(target.size());
    for (qsizetype i = 0; i < target.size(); ++i)
        targetRow.insert(target[i], i);

    // Removals, from the bottom up, one signal per contiguous run.
    for (qsizetype end = m_rows.size(); end > 0;) {
        if (targetRow.contains(m_rows.at(end - 1))) {
            --end;
            continue;
        }
        qsizetype first = end - 1;
        while (first > 0 && !targetRow.contains(m_rows.at(first - 1)))
            --first;
        beginRemoveRows({}, int(first), int(end - 1));
        m_rows.remove(first, end - first);
        m_keys.remove(first, end - first);
        endRemoveRows();
        end = first;
    }

    // Moves: the longest run of rows already in order stays, every other
    // row moves once, right after the row that precedes it in the target.
    const QSet<QUuid> kept(m_rows.cbegin(), m_rows.cend());
    std::vector<qsizetype> order;
    order.reserve(size_t(m_rows.size()));
    for (const QUuid &taskID : std::as_const(m_rows))
        order.push_back(targetRow.value(taskID));
    const std::vector<bool> stays = longestIncreasing(order);
    const qsizetype moves = qsizetype(std::count(stays.cbegin(), stays.cend(), false));
    if (moves > kMovesBeforeReset && moves * 2 > m_rows.size()) {
        resetTo(target);
        return;
    }
    if (moves > 0) {
        QSet<QUuid> moving;
        for (qsizetype i = 0; i < m_rows.size(); ++i) {
            if (!stays[size_t(i)])
                moving.insert(m_rows.at(i));
        }
        QUuid previous;
        for (const QUuid &taskID : target) {
            if (!kept.contains(taskID))
                continue;
            if (moving.contains(taskID)) {
                const qsizetype from = m_rows.indexOf(taskID);
                const qsizetype before = previous.isNull() ? 0 : m_rows.indexOf(previous) + 1;
                if (before != from) {
                    const qsizetype to = before > from ? before - 1 : before;
                    beginMoveRows({}, int(from), int(from), {}, int(before));
                    m_rows.move(from, to);
                    m_keys.move(from, to);
                    endMoveRows();
                }
            }
            previous = taskID;
        }
    }

    // Insertions, one signal per contiguous run of new ids.
    for (qsizetype i = 0; i < target.size();) {
        if (i < m_rows.size() && m_rows.at(i) == target.at(i)) {
            ++i;
            continue;
        }
        if (kept.contains(target.at(i))) { // cannot happen: the kept rows are in order
            resetTo(target);
            return;
        }
        qsizetype last = i;
        while (last + 1 < target.size() && !kept.contains(target.at(last + 1)))
            ++last;
        const qsizetype count = last - i + 1;
        beginInsertRows({}, int(i), int(last));
        m_rows.insert(i, count, QUuid());
        m_keys.insert(i, count, 0.0);
        for (qsizetype row = i; row <= last; ++row) {
            m_rows[row] = target.at(row);
            m_keys[row] = keyOf(*m_store, target.at(row));
        }
        endInsertRows();
        i = last + 1;
    }

    // Replaced records of rows that stayed: new keys, new data.
    QList<qsizetype> changedRows;
    if (!changedTasks.isEmpty()) {
        for (qsizetype row = 0; row < m_rows.size(); ++row) {
            const QUuid &taskID = m_rows.at(row);
            if (kept.contains(taskID) && changedTasks.contains(taskID)) {
                m_keys[row] = keyOf(*m_store, taskID);
                changedRows.append(row);
            }
        }
    }
    emitDataChanged(changedRows);
}

void TaskBoardColumnModel::resetTo(const QList<QUuid> &target)
{
    beginResetModel();
    m_rows = target;
    m_keys.clear();
    m_keys.reserve(target.size());
    for (const QUuid &taskID : target)
        m_keys.append(keyOf(*m_store, taskID));
    endResetModel();
}

void TaskBoardColumnModel::emitDataChanged(const QList<qsizetype> &rows)
{
    // One signal per contiguous run of rows.
    for (qsizetype i = 0; i < rows.size();) {
        qsizetype last = i;
        while (last + 1 < rows.size() && rows.at(last + 1) == rows.at(last) + 1)
            ++last;
        emit dataChanged(index(int(rows.at(i))), index(int(rows.at(last))));
        i = last + 1;
    }
}

void TaskBoardColumnModel::onStoreDestroyed()
{
    if (m_rows.isEmpty())
        return;
    beginRemoveRows({}, 0, int(m_rows.size() - 1));
    m_rows.clear();
    m_keys.clear();
    endRemoveRows();
}
