#include "TestSupport.h"
#include "storage/AppDatabase.h"
#include "storage/DatabaseMigrator.h"

#include <QtTest>
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>

namespace {

QStringList applied(SQLite::Database &database)
{
    const auto identifiers = DatabaseMigrator::appliedIdentifiers(database);
    return identifiers ? *identifiers : QStringList {QStringLiteral("error: ") + identifiers.errorMessage()};
}

bool foreignKeysOn(SQLite::Database &database)
{
    return database.execAndGet("PRAGMA foreign_keys").getInt() == 1;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

using TestSupport::writeFile;

} // namespace

class DatabaseMigratorTest : public QObject
{
    Q_OBJECT

private slots:
    void failedMigrationLeavesNothingAndStopsTheRun()
    {
        QTemporaryDir dir;
        SQLite::Database database(
            dir.filePath(QStringLiteral("m.sqlite")).toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        database.exec("PRAGMA foreign_keys = ON");
        DatabaseMigrator migrator;
        migrator.registerMigration(QStringLiteral("one"), [](SQLite::Database &db) { db.exec("CREATE TABLE a (x)"); });
        migrator.registerMigration(QStringLiteral("two"), [](SQLite::Database &db) {
            db.exec("CREATE TABLE b (x)");
            db.exec("INSERT INTO no_such_table VALUES (1)");
        });
        migrator.registerMigration(
            QStringLiteral("three"), [](SQLite::Database &db) { db.exec("CREATE TABLE c (x)"); });

        const auto result = migrator.migrate(database);
        QVERIFY(!result.ok());
        QVERIFY2(result.errorMessage().contains(QStringLiteral("\"two\"")), qPrintable(result.errorMessage()));
        QVERIFY2(result.errorMessage().contains(QStringLiteral("no_such_table")), qPrintable(result.errorMessage()));
        QCOMPARE(applied(database), QStringList {QStringLiteral("one")});
        QVERIFY(database.tableExists("a"));
        QVERIFY(!database.tableExists("b"));
        QVERIFY(!database.tableExists("c"));
        QVERIFY(foreignKeysOn(database));

        // Once the cause is gone, the next run picks up where this one stopped.
        database.exec("CREATE TABLE no_such_table (x)");
        QVERIFY(migrator.migrate(database).ok());
        QCOMPARE(
            applied(database), (QStringList {QStringLiteral("one"), QStringLiteral("two"), QStringLiteral("three")}));
    }

    void foreignKeysAreCheckedAtTheEndOfEachMigration()
    {
        QTemporaryDir dir;
        SQLite::Database database(
            dir.filePath(QStringLiteral("m.sqlite")).toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        DatabaseMigrator migrator;
        migrator.registerMigration(QStringLiteral("tables"), [](SQLite::Database &db) {
            db.exec("CREATE TABLE parent (id TEXT PRIMARY KEY)");
            db.exec("CREATE TABLE child (parent_id TEXT NOT NULL REFERENCES parent (id))");
        });
        // Child before parent is fine inside one migration...
        migrator.registerMigration(QStringLiteral("ordered late"), [](SQLite::Database &db) {
            db.exec("INSERT INTO child VALUES ('p1')");
            db.exec("INSERT INTO parent VALUES ('p1')");
        });
        // ...but a row still dangling at the end fails the migration.
        migrator.registerMigration(
            QStringLiteral("dangling"), [](SQLite::Database &db) { db.exec("INSERT INTO child VALUES ('p2')"); });

        const auto result = migrator.migrate(database);
        QVERIFY(!result.ok());
        QVERIFY2(result.errorMessage().contains(QStringLiteral("\"dangling\"")), qPrintable(result.errorMessage()));
        QCOMPARE(applied(database), (QStringList {QStringLiteral("tables"), QStringLiteral("ordered late")}));
        QCOMPARE(database.execAndGet("SELECT count(*) FROM child").getInt(), 1);
        QVERIFY(foreignKeysOn(database));
    }

    void damagedFilesGiveAReadableError_data()
    {
        QTest::addColumn<QByteArray>("damage");
        QTest::newRow("not a database") << QByteArray("garbage");
        QTest::newRow("truncated to half") << QByteArray("half");
        QTest::newRow("truncated inside the header") << QByteArray("header");
        QTest::newRow("header overwritten") << QByteArray("zeroed header");
    }
    void damagedFilesGiveAReadableError()
    {
        QFETCH(QByteArray, damage);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tessaron.sqlite"));
        {
            SQLite::Database database(path.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
            QVERIFY(AppDatabase::migrator().migrate(database).ok());
            database.exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 300) "
                          "INSERT INTO tasks (bl_id, project_id, status, input_data, created_at, updated_at) "
                          "SELECT 'task-' || i, 'p', 'backlog', randomblob(500), 'c', 'u' FROM n");
        }
        QByteArray bytes = readFile(path);
        QVERIFY(bytes.size() > 8192);
        if (damage == "garbage")
            bytes = QByteArray("This is a text file, not a database.\n").repeated(200);
        else if (damage == "half")
            bytes.truncate(bytes.size() / 2);
        else if (damage == "header")
            bytes.truncate(50);
        else
            bytes.replace(0, 100, QByteArray(100, '\0'));
        writeFile(path, bytes);

        // Open as the database service does; opening is lazy, so the first
        // statement is where a bad file shows.
        SQLite::Database database(path.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
        const auto result = AppDatabase::migrator().migrate(database);
        QVERIFY(!result.ok());
        QVERIFY2(result.errorMessage().contains(path), qPrintable(result.errorMessage()));
        QVERIFY2(result.errorMessage().contains(QStringLiteral("not a database"))
                || result.errorMessage().contains(QStringLiteral("malformed")),
            qPrintable(result.errorMessage()));
        QCOMPARE(result.error().domain, QStringLiteral("DatabaseMigrator"));
        QVERIFY(!DatabaseMigrator::appliedIdentifiers(database).ok());
        QCOMPARE(readFile(path), bytes); // a bad file is left as it was
    }

    void readOnlyFile()
    {
        QTemporaryDir dir;
        const QString current = dir.filePath(QStringLiteral("current.sqlite"));
        const QString older = dir.filePath(QStringLiteral("older.sqlite"));
        {
            SQLite::Database database(current.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
            QVERIFY(AppDatabase::migrator().migrate(database).ok());
            SQLite::Database old(older.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
            DatabaseMigrator first;
            first.registerMigration(AppDatabase::migrator().migrations().first().identifier,
                AppDatabase::migrator().migrations().first().steps);
            QVERIFY(first.migrate(old).ok());
        }
        // Nothing to do is no write, so an up-to-date file may be read-only.
        SQLite::Database upToDate(current.toStdString(), SQLite::OPEN_READONLY);
        QVERIFY(AppDatabase::migrator().migrate(upToDate).ok());

        SQLite::Database behind(older.toStdString(), SQLite::OPEN_READONLY);
        const auto result = AppDatabase::migrator().migrate(behind);
        QVERIFY(!result.ok());
        QVERIFY2(result.errorMessage().contains(QStringLiteral("v2_task_extra_metadata"))
                && result.errorMessage().contains(QStringLiteral("readonly")),
            qPrintable(result.errorMessage()));
        QCOMPARE(applied(behind), QStringList {QStringLiteral("v1_initial")});
    }

    void refusesToRunInsideAnOpenTransaction()
    {
        SQLite::Database database(":memory:", SQLite::OPEN_READWRITE);
        database.exec("BEGIN");
        const auto result = AppDatabase::migrator().migrate(database);
        QVERIFY(!result.ok());
        QVERIFY2(result.errorMessage().contains(QStringLiteral("transaction")), qPrintable(result.errorMessage()));
        database.exec("ROLLBACK");
        QVERIFY(AppDatabase::migrator().migrate(database).ok());
        QCOMPARE(applied(database).size(), 6);
    }
};

QTEST_GUILESS_MAIN(DatabaseMigratorTest)
#include "tst_databasemigrator.moc"
