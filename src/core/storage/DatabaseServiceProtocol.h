#pragma once

#include "common/Result.h"
#include "model/BL_Task.h"
#include "model/BL_Workspace.h"

#include <QFuture>
#include <QList>
#include <QUuid>
#include <optional>

// The task store as the application state and the task-file watcher see it.
// Every operation runs on the store's own serial executor, one at a time,
// off the calling thread; the returned future finishes with the outcome, and
// a main-thread coroutine co_awaits it. A failure is an Error with a readable
// message (a SQLite error, or a TaskRepositoryError for a stored row that
// does not convert); nothing throws.
class DatabaseServiceProtocol
{
public:
    virtual ~DatabaseServiceProtocol() = default;

    // Brings the store's schema up to date.
    virtual QFuture<Result<void>> migrate() = 0;
    virtual QFuture<Result<void>> upsertProject(const BL_Workspace &workspace) = 0;
    // Nothing when no task has that id.
    virtual QFuture<Result<std::optional<BL_Task>>> fetchTask(const QUuid &id) = 0;
    // The workspace's tasks, oldest first.
    virtual QFuture<Result<QList<BL_Task>>> fetchTasks(const QUuid &projectID) = 0;
    // Inserts the task or replaces the stored task with the same id.
    virtual QFuture<Result<void>> upsertTask(const BL_Task &task) = 0;
    // Removes the task if it is stored.
    virtual QFuture<Result<void>> deleteTask(const QUuid &id) = 0;

protected:
    DatabaseServiceProtocol() = default;
    DatabaseServiceProtocol(const DatabaseServiceProtocol &) = delete;
    DatabaseServiceProtocol &operator=(const DatabaseServiceProtocol &) = delete;
};
