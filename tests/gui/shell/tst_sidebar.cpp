#include "SidebarDriver.h"
#include "platform/SettingsStore.h"
#include "state/AppSettings.h"

#include <QAction>
#include <QFileDialog>
#include <QSplitter>

using Kind = SidebarSelection::Kind;
using namespace SidebarDriver;

class TestSidebar final : public QObject
{
    Q_OBJECT

private slots:
    void sectionsInOrder_data()
    {
        QTest::addColumn<QString>("nodeType");
        QTest::addColumn<QStringList>("widgets");
        const QStringList all {"widgetRow_gettingStarted", "widgetRow_health", "widgetRow_settings", "widgetRow_models",
            "widgetRow_agents", "widgetRow_brimlockConfig", "widgetRow_analytics"};
        QTest::newRow("no node type") << QString() << all;
        QTest::newRow("main node") << QStringLiteral("mainNode") << all;
        QTest::newRow("client node") << QStringLiteral("clientNode") << all.mid(0, 3);
    }

    void sectionsInOrder()
    {
        QFETCH(QString, nodeType);
        QFETCH(QStringList, widgets);
        ShellFixture fixture;
        if (!nodeType.isEmpty())
            fixture.defaults.setValue(AppSettings::nodeTypeKey, nodeType);
        fixture.open();
        const QStringList names = rowNames(fixture);
        QStringList expected {"appTitleBanner", "projectActions", "widgetsHeader"};
        expected << widgets << "usersHeader";
        for (const BL_User &user : fixture.appState->users())
            expected << QStringLiteral("userRow_") + UuidText::lower(user.id);
        expected << "teamsHeader"
                 << "teamAllRow";
        for (const BL_Team &team : fixture.appState->teams())
            expected << QStringLiteral("teamRow_") + UuidText::lower(team.id);
        expected << QString() << "workspacesHeader"; // the "New Team" holder has no name
        for (const BL_Workspace &workspace : fixture.appState->projectsForSelectedTeam())
            expected << projectRowName(workspace.id);
        QCOMPARE(names, expected);
        // Widget titles as written; a client node has no buttons to add workspaces.
        QCOMPARE(text(row(fixture, "widgetRow_brimlockConfig"), "title"),
            widgets.size() > 3 ? QStringLiteral("Brimlock Config") : QString());
        const bool client = nodeType == QStringLiteral("clientNode");
        QCOMPARE(fixture.find(QStringLiteral("importExistingButton")) == nullptr, client);
        QCOMPARE(fixture.find(QStringLiteral("initializeNewButton")) == nullptr, client);
        QCOMPARE(fixture.find<QLabel>(QStringLiteral("projectActionsCaption"))->text(),
            QStringLiteral("Add new workspace or import"));
        QVERIFY(fixture.find(QStringLiteral("loginChip")));
        QVERIFY(!fixture.find(QStringLiteral("loginChip"))->isEnabled());
    }

    void healthMarkFollowsTheSnapshot()
    {
        ShellFixture fixture;
        fixture.open();
        AppState &app = *fixture.appState;
        // Let the start-up prefetch land first, then replace it.
        TestSupport::waitUntil(
            [&] { return !app.isRefreshingHealthSnapshot() && app.hasPrefetchedSidebarData(); }, 15000);
        auto apply = [&](QList<HealthCheckResult> results) {
            bool done = false;
            auto run = [](AppState &state, QList<HealthCheckResult> list, bool *finished) -> QCoro::Task<> {
                co_await state.applyHealthSnapshot(list, std::nullopt, QStringLiteral("test"));
                *finished = true;
            };
            auto task = run(app, results, &done);
            TestSupport::waitUntil([&] { return done; }, 5000);
            ShellFixture::settle();
        };
        using S = HealthCheckResult::Status;
        apply({});
        QVERIFY(!row(fixture, "widgetRow_health")->findChild<QLabel *>("healthStatusMark"));
        apply({HealthCheckResult::make("a", S::success, "a", ""), HealthCheckResult::make("b", S::success, "b", "")});
        QLabel *mark = row(fixture, "widgetRow_health")->findChild<QLabel *>("healthStatusMark");
        QVERIFY(mark);
        QCOMPARE(mark->property("symbolName").toString(), QStringLiteral("checkmark.circle.fill"));
        QCOMPARE(mark->property("markColor").toString(), QStringLiteral("green"));
        apply({HealthCheckResult::make("a", S::success, "a", ""), HealthCheckResult::make("b", S::failed, "b", "")});
        mark = row(fixture, "widgetRow_health")->findChild<QLabel *>("healthStatusMark");
        QCOMPARE(mark->property("symbolName").toString(), QStringLiteral("xmark.circle.fill"));
        QCOMPARE(mark->property("markColor").toString(), QStringLiteral("red"));
    }

    void listSelectionAndWindowSelectionInStep()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        MainWindowState &state = window.state();
        const BL_Workspace playground = fixture.appState->projects().first();
        QListWidget *sidebar = list(fixture);

        // Window -> list.
        state.setSidebarSelection(SidebarSelection::page(Kind::models));
        ShellFixture::settle();
        QCOMPARE(sidebar->selectedItems().size(), 1);
        QCOMPARE(
            sidebar->itemWidget(sidebar->selectedItems().first())->objectName(), QStringLiteral("widgetRow_models"));
        QVERIFY(row(fixture, "widgetRow_models")->property("selected").toBool());
        // The check mark follows the selection, not the active workspace.
        QVERIFY(fixture.appState->activeProjectID());
        QVERIFY(!row(fixture, projectRowName(playground.id))->findChild<QLabel *>("projectCheckMark"));

        // List -> window.
        QVERIFY(click(fixture, "widgetRow_analytics"));
        QCOMPARE(state.sidebarSelection(), SidebarSelection::page(Kind::analytics));
        QVERIFY(fixture.find(QStringLiteral("analyticsPage"))->isVisible());
        QVERIFY(click(fixture, projectRowName(playground.id)));
        QCOMPARE(state.sidebarSelection(), SidebarSelection::project(playground.id));
        QVERIFY(row(fixture, projectRowName(playground.id))->findChild<QLabel *>("projectCheckMark"));
        QVERIFY(!row(fixture, "widgetRow_analytics")->property("selected").toBool());
    }

    void workspaceClickActivatesOnlyWhenNotActive()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        AppState &app = *fixture.appState;
        const BL_Workspace playground = app.projects().first();
        const BL_Workspace second = fixture.importWorkspace(QStringLiteral("second"));
        QCOMPARE(app.activeProjectID(), std::optional<QUuid>(second.id));
        window.state().setSidebarSelection(SidebarSelection::page(Kind::health));
        ShellFixture::settle();

        // The active one: selected again, nothing written.
        fixture.defaults.remove(AppSettings::lastViewedProjectKey);
        QVERIFY(click(fixture, projectRowName(second.id)));
        QCOMPARE(window.state().sidebarSelection(), SidebarSelection::project(second.id));
        QVERIFY(!fixture.defaults.contains(AppSettings::lastViewedProjectKey));

        // Another one: activated and remembered.
        QVERIFY(click(fixture, projectRowName(playground.id)));
        QCOMPARE(app.activeProjectID(), std::optional<QUuid>(playground.id));
        QCOMPARE(fixture.defaults.string(AppSettings::lastViewedProjectKey), UuidText::upper(playground.id));
        QVERIFY(fixture.find(QStringLiteral("workspacePage"))->isVisible());
        QCOMPARE(fixture.find<QLabel>(QStringLiteral("workspaceName"))->text(), playground.name);
    }

    void rebuildDuringAPressKeepsTheClick()
    {
        ShellFixture fixture;
        fixture.open();
        AppState &app = *fixture.appState;
        app.createTeam(QStringLiteral("Ops"));
        ShellFixture::settle();
        app.setSelectedTeamID(std::nullopt);
        ShellFixture::settle();
        const QUuid ops = app.teams().first().id;
        const QString opsRow = QStringLiteral("teamRow_") + UuidText::lower(ops);
        QListWidget *sidebar = list(fixture);
        QListWidgetItem *target = nullptr;
        for (int i = 0; i < sidebar->count() && !target; ++i)
            if (QWidget *widget = sidebar->itemWidget(sidebar->item(i)); widget && widget->objectName() == opsRow)
                target = sidebar->item(i);
        QVERIFY(target);
        sidebar->scrollToItem(target);
        const QPoint at = sidebar->visualItemRect(target).center();

        // A state change lands between the press and its release: a team is
        // chosen by the click alone, so a lost click would leave it unchosen.
        QTest::mousePress(sidebar->viewport(), Qt::LeftButton, {}, at);
        fixture.window->findChild<SidebarColumn *>()->scheduleRefresh();
        ShellFixture::settle();
        QTest::mouseRelease(sidebar->viewport(), Qt::LeftButton, {}, at);
        ShellFixture::settle();
        QCOMPARE(app.selectedTeamID(), std::optional<QUuid>(ops));
        // The rebuild it held back still happens: the row shows the choice.
        QVERIFY(row(fixture, opsRow)->property("selected").toBool());
    }

    void usersTeamsAndCounts()
    {
        ShellFixture fixture;
        fixture.open();
        AppState &app = *fixture.appState;
        const BL_Workspace playground = app.projects().first();
        const BL_Workspace second = fixture.importWorkspace(QStringLiteral("second"));
        app.createTeam(QStringLiteral("Ops"));
        app.createTeam(QStringLiteral("Empty"));
        ShellFixture::settle();
        QUuid ops, empty;
        for (const BL_Team &team : app.teams()) {
            if (team.name == QStringLiteral("Ops"))
                ops = team.id;
            if (team.name == QStringLiteral("Empty"))
                empty = team.id;
        }
        app.teamStore().assign(playground.id, ops);
        // The store alone tells nobody; a selection change redraws the rows.
        app.setSelectedTeamID(ops);
        ShellFixture::settle();
        app.setSelectedTeamID(std::nullopt);
        ShellFixture::settle();
        const QString opsRow = QStringLiteral("teamRow_") + UuidText::lower(ops);
        const QString emptyRow = QStringLiteral("teamRow_") + UuidText::lower(empty);
        QCOMPARE(text(row(fixture, opsRow), "workspaceCount"), QStringLiteral("1 workspaces"));
        QCOMPARE(text(row(fixture, emptyRow), "workspaceCount"), QStringLiteral("0 workspaces"));
        QCOMPARE(text(row(fixture, "teamAllRow"), "workspaceCount"),
            QStringLiteral("%1 workspaces").arg(app.myTeamsWorkspaceCount()));
        QVERIFY(row(fixture, "teamAllRow")->property("selected").toBool());
        const QStringList usersBefore = rowNames(fixture).filter(QStringLiteral("userRow_"));

        // A team narrows the workspaces; "My Teams" widens them again.
        QVERIFY(click(fixture, opsRow));
        QCOMPARE(app.selectedTeamID(), std::optional<QUuid>(ops));
        QVERIFY(row(fixture, opsRow)->property("selected").toBool());
        QVERIFY(!row(fixture, "teamAllRow")->property("selected").toBool());
        QVERIFY(row(fixture, projectRowName(playground.id)));
        QVERIFY(!row(fixture, projectRowName(second.id)));
        QCOMPARE(rowNames(fixture).filter(QStringLiteral("userRow_")), usersBefore);
        QVERIFY(click(fixture, "teamAllRow"));
        QCOMPARE(app.selectedTeamID(), std::nullopt);
        QVERIFY(row(fixture, projectRowName(second.id)));

        // A user click marks exactly that user.
        QVERIFY(!app.users().isEmpty());
        const BL_User user = app.users().first();
        const QString userRow = QStringLiteral("userRow_") + UuidText::lower(user.id);
        QVERIFY(click(fixture, userRow));
        QCOMPARE(app.currentUserID(), std::optional<QUuid>(user.id));
        QCOMPARE(text(row(fixture, userRow), "activeMark"), QStringLiteral("active"));

        // The running count: 0 without an entry.
        QCOMPARE(text(row(fixture, projectRowName(second.id)), "runningCount"), QStringLiteral("0 running"));
    }

    void teamsCollapseAndNewTeam()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        auto *chevron = fixture.find<QPushButton>(QStringLiteral("teamsCollapseButton"));
        QCOMPARE(chevron->toolTip(), QStringLiteral("Collapse teams"));
        QTest::mouseClick(chevron, Qt::LeftButton);
        ShellFixture::settle();
        QVERIFY(!row(fixture, "teamAllRow"));
        QVERIFY(!fixture.find(QStringLiteral("newTeamButton")));
        QVERIFY(rowNames(fixture).filter(QStringLiteral("teamRow_")).isEmpty());
        chevron = fixture.find<QPushButton>(QStringLiteral("teamsCollapseButton"));
        QCOMPARE(chevron->toolTip(), QStringLiteral("Expand teams"));
        QCOMPARE(chevron->property("symbolName").toString(), QStringLiteral("chevron.right"));
        QTest::mouseClick(chevron, Qt::LeftButton);
        ShellFixture::settle();

        // "New Team" opens the alert with an empty name.
        window.state().setCreateTeamNameDraft(QStringLiteral("left over"));
        QTest::mouseClick(fixture.find<QPushButton>(QStringLiteral("newTeamButton")), Qt::LeftButton);
        ShellFixture::settle();
        QVERIFY(fixture.dialog(QStringLiteral("newTeamAlert")));
        QCOMPARE(window.state().createTeamNameDraft(), QString());
        fixture.click(fixture.dialog(QStringLiteral("newTeamAlert")), QStringLiteral("alertCancelButton"));
    }

    void deleteWorkspaceOnlyAsks()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        const BL_Workspace playground = fixture.appState->projects().first();
        auto *action = row(fixture, projectRowName(playground.id))->findChild<QAction *>("deleteWorkspaceAction");
        QVERIFY(action);
        QCOMPARE(action->text(), QStringLiteral("Delete Workspace"));
        action->trigger();
        ShellFixture::settle();
        QCOMPARE(window.state().pendingDeleteProject(), std::optional<BL_Workspace>(playground));
        QCOMPARE(fixture.appState->projects().size(), 1);
        fixture.click(fixture.dialog(QStringLiteral("deleteWorkspaceAlert")), QStringLiteral("alertCancelButton"));
        QCOMPARE(fixture.appState->projects().size(), 1);
        QVERIFY(row(fixture, projectRowName(playground.id)));
    }

    void columnLimits()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        auto *splitter = window.findChild<QSplitter *>(QStringLiteral("rootSplitter"));
        QWidget *column = fixture.find(QStringLiteral("sidebarColumn"));
        splitter->setSizes({100, 1100});
        QCOMPARE(column->width(), 290);
        splitter->setSizes({700, 500});
        QCOMPARE(column->width(), 420);
        // A real drag of the divider stops at the limit too.
        QSplitterHandle *handle = splitter->handle(1);
        const QPoint start = handle->rect().center();
        QTest::mousePress(handle, Qt::LeftButton, {}, start);
        QTest::mouseMove(handle, start - QPoint(400, 0));
        QTest::mouseRelease(handle, Qt::LeftButton, {}, start - QPoint(400, 0));
        // The page's own relayout after the move may hand the column a few
        // points of its preferred width back; it never goes under the limit.
        QVERIFY2(column->width() >= 290 && column->width() <= 300, qPrintable(QString::number(column->width())));
    }

    void picker_data()
    {
        QTest::addColumn<bool>("initialize");
        QTest::addColumn<QString>("confirm");
        QTest::addColumn<QString>("message");
        QTest::newRow("import") << false << "Import"
                                << "Choose a workspace directory to import.";
        QTest::newRow("initialize") << true << "Select"
                                    << "Choose a parent directory for the new workspace.";
    }

    void picker()
    {
        QFETCH(bool, initialize);
        QFETCH(QString, confirm);
        QFETCH(QString, message);
        ShellFixture fixture;
        fixture.makeState();
        QString chosenFolder;
        QString seenConfirm, seenMessage, seenStart;
        bool filesAllowed = true, createAllowed = false;
        MainWindowOptions options;
        options.grabGlobalVoiceHotkey = false;
        options.runDirectoryPicker = [&](QFileDialog &dialog) -> std::optional<QString> {
            seenConfirm = dialog.labelText(QFileDialog::Accept);
            seenMessage = dialog.findChild<QLabel *>(QStringLiteral("pickerMessage"))->text();
            seenStart = dialog.directory().absolutePath();
            filesAllowed = dialog.fileMode() != QFileDialog::Directory;
            createAllowed = !dialog.testOption(QFileDialog::ReadOnly);
            if (chosenFolder.isEmpty())
                return std::nullopt;
            return chosenFolder;
        };
        fixture.window = std::make_unique<MainWindow>(*fixture.appState, std::move(options));
        fixture.window->show();
        TestSupport::waitUntil([&] { return fixture.window->isStartupFinished(); }, 30000);
        ShellFixture::settle();
        MainWindowState &state = fixture.window->state();
        const QString button
            = initialize ? QStringLiteral("initializeNewButton") : QStringLiteral("importExistingButton");
        const QList<BL_Workspace> before = fixture.appState->projects();

        // Cancel: nothing changes.
        state.setSidebarSelection(SidebarSelection::page(Kind::health));
        ShellFixture::settle();
        QTest::mouseClick(fixture.find<QPushButton>(button), Qt::LeftButton);
        ShellFixture::settle();
        QCOMPARE(seenConfirm, confirm);
        QCOMPARE(seenMessage, message);
        QVERIFY(!filesAllowed);
        QVERIFY(createAllowed);
        QCOMPARE(QDir(seenStart).dirName(), QStringLiteral("workspaces"));
        QCOMPARE(fixture.appState->projects(), before);
        QCOMPARE(state.sidebarSelection(), SidebarSelection::page(Kind::health));
        QCOMPARE(fixture.appState->lastErrorMessage(), std::nullopt);

        // A folder: the new workspace is active and selected.
        chosenFolder = fixture.home.path() + QStringLiteral("/picked");
        QDir().mkpath(chosenFolder);
        QTest::mouseClick(fixture.find<QPushButton>(button), Qt::LeftButton);
        QVERIFY(
            TestSupport::waitUntil([&] { return fixture.appState->projects().size() == before.size() + 1; }, 20000));
        ShellFixture::settle();
        const BL_Workspace added = fixture.appState->projects().last();
        QCOMPARE(added.name, QStringLiteral("picked"));
        QCOMPARE(state.sidebarSelection(), SidebarSelection::project(added.id));

        // A failure still selects the workspace active now.
        state.setSidebarSelection(SidebarSelection::page(Kind::health));
        ShellFixture::settle();
        // A plain file is no workspace folder.
        chosenFolder = fixture.home.path() + QStringLiteral("/not-a-folder");
        TestSupport::writeFile(chosenFolder, "x");
        QTest::mouseClick(fixture.find<QPushButton>(button), Qt::LeftButton);
        QVERIFY(TestSupport::waitUntil([&] { return fixture.appState->lastErrorMessage().has_value(); }, 20000));
        ShellFixture::settle();
        QCOMPARE(state.sidebarSelection(), SidebarSelection::project(*fixture.appState->activeProjectID()));
        fixture.appState->setLastErrorMessage(std::nullopt);
    }
};

QTEST_MAIN(TestSidebar)
#include "tst_sidebar.moc"
