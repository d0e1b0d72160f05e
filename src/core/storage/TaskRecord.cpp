#include "TaskRecord.h"

#include "common/UuidText.h"

#include <QStringDecoder>
#include <QUuid>
#include <SQLiteCpp/Column.h>
#include <SQLiteCpp/Statement.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <locale.h>

namespace TaskRepositoryError {

Error makeInvalidUUID(const QString &column, const QString &value)
{
    return Error::make(QLatin1String(kDomain), invalidUUID,
        QStringLiteral("The stored task's %1 is not a UUID: \"%2\"").arg(column, value));
}

Error makeInvalidStatus(const QString &value)
{
    return Error::make(QLatin1String(kDomain), invalidStatus,
        QStringLiteral("The stored task's status is not a task status: \"%1\"").arg(value));
}

} // namespace TaskRepositoryError

namespace {

const QByteArray kEmptyObject = QByteArrayLiteral("{}");
const QByteArray kEmptyArray = QByteArrayLiteral("[]");

// ---- Date text -------------------------------------------------------------

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Reads `count` digits at `pos`; false when any is not a digit.
bool readDigits(QStringView text, qsizetype &pos, int count, int &value)
{
    if (pos + count > text.size())
        return false;
    value = 0;
    for (int i = 0; i < count; ++i) {
        const QChar c = text[pos + i];
        if (!isDigit(c))
            return false;
        value = value * 10 + (c.unicode() - u'0');
    }
    pos += count;
    return true;
}

// "yyyy-MM-dd", optionally followed by " " or "T" and "HH:mm", optional
// ":ss", optional fraction, optional zone ("Z" or "+hh:mm"). No zone is UTC.
std::optional<TimePoint> sqlDateText(QStringView text)
{
    qsizetype pos = 0;
    int year = 0, month = 0, day = 0;
    if (!readDigits(text, pos, 4, year) || pos >= text.size() || text[pos++] != u'-' || !readDigits(text, pos, 2, month)
        || pos >= text.size() || text[pos++] != u'-' || !readDigits(text, pos, 2, day))
        return std::nullopt;
    if (!TimePoint::isValidCivilDate(year, month, day))
        return std::nullopt;

    int hour = 0, minute = 0, second = 0;
    double fraction = 0.0;
    int offsetSeconds = 0;
    if (pos < text.size()) {
        if (text[pos] != u' ' && text[pos] != u'T')
            return std::nullopt;
        ++pos;
        if (!readDigits(text, pos, 2, hour) || pos >= text.size() || text[pos++] != u':'
            || !readDigits(text, pos, 2, minute))
            return std::nullopt;
        if (pos < text.size() && text[pos] == u':') {
            ++pos;
            if (!readDigits(text, pos, 2, second))
                return std::nullopt;
            if (pos < text.size() && text[pos] == u'.') {
                const qsizetype start = ++pos;
                double scale = 0.1;
                while (pos < text.size() && isDigit(text[pos])) {
                    fraction += (text[pos].unicode() - u'0') * scale;
                    scale /= 10.0;
                    ++pos;
                }
                if (pos == start)
                    return std::nullopt;
            }
        }
        if (pos < text.size()) {
            if (text[pos] == u'Z') {
                ++pos;
            } else if (text[pos] == u'+' || text[pos] == u'-') {
                const bool negative = text[pos] == u'-';
                ++pos;
                int offsetHours = 0, offsetMinutes = 0;
                if (!readDigits(text, pos, 2, offsetHours) || pos >= text.size() || text[pos++] != u':'
                    || !readDigits(text, pos, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59)
                    return std::nullopt;
                offsetSeconds = (offsetHours * 3600 + offsetMinutes * 60) * (negative ? -1 : 1);
            } else {
                return std::nullopt;
            }
        }
        if (pos != text.size() || hour > 23 || minute > 59 || second > 59)
            return std::nullopt;
    }
    const double unix = static_cast<double>(TimePoint::daysFromCivil(year, month, day)) * 86400.0 + hour * 3600.0
        + minute * 60.0 + second + fraction - offsetSeconds;
    return TimePoint::fromUnixSecondsChecked(unix);
}

// The C library's number parser in the C locale, whatever the process locale;
// the whole text must be consumed and a leading blank is refused.
std::optional<double> cNumber(QStringView text)
{
    if (text.isEmpty() || text.front().isSpace())
        return std::nullopt;
    static const locale_t cLocale = newlocale(LC_NUMERIC_MASK, "C", locale_t(nullptr));
    if (cLocale == locale_t(nullptr))
        return std::nullopt;
    const QByteArray bytes = text.toUtf8();
    if (std::strlen(bytes.constData()) != static_cast<size_t>(bytes.size()))
        return std::nullopt; // an embedded NUL ends the C text early
    char *end = nullptr;
    const double value = strtod_l(bytes.constData(), &end, cLocale);
    if (end != bytes.constData() + bytes.size())
        return std::nullopt;
    return value;
}

// ---- Row values ------------------------------------------------------------

class RowReader
{
public:
    RowReader(const SQLite::Statement &row) : m_row(row) { }

    int type(int index) const { return index < 0 ? SQLITE_NULL : m_row.getColumn(index).getType(); }

    std::optional<QString> text(int index) const
    {
        switch (type(index)) {
        case SQLITE_TEXT: {
            const SQLite::Column column = m_row.getColumn(index);
            const char *data = static_cast<const char *>(column.getBlob());
            return QString::fromUtf8(data, column.getBytes());
        }
        case SQLITE_BLOB: {
            const SQLite::Column column = m_row.getColumn(index);
            const char *data = static_cast<const char *>(column.getBlob());
            QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            QString decoded = decoder.decode(QByteArrayView(data, column.getBytes()));
            if (decoder.hasError())
                return std::nullopt;
            return decoded;
        }
        default:
            return std::nullopt;
        }
    }

    std::optional<QByteArray> bytes(int index) const
    {
        const int kind = type(index);
        if (kind != SQLITE_BLOB && kind != SQLITE_TEXT)
            return std::nullopt;
        const SQLite::Column column = m_row.getColumn(index);
        const char *data = static_cast<const char *>(column.getBlob());
        return QByteArray(data, column.getBytes());
    }

    std::optional<qint64> integer(int index) const
    {
        if (type(index) != SQLITE_INTEGER)
            return std::nullopt;
        return m_row.getColumn(index).getInt64();
    }

    std::optional<TimePoint> date(int index) const
    {
        const int kind = type(index);
        if (kind == SQLITE_INTEGER || kind == SQLITE_FLOAT)
            return TimePoint::fromUnixSecondsChecked(m_row.getColumn(index).getDouble());
        const std::optional<QString> value = text(index);
        if (!value)
            return std::nullopt;
        return TaskRecord::dateFromText(*value);
    }

private:
    const SQLite::Statement &m_row;
};

QString randomIdentifier()
{
    return UuidText::lower(QUuid::createUuid());
}

} // namespace

TaskRowColumns TaskRowColumns::of(const SQLite::Statement &statement)
{
    TaskRowColumns columns;
    struct Named
    {
        const char *name;
        int TaskRowColumns::*field;
    };
    static const Named kNames[] = {
        {"id", &TaskRowColumns::id},
        {"bl_id", &TaskRowColumns::blID},
        {"project_id", &TaskRowColumns::projectID},
        {"status", &TaskRowColumns::status},
        {"input_data", &TaskRowColumns::inputData},
        {"output_data", &TaskRowColumns::outputData},
        {"metadata", &TaskRowColumns::metadata},
        {"extra_metadata", &TaskRowColumns::extraMetadata},
        {"worker_state", &TaskRowColumns::workerState},
        {"delegation_state", &TaskRowColumns::delegationState},
        {"worker_session_key", &TaskRowColumns::workerSessionKey},
        {"task_history_data", &TaskRowColumns::taskHistoryData},
        {"task_conversation_data", &TaskRowColumns::taskConversationData},
        {"task_last_activity_date", &TaskRowColumns::taskLastActivityDate},
        {"created_at", &TaskRowColumns::createdAt},
        {"updated_at", &TaskRowColumns::updatedAt},
    };
    const int count = statement.getColumnCount();
    for (int i = 0; i < count; ++i) {
        const char *name = statement.getColumnName(i);
        for (const Named &named : kNames) {
            // The first column of a name wins, as a lookup by name would.
            if (std::strcmp(name, named.name) == 0 && columns.*named.field < 0)
                columns.*named.field = i;
        }
    }
    return columns;
}

TaskRecord TaskRecord::fromTask(const BL_Task &task)
{
    TaskRecord record;
    record.blID = UuidText::lower(task.blID);
    record.projectID = UuidText::lower(task.projectID);
    record.status = rawValue(task.status);
    record.inputData = task.inputData;
    record.outputData = task.outputData;
    record.metadata = task.metadata;
    record.extraMetadata = task.extraMetadata;
    record.workerState = rawValue(task.workerState);
    record.delegationState = rawValue(task.delegationState);
    record.workerSessionKey = task.workerSessionKey;
    record.taskHistoryData = task.taskHistoryData;
    record.taskConversationData = task.taskConversationData;
    record.taskLastActivityDate = task.taskLastActivityDate;
    record.createdAt = task.createdAt;
    record.updatedAt = task.updatedAt;
    return record;
}

TaskRecord TaskRecord::fromRow(const SQLite::Statement &row, const Clock &clock)
{
    return fromRow(row, TaskRowColumns::of(row), clock.now());
}

TaskRecord TaskRecord::fromRow(const SQLite::Statement &row, const TaskRowColumns &columns, TimePoint now)
{
    const RowReader reader(row);
    TaskRecord record;
    record.createdAt = reader.date(columns.createdAt).value_or(now);
    record.updatedAt = reader.date(columns.updatedAt).value_or(record.createdAt);
    record.id = reader.integer(columns.id);
    // A row without a usable identifier gets a new one on every read.
    std::optional<QString> blID = reader.text(columns.blID);
    record.blID = blID ? std::move(*blID) : randomIdentifier();
    std::optional<QString> projectID = reader.text(columns.projectID);
    record.projectID = projectID ? std::move(*projectID) : randomIdentifier();
    record.status = reader.text(columns.status).value_or(QStringLiteral("backlog"));
    record.inputData = reader.bytes(columns.inputData).value_or(kEmptyObject);
    record.outputData = reader.bytes(columns.outputData);
    record.metadata = reader.bytes(columns.metadata).value_or(kEmptyObject);
    record.extraMetadata = reader.bytes(columns.extraMetadata);
    record.workerState = reader.text(columns.workerState).value_or(QStringLiteral("notDelegated"));
    record.delegationState = reader.text(columns.delegationState).value_or(QStringLiteral("unallocated"));
    record.workerSessionKey = reader.text(columns.workerSessionKey);
    record.taskHistoryData = reader.bytes(columns.taskHistoryData).value_or(kEmptyArray);
    record.taskConversationData = reader.bytes(columns.taskConversationData).value_or(kEmptyArray);
    record.taskLastActivityDate = reader.date(columns.taskLastActivityDate).value_or(record.updatedAt);
    return record;
}

std::optional<TimePoint> TaskRecord::dateFromText(QStringView text)
{
    if (auto date = sqlDateText(text))
        return date;
    if (auto date = TimePoint::fromIso8601(text, TimePoint::Fraction::Forbidden))
        return date;
    if (auto number = cNumber(text))
        return TimePoint::fromUnixSecondsChecked(*number);
    return std::nullopt;
}

Result<BL_Task> TaskRecord::toPrimitive() const
{
    const std::optional<QUuid> taskID = UuidText::parse(blID);
    if (!taskID)
        return TaskRepositoryError::makeInvalidUUID(QStringLiteral("bl_id"), blID);
    const std::optional<QUuid> workspaceID = UuidText::parse(projectID);
    if (!workspaceID)
        return TaskRepositoryError::makeInvalidUUID(QStringLiteral("project_id"), projectID);
    const std::optional<BL_TaskStatus> taskStatus = taskStatusFromRaw(status);
    if (!taskStatus)
        return TaskRepositoryError::makeInvalidStatus(status);

    BL_Task task;
    task.blID = *taskID;
    task.projectID = *workspaceID;
    task.status = *taskStatus;
    task.inputData = inputData;
    task.outputData = outputData;
    task.metadata = metadata;
    task.extraMetadata = extraMetadata;
    task.workerState = taskWorkerStateFromRaw(workerState).value_or(BL_TaskWorkerState::notDelegated);
    task.delegationState = taskDelegationStateFromRaw(delegationState).value_or(BL_TaskDelegationState::unallocated);
    task.workerSessionKey = workerSessionKey;
    task.taskHistoryData = taskHistoryData;
    task.taskConversationData = taskConversationData;
    task.taskLastActivityDate = taskLastActivityDate;
    task.createdAt = createdAt;
    task.updatedAt = updatedAt;
    return task;
}
