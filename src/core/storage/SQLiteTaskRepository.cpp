#include "SQLiteTaskRepository.h"
#include "storage/WriteTransaction.h"

#include "common/UuidText.h"
#include "storage/SQLiteErrors.h"
#include "storage/TaskRecord.h"

#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <string>

const char *const SQLiteTaskRepository::kUpsertStatement
    = "INSERT INTO tasks (\n"
      "    bl_id, project_id, status, input_data, output_data, metadata, extra_metadata,\n"
      "    worker_state, delegation_state, worker_session_key, task_history_data, task_conversation_data,\n"
      "    task_last_activity_date, created_at, updated_at\n"
      ") VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)\n"
      "ON CONFLICT(bl_id) DO UPDATE SET\n"
      "    project_id = excluded.project_id,\n"
      "    status = excluded.status,\n"
      "    input_data = excluded.input_data,\n"
      "    output_data = excluded.output_data,\n"
      "    metadata = excluded.metadata,\n"
      "    extra_metadata = excluded.extra_metadata,\n"
      "    worker_state = excluded.worker_state,\n"
      "    delegation_state = excluded.delegation_state,\n"
      "    worker_session_key = excluded.worker_session_key,\n"
      "    task_history_data = excluded.task_history_data,\n"
      "    task_conversation_data = excluded.task_conversation_data,\n"
      "    task_last_activity_date = excluded.task_last_activity_date,\n"
      "    updated_at = excluded.updated_at";

namespace {

const char *const kFetchTask = "SELECT * FROM tasks WHERE bl_id = ? LIMIT 1";
const char *const kFetchTasks = "SELECT * FROM tasks WHERE project_id = ? ORDER BY created_at ASC";
const char *const kDelete = "DELETE FROM tasks WHERE bl_id = ?";

// Leaves a reused statement ready for its next use and releases what the
// last run held (a read snapshot, bound blobs) whatever way the run ended.
class StatementRun
{
public:
    explicit StatementRun(SQLite::Statement &statement) : m_statement(statement) { m_statement.tryReset(); }
    ~StatementRun()
    {
        m_statement.tryReset();
        try {
            m_statement.clearBindings();
        } catch (...) {
        }
    }
    StatementRun(const StatementRun &) = delete;
    StatementRun &operator=(const StatementRun &) = delete;

private:
    SQLite::Statement &m_statement;
};

void bindText(SQLite::Statement &statement, int index, const QString &text)
{
    statement.bind(index, text.toStdString());
}

void bindOptionalText(SQLite::Statement &statement, int index, const std::optional<QString> &text)
{
    if (text)
        bindText(statement, index, *text);
    else
        statement.bind(index);
}

// Blobs are bound without a copy: the record outlives the statement's run.
void bindBlob(SQLite::Statement &statement, int index, const QByteArray &bytes)
{
    statement.bindNoCopy(index, static_cast<const void *>(bytes.constData()), static_cast<int>(bytes.size()));
}

void bindOptionalBlob(SQLite::Statement &statement, int index, const std::optional<QByteArray> &bytes)
{
    if (bytes)
        bindBlob(statement, index, *bytes);
    else
        statement.bind(index);
}

} // namespace

SQLiteTaskRepository::SQLiteTaskRepository(SQLite::Database &database, const Clock &clock)
    : m_database(database), m_clock(clock)
{
}

SQLiteTaskRepository::~SQLiteTaskRepository() = default;

SQLite::Statement &SQLiteTaskRepository::prepared(std::unique_ptr<SQLite::Statement> &slot, const char *sql)
{
    if (!slot)
        slot = std::make_unique<SQLite::Statement>(m_database, sql);
    return *slot;
}

Result<std::optional<BL_Task>> SQLiteTaskRepository::fetchTask(const QUuid &id)
{
    try {
        SQLite::Statement &query = prepared(m_fetchTask, kFetchTask);
        StatementRun run(query);
        query.bind(1, UuidText::lower(id).toStdString());
        if (!query.executeStep())
            return std::optional<BL_Task>();
        Result<BL_Task> task = TaskRecord::fromRow(query, m_clock).toPrimitive();
        if (!task)
            return task.error();
        return std::optional<BL_Task>(std::move(task).value());
    } catch (const std::exception &exception) {
        return SQLiteErrors::fromException(
            exception, QStringLiteral("Could not read a task from %1").arg(SQLiteErrors::describe(m_database)));
    }
}

Result<QList<BL_Task>> SQLiteTaskRepository::fetchTasks(const QUuid &projectID)
{
    try {
        SQLite::Statement &query = prepared(m_fetchTasks, kFetchTasks);
        StatementRun run(query);
        query.bind(1, UuidText::lower(projectID).toStdString());
        const TaskRowColumns columns = TaskRowColumns::of(query);
        const TimePoint now = m_clock.now();
        QList<BL_Task> tasks;
        while (query.executeStep()) {
            Result<BL_Task> task = TaskRecord::fromRow(query, columns, now).toPrimitive();
            if (!task)
                return task.error();
            tasks.append(std::move(task).value());
        }
        return tasks;
    } catch (const std::exception &exception) {
        return SQLiteErrors::fromException(exception,
            QStringLiteral("Could not read the workspace's tasks from %1").arg(SQLiteErrors::describe(m_database)));
    }
}

Result<void> SQLiteTaskRepository::upsertTask(const BL_Task &task)
{
    try {
        inWriteTransaction(m_database, [&] {
            BL_Task stored = task;
            stored.updatedAt = m_clock.now();
            const TaskRecord record = TaskRecord::fromTask(stored);

            SQLite::Statement &upsert = prepared(m_upsert, kUpsertStatement);
            StatementRun run(upsert);
            bindText(upsert, 1, record.blID);
            bindText(upsert, 2, record.projectID);
            bindText(upsert, 3, record.status);
            bindBlob(upsert, 4, record.inputData);
            bindOptionalBlob(upsert, 5, record.outputData);
            bindBlob(upsert, 6, record.metadata);
            bindOptionalBlob(upsert, 7, record.extraMetadata);
            bindText(upsert, 8, record.workerState);
            bindText(upsert, 9, record.delegationState);
            bindOptionalText(upsert, 10, record.workerSessionKey);
            bindBlob(upsert, 11, record.taskHistoryData);
            bindBlob(upsert, 12, record.taskConversationData);
            bindText(upsert, 13, record.taskLastActivityDate.toDatabaseText());
            bindText(upsert, 14, record.createdAt.toDatabaseText());
            bindText(upsert, 15, record.updatedAt.toDatabaseText());
            upsert.exec();
        });
        return Result<void>::success();
    } catch (const std::exception &exception) {
        return SQLiteErrors::fromException(
            exception, QStringLiteral("Could not save a task in %1").arg(SQLiteErrors::describe(m_database)));
    }
}

Result<void> SQLiteTaskRepository::deleteTask(const QUuid &id)
{
    try {
        inWriteTransaction(m_database, [&] {
            SQLite::Statement &remove = prepared(m_delete, kDelete);
            StatementRun run(remove);
            remove.bind(1, UuidText::lower(id).toStdString());
            remove.exec();
        });
        return Result<void>::success();
    } catch (const std::exception &exception) {
        return SQLiteErrors::fromException(
            exception, QStringLiteral("Could not delete a task from %1").arg(SQLiteErrors::describe(m_database)));
    }
}
