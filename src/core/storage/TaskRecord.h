#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BL_Task.h"

#include <QByteArray>
#include <QString>
#include <optional>

namespace SQLite {
class Statement;
}

// Why a stored task row could not become a task. Reported as an Error in
// domain kDomain with one of the codes below; the message names the column
// and the offending text.
namespace TaskRepositoryError {

inline constexpr const char *kDomain = "TaskRepositoryError";
enum Code { invalidUUID = 1, invalidStatus = 2 };

Error makeInvalidUUID(const QString &column, const QString &value);
Error makeInvalidStatus(const QString &value);

} // namespace TaskRepositoryError

// Where each column of `tasks` sits in a result row, looked up once per
// statement; -1 for a column the row does not have.
struct TaskRowColumns
{
    int id = -1;
    int blID = -1;
    int projectID = -1;
    int status = -1;
    int inputData = -1;
    int outputData = -1;
    int metadata = -1;
    int extraMetadata = -1;
    int workerState = -1;
    int delegationState = -1;
    int workerSessionKey = -1;
    int taskHistoryData = -1;
    int taskConversationData = -1;
    int taskLastActivityDate = -1;
    int createdAt = -1;
    int updatedAt = -1;

    static TaskRowColumns of(const SQLite::Statement &statement);
};

// A task as one row of table `tasks`. Identifiers are lower-case UUID text,
// the three states their raw texts, the JSON blobs the task's own bytes and
// dates the database text "yyyy-MM-dd HH:mm:ss.SSS" in UTC (kept to the
// millisecond). `organization_id` is never read or written.
struct TaskRecord
{
    static constexpr const char *kTableName = "tasks";

    std::optional<qint64> id; // assigned by the database on the first insert
    QString blID;
    QString projectID;
    QString status;
    QByteArray inputData;
    std::optional<QByteArray> outputData;
    QByteArray metadata;
    std::optional<QByteArray> extraMetadata;
    QString workerState;
    QString delegationState;
    std::optional<QString> workerSessionKey;
    QByteArray taskHistoryData;
    QByteArray taskConversationData;
    TimePoint taskLastActivityDate;
    TimePoint createdAt;
    TimePoint updatedAt;

    static TaskRecord fromTask(const BL_Task &task);

    // Reads the statement's current row and never fails: a missing or NULL
    // column, or a value of a kind the column cannot use, gives the column's
    // default ("backlog", "notDelegated", "unallocated", "{}", "[]", a fresh
    // random identifier, or for dates `now`, then `createdAt`, then
    // `updatedAt`). Dates are read from the database text, ISO 8601 or a
    // number of seconds since 1970.
    static TaskRecord fromRow(const SQLite::Statement &row, const TaskRowColumns &columns, TimePoint now);
    static TaskRecord fromRow(const SQLite::Statement &row, const Clock &clock = Clock::system());

    // The task, or a TaskRepositoryError for an identifier that is not UUID
    // text or a status that is not a raw status value. Unknown worker and
    // delegation states become notDelegated and unallocated.
    Result<BL_Task> toPrimitive() const;

    // The date readings of a row's value, in the order they are tried; also
    // used for date text from elsewhere. Nothing when none applies.
    static std::optional<TimePoint> dateFromText(QStringView text);

    friend bool operator==(const TaskRecord &, const TaskRecord &) = default;
};
