#include "TestSupport.h"
#include "board/TaskBoardStore.h"
#include "common/Json.h"
#include "state/TaskCheckpointCoordinator.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>
#include <QtTest>

namespace {

using State = BL_TaskGitDiffState;
using TestSupport::git;
using TestSupport::writeFile;

const TimePoint kStart = TimePoint::fromUnixSeconds(1700000000);
const QByteArray kMetadata = R"({"keep":"me"})";

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

BL_TaskGitDiffArtifact artifactIn(State state)
{
    BL_TaskGitDiffArtifact artifact;
    artifact.state = state;
    if (state == State::failed || state == State::unavailable)
        artifact.errorMessage = QStringLiteral("earlier failure");
    return artifact;
}

// One coordinator over a workspace that is (or is not) a git repository with
// one commit, a real board for it and hooks that record what they were asked.
struct CoordinatorBench
{
    TestSupport::TemporaryHome home;
    TestSupport::PinnedClock clock {kStart};
    QString root;
    QString data;
    QUuid projectID = QUuid::createUuid();
    QList<BL_Workspace> projects;
    QHash<QUuid, std::shared_ptr<TaskBoardStore>> stores;
    bool clientNode = false;
    QList<BL_Task> persisted;
    QList<QUuid> refreshed;
    std::unique_ptr<TaskCheckpointCoordinator> coordinator;

    explicit CoordinatorBench(bool repository = true)
    {
        // Git sees only the repository's own configuration and never looks
        // above the temporary home.
        qputenv("GIT_CONFIG_NOSYSTEM", "1");
        qputenv("GIT_CEILING_DIRECTORIES", QFileInfo(home.path()).canonicalFilePath().toUtf8());
        for (const char *name : {"GIT_DIR", "GIT_WORK_TREE", "GIT_INDEX_FILE", "GIT_AUTHOR_NAME", "GIT_AUTHOR_EMAIL",
                 "GIT_COMMITTER_NAME", "GIT_COMMITTER_EMAIL", "EMAIL"})
            qunsetenv(name);

        QDir().mkpath(home.path() + QStringLiteral("/repo"));
        root = QFileInfo(home.path() + QStringLiteral("/repo")).canonicalFilePath();
        data = home.path() + QStringLiteral("/appdata");
        writeFile(root + QStringLiteral("/a.txt"), "one\ntwo\n");
        if (repository) {
            git(root, {"init", "-q", "-b", "main"});
            git(root, {"config", "user.name", "Test Person"});
            git(root, {"config", "user.email", "test@example.com"});
            git(root, {"config", "commit.gpgsign", "false"});
            git(root, {"add", "-A"});
            git(root, {"commit", "-q", "-m", "start"});
        }
        projects.append(BL_Workspace {projectID, std::nullopt, QStringLiteral("repo"), root, kStart, kStart});
        stores.insert(projectID, std::make_shared<TaskBoardStore>(QList<BL_Task> {}, clock));

        TaskCheckpointCoordinator::Hooks hooks;
        hooks.isClientNodeMode = [this] { return clientNode; };
        hooks.projects = [this]() -> const QList<BL_Workspace> & { return projects; };
        hooks.taskStore = [this](const QUuid &id) { return stores.value(id).get(); };
        hooks.taskStoreIDs = [this] { return stores.keys(); };
        hooks.persistTask = [this](const BL_Task &task) { persisted.append(task); };
        hooks.requestBrowserRefreshIfVisible = [this](const QUuid &id) { refreshed.append(id); };
        coordinator = std::make_unique<TaskCheckpointCoordinator>(data, clock, std::move(hooks));
    }

    ~CoordinatorBench()
    {
        // Background captures finish before the repository folder goes.
        coordinator.reset();
        QThreadPool::globalInstance()->waitForDone();
        TestSupport::drainMainThread();
    }

    TaskBoardStore &board(const QUuid &id) const { return *stores.value(id); }
    TaskBoardStore &board() const { return board(projectID); }

    QUuid addTask(BL_TaskStatus status, const std::optional<BL_TaskGitDiffArtifact> &artifact = std::nullopt,
        const QUuid &workspaceID = QUuid())
    {
        BL_Task task;
        task.blID = QUuid::createUuid();
        task.projectID = workspaceID.isNull() ? projectID : workspaceID;
        task.status = status;
        task.inputData = "{}";
        task.metadata = BL_TaskGitDiffArtifact::encode(artifact, kMetadata);
        task.taskHistoryData = "[]";
        task.taskConversationData = "[]";
        task.createdAt = task.updatedAt = task.taskLastActivityDate = kStart;
        board(task.projectID).applyIncrementalUpdate(task, std::nullopt);
        return task.blID;
    }

    void setStatus(const QUuid &taskID, BL_TaskStatus status) const
    {
        board().updateTask(taskID, [&](BL_Task &task) { task.status = status; });
    }

    bool capturesDone(int timeoutMs = 20000) const
    {
        return TestSupport::waitUntil(
            [&] {
                return coordinator->beforeInFlightTaskIDs().isEmpty() && coordinator->afterInFlightTaskIDs().isEmpty();
            },
            timeoutMs);
    }

    std::optional<BL_TaskGitDiffArtifact> artifact(const QUuid &taskID, const QUuid &workspaceID = QUuid()) const
    {
        const auto task = board(workspaceID.isNull() ? projectID : workspaceID).task(taskID);
        return task ? BL_TaskGitDiffArtifact::decode(task->metadata) : std::nullopt;
    }

    // A start checkpoint taken now, as an earlier run of the task stored it.
    BL_TaskGitDiffArtifact pendingNow(const QUuid &taskID) const
    {
        const auto pending = coordinator->service().captureBefore({projectID, taskID, root});
        if (pending.state != State::pending)
            qFatal("no start checkpoint: %s", qPrintable(pending.errorMessage.value_or(QString())));
        return pending;
    }
};

} // namespace

class TaskCheckpointCoordinatorTest : public QObject
{
    Q_OBJECT

private slots:
    void startAndEndGiveTheTasksPatch()
    {
        CoordinatorBench bench;
        const QUuid taskID = bench.addTask(BL_TaskStatus::inProgress);

        bench.coordinator->captureBefore(taskID, bench.projectID);
        QVERIFY(bench.coordinator->beforeInFlightTaskIDs().contains(taskID));
        // A second request while the first runs starts nothing more.
        bench.coordinator->captureBefore(taskID, bench.projectID);
        QVERIFY(bench.capturesDone());
        QCOMPARE(bench.persisted.size(), 1);
        QCOMPARE(bench.refreshed, QList<QUuid> {bench.projectID});
        const auto pending = bench.artifact(taskID);
        QVERIFY(pending);
        QCOMPARE(pending->state, State::pending);
        QVERIFY(pending->isExact);
        QCOMPARE(BL_TaskGitDiffArtifact::decode(bench.persisted.last().metadata), pending);

        // Stored pending: a further start request is skipped at once.
        bench.coordinator->captureBefore(taskID, bench.projectID);
        QVERIFY(bench.coordinator->beforeInFlightTaskIDs().isEmpty());

        writeFile(bench.root + QStringLiteral("/a.txt"), "one\nTWO\n");
        writeFile(bench.root + QStringLiteral("/b.txt"), "new file\n");
        bench.setStatus(taskID, BL_TaskStatus::completed);
        bench.clock.advance(60);
        bench.coordinator->captureAfter(taskID, bench.projectID);
        QVERIFY(bench.coordinator->afterInFlightTaskIDs().contains(taskID));
        QVERIFY(bench.capturesDone());

        const BL_Task task = *bench.board().task(taskID);
        const auto ready = BL_TaskGitDiffArtifact::decode(task.metadata);
        QCOMPARE(ready->state, State::ready);
        QVERIFY(ready->isExact);
        QCOMPARE(ready->before, pending->before);
        QCOMPARE(ready->repositoryRootPath.value(), bench.root);
        QCOMPARE(ready->diffFilePath.value(), bench.coordinator->service().patchFilePath(bench.projectID, taskID));
        QVERIFY(ready->diffFilePath->startsWith(bench.data + QStringLiteral("/task-logs/")));
        const QByteArray patch = readFile(*ready->diffFilePath);
        QVERIFY(patch.contains("-two\n+TWO\n"));
        QVERIFY(patch.contains("+++ b/b.txt"));
        // Stamped when stored; every other metadata key stays.
        QCOMPARE(task.updatedAt, bench.clock.now());
        QCOMPARE(task.taskLastActivityDate, bench.clock.now());
        QJsonObject rest = *Json::parseObject(task.metadata);
        rest.remove(QStringLiteral("git_diff_artifact"));
        QCOMPARE(rest, *Json::parseObject(kMetadata));
        QCOMPARE(bench.persisted.size(), 2);
        QCOMPARE(bench.persisted.last(), task);
        QCOMPARE(bench.refreshed.size(), 2);

        // Worked on again: no new start checkpoint, and the next end diff
        // runs from the first start.
        bench.setStatus(taskID, BL_TaskStatus::inProgress);
        bench.coordinator->captureBefore(taskID, bench.projectID);
        QVERIFY(bench.coordinator->beforeInFlightTaskIDs().isEmpty());
        writeFile(bench.root + QStringLiteral("/c.txt"), "third\n");
        bench.coordinator->captureAfter(taskID, bench.projectID);
        QVERIFY(bench.capturesDone());
        const auto again = bench.artifact(taskID);
        QCOMPARE(again->before, pending->before);
        QVERIFY(readFile(*again->diffFilePath).contains("+++ b/b.txt"));
        QVERIFY(readFile(*again->diffFilePath).contains("+++ b/c.txt"));
    }

    void startCaptureDependsOnTheStoredArtifact_data()
    {
        QTest::addColumn<std::optional<BL_TaskGitDiffArtifact>>("stored");
        QTest::addColumn<bool>("captures");
        QTest::newRow("none") << std::optional<BL_TaskGitDiffArtifact>() << true;
        QTest::newRow("pending") << std::optional(artifactIn(State::pending)) << false;
        QTest::newRow("ready") << std::optional(artifactIn(State::ready)) << false;
        QTest::newRow("unavailable") << std::optional(artifactIn(State::unavailable)) << true;
        QTest::newRow("failed") << std::optional(artifactIn(State::failed)) << true;
    }

    void startCaptureDependsOnTheStoredArtifact()
    {
        QFETCH(std::optional<BL_TaskGitDiffArtifact>, stored);
        QFETCH(bool, captures);
        CoordinatorBench bench;
        const QUuid taskID = bench.addTask(BL_TaskStatus::inProgress, stored);
        bench.coordinator->captureBefore(taskID, bench.projectID);
        QCOMPARE(bench.coordinator->beforeInFlightTaskIDs().contains(taskID), captures);
        QVERIFY(bench.capturesDone());
        QCOMPARE(bench.persisted.size(), captures ? 1 : 0);
        QCOMPARE(bench.artifact(taskID)->state, captures ? State::pending : stored->state);
    }

    void endWithoutAUsableStartIsNotExact_data()
    {
        QTest::addColumn<std::optional<BL_TaskGitDiffArtifact>>("stored");
        BL_TaskGitDiffArtifact shortName = artifactIn(State::pending);
        shortName.before = BL_TaskGitCheckpoint {kStart, QStringLiteral("abc123"), std::nullopt, false};
        QTest::newRow("no artifact") << std::optional<BL_TaskGitDiffArtifact>();
        QTest::newRow("failed start") << std::optional(artifactIn(State::failed));
        QTest::newRow("start commit not an object name") << std::optional(shortName);
    }

    void endWithoutAUsableStartIsNotExact()
    {
        QFETCH(std::optional<BL_TaskGitDiffArtifact>, stored);
        CoordinatorBench bench;
        const QUuid taskID = bench.addTask(BL_TaskStatus::completed, stored);
        bench.coordinator->captureAfter(taskID, bench.projectID);
        QVERIFY(bench.capturesDone());
        const auto artifact = bench.artifact(taskID);
        QCOMPARE(artifact->state, State::ready);
        QVERIFY(!artifact->isExact);
        QVERIFY(TaskGitCheckpointService::usableBefore(*artifact));
        QVERIFY(QFileInfo(*artifact->diffFilePath).isFile());
    }

    void startAndEndAtOnceKeepTheReadyDiff()
    {
        // Accepted and finished within moments: the end capture does not wait
        // for the start capture, and whichever lands last, the diff stays.
        CoordinatorBench bench;
        const QUuid taskID = bench.addTask(BL_TaskStatus::inProgress);
        bench.coordinator->captureBefore(taskID, bench.projectID);
        bench.setStatus(taskID, BL_TaskStatus::completed);
        bench.coordinator->captureAfter(taskID, bench.projectID);
        QVERIFY(bench.coordinator->beforeInFlightTaskIDs().contains(taskID));
        QVERIFY(bench.coordinator->afterInFlightTaskIDs().contains(taskID));
        QVERIFY(bench.capturesDone());
        QCOMPARE(bench.artifact(taskID)->state, State::ready);
        QVERIFY(!bench.artifact(taskID)->isExact);
        QCOMPARE(bench.persisted.size(), 2);
    }

    void readyDiffStaysOverAFailedCapture()
    {
        CoordinatorBench bench;
        const QUuid taskID = bench.addTask(BL_TaskStatus::completed);
        bench.coordinator->captureAfter(taskID, bench.projectID);
        QVERIFY(bench.capturesDone());
        const BL_Task readyTask = *bench.board().task(taskID);
        QCOMPARE(BL_TaskGitDiffArtifact::decode(readyTask.metadata)->state, State::ready);

        // The repository is gone: the next end capture fails. The task is
        // left as it was, and still handed on and refreshed.
        QVERIFY(QDir(bench.root + QStringLiteral("/.git")).removeRecursively());
        bench.clock.advance(60);
        bench.coordinator->captureAfter(taskID, bench.projectID);
        QVERIFY(bench.capturesDone());
        QCOMPARE(*bench.board().task(taskID), readyTask);
        QCOMPARE(bench.persisted.size(), 2);
        QCOMPARE(bench.persisted.last(), readyTask);
        QCOMPARE(bench.refreshed.size(), 2);
    }

    void outsideARepositoryEveryStartTriesAgain()
    {
        CoordinatorBench bench(false);
        const QUuid taskID = bench.addTask(BL_TaskStatus::inProgress);
        bench.coordinator->captureBefore(taskID, bench.projectID);
        QVERIFY(bench.capturesDone());
        const auto unavailable = bench.artifact(taskID);
        QCOMPARE(unavailable->state, State::unavailable);
        QCOMPARE(unavailable->errorMessage.value(), QStringLiteral("Workspace is not a Git repository."));

        bench.coordinator->captureBefore(taskID, bench.projectID);
        QVERIFY(bench.coordinator->beforeInFlightTaskIDs().contains(taskID));
        QVERIFY(bench.capturesDone());
        QCOMPARE(bench.persisted.size(), 2);
    }

    void noCaptureWithoutClientRoleWorkspaceOrTask_data()
    {
        QTest::addColumn<QString>("situation");
        QTest::newRow("client node") << QStringLiteral("client node");
        QTest::newRow("workspace not registered") << QStringLiteral("no workspace");
        QTest::newRow("task not on the board") << QStringLiteral("no task");
    }

    void noCaptureWithoutClientRoleWorkspaceOrTask()
    {
        QFETCH(QString, situation);
        CoordinatorBench bench;
        const QUuid running = bench.addTask(BL_TaskStatus::inProgress);
        const QUuid ended = bench.addTask(BL_TaskStatus::failed, bench.pendingNow(QUuid::createUuid()));
        QUuid asked = running;
        QUuid askedEnded = ended;
        if (situation == QLatin1String("client node"))
            bench.clientNode = true;
        else if (situation == QLatin1String("no workspace"))
            bench.projects.clear();
        else
            asked = askedEnded = QUuid::createUuid();

        bench.coordinator->reconcileIfNeeded(asked, bench.projectID);
        bench.coordinator->reconcileIfNeeded(askedEnded, bench.projectID);
        bench.coordinator->finalizePendingIfNeeded(askedEnded, bench.projectID);
        if (situation != QLatin1String("no task")) {
            // Asked directly, and at launch, nothing starts either.
            bench.coordinator->captureBefore(asked, bench.projectID);
            bench.coordinator->captureAfter(askedEnded, bench.projectID);
            bench.coordinator->reconcilePending();
        }
        QVERIFY(bench.coordinator->beforeInFlightTaskIDs().isEmpty());
        QVERIFY(bench.coordinator->afterInFlightTaskIDs().isEmpty());
        TestSupport::drainMainThread();
        QVERIFY(bench.persisted.isEmpty());
        QVERIFY(!bench.artifact(running));
        QCOMPARE(bench.artifact(ended)->state, State::pending);
    }

    void resultWithoutItsTaskIsDropped_data()
    {
        QTest::addColumn<bool>("wholeBoard");
        QTest::newRow("task deleted") << false;
        QTest::newRow("workspace removed") << true;
    }

    void resultWithoutItsTaskIsDropped()
    {
        QFETCH(bool, wholeBoard);
        CoordinatorBench bench;
        const QUuid taskID = bench.addTask(BL_TaskStatus::inProgress);
        bench.coordinator->captureBefore(taskID, bench.projectID);
        QVERIFY(bench.coordinator->beforeInFlightTaskIDs().contains(taskID));
        if (wholeBoard)
            bench.stores.remove(bench.projectID);
        else
            bench.board().removeTask(taskID);
        QVERIFY(bench.capturesDone());
        QVERIFY(bench.persisted.isEmpty());
        QVERIFY(bench.refreshed.isEmpty());
    }

    void openingDetails_data()
    {
        QTest::addColumn<BL_TaskStatus>("status");
        QTest::addColumn<bool>("pending");
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
        QFETCH(bool, pending);
        QFETCH(bool, startsBefore);
        QFETCH(bool, startsAfter);
        CoordinatorBench bench;
        const QUuid taskID
            = bench.addTask(status, pending ? std::optional(bench.pendingNow(QUuid::createUuid())) : std::nullopt);
        bench.coordinator->reconcileIfNeeded(taskID, bench.projectID);
        QCOMPARE(bench.coordinator->beforeInFlightTaskIDs().contains(taskID), startsBefore);
        QCOMPARE(bench.coordinator->afterInFlightTaskIDs().contains(taskID), startsAfter);
        QVERIFY(bench.capturesDone());
        if (startsAfter) {
            QCOMPARE(bench.artifact(taskID)->state, State::ready);
            QVERIFY(bench.artifact(taskID)->isExact);
        }
    }

    void launchRepairFinishesEndedPendingTasksOnly()
    {
        CoordinatorBench bench;
        const QUuid other = QUuid::createUuid();
        bench.projects.append(
            BL_Workspace {other, std::nullopt, QStringLiteral("same repo"), bench.root, kStart, kStart});
        bench.stores.insert(other, std::make_shared<TaskBoardStore>(QList<BL_Task> {}, bench.clock));
        const BL_TaskGitDiffArtifact pending = bench.pendingNow(QUuid::createUuid());
        const QUuid completed = bench.addTask(BL_TaskStatus::completed, pending);
        const QUuid failedElsewhere = bench.addTask(BL_TaskStatus::failed, pending, other);
        const QUuid running = bench.addTask(BL_TaskStatus::inProgress, pending);
        const QUuid ready = bench.addTask(BL_TaskStatus::completed, artifactIn(State::ready));
        const QUuid failedStart = bench.addTask(BL_TaskStatus::failed, artifactIn(State::failed));
        writeFile(bench.root + QStringLiteral("/a.txt"), "changed while closed\n");

        bench.coordinator->reconcilePending();
        QCOMPARE(bench.coordinator->afterInFlightTaskIDs(), (QSet<QUuid> {completed, failedElsewhere}));
        QVERIFY(bench.coordinator->beforeInFlightTaskIDs().isEmpty());
        QVERIFY(bench.capturesDone());
        for (const auto &[taskID, workspaceID] :
            {std::pair(completed, bench.projectID), std::pair(failedElsewhere, other)}) {
            const auto finished = bench.artifact(taskID, workspaceID);
            QCOMPARE(finished->state, State::ready);
            QVERIFY(finished->isExact);
            QVERIFY(readFile(*finished->diffFilePath).contains("+changed while closed"));
        }
        QCOMPARE(bench.artifact(running)->state, State::pending);
        QCOMPARE(bench.artifact(ready)->state, State::ready);
        QCOMPARE(bench.artifact(failedStart)->state, State::failed);
        QCOMPARE(bench.persisted.size(), 2);
    }

    void capturesLandingAfterTheCoordinatorWentAreDropped()
    {
        CoordinatorBench bench;
        const QUuid started = bench.addTask(BL_TaskStatus::inProgress);
        const QUuid ended = bench.addTask(BL_TaskStatus::completed);
        bench.coordinator->captureBefore(started, bench.projectID);
        bench.coordinator->captureAfter(ended, bench.projectID);
        bench.coordinator.reset();
        QThreadPool::globalInstance()->waitForDone();
        TestSupport::drainMainThread();
        QVERIFY(bench.persisted.isEmpty());
        QVERIFY(bench.refreshed.isEmpty());
        QVERIFY(!bench.artifact(started));
        QVERIFY(!bench.artifact(ended));
    }
};

QTEST_GUILESS_MAIN(TaskCheckpointCoordinatorTest)
#include "tst_taskcheckpointcoordinator.moc"
