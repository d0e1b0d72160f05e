#include "ShellFixture.h"
#include "common/UuidText.h"
#include "shell/AlertDialog.h"
#include "shell/ShortcutNotifications.h"

#include <QtTest>

using Kind = SidebarSelection::Kind;

// The window's reactions, checked in their settled state.
class WindowReactionsTest : public QObject
{
    Q_OBJECT

private slots:
    void reactionsRunAfterTheChangeCoalescedPerTurn()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        const QUuid playground = fixture.appState->projects().first().id;
        const BL_Workspace second = fixture.importWorkspace(QStringLiteral("second"));
        MainWindowState &state = window.state();
        // Choosing a page, then a workspace, in one turn: nothing happens yet.
        state.setSidebarSelection(SidebarSelection::page(Kind::health));
        state.setSidebarSelection(SidebarSelection::project(playground));
        QCOMPARE(fixture.appState->activeProjectID(), std::optional<QUuid>(second.id));
        ShellFixture::settle();
        QCOMPARE(fixture.appState->activeProjectID(), std::optional<QUuid>(playground));
        QCOMPARE(state.lastViewedProjectID(), std::optional<QUuid>(playground));
        QCOMPARE(fixture.defaults.string(AppSettings::lastViewedProjectKey), UuidText::upper(playground));
        // A change of the active workspace moves a project selection along.
        fixture.appState->setActiveProjectID(second.id);
        ShellFixture::settle();
        QCOMPARE(state.sidebarSelection(), SidebarSelection::project(second.id));
        QCOMPARE(state.lastViewedProjectID(), std::optional<QUuid>(second.id));
    }

    void deletingWorkspacesThroughTheAlert()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        AppState &app = *fixture.appState;
        MainWindowState &state = window.state();
        const BL_Workspace playground = app.projects().first();
        const BL_Workspace second = fixture.importWorkspace(QStringLiteral("second"));
        // Terminal state, an idle watch, an ignore mark and a waiting text for the second workspace.
        WorkspaceTerminalState terminal = state.workspaceTerminalState();
        terminal.cliVisibilityByWorkspaceID.insert(second.id, true);
        terminal.createTab(second.id, QStringLiteral("t2"));
        terminal.ensureWorkspace(playground.id);
        state.setWorkspaceTerminalState(terminal);
        state.scheduleTerminalOutputIdleWatch(second.id, QStringLiteral("t2"), 1);
        state.scheduleTerminalOutputIdleWatch(playground.id, WorkspaceTerminalState::defaultTabID(playground.id), 1);
        state.markTerminalEventIgnoreAfterTabSwitch(second.id, QStringLiteral("t2"));
        state.pendingGhosttyInjectedTextBySessionKey.insert(
            MainWindowState::sessionKey(second.id, QStringLiteral("t2")),
            GhosttyInjectedText {1, QStringLiteral("ls"), true});

        state.setPendingDeleteProject(second);
        ShellFixture::settle();
        QWidget *alert = fixture.dialog(QStringLiteral("deleteWorkspaceAlert"));
        QVERIFY(alert);
        fixture.click(alert, QStringLiteral("alertDeleteButton"));
        QVERIFY(!state.pendingDeleteProject());
        QCOMPARE(app.projects().size(), 1);
        // Settled: the remaining workspace is selected, viewed and active.
        QCOMPARE(state.sidebarSelection(), SidebarSelection::project(playground.id));
        QCOMPARE(state.lastViewedProjectID(), std::optional<QUuid>(playground.id));
        QCOMPARE(app.activeProjectID(), std::optional<QUuid>(playground.id));
        QVERIFY(!state.workspaceTerminalState().tabIDsByWorkspaceID.contains(second.id));
        QVERIFY(state.workspaceTerminalState().tabIDsByWorkspaceID.contains(playground.id));
        QCOMPARE(state.terminalOutputIdleWatchKeys(),
            QStringList {
                MainWindowState::sessionKey(playground.id, WorkspaceTerminalState::defaultTabID(playground.id))});
        QVERIFY(state.terminalEventIgnoreUntilBySessionKey.isEmpty());
        QVERIFY(state.pendingGhosttyInjectedTextBySessionKey.isEmpty());

        // The last one: everything goes and the getting-started page shows.
        state.setPendingDeleteProject(playground);
        ShellFixture::settle();
        fixture.click(fixture.dialog(QStringLiteral("deleteWorkspaceAlert")), QStringLiteral("alertDeleteButton"));
        QVERIFY(app.projects().isEmpty());
        QCOMPARE(state.sidebarSelection(), SidebarSelection::page(Kind::gettingStarted));
        QCOMPARE(state.lastViewedProjectID(), std::nullopt);
        QCOMPARE(state.workspaceTerminalState(), WorkspaceTerminalState {});
        QVERIFY(state.terminalOutputIdleWatchKeys().isEmpty());
        QVERIFY(fixture.find(QStringLiteral("gettingStartedPage"))->isVisible());
    }

    void cancellingTheDeleteAlertKeepsTheWorkspace()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        const BL_Workspace playground = fixture.appState->projects().first();
        window.state().setPendingDeleteProject(playground);
        ShellFixture::settle();
        auto *alert = qobject_cast<AlertDialog *>(fixture.dialog(QStringLiteral("deleteWorkspaceAlert")));
        QVERIFY(alert);
        QCOMPARE(alert->windowModality(), Qt::WindowModal);
        QCOMPARE(alert->findChild<QLabel *>(QStringLiteral("alertTitle"))->text(), QStringLiteral("Delete Workspace?"));
        QCOMPARE(alert->message(), QStringLiteral("Remove playground from Tessaron and persistent imports?"));
        QStringList order;
        for (QPushButton *button : alert->findChildren<QPushButton *>())
            order << button->text();
        QCOMPARE(order, (QStringList {"Delete", "Cancel"}));
        QTest::keyClick(alert, Qt::Key_Escape); // the cancel role answers Escape
        ShellFixture::settle();
        QVERIFY(!window.state().pendingDeleteProject());
        QCOMPARE(fixture.appState->projects().size(), 1);
    }

    void switchingTeams()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        AppState &app = *fixture.appState;
        MainWindowState &state = window.state();
        const BL_Workspace playground = app.projects().first();
        const BL_Workspace second = fixture.importWorkspace(QStringLiteral("second"));
        app.createTeam(QStringLiteral("Ops"));
        app.createTeam(QStringLiteral("Empty"));
        QUuid ops, empty;
        for (const BL_Team &team : app.teams()) {
            if (team.name == QStringLiteral("Ops"))
                ops = team.id;
            if (team.name == QStringLiteral("Empty"))
                empty = team.id;
        }
        QVERIFY(!ops.isNull() && !empty.isNull());
        app.teamStore().assign(playground.id, ops);

        // A team without the active workspace: its first one becomes active, remembered and selected.
        app.setSelectedTeamID(ops);
        ShellFixture::settle();
        QCOMPARE(app.activeProjectID(), std::optional<QUuid>(playground.id));
        QCOMPARE(fixture.defaults.string(AppSettings::lastViewedProjectKey), UuidText::upper(playground.id));
        QCOMPARE(state.sidebarSelection(), SidebarSelection::project(playground.id));
        QCOMPARE(state.lastViewedProjectID(), std::optional<QUuid>(playground.id));
        Q_UNUSED(second);

        // A team without workspaces: no active workspace, and the page follows.
        app.setSelectedTeamID(empty);
        ShellFixture::settle();
        QCOMPARE(app.activeProjectID(), std::nullopt);
        QCOMPARE(state.sidebarSelection(), SidebarSelection::page(Kind::gettingStarted));
        QVERIFY(!fixture.defaults.contains(AppSettings::lastViewedProjectKey));
    }

    void selectionRules()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        AppState &app = *fixture.appState;
        MainWindowState &state = window.state();
        const BL_Workspace playground = app.projects().first();
        const BL_Workspace second = fixture.importWorkspace(QStringLiteral("second"));
        state.setSidebarSelection(SidebarSelection::project(playground.id));
        ShellFixture::settle();

        // Clearing the selection brings back the last viewed workspace.
        state.setSidebarSelection(std::nullopt);
        ShellFixture::settle();
        QCOMPARE(state.sidebarSelection(), SidebarSelection::project(playground.id));

        // The getting-started page keeps the active workspace and shows its terminal panel.
        state.setSidebarSelection(SidebarSelection::page(Kind::gettingStarted));
        ShellFixture::settle();
        QCOMPARE(app.activeProjectID(), std::optional<QUuid>(playground.id));
        QVERIFY(state.workspaceTerminalState().isCLIVisible(playground.id));
        QCOMPARE(state.lastViewedProjectID(), std::optional<QUuid>(playground.id));

        // Any other page changes nothing.
        state.setSidebarSelection(SidebarSelection::page(Kind::models));
        ShellFixture::settle();
        QCOMPARE(state.sidebarSelection(), SidebarSelection::page(Kind::models));
        QCOMPARE(fixture.find(QStringLiteral("modelsPage"))->isVisible(), true);
        Q_UNUSED(second);
    }

    void clientNodesGetTheHealthPage_data()
    {
        QTest::addColumn<int>("chosen");
        QTest::addColumn<int>("shown");
        QTest::newRow("models") << int(Kind::models) << int(Kind::health);
        QTest::newRow("analytics") << int(Kind::analytics) << int(Kind::health);
        QTest::newRow("agent configuration") << int(Kind::brimlockConfig) << int(Kind::health);
        QTest::newRow("agents") << int(Kind::agents) << int(Kind::health);
        QTest::newRow("settings stay") << int(Kind::settings) << int(Kind::settings);
        QTest::newRow("health stays") << int(Kind::health) << int(Kind::health);
    }

    void clientNodesGetTheHealthPage()
    {
        QFETCH(int, chosen);
        QFETCH(int, shown);
        ShellFixture fixture;
        fixture.defaults.setValue(QStringLiteral("tessaron.nodeType.v1"), QStringLiteral("clientNode"));
        MainWindow &window = fixture.open();
        window.state().setSidebarSelection(SidebarSelection::page(Kind(chosen)));
        ShellFixture::settle();
        QCOMPARE(window.state().sidebarSelection(), SidebarSelection::page(Kind(shown)));
    }

    void selectTerminalTabNotification_data()
    {
        QTest::addColumn<QVariant>("object");
        QTest::addColumn<bool>("selectsThird");
        QTest::newRow("index 2") << QVariant(2) << true;
        QTest::newRow("no object") << QVariant() << false;
        QTest::newRow("not a number") << QVariant(QStringLiteral("2")) << false;
        QTest::newRow("negative") << QVariant(-1) << false;
    }

    void selectTerminalTabNotification()
    {
        QFETCH(QVariant, object);
        QFETCH(bool, selectsThird);
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        const QUuid id = fixture.appState->projects().first().id;
        WorkspaceTerminalState terminal;
        terminal.createTab(id, QStringLiteral("b"));
        terminal.createTab(id, QStringLiteral("c"));
        terminal.selectTab(id, WorkspaceTerminalState::defaultTabID(id));
        window.state().setWorkspaceTerminalState(terminal);
        ShortcutNotifications::shared().post(ShortcutNotifications::selectTerminalTabShortcut, object);
        const WorkspaceTerminalState after = window.state().workspaceTerminalState();
        QCOMPARE(after.activeTabIDByWorkspaceID.value(id) == QStringLiteral("c"), selectsThird);
        QCOMPARE(after.isCLIVisible(id), selectsThird);
    }

    void idleWatchSettlesAfterTheDelayUnlessTheTokenMoved()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        MainWindowState &state = window.state();
        const QUuid id = fixture.appState->projects().first().id;
        state.terminalOutputSettleDelayMs = 50;
        WorkspaceTerminalState terminal;
        terminal.createTab(id, QStringLiteral("b"));
        const QString tab = WorkspaceTerminalState::defaultTabID(id);
        const quint64 token = *terminal.markCommandSubmitted(id, QStringLiteral("b"));
        state.setWorkspaceTerminalState(terminal);
        state.scheduleTerminalOutputIdleWatch(id, QStringLiteral("b"), token);
        QVERIFY(TestSupport::waitUntil([&] { return state.terminalOutputIdleWatchKeys().isEmpty(); }, 2000));
        // "b" is the active tab, so settling ends the streaming without attention.
        QVERIFY(
            !state.workspaceTerminalState().terminalCommandStateByWorkspaceID.value(id).value("b").isOutputStreaming);

        terminal = state.workspaceTerminalState();
        terminal.markCommandSubmitted(id, tab);
        const quint64 stale = *terminal.currentCommandActivityToken(id, tab);
        terminal.markOutputActivity(id, tab);
        state.setWorkspaceTerminalState(terminal);
        state.scheduleTerminalOutputIdleWatch(id, tab, stale);
        QVERIFY(TestSupport::waitUntil([&] { return state.terminalOutputIdleWatchKeys().isEmpty(); }, 2000));
        QVERIFY(
            state.workspaceTerminalState().terminalCommandStateByWorkspaceID.value(id).value(tab).isOutputStreaming);
    }
};

QTEST_MAIN(WindowReactionsTest)
#include "tst_windowreactions.moc"
