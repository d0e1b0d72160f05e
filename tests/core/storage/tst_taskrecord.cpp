#include "TestSupport.h"
#include "common/UuidText.h"
#include "storage/AppDatabase.h"
#include "storage/SQLiteTaskRepository.h"
#include "storage/TaskRecord.h"

#include <QTemporaryDir>
#include <QtTest>
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

#include <variant>

namespace {

const TimePoint kReadMoment = TimePoint::fromUnixSeconds(1750000000.5);
const TimePoint kUpsertMoment = TimePoint::fromUnixSeconds(1750000100.125);

BL_Task sampleTask()
{
    BL_Task task;
    task.blID = QUuid::createUuid();
    task.projectID = QUuid::createUuid();
    task.status = BL_TaskStatus::inProgress;
    task.inputData = QByteArrayLiteral("{\"title\":\"Ship it\"}");
    task.outputData = QByteArrayLiteral("{\"result\":\"done\"}");
    task.metadata = QByteArrayLiteral("{\"priority\":\"high\"}");
    task.extraMetadata = QByteArrayLiteral("{\"x\":1}");
    task.workerState = BL_TaskWorkerState::delegatedAccepted;
    task.delegationState = BL_TaskDelegationState::spawnPending;
    task.workerSessionKey = QStringLiteral("agent:worker-2:session");
    task.taskHistoryData = QByteArrayLiteral("[{\"n\":1}]");
    task.taskConversationData = QByteArrayLiteral("[{\"n\":2}]");
    // Sub-millisecond parts that the database text cannot keep.
    task.taskLastActivityDate = TimePoint::fromUnixSeconds(1700000200.2345678);
    task.createdAt = TimePoint::fromUnixSeconds(1700000000.0004);
    task.updatedAt = TimePoint::fromUnixSeconds(1700000100.9996);
    return task;
}

TimePoint toMilliseconds(TimePoint time)
{
    return TimePoint::fromDatabaseText(time.toDatabaseText()).value();
}

// A value bound with its own SQLite storage class.
using Value = std::variant<std::monostate, qint64, double, QString, QByteArray>;

void bindValue(SQLite::Statement &statement, int index, const Value &value)
{
    if (const auto *integer = std::get_if<qint64>(&value))
        statement.bind(index, static_cast<int64_t>(*integer));
    else if (const auto *real = std::get_if<double>(&value))
        statement.bind(index, *real);
    else if (const auto *text = std::get_if<QString>(&value))
        statement.bind(index, text->toStdString());
    else if (const auto *bytes = std::get_if<QByteArray>(&value))
        statement.bind(index, static_cast<const void *>(bytes->constData()), static_cast<int>(bytes->size()));
    else
        statement.bind(index);
}

// A table named tasks whose untyped columns keep every value's storage class
// exactly as bound, with one row: the given columns and values.
TaskRecord readSingleRow(const QStringList &columns, const QList<Value> &values)
{
    SQLite::Database database(":memory:", SQLite::OPEN_READWRITE);
    database.exec(("CREATE TABLE tasks (" + columns.join(u", ") + ")").toStdString());
    QStringList marks;
    for (qsizetype i = 0; i < columns.size(); ++i)
        marks.append(QStringLiteral("?"));
    SQLite::Statement insert(
        database, ("INSERT INTO tasks (" + columns.join(u", ") + ") VALUES (" + marks.join(u", ") + ")").toStdString());
    for (qsizetype i = 0; i < values.size(); ++i)
        bindValue(insert, static_cast<int>(i + 1), values[i]);
    insert.exec();
    SQLite::Statement select(database, "SELECT * FROM tasks");
    if (!select.executeStep())
        qFatal("the row went missing");
    TestSupport::PinnedClock clock(kReadMoment);
    return TaskRecord::fromRow(select, clock);
}

const QString kTaskID = QStringLiteral("8a3c2f4e-1b6d-4c1e-9f2a-0d5b7e6c4a31");
const QString kProjectID = QStringLiteral("1f0e2d3c-4b5a-4968-8776-a5b4c3d2e1f0");

} // namespace

Q_DECLARE_METATYPE(Value)
Q_DECLARE_METATYPE(TimePoint)

class TaskRecordTest : public QObject
{
    Q_OBJECT

private slots:
    void taskConvertsBackToItself()
    {
        const BL_Task task = sampleTask();
        const TaskRecord record = TaskRecord::fromTask(task);
        QCOMPARE(record.blID, UuidText::lower(task.blID));
        QCOMPARE(record.projectID, UuidText::lower(task.projectID));
        QCOMPARE(record.status, QStringLiteral("in_progress"));
        QCOMPARE(record.workerState, QStringLiteral("delegated/accepted"));
        QCOMPARE(record.delegationState, QStringLiteral("spawn_pending"));
        QVERIFY(!record.id);
        const Result<BL_Task> back = record.toPrimitive();
        QVERIFY2(back.ok(), qPrintable(back.errorMessage()));
        QCOMPARE(*back, task);
    }

    void upsertedRowReadsBackAsTheTask()
    {
        QTemporaryDir dir;
        SQLite::Database database(dir.filePath(QStringLiteral("tessaron.sqlite")).toStdString(),
            SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        QVERIFY(AppDatabase::migrator().migrate(database).ok());
        TestSupport::PinnedClock clock(kUpsertMoment);
        SQLiteTaskRepository repository(database, clock);
        const BL_Task task = sampleTask();
        QVERIFY(repository.upsertTask(task).ok());

        // The stored value forms.
        SQLite::Statement row(database,
            "SELECT bl_id, project_id, status, typeof(input_data), created_at, updated_at, "
            "task_last_activity_date, organization_id FROM tasks");
        QVERIFY(row.executeStep());
        QCOMPARE(QString::fromStdString(row.getColumn(0).getString()), UuidText::lower(task.blID));
        QCOMPARE(QString::fromStdString(row.getColumn(1).getString()), UuidText::lower(task.projectID));
        QCOMPARE(row.getColumn(2).getString(), std::string("in_progress"));
        QCOMPARE(row.getColumn(3).getString(), std::string("blob"));
        QCOMPARE(row.getColumn(4).getString(), std::string("2023-11-14 22:13:20.000"));
        QCOMPARE(QString::fromStdString(row.getColumn(5).getString()), kUpsertMoment.toDatabaseText());
        QCOMPARE(row.getColumn(6).getString(), std::string("2023-11-14 22:16:40.235"));
        QVERIFY(row.getColumn(7).isNull());

        BL_Task expected = task;
        expected.createdAt = toMilliseconds(task.createdAt);
        expected.taskLastActivityDate = toMilliseconds(task.taskLastActivityDate);
        expected.updatedAt = toMilliseconds(kUpsertMoment);
        const auto fetched = repository.fetchTask(task.blID);
        QVERIFY2(fetched.ok(), qPrintable(fetched.errorMessage()));
        QVERIFY(fetched->has_value());
        QCOMPARE(**fetched, expected);
    }

    void absentOptionalsAreStoredAsNull()
    {
        QTemporaryDir dir;
        SQLite::Database database(dir.filePath(QStringLiteral("tessaron.sqlite")).toStdString(),
            SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        QVERIFY(AppDatabase::migrator().migrate(database).ok());
        SQLiteTaskRepository repository(database);
        BL_Task task = sampleTask();
        task.outputData.reset();
        task.extraMetadata.reset();
        task.workerSessionKey.reset();
        task.inputData = QByteArray(); // empty, but still a blob and not NULL
        QVERIFY(repository.upsertTask(task).ok());
        SQLite::Statement row(database,
            "SELECT output_data IS NULL, extra_metadata IS NULL, worker_session_key IS NULL, typeof(input_data) "
            "FROM tasks");
        QVERIFY(row.executeStep());
        QCOMPARE(row.getColumn(0).getInt(), 1);
        QCOMPARE(row.getColumn(1).getInt(), 1);
        QCOMPARE(row.getColumn(2).getInt(), 1);
        QCOMPARE(row.getColumn(3).getString(), std::string("blob"));
        const auto fetched = repository.fetchTask(task.blID);
        QVERIFY(fetched.ok() && fetched->has_value());
        QVERIFY(!(*fetched)->outputData && !(*fetched)->extraMetadata && !(*fetched)->workerSessionKey);
        QCOMPARE((*fetched)->inputData, QByteArray());
    }

    void rowOfTheFirstSchemaGetsDefaults()
    {
        QTemporaryDir dir;
        SQLite::Database database(
            dir.filePath(QStringLiteral("old.sqlite")).toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        DatabaseMigrator firstOnly;
        const auto all = AppDatabase::migrator().migrations();
        firstOnly.registerMigration(all[0].identifier, all[0].steps);
        QVERIFY(firstOnly.migrate(database).ok());
        database.exec("INSERT INTO tasks (bl_id, project_id, status, input_data, output_data, metadata, created_at, "
                      "updated_at) VALUES ('"
            + kTaskID.toStdString() + "', '" + kProjectID.toStdString()
            + "', 'queued', X'7B7D', NULL, X'7B7D', '2024-05-01 12:00:00.000', '2024-05-02 08:30:00.250')");
        SQLite::Statement select(database, "SELECT * FROM tasks");
        QVERIFY(select.executeStep());
        TestSupport::PinnedClock clock(kReadMoment);
        const TaskRecord record = TaskRecord::fromRow(select, clock);
        QCOMPARE(record.id, std::optional<qint64>(1));
        const Result<BL_Task> task = record.toPrimitive();
        QVERIFY2(task.ok(), qPrintable(task.errorMessage()));
        QCOMPARE(task->status, BL_TaskStatus::queued);
        QCOMPARE(task->workerState, BL_TaskWorkerState::notDelegated);
        QCOMPARE(task->delegationState, BL_TaskDelegationState::unallocated);
        QCOMPARE(task->taskHistoryData, QByteArrayLiteral("[]"));
        QCOMPARE(task->taskConversationData, QByteArrayLiteral("[]"));
        QVERIFY(!task->workerSessionKey);
        QVERIFY(!task->extraMetadata);
        QVERIFY(!task->outputData);
        QCOMPARE(task->createdAt, *TimePoint::fromDatabaseText(u"2024-05-01 12:00:00.000"));
        QCOMPARE(task->updatedAt, *TimePoint::fromDatabaseText(u"2024-05-02 08:30:00.250"));
        QCOMPARE(task->taskLastActivityDate, task->updatedAt);
    }

    void rowWithoutDatesTakesTheMomentOfReading()
    {
        const TaskRecord record = readSingleRow(
            {QStringLiteral("bl_id"), QStringLiteral("project_id")}, {Value(kTaskID), Value(kProjectID)});
        QCOMPARE(record.createdAt, kReadMoment);
        QCOMPARE(record.updatedAt, kReadMoment);
        QCOMPARE(record.taskLastActivityDate, kReadMoment);
        QCOMPARE(record.status, QStringLiteral("backlog"));
        QCOMPARE(record.inputData, QByteArrayLiteral("{}"));
        QCOMPARE(record.metadata, QByteArrayLiteral("{}"));
        QVERIFY(!record.id);
    }

    void updatedDateFallsBackToCreatedDate()
    {
        const TaskRecord record = readSingleRow({QStringLiteral("created_at"), QStringLiteral("updated_at")},
            {Value(QStringLiteral("2024-05-01")), Value()});
        QCOMPARE(record.createdAt, TimePoint::fromUnixSeconds(1714521600));
        QCOMPARE(record.updatedAt, record.createdAt);
        QCOMPARE(record.taskLastActivityDate, record.createdAt);
    }

    void dateReadings_data()
    {
        QTest::addColumn<Value>("stored");
        QTest::addColumn<TimePoint>("expected");
        const TimePoint noon = TimePoint::fromUnixSeconds(1714564800); // 2024-05-01 12:00:00 UTC
        const TimePoint dayTwo = TimePoint::fromUnixSeconds(86400);
        QTest::newRow("storage form") << Value(QStringLiteral("2024-05-01 12:00:00.000")) << noon;
        QTest::newRow("offset") << Value(QStringLiteral("2024-05-01T12:00:00+02:00")) << noon.addSeconds(-7200);
        QTest::newRow("zulu") << Value(QStringLiteral("2024-05-01T12:00:00Z")) << noon;
        QTest::newRow("minutes only") << Value(QStringLiteral("2024-05-01 12:00")) << noon;
        QTest::newRow("long fraction") << Value(QStringLiteral("2024-05-01 12:00:00.5")) << noon.addSeconds(0.5);
        QTest::newRow("date only") << Value(QStringLiteral("2024-05-01")) << noon.addSeconds(-43200);
        QTest::newRow("compact offset") << Value(QStringLiteral("2024-05-01T12:00:00+0200")) << noon.addSeconds(-7200);
        QTest::newRow("integer") << Value(qint64(86400)) << dayTwo;
        QTest::newRow("real") << Value(86400.25) << dayTwo.addSeconds(0.25);
        QTest::newRow("number text") << Value(QStringLiteral("86400")) << dayTwo;
        QTest::newRow("exponent text") << Value(QStringLiteral("8.64e4")) << dayTwo;
        QTest::newRow("utf-8 blob") << Value(QByteArrayLiteral("2024-05-01 12:00:00.000")) << noon;
        QTest::newRow("word") << Value(QStringLiteral("yesterday")) << kReadMoment;
        QTest::newRow("leading blank") << Value(QStringLiteral(" 86400")) << kReadMoment;
        QTest::newRow("trailing blank") << Value(QStringLiteral("2024-05-01 12:00:00.000 ")) << kReadMoment;
        QTest::newRow("month 13") << Value(QStringLiteral("2024-13-01 12:00:00.000")) << kReadMoment;
        QTest::newRow("february 30") << Value(QStringLiteral("2024-02-30")) << kReadMoment;
        QTest::newRow("not a number") << Value(QStringLiteral("nan")) << kReadMoment;
        QTest::newRow("infinite") << Value(QStringLiteral("inf")) << kReadMoment;
        QTest::newRow("far future") << Value(1e300) << kReadMoment;
        QTest::newRow("invalid utf-8 blob") << Value(QByteArray("\xff\xfe", 2)) << kReadMoment;
        QTest::newRow("empty") << Value(QString()) << kReadMoment;
        QTest::newRow("null") << Value() << kReadMoment;
    }

    void dateReadings()
    {
        QFETCH(Value, stored);
        QFETCH(TimePoint, expected);
        const TaskRecord record = readSingleRow({QStringLiteral("created_at")}, {stored});
        QCOMPARE(record.createdAt, expected);
    }

    void valuesOfTheWrongKindFallBack()
    {
        const QByteArray notUtf8("\xc3\x28", 2);
        const TaskRecord record
            = readSingleRow({QStringLiteral("id"), QStringLiteral("bl_id"), QStringLiteral("project_id"),
                                QStringLiteral("status"), QStringLiteral("input_data"), QStringLiteral("output_data"),
                                QStringLiteral("metadata"), QStringLiteral("worker_state"),
                                QStringLiteral("delegation_state"), QStringLiteral("worker_session_key"),
                                QStringLiteral("task_history_data"), QStringLiteral("task_conversation_data")},
                {Value(QStringLiteral("seven")), Value(notUtf8), Value(kProjectID.toUtf8()), Value(qint64(5)),
                    Value(qint64(42)), Value(3.5), Value(QStringLiteral("{\"as\":\"text\"}")), Value(2.0),
                    Value(QByteArrayLiteral("claimed")), Value(notUtf8), Value(qint64(1)), Value()});
        QVERIFY(!record.id);
        QVERIFY(UuidText::parse(record.blID)); // a fresh identifier in place of bytes that are no text
        QCOMPARE(record.projectID, kProjectID); // a UTF-8 blob counts as text
        QCOMPARE(record.status, QStringLiteral("backlog"));
        QCOMPARE(record.inputData, QByteArrayLiteral("{}"));
        QVERIFY(!record.outputData);
        QCOMPARE(record.metadata, QByteArrayLiteral("{\"as\":\"text\"}"));
        QCOMPARE(record.workerState, QStringLiteral("notDelegated"));
        QCOMPARE(record.delegationState, QStringLiteral("claimed"));
        QVERIFY(!record.workerSessionKey);
        QCOMPARE(record.taskHistoryData, QByteArrayLiteral("[]"));
        QCOMPARE(record.taskConversationData, QByteArrayLiteral("[]"));
    }

    void missingIdentifierIsNewOnEveryRead()
    {
        const TaskRecord first = readSingleRow({QStringLiteral("bl_id")}, {Value()});
        const TaskRecord second = readSingleRow({QStringLiteral("bl_id")}, {Value()});
        QVERIFY(UuidText::parse(first.blID));
        QVERIFY(UuidText::parse(first.projectID));
        QVERIFY(first.blID != second.blID);
        QCOMPARE(first.blID, first.blID.toLower());
    }

    void strictConversion_data()
    {
        QTest::addColumn<QString>("blID");
        QTest::addColumn<QString>("projectID");
        QTest::addColumn<QString>("status");
        QTest::addColumn<int>("code"); // 0: converts
        QTest::addColumn<QStringList>("named"); // what the message names

        QTest::newRow("upper-case id") << kTaskID.toUpper() << kProjectID << "completed" << 0 << QStringList();
        QTest::newRow("id not a uuid") << "task-17" << kProjectID << "completed"
                                       << int(TaskRepositoryError::invalidUUID) << QStringList {"bl_id", "\"task-17\""};
        QTest::newRow("braced id") << "{" + kTaskID + "}" << kProjectID << "completed"
                                   << int(TaskRepositoryError::invalidUUID) << QStringList {"bl_id"};
        QTest::newRow("empty id") << "" << kProjectID << "completed" << int(TaskRepositoryError::invalidUUID)
                                  << QStringList {"bl_id", "\"\""};
        QTest::newRow("project not a uuid")
            << kTaskID << "workspace"
            << "completed" << int(TaskRepositoryError::invalidUUID) << QStringList {"project_id", "\"workspace\""};
        QTest::newRow("case name") << kTaskID << kProjectID << "inProgress" << int(TaskRepositoryError::invalidStatus)
                                   << QStringList {"status", "\"inProgress\""};
        QTest::newRow("capitalised") << kTaskID << kProjectID << "Completed" << int(TaskRepositoryError::invalidStatus)
                                     << QStringList {"\"Completed\""};
        QTest::newRow("identifier checked first")
            << "x"
            << "y"
            << "z" << int(TaskRepositoryError::invalidUUID) << QStringList {"bl_id"};
    }

    void strictConversion()
    {
        QFETCH(QString, blID);
        QFETCH(QString, projectID);
        QFETCH(QString, status);
        QFETCH(int, code);
        QFETCH(QStringList, named);
        const TaskRecord record
            = readSingleRow({QStringLiteral("bl_id"), QStringLiteral("project_id"), QStringLiteral("status")},
                {Value(blID), Value(projectID), Value(status)});
        const Result<BL_Task> task = record.toPrimitive();
        if (code == 0) {
            QVERIFY2(task.ok(), qPrintable(task.errorMessage()));
            QCOMPARE(task->blID, *UuidText::parse(kTaskID));
            return;
        }
        QVERIFY(!task.ok());
        QCOMPARE(task.error().domain, QStringLiteral("TaskRepositoryError"));
        QCOMPARE(task.error().code, code);
        for (const QString &fragment : named)
            QVERIFY2(task.errorMessage().contains(fragment), qPrintable(task.errorMessage()));
    }

    void unknownStatesBecomeDefaults()
    {
        const TaskRecord record
            = readSingleRow({QStringLiteral("bl_id"), QStringLiteral("project_id"), QStringLiteral("status"),
                                QStringLiteral("worker_state"), QStringLiteral("delegation_state")},
                {Value(kTaskID), Value(kProjectID), Value(QStringLiteral("failed")), Value(QStringLiteral("running")),
                    Value(QStringLiteral("Claimed"))});
        const Result<BL_Task> task = record.toPrimitive();
        QVERIFY2(task.ok(), qPrintable(task.errorMessage()));
        QCOMPARE(task->status, BL_TaskStatus::failed);
        QCOMPARE(task->workerState, BL_TaskWorkerState::notDelegated);
        QCOMPARE(task->delegationState, BL_TaskDelegationState::unallocated);
    }
};

QTEST_GUILESS_MAIN(TaskRecordTest)
#include "tst_taskrecord.moc"
