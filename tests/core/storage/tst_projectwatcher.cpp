#include "TestSupport.h"
#include "common/Json.h"
#include "common/UuidText.h"
#include "model/BLEventBus.h"
#include "model/BL_TaskGitDiff.h"
#include "platform/FolderBookmark.h"
#include "storage/LocalFileSystemService.h"
#include "storage/ProjectWatcher.h"
#include "storage/SQLiteDatabaseService.h"
#include "storage/TransientDatabaseService.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>
#include <cstdio>
#include <sys/stat.h>

namespace {

// Longer than the debounce, so a cycle that a folder event asked for has
// started by then.
constexpr int kPastDebounceMs = ProjectWatcher::kSyncDebounceMilliseconds + 200;

// The workspace that task files name; never the watched one.
const QUuid kOtherWorkspace = QUuid::fromString(QLatin1String("6a1f0c2e-8d4b-4c3a-9e7f-2b5d8c1a0e93"));

QByteArray taskFile(const QUuid &id, const QString &status, const QString &title,
    const QUuid &namedProject = kOtherWorkspace, const QJsonObject &extraKeys = {})
{
    QJsonObject root = extraKeys;
    root.insert(QStringLiteral("id"), UuidText::lower(id));
    root.insert(QStringLiteral("project_id"), UuidText::lower(namedProject));
    root.insert(QStringLiteral("status"), status);
    root.insert(QStringLiteral("input_data"), QJsonObject {{QStringLiteral("title"), title}});
    root.insert(QStringLiteral("metadata"), QJsonObject {{QStringLiteral("priority"), QStringLiteral("high")}});
    root.insert(QStringLiteral("created_at"), 1700000000);
    root.insert(QStringLiteral("updated_at"), 1700000100);
    return QJsonDocument(root).toJson();
}

void writeInPlace(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// The way the agent tool replaces a task file: a hidden temporary file renamed
// over the old one.
void replaceByRename(const QString &path, const QByteArray &bytes)
{
    const QFileInfo info(path);
    const QString temporary = info.dir().filePath(u'.' + info.fileName() + QStringLiteral(".tmp"));
    writeInPlace(temporary, bytes);
    QCOMPARE(std::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()), 0);
}

QString titleOf(const BL_Task &task)
{
    return Json::parseObject(task.inputData).value_or(QJsonObject()).value(QStringLiteral("title")).toString();
}

QStringList historyDetails(const BL_Task &task)
{
    QStringList details;
    for (const BL_TaskHistoryEvent &entry : task.decodedHistory().value_or(QList<BL_TaskHistoryEvent>()))
        details.append(entry.detail.value_or(QString()));
    return details;
}

template<typename T> T resultOf(const QFuture<T> &future)
{
    if (!TestSupport::waitForFuture(future))
        qFatal("the store did not answer");
    return future.result();
}

// An event as a bus subscriber saw it, with the stored task at that moment.
struct Seen
{
    BL_Event event;
    QString detail;
    std::optional<BL_Task> storedWhenSent;
    qint64 atMs = 0;
};

} // namespace

class ProjectWatcherTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<QTemporaryDir> m_stateDirectory;
    QString m_tasks;
    BL_Workspace m_workspace;
    QByteArray m_bookmark;
    LocalFileSystemService m_fileSystem;
    BLEventBus m_bus;
    std::unique_ptr<SQLiteDatabaseService> m_database;
    std::unique_ptr<TransientDatabaseService> m_transient;
    DatabaseServiceProtocol *m_store = nullptr; // the store the watcher writes to
    BLEventSubscription m_subscription;
    QList<Seen> m_seen;
    std::function<void(const BL_Event &)> m_onEvent; // a test's own reaction to an event
    QElapsedTimer m_clock;
    std::shared_ptr<std::atomic<int>> m_changes;
    std::unique_ptr<ProjectWatcher> m_watcher;

    std::unique_ptr<ProjectWatcher> makeWatcher(DatabaseServiceProtocol &store)
    {
        m_store = &store;
        auto changes = m_changes;
        const QUuid expected = m_workspace.id;
        // The callback comes on the watcher's own thread.
        return std::make_unique<ProjectWatcher>(
            m_workspace, m_bookmark, m_fileSystem, store, m_bus,
            [changes, expected](const QUuid &projectID) {
                if (projectID == expected)
                    ++*changes;
            },
            m_stateDirectory->path());
    }

    void startWatcher(DatabaseServiceProtocol &store)
    {
        m_watcher = makeWatcher(store);
        m_watcher->start();
        // Queued behind the first cycle that start() runs.
        QVERIFY(TestSupport::waitForFuture(m_watcher->scheduleSync(true)));
    }

    // Lets a cycle that a folder event asked for run to its end.
    void settle()
    {
        QTest::qWait(kPastDebounceMs);
        QVERIFY(TestSupport::waitForFuture(m_watcher->scheduleSync(true)));
    }

    std::optional<BL_Task> stored(const QUuid &id) { return *resultOf(m_store->fetchTask(id)); }

    QString taskPath(const QString &name) const { return QDir(m_tasks).filePath(name); }

    // Points the workspace at `rootPath` (moving it there when it exists elsewhere).
    void placeWorkspaceAt(const QString &rootPath)
    {
        if (!m_workspace.rootPath.isEmpty())
            QVERIFY(QDir().rename(m_workspace.rootPath, rootPath));
        m_workspace.rootPath = rootPath;
        m_tasks = QDir(rootPath).filePath(QStringLiteral(".brimlock/tasks"));
        QVERIFY(QDir().mkpath(m_tasks));
        const auto bookmark = FolderBookmark::create(rootPath);
        QVERIFY(bookmark.ok());
        m_bookmark = *bookmark;
    }

private slots:
    void init()
    {
        m_root = std::make_unique<QTemporaryDir>();
        m_stateDirectory = std::make_unique<QTemporaryDir>();
        const TimePoint now = TimePoint::now();
        m_workspace = BL_Workspace {QUuid::createUuid(), std::nullopt, QStringLiteral("Demo"), QString(), now, now};
        placeWorkspaceAt(m_root->filePath(QStringLiteral("project")));
        auto opened = SQLiteDatabaseService::open(m_root->filePath(QStringLiteral("tessaron.sqlite")));
        QVERIFY2(opened.ok(), qPrintable(opened.errorMessage()));
        m_database = std::move(opened).value();
        m_transient = std::make_unique<TransientDatabaseService>();
        m_seen.clear();
        m_onEvent = nullptr;
        m_changes = std::make_shared<std::atomic<int>>(0);
        m_clock.start();
        m_subscription = m_bus.subscribe([this](const BL_Event &event) {
            Seen seen;
            seen.event = event;
            seen.detail
                = event.decodePayload<BL_TaskEventPayload>().value_or(BL_TaskEventPayload()).detail.value_or(QString());
            // The main thread may wait for the store: the watcher waits for
            // this delivery, not the store.
            seen.storedWhenSent = m_store->fetchTask(event.taskID).result().value();
            seen.atMs = m_clock.elapsed();
            m_seen.append(seen);
            if (m_onEvent)
                m_onEvent(event);
        });
    }

    void cleanup()
    {
        if (m_watcher) // let a cycle under way end before the store goes
            QVERIFY(TestSupport::waitForFuture(m_watcher->scheduleSync(true)));
        m_watcher.reset();
        TestSupport::drainMainThread();
        m_subscription.cancel();
        m_database.reset();
        m_transient.reset();
        m_root.reset();
        m_stateDirectory.reset();
    }

    void mirrorsCreatedRewrittenAndDeletedFiles()
    {
        startWatcher(*m_database);
        QVERIFY(m_seen.isEmpty());
        const QUuid id = QUuid::createUuid();
        const QString path = taskPath(QStringLiteral("first.json"));

        // Created: the task belongs to the watched workspace whatever the file names.
        writeInPlace(path, taskFile(id, QStringLiteral("queued"), QStringLiteral("Write the parser")));
        QVERIFY(TestSupport::waitUntil([&] { return *m_changes == 1; }));
        QCOMPARE(m_seen.size(), 1);
        QCOMPARE(m_seen[0].event.type, BL_EventType::taskCreated);
        QCOMPARE(m_seen[0].event.projectID, m_workspace.id);
        QCOMPARE(m_seen[0].event.taskID, id);
        QCOMPARE(m_seen[0].detail, QStringLiteral("Task discovered from workspace files."));
        QVERIFY(!m_seen[0].storedWhenSent); // the event comes before the write
        std::optional<BL_Task> task = stored(id);
        QVERIFY(task);
        QCOMPARE(task->projectID, m_workspace.id);
        QCOMPARE(task->status, BL_TaskStatus::queued);
        QCOMPARE(titleOf(*task), QStringLiteral("Write the parser"));
        QCOMPARE(historyDetails(*task), QStringList {QStringLiteral("Task discovered from workspace files.")});

        // Rewritten by rename: the stored task follows the file, keeps its history.
        replaceByRename(path, taskFile(id, QStringLiteral("in_progress"), QStringLiteral("Write the lexer")));
        QVERIFY(TestSupport::waitUntil([&] { return *m_changes == 2; }));
        QCOMPARE(m_seen.size(), 2);
        QCOMPARE(m_seen[1].event.type, BL_EventType::taskModified);
        QCOMPARE(m_seen[1].event.taskID, id);
        QCOMPARE(m_seen[1].detail, QStringLiteral("Task file modified on disk."));
        QVERIFY(m_seen[1].storedWhenSent);
        QCOMPARE(m_seen[1].storedWhenSent->status, BL_TaskStatus::queued);
        task = stored(id);
        QCOMPARE(task->status, BL_TaskStatus::inProgress);
        QCOMPARE(titleOf(*task), QStringLiteral("Write the lexer"));
        QCOMPARE(historyDetails(*task),
            (QStringList {QStringLiteral("Task discovered from workspace files."),
                QStringLiteral("Task file modified on disk.")}));

        // Replaced by the same content, and broken for a while: nothing happens.
        replaceByRename(path, taskFile(id, QStringLiteral("in_progress"), QStringLiteral("Write the lexer")));
        settle();
        replaceByRename(path, "{\"id\": ");
        settle();
        QCOMPARE(m_seen.size(), 2);
        QCOMPARE(*m_changes, 2);
        QCOMPARE(stored(id)->status, BL_TaskStatus::inProgress);

        // Deleted: the task goes, announced first.
        QVERIFY(QFile::remove(path));
        QVERIFY(TestSupport::waitUntil([&] { return *m_changes == 3; }));
        QCOMPARE(m_seen.size(), 3);
        QCOMPARE(m_seen[2].event.type, BL_EventType::taskDeleted);
        QCOMPARE(m_seen[2].event.taskID, id);
        QCOMPARE(m_seen[2].event.projectID, m_workspace.id);
        QCOMPARE(m_seen[2].detail, QStringLiteral("Task removed from workspace files."));
        QVERIFY(m_seen[2].storedWhenSent);
        QVERIFY(!stored(id));
    }

    void debounceCoalescesABurst()
    {
        startWatcher(*m_database);
        qint64 lastWriteMs = 0;
        for (int i = 0; i < 4; ++i) {
            if (i > 0)
                QTest::qWait(120); // well inside the debounce
            writeInPlace(taskPath(QStringLiteral("task-%1.json").arg(i)),
                taskFile(QUuid::createUuid(), QStringLiteral("backlog"), QStringLiteral("Task %1").arg(i)));
            lastWriteMs = m_clock.elapsed();
        }
        QVERIFY(TestSupport::waitUntil([&] { return m_seen.size() == 4 && *m_changes == 1; }));
        settle();
        QCOMPARE(*m_changes, 1); // one cycle for the whole burst
        QCOMPARE(m_seen.size(), 4);
        // ...run only once the burst had paused for the debounce (the timer
        // may fire a few milliseconds early).
        QVERIFY2(m_seen[0].atMs - lastWriteMs >= ProjectWatcher::kSyncDebounceMilliseconds - 30,
            qPrintable(QString::number(m_seen[0].atMs - lastWriteMs)));
        QCOMPARE(resultOf(m_database->fetchTasks(m_workspace.id))->size(), 4);
    }

    void restartKeepsWhatTheApplicationDid_data()
    {
        QTest::addColumn<QString>("edit");
        QTest::newRow("file unchanged") << QString();
        QTest::newRow("workspace moved, file unchanged") << QStringLiteral("moved");
        QTest::newRow("state file lost, file unchanged") << QStringLiteral("lost");
        QTest::newRow("file changed while no watcher ran") << QStringLiteral("stopped");
        QTest::newRow("file changed while watching") << QStringLiteral("watching");
    }
    void restartKeepsWhatTheApplicationDid()
    {
        QFETCH(QString, edit);
        const QUuid id = QUuid::createUuid();
        QString path = taskPath(QStringLiteral("task.json"));
        writeInPlace(path, taskFile(id, QStringLiteral("queued"), QStringLiteral("Original")));
        startWatcher(*m_database);
        QCOMPARE(m_seen.size(), 1);

        // The application runs the task to its end.
        BL_Task done = *stored(id);
        done.status = BL_TaskStatus::completed;
        done.workerState = BL_TaskWorkerState::workerCompleted;
        done.delegationState = BL_TaskDelegationState::completed;
        done.workerSessionKey = QStringLiteral("agent:worker:1");
        done.outputData = QByteArrayLiteral("{\"summary\":\"done\"}");
        done.appendConversationTurn(BL_TaskConversationTurn {QUuid::createUuid(), TimePoint::now(),
            BL_TaskConversationRole::worker, std::nullopt, QStringLiteral("Done.")});
        BL_TaskGitDiffArtifact artifact;
        artifact.state = BL_TaskGitDiffState::unavailable;
        artifact.errorMessage = QStringLiteral("Not a git repository.");
        done.metadata = BL_TaskGitDiffArtifact::encode(artifact, done.metadata);
        QVERIFY(resultOf(m_database->upsertTask(done)).ok());
        const BL_Task beforeRestart = *stored(id);

        m_watcher.reset();
        if (edit == QLatin1String("moved")) {
            placeWorkspaceAt(m_root->filePath(QStringLiteral("renamed")));
            path = taskPath(QStringLiteral("task.json"));
        }
        if (edit == QLatin1String("lost"))
            QVERIFY(QFile::remove(ProjectWatcher::stateFilePath(m_stateDirectory->path(), m_workspace.id)));
        if (edit == QLatin1String("stopped"))
            replaceByRename(path, taskFile(id, QStringLiteral("completed"), QStringLiteral("Edited")));
        m_seen.clear();
        startWatcher(*m_database);
        if (edit == QLatin1String("watching")) {
            replaceByRename(path, taskFile(id, QStringLiteral("completed"), QStringLiteral("Edited")));
            QVERIFY(TestSupport::waitUntil([&] { return !m_seen.isEmpty(); }));
            settle();
        }

        const BL_Task after = *stored(id);
        if (edit.isEmpty() || edit == QLatin1String("moved") || edit == QLatin1String("lost")) {
            QVERIFY(m_seen.isEmpty());
            QCOMPARE(after, beforeRestart);
            if (edit == QLatin1String("lost")) {
                // The file is known again: the next start leaves it alone too.
                m_watcher.reset();
                startWatcher(*m_database);
                QVERIFY(m_seen.isEmpty());
                QVERIFY(QFileInfo::exists(ProjectWatcher::stateFilePath(m_stateDirectory->path(), m_workspace.id)));
            }
            return;
        }
        QCOMPARE(m_seen.size(), 1);
        QCOMPARE(m_seen[0].event.type, BL_EventType::taskModified);
        QCOMPARE(m_seen[0].detail, QStringLiteral("Task file modified on disk."));
        QCOMPARE(titleOf(after), QStringLiteral("Edited"));
        QCOMPARE(after.status, BL_TaskStatus::completed);
        // What the file does not carry stays as the application left it.
        QCOMPARE(after.taskConversationData, beforeRestart.taskConversationData);
        QCOMPARE(BL_TaskGitDiffArtifact::decode(after.metadata), std::optional(artifact));
        QCOMPARE(
            Json::parseObject(after.metadata)->value(QStringLiteral("priority")).toString(), QStringLiteral("high"));
        QCOMPARE(after.outputData, beforeRestart.outputData);
        QCOMPARE(after.workerSessionKey, beforeRestart.workerSessionKey);
        QCOMPARE(after.delegationState, BL_TaskDelegationState::completed);
        QCOMPARE(after.workerState, BL_TaskWorkerState::workerCompleted);
        QCOMPARE(historyDetails(after).last(), QStringLiteral("Task file modified on disk."));
        QCOMPARE(historyDetails(after).size(), 2);

        // Applied once: a further restart leaves it alone.
        m_watcher.reset();
        m_seen.clear();
        startWatcher(*m_database);
        QVERIFY(m_seen.isEmpty());
        QCOMPARE(stored(id)->taskHistoryData, after.taskHistoryData);
    }

    void fileNamedFieldsStillWinOnMerge()
    {
        const QUuid id = QUuid::createUuid();
        const QString path = taskPath(QStringLiteral("task.json"));
        writeInPlace(path, taskFile(id, QStringLiteral("queued"), QStringLiteral("Original")));
        startWatcher(*m_database);
        BL_Task task = *stored(id);
        task.workerSessionKey = QStringLiteral("agent:old");
        task.outputData = QByteArrayLiteral("{\"summary\":\"old\"}");
        QVERIFY(resultOf(m_database->upsertTask(task)).ok());

        replaceByRename(path,
            taskFile(id, QStringLiteral("failed"), QStringLiteral("Original"), kOtherWorkspace,
                QJsonObject {{QStringLiteral("worker_session_key"), QStringLiteral("agent:new")},
                    {QStringLiteral("output_data"), QJsonObject {{QStringLiteral("summary"), QStringLiteral("new")}}},
                    {QStringLiteral("delegation_state"), QStringLiteral("failed")}}));
        QVERIFY(TestSupport::waitUntil([&] { return m_seen.size() == 2; }));
        settle();
        const BL_Task after = *stored(id);
        QCOMPARE(after.status, BL_TaskStatus::failed);
        QCOMPARE(after.workerSessionKey, std::optional(QStringLiteral("agent:new")));
        QCOMPARE(after.outputData, std::optional(QByteArrayLiteral("{\"summary\":\"new\"}")));
        QCOMPARE(after.delegationState, BL_TaskDelegationState::failed);
    }

    void emptyStoreGetsItsTasksBack()
    {
        // Applied into the database file in an earlier run...
        const QUuid id = QUuid::createUuid();
        writeInPlace(
            taskPath(QStringLiteral("task.json")), taskFile(id, QStringLiteral("queued"), QStringLiteral("A")));
        startWatcher(*m_database);
        QCOMPARE(m_seen.size(), 1);
        m_watcher.reset();

        // ...then the run falls back to an empty in-memory store: the
        // unchanged file still brings its task.
        m_seen.clear();
        startWatcher(*m_transient);
        QCOMPARE(m_seen.size(), 1);
        QCOMPARE(m_seen[0].event.type, BL_EventType::taskCreated);
        QVERIFY(stored(id));
    }

    void unreadableEntriesNeverHang_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("FIFO") << QStringLiteral("fifo");
        QTest::newRow("over 16 MiB") << QStringLiteral("oversized");
    }
    void unreadableEntriesNeverHang()
    {
        QFETCH(QString, kind);
        const QString bad = taskPath(QStringLiteral("bad.json"));
        const QUuid badID = QUuid::createUuid();
        if (kind == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(QFile::encodeName(bad).constData(), 0600), 0);
        } else {
            // A valid task that only the size limit keeps out.
            const QJsonObject padding {
                {QStringLiteral("padding"), QString(int(LocalFileSystemService::kMaximumWorkspaceFileSize), u'x')}};
            writeInPlace(bad, taskFile(badID, QStringLiteral("queued"), QStringLiteral("Huge"), QUuid(), padding));
        }
        const QUuid goodID = QUuid::createUuid();
        writeInPlace(
            taskPath(QStringLiteral("good.json")), taskFile(goodID, QStringLiteral("queued"), QStringLiteral("Fine")));

        startWatcher(*m_database);
        QCOMPARE(m_seen.size(), 1);
        QCOMPARE(m_seen[0].event.taskID, goodID);
        QVERIFY(!stored(badID));
        // The entry is tried again at every cycle, and never waited on.
        QVERIFY(TestSupport::waitForFuture(m_watcher->scheduleSync(true)));
        QCOMPARE(m_seen.size(), 1);
    }

    void stopDuringAStorePhase_data()
    {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("stopped") << false;
        QTest::newRow("stopped and destroyed") << true;
    }
    void stopDuringAStorePhase()
    {
        QFETCH(bool, destroy);
        QList<QUuid> ids;
        for (int i = 0; i < 3; ++i) {
            ids.append(QUuid::createUuid());
            writeInPlace(taskPath(QStringLiteral("task-%1.json").arg(i)),
                taskFile(ids.last(), QStringLiteral("queued"), QStringLiteral("Task %1").arg(i)));
        }
        // The store phase waits for this delivery while the watcher stops.
        m_onEvent = [&](const BL_Event &) {
            m_onEvent = nullptr;
            if (destroy)
                m_watcher.reset();
            else
                m_watcher->stop();
        };
        m_watcher = makeWatcher(*m_database);
        m_watcher->start();

        // The phase under way goes on to its end, callback included.
        QVERIFY(TestSupport::waitUntil([&] { return *m_changes == 1; }));
        QCOMPARE(m_seen.size(), 3);
        for (const QUuid &id : std::as_const(ids))
            QVERIFY(stored(id));

        // ...and no further cycle follows.
        writeInPlace(taskPath(QStringLiteral("late.json")),
            taskFile(QUuid::createUuid(), QStringLiteral("queued"), QStringLiteral("Late")));
        if (m_watcher) {
            const QFuture<void> served = m_watcher->scheduleSync(true);
            QVERIFY(TestSupport::waitForFuture(served));
        }
        QTest::qWait(kPastDebounceMs);
        QCOMPARE(m_seen.size(), 3);
        QCOMPARE(*m_changes, 1);
    }

    // The final stop ends the store phase at its next event, records what it
    // applied and has ended when it returns; nothing arrives afterwards.
    void shutdownDuringAStorePhase()
    {
        QList<QUuid> ids;
        for (int i = 0; i < 3; ++i) {
            ids.append(QUuid::createUuid());
            writeInPlace(taskPath(QStringLiteral("task-%1.json").arg(i)),
                taskFile(ids.last(), QStringLiteral("queued"), QStringLiteral("Task %1").arg(i)));
        }
        bool shutDown = false;
        // Queued during the first delivery, so it runs before the second
        // event is sent.
        m_onEvent = [&](const BL_Event &) {
            m_onEvent = nullptr;
            QMetaObject::invokeMethod(
                this,
                [&] {
                    m_watcher->shutdown();
                    shutDown = true;
                },
                Qt::QueuedConnection);
        };
        m_watcher = makeWatcher(*m_database);
        m_watcher->start();
        QVERIFY(TestSupport::waitUntil([&] { return shutDown; }));

        QCOMPARE(m_seen.size(), 1);
        const QUuid first = m_seen[0].event.taskID;
        QVERIFY(stored(first));
        int storedCount = 0;
        for (const QUuid &id : std::as_const(ids))
            storedCount += stored(id) ? 1 : 0;
        QCOMPARE(storedCount, 1);
        QCOMPARE(*m_changes, 0);
        // The state file names the one file applied.
        QFile state(ProjectWatcher::stateFilePath(m_stateDirectory->path(), m_workspace.id));
        QVERIFY(state.open(QIODevice::ReadOnly));
        const QJsonObject applied
            = QJsonDocument::fromJson(state.readAll()).object().value(QStringLiteral("applied_files")).toObject();
        QCOMPARE(applied.size(), 1);

        // Stopped for good: a request is dropped, nothing more is sent.
        const QFuture<void> late = m_watcher->scheduleSync(true);
        QVERIFY(late.isCanceled());
        TestSupport::drainMainThread();
        QCOMPARE(m_seen.size(), 1);
        m_watcher.reset();
    }
};

QTEST_GUILESS_MAIN(ProjectWatcherTest)
#include "tst_projectwatcher.moc"
