#include "TestSupport.h"
#include "common/UuidText.h"
#include "storage/AppDatabase.h"
#include "storage/SQLiteDatabaseService.h"
#include "storage/SQLiteTaskRepository.h"
#include "storage/TaskDatabase.h"
#include "storage/TaskRecord.h"
#include "storage/TransientDatabaseService.h"

#include <QCoroFuture>
#include <QCoroTask>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <SQLiteCpp/Database.h>
#include <SQLiteCpp/Statement.h>
#include <sqlite3.h>

namespace {

const TimePoint kFirstUpsert = TimePoint::fromUnixSeconds(1750000000.25);
const TimePoint kSecondUpsert = TimePoint::fromUnixSeconds(1750000900.5);

BL_Task makeTask(const QUuid &projectID, TimePoint createdAt, const QString &title = QStringLiteral("Task"))
{
    BL_Task task;
    task.blID = QUuid::createUuid();
    task.projectID = projectID;
    task.status = BL_TaskStatus::queued;
    task.inputData = QStringLiteral("{\"title\":\"%1\"}").arg(title).toUtf8();
    task.metadata = QByteArrayLiteral("{}");
    task.taskHistoryData = QByteArrayLiteral("[]");
    task.taskConversationData = QByteArrayLiteral("[]");
    task.workerSessionKey = QStringLiteral("session-") + title;
    task.taskLastActivityDate = createdAt;
    task.createdAt = createdAt;
    task.updatedAt = createdAt;
    return task;
}

template<typename T> T resultOf(const QFuture<T> &future)
{
    if (!TestSupport::waitForFuture(future))
        qFatal("the store did not answer");
    return future.result();
}

std::unique_ptr<SQLiteDatabaseService> openService(const QString &path, const Clock &clock = Clock::system())
{
    auto opened = SQLiteDatabaseService::open(path, clock);
    if (!opened)
        qFatal("could not open %s: %s", qPrintable(path), qPrintable(opened.errorMessage()));
    return std::move(opened).value();
}

QList<QString> titlesOf(const QList<BL_Task> &tasks)
{
    QList<QString> titles;
    for (const BL_Task &task : tasks)
        titles.append(task.workerSessionKey.value_or(QString()).mid(8));
    return titles;
}

QByteArray fileDigest(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256);
}

// A legacy database in the old rollback-journal mode with `count` tasks.
QList<BL_Task> writeLegacyDatabase(const QString &path, const QUuid &projectID, int count)
{
    SQLite::Database database(path.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
    if (!AppDatabase::migrator().migrate(database))
        qFatal("could not build the legacy database");
    SQLiteTaskRepository repository(database);
    QList<BL_Task> tasks;
    for (int i = 0; i < count; ++i) {
        BL_Task task = makeTask(projectID, TimePoint::fromUnixSeconds(1700000000 + i), QString::number(i));
        task.inputData = QByteArray(2000, 'x');
        if (!repository.upsertTask(task))
            qFatal("could not write the legacy database");
        tasks.append(task);
    }
    return tasks;
}

bool isTransient(const std::unique_ptr<DatabaseServiceProtocol> &service)
{
    return dynamic_cast<TransientDatabaseService *>(service.get()) != nullptr;
}

} // namespace

class TaskDatabaseServiceTest : public QObject
{
    Q_OBJECT

private slots:
    void openingCreatesTheSchema()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tessaron.sqlite"));
        {
            auto service = openService(path);
            QVERIFY(resultOf(service->migrate()).ok()); // a second run changes nothing
        }
        SQLite::Database database(path.toStdString(), SQLite::OPEN_READONLY);
        const auto applied = DatabaseMigrator::appliedIdentifiers(database);
        QVERIFY(applied.ok());
        QCOMPARE(applied->size(), 6);
        QVERIFY(database.tableExists("tasks"));
    }

    void upsertKeepsCreatedDateAndWritesUpdatedDate()
    {
        QTemporaryDir dir;
        TestSupport::PinnedClock clock(kFirstUpsert);
        auto service = openService(dir.filePath(QStringLiteral("tessaron.sqlite")), clock);
        const QUuid project = QUuid::createUuid();
        BL_Task task = makeTask(project, TimePoint::fromUnixSeconds(1700000000.123));
        QVERIFY(resultOf(service->upsertTask(task)).ok());

        clock.set(kSecondUpsert);
        BL_Task changed = task;
        changed.createdAt = TimePoint::fromUnixSeconds(1800000000);
        changed.updatedAt = TimePoint::fromUnixSeconds(1600000000);
        changed.status = BL_TaskStatus::completed;
        changed.outputData = QByteArrayLiteral("{\"ok\":true}");
        QVERIFY(resultOf(service->upsertTask(changed)).ok());

        const auto fetched = resultOf(service->fetchTask(task.blID));
        QVERIFY2(fetched.ok(), qPrintable(fetched.errorMessage()));
        QVERIFY(fetched->has_value());
        BL_Task expected = changed;
        expected.createdAt = TimePoint::fromUnixSeconds(1700000000.123);
        expected.updatedAt = *TimePoint::fromDatabaseText(kSecondUpsert.toDatabaseText());
        expected.taskLastActivityDate = expected.createdAt;
        QCOMPARE(**fetched, expected);
    }

    void mainThreadCoroutineAwaitsTheStore()
    {
        QTemporaryDir dir;
        auto service = openService(dir.filePath(QStringLiteral("tessaron.sqlite")));
        const BL_Task task = makeTask(QUuid::createUuid(), kFirstUpsert);
        std::optional<BL_Task> seen;
        QThread *resumedOn = nullptr;
        auto flow = [&]() -> QCoro::Task<> {
            co_await service->upsertTask(task);
            const auto fetched = co_await service->fetchTask(task.blID);
            resumedOn = QThread::currentThread();
            if (fetched.ok())
                seen = *fetched;
        };
        flow();
        QVERIFY(TestSupport::waitUntil([&] { return resumedOn != nullptr; }));
        QCOMPARE(resumedOn, QThread::currentThread());
        QVERIFY(seen);
        QCOMPARE(seen->blID, task.blID);
    }

    void workspaceListsFollowTheirTasks()
    {
        QTemporaryDir dir;
        auto service = openService(dir.filePath(QStringLiteral("tessaron.sqlite")));
        const QUuid first = QUuid::createUuid();
        const QUuid second = QUuid::createUuid();
        const BL_Task late = makeTask(first, TimePoint::fromUnixSeconds(1700000300), QStringLiteral("late"));
        const BL_Task early = makeTask(first, TimePoint::fromUnixSeconds(1700000100), QStringLiteral("early"));
        const BL_Task middle = makeTask(first, TimePoint::fromUnixSeconds(1700000200), QStringLiteral("middle"));
        // Not awaited one by one, as the application state stores them.
        service->upsertTask(late);
        service->upsertTask(early);
        QVERIFY(resultOf(service->upsertTask(middle)).ok());
        QCOMPARE(titlesOf(resultOf(service->fetchTasks(first)).value()), (QList<QString> {"early", "middle", "late"}));

        BL_Task moved = middle;
        moved.projectID = second;
        QVERIFY(resultOf(service->upsertTask(moved)).ok());
        QCOMPARE(titlesOf(resultOf(service->fetchTasks(first)).value()), (QList<QString> {"early", "late"}));
        QCOMPARE(titlesOf(resultOf(service->fetchTasks(second)).value()), (QList<QString> {"middle"}));

        QVERIFY(resultOf(service->deleteTask(early.blID)).ok());
        QVERIFY(resultOf(service->deleteTask(QUuid::createUuid())).ok());
        QCOMPARE(titlesOf(resultOf(service->fetchTasks(first)).value()), (QList<QString> {"late"}));
        QVERIFY(resultOf(service->fetchTasks(QUuid::createUuid())).value().isEmpty());
        QVERIFY(!resultOf(service->fetchTask(early.blID)).value().has_value());
    }

    void storedRowsAreMatchedExactly()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tessaron.sqlite"));
        auto service = openService(path);
        const QUuid project = QUuid::createUuid();
        const BL_Task good = makeTask(project, TimePoint::fromUnixSeconds(1700000000));
        QVERIFY(resultOf(service->upsertTask(good)).ok());

        // Rows written by something else: an upper-case identifier and a
        // status given by its case name.
        const QUuid upperID = QUuid::createUuid();
        {
            SQLite::Database other(path.toStdString(), SQLite::OPEN_READWRITE);
            SQLite::Statement insert(other,
                "INSERT INTO tasks (bl_id, project_id, status, input_data, created_at, updated_at) "
                "VALUES (?, ?, ?, X'7B7D', '2024-01-01 00:00:00.000', '2024-01-01 00:00:00.000')");
            insert.bind(1, UuidText::upper(upperID).toStdString());
            insert.bind(2, UuidText::lower(QUuid::createUuid()).toStdString());
            insert.bind(3, "completed");
            insert.exec();
            insert.reset();
            insert.bind(1, UuidText::lower(QUuid::createUuid()).toStdString());
            insert.bind(2, UuidText::lower(project).toStdString());
            insert.bind(3, "inProgress");
            insert.exec();
        }
        QVERIFY(!resultOf(service->fetchTask(upperID)).value().has_value());

        const auto whole = resultOf(service->fetchTasks(project));
        QVERIFY(!whole.ok());
        QCOMPARE(whole.error().domain, QStringLiteral("TaskRepositoryError"));
        QCOMPARE(whole.error().code, int(TaskRepositoryError::invalidStatus));
        QVERIFY2(whole.errorMessage().contains(QStringLiteral("\"inProgress\"")), qPrintable(whole.errorMessage()));
        QVERIFY(resultOf(service->fetchTask(good.blID)).ok()); // the good row alone still reads
    }

    void upsertProjectLeavesTheFileAlone()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tessaron.sqlite"));
        auto service = openService(path);
        QVERIFY(resultOf(service->upsertTask(makeTask(QUuid::createUuid(), kFirstUpsert))).ok());
        const QByteArray before = fileDigest(path) + fileDigest(path + QStringLiteral("-wal"));
        BL_Workspace workspace;
        workspace.id = QUuid::createUuid();
        workspace.name = QStringLiteral("Site");
        QVERIFY(resultOf(service->upsertProject(workspace)).ok());
        QCOMPARE(fileDigest(path) + fileDigest(path + QStringLiteral("-wal")), before);
    }

    void inMemoryStoreKeepsTasksAsGiven()
    {
        TransientDatabaseService service;
        QVERIFY(resultOf(service.migrate()).ok());
        const QUuid project = QUuid::createUuid();
        BL_Task task = makeTask(project, TimePoint::fromUnixSeconds(1700000500.0001), QStringLiteral("b"));
        task.updatedAt = TimePoint::fromUnixSeconds(1600000000.0004);
        QVERIFY(resultOf(service.upsertTask(task)).ok());
        QCOMPARE(resultOf(service.fetchTask(task.blID)).value(), std::optional<BL_Task>(task));

        const BL_Task earlier = makeTask(project, TimePoint::fromUnixSeconds(1700000100), QStringLiteral("a"));
        service.upsertTask(earlier);
        service.upsertTask(makeTask(QUuid::createUuid(), kFirstUpsert, QStringLiteral("elsewhere")));
        QCOMPARE(titlesOf(resultOf(service.fetchTasks(project)).value()), (QList<QString> {"a", "b"}));

        BL_Task recreated = task; // a later upsert replaces the created date
        recreated.createdAt = TimePoint::fromUnixSeconds(1600000000);
        service.upsertTask(recreated);
        QCOMPARE(titlesOf(resultOf(service.fetchTasks(project)).value()), (QList<QString> {"b", "a"}));

        QVERIFY(resultOf(service.deleteTask(task.blID)).ok());
        QVERIFY(resultOf(service.deleteTask(task.blID)).ok());
        QVERIFY(!resultOf(service.fetchTask(task.blID)).value().has_value());
    }

    // ---- The store chosen at start-up ----

    void newDataDirectoryGetsTheDatabase()
    {
        QTemporaryDir dir;
        const QString data = dir.filePath(QStringLiteral("share/com.tessaron.app"));
        auto service = TaskDatabase::makeDatabaseService(data);
        QVERIFY(!isTransient(service));
        QVERIFY(QFileInfo(data + QStringLiteral("/tessaron.sqlite")).isFile());
        const BL_Task task = makeTask(QUuid::createUuid(), kFirstUpsert);
        QVERIFY(resultOf(service->upsertTask(task)).ok());
        service.reset();
        // The next run finds it again.
        auto again = TaskDatabase::makeDatabaseService(data);
        QVERIFY(resultOf(again->fetchTask(task.blID)).value().has_value());
    }

    void unusableLocationsFallBackToMemory_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::newRow("folder named like the database") << "folder";
        QTest::newRow("not a database") << "garbage";
        QTest::newRow("data directory is a file") << "file-as-directory";
        QTest::newRow("no data directory") << "empty";
    }

    void unusableLocationsFallBackToMemory()
    {
        QFETCH(QString, setup);
        QTemporaryDir dir;
        QString data = dir.path();
        const QString databasePath = dir.filePath(QStringLiteral("tessaron.sqlite"));
        QByteArray garbage;
        if (setup == u"folder") {
            QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("tessaron.sqlite")));
        } else if (setup == u"garbage") {
            garbage = QByteArray("this is not a database\n").repeated(400);
            QFile file(databasePath);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(garbage);
        } else if (setup == u"file-as-directory") {
            QFile file(dir.filePath(QStringLiteral("plain")));
            QVERIFY(file.open(QIODevice::WriteOnly));
            data = dir.filePath(QStringLiteral("plain/data"));
        } else {
            data = QString();
        }

        auto service = TaskDatabase::makeDatabaseService(data);
        QVERIFY(isTransient(service));
        const BL_Task task = makeTask(QUuid::createUuid(), kFirstUpsert);
        QVERIFY(resultOf(service->migrate()).ok());
        QVERIFY(resultOf(service->upsertTask(task)).ok());
        QCOMPARE(resultOf(service->fetchTask(task.blID)).value(), std::optional<BL_Task>(task));
        if (!garbage.isEmpty()) {
            QFile file(databasePath);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), garbage); // left as it was
        }
    }

    void openFailureSaysWhy()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("tessaron.sqlite")));
        const auto opened = SQLiteDatabaseService::open(dir.filePath(QStringLiteral("tessaron.sqlite")));
        QVERIFY(!opened.ok());
        QVERIFY2(opened.errorMessage().contains(QStringLiteral("tessaron.sqlite")), qPrintable(opened.errorMessage()));
    }

    void damagedDatabaseNeverCrashes_data()
    {
        QTest::addColumn<bool>("truncate");
        QTest::newRow("truncated") << true;
        QTest::newRow("pages overwritten") << false;
    }

    void damagedDatabaseNeverCrashes()
    {
        QFETCH(bool, truncate);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("tessaron.sqlite"));
        const QUuid project = QUuid::createUuid();
        writeLegacyDatabase(path, project, 200);
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            if (truncate) {
                QVERIFY(file.resize(file.size() / 2));
            } else {
                QVERIFY(file.seek(file.size() / 2));
                file.write(QByteArray(16 * 4096, '\xa5'));
            }
        }
        auto service = TaskDatabase::makeDatabaseService(dir.path());
        const auto fetched = resultOf(service->fetchTasks(project));
        if (isTransient(service)) {
            QVERIFY(fetched.ok());
        } else {
            // The file opens, but what is damaged cannot be read.
            QVERIFY(!fetched.ok());
            QCOMPARE(fetched.error().domain, QStringLiteral("SQLite"));
            QVERIFY2(fetched.errorMessage().contains(QStringLiteral("malformed")), qPrintable(fetched.errorMessage()));
        }
        resultOf(service->upsertTask(makeTask(project, kFirstUpsert)));
        resultOf(service->deleteTask(QUuid::createUuid()));
    }

    // ---- The legacy database ----

    void legacyDatabaseIsMovedOnlyWhenAlone()
    {
        QTemporaryDir dir;
        const QUuid project = QUuid::createUuid();
        const QString legacy = dir.filePath(QStringLiteral("quillstead.sqlite"));
        writeLegacyDatabase(legacy, project, 3);
        openService(dir.filePath(QStringLiteral("tessaron.sqlite"))).reset();
        {
            // With a current database in place the legacy file stays.
            auto current = TaskDatabase::makeDatabaseService(dir.path());
            QVERIFY(!isTransient(current));
            QVERIFY(resultOf(current->fetchTasks(project)).value().isEmpty());
        }
        QVERIFY(QFileInfo::exists(legacy));
        QVERIFY(QFile::remove(dir.filePath(QStringLiteral("tessaron.sqlite"))));
        QFile::remove(dir.filePath(QStringLiteral("tessaron.sqlite-wal")));
        QFile::remove(dir.filePath(QStringLiteral("tessaron.sqlite-shm")));

        auto service = TaskDatabase::makeDatabaseService(dir.path());
        QVERIFY(!isTransient(service));
        QVERIFY(!QFileInfo::exists(legacy));
        QCOMPARE(resultOf(service->fetchTasks(project)).value().size(), 3);
        QVERIFY(TaskDatabase::migrateLegacyDatabaseIfNeeded(dir.path()).ok());
    }

    void legacyWriteAheadLogMovesWithTheDatabase()
    {
        QTemporaryDir dir;
        const QString legacy = dir.filePath(QStringLiteral("quillstead.sqlite"));
        const BL_Task task = makeTask(QUuid::createUuid(), kFirstUpsert);
        {
            // A legacy run that ended without merging its log into the file.
            SQLite::Database database(legacy.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
            QVERIFY(AppDatabase::migrator().migrate(database).ok());
            database.exec("PRAGMA journal_mode = WAL");
            QCOMPARE(sqlite3_db_config(database.getHandle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr), SQLITE_OK);
            SQLiteTaskRepository repository(database);
            QVERIFY(repository.upsertTask(task).ok());
        }
        QVERIFY(QFileInfo(legacy + QStringLiteral("-wal")).size() > 0);

        auto service = TaskDatabase::makeDatabaseService(dir.path());
        QVERIFY(!isTransient(service));
        QVERIFY(!QFileInfo::exists(legacy + QStringLiteral("-wal")));
        QVERIFY(resultOf(service->fetchTask(task.blID)).value().has_value());
    }

    // A write-ahead log (and its index) left behind by a database that is no
    // longer there belongs to nothing: it must not replay onto the legacy
    // file moved into its name. It is kept aside, not deleted.
    void orphanedCompanionsAreMovedAside()
    {
        QTemporaryDir dir;
        const QString current = dir.filePath(QStringLiteral("tessaron.sqlite"));
        const QUuid orphanProject = QUuid::createUuid();
        const BL_Task orphanTask = makeTask(orphanProject, kFirstUpsert, QStringLiteral("orphan"));
        {
            SQLite::Database database(current.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
            QVERIFY(AppDatabase::migrator().migrate(database).ok());
            database.exec("PRAGMA journal_mode = WAL");
            QCOMPARE(sqlite3_db_config(database.getHandle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr), SQLITE_OK);
            SQLiteTaskRepository repository(database);
            for (int i = 0; i < 50; ++i)
                QVERIFY(repository.upsertTask(makeTask(orphanProject, kFirstUpsert, QString::number(i))).ok());
            QVERIFY(repository.upsertTask(orphanTask).ok());
        }
        const QByteArray wal = [&] {
            QFile file(current + QStringLiteral("-wal"));
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        }();
        QVERIFY(wal.size() > 0);
        QVERIFY(QFile::remove(current));

        const QUuid project = QUuid::createUuid();
        const QString legacy = dir.filePath(QStringLiteral("quillstead.sqlite"));
        writeLegacyDatabase(legacy, project, 3);

        auto service = TaskDatabase::makeDatabaseService(dir.path());
        QVERIFY(!isTransient(service));
        QVERIFY(!QFileInfo::exists(legacy));
        QCOMPARE(resultOf(service->fetchTasks(project)).value().size(), 3);
        QVERIFY(!resultOf(service->fetchTask(orphanTask.blID)).value().has_value());
        QVERIFY(resultOf(service->fetchTasks(orphanProject)).value().isEmpty());
        const QStringList keptAside
            = QDir(dir.path()).entryList({QStringLiteral("tessaron.sqlite-wal.orphaned*")}, QDir::Files);
        QCOMPARE(keptAside.size(), 1);
        QFile kept(dir.filePath(keptAside.first()));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), wal);
    }

    void interruptedMoveIsFinished()
    {
        QTemporaryDir dir;
        const QString legacy = dir.filePath(QStringLiteral("quillstead.sqlite"));
        const QString current = dir.filePath(QStringLiteral("tessaron.sqlite"));
        const BL_Task task = makeTask(QUuid::createUuid(), kFirstUpsert);
        {
            SQLite::Database database(legacy.toStdString(), SQLite::OPEN_READWRITE | SQLite::OPEN_CREATE);
            QVERIFY(AppDatabase::migrator().migrate(database).ok());
            database.exec("PRAGMA journal_mode = WAL");
            sqlite3_db_config(database.getHandle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
            SQLiteTaskRepository repository(database);
            QVERIFY(repository.upsertTask(task).ok());
        }
        // The move was marked, the companions went over, then the run stopped.
        QFile marker(current + QStringLiteral(".legacy-move"));
        QVERIFY(marker.open(QIODevice::WriteOnly));
        marker.close();
        QVERIFY(QFile::rename(legacy + QStringLiteral("-wal"), current + QStringLiteral("-wal")));
        QVERIFY(QFile::rename(legacy + QStringLiteral("-shm"), current + QStringLiteral("-shm")));

        auto service = TaskDatabase::makeDatabaseService(dir.path());
        QVERIFY(!isTransient(service));
        QVERIFY(resultOf(service->fetchTask(task.blID)).value().has_value());
        QVERIFY(!QFileInfo::exists(current + QStringLiteral(".legacy-move")));
        QVERIFY(QDir(dir.path()).entryList({QStringLiteral("*.orphaned*")}, QDir::Files).isEmpty());
    }

    void legacyHotJournalMovesWithTheDatabase()
    {
        QTemporaryDir dir;
        const QString legacy = dir.filePath(QStringLiteral("quillstead.sqlite"));
        const QUuid project = QUuid::createUuid();
        writeLegacyDatabase(legacy, project, 300);

        // A legacy run killed in the middle of a transaction that had
        // already spilled changed pages into the file.
        QProcess python;
        python.start(TestSupport::python(),
            {QStringLiteral("-c"),
                QStringLiteral("import os, sqlite3, sys\n"
                               "con = sqlite3.connect(sys.argv[1], isolation_level=None)\n"
                               "con.execute('PRAGMA cache_size = 10')\n"
                               "con.execute('BEGIN')\n"
                               "con.execute(\"UPDATE tasks SET status = 'failed', input_data = zeroblob(3000)\")\n"
                               "os.kill(os.getpid(), 9)\n"),
                legacy});
        QVERIFY(python.waitForFinished(20000));
        QCOMPARE(python.exitStatus(), QProcess::CrashExit);
        QVERIFY(QFileInfo(legacy + QStringLiteral("-journal")).size() > 0);

        auto service = TaskDatabase::makeDatabaseService(dir.path());
        QVERIFY(!isTransient(service));
        const auto tasks = resultOf(service->fetchTasks(project));
        QVERIFY2(tasks.ok(), qPrintable(tasks.errorMessage()));
        QCOMPARE(tasks->size(), 300);
        for (const BL_Task &task : *tasks) {
            QCOMPARE(task.status, BL_TaskStatus::queued);
            QCOMPARE(task.inputData, QByteArray(2000, 'x'));
        }
    }
};

QTEST_GUILESS_MAIN(TaskDatabaseServiceTest)
#include "tst_taskdatabaseservice.moc"
