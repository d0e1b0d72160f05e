#include "ShellFixture.h"
#include "shell/AlertDialog.h"

#include <QComboBox>
#include <QJsonDocument>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QtTest>

namespace {

std::optional<BL_Task> taskTitled(AppState &app, const QUuid &workspace, const QString &title)
{
    const TaskBoardStore *store = app.taskStore(workspace);
    if (!store)
        return std::nullopt;
    for (const BL_Task &task : store->taskByID())
        if (QJsonDocument::fromJson(task.inputData).object().value(QStringLiteral("title")).toString() == title)
            return task;
    return std::nullopt;
}

} // namespace

// The window's sheets, alerts and dictation overlay.
class WindowSheetsTest : public QObject
{
    Q_OBJECT

private slots:
    void errorAlertShowsTheCurrentMessageUntilOK()
    {
        ShellFixture fixture;
        fixture.open();
        AppState &app = *fixture.appState;
        app.setLastErrorMessage(QStringLiteral("first"));
        auto *alert = qobject_cast<AlertDialog *>(fixture.dialog(QStringLiteral("workspaceErrorAlert")));
        QVERIFY(alert);
        QCOMPARE(alert->windowModality(), Qt::WindowModal);
        QCOMPARE(alert->windowTitle(), QStringLiteral("Workspace Error"));
        QCOMPARE(alert->message(), QStringLiteral("first"));
        app.setLastErrorMessage(QStringLiteral("second"));
        QCOMPARE(alert->message(), QStringLiteral("second"));
        fixture.click(alert, QStringLiteral("alertOKButton"));
        QCOMPARE(app.lastErrorMessage(), std::nullopt);
        QVERIFY(!fixture.dialog(QStringLiteral("workspaceErrorAlert")));
        // Dismissing clears it too; an empty message reads "Unknown error".
        app.setLastErrorMessage(QString());
        alert = qobject_cast<AlertDialog *>(fixture.dialog(QStringLiteral("workspaceErrorAlert")));
        QCOMPARE(alert->message(), QStringLiteral("Unknown error"));
        QTest::keyClick(alert, Qt::Key_Escape);
        ShellFixture::settle();
        QCOMPARE(app.lastErrorMessage(), std::nullopt);
    }

    void newTeamAlert_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("created");
        QTest::newRow("trimmed name") << "  Ops  "
                                      << "alertCreateButton"
                                      << "Ops";
        QTest::newRow("blank asks for the default") << "   "
                                                    << "alertCreateButton"
                                                    << "Team 2";
        QTest::newRow("cancel creates nothing") << "Ops"
                                                << "alertCancelButton"
                                                << "";
    }

    void newTeamAlert()
    {
        QFETCH(QString, typed);
        QFETCH(QString, button);
        QFETCH(QString, created);
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        AppState &app = *fixture.appState;
        const qsizetype teamsBefore = app.teams().size();
        QCOMPARE(teamsBefore, 1); // "Personal"
        window.state().setCreateTeamPromptVisible(true);
        auto *alert = qobject_cast<AlertDialog *>(fixture.dialog(QStringLiteral("newTeamAlert")));
        QVERIFY(alert);
        QCOMPARE(alert->message(), QStringLiteral("Choose a team name"));
        auto *field = alert->findChild<QLineEdit *>(QStringLiteral("alertTextField"));
        QCOMPARE(field->placeholderText(), QStringLiteral("Team name"));
        QStringList order;
        for (QPushButton *b : alert->findChildren<QPushButton *>())
            order << b->text();
        QCOMPARE(order, (QStringList {"Create", "Cancel"}));
        QTest::keyClicks(field, typed);
        QCOMPARE(window.state().createTeamNameDraft(), typed);
        fixture.click(alert, button);
        QVERIFY(!window.state().isCreateTeamPromptVisible());
        QCOMPARE(window.state().createTeamNameDraft(), QString());
        QStringList names;
        for (const BL_Team &team : app.teams())
            names << team.name;
        if (created.isEmpty()) {
            QCOMPARE(app.teams().size(), teamsBefore);
        } else {
            QCOMPARE(app.teams().size(), teamsBefore + 1);
            QVERIFY2(names.contains(created), qPrintable(names.join(u',')));
        }
    }

    void composerCreatesInTheWorkspaceItNames()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        AppState &app = *fixture.appState;
        const BL_Workspace playground = app.projects().first();
        const BL_Workspace second = fixture.importWorkspace(QStringLiteral("second"));
        QCOMPARE(app.activeProjectID(), std::optional<QUuid>(second.id));
        window.state().setTaskComposerContext(
            TaskComposerContext {QUuid::createUuid(), playground.id, playground.name, BL_TaskStatus::queued});
        QWidget *sheet = fixture.dialog(QStringLiteral("taskComposerSheet"));
        QVERIFY(sheet);
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QCOMPARE(sheet->findChild<QLabel *>(QStringLiteral("taskComposerProjectName"))->text(), playground.name);
        auto *create = sheet->findChild<QPushButton *>(QStringLiteral("taskComposerCreate"));
        QVERIFY(!create->isEnabled()); // no title yet
        QTest::keyClicks(sheet->findChild<QLineEdit *>(QStringLiteral("taskComposerTitle")), QStringLiteral("Fix it"));
        QVERIFY(create->isEnabled());
        fixture.click(sheet, QStringLiteral("taskComposerCreate"));
        QVERIFY(!window.state().taskComposerContext());
        QVERIFY(!fixture.dialog(QStringLiteral("taskComposerSheet")));
        // The named workspace has a board, so the task goes there, not to the active one.
        const auto task = taskTitled(app, playground.id, QStringLiteral("Fix it"));
        QVERIFY(task);
        QVERIFY(!taskTitled(app, second.id, QStringLiteral("Fix it")));
        const QJsonObject metadata = QJsonDocument::fromJson(task->metadata).object();
        QCOMPARE(metadata.value(QStringLiteral("priority")).toString(), QStringLiteral("medium"));
        QCOMPARE(metadata.value(QStringLiteral("size_estimate")).toString(), QStringLiteral("M"));
    }

    void composerForAWorkspaceWithoutBoardUsesTheActiveOne()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        AppState &app = *fixture.appState;
        const QUuid active = *app.activeProjectID();
        window.state().setTaskComposerContext(TaskComposerContext {
            QUuid::createUuid(), QUuid::createUuid(), QStringLiteral("Gone"), BL_TaskStatus::backlog});
        QWidget *sheet = fixture.dialog(QStringLiteral("taskComposerSheet"));
        QVERIFY(sheet);
        QTest::keyClicks(sheet->findChild<QLineEdit *>(QStringLiteral("taskComposerTitle")), QStringLiteral("Orphan"));
        fixture.click(sheet, QStringLiteral("taskComposerPriorityHigh"));
        fixture.click(sheet, QStringLiteral("taskComposerSizeL"));
        fixture.click(sheet, QStringLiteral("taskComposerCreate"));
        const auto task = taskTitled(app, active, QStringLiteral("Orphan"));
        QVERIFY(task);
        const QJsonObject metadata = QJsonDocument::fromJson(task->metadata).object();
        QCOMPARE(metadata.value(QStringLiteral("priority")).toString(), QStringLiteral("high"));
        QCOMPARE(metadata.value(QStringLiteral("size_estimate")).toString(), QStringLiteral("L"));

        // A new request opens the sheet afresh; Cancel closes it.
        window.state().setTaskComposerContext(
            TaskComposerContext {QUuid::createUuid(), active, QStringLiteral("x"), BL_TaskStatus::backlog});
        sheet = fixture.dialog(QStringLiteral("taskComposerSheet"));
        QVERIFY(sheet);
        QCOMPARE(sheet->findChild<QLineEdit *>(QStringLiteral("taskComposerTitle"))->text(), QString());
        fixture.click(sheet, QStringLiteral("taskComposerCancel"));
        QVERIFY(!window.state().taskComposerContext());
    }

    void historySheetListsSearchesAndRunsOnDoubleClick()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        MainWindowState &state = window.state();
        const BL_Workspace w = fixture.appState->projects().first();
        FallbackCommandRunner &runner = state.commandRunner();
        for (const char *command : {"echo Alpha", "echo beta", "echo alphabet"}) {
            runner.setInput(w.id, QLatin1String(command));
            runner.runIntegratedCommand(w);
            QVERIFY(TestSupport::waitUntil([&] { return !runner.isRunning(w.id); }, 20000));
        }
        state.setCommandHistoryContext(CommandHistoryContext {QUuid::createUuid(), w.id});
        QWidget *sheet = fixture.dialog(QStringLiteral("commandHistorySheet"));
        QVERIFY(sheet);
        QCOMPARE(sheet->minimumSize(), QSize(520, 360));
        auto *list = sheet->findChild<QListWidget *>(QStringLiteral("commandHistoryList"));
        auto rows = [&] {
            QStringList texts;
            for (int i = 0; i < list->count(); ++i)
                texts << list->item(i)->text();
            return texts;
        };
        QCOMPARE(rows(), (QStringList {"echo alphabet", "echo beta", "echo Alpha"}));
        QTest::keyClicks(
            sheet->findChild<QLineEdit *>(QStringLiteral("commandHistorySearch")), QStringLiteral(" ALPHA "));
        QCOMPARE(rows(), (QStringList {"echo alphabet", "echo Alpha"}));
        // A single click highlights; a double click runs once and closes.
        const QRect second = list->visualItemRect(list->item(1));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, second.center());
        QCOMPARE(state.commandHistorySelectionIndex(), 1);
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, second.center());
        ShellFixture::settle();
        QVERIFY(!state.commandHistoryContext());
        QVERIFY(TestSupport::waitUntil([&] { return !runner.isRunning(w.id); }, 20000));
        QVERIFY(runner.output(w.id).startsWith(QStringLiteral("$ echo Alpha\nAlpha")));
        QCOMPARE(runner.history(w.id).first(), QStringLiteral("echo Alpha"));
        QCOMPARE(runner.history(w.id).count(QStringLiteral("echo Alpha")), 1);
    }

    void commandLinePanelRunsOnReturnAndKeepsFocus()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        MainWindowState &state = window.state();
        const BL_Workspace w = fixture.appState->projects().first();
        window.toggleActiveWorkspaceCLIVisibilityWithFocus();
        auto *input = fixture.find<QLineEdit>(QStringLiteral("commandLineInput"));
        QVERIFY(input->isVisible());
        QVERIFY(QTest::qWaitFor([&] { return input->hasFocus(); }));
        QCOMPARE(state.focusedCLIProjectID(), std::optional<QUuid>(w.id));
        QTest::keyClicks(input, QStringLiteral("printf 'hi\\n'"));
        QCOMPARE(state.commandRunner().input(w.id), QStringLiteral("printf 'hi\\n'"));
        QTest::keyClick(input, Qt::Key_Return);
        QVERIFY(TestSupport::waitUntil([&] { return !state.commandRunner().isRunning(w.id); }, 20000));
        ShellFixture::settle();
        auto *output = fixture.find<QPlainTextEdit>(QStringLiteral("commandLineOutput"));
        QCOMPARE(output->toPlainText(), QStringLiteral("$ printf 'hi\\n'\nhi\n\n\n[exit 0]"));
        QCOMPARE(input->text(), QString());
        // The input has the focus again after the run.
        QVERIFY(input->hasFocus());
        // Focus leaving the input clears the focus value; hiding the panel too.
        fixture.find(QStringLiteral("commandLineOutput"))->setFocus();
        QCOMPARE(state.focusedCLIProjectID(), std::nullopt);
        input->setFocus();
        QCOMPARE(state.focusedCLIProjectID(), std::optional<QUuid>(w.id));
        window.toggleActiveWorkspaceCLIVisibilityWithFocus();
        QCOMPARE(state.focusedCLIProjectID(), std::nullopt);
        QVERIFY(!input->hasFocus());
    }

    void dictationToggleAndOverlay()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        window.voiceCaptureController();
        ScriptedVoiceCaptureController &voice = *fixture.voice;
        QList<QString> routed;
        window.onVoiceTranscription = [&](const ParakeetTranscription &t) { routed << t.text; };
        auto *hud = fixture.find<VoiceCaptureHUDView>(QStringLiteral("voiceCaptureHUD"));
        QVERIFY(!hud->isVisible() && !hud->isPresented());

        QTest::keyClick(&window, Qt::Key_Space, Qt::AltModifier);
        ShellFixture::settle();
        QCOMPARE(voice.starts, 1);
        QVERIFY(hud->isVisible() && hud->isPresented());
        // Centred at the bottom, 18 above the edge.
        QVERIFY(qAbs(hud->geometry().center().x() - window.centralWidget()->width() / 2) <= 1);
        QCOMPARE(hud->geometry().bottom() + 1, window.centralWidget()->height() - 18);

        voice.answers.append(ParakeetVoiceCaptureResult::done({QStringLiteral("add a test"), QStringLiteral("x")}));
        QTest::keyClick(&window, Qt::Key_Space, Qt::AltModifier);
        ShellFixture::settle();
        QCOMPARE(voice.stops, 1);
        QCOMPARE(routed, QList<QString> {QStringLiteral("add a test")});
        QVERIFY(!hud->isPresented());
        QVERIFY(QTest::qWaitFor([&] { return !hud->isVisible(); }, 2000)); // after fading out

        // A failed start: the message in the error alert, and a beep.
        voice.answers.append(ParakeetVoiceCaptureResult::failure(QStringLiteral("No microphone.")));
        window.state().setPendingVoiceEnterSubmitAfterTranscription(true);
        QTest::keyClick(&window, Qt::Key_Space, Qt::AltModifier);
        ShellFixture::settle();
        QCOMPARE(fixture.appState->lastErrorMessage(), std::optional<QString>(QStringLiteral("No microphone.")));
        QCOMPARE(fixture.beeps, 1);
        QVERIFY(!window.state().pendingVoiceEnterSubmitAfterTranscription());
        QVERIFY(fixture.dialog(QStringLiteral("workspaceErrorAlert")));
    }

    void unavailableDictationSaysSo()
    {
        ShellFixture fixture;
        fixture.makeState();
        MainWindowOptions options;
        options.grabGlobalVoiceHotkey = false;
        int beeps = 0;
        options.beep = [&] { ++beeps; };
        MainWindow window(*fixture.appState, options);
        window.show();
        QVERIFY(TestSupport::waitUntil([&] { return window.isStartupFinished(); }, 30000));
        auto toggling = window.handleVoiceHotkeyToggle();
        ShellFixture::settle();
        QCOMPARE(fixture.appState->lastErrorMessage(),
            std::optional<QString>(UnavailableVoiceCaptureController::unavailableMessage));
        QCOMPARE(beeps, 1);
    }
};

QTEST_MAIN(WindowSheetsTest)
#include "tst_windowsheets.moc"
