#include "ShellFixture.h"
#include "common/UuidText.h"
#include "shell/ShortcutNotifications.h"
#include "shell/SymbolIcons.h"
#include "shell/WindowSetup.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QStyle>
#include <QtTest>

class MainWindowTest : public QObject
{
    Q_OBJECT

private slots:
    void opensDarkWindowWithHiddenTitle()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        QCOMPARE(window.windowTitle(), QStringLiteral(" "));
        // With the application style sheet the style is a sheet style over Fusion.
        const QStyle *baseStyle = qApp->style()->findChild<QStyle *>();
        QVERIFY(baseStyle);
        QCOMPARE(baseStyle->name().toLower(), QStringLiteral("fusion"));
        QCOMPARE(qApp->styleSheet(), DarkAppearance::styleSheet());
        QCOMPARE(qApp->font().family(), QStringLiteral("Inter"));
        QVERIFY(qApp->palette().color(QPalette::Window).lightness() < 64);
        for (const char *name : {"rootView", "sidebarColumn", "detailColumn", "virtualTitlebarStrip"})
            QVERIFY2(window.findChild<QWidget *>(QLatin1String(name)), name);
        // The strip over the top edge takes no clicks.
        auto *strip = window.findChild<QWidget *>(QStringLiteral("virtualTitlebarStrip"));
        QCOMPARE(strip->height(), 34);
        QVERIFY(strip->testAttribute(Qt::WA_TransparentForMouseEvents));
        QCOMPARE(strip->width(), window.centralWidget()->width());
        // A new title is put back on activation.
        window.setWindowTitle(QStringLiteral("changed"));
        QEvent activation(QEvent::ActivationChange);
        QApplication::sendEvent(&window, &activation);
        QCOMPARE(window.windowTitle(), QStringLiteral(" "));
    }

    void everySymbolNameHasAThemeIcon()
    {
        QVERIFY(SymbolIcons::registerTheme());
        QVERIFY(SymbolIcons::themeName(QStringLiteral("no.such.symbol")).isEmpty());
        const QStringList names = SymbolIcons::symbolNames();
        QVERIFY(std::is_sorted(names.begin(), names.end()));
        for (const QString &symbol : names) {
            const QString name = SymbolIcons::themeName(symbol);
            QVERIFY2(QIcon::hasThemeIcon(name), qPrintable(symbol + QStringLiteral(" -> ") + name));
            QVERIFY2(!SymbolIcons::icon(symbol).isNull(), qPrintable(symbol));
        }
    }

    void initialFrame_data()
    {
        QTest::addColumn<QRectF>("visible");
        QTest::addColumn<QRectF>("frame");
        QTest::addColumn<QRect>("pixels");
        QTest::newRow("laptop") << QRectF(0, 25, 1440, 875) << QRectF(72, 68.75, 1296, 787.5)
                                << QRect(72, 69, 1296, 787);
        QTest::newRow("offset screen") << QRectF(1920, 0, 1600, 1000) << QRectF(2000, 50, 1440, 900)
                                       << QRect(2000, 50, 1440, 900);
    }

    void initialFrame()
    {
        QFETCH(QRectF, visible);
        QFETCH(QRectF, frame);
        QFETCH(QRect, pixels);
        QCOMPARE(WindowSetup::initialFrame(visible), frame);
        // Rounded once: the edges, not the size, are rounded.
        QCOMPARE(WindowSetup::initialFrameInPixels(visible), pixels);
    }

    void shortcutsMenuIsExact()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        const QList<QMenu *> menus = window.menuBar()->findChildren<QMenu *>(Qt::FindDirectChildrenOnly);
        QCOMPARE(menus.size(), 1);
        QMenu *menu = menus.first();
        QCOMPARE(menu->title(), QStringLiteral("Shortcuts"));
        QStringList shown;
        for (QAction *action : menu->actions())
            shown << (action->isSeparator() ? QStringLiteral("-")
                                            : action->text() + u'|' + action->shortcut().toString());
        QStringList expected {"Left Sidebar|Ctrl+B", "Terminal|Ctrl+I", "New Terminal Tab|Ctrl+T", "-"};
        for (int n = 1; n <= 9; ++n)
            expected << QStringLiteral("Terminal Tab %1|Ctrl+%1").arg(n);
        expected << "Web Preview|Ctrl+P"
                 << "Focus Web Address Bar|Ctrl+L"
                 << "Refresh Web Preview|Ctrl+R"
                 << "-"
                 << "Next Workspace|Ctrl+]"
                 << "Previous Workspace|Ctrl+[";
        QCOMPARE(shown, expected);
    }

    void menuItemsPostTheirNotifications()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        QList<QPair<QString, QVariant>> posted;
        auto connection = QObject::connect(&ShortcutNotifications::shared(), &ShortcutNotifications::posted,
            [&](const QString &name, const QVariant &object) {
                posted.append({name, object});
            });
        window.findChild<QAction *>(QStringLiteral("terminalTab1Action"))->trigger();
        window.findChild<QAction *>(QStringLiteral("terminalTab9Action"))->trigger();
        window.findChild<QAction *>(QStringLiteral("terminalAction"))->trigger();
        window.findChild<QAction *>(QStringLiteral("newTerminalTabAction"))->trigger();
        window.findChild<QAction *>(QStringLiteral("webPreviewAction"))->trigger();
        window.findChild<QAction *>(QStringLiteral("focusWebAddressBarAction"))->trigger();
        QObject::disconnect(connection);
        QCOMPARE(posted.size(), 6);
        QCOMPARE(posted[0].first, QStringLiteral("tessaron.selectTerminalTabShortcut"));
        QCOMPARE(posted[0].second.toInt(), 0);
        QCOMPARE(posted[1].second.toInt(), 8);
        QCOMPARE(posted[2].first, QStringLiteral("tessaron.toggleTerminalShortcut"));
        QCOMPARE(posted[3].first, QStringLiteral("tessaron.newTerminalTabShortcut"));
        QCOMPARE(posted[4].first, QStringLiteral("tessaron.toggleWebPreviewShortcut"));
        QCOMPARE(posted[5].first, QStringLiteral("tessaron.focusWebPreviewShortcut"));
        QVERIFY(!window.findChild<QAction *>(QStringLiteral("terminalTab10Action")));
    }

    void refreshItemFollowsTheStateAndWorkspacesStep()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        AppState &state = *fixture.appState;
        const BL_Workspace playground = state.projects().first();
        const BL_Workspace second = fixture.importWorkspace(QStringLiteral("second"));
        auto *refresh = window.findChild<QAction *>(QStringLiteral("refreshWebPreviewAction"));
        QVERIFY(!refresh->isEnabled());
        state.setBrowserSidebarVisible(true, second.id);
        QVERIFY(refresh->isEnabled()); // re-evaluated on the change itself
        refresh->trigger();
        QCOMPARE(state.browserRefreshTokenByProjectID().value(second.id), 1);
        state.setActiveProjectID(playground.id);
        QVERIFY(!refresh->isEnabled());

        // Next on the last wraps to the first; previous on the first to the last.
        window.findChild<QAction *>(QStringLiteral("previousWorkspaceAction"))->trigger();
        QCOMPARE(state.activeProjectID(), std::optional<QUuid>(second.id));
        window.findChild<QAction *>(QStringLiteral("nextWorkspaceAction"))->trigger();
        QCOMPARE(state.activeProjectID(), std::optional<QUuid>(playground.id));
        ShellFixture::settle();
        QCOMPARE(fixture.state().sidebarSelection(), SidebarSelection::project(playground.id));
    }

    void leftSidebarIsDebouncedOnAMonotonicClock()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        qint64 now = 1'000'000'000'000;
        SidebarToggleGate::shared().monotonicNanoseconds = [&now] { return now; };
        auto *action = window.findChild<QAction *>(QStringLiteral("leftSidebarAction"));
        QVERIFY(window.isSidebarVisible());
        action->trigger(); // toggles
        QVERIFY(!window.isSidebarVisible());
        now += 50'000'000;
        action->trigger(); // 0.05 s later: dropped, the time stays
        QVERIFY(!window.isSidebarVisible());
        now += 30'000'000;
        action->trigger(); // 0.08 s after the first: toggles
        QVERIFY(window.isSidebarVisible());
        now += 60'000'000;
        action->trigger(); // exactly 0.06 s: dropped
        QVERIFY(window.isSidebarVisible());
        now += 1;
        action->trigger();
        QVERIFY(!window.isSidebarVisible());
        SidebarToggleGate::shared().monotonicNanoseconds = [] { return qint64(0); };
    }

    void startupSelectsTheRestoredWorkspace()
    {
        ShellFixture fixture;
        fixture.makeState();
        MainWindowState *windowState = nullptr;
        fixture.window.reset();
        MainWindow &window = fixture.open();
        windowState = &window.state();
        // A first launch creates the playground, which start-up selects.
        QCOMPARE(fixture.appState->projects().size(), 1);
        const QUuid playground = fixture.appState->projects().first().id;
        QCOMPARE(windowState->sidebarSelection(), SidebarSelection::project(playground));
        QCOMPARE(windowState->lastViewedProjectID(), std::optional<QUuid>(playground));
        QCOMPARE(fixture.appState->activeProjectID(), std::optional<QUuid>(playground));
        QCOMPARE(fixture.find<QLabel>(QStringLiteral("workspaceName"))->text(), QStringLiteral("playground"));
        QVERIFY(fixture.find(QStringLiteral("workspacePage"))->isVisible());
        QVERIFY(fixture.find(QStringLiteral("taskBoard"))->isVisible());
    }

    void startupWithoutWorkspacesShowsGettingStarted()
    {
        ShellFixture fixture;
        // A client node makes no playground, so nothing is there.
        fixture.defaults.setValue(QStringLiteral("tessaron.nodeType.v1"), QStringLiteral("clientNode"));
        MainWindow &window = fixture.open();
        QVERIFY(fixture.appState->projects().isEmpty());
        QCOMPARE(window.state().sidebarSelection(), SidebarSelection::page(SidebarSelection::Kind::gettingStarted));
        QCOMPARE(window.state().lastViewedProjectID(), std::nullopt);
        QVERIFY(fixture.find(QStringLiteral("gettingStartedPage"))->isVisible());
        QVERIFY(fixture.find(QStringLiteral("themedWidgetPage"))->isVisible());
    }

    void windowStateStartsEmpty()
    {
        ShellFixture fixture;
        fixture.makeState();
        MainWindow window(*fixture.appState);
        MainWindowState &state = window.state();
        QCOMPARE(state.sidebarSelection(), std::nullopt);
        QVERIFY(!state.taskComposerContext() && !state.commandHistoryContext() && !state.pendingDeleteProject());
        QVERIFY(state.isTeamsSectionExpanded);
        QCOMPARE(state.pickerMode, WorkspacePickerMode::addExisting);
        QCOMPARE(state.workspaceTerminalState(), WorkspaceTerminalState {});
        QCOMPARE(state.nextGhosttyInjectedTextToken, quint64(1));
        QCOMPARE(state.standaloneCommandLineHeight, 540.0);
        QCOMPARE(MainWindowState::terminalOutputSettleDelayNanoseconds, qint64(30'000'000'000));
        // Equal project selections are equal; a page never equals a project.
        const QUuid id = QUuid::createUuid();
        QCOMPARE(SidebarSelection::project(id), SidebarSelection::project(id));
        QVERIFY(!(SidebarSelection::project(id) == SidebarSelection::page(SidebarSelection::Kind::gettingStarted)));
        QCOMPARE(qHash(SidebarSelection::project(id)), qHash(SidebarSelection::project(id)));
        // Nothing starts before the window is shown.
        QVERIFY(!window.isStartupFinished());
        QVERIFY(fixture.appState->projects().isEmpty());
    }

    void gettingStartedTablesAreExact()
    {
        const QStringList commands = MainWindowState::gettingStartedCommands();
        const QStringList descriptions = MainWindowState::gettingStartedStepDescriptions();
        QCOMPARE(commands.size(), 4);
        QCOMPARE(descriptions.size(), 4);
        QCOMPARE(commands[0],
            QStringLiteral("command -v git >/dev/null 2>&1 || { echo 'Error: git is required but not installed.'; "
                           "exit 1; }; command -v node >/dev/null 2>&1 || { echo 'Error: Node.js v22+ is "
                           "required but node is not installed.'; exit 1; }; NODE_MAJOR=$(node -p "
                           "\"process.versions.node.split('.')[0]\"); [ \"$NODE_MAJOR\" -ge 22 ] || { echo "
                           "\"Error: Node.js v22+ is required (found $(node -v)).\"; exit 1; }; npm -g install "
                           "brimlock@latest"));
        QCOMPARE(commands.mid(1),
            (QStringList {"brimlock onboard --install-daemon", "brimlock dashboard", "brimlock agents add"}));
        QCOMPARE(descriptions,
            (QStringList {"Install Brimlock (after checking that required dependencies are available).",
                "Run onboarding and install the local daemon used by Brimlock services.",
                "Open the local Brimlock dashboard.", "Create a subagent (required)."}));
        // The install line stops with its message when git is missing.
        QProcess shell;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("PATH"), QStringLiteral("/nonexistent"));
        shell.setProcessEnvironment(environment);
        shell.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), commands[0]});
        QVERIFY(shell.waitForFinished(10000));
        QCOMPARE(shell.exitCode(), 1);
        QCOMPARE(shell.readAllStandardOutput(), QByteArray("Error: git is required but not installed.\n"));
    }
};

QTEST_MAIN(MainWindowTest)
#include "tst_mainwindow.moc"
