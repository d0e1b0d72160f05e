#include "ShellFixture.h"
#include "common/UuidText.h"
#include "shell/WindowSetup.h"
#include "terminal/EmbeddedTerminalBackendResolver.h"

#include <QLineEdit>
#include <QtTest>

namespace {

// A stand-in terminal view: it counts the key presses that reach it.
class FakeTerminalView final : public QWidget
{
public:
    explicit FakeTerminalView(QWidget *parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("fakeTerminal"));
        setFocusPolicy(Qt::StrongFocus);
        KeyTable::markAsTerminalView(*this);
        resize(100, 40);
    }
    int presses = 0;

protected:
    void keyPressEvent(QKeyEvent *event) override
    {
        // The modifier keys of a chord arrive as presses of their own.
        if (event->key() != Qt::Key_Control && event->key() != Qt::Key_Alt && event->key() != Qt::Key_Shift)
            ++presses;
        event->accept();
    }
};

} // namespace

// Every rule of the window's key handling, as real key events through the
// shortcut path: ShortcutOverride, the menu's shortcuts and the key press.
class WindowKeysTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Every toggle counts: the sidebar gate sees a second pass between keys.
        static qint64 now = 0;
        SidebarToggleGate::shared().monotonicNanoseconds = [] { return now += 1'000'000'000; };
    }

    void keyRules_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("key");
        QTest::addColumn<int>("modifiers");
        QTest::addColumn<QString>("focus");
        QTest::addColumn<QString>("expect");
        const int none = Qt::NoModifier, ctrl = Qt::ControlModifier, alt = Qt::AltModifier, shift = Qt::ShiftModifier;
        QTest::newRow("1 Alt+Space toggles dictation, types nothing")
            << "" << int(Qt::Key_Space) << alt << "composerTitle"
            << "dictationStarted";
        QTest::newRow("1 Alt+Shift+Space is not taken") << "" << int(Qt::Key_Space) << (alt | shift) << "composerTitle"
                                                        << "dictationNotStarted";
        QTest::newRow("2 Return while transcribing") << "transcribing" << int(Qt::Key_Return) << none << ""
                                                     << "pendingSubmit";
        QTest::newRow("2 keypad Enter while transcribing")
            << "transcribing" << int(Qt::Key_Enter) << int(Qt::KeypadModifier) << ""
            << "pendingSubmit";
        QTest::newRow("2 Shift+Return is not taken") << "transcribing" << int(Qt::Key_Return) << shift << ""
                                                     << "noPendingSubmit";
        QTest::newRow("3 Escape cancels a recording, even over the composer")
            << "recording+composer" << int(Qt::Key_Escape) << none << "composerTitle"
            << "captureCancelled";
        QTest::newRow("5 Escape reaches the composer") << "composer" << int(Qt::Key_Escape) << none << "composerTitle"
                                                       << "composerClosed";
        QTest::newRow("7 Escape hides the web preview") << "preview" << int(Qt::Key_Escape) << none << ""
                                                        << "previewHidden";
        QTest::newRow("8 Ctrl+P shows the web preview") << "" << int(Qt::Key_P) << ctrl << ""
                                                        << "previewShown";
        QTest::newRow("8 Ctrl+Shift+P does not") << "" << int(Qt::Key_P) << (ctrl | shift) << ""
                                                 << "previewHidden";
        QTest::newRow("9 Ctrl+L focuses the address bar") << "" << int(Qt::Key_L) << ctrl << ""
                                                          << "addressFocused";
        QTest::newRow("10 Ctrl+R reloads a shown preview") << "preview+cli" << int(Qt::Key_R) << ctrl << ""
                                                           << "previewRefreshed";
        QTest::newRow("14 Ctrl+R opens the history") << "cli" << int(Qt::Key_R) << ctrl << ""
                                                     << "historyOpen";
        QTest::newRow("14 Ctrl+R goes to an embedded terminal") << "cli+embedded" << int(Qt::Key_R) << ctrl << ""
                                                                << "historyClosed";
        QTest::newRow("11 Ctrl+I shows the terminal panel and focuses it") << "" << int(Qt::Key_I) << ctrl << ""
                                                                           << "cliShownAndFocused";
        QTest::newRow("11 Ctrl+I in the composer's title is refused")
            << "composer" << int(Qt::Key_I) << ctrl << "composerTitle"
            << "cliHidden";
        QTest::newRow("11 Ctrl+I in the command input hides the panel")
            << "cli" << int(Qt::Key_I) << ctrl << "commandLineInput"
            << "cliHidden";
        QTest::newRow("12 Ctrl+T opens a tab") << "" << int(Qt::Key_T) << ctrl << ""
                                               << "twoTabs";
        QTest::newRow("13 Ctrl+1 selects the default tab") << "" << int(Qt::Key_1) << ctrl << ""
                                                           << "defaultTab";
        QTest::newRow("13 Ctrl+5 with two tabs does nothing") << "twoTabs" << int(Qt::Key_5) << ctrl << ""
                                                              << "cliHidden";
        QTest::newRow("menu Ctrl+B toggles the sidebar once") << "" << int(Qt::Key_B) << ctrl << ""
                                                              << "sidebarHidden";
        QTest::newRow("menu Ctrl+] steps to the next workspace") << "" << int(Qt::Key_BracketRight) << ctrl << ""
                                                                 << "firstWorkspaceActive";
        QTest::newRow("terminal takes Ctrl+B") << "" << int(Qt::Key_B) << ctrl << "fakeTerminal"
                                               << "terminalGotKeySidebarShown";
        QTest::newRow("terminal leaves Ctrl+I to the window") << "" << int(Qt::Key_I) << ctrl << "fakeTerminal"
                                                              << "cliShownTerminalGotNothing";
        QTest::newRow("terminal still gets Alt+Space toggling dictation")
            << "" << int(Qt::Key_Space) << alt << "fakeTerminal"
            << "dictationStarted";
    }

    void keyRules()
    {
        QFETCH(QString, setup);
        QFETCH(int, key);
        QFETCH(int, modifiers);
        QFETCH(QString, focus);
        QFETCH(QString, expect);

        ShellFixture fixture;
        MainWindow &window = fixture.open();
        AppState &app = *fixture.appState;
        MainWindowState &state = window.state();
        const QUuid first = app.projects().first().id;
        const BL_Workspace second = fixture.importWorkspace(QStringLiteral("second"));
        const QUuid id = second.id;
        QCOMPARE(app.activeProjectID(), std::optional<QUuid>(id));
        QCOMPARE(state.sidebarSelection(), SidebarSelection::project(id));
        window.voiceCaptureController();
        ScriptedVoiceCaptureController &voice = *fixture.voice;
        auto *terminal = new FakeTerminalView(window.centralWidget());
        terminal->show();
        EmbeddedTerminalBackendResolver::shared().overrideForTesting(setup.contains(QStringLiteral("embedded"))
                ? EmbeddedTerminalBackendResolver::Backend::embeddedLibrary
                : EmbeddedTerminalBackendResolver::Backend::processFallback,
            QStringLiteral("no library"));

        if (setup.contains(QStringLiteral("transcribing")))
            voice.set(false, true);
        if (setup.contains(QStringLiteral("recording")))
            voice.set(true, false);
        if (setup.contains(QStringLiteral("preview")))
            app.setBrowserSidebarVisible(true, id);
        if (setup.contains(QStringLiteral("cli"))) {
            WorkspaceTerminalState terminalState = state.workspaceTerminalState();
            terminalState.cliVisibilityByWorkspaceID.insert(id, true);
            terminalState.ensureWorkspace(id);
            state.setWorkspaceTerminalState(terminalState);
            state.commandRunner().setInput(id, QString());
        }
        if (setup.contains(QStringLiteral("twoTabs"))) {
            WorkspaceTerminalState terminalState = state.workspaceTerminalState();
            terminalState.createTab(id, QStringLiteral("second-tab"));
            state.setWorkspaceTerminalState(terminalState);
        }
        if (setup.contains(QStringLiteral("composer")) || focus == QStringLiteral("composerTitle"))
            state.setTaskComposerContext(
                TaskComposerContext {QUuid::createUuid(), id, second.name, BL_TaskStatus::backlog});
        ShellFixture::settle();
        const WorkspaceTerminalState terminalBefore = state.workspaceTerminalState();

        QWidget *target = &window;
        if (focus == QStringLiteral("composerTitle")) {
            auto *sheet = fixture.dialog(QStringLiteral("taskComposerSheet"));
            QVERIFY(sheet);
            QVERIFY(QTest::qWaitForWindowActive(sheet));
            target = sheet->findChild<QLineEdit *>(QStringLiteral("taskComposerTitle"));
        } else if (!focus.isEmpty()) {
            target = fixture.find(focus);
        }
        QVERIFY2(target, qPrintable(focus));
        target->setFocus();
        QVERIFY(QTest::qWaitFor([&] { return focus.isEmpty() || target->hasFocus(); }, 2000));
        const QString textBefore
            = qobject_cast<QLineEdit *>(target) ? qobject_cast<QLineEdit *>(target)->text() : QString();

        QTest::keyClick(target, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
        ShellFixture::settle();

        const WorkspaceTerminalState terminalAfter = state.workspaceTerminalState();
        if (expect == QStringLiteral("dictationStarted")) {
            QCOMPARE(voice.starts, 1);
            QVERIFY(fixture.find<VoiceCaptureHUDView>(QStringLiteral("voiceCaptureHUD"))->isPresented());
            if (auto *edit = qobject_cast<QLineEdit *>(target))
                QCOMPARE(edit->text(), textBefore);
        } else if (expect == QStringLiteral("dictationNotStarted")) {
            QCOMPARE(voice.starts, 0);
        } else if (expect == QStringLiteral("pendingSubmit")) {
            QVERIFY(state.pendingVoiceEnterSubmitAfterTranscription());
        } else if (expect == QStringLiteral("noPendingSubmit")) {
            QVERIFY(!state.pendingVoiceEnterSubmitAfterTranscription());
        } else if (expect == QStringLiteral("captureCancelled")) {
            QCOMPARE(voice.cancels, 1);
            QVERIFY(state.taskComposerContext()); // the sheet stays open
            QVERIFY(!fixture.find<VoiceCaptureHUDView>(QStringLiteral("voiceCaptureHUD"))->isPresented());
        } else if (expect == QStringLiteral("composerClosed")) {
            QVERIFY(!state.taskComposerContext());
        } else if (expect == QStringLiteral("previewHidden")) {
            QVERIFY(!app.browserSidebarEnabledProjectIDs().contains(id));
        } else if (expect == QStringLiteral("previewShown")) {
            QVERIFY(app.browserSidebarEnabledProjectIDs().contains(id));
        } else if (expect == QStringLiteral("addressFocused")) {
            QVERIFY(app.browserSidebarEnabledProjectIDs().contains(id));
            QCOMPARE(state.browserAddressBarFocusTokenByProjectID().value(id), 1);
        } else if (expect == QStringLiteral("previewRefreshed")) {
            QCOMPARE(app.browserRefreshTokenByProjectID().value(id), 1);
            QVERIFY(!state.commandHistoryContext());
        } else if (expect == QStringLiteral("historyOpen")) {
            QVERIFY(state.commandHistoryContext());
            QCOMPARE(state.commandHistoryContext()->projectID, id);
            QCOMPARE(state.commandHistorySearchText(), QString());
            QCOMPARE(state.commandHistorySelectionIndex(), 0);
            QVERIFY(fixture.dialog(QStringLiteral("commandHistorySheet")));
        } else if (expect == QStringLiteral("historyClosed")) {
            QVERIFY(!state.commandHistoryContext());
        } else if (expect == QStringLiteral("cliShownAndFocused")) {
            QVERIFY(terminalAfter.isCLIVisible(id));
            QCOMPARE(
                terminalAfter.tabIDsByWorkspaceID.value(id), QStringList {WorkspaceTerminalState::defaultTabID(id)});
            QCOMPARE(state.focusedCLIProjectID(), std::optional<QUuid>(id));
            QVERIFY(QTest::qWaitFor([&] { return fixture.find(QStringLiteral("commandLineInput"))->hasFocus(); }));
        } else if (expect == QStringLiteral("cliHidden")) {
            QVERIFY(!terminalAfter.isCLIVisible(id));
            if (focus == QStringLiteral("commandLineInput"))
                QCOMPARE(state.focusedCLIProjectID(), std::nullopt);
            if (setup.contains(QStringLiteral("twoTabs")))
                QCOMPARE(terminalAfter, terminalBefore);
        } else if (expect == QStringLiteral("twoTabs")) {
            QVERIFY(terminalAfter.isCLIVisible(id));
            const QStringList tabs = terminalAfter.tabIDsByWorkspaceID.value(id);
            QCOMPARE(tabs.size(), 2);
            QCOMPARE(terminalAfter.activeTabIDByWorkspaceID.value(id), tabs.last());
            QVERIFY(UuidText::parse(tabs.last()));
            QCOMPARE(tabs.last(), tabs.last().toLower());
        } else if (expect == QStringLiteral("defaultTab")) {
            QVERIFY(terminalAfter.isCLIVisible(id));
            QCOMPARE(terminalAfter.activeTabIDByWorkspaceID.value(id), WorkspaceTerminalState::defaultTabID(id));
            QVERIFY(state.terminalEventIgnoreUntilBySessionKey.contains(
                MainWindowState::sessionKey(id, WorkspaceTerminalState::defaultTabID(id))));
        } else if (expect == QStringLiteral("sidebarHidden")) {
            QVERIFY(!window.isSidebarVisible());
        } else if (expect == QStringLiteral("firstWorkspaceActive")) {
            QCOMPARE(app.activeProjectID(), std::optional<QUuid>(first));
            QCOMPARE(state.sidebarSelection(), SidebarSelection::project(first));
        } else if (expect == QStringLiteral("terminalGotKeySidebarShown")) {
            QCOMPARE(terminal->presses, 1);
            QVERIFY(window.isSidebarVisible());
        } else if (expect == QStringLiteral("cliShownTerminalGotNothing")) {
            QCOMPARE(terminal->presses, 0);
            QVERIFY(terminalAfter.isCLIVisible(id));
        } else {
            QFAIL(qPrintable(QStringLiteral("unknown expectation ") + expect));
        }
    }

    void historySheetKeys()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        AppState &app = *fixture.appState;
        MainWindowState &state = window.state();
        const BL_Workspace w = app.projects().first();
        WorkspaceTerminalState terminal;
        terminal.cliVisibilityByWorkspaceID.insert(w.id, true);
        terminal.ensureWorkspace(w.id);
        state.setWorkspaceTerminalState(terminal);
        for (const char *command : {"echo one", "echo two", "echo three"}) {
            state.commandRunner().setInput(w.id, QLatin1String(command));
            state.commandRunner().runIntegratedCommand(w);
            QVERIFY(TestSupport::waitUntil([&] { return !state.commandRunner().isRunning(w.id); }, 20000));
        }
        QTest::keyClick(&window, Qt::Key_R, Qt::ControlModifier);
        ShellFixture::settle();
        QWidget *sheet = fixture.dialog(QStringLiteral("commandHistorySheet"));
        QVERIFY(sheet);
        QVERIFY(QTest::qWaitForWindowActive(sheet));
        auto *search = sheet->findChild<QLineEdit *>(QStringLiteral("commandHistorySearch"));
        QVERIFY(search->hasFocus());

        QTest::keyClick(search, Qt::Key_Up); // at the first row: stays
        QCOMPARE(state.commandHistorySelectionIndex(), 0);
        for (int i = 0; i < 5; ++i)
            QTest::keyClick(search, Qt::Key_Down); // clamps at the last
        QCOMPARE(state.commandHistorySelectionIndex(), 2);
        QTest::keyClicks(search, QStringLiteral("T")); // a new search moves the highlight back
        QCOMPARE(state.commandHistorySelectionIndex(), 0);
        QCOMPARE(state.commandHistorySearchText(), QStringLiteral("T"));
        QTest::keyClick(search, Qt::Key_Down); // "echo two", "echo three": second row
        QCOMPARE(state.commandHistorySelectionIndex(), 1);
        QTest::keyClick(search, Qt::Key_Return);
        ShellFixture::settle();
        QVERIFY(!state.commandHistoryContext());
        QVERIFY(!fixture.dialog(QStringLiteral("commandHistorySheet")));
        QVERIFY(TestSupport::waitUntil([&] { return !state.commandRunner().isRunning(w.id); }, 20000));
        QVERIFY(state.commandRunner().output(w.id).startsWith(QStringLiteral("$ echo two\n")));
        QCOMPARE(state.commandRunner().history(w.id).first(), QStringLiteral("echo two"));

        // With nothing matching, Return is taken and nothing runs.
        QTest::keyClick(&window, Qt::Key_R, Qt::ControlModifier);
        ShellFixture::settle();
        sheet = fixture.dialog(QStringLiteral("commandHistorySheet"));
        QVERIFY(sheet);
        search = sheet->findChild<QLineEdit *>(QStringLiteral("commandHistorySearch"));
        QCOMPARE(search->text(), QString());
        QTest::keyClicks(search, QStringLiteral("zzz"));
        QTest::keyClick(search, Qt::Key_Return);
        ShellFixture::settle();
        QVERIFY(state.commandHistoryContext());
        QVERIFY(!state.commandRunner().isRunning(w.id));
        fixture.click(sheet, QStringLiteral("commandHistoryClose"));
        QVERIFY(!state.commandHistoryContext());
    }
};

QTEST_MAIN(WindowKeysTest)
#include "tst_windowkeys.moc"
