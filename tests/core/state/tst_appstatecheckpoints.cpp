#include "AppStateFixture.h"
#include "common/Json.h"
#include "common/ProcessRunner.h"

#include <QFile>
#include <QFileInfo>
#include <QtTest>

namespace {

using State = BL_TaskGitDiffState;

// Git's output; a failing command ends the test run.
using TestSupport::git;

using TestSupport::writeFile;

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

TaskCreationRequest backlogTask(const QUuid &projectID, const QString &title)
{
    TaskCreationRequest request;
    request.projectID = projectID;
    request.title = title;
    request.initialStatus = BL_TaskStatus::backlog;
    return request;
}

// One application state over a workspace that is (or is not) a git
// repository with one commit, and the tasks made on its board.
struct CheckpointBench
{
    AppStateFixture fixture;
    std::unique_ptr<AppState> state;
    QString root;
    QUuid projectID;

    explicit CheckpointBench(bool repository = true)
    {
        // Git sees only the repository's own configuration (HOME is fresh)
        // and never looks above the temporary home.
        qputenv("GIT_CONFIG_NOSYSTEM", "1");
        qputenv("GIT_CEILING_DIRECTORIES", QFileInfo(fixture.home.path()).canonicalFilePath().toUtf8());
        for (const char *name : {"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_AUTHOR_NAME", "GIT_AUTHOR_EMAIL",
                 "GIT_COMMITTER_NAME", "GIT_COMMITTER_EMAIL", "EMAIL"})
            qunsetenv(name);

        root = QFileInfo(fixture.makeFolder(QStringLiteral("repo"))).canonicalFilePath();
        writeFile(root + QStringLiteral("/a.txt"), "one\ntwo\n");
        if (repository) {
            git(root, {"init", "-q", "-b", "main"});
            git(root, {"config", "user.name", "Test Person"});
            git(root, {"config", "user.email", "test@example.com"});
            git(root, {"config", "commit.gpgsign", "false"});
            git(root, {"add", "-A"});
            git(root, {"commit", "-q", "-m", "start"});
        }
        start();
    }

    void start()
    {
        state = fixture.make();
        if (!AppStateFixture::run(state->bootstrap()))
            qFatal("bootstrap did not finish");
        if (projectID.isNull()) {
            if (!AppStateFixture::run(state->importExistingProject(root)))
                qFatal("import did not finish");
            for (const BL_Workspace &workspace : state->projects())
                if (workspace.rootPath == root)
                    projectID = workspace.id;
            if (projectID.isNull())
                qFatal("the repository was not imported");
        }
    }

    TaskBoardStore &board() const { return *state->taskStore(projectID); }

    QUuid createTask(const QString &title)
    {
        const QList<QUuid> known = board().taskByID().keys();
        state->createTask(backlogTask(projectID, title));
        for (const QUuid &id : board().taskByID().keys())
            if (!known.contains(id))
                return id;
        qFatal("task not created");
        return {};
    }

    // Through the board, as a user's drag does: the tracking of the
    // "taskMoved" event starts the captures.
    void move(const QUuid &taskID, BL_TaskStatus status) const
    {
        board().moveTask(taskID, status, projectID, state->eventBus());
    }

    bool capturesDone(int timeoutMs = 20000) const
    {
        return TestSupport::waitUntil(
            [&] {
                return state->gitBeforeCheckpointInFlightTaskIDs().isEmpty()
                    && state->gitAfterCheckpointInFlightTaskIDs().isEmpty();
            },
            timeoutMs);
    }

    std::optional<BL_TaskGitDiffArtifact> artifact(const QUuid &taskID) const
    {
        const auto task = state->boardTask(projectID, taskID);
        return task ? BL_TaskGitDiffArtifact::decode(task->metadata) : std::nullopt;
    }

    // Stores a task row as a previous run left it, bypassing the board.
    void storeRow(const BL_Task &task) const
    {
        auto upserting = state->database().upsertTask(task);
        if (!TestSupport::waitForFuture(upserting) || !upserting.result().ok())
            qFatal("upsert failed");
    }

    std::optional<BL_TaskGitDiffArtifact> storedArtifact(const QUuid &taskID) const
    {
        auto fetching = state->database().fetchTask(taskID);
        if (!TestSupport::waitForFuture(fetching) || !fetching.result().ok() || !fetching.result().value())
            return std::nullopt;
        return BL_TaskGitDiffArtifact::decode(fetching.result().value()->metadata);
    }
};

} // namespace

class AppStateCheckpointsTest : public QObject
{
    Q_OBJECT

private slots:
    void workOnATaskGivesItsPatch()
    {
        CheckpointBench bench;
        const QUuid taskID = bench.createTask(QStringLiteral("Change a.txt"));
        const QByteArray metadataBefore = bench.state->boardTask(bench.projectID, taskID)->metadata;

        bench.move(taskID, BL_TaskStatus::inProgress);
        QVERIFY(bench.state->gitBeforeCheckpointInFlightTaskIDs().contains(taskID));
        // A second request while the first runs starts nothing more.
        bench.state->reconcileTaskGitCheckpointIfNeeded(taskID, bench.projectID);
        QVERIFY(bench.capturesDone());
        const auto pending = bench.artifact(taskID);
        QVERIFY(pending);
        QCOMPARE(pending->state, State::pending);
        QVERIFY(pending->isExact);
        const BL_TaskGitCheckpoint before = *pending->before;

        writeFile(bench.root + QStringLiteral("/a.txt"), "one\nTWO\n");
        writeFile(bench.root + QStringLiteral("/b.txt"), "new file\n");
        const TimePoint completedAt = Clock::system().now();
        bench.move(taskID, BL_TaskStatus::completed);
        QVERIFY(bench.state->gitAfterCheckpointInFlightTaskIDs().contains(taskID));
        QVERIFY(bench.capturesDone());

        const BL_Task task = *bench.state->boardTask(bench.projectID, taskID);
        const auto ready = BL_TaskGitDiffArtifact::decode(task.metadata);
        QVERIFY(ready);
        QCOMPARE(ready->state, State::ready);
        QVERIFY(ready->isExact);
        QCOMPARE(*ready->before, before);
        QCOMPARE(ready->repositoryRootPath.value(), bench.root);
        const TaskGitCheckpointService service = bench.state->taskGitCheckpointService();
        QCOMPARE(service.offeredPatchPath(bench.projectID, taskID, *ready).value(),
            service.patchFilePath(bench.projectID, taskID));
        const QByteArray patch = readFile(*ready->diffFilePath);
        QVERIFY(patch.contains("-two\n+TWO\n"));
        QVERIFY(patch.contains("+++ b/b.txt"));
        QVERIFY(ready->summary->linesAdded >= 2);
        QVERIFY(task.updatedAt >= completedAt);
        QCOMPARE(task.taskLastActivityDate, task.updatedAt);

        // Every other key of the metadata stays.
        QJsonObject withoutArtifact = *Json::parseObject(task.metadata);
        withoutArtifact.remove(QStringLiteral("git_diff_artifact"));
        QCOMPARE(withoutArtifact, *Json::parseObject(metadataBefore));

        // Persisted with the task.
        QVERIFY(TestSupport::waitUntil([&] { return bench.storedArtifact(taskID) == ready; }));

        // Worked on again: the start checkpoint stays, and the new end diff
        // spans both runs.
        bench.move(taskID, BL_TaskStatus::inProgress);
        QVERIFY(bench.state->gitBeforeCheckpointInFlightTaskIDs().isEmpty());
        writeFile(bench.root + QStringLiteral("/c.txt"), "third\n");
        bench.move(taskID, BL_TaskStatus::completed);
        QVERIFY(bench.capturesDone());
        const auto again = bench.artifact(taskID);
        QCOMPARE(again->state, State::ready);
        QCOMPARE(*again->before, before);
        QVERIFY(again->after != ready->after);
        const QByteArray both = readFile(*again->diffFilePath);
        QVERIFY(both.contains("+++ b/b.txt"));
        QVERIFY(both.contains("+++ b/c.txt"));
    }

    void endWithoutStartCheckpointIsNotExact()
    {
        CheckpointBench bench;
        // Completed straight from the backlog: the end capture takes its own
        // start checkpoint.
        const QUuid skipped = bench.createTask(QStringLiteral("Never started"));
        bench.move(skipped, BL_TaskStatus::completed);
        // Started and ended at once: the end capture does not wait for the
        // start capture, and whichever lands last, the ready diff stays.
        const QUuid quick = bench.createTask(QStringLiteral("Quick"));
        bench.move(quick, BL_TaskStatus::inProgress);
        bench.move(quick, BL_TaskStatus::completed);
        QVERIFY(bench.state->gitBeforeCheckpointInFlightTaskIDs().contains(quick));
        QVERIFY(bench.state->gitAfterCheckpointInFlightTaskIDs().contains(quick));
        QVERIFY(bench.capturesDone());

        for (const QUuid &taskID : {skipped, quick}) {
            const auto artifact = bench.artifact(taskID);
            QVERIFY(artifact);
            QCOMPARE(artifact->state, State::ready);
            QVERIFY(!artifact->isExact);
            QVERIFY(artifact->before);
            QVERIFY(QFileInfo(*artifact->diffFilePath).isFile());
        }
    }

    void readyDiffIsNeverReplacedByAFailure()
    {
        CheckpointBench bench;
        const QUuid taskID = bench.createTask(QStringLiteral("Finish"));
        bench.move(taskID, BL_TaskStatus::inProgress);
        QVERIFY(bench.capturesDone());
        writeFile(bench.root + QStringLiteral("/a.txt"), "changed\n");
        bench.move(taskID, BL_TaskStatus::completed);
        QVERIFY(bench.capturesDone());
        const auto ready = bench.artifact(taskID);
        QCOMPARE(ready->state, State::ready);

        // The repository is gone: the next end capture fails.
        QVERIFY(QDir(bench.root + QStringLiteral("/.git")).removeRecursively());
        bench.move(taskID, BL_TaskStatus::failed);
        QVERIFY(bench.state->gitAfterCheckpointInFlightTaskIDs().contains(taskID));
        QVERIFY(bench.capturesDone());
        QCOMPARE(bench.artifact(taskID), ready);
    }

    void outsideARepositoryEveryStartTriesAgain()
    {
        CheckpointBench bench(false);
        const QUuid taskID = bench.createTask(QStringLiteral("No git"));
        bench.move(taskID, BL_TaskStatus::inProgress);
        QVERIFY(bench.capturesDone());
        const auto unavailable = bench.artifact(taskID);
        QCOMPARE(unavailable->state, State::unavailable);
        QCOMPARE(unavailable->errorMessage.value(), QStringLiteral("Workspace is not a Git repository."));

        bench.move(taskID, BL_TaskStatus::queued);
        bench.move(taskID, BL_TaskStatus::inProgress);
        QVERIFY(bench.state->gitBeforeCheckpointInFlightTaskIDs().contains(taskID));
        QVERIFY(bench.capturesDone());

        // A workspace that is not registered gets no capture.
        bench.state->reconcileTaskGitCheckpointIfNeeded(taskID, QUuid::createUuid());
        QVERIFY(bench.state->gitBeforeCheckpointInFlightTaskIDs().isEmpty());
    }

    void openingDetails_data()
    {
        QTest::addColumn<BL_TaskStatus>("status");
        QTest::addColumn<bool>("pendingArtifact");
        QTest::addColumn<bool>("startsBefore");
        QTest::addColumn<bool>("startsAfter");
        QTest::newRow("backlog") << BL_TaskStatus::backlog << false << false << false;
        QTest::newRow("queued with pending") << BL_TaskStatus::queued << true << false << false;
        QTest::newRow("in progress, none") << BL_TaskStatus::inProgress << false << true << false;
        QTest::newRow("in progress, pending") << BL_TaskStatus::inProgress << true << false << false;
        QTest::newRow("completed, none") << BL_TaskStatus::completed << false << false << false;
        QTest::newRow("completed, pending") << BL_TaskStatus::completed << true << false << true;
        QTest::newRow("failed, pending") << BL_TaskStatus::failed << true << false << true;
    }

    void openingDetails()
    {
        QFETCH(BL_TaskStatus, status);
        QFETCH(bool, pendingArtifact);
        QFETCH(bool, startsBefore);
        QFETCH(bool, startsAfter);
        CheckpointBench bench;
        const QUuid taskID = bench.createTask(QStringLiteral("Details"));
        // Set without an event, so nothing is captured on the way.
        bench.board().setTaskStatus(taskID, status, bench.projectID, nullptr);
        if (pendingArtifact) {
            const auto pending
                = bench.state->taskGitCheckpointService().captureBefore({bench.projectID, taskID, bench.root});
            QCOMPARE(pending.state, State::pending);
            bench.board().updateTask(
                taskID, [&](BL_Task &task) { task.metadata = BL_TaskGitDiffArtifact::encode(pending, task.metadata); });
        }

        bench.state->reconcileTaskGitCheckpointIfNeeded(taskID, bench.projectID);
        QCOMPARE(bench.state->gitBeforeCheckpointInFlightTaskIDs().contains(taskID), startsBefore);
        QCOMPARE(bench.state->gitAfterCheckpointInFlightTaskIDs().contains(taskID), startsAfter);
        QVERIFY(bench.capturesDone());
        if (startsAfter)
            QCOMPARE(bench.artifact(taskID)->state, State::ready);
    }

    void launchFinishesEndedTasksLeftPending()
    {
        CheckpointBench bench;
        const QList<BL_TaskStatus> statuses {
            BL_TaskStatus::completed, BL_TaskStatus::failed, BL_TaskStatus::inProgress};
        QMap<BL_TaskStatus, QUuid> tasks;
        for (const BL_TaskStatus status : statuses)
            tasks.insert(status, bench.createTask(rawValue(status)));
        // The rows of the creation are written first.
        TestSupport::drainMainThread();
        for (const BL_TaskStatus status : statuses) {
            const QUuid taskID = tasks.value(status);
            const auto pending
                = bench.state->taskGitCheckpointService().captureBefore({bench.projectID, taskID, bench.root});
            BL_Task row = *bench.state->boardTask(bench.projectID, taskID);
            row.status = status;
            row.metadata = BL_TaskGitDiffArtifact::encode(pending, row.metadata);
            bench.storeRow(row);
        }
        writeFile(bench.root + QStringLiteral("/a.txt"), "changed while closed\n");

        // The application quit before the end captures ran.
        bench.state.reset();
        bench.start();
        QVERIFY(bench.capturesDone());
        for (const BL_TaskStatus status : {BL_TaskStatus::completed, BL_TaskStatus::failed}) {
            const auto finished = bench.artifact(tasks.value(status));
            QCOMPARE(finished->state, State::ready);
            QVERIFY(finished->isExact);
            QVERIFY(readFile(*finished->diffFilePath).contains("+changed while closed"));
            QVERIFY(TestSupport::waitUntil([&] { return bench.storedArtifact(tasks.value(status)) == finished; }));
        }
        QCOMPARE(bench.artifact(tasks.value(BL_TaskStatus::inProgress))->state, State::pending);
    }
};

QTEST_GUILESS_MAIN(AppStateCheckpointsTest)
#include "tst_appstatecheckpoints.moc"
