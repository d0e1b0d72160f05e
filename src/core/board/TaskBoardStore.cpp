#include "TaskBoardStore.h"

#include "model/BLEventBus.h"
#include "model/BL_Event.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace {

// The order key of a date. A date that is not a number sorts as the oldest,
// so every comparison is a strict weak order.
double sortKey(const TimePoint &time)
{
    const double seconds = time.referenceSeconds();
    return std::isnan(seconds) ? -std::numeric_limits<double>::infinity() : seconds;
}

constexpr int kStatusCount = int(BL_TaskStatus::failed) + 1;

quint32 statusBit(BL_TaskStatus status)
{
    return 1u << unsigned(status);
}

} // namespace

TaskBoardStore::TaskBoardStore(const QList<BL_Task> &tasks, const Clock &clock, QObject *parent)
    : QObject(parent), m_clock(clock)
{
    for (const BL_TaskStatus status : allStatuses())
        m_columns.insert(status, {});
    applySnapshot(tasks);
}

TaskBoardStore::~TaskBoardStore() = default;

const QList<BL_TaskStatus> &TaskBoardStore::allStatuses()
{
    return allTaskStatuses();
}

double TaskBoardStore::orderKey(const BL_Task &task)
{
    return sortKey(task.updatedAt);
}

std::optional<BL_Task> TaskBoardStore::task(const QUuid &taskID) const
{
    const auto found = m_taskByID.constFind(taskID);
    if (found == m_taskByID.cend())
        return std::nullopt;
    return *found;
}

void TaskBoardStore::publish(bool tasksChanged, bool columnsChanged)
{
    if (tasksChanged)
        emit taskByIDChanged();
    if (columnsChanged)
        emit this->columnsChanged();
}

// Snapshot and removals -----------------------------------------------------

void TaskBoardStore::applySnapshot(const QList<BL_Task> &tasks)
{
    // The position of each id's last record: that record is the one kept.
    QHash<QUuid, qsizetype> lastPosition;
    lastPosition.reserve(tasks.size());
    for (qsizetype i = 0; i < tasks.size(); ++i)
        lastPosition.insert(tasks[i].blID, i);

    quint32 changed = 0;
    bool tasksChanged = false;
    QSet<QUuid> replaced;
    m_taskByID.removeIf([&](const TaskMap::iterator &stored) {
        if (lastPosition.contains(stored.key()))
            return false;
        tasksChanged = true;
        changed |= statusBit(stored->status);
        m_styleTokenCache.remove(stored.key());
        return true;
    });

    m_taskByID.reserve(lastPosition.size());
    for (qsizetype i = 0; i < tasks.size(); ++i) {
        const BL_Task &task = tasks[i];
        if (lastPosition.value(task.blID) != i)
            continue;
        const auto previous = m_taskByID.find(task.blID);
        if (previous == m_taskByID.end()) {
            tasksChanged = true;
            changed |= statusBit(task.status);
            m_styleTokenCache.remove(task.blID);
            m_taskByID.insert(task.blID, task);
            continue;
        }
        const bool statusDiffers = previous->status != task.status;
        const bool dateDiffers = previous->updatedAt != task.updatedAt;
        if (statusDiffers)
            changed |= statusBit(previous->status) | statusBit(task.status);
        if (dateDiffers)
            changed |= statusBit(task.status);
        // A new metadata value drops the cached style even when the stored
        // record stays.
        if (previous->metadata != task.metadata)
            m_styleTokenCache.remove(task.blID);
        // Same status and same date: the stored record stays as it is.
        if (statusDiffers || dateDiffers) {
            *previous = task;
            tasksChanged = true;
            replaced.insert(task.blID);
        }
    }

    const QList<BL_TaskStatus> rebuilt = rebuildColumns(changed);
    if (!rebuilt.isEmpty() || !replaced.isEmpty())
        emit columnsRebuilt(ColumnsRebuild {rebuilt, replaced});
    publish(tasksChanged, !rebuilt.isEmpty());
}

std::optional<BL_Task> TaskBoardStore::removeTask(const QUuid &taskID)
{
    const auto stored = m_taskByID.constFind(taskID);
    if (stored == m_taskByID.cend())
        return std::nullopt;
    BL_Task removed = *stored;
    const double key = sortKey(removed.updatedAt);
    const qsizetype row = removeFromColumn(m_columns[removed.status], taskID, key);
    m_taskByID.remove(taskID);
    m_styleTokenCache.remove(taskID);
    TaskChange change {taskID, std::nullopt, std::nullopt, true};
    if (row >= 0)
        change.from = Place {removed.status, row, key};
    emit taskChanged(change);
    publish(true, row >= 0);
    return removed;
}

void TaskBoardStore::removeTasks(const QSet<QUuid> &taskIDs)
{
    if (taskIDs.isEmpty())
        return;
    quint32 changed = 0;
    for (const QUuid &taskID : taskIDs) {
        const auto stored = m_taskByID.constFind(taskID);
        if (stored == m_taskByID.cend())
            continue;
        changed |= statusBit(stored->status);
        m_taskByID.remove(taskID);
        m_styleTokenCache.remove(taskID);
    }
    if (!changed)
        return;
    // Dropping ids keeps a column in order, so the columns concerned are
    // filtered rather than sorted again.
    QList<BL_TaskStatus> filtered;
    for (auto column = m_columns.begin(); column != m_columns.end(); ++column) {
        if ((changed & statusBit(column.key()))
            && column->removeIf([&](const QUuid &taskID) { return taskIDs.contains(taskID); }) > 0)
            filtered.append(column.key());
    }
    emit columnsRebuilt(ColumnsRebuild {filtered, {}});
    publish(true, !filtered.isEmpty());
}

// Single-task changes -------------------------------------------------------

void TaskBoardStore::applyIncrementalUpdate(const BL_Task &task, const std::optional<BL_Task> &replacing)
{
    const QUuid &taskID = task.blID;
    const double newKey = sortKey(task.updatedAt);

    // The column the id leaves is that of the record actually stored, which
    // is `replacing` whenever the caller passes the current record.
    const auto storedIt = m_taskByID.constFind(taskID);
    const bool isStored = storedIt != m_taskByID.cend();
    const BL_TaskStatus storedStatus = isStored ? storedIt->status : task.status;
    const double storedKey = isStored ? sortKey(storedIt->updatedAt) : newKey;

    if (!isStored || storedIt->metadata != task.metadata || (replacing && replacing->metadata != task.metadata))
        m_styleTokenCache.remove(taskID);
    const bool recordChanged = !isStored || *storedIt != task;

    // Columns first, while the map still holds the stored record.
    TaskChange change {taskID, std::nullopt, std::nullopt, recordChanged};
    if (isStored && storedStatus == task.status) {
        const auto [from, to] = moveWithinColumn(m_columns[task.status], taskID, storedKey, newKey);
        if (from >= 0)
            change.from = Place {storedStatus, from, storedKey};
        change.to = Place {task.status, to, newKey};
    } else {
        if (isStored) {
            const qsizetype from = removeFromColumn(m_columns[storedStatus], taskID, storedKey);
            if (from >= 0)
                change.from = Place {storedStatus, from, storedKey};
        }
        change.to = Place {task.status, insertIntoColumn(m_columns[task.status], taskID, newKey), newKey};
    }
    // An update with an equal record can still move the id: it goes after
    // every task of its column with an equal date.
    const bool placeChanged
        = !change.from || change.from->status != change.to->status || change.from->row != change.to->row;
    if (!recordChanged && !placeChanged)
        return;
    if (recordChanged)
        m_taskByID.insert(taskID, task);
    emit taskChanged(change);
    publish(recordChanged, placeChanged);
}

std::optional<BL_Task> TaskBoardStore::updateTask(const QUuid &taskID, const std::function<void(BL_Task &)> &mutate)
{
    const auto stored = m_taskByID.constFind(taskID);
    if (stored == m_taskByID.cend())
        return std::nullopt;
    const BL_Task previous = *stored;
    BL_Task changed = previous;
    if (mutate)
        mutate(changed);
    // The id is the task's identity: a change cannot turn it into another
    // task (and leave the old one behind).
    changed.blID = taskID;
    applyIncrementalUpdate(changed, previous);
    return changed;
}

void TaskBoardStore::moveTask(const QUuid &taskID, BL_TaskStatus status, const QUuid &projectID, BLEventBus &eventBus)
{
    changeStatus(taskID, status, projectID, &eventBus, QStringLiteral("moved"));
}

void TaskBoardStore::setTaskStatus(
    const QUuid &taskID, BL_TaskStatus status, const QUuid &projectID, BLEventBus *eventBus)
{
    changeStatus(taskID, status, projectID, eventBus, QStringLiteral("changed"));
}

void TaskBoardStore::changeStatus(
    const QUuid &taskID, BL_TaskStatus status, const QUuid &projectID, BLEventBus *eventBus, const QString &verb)
{
    const auto stored = m_taskByID.constFind(taskID);
    if (stored == m_taskByID.cend() || stored->status == status)
        return;
    const BL_Task previous = *stored;
    BL_Task changed = previous;
    changed.status = status;
    changed.updatedAt = m_clock.now();
    changed.taskLastActivityDate = m_clock.now();
    applyIncrementalUpdate(changed, previous);
    if (!eventBus)
        return;

    // Subscribers run inside these calls and may change or even drop this
    // store, so nothing below touches its members.
    const Clock &clock = m_clock;
    const BL_TaskStatus from = previous.status;

    BL_Event moved = BL_Event::make(BL_EventType::taskMoved, projectID, taskID, BL_TaskMovedPayload {from, status});
    moved.timestamp = clock.now();
    eventBus->send(moved);

    BL_TaskEventPayload payload;
    payload.detail = QStringLiteral("Task status ") + verb + QStringLiteral(" from ") + rawValue(from)
        + QStringLiteral(" to ") + rawValue(status) + QStringLiteral(".");
    BL_Event modified = BL_Event::make(BL_EventType::taskModified, projectID, taskID, payload);
    modified.timestamp = clock.now();
    eventBus->send(modified);
}

// Queries -------------------------------------------------------------------

QList<BL_Task> TaskBoardStore::readyTasksAwaitingDelegation() const
{
    // Sorted by reference, copied once at the end.
    std::vector<const BL_Task *> ready;
    for (const QUuid &taskID : m_columns.value(BL_TaskStatus::queued)) {
        const auto stored = m_taskByID.constFind(taskID);
        if (stored != m_taskByID.cend() && stored->status == BL_TaskStatus::queued
            && stored->workerState == BL_TaskWorkerState::notDelegated)
            ready.push_back(&*stored);
    }
    std::stable_sort(ready.begin(), ready.end(), [](const BL_Task *a, const BL_Task *b) {
        return sortKey(a->taskLastActivityDate) < sortKey(b->taskLastActivityDate);
    });
    QList<BL_Task> tasks;
    tasks.reserve(qsizetype(ready.size()));
    for (const BL_Task *task : ready)
        tasks.append(*task);
    return tasks;
}

BL_TaskStyleToken TaskBoardStore::taskStyle(const BL_Task &task) const
{
    const auto cached = m_styleTokenCache.constFind(task.blID);
    if (cached != m_styleTokenCache.cend() && cached->metadata == task.metadata)
        return cached->token;
    BL_TaskStyleToken token = BL_TaskStyleToken::forMetadata(task.metadata);
    m_styleTokenCache.insert(task.blID, CachedStyle {task.metadata, token});
    return token;
}

// Columns -------------------------------------------------------------------
//
// A column is ordered by `updatedAt`, latest first, so finding a place is a
// binary search and changing one card is a single splice (or a rotation of
// the stretch between its old and new place).

double TaskBoardStore::sortKeyOf(const QUuid &taskID) const
{
    const auto stored = m_taskByID.constFind(taskID);
    // An id without a record is passed over: it never counts as earlier.
    return stored == m_taskByID.cend() ? std::numeric_limits<double>::infinity() : sortKey(stored->updatedAt);
}

qsizetype TaskBoardStore::positionOf(const QList<QUuid> &column, const QUuid &taskID, double key) const
{
    const auto first = std::partition_point(
        column.cbegin(), column.cend(), [&](const QUuid &other) { return sortKeyOf(other) > key; });
    for (auto at = first; at != column.cend(); ++at) {
        if (*at == taskID)
            return at - column.cbegin();
        if (sortKeyOf(*at) != key)
            break;
    }
    return column.indexOf(taskID); // only when the column is out of order
}

qsizetype TaskBoardStore::removeFromColumn(QList<QUuid> &column, const QUuid &taskID, double key) const
{
    const qsizetype position = positionOf(column, taskID, key);
    if (position >= 0)
        column.remove(position);
    return position;
}

qsizetype TaskBoardStore::insertIntoColumn(QList<QUuid> &column, const QUuid &taskID, double key) const
{
    const auto place = std::partition_point(
        column.cbegin(), column.cend(), [&](const QUuid &other) { return sortKeyOf(other) >= key; });
    const qsizetype position = place - column.cbegin();
    column.insert(position, taskID);
    return position;
}

std::pair<qsizetype, qsizetype> TaskBoardStore::moveWithinColumn(
    QList<QUuid> &column, const QUuid &taskID, double oldKey, double newKey) const
{
    const qsizetype from = positionOf(column, taskID, oldKey);
    if (from < 0)
        return {-1, insertIntoColumn(column, taskID, newKey)};
    // The place among the other ids: the first strictly earlier one.
    qsizetype low = 0;
    qsizetype high = column.size() - 1;
    while (low < high) {
        const qsizetype middle = low + (high - low) / 2;
        if (sortKeyOf(column.at(middle < from ? middle : middle + 1)) >= newKey)
            low = middle + 1;
        else
            high = middle;
    }
    const qsizetype to = low;
    if (to == from)
        return {from, to};
    // Shift the stretch between the two places by one (a single memmove).
    QUuid *ids = column.data();
    if (to < from)
        std::copy_backward(ids + to, ids + from, ids + from + 1);
    else
        std::copy(ids + from + 1, ids + to + 1, ids + from);
    ids[to] = taskID;
    return {from, to};
}

QList<BL_TaskStatus> TaskBoardStore::rebuildColumns(quint32 statusMask)
{
    QList<BL_TaskStatus> differing;
    if (!statusMask)
        return differing;
    std::vector<std::pair<double, QUuid>> entries[kStatusCount];
    for (auto stored = m_taskByID.cbegin(); stored != m_taskByID.cend(); ++stored) {
        if (statusMask & statusBit(stored->status))
            entries[int(stored->status)].emplace_back(sortKey(stored->updatedAt), stored.key());
    }
    for (const BL_TaskStatus status : allStatuses()) {
        if (!(statusMask & statusBit(status)))
            continue;
        auto &list = entries[int(status)];
        // Latest first; equal dates in id order, so a rebuild is repeatable.
        std::sort(list.begin(), list.end(),
            [](const auto &a, const auto &b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
        QList<QUuid> column;
        column.reserve(qsizetype(list.size()));
        for (const auto &entry : list)
            column.append(entry.second);
        QList<QUuid> &stored = m_columns[status];
        if (stored != column) {
            stored = std::move(column);
            differing.append(status);
        }
    }
    return differing;
}
