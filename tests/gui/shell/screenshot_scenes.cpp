// Puts the real main window into one of its presentations for a screenshot:
//   shell_screenshot_scenes <scene>
// with scene one of: workspace, history, error, delete, team, composer, overlay,
// fresh, sidebar, teams-collapsed, client-node, preview, expanded, empty,
// widget-page, picker.
// Prints "ready" once the scene is on screen and runs until killed. Run under
// xvfb-run with a temporary HOME (docs/screenshots/take-shell-screenshots).
#include "ShellFixture.h"
#include "shell/SidebarColumn.h"
#include "shell/WindowSetup.h"
#include "terminal/EmbeddedTerminalBackendResolver.h"

#include <QFileDialog>

#include <QTimer>
#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QString scene = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("workspace");
    ShellFixture fixture;
    if (scene == QStringLiteral("client-node"))
        fixture.defaults.setValue(QStringLiteral("tessaron.nodeType.v1"), QStringLiteral("clientNode"));
    if (scene == QStringLiteral("expanded"))
        EmbeddedTerminalBackendResolver::shared().overrideForTesting(
            EmbeddedTerminalBackendResolver::Backend::embeddedLibrary);
    MainWindow &window = fixture.open();
    WindowSetup::enlargeInitialWindow(window);
    AppState &app = *fixture.appState;
    MainWindowState &state = window.state();
    if (scene == QStringLiteral("client-node")) {
        app.setCurrentNodeType(BL_NodeType::mainNode);
        fixture.importWorkspace(QStringLiteral("mirrored-board"));
        app.setCurrentNodeType(BL_NodeType::clientNode);
        ShellFixture::settle();
        QTimer::singleShot(700, [] {
            std::printf("ready\n");
            std::fflush(stdout);
        });
        return application.exec();
    }
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
    } else if (scene == QStringLiteral("sidebar")) {
        // A failed health check and a command still running in a workspace.
        bool applied = false;
        QList<HealthCheckResult> results;
        results << HealthCheckResult::make(
            QStringLiteral("brimlock"), HealthCheckResult::Status::success, QStringLiteral("brimlock"), QString());
        results << HealthCheckResult::make(
            QStringLiteral("git"), HealthCheckResult::Status::failed, QStringLiteral("git"), QString());
        auto apply = [](AppState &state, QList<HealthCheckResult> list, bool *done) -> QCoro::Task<> {
            co_await state.applyHealthSnapshot(list, std::nullopt, QStringLiteral("screenshot"));
            *done = true;
        };
        TestSupport::waitUntil(
            [&] { return app.hasPrefetchedSidebarData() && !app.isRefreshingHealthSnapshot(); }, 10000);
        auto applying = apply(app, results, &applied);
        TestSupport::waitUntil([&] { return applied; }, 5000);
        state.commandRunner().setInput(playground.id, QStringLiteral("sleep 60"));
        state.commandRunner().runIntegratedCommand(playground);
        app.createTeam(QStringLiteral("Platform"));
    } else if (scene == QStringLiteral("teams-collapsed")) {
        state.isTeamsSectionExpanded = false;
        window.sidebarColumn()->refresh();
    } else if (scene == QStringLiteral("preview")) {
        app.setBrowserSidebarVisible(true, web.id);
    } else if (scene == QStringLiteral("expanded")) {
        WorkspaceTerminalState expanded = state.workspaceTerminalState();
        expanded.cliExpandedByWorkspaceID.insert(web.id, true);
        state.setWorkspaceTerminalState(expanded);
    } else if (scene == QStringLiteral("empty")) {
        state.setSidebarSelection(SidebarSelection::project(QUuid::createUuid()));
    } else if (scene == QStringLiteral("widget-page")) {
        state.setSidebarSelection(SidebarSelection::page(SidebarSelection::Kind::health));
    } else if (scene == QStringLiteral("picker")) {
        const auto root = app.managedWorkspaceRootDirectoryURL();
        QFileDialog *picker = MainWindow::makeWorkspaceDirectoryDialog(
            WorkspacePickerMode::initializeNew, root ? std::optional<QString>(*root) : std::nullopt, &window);
        picker->setWindowModality(Qt::WindowModal);
        picker->show();
    }
    ShellFixture::settle();
    QTimer::singleShot(700, [] {
        std::printf("ready\n");
        std::fflush(stdout);
    });
    return application.exec();
}
