#include "SQLiteDatabaseService.h"

#include "storage/AppDatabase.h"
#include "storage/SQLiteErrors.h"
#include "storage/SQLiteTaskRepository.h"

#include <SQLiteCpp/Database.h>

SQLiteDatabaseService::SQLiteDatabaseService(const QString &databasePath, const Clock &clock)
    : m_databasePath(databasePath), m_clock(clock), m_actor(QStringLiteral("tessaron.task-database"))
{
}

SQLiteDatabaseService::~SQLiteDatabaseService()
{
    // Calls posted earlier run first; the connection closes after them.
    m_actor.call([this] { closeOnThread(); }).waitForFinished();
}

Result<std::unique_ptr<SQLiteDatabaseService>> SQLiteDatabaseService::open(
    const QString &databasePath, const Clock &clock)
{
    std::unique_ptr<SQLiteDatabaseService> service(new SQLiteDatabaseService(databasePath, clock));
    SQLiteDatabaseService *raw = service.get();
    QFuture<Result<void>> opened = service->m_actor.call([raw] { return raw->openOnThread(); });
    const Result<void> result = opened.result();
    if (!result)
        return result.error();
    return service;
}

Result<void> SQLiteDatabaseService::openOnThread()
{
    const QString context = QStringLiteral("Could not open the task database %1").arg(m_databasePath);
    try {
        m_database = std::make_unique<SQLite::Database>(
            m_databasePath.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        m_database->exec("PRAGMA foreign_keys = ON");
        // Reading the journal mode is the first access to the file, so a
        // file that is not a database fails here.
        m_database->exec("PRAGMA journal_mode = WAL");
        m_database->exec("PRAGMA synchronous = NORMAL");
    } catch (const std::exception &exception) {
        m_database.reset();
        return SQLiteErrors::fromException(exception, context);
    }
    const Result<void> migrated = AppDatabase::migrator(m_clock).migrate(*m_database);
    if (!migrated) {
        m_database.reset();
        return migrated;
    }
    m_repository = std::make_unique<SQLiteTaskRepository>(*m_database, m_clock);
    return Result<void>::success();
}

void SQLiteDatabaseService::closeOnThread()
{
    m_repository.reset(); // its statements go before the connection
    m_database.reset();
}

QFuture<Result<void>> SQLiteDatabaseService::migrate()
{
    return m_actor.call([this]() -> Result<void> { return AppDatabase::migrator(m_clock).migrate(*m_database); });
}

QFuture<Result<void>> SQLiteDatabaseService::upsertProject(const BL_Workspace &)
{
    return m_actor.call([]() { return Result<void>::success(); });
}

QFuture<Result<std::optional<BL_Task>>> SQLiteDatabaseService::fetchTask(const QUuid &id)
{
    return m_actor.call([this, id] { return m_repository->fetchTask(id); });
}

QFuture<Result<QList<BL_Task>>> SQLiteDatabaseService::fetchTasks(const QUuid &projectID)
{
    return m_actor.call([this, projectID] { return m_repository->fetchTasks(projectID); });
}

QFuture<Result<void>> SQLiteDatabaseService::upsertTask(const BL_Task &task)
{
    return m_actor.call([this, task] { return m_repository->upsertTask(task); });
}

QFuture<Result<void>> SQLiteDatabaseService::deleteTask(const QUuid &id)
{
    return m_actor.call([this, id] { return m_repository->deleteTask(id); });
}
