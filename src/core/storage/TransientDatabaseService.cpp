#include "TransientDatabaseService.h"

#include <algorithm>

TransientDatabaseService::TransientDatabaseService() : m_actor(QStringLiteral("tessaron.transient-task-store"))
{
}

TransientDatabaseService::~TransientDatabaseService() = default;

QFuture<Result<void>> TransientDatabaseService::migrate()
{
    return m_actor.call([] { return Result<void>::success(); });
}

QFuture<Result<void>> TransientDatabaseService::upsertProject(const BL_Workspace &workspace)
{
    return m_actor.call([this, workspace] {
        m_projectsByID.insert(workspace.id, workspace);
        return Result<void>::success();
    });
}

QFuture<Result<std::optional<BL_Task>>> TransientDatabaseService::fetchTask(const QUuid &id)
{
    return m_actor.call([this, id] {
        const auto found = m_tasksByID.constFind(id);
        return Result<std::optional<BL_Task>>(
            found == m_tasksByID.cend() ? std::optional<BL_Task>() : std::optional<BL_Task>(*found));
    });
}

QFuture<Result<QList<BL_Task>>> TransientDatabaseService::fetchTasks(const QUuid &projectID)
{
    return m_actor.call([this, projectID] {
        QList<BL_Task> tasks;
        for (const BL_Task &task : std::as_const(m_tasksByID)) {
            if (task.projectID == projectID)
                tasks.append(task);
        }
        std::stable_sort(
            tasks.begin(), tasks.end(), [](const BL_Task &a, const BL_Task &b) { return a.createdAt < b.createdAt; });
        return Result<QList<BL_Task>>(std::move(tasks));
    });
}

QFuture<Result<void>> TransientDatabaseService::upsertTask(const BL_Task &task)
{
    return m_actor.call([this, task] {
        m_tasksByID.insert(task.blID, task);
        return Result<void>::success();
    });
}

QFuture<Result<void>> TransientDatabaseService::deleteTask(const QUuid &id)
{
    return m_actor.call([this, id] {
        m_tasksByID.remove(id);
        return Result<void>::success();
    });
}
