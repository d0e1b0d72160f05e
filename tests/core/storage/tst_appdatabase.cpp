#include "TestSupport.h"
#include "storage/AppDatabase.h"

#include <QProcess>
#include <QtTest>
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

namespace {

const TimePoint kCreated = TimePoint::fromUnixSeconds(1700000000);
const TimePoint kUpgraded = TimePoint::fromUnixSeconds(1700003600.25);

// The schema as the sqlite3 program prints it.
QByteArray schemaOf(const QString &path)
{
    QProcess sqlite;
    sqlite.start(QStringLiteral("sqlite3"), {path, QStringLiteral(".schema")});
    if (!sqlite.waitForFinished(10000) || sqlite.exitCode() != 0)
        return "sqlite3 failed: " + sqlite.readAllStandardError();
    return sqlite.readAllStandardOutput();
}

QStringList applied(SQLite::Database &database)
{
    const auto identifiers = DatabaseMigrator::appliedIdentifiers(database);
    return identifiers ? *identifiers : QStringList {QStringLiteral("error: ") + identifiers.errorMessage()};
}

// Applies only the first `count` of the six migrations.
void migrateFirst(SQLite::Database &database, int count, const Clock &clock)
{
    DatabaseMigrator partial;
    const auto all = AppDatabase::migrator(clock).migrations();
    for (int i = 0; i < count; ++i)
        partial.registerMigration(all[i].identifier, all[i].steps);
    const auto result = partial.migrate(database);
    QVERIFY2(result.ok(), qPrintable(result.errorMessage()));
}

QStringList taskColumns(SQLite::Database &database)
{
    QStringList names;
    SQLite::Statement query(database, "PRAGMA table_info(tasks)");
    while (query.executeStep())
        names.append(QString::fromStdString(query.getColumn(1).getString()));
    return names;
}

bool indexExists(SQLite::Database &database, const char *name)
{
    SQLite::Statement query(database, "SELECT count(*) FROM sqlite_master WHERE type = 'index' AND name = ?");
    query.bind(1, name);
    query.executeStep();
    return query.getColumn(0).getInt() == 1;
}

const QStringList kAllSix = {QStringLiteral("v1_initial"), QStringLiteral("v2_task_extra_metadata"),
    QStringLiteral("v3_task_activity_tracking"), QStringLiteral("v4_task_conversation_tracking"),
    QStringLiteral("v5_delegation_state_tracking"), QStringLiteral("v6_org_team_node_foundation")};

} // namespace

class AppDatabaseTest : public QObject
{
    Q_OBJECT

private slots:
    void newFileReceivesTheWholeSchema()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tessaron.sqlite"));
        TestSupport::PinnedClock clock(kCreated);
        {
            SQLite::Database database(path.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
            const auto result = AppDatabase::migrator(clock).migrate(database);
            QVERIFY2(result.ok(), qPrintable(result.errorMessage()));
            QCOMPARE(applied(database), kAllSix);
        }
        // The expected text is what `sqlite3 <file> .schema` printed for a new
        // file migrated at 2023-11-14 22:13:20 UTC.
        QFile expected(TestSupport::fixturesPath(QStringLiteral("storage/tessaron-schema.sql")));
        QVERIFY(expected.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(schemaOf(path)), QString::fromUtf8(expected.readAll()));
    }

    void defaultsFillARowThatGivesOnlyTheRequiredColumns()
    {
        QTemporaryDir dir;
        TestSupport::PinnedClock clock(kCreated);
        SQLite::Database database(
            dir.filePath(QStringLiteral("t.sqlite")).toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        QVERIFY(AppDatabase::migrator(clock).migrate(database).ok());
        database.exec("INSERT INTO tasks (bl_id, project_id, status, input_data, created_at, updated_at) "
                      "VALUES ('a', 'p', 'backlog', X'00', '2023-11-14 22:13:20.000', '2023-11-14 22:13:20.000')");
        SQLite::Statement row(database,
            "SELECT typeof(metadata), hex(metadata), worker_state, typeof(task_history_data), "
            "hex(task_history_data), task_last_activity_date, hex(task_conversation_data), "
            "delegation_state, worker_session_key IS NULL, organization_id IS NULL, "
            "extra_metadata IS NULL, output_data IS NULL FROM tasks");
        QVERIFY(row.executeStep());
        QCOMPARE(row.getColumn(0).getString(), "blob");
        QCOMPARE(row.getColumn(1).getString(), "7B7D");
        QCOMPARE(row.getColumn(2).getString(), "notDelegated");
        QCOMPARE(row.getColumn(3).getString(), "blob");
        QCOMPARE(row.getColumn(4).getString(), "5B5D");
        QCOMPARE(QString::fromStdString(row.getColumn(5).getString()), kCreated.toDatabaseText());
        QCOMPARE(row.getColumn(6).getString(), "5B5D");
        QCOMPARE(row.getColumn(7).getString(), "unallocated");
        for (int column = 8; column <= 11; ++column)
            QCOMPARE(row.getColumn(column).getInt(), 1);

        // The upsert relies on bl_id being unique.
        QVERIFY_THROWS_EXCEPTION(SQLite::Exception,
            database.exec("INSERT INTO tasks (bl_id, project_id, status, input_data, "
                          "created_at, updated_at) VALUES ('a', 'q', 'queued', X'00', "
                          "'x', 'y')"));
    }

    void olderFileReceivesOnlyWhatItLacks_data()
    {
        QTest::addColumn<int>("alreadyApplied");
        for (int count = 0; count <= 6; ++count)
            QTest::addRow("%d applied", count) << count;
    }
    void olderFileReceivesOnlyWhatItLacks()
    {
        QFETCH(int, alreadyApplied);
        QTemporaryDir dir;
        TestSupport::PinnedClock clock(kCreated);
        const QString freshPath = dir.filePath(QStringLiteral("fresh.sqlite"));
        const QString olderPath = dir.filePath(QStringLiteral("older.sqlite"));
        {
            SQLite::Database fresh(freshPath.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
            QVERIFY(AppDatabase::migrator(clock).migrate(fresh).ok());
        }
        SQLite::Database older(olderPath.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        migrateFirst(older, alreadyApplied, clock);
        QCOMPARE(applied(older), kAllSix.mid(0, alreadyApplied));

        const auto result = AppDatabase::migrator(clock).migrate(older);
        QVERIFY2(result.ok(), qPrintable(result.errorMessage()));
        QCOMPARE(applied(older), kAllSix);
        QCOMPARE(schemaOf(olderPath), schemaOf(freshPath));
    }

    void storedTaskGainsTheLaterColumnsWithTheirDefaults()
    {
        QTemporaryDir dir;
        TestSupport::PinnedClock clock(kCreated);
        SQLite::Database database(
            dir.filePath(QStringLiteral("t.sqlite")).toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        migrateFirst(database, 1, clock);
        database.exec("INSERT INTO tasks (bl_id, project_id, status, input_data, metadata, created_at, updated_at) "
                      "VALUES ('b', 'p', 'queued', X'7B7D', X'7B7D', '2023-11-14 22:13:20.000', "
                      "'2023-11-14 22:13:20.000')");

        clock.set(kUpgraded);
        QVERIFY(AppDatabase::migrator(clock).migrate(database).ok());
        SQLite::Statement row(database,
            "SELECT worker_state, delegation_state, typeof(task_history_data), "
            "hex(task_history_data), typeof(task_conversation_data), hex(task_conversation_data), "
            "task_last_activity_date FROM tasks WHERE bl_id = 'b'");
        QVERIFY(row.executeStep());
        QCOMPARE(row.getColumn(0).getString(), "notDelegated");
        QCOMPARE(row.getColumn(1).getString(), "unallocated");
        QCOMPARE(row.getColumn(2).getString(), "blob");
        QCOMPARE(row.getColumn(3).getString(), "5B5D");
        QCOMPARE(row.getColumn(4).getString(), "blob");
        QCOMPARE(row.getColumn(5).getString(), "5B5D");
        QCOMPARE(QString::fromStdString(row.getColumn(6).getString()), QStringLiteral("2023-11-14 23:13:20.250"));
    }

    void columnPresentButUnrecordedIsNotAddedTwice()
    {
        QTemporaryDir dir;
        SQLite::Database database(
            dir.filePath(QStringLiteral("t.sqlite")).toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        migrateFirst(database, 1, Clock::system());
        database.exec("ALTER TABLE tasks ADD COLUMN extra_metadata BLOB");
        database.exec("ALTER TABLE tasks ADD COLUMN delegation_state TEXT NOT NULL DEFAULT 'unallocated'");

        const auto result = AppDatabase::migrator().migrate(database);
        QVERIFY2(result.ok(), qPrintable(result.errorMessage()));
        QCOMPARE(applied(database), kAllSix);
        const QStringList columns = taskColumns(database);
        QCOMPARE(columns.count(QStringLiteral("extra_metadata")), 1);
        QCOMPARE(columns.count(QStringLiteral("delegation_state")), 1);
        QVERIFY(columns.contains(QStringLiteral("worker_session_key")));
    }

    void existingOrganizationColumnGetsNoIndex()
    {
        QTemporaryDir dir;
        SQLite::Database database(
            dir.filePath(QStringLiteral("t.sqlite")).toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        migrateFirst(database, 5, Clock::system());
        database.exec("ALTER TABLE tasks ADD COLUMN organization_id TEXT");

        QVERIFY(AppDatabase::migrator().migrate(database).ok());
        QCOMPARE(applied(database), kAllSix);
        QVERIFY(!indexExists(database, "idx_tasks_org_status_updated"));
        for (const char *table : {"organizations", "main_nodes", "team_memberships", "workspace_grants"})
            QVERIFY2(database.tableExists(table), table);
    }

    void fileWithoutTasksTableStillRecordsEveryMigration()
    {
        // A file whose `tasks` table went away (or never came, as far as a
        // later migration can tell) takes the guarded steps as no-ops.
        QTemporaryDir dir;
        SQLite::Database database(
            dir.filePath(QStringLiteral("t.sqlite")).toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        migrateFirst(database, 1, Clock::system());
        database.exec("DROP TABLE tasks");
        QVERIFY(AppDatabase::migrator().migrate(database).ok());
        QCOMPARE(applied(database), kAllSix);
        QVERIFY(!database.tableExists("tasks"));
        QVERIFY(database.tableExists("workspace_grants"));
    }

    void rerunningChangesNothing()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("t.sqlite"));
        TestSupport::PinnedClock clock(kCreated);
        SQLite::Database database(path.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        QVERIFY(AppDatabase::migrator(clock).migrate(database).ok());
        const QByteArray before = schemaOf(path);

        clock.set(kUpgraded);
        QVERIFY(AppDatabase::migrator(clock).migrate(database).ok());
        QCOMPARE(applied(database), kAllSix);
        QCOMPARE(schemaOf(path), before);

        // Bookkeeping lost (a file migrated under another bookkeeping name):
        // every step is guarded, so only the records come back.
        database.exec("DELETE FROM schema_migrations");
        QVERIFY(AppDatabase::migrator(clock).migrate(database).ok());
        QCOMPARE(applied(database), kAllSix);
        QCOMPARE(schemaOf(path), before);
    }
};

QTEST_GUILESS_MAIN(AppDatabaseTest)
#include "tst_appdatabase.moc"
