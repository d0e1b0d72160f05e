#include "AppStateFixture.h"
#include "common/Json.h"
#include "common/UuidText.h"
#include "platform/FolderBookmark.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

namespace {

// One record of the bookmark file as the store writes it.
QJsonObject bookmarkRecord(const QString &name, const QString &folder, double createdAt, qint64 agentCount,
    const QUuid &projectID = QUuid::createUuid())
{
    return QJsonObject {{QStringLiteral("projectID"), UuidText::upper(projectID)},
        {QStringLiteral("projectName"), name}, {QStringLiteral("rootPath"), folder},
        {QStringLiteral("agentCount"), agentCount},
        {QStringLiteral("bookmarkData"), QString::fromLatin1(FolderBookmark::create(folder)->toBase64())},
        {QStringLiteral("createdAt"), createdAt}, {QStringLiteral("updatedAt"), createdAt}};
}

using TestSupport::writeFile;

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The names in the bookmark file, in its order.
QStringList recordNames(const QString &path)
{
    QStringList result;
    for (const QJsonValue &value : Json::parseArray(readFile(path)).value_or(QJsonArray()))
        result.append(value.toObject().value(QStringLiteral("projectName")).toString());
    return result;
}

QStringList names(const QList<BL_Workspace> &workspaces)
{
    QStringList result;
    for (const BL_Workspace &workspace : workspaces)
        result.append(workspace.name);
    return result;
}

} // namespace

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

    // One damaged record in the bookmark file costs that workspace only; the
    // file as it was and the damaged record are kept beside it.
    void restoreSkipsADamagedRecord()
    {
        AppStateFixture fixture;
        const QString bookmarks = fixture.dataDirectory + QStringLiteral("/imported-projects.json");
        QJsonObject damaged
            = bookmarkRecord(QStringLiteral("beta"), fixture.makeFolder(QStringLiteral("beta")), 150, 2);
        damaged.remove(QStringLiteral("agentCount"));
        const QByteArray original = Json::write(
            QJsonArray {bookmarkRecord(QStringLiteral("alpha"), fixture.makeFolder(QStringLiteral("alpha")), 100, 2),
                damaged, bookmarkRecord(QStringLiteral("gamma"), fixture.makeFolder(QStringLiteral("gamma")), 200, 2)});
        QVERIFY(QDir().mkpath(fixture.dataDirectory));
        writeFile(bookmarks, original);

        const QRegularExpression warning(
            QStringLiteral("^Skipped 1 of 3 workspace records .* record 2 \\(projectID \"%1\", projectName \"beta\"")
                .arg(damaged.value(QStringLiteral("projectID")).toString()));
        QTest::ignoreMessage(QtWarningMsg, warning);
        QTest::failOnWarning(warning);
        const QStringList expected {QStringLiteral("alpha"), QStringLiteral("gamma")};
        {
            auto state = fixture.make();
            QVERIFY(AppStateFixture::run(state->bootstrap()));
            QCOMPARE(names(state->projects()), expected);
            QCOMPARE(state->activeProject()->name, QStringLiteral("alpha"));
        }
        const QDir data(fixture.dataDirectory);
        const QStringList keptFiles = data.entryList({QStringLiteral("imported-projects.json.unreadable-*")});
        QCOMPARE(keptFiles.size(), 1);
        QCOMPARE(readFile(data.filePath(keptFiles.first())), original);
        const QStringList skippedFiles = data.entryList({QStringLiteral("imported-projects.json.skipped-*")});
        QCOMPARE(skippedFiles.size(), 1);
        QCOMPARE(*Json::parseArray(readFile(data.filePath(skippedFiles.first()))), QJsonArray {damaged});
        QCOMPARE(recordNames(bookmarks), expected);

        auto restarted = fixture.make();
        QVERIFY(AppStateFixture::run(restarted->bootstrap()));
        QCOMPARE(names(restarted->projects()), expected);
        QCOMPARE(recordNames(bookmarks), expected);
    }

    // Records created at one moment come back in the file's order, whatever
    // their IDs: the first one is active and gives the pool size.
    void equalDatesRestoreInFileOrder()
    {
        AppStateFixture fixture;
        const QString bookmarks = fixture.dataDirectory + QStringLiteral("/imported-projects.json");
        const QUuid lower = *UuidText::parse(QStringLiteral("00000000-0000-4000-8000-000000000001"));
        const QUuid higher = *UuidText::parse(QStringLiteral("FFFFFFFF-0000-4000-8000-000000000001"));
        QVERIFY(QDir().mkpath(fixture.dataDirectory));
        writeFile(bookmarks,
            Json::write(QJsonArray {
                bookmarkRecord(QStringLiteral("first"), fixture.makeFolder(QStringLiteral("first")), 100, 2, higher),
                bookmarkRecord(
                    QStringLiteral("second"), fixture.makeFolder(QStringLiteral("second")), 100, 5, lower)}));

        auto state = fixture.make();
        QVERIFY(AppStateFixture::run(state->bootstrap()));
        QCOMPARE(names(state->projects()), (QStringList {QStringLiteral("first"), QStringLiteral("second")}));
        QCOMPARE(state->activeProjectID(), std::optional<QUuid>(higher));
        QCOMPARE(state->sharedWorkerPoolSize(), 2);
        QCOMPARE(recordNames(bookmarks), (QStringList {QStringLiteral("first"), QStringLiteral("second")}));
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
        QCOMPARE(
            client->lastErrorMessage().value(), QStringLiteral("Initialize New is unavailable in client-node mode."));
        QVERIFY(AppStateFixture::run(client->importExistingProject(fresh)));
        QCOMPARE(
            client->lastErrorMessage().value(), QStringLiteral("Import Existing is unavailable in client-node mode."));
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
