#pragma once

#include "common/Actor.h"
#include "common/TimePoint.h"
#include "storage/DatabaseServiceProtocol.h"

#include <QString>
#include <memory>

namespace SQLite {
class Database;
}
class SQLiteTaskRepository;

// The task store in the SQLite task database. An actor: its one connection
// is opened, used and closed only on its own thread, so no two statements
// ever run at once. The file runs in write-ahead-log mode with normal
// synchronisation: every committed write survives the process ending or
// crashing, and each upsert or delete is one short transaction.
class SQLiteDatabaseService final : public DatabaseServiceProtocol
{
public:
    // Opens (creating if missing) the file and applies the schema
    // migrations; fails with the first error met, and then no service exists.
    // Blocks the caller until the file is ready.
    static Result<std::unique_ptr<SQLiteDatabaseService>> open(
        const QString &databasePath, const Clock &clock = Clock::system());
    ~SQLiteDatabaseService() override; // closes the connection on its thread

    QString databasePath() const { return m_databasePath; }

    QFuture<Result<void>> migrate() override;
    // Workspaces are not kept in the task database: does nothing.
    QFuture<Result<void>> upsertProject(const BL_Workspace &workspace) override;
    QFuture<Result<std::optional<BL_Task>>> fetchTask(const QUuid &id) override;
    QFuture<Result<QList<BL_Task>>> fetchTasks(const QUuid &projectID) override;
    // `created_at` keeps the value of the first insert; `updated_at` is the
    // time of the upsert, whatever the task carries.
    QFuture<Result<void>> upsertTask(const BL_Task &task) override;
    QFuture<Result<void>> deleteTask(const QUuid &id) override;

private:
    SQLiteDatabaseService(const QString &databasePath, const Clock &clock);
    Result<void> openOnThread();
    void closeOnThread();

    const QString m_databasePath;
    const Clock &m_clock;
    // Touched only on the actor's thread.
    std::unique_ptr<SQLite::Database> m_database;
    std::unique_ptr<SQLiteTaskRepository> m_repository;
    Actor m_actor;
};
