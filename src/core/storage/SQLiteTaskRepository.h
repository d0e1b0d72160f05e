#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BL_Task.h"

#include <QList>
#include <QUuid>
#include <memory>
#include <optional>

namespace SQLite {
class Database;
class Statement;
} // namespace SQLite

// The SQL of the task operations on one open connection of the task
// database. Statements are prepared once and reused. The fetches read; the
// upsert and the delete each run in a write transaction of their own that is
// rolled back on failure. Nothing throws: database failures and rows that do
// not convert come back as an Error with a readable message.
//
// Not thread-safe: use it on the thread that owns the connection.
class SQLiteTaskRepository
{
public:
    // The upsert: insert a new task, or replace every column of the stored
    // one except `id`, `bl_id` and `created_at`.
    static const char *const kUpsertStatement;

    SQLiteTaskRepository(SQLite::Database &database, const Clock &clock = Clock::system());
    ~SQLiteTaskRepository();
    SQLiteTaskRepository(const SQLiteTaskRepository &) = delete;
    SQLiteTaskRepository &operator=(const SQLiteTaskRepository &) = delete;

    Result<std::optional<BL_Task>> fetchTask(const QUuid &id);
    // Oldest first by `created_at`; the first row that does not convert
    // fails the whole fetch.
    Result<QList<BL_Task>> fetchTasks(const QUuid &projectID);
    // Stores the task with `updated_at` set to the time of the call.
    Result<void> upsertTask(const BL_Task &task);
    // Removing a task that is not stored is no error.
    Result<void> deleteTask(const QUuid &id);

private:
    SQLite::Statement &prepared(std::unique_ptr<SQLite::Statement> &slot, const char *sql);

    SQLite::Database &m_database;
    const Clock &m_clock;
    std::unique_ptr<SQLite::Statement> m_fetchTask;
    std::unique_ptr<SQLite::Statement> m_fetchTasks;
    std::unique_ptr<SQLite::Statement> m_upsert;
    std::unique_ptr<SQLite::Statement> m_delete;
};
