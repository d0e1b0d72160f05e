#pragma once

#include "board/TaskBoardStore.h"
#include "model/BL_Task.h"

#include <QStringList>
#include <QTest>

// A small language for boards in tests. A task is written "A queued 600":
// id letter, status raw value, `updatedAt` in minutes. A board is described
// as "backlog: | queued: B A | in_progress: C | completed: | failed:".
namespace BoardFixture {

inline QUuid idOf(QChar letter)
{
    return QUuid(QStringLiteral("00000000-0000-4000-8000-0000000000%1").arg(letter.unicode(), 2, 16, QLatin1Char('0')));
}

inline QChar letterOf(const QUuid &id)
{
    return QChar(ushort(id.data4[7]));
}

inline TimePoint minutes(double value)
{
    return TimePoint::fromReferenceSeconds(720000000.0 + value * 60.0);
}

inline BL_Task makeTask(QChar letter, BL_TaskStatus status, double updatedMinutes)
{
    BL_Task task;
    task.blID = idOf(letter);
    task.projectID = QUuid(QStringLiteral("11111111-2222-4333-8444-555555555555"));
    task.status = status;
    task.inputData = QByteArray(R"({"title":"task )") + QString(letter).toUtf8() + "\"}";
    task.metadata = QByteArrayLiteral("{}");
    task.taskHistoryData = QByteArrayLiteral("[]");
    task.taskConversationData = QByteArrayLiteral("[]");
    task.createdAt = minutes(0);
    task.updatedAt = minutes(updatedMinutes);
    task.taskLastActivityDate = minutes(updatedMinutes);
    return task;
}

inline BL_Task parseTask(const QString &text)
{
    const QStringList parts = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (parts.size() != 3 || parts[0].size() != 1)
        qFatal("bad task text: %s", qPrintable(text));
    const auto status = taskStatusFromRaw(parts[1]);
    if (!status)
        qFatal("bad status: %s", qPrintable(parts[1]));
    return makeTask(parts[0][0], *status, parts[2].toDouble());
}

// Tasks separated by commas.
inline QList<BL_Task> parseTasks(const QString &text)
{
    QList<BL_Task> tasks;
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts))
        tasks.append(parseTask(part.trimmed()));
    return tasks;
}

inline QString describe(const TaskBoardStore::ColumnMap &columns)
{
    QStringList parts;
    for (auto column = columns.cbegin(); column != columns.cend(); ++column) {
        QString part = rawValue(column.key()) + QLatin1Char(':');
        for (const QUuid &id : *column)
            part += QLatin1Char(' ') + letterOf(id);
        parts << part;
    }
    return parts.join(QStringLiteral(" | "));
}

inline QString describe(const TaskBoardStore &store)
{
    return describe(store.columns());
}

// The store's invariants: five columns; every stored task exactly once, in
// the column of its status; nothing else in the columns; latest first.
inline QString invariantViolation(const TaskBoardStore &store)
{
    const auto &columns = store.columns();
    if (columns.keys() != TaskBoardStore::allStatuses())
        return QStringLiteral("columns are not the five statuses");
    qsizetype seen = 0;
    for (auto column = columns.cbegin(); column != columns.cend(); ++column) {
        for (qsizetype i = 0; i < column->size(); ++i) {
            const QUuid &id = column->at(i);
            if (!store.taskByID().contains(id))
                return QStringLiteral("%1 is in a column but not stored").arg(letterOf(id));
            const BL_Task &task = store.taskByID()[id];
            if (task.status != column.key())
                return QStringLiteral("%1 is in the %2 column").arg(letterOf(id)).arg(rawValue(column.key()));
            if (column->count(id) != 1)
                return QStringLiteral("%1 is in its column twice").arg(letterOf(id));
            if (i > 0 && store.taskByID()[column->at(i - 1)].updatedAt < task.updatedAt)
                return QStringLiteral("%1 stands after an earlier task").arg(letterOf(id));
            ++seen;
        }
    }
    if (seen != store.taskByID().size())
        return QStringLiteral("%1 ids in columns for %2 tasks").arg(seen).arg(store.taskByID().size());
    return QString();
}

} // namespace BoardFixture

#define VERIFY_BOARD_INVARIANTS(store)                                                                                 \
    do {                                                                                                               \
        const QString violation = BoardFixture::invariantViolation(store);                                             \
        QVERIFY2(violation.isEmpty(), qPrintable(violation));                                                          \
    } while (false)
