// Puts the real main window into one of its presentations for a screenshot:
//   shell_screenshot_scenes <scene>
// with scene one of: workspace, history, error, delete, team, composer, overlay.
// Prints "ready" once the scene is on screen and runs until killed. Run under
// xvfb-run with a temporary HOME (docs/screenshots/take-shell-screenshots).
#include "ShellFixture.h"
#include "shell/WindowSetup.h"

#include <QTimer>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QString scene = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("workspace");
    ShellFixture fixture;
    MainWindow &window = fixture.open();
    WindowSetup::enlargeInitialWindow(window);
    AppState &app = *fixture.appState;
    MainWindowState &state = window.state();
    const BL_Workspace playground = app.projects().first();
    const BL_Workspace web = fixture.importWorkspace(QStringLiteral("web-shop"));

    // A visible command line with a little history in the shown workspace.
    WorkspaceTerminalState terminal = state.workspaceTerminalState();
    terminal.cliVisibilityByWorkspaceID.insert(web.id, true);
    terminal.ensureWorkspace(web.id);
    state.setWorkspaceTerminalState(terminal);
    for (const char *command : {"git status --short", "ls -la", "echo 'Hello from the command line'"}) {
        state.commandRunner().setInput(web.id, QLatin1String(command));
        state.commandRunner().runIntegratedCommand(web);
        TestSupport::waitUntil([&] { return !state.commandRunner().isRunning(web.id); }, 20000);
    }
    ShellFixture::settle();

    if (scene == QStringLiteral("history")) {
        state.setCommandHistorySelectionIndex(0);
        state.setCommandHistoryContext(CommandHistoryContext {QUuid::createUuid(), web.id});
        state.setCommandHistorySelectionIndex(1);
    } else if (scene == QStringLiteral("error")) {
        app.setLastErrorMessage(QStringLiteral("Unable to add workspace: The folder could not be read."));
    } else if (scene == QStringLiteral("delete")) {
        state.setPendingDeleteProject(web);
    } else if (scene == QStringLiteral("team")) {
        state.setCreateTeamNameDraft(QStringLiteral("Platform"));
        state.setCreateTeamPromptVisible(true);
    } else if (scene == QStringLiteral("composer")) {
        state.setTaskComposerContext(
            TaskComposerContext {QUuid::createUuid(), web.id, web.name, BL_TaskStatus::backlog});
    } else if (scene == QStringLiteral("overlay")) {
        window.voiceCaptureController();
        fixture.voice->level = 0.55;
        fixture.voice->set(true, false);
    } else if (scene == QStringLiteral("fresh")) {
        state.setSidebarSelection(SidebarSelection::project(playground.id));
    }
    ShellFixture::settle();
    QTimer::singleShot(700, [] {
        std::printf("ready\n");
        std::fflush(stdout);
    });
    return application.exec();
}
