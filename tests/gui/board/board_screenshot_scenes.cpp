// Puts the real main window's board into one of its states for a screenshot:
//   board_screenshot_scenes <scene>
// with scene one of: board, composer, detail, viewer, deleted, nopatch.
// Prints "ready" once the scene is on screen and runs until killed. Run under
// xvfb-run with a temporary HOME (docs/screenshots/take-board-screenshots).
#include "../shell/ShellFixture.h"
#include "board/GitDiffView.h"
#include "board/KanbanBoardView.h"
#include "board/TaskBoardColumnModel.h"
#include "board/TaskCardView.h"
#include "board/TaskDetailPanel.h"
#include "board/TaskGitDiffSection.h"
#include "board/WorkspaceBoardHost.h"
#include "shell/WindowSetup.h"

#include <QTimer>
#include <cstdio>

namespace {

struct Scene
{
    AppState &app;
    BL_Workspace workspace;

    TaskBoardStore &store() const { return *app.taskStore(workspace.id); }

    QUuid create(const QString &title, BL_TaskStatus status, const QString &priority = QStringLiteral("medium"))
    {
        TaskCreationRequest request;
        request.projectID = workspace.id;
        request.title = title;
        request.priority = priority;
        request.initialStatus = BL_TaskStatus::backlog;
        app.createTask(request);
        QUuid id;
        for (const BL_Task &task : store().taskByID())
            if (task.inputData.contains(title.toUtf8()))
                id = task.blID;
        if (status != BL_TaskStatus::backlog)
            app.moveTask(id, status, workspace.id);
        return id;
    }

    void patch(const QUuid &id, int added, int removed)
    {
        const TaskGitCheckpointService service = app.taskGitCheckpointService();
        const QString path = service.patchFilePath(workspace.id, id);
        TestSupport::writeFile(path,
            "diff --git a/src/pricing.ts b/src/pricing.ts\n--- a/src/pricing.ts\n+++ b/src/pricing.ts\n"
            "@@ -1,4 +1,6 @@\n export const plans = [\n-  { name: 'Basic', price: 9 },\n"
            "+  { name: 'Basic', price: 9, seats: 1 },\n+  { name: 'Team', price: 29, seats: 5 },\n"
            "+  { name: 'Business', price: 99, seats: 25 },\n ];\n");
        BL_TaskGitDiffArtifact artifact;
        artifact.state = BL_TaskGitDiffState::ready;
        artifact.diffFilePath = path;
        artifact.summary = BL_TaskGitDiffSummary {added, removed, 1};
        artifact.isExact = true;
        store().updateTask(id, [&](BL_Task &task) {
            task.metadata = BL_TaskGitDiffArtifact::encode(artifact, task.metadata);
            task.updatedAt = TimePoint::now();
        });
    }

    void converse(const QUuid &id)
    {
        const TimePoint start = TimePoint::now().addSeconds(-300);
        const QList<std::pair<BL_TaskConversationRole, QString>> turns {
            {BL_TaskConversationRole::manager, QStringLiteral("Add a pricing comparison table to the landing page.")},
            {BL_TaskConversationRole::worker,
                QStringLiteral(
                    "Looking at the page layout first. The design notes are at https://example.com/design.")},
            {BL_TaskConversationRole::tool, QStringLiteral("$ npm test\n14 passing")},
            {BL_TaskConversationRole::system, QStringLiteral("Worker finished; checkpoint captured.")},
        };
        int i = 0;
        store().updateTask(id, [&](BL_Task &task) {
            for (const auto &[role, content] : turns) {
                BL_TaskConversationTurn turn;
                turn.id = QUuid::createUuid();
                turn.timestamp = start.addSeconds(60 * i++);
                turn.role = role;
                turn.content = content;
                task.appendConversationTurn(turn);
            }
        });
        app.taskLogWriter().appendTaskStdoutChunk(workspace.id, id,
            QStringLiteral("> build\nvite v5 building for production...\n✓ 42 modules transformed.\ndone in 1.8s\n"));
        TestSupport::waitForFuture(app.taskLogWriter().flush());
    }
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QString sceneName = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("board");
    ShellFixture fixture;
    MainWindow &window = fixture.open();
    WindowSetup::enlargeInitialWindow(window);
    AppState &app = *fixture.appState;
    const BL_Workspace workspace = app.projects().first();
    fixture.state().setSidebarSelection(SidebarSelection::project(workspace.id));
    ShellFixture::settle();
    auto *host = window.findChild<WorkspaceBoardHost *>(QStringLiteral("taskBoard"));
    TestSupport::waitUntil([&] { return host->board() != nullptr; });
    host->setRevealHandler([](const QString &) {});
    KanbanBoardView &board = *host->board();
    Scene scene {app, workspace};

    scene.create(QStringLiteral("Write release notes for 2.4"), BL_TaskStatus::backlog, QStringLiteral("low"));
    scene.create(
        QStringLiteral("Audit the sign-in flow for token leaks"), BL_TaskStatus::backlog, QStringLiteral("high"));
    const QUuid queued = scene.create(QStringLiteral("Add pricing comparison table"), BL_TaskStatus::backlog);
    // Queued on the board without waking the scheduler, so it stays there.
    scene.store().updateTask(queued, [](BL_Task &task) {
        task.status = BL_TaskStatus::queued;
        task.updatedAt = TimePoint::now();
    });
    const QUuid running
        = scene.create(QStringLiteral("Migrate settings storage to the new schema"), BL_TaskStatus::inProgress);
    const QUuid killed = scene.create(
        QStringLiteral("Profile the slow dashboard query"), BL_TaskStatus::inProgress, QStringLiteral("high"));
    const QUuid failed = scene.create(QStringLiteral("Upgrade the bundler"), BL_TaskStatus::failed);
    const QUuid done
        = scene.create(QStringLiteral("Fix the flaky checkout test"), BL_TaskStatus::completed, QStringLiteral("low"));
    scene.patch(done, 24, 7);
    scene.patch(failed, 3, 12);
    scene.converse(done);
    ShellFixture::settle();
    Q_UNUSED(killed);

    if (sceneName == QStringLiteral("board")) {
        // A run gone quiet for 20 minutes shows its last activity in red.
        scene.store().updateTask(
            running, [](BL_Task &task) { task.taskLastActivityDate = TimePoint::now().addSeconds(-1200); });
        ShellFixture::settle();
        if (TaskCardView *card = board.card(running))
            card->setHovered(true);
    } else if (sceneName == QStringLiteral("composer")) {
        board.requestCreate(BL_TaskStatus::queued);
    } else if (sceneName == QStringLiteral("detail") || sceneName == QStringLiteral("viewer")) {
        board.openDetailsFromCard(done);
        ShellFixture::settle();
        TestSupport::waitUntil([&] { return !board.detailPanel()->isTailPending(); });
        board.detailPanel()->setHistoryExpanded(true);
        if (sceneName == QStringLiteral("viewer"))
            board.detailPanel()->gitDiffSection()->openGitDiffViewer();
    } else if (sceneName == QStringLiteral("deleted")) {
        board.openDetailsFromCard(failed);
        ShellFixture::settle();
        app.deleteTask(failed, workspace.id);
    } else if (sceneName == QStringLiteral("nopatch")) {
        board.openBoardGitDiff(running);
    }
    ShellFixture::settle();
    QTimer::singleShot(900, [] {
        std::printf("ready\n");
        std::fflush(stdout);
    });
    return application.exec();
}
