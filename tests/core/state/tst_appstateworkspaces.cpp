#include "AppStateFixture.h"
#include "common/UuidText.h"

#include <QtTest>

class AppStateWorkspacesTest : public QObject
{
    Q_OBJECT

private slots:
    void firstLaunchCreatesPlayground()
    {
        AppStateFixture fixture;
        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->bootstrap()));
        QVERIFY2(!state->lastErrorMessage(), qPrintable(state->lastErrorMessage().value_or(QString())));
        QCOMPARE(state->projects().size(), 1);
        const BL_Workspace playground = state->projects().first();
        QCOMPARE(playground.name, QStringLiteral("playground"));
        QCOMPARE(playground.rootPath, fixture.dataDirectory + QStringLiteral("/workspaces/playground"));
        QVERIFY(QFileInfo::exists(playground.rootPath + QStringLiteral("/brimlock.json")));
        QVERIFY(QFileInfo(playground.rootPath + QStringLiteral("/.brimlock/tasks")).isDir());
        QCOMPARE(state->activeProjectID(), std::optional<QUuid>(playground.id));
        QCOMPARE(fixture.defaults.string(AppSettings::lastViewedProjectKey).value(), UuidText::upper(playground.id));
        QVERIFY(state->taskStore(playground.id));
        QCOMPARE(state->agentCountByProjectID().value(playground.id), 4);
        QVERIFY(state->hasPrefetchedSidebarData());
        // The default team graph exists and the workspace is visible in it.
        QCOMPARE(state->teams().size(), 1);
        QCOMPARE(state->teams().first().name, QStringLiteral("Personal"));
        QCOMPARE(state->users().first().name, QStringLiteral("You"));
        QCOMPARE(state->projectsForSelectedTeam().size(), 1);
        QCOMPARE(state->workspaceStatusText(), QStringLiteral("Active workspace: ") + playground.rootPath);
    }

    void secondLaunchRestoresInOrder()
    {
        AppStateFixture fixture;
        const QString a = fixture.makeFolder(QStringLiteral("alpha"));
        const QString b = fixture.makeFolder(QStringLiteral("beta"));
        QList<QUuid> ids;
        {
            auto state = fixture.make();
            QVERIFY(AppStateFixture::run(state->bootstrap()));
            QVERIFY(AppStateFixture::run(state->importExistingProject(a)));
            QVERIFY(AppStateFixture::run(state->importExistingProject(b)));
            QVERIFY(!state->lastErrorMessage());
            for (const auto &w : state->projects())
                ids << w.id;
            QCOMPARE(ids.size(), 3);
            state->selectPreviousWorkspace(); // from beta back to alpha
            QCOMPARE(state->activeProject()->name, QStringLiteral("alpha"));
        }
        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->bootstrap()));
        QList<QUuid> restored;
        for (const auto &w : state->projects())
            restored << w.id;
        QCOMPARE(restored, ids);
        QCOMPARE(state->activeProject()->name, QStringLiteral("alpha"));
        for (const QUuid &id : ids)
            QVERIFY(state->taskStore(id));
    }

    void importingTwiceKeepsOne()
    {
        AppStateFixture fixture;
        const QString folder = fixture.makeFolder(QStringLiteral("repo"));
        QFile config(folder + QStringLiteral("/Brimlock.JSON"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write(R"({"name":"Named Repo","agent_count":9})");
        config.close();
        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->importExistingProject(folder)));
        QVERIFY(AppStateFixture::run(state->importExistingProject(folder + QStringLiteral("/"))));
        QCOMPARE(state->projects().size(), 1);
        QCOMPARE(state->projects().first().name, QStringLiteral("Named Repo"));
        // The agent count is the pool size, whatever the file says.
        QCOMPARE(state->agentCountByProjectID().value(state->projects().first().id), 4);
        QVERIFY(QFileInfo::exists(folder + QStringLiteral("/brimlock.json")));
    }

    void errorTexts()
    {
        AppStateFixture fixture;
        auto state = fixture.make();
        const QString broken = fixture.makeFolder(QStringLiteral("broken"));
        QFile config(broken + QStringLiteral("/brimlock.json"));
        QVERIFY(config.open(QIODevice::WriteOnly));
        config.write("{not json");
        config.close();
        QVERIFY(AppStateFixture::run(state->importExistingProject(broken)));
        QVERIFY(state->lastErrorMessage()->startsWith(QStringLiteral("Unable to add workspace: ")));
        QVERIFY(state->projects().isEmpty());

        QVERIFY(AppStateFixture::run(state->importExistingProject(fixture.home.path() + QStringLiteral("/missing"))));
        QVERIFY(state->lastErrorMessage()->startsWith(QStringLiteral("Unable to add workspace: ")));

        // Initialize New makes the folder it is given.
        const QString fresh = fixture.home.path() + QStringLiteral("/new/deep/folder");
        QVERIFY(AppStateFixture::run(state->initializeNewProject(fresh)));
        QCOMPARE(state->projects().size(), 1);
        QCOMPARE(state->projects().first().name, QStringLiteral("folder"));

        fixture.defaults.setValue(AppSettings::nodeTypeKey, QStringLiteral("clientNode"));
        auto client = fixture.make();
        QVERIFY(AppStateFixture::run(client->initializeNewProject(fresh)));
        QCOMPARE(client->lastErrorMessage().value(), QStringLiteral("Initialize New is unavailable in client-node mode."));
        QVERIFY(AppStateFixture::run(client->importExistingProject(fresh)));
        QCOMPARE(client->lastErrorMessage().value(), QStringLiteral("Import Existing is unavailable in client-node mode."));
    }

    void clientNodeBootstrapMakesNoPlayground()
    {
        AppStateFixture fixture;
        fixture.defaults.setValue(AppSettings::nodeTypeKey, QStringLiteral("clientNode"));
        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->bootstrap()));
        QVERIFY(state->projects().isEmpty());
        QVERIFY(!state->activeProjectID());
    }

    void removal()
    {
        AppStateFixture fixture;
        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->bootstrap()));
        const QString other = fixture.makeFolder(QStringLiteral("other"));
        QVERIFY(AppStateFixture::run(state->importExistingProject(other)));
        const QUuid playground = state->projects().first().id;
        const QUuid otherID = state->projects().last().id;
        state->setBrowserURL(QStringLiteral("http://x"), otherID);
        state->setBrowserSidebarVisible(true, otherID);

        // Removing a workspace that is not active keeps the selection.
        state->setActiveProjectID(playground);
        state->removeProject(otherID);
        QCOMPARE(state->activeProjectID(), std::optional<QUuid>(playground));
        QVERIFY(!state->taskStore(otherID));
        QVERIFY(!state->browserURLByProjectID().contains(otherID));
        QVERIFY(!state->browserSidebarEnabledProjectIDs().contains(otherID));
        QVERIFY(!state->bookmarkStore().bookmark(otherID));
        QCOMPARE(state->projects().size(), 1);

        // Removing the last one leaves no selection and stores that.
        state->removeProject(playground);
        QVERIFY(!state->activeProjectID());
        QVERIFY(!fixture.defaults.contains(AppSettings::lastViewedProjectKey));
        QCOMPARE(state->workspaceStatusText(), QStringLiteral("No workspace selected"));
    }

    void nextAndPreviousWrapAround()
    {
        AppStateFixture fixture;
        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->bootstrap()));
        QVERIFY(AppStateFixture::run(state->importExistingProject(fixture.makeFolder(QStringLiteral("b")))));
        QVERIFY(AppStateFixture::run(state->importExistingProject(fixture.makeFolder(QStringLiteral("c")))));
        const auto ids = state->projects();
        state->setActiveProjectID(ids[2].id);
        state->selectNextWorkspace();
        QCOMPARE(*state->activeProjectID(), ids[0].id);
        state->selectPreviousWorkspace();
        QCOMPARE(*state->activeProjectID(), ids[2].id);
        state->setActiveProjectID(QUuid::createUuid()); // outside the list
        state->selectPreviousWorkspace();
        QCOMPARE(*state->activeProjectID(), ids[0].id);
    }

    void previewThroughTheState()
    {
        AppStateFixture fixture;
        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->bootstrap()));
        const BL_Workspace workspace = state->projects().first();
        QCOMPARE(state->browserURL(workspace.id), QStringLiteral("http://localhost:3000"));
        state->setBrowserURL(QStringLiteral("  http://localhost:8080/app "), workspace.id);
        QCOMPARE(state->browserURL(workspace.id), QStringLiteral("http://localhost:8080/app"));
        QFile port(workspace.rootPath + QStringLiteral("/.devserver-port"));
        QVERIFY(port.open(QIODevice::WriteOnly));
        port.write("5173\n");
        port.close();
        QCOMPARE(state->browserURL(workspace.id), QStringLiteral("http://127.0.0.1:5173/"));

        QVERIFY(!state->refreshVisibleBrowserSidebarForActiveProject());
        state->toggleBrowserSidebar(workspace.id);
        QVERIFY(state->isVisibleBrowserSidebarForActiveProject());
        QVERIFY(state->refreshVisibleBrowserSidebarForActiveProject());
        QCOMPARE(state->browserRefreshTokenByProjectID().value(workspace.id), 1);
        state->toggleBrowserSidebar(workspace.id);
        state->requestBrowserRefreshIfVisible(workspace.id);
        QCOMPARE(state->browserRefreshTokenByProjectID().value(workspace.id), 1);

        // The remembered address survives a restart.
        auto again = fixture.make();
        QCOMPARE(again->browserURLByProjectID().value(workspace.id), QStringLiteral("http://localhost:8080/app"));
    }
};

QTEST_GUILESS_MAIN(AppStateWorkspacesTest)
#include "tst_appstateworkspaces.moc"
