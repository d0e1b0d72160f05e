#include "TestSupport.h"
#include "agents/WorkerPool.h"
#include "board/TaskBoardStore.h"
#include "common/UuidText.h"
#include "model/BLEventBus.h"
#include "platform/FolderBookmark.h"
#include "platform/SettingsStore.h"
#include "state/WorkspaceRegistry.h"
#include "storage/DatabaseServiceProtocol.h"
#include "storage/LocalFileSystemService.h"
#include "storage/ProjectWatcher.h"
#include "storage/TaskDatabase.h"
#include "storage/TeamProjectStore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

using namespace TestSupport;

namespace {

QList<BL_Agent> sixAgents(TimePoint now)
{
    QList<BL_Agent> agents;
    for (int i = 0; i < 6; ++i)
        agents.append(BL_Agent {QUuid::createUuid(), QStringLiteral("Agent-%1").arg(i), QStringLiteral("model"),
            {QStringLiteral("implementation")}, true, now, now});
    return agents;
}

QByteArray taskFile(const QUuid &id, const QString &title)
{
    QJsonObject root;
    root.insert(QStringLiteral("id"), UuidText::lower(id));
    root.insert(QStringLiteral("status"), QStringLiteral("backlog"));
    root.insert(QStringLiteral("input_data"), QJsonObject {{QStringLiteral("title"), title}});
    root.insert(QStringLiteral("created_at"), 1700000000);
    root.insert(QStringLiteral("updated_at"), 1700000100);
    return QJsonDocument(root).toJson();
}

QStringList names(const QList<BL_Workspace> &workspaces)
{
    QStringList list;
    for (const BL_Workspace &workspace : workspaces)
        list.append(workspace.name);
    return list;
}

// What the application state would hold: the published fields the registry
// changes through its hooks, and a log of the calls into other concerns.
struct FakeState
{
    QList<BL_Workspace> projects;
    QHash<QUuid, std::shared_ptr<TaskBoardStore>> taskStores;
    QHash<QUuid, qint64> agentCounts;
    qint64 sharedWorkerPoolSize = 4;
    QList<BL_Team> teams;
    QList<BL_User> users;
    std::optional<QUuid> activeProjectID;
    std::optional<QString> lastViewedProjectText;
    QStringList errors;
    QStringList calls;
    bool clientNode = false;

    WorkspaceRegistry::Hooks hooks()
    {
        WorkspaceRegistry::Hooks h;
        h.isClientNodeMode = [this] { return clientNode; };
        h.setLastErrorMessage = [this](const QString &text) { errors.append(text); };
        h.projects = [this] { return projects; };
        h.setProjects = [this](const QList<BL_Workspace> &list) { projects = list; };
        h.taskStore = [this](const QUuid &id) { return taskStores.value(id).get(); };
        h.insertTaskStore
            = [this](const QUuid &id, std::shared_ptr<TaskBoardStore> store) { taskStores.insert(id, store); };
        h.publishTaskStores = [this] { calls.append(QStringLiteral("publishTaskStores")); };
        h.forgetWorkspaceState = [this](const QUuid &id) {
            taskStores.remove(id);
            agentCounts.remove(id);
            calls.append(QStringLiteral("forgetWorkspaceState"));
        };
        h.forgetSyncState = [this](const QUuid &, const QList<QUuid> &taskIDs) {
            calls.append(QStringLiteral("forgetSyncState %1").arg(taskIDs.size()));
        };
        h.sharedWorkerPoolSize = [this] { return sharedWorkerPoolSize; };
        h.setSharedWorkerPoolSize = [this](qint64 size) { sharedWorkerPoolSize = size; };
        h.setAgentCount = [this](const QUuid &id, qint64 count) { agentCounts.insert(id, count); };
        h.refreshWorkerStats = [](const QUuid &) {};
        h.scheduleReadyTasks = [this](const QUuid &) { calls.append(QStringLiteral("scheduleReadyTasks")); };
        h.reconcileRunningAssignments
            = [this](const QUuid &) { calls.append(QStringLiteral("reconcileRunningAssignments")); };
        h.ensureDefaultTeamAssignments = [] {};
        h.projectsForSelectedTeam = [this] { return projects; };
        h.selectedTeamID = [] { return std::optional<QUuid>(); };
        h.currentUserID = [] { return std::optional<QUuid>(); };
        h.setTeams = [this](const QList<BL_Team> &list) { teams = list; };
        h.setUsers = [this](const QList<BL_User> &list) { users = list; };
        h.activeProjectID = [this] { return activeProjectID; };
        h.setActiveProjectID = [this](const std::optional<QUuid> &id) { activeProjectID = id; };
        h.lastViewedProjectText = [this] { return lastViewedProjectText; };
        h.cloudSyncConditionHolds = [] { return false; };
        h.pollRemoteTasks = [](QString) -> QCoro::Task<> { co_return; };
        h.reconcilePendingTaskGitCheckpoints = [this] { calls.append(QStringLiteral("reconcileCheckpoints")); };
        h.prefetchSidebarData = [this] { calls.append(QStringLiteral("prefetch")); };
        h.syncFromClientNode = [this](QString reason) -> QCoro::Task<> {
            calls.append(QStringLiteral("syncFromClientNode ") + reason);
            co_return;
        };
        h.remoteSyncFeatureEnabled = [] { return false; };
        h.refreshAuthContext = []() -> QCoro::Task<> { co_return; };
        h.appSupportDirectory = [this]() -> Result<QString> { return dataDirectory; };
        return h;
    }
    QString dataDirectory;
};

// The real services on a temporary home: a settings file, the bookmark and
// team stores, a SQLite task database and a pinned clock. The stores and the
// database outlive every registry made, as they outlive the state's.
struct Fixture
{
    TemporaryHome home;
    QString dataDirectory = home.path() + QStringLiteral("/appdata");
    PinnedClock clock;
    BLEventBus eventBus;
    FileSettingsStore settings {home.path() + QStringLiteral("/settings.json")};
    ProjectBookmarkStore bookmarks {settings, dataDirectory, clock};
    TeamProjectStore teams {dataDirectory, clock};
    WorkerPool pool {sixAgents(clock.now())};
    LocalFileSystemService fileSystem;
    std::unique_ptr<DatabaseServiceProtocol> database = TaskDatabase::makeDatabaseService(dataDirectory);
    FakeState state;

    Fixture() { state.dataDirectory = dataDirectory; }
    ~Fixture() { drainMainThread(); }

    std::unique_ptr<WorkspaceRegistry> make()
    {
        return std::make_unique<WorkspaceRegistry>(
            WorkspaceRegistry::Services {clock, eventBus, *database, bookmarks, teams, pool, fileSystem, dataDirectory},
            state.hooks());
    }

    // A folder under the temporary home that is a git repository.
    QString makeRepository(const QString &name)
    {
        const QString path = home.path() + u'/' + name;
        QDir().mkpath(path);
        git(path, {QStringLiteral("init"), QStringLiteral("-q")});
        return path;
    }

    static bool run(QCoro::Task<> task, int timeoutMs = 20000)
    {
        bool done = false;
        auto wrapper = [](QCoro::Task<> inner, bool *finished) -> QCoro::Task<> {
            co_await std::move(inner);
            *finished = true;
        };
        auto running = wrapper(std::move(task), &done);
        return waitUntil([&] { return done; }, timeoutMs);
    }

    bool migrate() { return waitForFuture(database->migrate()); }
};

} // namespace

class WorkspaceRegistryTest final : public QObject
{
    Q_OBJECT

private slots:
    // A new workspace and an existing repository both end registered: stored,
    // remembered, shown, watched and selected.
    void addWorkspace_data()
    {
        QTest::addColumn<bool>("initialize");
        QTest::addColumn<QString>("config");
        QTest::addColumn<QString>("expectedName");
        QTest::newRow("initialize a new folder") << true << QString() << QStringLiteral("fresh");
        QTest::newRow("import a plain repository") << false << QString() << QStringLiteral("fresh");
        QTest::newRow("import a repository with a config")
            << false << QStringLiteral(R"({"name":"Named Repo","agent_count":9})") << QStringLiteral("Named Repo");
    }
    void addWorkspace()
    {
        QFETCH(bool, initialize);
        QFETCH(QString, config);
        QFETCH(QString, expectedName);
        Fixture fixture;
        QVERIFY(fixture.migrate());
        QString folder = fixture.home.path() + QStringLiteral("/fresh");
        if (!initialize)
            folder = fixture.makeRepository(QStringLiteral("fresh"));
        if (!config.isEmpty())
            writeFile(folder + QStringLiteral("/brimlock.json"), config.toUtf8());
        auto registry = fixture.make();

        QVERIFY(Fixture::run(registry->addWorkspace(folder,
            initialize ? WorkspaceRegistry::NewWorkspaceKind::initialize
                       : WorkspaceRegistry::NewWorkspaceKind::import)));

        FakeState &state = fixture.state;
        QCOMPARE(state.errors, QStringList());
        QCOMPARE(names(state.projects), QStringList {expectedName});
        const BL_Workspace workspace = state.projects.first();
        QCOMPARE(workspace.rootPath, QDir::cleanPath(QFileInfo(folder).canonicalFilePath()));
        QCOMPARE(state.activeProjectID, std::optional<QUuid>(workspace.id));
        QVERIFY(state.taskStores.contains(workspace.id));
        QCOMPARE(state.agentCounts.value(workspace.id), 4);
        QVERIFY(registry->hasWatcher(workspace.id));
        QCOMPARE(fixture.bookmarks.importedProjectID(workspace.rootPath), std::optional<QUuid>(workspace.id));
        QCOMPARE(QFileInfo::exists(folder + QStringLiteral("/brimlock.json")), initialize || !config.isEmpty());
        QCOMPARE(state.teams.size(), fixture.teams.allTeams().size());
        QVERIFY(state.calls.contains(QStringLiteral("scheduleReadyTasks")));
    }

    // The same folder twice is one workspace: it keeps its id, its record and
    // its place, and nothing is reported.
    void samePathTwiceKeepsOneWorkspace()
    {
        Fixture fixture;
        QVERIFY(fixture.migrate());
        const QString folder = fixture.makeRepository(QStringLiteral("repo"));
        auto registry = fixture.make();
        QVERIFY(Fixture::run(registry->addWorkspace(folder, WorkspaceRegistry::NewWorkspaceKind::import)));
        const QUuid first = fixture.state.projects.first().id;
        QVERIFY(Fixture::run(registry->addWorkspace(folder, WorkspaceRegistry::NewWorkspaceKind::import)));

        QCOMPARE(fixture.state.projects.size(), 1);
        QCOMPARE(fixture.state.projects.first().id, first);
        QCOMPARE(fixture.bookmarks.loadRecords().size(), 1);
        QCOMPARE(fixture.state.errors, QStringList());
        QVERIFY(registry->hasWatcher(first));
    }

    // What cannot be added says why, with the operation's prefix.
    void refusedAdditions_data()
    {
        QTest::addColumn<bool>("clientNode");
        QTest::addColumn<bool>("initialize");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("expected");
        QTest::newRow("initialize on a client node")
            << true << true << QStringLiteral("x")
            << QStringLiteral("^Initialize New is unavailable in client-node mode\\.$");
        QTest::newRow("import on a client node")
            << true << false << QStringLiteral("x")
            << QStringLiteral("^Import Existing is unavailable in client-node mode\\.$");
        QTest::newRow("import a missing folder")
            << false << false << QStringLiteral("missing") << QStringLiteral("^Unable to add workspace: .+");
        QTest::newRow("import a damaged config")
            << false << false << QStringLiteral("broken") << QStringLiteral("^Unable to add workspace: .+");
    }
    void refusedAdditions()
    {
        QFETCH(bool, clientNode);
        QFETCH(bool, initialize);
        QFETCH(QString, folder);
        QFETCH(QString, expected);
        Fixture fixture;
        QVERIFY(fixture.migrate());
        fixture.state.clientNode = clientNode;
        const QString path = fixture.home.path() + u'/' + folder;
        if (folder == QStringLiteral("broken"))
            writeFile(path + QStringLiteral("/brimlock.json"), "{ not json");
        auto registry = fixture.make();

        QVERIFY(Fixture::run(registry->addWorkspace(path,
            initialize ? WorkspaceRegistry::NewWorkspaceKind::initialize
                       : WorkspaceRegistry::NewWorkspaceKind::import)));

        QCOMPARE(fixture.state.errors.size(), 1);
        QVERIFY2(QRegularExpression(expected).match(fixture.state.errors.first()).hasMatch(),
            qPrintable(fixture.state.errors.first()));
        QVERIFY(fixture.state.projects.isEmpty());
        QVERIFY(fixture.bookmarks.loadRecords().isEmpty());
    }

    // A watched workspace's task file reaches its board through a reload;
    // after removal nothing is watched any more and the workspace is gone
    // from every store.
    void removalStopsTheWatcher()
    {
        Fixture fixture;
        QVERIFY(fixture.migrate());
        const QString alpha = fixture.makeRepository(QStringLiteral("alpha"));
        const QString beta = fixture.makeRepository(QStringLiteral("beta"));
        auto registry = fixture.make();
        QVERIFY(Fixture::run(registry->addWorkspace(alpha, WorkspaceRegistry::NewWorkspaceKind::initialize)));
        fixture.clock.advance(10);
        QVERIFY(Fixture::run(registry->addWorkspace(beta, WorkspaceRegistry::NewWorkspaceKind::initialize)));
        FakeState &state = fixture.state;
        QCOMPARE(names(state.projects), (QStringList {QStringLiteral("alpha"), QStringLiteral("beta")}));
        const QUuid alphaID = state.projects.at(0).id;
        const QUuid betaID = state.projects.at(1).id;
        QCOMPARE(state.activeProjectID, std::optional<QUuid>(betaID));

        const QUuid watchedTask = QUuid::createUuid();
        writeFile(beta + QStringLiteral("/.brimlock/tasks/one.json"), taskFile(watchedTask, QStringLiteral("One")));
        QVERIFY(waitUntil([&] { return state.taskStores.value(betaID)->task(watchedTask).has_value(); }));
        QVERIFY(state.calls.contains(QStringLiteral("reconcileRunningAssignments")));

        registry->removeProject(betaID);
        QVERIFY(!registry->hasWatcher(betaID));
        QVERIFY(registry->hasWatcher(alphaID));
        QCOMPARE(names(state.projects), QStringList {QStringLiteral("alpha")});
        QVERIFY(!state.taskStores.contains(betaID));
        QVERIFY(state.calls.contains(QStringLiteral("forgetWorkspaceState")));
        QVERIFY(state.calls.contains(QStringLiteral("forgetSyncState 1")));
        QVERIFY(!fixture.bookmarks.bookmark(betaID).has_value());
        QCOMPARE(state.activeProjectID, std::optional<QUuid>(alphaID));

        // A file written after the removal is no longer taken in.
        const QUuid lateTask = QUuid::createUuid();
        writeFile(beta + QStringLiteral("/.brimlock/tasks/two.json"), taskFile(lateTask, QStringLiteral("Two")));
        QTest::qWait(ProjectWatcher::kSyncDebounceMilliseconds + 500);
        auto lookup = fixture.database->fetchTask(lateTask);
        QVERIFY(waitForFuture(lookup));
        QVERIFY(lookup.result());
        QVERIFY(!lookup.result()->has_value());

        registry->removeProject(alphaID);
        QVERIFY(!state.activeProjectID);
        QVERIFY(state.projects.isEmpty());
    }

    // Restore takes the remembered workspaces oldest first, skips one whose
    // folder has gone (with a warning) and selects the last viewed one.
    void restoreSkipsAMissingFolder()
    {
        Fixture fixture;
        QVERIFY(fixture.migrate());
        QStringList folders;
        QList<QUuid> ids;
        for (const QString &name : {QStringLiteral("first"), QStringLiteral("gone"), QStringLiteral("third")}) {
            folders.append(fixture.makeRepository(name));
            ids.append(QUuid::createUuid());
            fixture.bookmarks.save(*FolderBookmark::create(folders.last()), ids.last(), name, folders.last(), 2);
            fixture.clock.advance(1);
        }
        QVERIFY(QDir(folders.at(1)).removeRecursively());
        fixture.state.lastViewedProjectText = UuidText::lower(ids.at(2));
        auto registry = fixture.make();

        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("not restoring workspace.*gone")));
        QVERIFY(Fixture::run(registry->restoreBookmarkedProjects()));

        FakeState &state = fixture.state;
        QCOMPARE(names(state.projects), (QStringList {QStringLiteral("first"), QStringLiteral("third")}));
        QCOMPARE(state.sharedWorkerPoolSize, 2);
        QCOMPARE(state.activeProjectID, std::optional<QUuid>(ids.at(2)));
        QVERIFY(registry->hasWatcher(ids.at(0)));
        QVERIFY(!registry->hasWatcher(ids.at(1)));
        QVERIFY(state.taskStores.contains(ids.at(2)));
        QVERIFY(fixture.state.errors.isEmpty());
    }

    // An empty installation gets its playground; a client node gets none and
    // pulls from its main node instead.
    void bootstrap_data()
    {
        QTest::addColumn<bool>("clientNode");
        QTest::newRow("main node") << false;
        QTest::newRow("client node") << true;
    }
    void bootstrap()
    {
        QFETCH(bool, clientNode);
        Fixture fixture;
        fixture.state.clientNode = clientNode;
        auto registry = fixture.make();
        QVERIFY(Fixture::run(registry->bootstrap()));

        FakeState &state = fixture.state;
        QVERIFY(state.calls.contains(QStringLiteral("reconcileCheckpoints")));
        QVERIFY(state.calls.contains(QStringLiteral("prefetch")));
        QCOMPARE(state.calls.contains(QStringLiteral("syncFromClientNode bootstrap")), clientNode);
        if (clientNode) {
            QVERIFY(state.projects.isEmpty());
            return;
        }
        QCOMPARE(names(state.projects), QStringList {QStringLiteral("playground")});
        QCOMPARE(state.projects.first().rootPath,
            QFileInfo(fixture.dataDirectory + QStringLiteral("/workspaces/playground")).canonicalFilePath());
        QCOMPARE(state.activeProjectID, std::optional<QUuid>(state.projects.first().id));
    }

    // Next and previous step through the shown workspaces and wrap; with no
    // selection the first is taken.
    void neighbourSelectionWraps_data()
    {
        QTest::addColumn<int>("active");
        QTest::addColumn<int>("step");
        QTest::addColumn<int>("expected");
        QTest::newRow("next from the first") << 0 << 1 << 1;
        QTest::newRow("next from the last wraps") << 2 << 1 << 0;
        QTest::newRow("previous from the first wraps") << 0 << -1 << 2;
        QTest::newRow("previous from the middle") << 1 << -1 << 0;
        QTest::newRow("nothing selected") << -1 << 1 << 0;
        QTest::newRow("nothing selected, previous") << -1 << -1 << 0;
    }
    void neighbourSelectionWraps()
    {
        QFETCH(int, active);
        QFETCH(int, step);
        QFETCH(int, expected);
        Fixture fixture;
        for (int i = 0; i < 3; ++i) {
            const TimePoint at = fixture.clock.now().addSeconds(i);
            fixture.state.projects.append(
                BL_Workspace {QUuid::createUuid(), std::nullopt, QStringLiteral("w%1").arg(i), QString(), at, at});
        }
        if (active >= 0)
            fixture.state.activeProjectID = fixture.state.projects.at(active).id;
        auto registry = fixture.make();

        registry->selectNeighbourWorkspace(step);
        QCOMPARE(fixture.state.activeProjectID, std::optional<QUuid>(fixture.state.projects.at(expected).id));
    }

    void neighbourSelectionWithoutWorkspacesKeepsTheSelection()
    {
        Fixture fixture;
        const QUuid stale = QUuid::createUuid();
        fixture.state.activeProjectID = stale;
        auto registry = fixture.make();
        registry->selectNeighbourWorkspace(1);
        QCOMPARE(fixture.state.activeProjectID, std::optional<QUuid>(stale));
    }

    // The registry's end shuts its watchers down: what they applied stays
    // recorded in their state files, and nothing is taken in afterwards.
    void destructionShutsTheWatchersDown()
    {
        Fixture fixture;
        QVERIFY(fixture.migrate());
        const QString folder = fixture.makeRepository(QStringLiteral("repo"));
        QUuid id;
        {
            auto registry = fixture.make();
            QVERIFY(Fixture::run(registry->addWorkspace(folder, WorkspaceRegistry::NewWorkspaceKind::initialize)));
            id = fixture.state.projects.first().id;
            const QUuid task = QUuid::createUuid();
            writeFile(folder + QStringLiteral("/.brimlock/tasks/one.json"), taskFile(task, QStringLiteral("One")));
            QVERIFY(waitUntil([&] { return fixture.state.taskStores.value(id)->task(task).has_value(); }));
        }
        const QString stateFile
            = fixture.dataDirectory + QStringLiteral("/project-watchers/%1.json").arg(UuidText::lower(id));
        QFile recorded(stateFile);
        QVERIFY(recorded.open(QIODevice::ReadOnly));
        QVERIFY(recorded.readAll().contains("one.json"));

        const QUuid lateTask = QUuid::createUuid();
        writeFile(folder + QStringLiteral("/.brimlock/tasks/two.json"), taskFile(lateTask, QStringLiteral("Two")));
        QTest::qWait(ProjectWatcher::kSyncDebounceMilliseconds + 500);
        auto lookup = fixture.database->fetchTask(lateTask);
        QVERIFY(waitForFuture(lookup));
        QVERIFY(lookup.result());
        QVERIFY(!lookup.result()->has_value());
    }
};

QTEST_GUILESS_MAIN(WorkspaceRegistryTest)
#include "tst_workspaceregistry.moc"
