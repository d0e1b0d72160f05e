// The board through the real main window over the real application state:
// cards, drops, the composer's keys, the task detail and the board's diff.

#include "../shell/ShellFixture.h"
#include "board/BoardColumnView.h"
#include "board/GitDiffView.h"
#include "board/KanbanBoardView.h"
#include "board/TaskBoardColumnModel.h"
#include "board/TaskCardView.h"
#include "board/TaskDetailPanel.h"
#include "board/WorkspaceBoardHost.h"
#include "common/UuidText.h"
#include "shell/TaskComposerForm.h"

#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QStandardPaths>
#include <QToolButton>

namespace {

QString text(QWidget *root, const QString &name)
{
    auto *label = root ? root->findChild<QLabel *>(name) : nullptr;
    return label ? label->text() : QString();
}

} // namespace

class BoardWindow
{
public:
    ShellFixture fixture;
    MainWindow *window = nullptr;
    AppState *app = nullptr;
    BL_Workspace workspace;
    WorkspaceBoardHost *host = nullptr;
    QStringList revealed;

    bool open()
    {
        window = &fixture.open();
        app = fixture.appState.get();
        workspace = app->projects().first();
        fixture.state().setSidebarSelection(SidebarSelection::project(workspace.id));
        ShellFixture::settle();
        host = window->findChild<WorkspaceBoardHost *>(QStringLiteral("taskBoard"));
        if (!host || !TestSupport::waitUntil([&] { return host->board() && host->board()->isVisible(); }))
            return false;
        host->setRevealHandler([this](const QString &path) { revealed << path; });
        return true;
    }

    KanbanBoardView &board() const { return *host->board(); }
    TaskBoardStore &store() const { return *app->taskStore(workspace.id); }
    BL_Task task(const QUuid &id) const { return store().task(id).value_or(BL_Task {}); }

    QUuid create(const QString &title, BL_TaskStatus status = BL_TaskStatus::backlog)
    {
        TaskCreationRequest request;
        request.projectID = workspace.id;
        request.title = title;
        request.initialStatus = status;
        app->createTask(request);
        for (const BL_Task &task : store().taskByID())
            if (task.inputData.contains(title.toUtf8()))
                return task.blID;
        return {};
    }

    TaskCardView *card(const QUuid &id) const
    {
        TaskCardView *found = nullptr;
        TestSupport::waitUntil([&] { return (found = board().card(id)) != nullptr && found->isVisible(); }, 5000);
        return found;
    }

    bool drop(const QString &payload, BL_TaskStatus target)
    {
        BoardColumnView *column = board().column(target);
        QMimeData mime;
        mime.setText(payload);
        const QPointF at(column->width() / 2.0, column->height() / 2.0);
        QDragEnterEvent enter(at.toPoint(), Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(column, &enter);
        QDropEvent event(at, Qt::MoveAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(column, &event);
        ShellFixture::settle();
        return event.isAccepted();
    }

    // The patch the checkpoint service offers for a task, recorded in its
    // artifact; the file itself is written only when `write` is set.
    QString attachPatch(const QUuid &id, bool write)
    {
        const TaskGitCheckpointService service = app->taskGitCheckpointService();
        const QString path = service.patchFilePath(workspace.id, id);
        if (write)
            TestSupport::writeFile(
                path, "diff --git a/a.txt b/a.txt\n--- a/a.txt\n+++ b/a.txt\n@@ -1 +1 @@\n-old\n+new\n");
        BL_TaskGitDiffArtifact artifact;
        artifact.state = BL_TaskGitDiffState::ready;
        artifact.diffFilePath = path;
        artifact.summary = BL_TaskGitDiffSummary {1, 1, 1};
        store().updateTask(id, [&](BL_Task &task) {
            task.metadata = BL_TaskGitDiffArtifact::encode(artifact, task.metadata);
            task.updatedAt = TimePoint::now();
        });
        ShellFixture::settle();
        return path;
    }
};

class TestBoardView : public QObject
{
    Q_OBJECT

private slots:
    void columnsCardsAndClear()
    {
        BoardWindow w;
        QVERIFY(w.open());
        QCOMPARE(
            w.board().column(BL_TaskStatus::queued)->findChild<QLabel *>(QStringLiteral("boardColumnTitle"))->text(),
            QStringLiteral("Intake (Runs automatically)"));
        const QUuid done = w.create(QStringLiteral("Finished one"));
        const QUuid failed = w.create(QStringLiteral("Broken one"));
        w.app->moveTask(done, BL_TaskStatus::completed, w.workspace.id);
        w.app->moveTask(failed, BL_TaskStatus::failed, w.workspace.id);
        ShellFixture::settle();
        BoardColumnView *doneColumn = w.board().column(BL_TaskStatus::completed);
        QCOMPARE(text(doneColumn, QStringLiteral("boardColumnCount")), QStringLiteral("2"));
        QVERIFY(w.card(done) && w.card(failed));
        QCOMPARE(doneColumn->model().taskIDs().first(), failed); // newest first
        auto *clear = doneColumn->findChild<QPushButton *>(QStringLiteral("boardClearButton"));
        QVERIFY(clear->isVisible());
        QTest::mouseClick(clear, Qt::LeftButton);
        ShellFixture::settle();
        QCOMPARE(text(doneColumn, QStringLiteral("boardColumnCount")), QStringLiteral("0"));
        QVERIFY(!clear->isVisible());
        QVERIFY(!w.board().card(done));
    }

    void droppedQueuedCardIsDelegatedGlowsAndFinishesWithAPill()
    {
        BoardWindow w;
        w.fixture.brimlock.setScenario(
            QJsonObject {{"agent", QJsonObject {{"*", QJsonObject {{"text", "working"}, {"sleep", 30}}}}}});
        QVERIFY(w.open());
        const QUuid id = w.create(QStringLiteral("Delegate me"));
        w.app->moveTask(id, BL_TaskStatus::queued, w.workspace.id);
        ShellFixture::settle();
        QVERIFY(!w.drop(QStringLiteral("not a task"), BL_TaskStatus::inProgress));
        QVERIFY(w.drop(UuidText::upper(id), BL_TaskStatus::inProgress));
        QVERIFY(w.task(id).workerState != BL_TaskWorkerState::notDelegated);
        QVERIFY(TestSupport::waitUntil([&] { return w.task(id).status == BL_TaskStatus::inProgress; }, 20000));
        TaskCardView *card = w.card(id);
        QVERIFY(card);
        QVERIFY(card->isGlowRunning());

        card->setHovered(true);
        ShellFixture::settle();
        auto *complete = card->findChild<QPushButton *>(QStringLiteral("taskCardWorkerComplete"));
        QVERIFY(complete && complete->isVisible());
        QVERIFY(!card->findChild<QPushButton *>(QStringLiteral("taskCardForceDelegate"))->isVisible());
        QTest::mouseClick(complete, Qt::LeftButton);
        QVERIFY(TestSupport::waitUntil([&] { return w.task(id).status == BL_TaskStatus::completed; }));
        w.attachPatch(id, true);
        card = w.card(id);
        QVERIFY(card);
        QCOMPARE(w.board().column(BL_TaskStatus::completed)->card(id), card);
        QVERIFY(!card->isGlowRunning());
        auto *pill = card->findChild<QPushButton *>(QStringLiteral("taskCardDiffPill"));
        QVERIFY(pill && pill->isVisible());
        QCOMPARE(pill->accessibleName(), QStringLiteral("+1 -1"));
        QTest::mouseClick(pill, Qt::LeftButton);
        QVERIFY(TestSupport::waitUntil([&] {
            return w.board().boardDiffSheet() && w.board().boardDiffSheet()->objectName() == u"boardGitDiffViewer";
        }));
    }

    void deletingARunningCardMarksItKilled()
    {
        BoardWindow w;
        QVERIFY(w.open());
        const QUuid id = w.create(QStringLiteral("Runs forever"));
        w.app->moveTask(id, BL_TaskStatus::inProgress, w.workspace.id);
        ShellFixture::settle();
        TaskCardView *card = w.card(id);
        QVERIFY(card);
        auto *remove = card->findChild<QToolButton *>(QStringLiteral("taskCardDelete"));
        QTest::mouseClick(remove, Qt::LeftButton);
        QVERIFY(w.board().cancellationRequestedTaskIDs().contains(id));
        QVERIFY(card->findChild<QLabel *>(QStringLiteral("taskCardKilled"))->isVisible());
        QVERIFY(!remove->isEnabled());
        // The cancellation ends the run; the mark goes with it.
        QVERIFY(TestSupport::waitUntil([&] { return w.task(id).status != BL_TaskStatus::inProgress; }, 20000));
        ShellFixture::settle();
        QVERIFY(!w.board().cancellationRequestedTaskIDs().contains(id));
    }

    void composerOpensWithCtrlSlashAndSubmitsOnReturn()
    {
        BoardWindow w;
        QVERIFY(w.open());
        w.window->activateWindow();
        QTest::keyClick(w.window, Qt::Key_Slash, Qt::ControlModifier);
        ShellFixture::settle();
        QVERIFY(w.fixture.state().taskComposerContext());
        QCOMPARE(w.fixture.state().taskComposerContext()->initialStatus, BL_TaskStatus::queued);
        QWidget *sheet = w.fixture.dialog(QStringLiteral("taskComposerSheet"));
        QVERIFY(sheet);
        auto *title = sheet->findChild<QLineEdit *>(QStringLiteral("taskComposerTitle"));
        auto *description = sheet->findChild<QPlainTextEdit *>(QStringLiteral("taskComposerDescription"));

        // A blank title: Return does nothing and inserts nothing.
        QTest::keyClicks(title, QStringLiteral("   "));
        QTest::keyClick(title, Qt::Key_Return);
        QVERIFY(w.fixture.state().taskComposerContext());
        description->setFocus();
        QTest::keyClick(description, Qt::Key_Return);
        QCOMPARE(description->toPlainText(), QString());

        // Alt+Return breaks the line in an editor; Return submits from it.
        title->setText(QStringLiteral("  Ship it  "));
        QTest::keyClicks(description, QStringLiteral("one"));
        QTest::keyClick(description, Qt::Key_Return, Qt::AltModifier);
        QTest::keyClicks(description, QStringLiteral("two"));
        QCOMPARE(description->toPlainText(), QStringLiteral("one\ntwo"));
        w.fixture.click(sheet, QStringLiteral("taskComposerPriorityLow"));
        QVERIFY(text(sheet, QStringLiteral("taskComposerPriorityChip")).contains(QStringLiteral("Low")));
        QTest::keyClick(description, Qt::Key_Return, Qt::ShiftModifier);
        ShellFixture::settle();
        QVERIFY(!w.fixture.state().taskComposerContext());
        QVERIFY(!w.fixture.dialog(QStringLiteral("taskComposerSheet")));
        std::optional<BL_Task> created;
        for (const BL_Task &task : w.store().taskByID())
            if (task.inputData.contains("Ship it"))
                created = task;
        QVERIFY(created);
        // Created queued (the scheduler may already have picked it up).
        bool createdQueued = false;
        for (const BL_TaskHistoryEvent &event : created->decodedHistory().value_or(QList<BL_TaskHistoryEvent> {}))
            createdQueued |= event.detail == QStringLiteral("Task created in queued via composer.");
        QVERIFY(createdQueued);
        const QJsonObject metadata = QJsonDocument::fromJson(created->metadata).object();
        QCOMPARE(metadata.value(QStringLiteral("tag")).toString(), QStringLiteral("research"));
        QCOMPARE(QJsonDocument::fromJson(created->inputData).object().value(QStringLiteral("description")).toString(),
            QStringLiteral("one\ntwo"));

        // Keypad Enter submits as Return does; Escape only cancels.
        w.board().requestCreate(BL_TaskStatus::backlog);
        sheet = w.fixture.dialog(QStringLiteral("taskComposerSheet"));
        QVERIFY(sheet);
        title = sheet->findChild<QLineEdit *>(QStringLiteral("taskComposerTitle"));
        QCOMPARE(title->text(), QString());
        QTest::keyClick(title, Qt::Key_Escape);
        ShellFixture::settle();
        QVERIFY(!w.fixture.state().taskComposerContext());
        w.board().requestCreate(BL_TaskStatus::backlog);
        sheet = w.fixture.dialog(QStringLiteral("taskComposerSheet"));
        title = sheet->findChild<QLineEdit *>(QStringLiteral("taskComposerTitle"));
        QTest::keyClicks(title, QStringLiteral("By keypad"));
        QTest::keyClick(title, Qt::Key_Enter, Qt::KeypadModifier);
        ShellFixture::settle();
        QVERIFY(!w.fixture.state().taskComposerContext());
    }

    void detailShowsTailHistoryDownloadsAndLinks()
    {
        BoardWindow w;
        QVERIFY(w.open());
        const QUuid id = w.create(QStringLiteral("Detailed"));
        w.app->moveTask(id, BL_TaskStatus::completed, w.workspace.id);
        BL_TaskConversationTurn turn;
        turn.id = QUuid::createUuid();
        turn.timestamp = TimePoint::now();
        turn.role = BL_TaskConversationRole::worker;
        turn.content = QStringLiteral("Docs at https://example.com/docs <b>bold</b>");
        w.store().updateTask(id, [&](BL_Task &task) { task.appendConversationTurn(turn); });
        w.app->taskLogWriter().appendTaskStdoutChunk(w.workspace.id, id, QStringLiteral("building\nall done\n"));
        QVERIFY(TestSupport::waitForFuture(w.app->taskLogWriter().flush()));
        ShellFixture::settle();

        TaskCardView *card = w.card(id);
        QVERIFY(card);
        QTest::mouseClick(card, Qt::LeftButton, Qt::NoModifier, QPoint(40, card->height() - 12));
        ShellFixture::settle();
        QVERIFY(w.fixture.state().isTaskDetailVisible());
        TaskDetailPanel *detail = w.board().detailPanel();
        QVERIFY(detail->isVisible());
        QVERIFY(TestSupport::waitUntil([&] { return !detail->isTailPending(); }));
        ShellFixture::settle();
        QCOMPARE(detail->conversationRows().size(), 1);
        QVERIFY(detail->conversationRows().first().content.endsWith(
            QStringLiteral("[stdout log tail]\nbuilding\nall done")));
        QCOMPARE(text(detail, QStringLiteral("taskDetailStatus")), QStringLiteral("Status: completed"));

        // The move's history, newest first.
        detail->setHistoryExpanded(true);
        QVERIFY(!detail->sortedHistory().isEmpty());
        QVERIFY(TestSupport::waitUntil([&] {
            for (QLabel *line : detail->findChildren<QLabel *>(QStringLiteral("taskDetailHistoryLine")))
                if (line->text().contains(QStringLiteral("taskMoved")))
                    return true;
            return false;
        }));

        // Download twice: the second replaces the first.
        QVERIFY(detail->stdoutLogExists());
        detail->downloadStdoutLog();
        QVERIFY(TestSupport::waitUntil([&] { return !detail->isDownloading(); }));
        const QString target = QStandardPaths::writableLocation(QStandardPaths::DownloadLocation) + u'/'
            + UuidText::lower(id) + QStringLiteral(".stdout.log");
        QCOMPARE(detail->stdoutDownloadMessage().value_or(QString()), QStringLiteral("Saved to ") + target);
        w.app->taskLogWriter().appendTaskStdoutChunk(w.workspace.id, id, QStringLiteral("more\n"));
        QVERIFY(TestSupport::waitForFuture(w.app->taskLogWriter().flush()));
        detail->downloadStdoutLog();
        QVERIFY(TestSupport::waitUntil([&] { return !detail->isDownloading(); }));
        QFile copy(target);
        QVERIFY(copy.open(QIODevice::ReadOnly));
        QCOMPARE(copy.readAll(), QByteArray("building\nall done\nmore\n"));
        QCOMPARE(w.revealed, (QStringList {target, target}));
        copy.close();
        QVERIFY(QFile::remove(target));
        QVERIFY(QDir().mkpath(target)); // a folder in the way
        detail->downloadStdoutLog();
        QVERIFY(TestSupport::waitUntil([&] { return !detail->isDownloading(); }));
        QVERIFY(detail->stdoutDownloadMessage().value_or(QString()).startsWith(QStringLiteral("Download failed: ")));
        detail->revealStdoutLog();
        QCOMPARE(w.revealed.size(), 3);

        // A status change alone updates the state row without a refresh.
        // The task's own background work (its run's history) lands first,
        // later on a loaded machine.
        int refreshes = detail->refreshCount();
        for (int settled = 0; settled < 3; refreshes = detail->refreshCount()) {
            QTest::qWait(150);
            settled = detail->refreshCount() == refreshes ? settled + 1 : 0;
        }
        w.store().updateTask(id, [](BL_Task &task) { task.status = BL_TaskStatus::failed; });
        ShellFixture::settle();
        QCOMPARE(text(detail, QStringLiteral("taskDetailStatus")), QStringLiteral("Status: failed"));
        QCOMPARE(detail->refreshCount(), refreshes);

        // The link: escaped markup around it, the preview gets its address
        // and the detail closes.
        auto *bubble = detail->findChild<QLabel *>(QStringLiteral("taskDetailBubbleText"));
        QVERIFY(bubble);
        QVERIFY(bubble->text().contains(QStringLiteral("&lt;b&gt;bold&lt;/b&gt;")));
        QVERIFY(bubble->text().contains(QStringLiteral("href=\"https://example.com/docs\"")));
        emit bubble->linkActivated(QStringLiteral("https://example.com/docs"));
        ShellFixture::settle();
        QCOMPARE(w.app->browserURL(w.workspace.id), QStringLiteral("https://example.com/docs"));
        QVERIFY(w.app->browserSidebarEnabledProjectIDs().contains(w.workspace.id));
        QVERIFY(!w.board().selection());
        QVERIFY(!w.fixture.state().isTaskDetailVisible());
    }

    void deletedTaskShowsNotFound()
    {
        BoardWindow w;
        QVERIFY(w.open());
        const QUuid id = w.create(QStringLiteral("Short lived"));
        w.board().openDetailsFromCard(id);
        ShellFixture::settle();
        w.app->deleteTask(id, w.workspace.id);
        ShellFixture::settle();
        QVERIFY(w.board().detailPanel()->findChild<QWidget *>(QStringLiteral("taskDetailNotFound"))->isVisible());
        QTest::keyClick(w.window, Qt::Key_Escape);
        ShellFixture::settle();
        QVERIFY(!w.board().selection());
    }

    void boardDiffRetriesOnceAfterTheDelay()
    {
        BoardWindow w;
        QVERIFY(w.open());
        const QUuid late = w.create(QStringLiteral("Late patch"));
        w.app->moveTask(late, BL_TaskStatus::completed, w.workspace.id);
        const QString path = w.attachPatch(late, false);
        w.board().openBoardGitDiff(late);
        QTest::qWait(100);
        QVERIFY(!w.board().boardDiffSheet());
        TestSupport::writeFile(path, "diff --git a/a b/a\n--- a/a\n+++ b/a\n@@ -1 +1 @@\n-x\n+y\n");
        QVERIFY(TestSupport::waitUntil([&] {
            return w.board().boardDiffSheet() && w.board().boardDiffSheet()->objectName() == u"boardGitDiffViewer";
        }));
        w.board().boardDiffSheet()->close();
        ShellFixture::settle();

        const QUuid never = w.create(QStringLiteral("No patch"));
        w.board().openBoardGitDiff(never);
        QVERIFY(TestSupport::waitUntil([&] {
            return w.board().boardDiffSheet() && w.board().boardDiffSheet()->objectName() == u"boardGitDiffMessage";
        }));
        QCOMPARE(w.board().boardGitDiffErrorMessage().value_or(QString()),
            QStringLiteral("No git diff patch file found for this task."));
    }
};

QTEST_MAIN(TestBoardView)
#include "tst_boardview.moc"
