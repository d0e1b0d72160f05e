#pragma once

#include "common/Actor.h"
#include "storage/DatabaseServiceProtocol.h"

#include <QHash>

// The task store in memory, used for the rest of the run when the task
// database cannot be opened. An actor like the SQLite store; starts empty,
// never fails, and loses everything at quit. Tasks are kept exactly as
// given: unlike the database, an upsert keeps the task's own `updatedAt`
// and replaces its `createdAt`.
class TransientDatabaseService final : public DatabaseServiceProtocol
{
public:
    TransientDatabaseService();
    ~TransientDatabaseService() override;

    QFuture<Result<void>> migrate() override; // nothing to do
    QFuture<Result<void>> upsertProject(const BL_Workspace &workspace) override;
    QFuture<Result<std::optional<BL_Task>>> fetchTask(const QUuid &id) override;
    // Stable-sorted by `createdAt`; equal times come in no promised order.
    QFuture<Result<QList<BL_Task>>> fetchTasks(const QUuid &projectID) override;
    QFuture<Result<void>> upsertTask(const BL_Task &task) override;
    QFuture<Result<void>> deleteTask(const QUuid &id) override;

private:
    // Touched only on the actor's thread.
    QHash<QUuid, BL_Workspace> m_projectsByID;
    QHash<QUuid, BL_Task> m_tasksByID;
    Actor m_actor; // last, so its thread has ended before the maps go
};
