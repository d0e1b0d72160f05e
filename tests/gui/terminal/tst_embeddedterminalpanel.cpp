// The embedded terminal panel in the real main window, over our terminal
// library and a real shell; the tab actions and drops as tables.
#include "../shell/ShellFixture.h"

#include "common/UuidText.h"
#include "shell/CommandLinePanel.h"
#include "terminal/EmbeddedTerminalBackendResolver.h"
#include "terminal/EmbeddedTerminalPanel.h"
#include "terminal/GhosttyEmbeddedTerminalView.h"
#include "terminal/TerminalTabActions.h"

#include <QClipboard>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QTimer>
#include <QToolButton>

using TestSupport::waitUntil;

namespace {

QStringList chipTitles(QWidget *panel)
{
    QStringList titles;
    for (auto *button : panel->findChildren<QToolButton *>(QStringLiteral("terminalTabTitle")))
        if (!button->parent()->property("tabID").isNull() && !button->parent()->property("deleted").toBool())
            titles.append(button->text());
    return titles;
}

void showTerminal(MainWindowState &state, const QUuid &id)
{
    WorkspaceTerminalState terminal = state.workspaceTerminalState();
    terminal.cliVisibilityByWorkspaceID.insert(id, true);
    terminal.ensureWorkspace(id);
    state.setWorkspaceTerminalState(terminal);
    ShellFixture::settle();
}

// Opens the real window over our terminal library with a new workspace whose
// terminal is shown; the panel, or nothing when it did not appear.
EmbeddedTerminalPanel *openTerminalPanel(ShellFixture &fixture, const QString &workspaceName, BL_Workspace &workspace)
{
    EmbeddedTerminalBackendResolver::shared().overrideForTesting(
        EmbeddedTerminalBackendResolver::Backend::embeddedLibrary);
    MainWindow &window = fixture.open();
    workspace = fixture.importWorkspace(workspaceName);
    showTerminal(window.state(), workspace.id);
    return fixture.find<EmbeddedTerminalPanel>(QStringLiteral("embeddedTerminalPanel"));
}

} // namespace

class EmbeddedTerminalPanelTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { qputenv("SHELL", "/bin/zsh"); }

    void dropsTakeOnlyThisWorkspacesTabs_data()
    {
        QTest::addColumn<QStringList>("items"); // {W} and {O} stand for the two workspace ids
        QTest::addColumn<bool>("taken");
        QTest::addColumn<QStringList>("snapped");
        QTest::addColumn<QString>("active");

        QTest::newRow("tab with a colon")
            << QStringList {"tessaron-terminal-tab:{W}:a:b"} << true << QStringList {"a:b"} << "a:b";
        QTest::newRow("empty tab id") << QStringList {"tessaron-terminal-tab:{W}:"} << false << QStringList {} << "b";
        QTest::newRow("not a uuid") << QStringList {"tessaron-terminal-tab:nope:a:b"} << false << QStringList {} << "b";
        QTest::newRow("other workspace") << QStringList {"tessaron-terminal-tab:{O}:a:b"} << false << QStringList {}
                                         << "b";
        QTest::newRow("unknown tab") << QStringList {"tessaron-terminal-tab:{W}:zzz"} << false << QStringList {} << "b";
        QTest::newRow("plain text") << QStringList {"hello"} << false << QStringList {} << "b";
        QTest::newRow("first usable wins")
            << QStringList {"junk", "tessaron-terminal-tab:{W}:b", "tessaron-terminal-tab:{W}:a:b"} << true
            << QStringList {"b"} << "b";
    }
    void dropsTakeOnlyThisWorkspacesTabs()
    {
        QFETCH(QStringList, items);
        QFETCH(bool, taken);
        QFETCH(QStringList, snapped);
        QFETCH(QString, active);

        MemorySettingsStore settings;
        MainWindowState state(settings);
        const QUuid w = QUuid::createUuid();
        const QUuid o = QUuid::createUuid();
        WorkspaceTerminalState terminal;
        for (const QUuid &id : {w, o}) {
            terminal.ensureWorkspace(id);
            terminal.createTab(id, QStringLiteral("a:b"));
            terminal.createTab(id, QStringLiteral("b"));
        }
        state.setWorkspaceTerminalState(terminal);
        for (QString &item : items)
            item.replace("{W}", UuidText::lower(w)).replace("{O}", UuidText::lower(o));

        QCOMPARE(TerminalTabActions::handleDrop(state, items, w), taken);
        QCOMPARE(state.workspaceTerminalState().snappedTabIDs(w), snapped);
        QCOMPARE(state.workspaceTerminalState().activeTabIDByWorkspaceID.value(w), active);
        QVERIFY(state.workspaceTerminalState().snappedTabIDs(o).isEmpty());
        QCOMPARE(state.terminalEventIgnoreUntilBySessionKey.contains(MainWindowState::sessionKey(w, active)), taken);
    }

    void eventRulesFollowTheIgnoreWindow()
    {
        MemorySettingsStore settings;
        MainWindowState state(settings);
        state.terminalOutputSettleDelayMs = 60'000;
        const QUuid w = QUuid::createUuid();
        WorkspaceTerminalState terminal;
        terminal.ensureWorkspace(w);
        terminal.createTab(w, QStringLiteral("two"));
        state.setWorkspaceTerminalState(terminal);
        const QString first = WorkspaceTerminalState::defaultTabID(w);

        // Output without a submitted command starts no watch.
        TerminalTabActions::handleOutputActivity(state, w, first);
        QVERIFY(state.terminalOutputIdleWatchKeys().isEmpty());

        TerminalTabActions::handleCommandSubmitted(state, w, first);
        QCOMPARE(state.terminalOutputIdleWatchKeys(), QStringList {MainWindowState::sessionKey(w, first)});

        // A chip click opens the ignore window even for the selected tab.
        TerminalTabActions::selectTab(state, w, QStringLiteral("two"), false);
        TerminalTabActions::handleCommandSubmitted(state, w, QStringLiteral("two"));
        TerminalTabActions::selectTab(state, w, QStringLiteral("two"), false);
        const auto token = state.workspaceTerminalState().currentCommandActivityToken(w, QStringLiteral("two"));
        TerminalTabActions::handleOutputActivity(state, w, QStringLiteral("two"));
        QCOMPARE(state.workspaceTerminalState().currentCommandActivityToken(w, QStringLiteral("two")), token);

        // Typing in a tab ends its window and makes it the active tab.
        TerminalTabActions::handleUserInputActivity(state, w, first);
        QCOMPARE(state.workspaceTerminalState().activeTabIDByWorkspaceID.value(w), first);
        TerminalTabActions::handleUserInputActivity(state, w, QStringLiteral("two"));
        TerminalTabActions::handleOutputActivity(state, w, QStringLiteral("two"));
        QVERIFY(state.workspaceTerminalState().currentCommandActivityToken(w, QStringLiteral("two")) != token);

        // Closing a tab ends its watch and drops its pending text.
        state.pendingGhosttyInjectedTextBySessionKey.insert(
            MainWindowState::sessionKey(w, QStringLiteral("two")), GhosttyInjectedText {7, "ls", false});
        TerminalTabActions::closeTab(state, w, QStringLiteral("two"));
        QVERIFY(state.pendingGhosttyInjectedTextBySessionKey.isEmpty());
        QCOMPARE(state.terminalOutputIdleWatchKeys(), QStringList {MainWindowState::sessionKey(w, first)});
        // The last tab stays.
        TerminalTabActions::closeTab(state, w, first);
        QCOMPARE(state.workspaceTerminalState().tabIDsByWorkspaceID.value(w), QStringList {first});
    }

    void heightsClampIntoTheirPanelsRange()
    {
        MemorySettingsStore settings;
        MainWindowState state(settings);
        const QUuid w = QUuid::createUuid();
        QCOMPARE(TerminalTabActions::terminalHeight(state, w), 540.0);
        TerminalTabActions::setTerminalHeight(state, w, 5000);
        QCOMPARE(TerminalTabActions::terminalHeight(state, w), 1200.0);
        TerminalTabActions::setTerminalHeight(state, w, 10);
        QCOMPARE(TerminalTabActions::terminalHeight(state, w), 240.0);
        // A height stored by the other panel is read into this one's range.
        state.commandLineHeightByProjectID.insert(w, 120);
        QCOMPARE(TerminalTabActions::terminalHeight(state, w), 240.0);
        QCOMPARE(EmbeddedTerminalPanel::expandedContainerHeight(200), 360.0);
        QVERIFY(qAbs(EmbeddedTerminalPanel::expandedContainerHeight(1000) - 1086.8) < 0.001);
    }

    void normalisation_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("expected");
        QTest::newRow("trailing slashes") << " /work/project// "
                                          << "/work/project";
        QTest::newRow("lone slash") << "/"
                                    << "/";
        QTest::newRow("three slashes") << "///"
                                       << "/";
        QTest::newRow("scheme") << " file:///tmp/x "
                                << "file:///tmp/x";
        QTest::newRow("blank") << "   "
                               << "   ";
        QTest::newRow("dots") << "/a/b/../c/."
                              << "/a/c";
    }
    void normalisation()
    {
        QFETCH(QString, input);
        QFETCH(QString, expected);
        QCOMPARE(GhosttyEmbeddedTerminalView::normalizedWorkingDirectory(input), expected);
        QCOMPARE(GhosttyEmbeddedTerminalView::normalizedCommand(QStringLiteral("  \n")), std::nullopt);
    }

    void keyTextAndShortcuts()
    {
        using V = GhosttyEmbeddedTerminalView;
        QCOMPARE(V::inputText(QString(), Qt::Key_C, Qt::ControlModifier), QString(QChar(0x03)));
        QCOMPARE(V::inputText(QStringLiteral("\x03"), Qt::Key_C, Qt::ControlModifier), QStringLiteral("\x03"));
        QCOMPARE(V::inputText(QString(), Qt::Key_Left, Qt::NoModifier), std::nullopt);
        QCOMPARE(V::inputText(QString(QChar(0xF702)), Qt::Key_Left, Qt::NoModifier), std::nullopt);
        QCOMPARE(V::commandShortcut(Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier), V::CommandShortcut::copy);
        QCOMPARE(V::commandShortcut(Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier), V::CommandShortcut::paste);
        QCOMPARE(V::commandShortcut(Qt::Key_C, Qt::ControlModifier), std::nullopt); // Ctrl+C is the shell's
        QCOMPARE(
            V::commandShortcut(Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier | Qt::AltModifier), std::nullopt);
    }

    // First: the library stays loaded once a session opened it.
    void aFailingTerminalFallsBackWithItsReason()
    {
        EmbeddedTerminalBackendResolver::shared().overrideForTesting(
            EmbeddedTerminalBackendResolver::Backend::embeddedLibrary);
        qputenv("TESSARON_LIBGHOSTTY_PATH", "/nonexistent/libghostty.so");
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        MainWindowState &state = window.state();
        const BL_Workspace workspace = fixture.importWorkspace(QStringLiteral("failing"));
        showTerminal(state, workspace.id);
        QVERIFY(waitUntil([&] { return state.ghosttyRuntimeErrorByProjectID().contains(workspace.id); }));
        qunsetenv("TESSARON_LIBGHOSTTY_PATH");
        ShellFixture::settle();
        const QString reason = state.ghosttyRuntimeErrorByProjectID().value(workspace.id);
        QVERIFY2(reason.contains(QStringLiteral("/nonexistent/libghostty.so")), qPrintable(reason));
        auto *fallback = fixture.find<CommandLinePanel>(QStringLiteral("commandLinePanel"));
        QVERIFY(fallback && fallback->isVisible());
        QVERIFY(!fixture.find<EmbeddedTerminalPanel>(QStringLiteral("embeddedTerminalPanel"))->isVisible());
    }

    void panelRunsARealShellPerTab()
    {
        EmbeddedTerminalBackendResolver::shared().overrideForTesting(
            EmbeddedTerminalBackendResolver::Backend::embeddedLibrary);
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        MainWindowState &state = window.state();
        const BL_Workspace workspace = fixture.importWorkspace(QStringLiteral("it's a tab"));
        showTerminal(state, workspace.id);

        auto *panel = fixture.find<EmbeddedTerminalPanel>(QStringLiteral("embeddedTerminalPanel"));
        QVERIFY(panel);
        QVERIFY(panel->isVisible());
        QCOMPARE(chipTitles(panel), QStringList {"Tab 1"});
        QCOMPARE(panel->findChild<QLabel *>(QStringLiteral("terminalTabCount"))->text(), QStringLiteral("1 tab"));
        QVERIFY(!panel->findChild<QToolButton *>(QStringLiteral("terminalTabClose"))->isEnabled());
        QCOMPARE(panel->findChild<QLabel *>(QStringLiteral("terminalSnapHint"))->text(),
            QStringLiteral("Drag a tab chip into this area to split the terminal."));

        QCOMPARE(panel->terminalViews().size(), 1);
        GhosttyEmbeddedTerminalView *first = panel->terminalViews().first();
        QVERIFY(waitUntil([&] { return first->hasSession(); }));
        QCOMPARE(first->workingDirectory(), workspace.rootPath);
        // Typed keys reach the shell, and Return counts as a submitted command.
        QVERIFY(waitUntil([&] { return first->hasFocus(); }));
        QTest::keyClicks(first, QStringLiteral("printf 'one%s\\n' $((40+2))"));
        QTest::keyClick(first, Qt::Key_Return);
        QVERIFY2(waitUntil([&] { return first->visibleText().contains(QStringLiteral("one42")); }),
            qPrintable(first->visibleText()));
        QVERIFY(state.workspaceTerminalState().currentCommandActivityToken(
            workspace.id, WorkspaceTerminalState::defaultTabID(workspace.id)));

        // Ctrl+C reaches the shell before any window shortcut; Ctrl+T stays
        // the window's (a new tab).
        QTest::keyClicks(first, QStringLiteral("sleep 30"));
        QTest::keyClick(first, Qt::Key_Return);
        QTest::qWait(300);
        QTest::keyClick(first, Qt::Key_C, Qt::ControlModifier);
        QTest::keyClicks(first, QStringLiteral("echo after$((5+5))"));
        QTest::keyClick(first, Qt::Key_Return);
        QVERIFY2(waitUntil([&] { return first->visibleText().contains(QStringLiteral("after10")); }, 8000),
            qPrintable(first->visibleText()));

        // A new tab gets its own shell; the first keeps running in the cache.
        QTest::mouseClick(panel->findChild<QPushButton *>(QStringLiteral("newTerminalTabButton")), Qt::LeftButton);
        ShellFixture::settle();
        QCOMPARE(panel->findChild<QLabel *>(QStringLiteral("terminalTabCount"))->text(), QStringLiteral("2 tabs"));
        QCOMPARE(panel->terminalViews().size(), 1);
        GhosttyEmbeddedTerminalView *second = panel->terminalViews().first();
        QVERIFY(second != first);
        QVERIFY(!first->isVisible() && first->hasSession());

        // Snapping both shows them side by side with unsnap controls.
        const QStringList tabs = state.workspaceTerminalState().tabIDsByWorkspaceID.value(workspace.id);
        TerminalTabActions::toggleSnap(state, workspace.id, tabs.at(0));
        TerminalTabActions::toggleSnap(state, workspace.id, tabs.at(1));
        ShellFixture::settle();
        QCOMPARE(panel->terminalViews(), (QList<GhosttyEmbeddedTerminalView *> {first, second}));
        QCOMPARE(
            panel->findChild<QLabel *>(QStringLiteral("terminalSnappedCount"))->text(), QStringLiteral("2 snapped"));
        QCOMPARE(panel->findChild<QLabel *>(QStringLiteral("terminalSnapHint"))->text(),
            QStringLiteral("Snap area: 2 tabs split evenly"));
        QCOMPARE(panel->findChildren<QToolButton *>(QStringLiteral("unsnapPaneButton")).size(), 2);
        QVERIFY(first->isVisible() && second->isVisible());
        QVERIFY(first->visibleText().contains(QStringLiteral("one42")));

        // Dictated text goes to the selected tab, once.
        window.routeVoiceTextToTerminal(QStringLiteral("  echo said$((3*3))  "), workspace.id, true);
        QVERIFY2(waitUntil([&] { return second->visibleText().contains(QStringLiteral("said9")); }),
            qPrintable(second->visibleText()));
        ShellFixture::settle();
        QCOMPARE(second->visibleText().count(QStringLiteral("said9")), 1);

        // Injected text is typed once per token, then submitted.
        state.pendingGhosttyInjectedTextBySessionKey.insert(
            MainWindowState::sessionKey(workspace.id, tabs.at(1)), GhosttyInjectedText {41, "echo in$((1+1))", true});
        TerminalTabActions::unsnapTab(state, workspace.id, tabs.at(0));
        ShellFixture::settle();
        QVERIFY2(waitUntil([&] { return second->visibleText().contains(QStringLiteral("in2")); }),
            qPrintable(second->visibleText()));
    }

    // Dragging the handle resizes from where the drag began, within the
    // panel's range; a new drag starts from the height the last one left.
    void resizeDragsKeepTheHeightInRange()
    {
        ShellFixture fixture;
        BL_Workspace workspace;
        auto *panel = openTerminalPanel(fixture, QStringLiteral("resize"), workspace);
        QVERIFY(panel);
        MainWindowState &state = fixture.window->state();
        auto *handle = panel->findChild<QWidget *>(QStringLiteral("terminalResizeHandle"));
        QVERIFY(handle && handle->isVisible());
        auto drag = [&](const QList<int> &steps) {
            const QPoint start = handle->rect().center();
            QTest::mousePress(handle, Qt::LeftButton, {}, start);
            for (int step : steps)
                QTest::mouseMove(handle, start + QPoint(0, step));
            QTest::mouseRelease(handle, Qt::LeftButton, {}, start + QPoint(0, steps.last()));
            ShellFixture::settle();
        };

        drag({30, 60, 100});
        QCOMPARE(TerminalTabActions::terminalHeight(state, workspace.id), 440.0);
        QVERIFY(!state.commandLineResizeStartHeightByProjectID.contains(workspace.id));
        drag({-400, -2000});
        QCOMPARE(TerminalTabActions::terminalHeight(state, workspace.id), 1200.0);
        drag({5000});
        QCOMPARE(TerminalTabActions::terminalHeight(state, workspace.id), 240.0);
    }

    // A program asking for the clipboard (OSC 52) gets it only after the
    // user allows it; Deny is the default answer of the question.
    void aProgramReadsTheClipboardOnlyWhenAllowed_data()
    {
        QTest::addColumn<QString>("answer"); // the button clicked, or "Return" for the default
        QTest::addColumn<QString>("expected");
        QTest::newRow("allowed") << "Allow"
                                 << "got:Y2xpcC1zZWNyZXQ=:end";
        QTest::newRow("denied") << "Deny"
                                << "got::end";
        QTest::newRow("default answer") << "Return"
                                        << "got::end";
    }
    void aProgramReadsTheClipboardOnlyWhenAllowed()
    {
        QFETCH(QString, answer);
        QFETCH(QString, expected);
        ShellFixture fixture;
        BL_Workspace workspace;
        auto *panel = openTerminalPanel(fixture, QStringLiteral("clipboard"), workspace);
        QVERIFY(panel);
        GhosttyEmbeddedTerminalView *view = panel->terminalViews().first();
        QVERIFY(waitUntil([&] { return view->hasSession() && view->hasFocus(); }));
        QGuiApplication::clipboard()->setText(QStringLiteral("clip-secret"));

        QString question;
        QTimer answerer;
        QObject::connect(&answerer, &QTimer::timeout, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            question = box->text();
            answerer.stop();
            if (answer == QStringLiteral("Return")) {
                QTest::keyClick(box, Qt::Key_Return);
                return;
            }
            for (QAbstractButton *button : box->buttons())
                if (button->text() == answer)
                    button->click();
        });
        answerer.start(50);
        QTest::keyClicks(view,
            QStringLiteral(
                "printf '\\e]52;c;?\\a'; IFS= read -rs -t 30 -d $'\\a' r; print -r -- \"got:${r##*;}:end\""));
        QTest::keyClick(view, Qt::Key_Return);
        // The program's line, not the echoed command (which may wrap anywhere).
        static const QRegularExpression printed(QStringLiteral("(^|\n)got:[A-Za-z0-9+/=]*:end\n"));
        QVERIFY2(
            waitUntil([&] { return view->visibleText().contains(printed); }, 40000), qPrintable(view->visibleText()));
        QCOMPARE(question, QStringLiteral("A program in the terminal wants to read the clipboard."));
        QVERIFY2(view->visibleText().contains(expected), qPrintable(view->visibleText()));
    }
};

QTEST_MAIN(EmbeddedTerminalPanelTest)
#include "tst_embeddedterminalpanel.moc"
