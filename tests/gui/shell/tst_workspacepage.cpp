#include "SidebarDriver.h"
#include "board/TaskBoardStore.h"
#include "browser/ProjectBrowserSidebarView.h"
#include "shell/CommandLinePanel.h"
#include "shell/WorkerCapacityDiagram.h"
#include "shell/WorkspacePage.h"
#include "state/AppSettings.h"
#include "terminal/EmbeddedTerminalBackendResolver.h"
#include "terminal/EmbeddedTerminalPanel.h"

#include <QClipboard>
#include <QElapsedTimer>
#include <QGraphicsBlurEffect>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>

using Kind = SidebarSelection::Kind;
using Backend = EmbeddedTerminalBackendResolver::Backend;

namespace {

void setTerminal(MainWindowState &state, const QUuid &id, bool visible, bool expanded)
{
    WorkspaceTerminalState terminal = state.workspaceTerminalState();
    terminal.cliVisibilityByWorkspaceID.insert(id, visible);
    terminal.cliExpandedByWorkspaceID.insert(id, expanded);
    terminal.ensureWorkspace(id);
    state.setWorkspaceTerminalState(terminal);
    ShellFixture::settle();
}

double blurOf(QWidget *widget)
{
    auto *blur = qobject_cast<QGraphicsBlurEffect *>(widget->graphicsEffect());
    return blur ? blur->blurRadius() : 0;
}

bool shown(ShellFixture &fixture, const char *name)
{
    QWidget *widget = fixture.find(QLatin1String(name));
    return widget && widget->isVisible();
}

} // namespace

class TestWorkspacePage final : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { EmbeddedTerminalBackendResolver::shared().overrideForTesting(Backend::processFallback, "test"); }

    void routing_data()
    {
        QTest::addColumn<bool>("clientNode");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("page");
        QTest::newRow("getting started") << false << int(Kind::gettingStarted) << "gettingStartedPage";
        QTest::newRow("health") << false << int(Kind::health) << "healthPage";
        QTest::newRow("settings") << false << int(Kind::settings) << "nodeSettingsPage";
        QTest::newRow("models") << false << int(Kind::models) << "modelsPage";
        QTest::newRow("agents") << false << int(Kind::agents) << "agentsPage";
        QTest::newRow("config") << false << int(Kind::brimlockConfig) << "brimlockConfigPage";
        QTest::newRow("analytics") << false << int(Kind::analytics) << "analyticsPage";
        QTest::newRow("settings on a client node") << true << int(Kind::settings) << "nodeSettingsPage";
    }

    void routing()
    {
        QFETCH(bool, clientNode);
        QFETCH(int, kind);
        QFETCH(QString, page);
        ShellFixture fixture;
        if (clientNode)
            fixture.defaults.setValue(AppSettings::nodeTypeKey, QStringLiteral("clientNode"));
        MainWindow &window = fixture.open();
        window.state().setSidebarSelection(SidebarSelection::page(Kind(kind)));
        ShellFixture::settle();
        QWidget *shownPage = fixture.find(page);
        QVERIFY(shownPage && shownPage->isVisible());
        QVERIFY(shown(fixture, "themedWidgetPage"));
        QVERIFY(!shown(fixture, "workspacePage"));
        QVERIFY(!shown(fixture, "noProjectsView"));
    }

    void workspaceRoutingNeedsAWorkspaceAndABoard()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        AppState &app = *fixture.appState;
        const BL_Workspace playground = app.projects().first();
        // A workspace of another team still shows: the lookup is in all workspaces.
        app.createTeam(QStringLiteral("Ops"));
        ShellFixture::settle();
        QUuid ops;
        for (const BL_Team &team : app.teams())
            if (team.name == QStringLiteral("Ops"))
                ops = team.id;
        app.setSelectedTeamID(ops);
        window.state().setSidebarSelection(SidebarSelection::project(playground.id));
        TestSupport::drainMainThread(1);
        QVERIFY(shown(fixture, "workspacePage"));
        app.setSelectedTeamID(std::nullopt);
        ShellFixture::settle();

        // An unknown id: the empty state, bare.
        window.state().setSidebarSelection(SidebarSelection::project(QUuid::createUuid()));
        TestSupport::drainMainThread(1);
        QVERIFY(shown(fixture, "noProjectsView"));
        QVERIFY(!shown(fixture, "themedWidgetPage"));
        QCOMPARE(fixture.find<QLabel>(QStringLiteral("noProjectsTitle"))->text(), QStringLiteral("No Workspaces Yet"));
        QCOMPARE(fixture.find<QLabel>(QStringLiteral("noProjectsHint"))->text(),
            QStringLiteral("Use the sidebar actions to initialize a new workspace."));
        QVERIFY(fixture.find(QStringLiteral("noProjectsView"))->findChildren<QPushButton *>().isEmpty());
    }

    void panelCases_data()
    {
        QTest::addColumn<bool>("embedded");
        QTest::addColumn<bool>("runtimeError");
        QTest::addColumn<bool>("visible");
        QTest::addColumn<bool>("expanded");
        QTest::addColumn<QString>("panel"); // the panel on screen, or empty
        QTest::addColumn<bool>("overlay");
        QTest::newRow("embedded, expanded") << true << false << true << true << QString() << true;
        QTest::newRow("embedded, inline") << true << false << true << false << "embeddedTerminalPanel" << false;
        QTest::newRow("fallback ignores expansion") << false << false << true << true << "commandLinePanel" << false;
        QTest::newRow("runtime error ignores expansion") << true << true << true << true << "commandLinePanel" << false;
        QTest::newRow("hidden") << true << false << false << true << QString() << false;
    }

    void panelCases()
    {
        QFETCH(bool, embedded);
        QFETCH(bool, runtimeError);
        QFETCH(bool, visible);
        QFETCH(bool, expanded);
        QFETCH(QString, panel);
        QFETCH(bool, overlay);
        EmbeddedTerminalBackendResolver::shared().overrideForTesting(
            embedded ? Backend::embeddedLibrary : Backend::processFallback, QStringLiteral("no library here"));
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        const QUuid id = fixture.appState->projects().first().id;
        if (runtimeError)
            window.state().setGhosttyRuntimeError(id, QStringLiteral("terminal failed"));
        setTerminal(window.state(), id, visible, expanded);
        WorkspacePage *page = window.workspacePage();
        QCOMPARE(page->isExpandedEmbeddedCLI(id), overlay);
        QCOMPARE(page->expandedTerminalPanel()->isVisible(), overlay);
        QCOMPARE(page->inlineTerminalPanel()->isVisible(), panel == QStringLiteral("embeddedTerminalPanel"));
        QCOMPARE(page->commandLinePanel()->isVisible(), panel == QStringLiteral("commandLinePanel"));
        const double radius = overlay ? 9 : 0;
        QCOMPARE(blurOf(page->header()), radius);
        QCOMPARE(blurOf(fixture.find(QStringLiteral("boardColumn"))), radius);
        if (overlay) {
            // The overlay covers the whole board area.
            QCOMPARE(page->expandedTerminalPanel()->geometry(), fixture.find(QStringLiteral("boardArea"))->rect());
        }
    }

    void previewWidthsAndDrag_data()
    {
        QTest::addColumn<double>("start");
        QTest::addColumn<double>("dx");
        QTest::addColumn<double>("width");
        QTest::newRow("100 left") << 420.0 << -100.0 << 520.0;
        QTest::newRow("150 right: the lower limit") << 420.0 << 150.0 << 320.0;
        QTest::newRow("3 right: half away from zero") << 420.0 << 3.0 << 418.0;
        QTest::newRow("3 left") << 420.0 << -3.0 << 424.0;
        QTest::newRow("far left: the upper limit") << 420.0 << -2000.0 << 980.0;
        QTest::newRow("odd start, half up") << 421.0 << 0.0 << 422.0;
    }

    void previewWidthsAndDrag()
    {
        QFETCH(double, start);
        QFETCH(double, dx);
        QFETCH(double, width);
        QCOMPARE(MainWindowState::resizedBrowserSidebarWidth(start, dx), width);
    }

    void realDragOfTheHandle()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        window.resize(1500, 900);
        AppState &app = *fixture.appState;
        const QUuid id = app.projects().first().id;
        const BL_Workspace second = fixture.importWorkspace(QStringLiteral("second"));
        window.state().setSidebarSelection(SidebarSelection::project(id));
        app.setBrowserSidebarVisible(true, id);
        ShellFixture::settle();
        ProjectBrowserSidebarView *preview = window.workspacePage()->webPreview();
        QVERIFY(preview && preview->isVisible());
        QCOMPARE(preview->width(), 420);
        auto *handle = fixture.find(QStringLiteral("browserSidebarResizeHandle"));
        QCOMPARE(handle->width(), 12);
        QCOMPARE(handle->toolTip(), QStringLiteral("Drag to resize browser sidebar"));

        // The pointer moves on the screen while the handle moves with the preview.
        const QPoint grip = handle->rect().center();
        const QPoint startOnScreen = handle->mapToGlobal(grip);
        auto at = [&](int dx) { return handle->mapFromGlobal(startOnScreen + QPoint(dx, 0)); };
        QTest::mousePress(handle, Qt::LeftButton, {}, grip);
        QTest::mouseMove(handle, at(-50));
        ShellFixture::settle();
        QVERIFY(window.state().browserSidebarActivelyResizingProjectIDs.contains(id));
        QCOMPARE(BrowserSidebarResizeHandle::look(true, false).barWidth, 10);
        // Each step counts from the start width, not from the last step.
        ShellFixture::settle();
        QTest::mouseMove(handle, at(-100));
        QTest::mouseRelease(handle, Qt::LeftButton, {}, at(-100));
        ShellFixture::settle();
        QCOMPARE(window.state().browserSidebarWidth(id), 520.0);
        QVERIFY(!window.state().browserSidebarActivelyResizingProjectIDs.contains(id));
        QVERIFY(window.state().browserSidebarResizeStartWidthByProjectID.isEmpty());
        QCOMPARE(window.workspacePage()->webPreview()->width(), 520);

        // Another workspace keeps its own width, in a fresh preview.
        app.setBrowserSidebarVisible(true, second.id);
        window.state().setSidebarSelection(SidebarSelection::project(second.id));
        ShellFixture::settle();
        QVERIFY(window.workspacePage()->webPreview() != preview);
        QCOMPARE(window.workspacePage()->webPreview()->projectID(), second.id);
        QCOMPARE(window.workspacePage()->webPreview()->width(), 420);
    }

    void headerStates_data()
    {
        QTest::addColumn<bool>("clientNode");
        QTest::addColumn<bool>("running");
        QTest::addColumn<bool>("start");
        QTest::addColumn<bool>("stop");
        QTest::newRow("main node, stopped") << false << false << true << false;
        QTest::newRow("main node, running") << false << true << false << true;
        QTest::newRow("client node, stopped: only the toggles") << true << false << false << false;
    }

    void headerStates()
    {
        QFETCH(bool, clientNode);
        QFETCH(bool, running);
        QFETCH(bool, start);
        QFETCH(bool, stop);
        ShellFixture fixture;
        if (clientNode)
            fixture.defaults.setValue(AppSettings::nodeTypeKey, QStringLiteral("clientNode"));
        MainWindow &window = fixture.open();
        AppState &app = *fixture.appState;
        if (clientNode) {
            // A client node has no workspace of its own: import one to show a page.
            app.setCurrentNodeType(BL_NodeType::mainNode);
            fixture.importWorkspace(QStringLiteral("mirrored"));
            app.setCurrentNodeType(BL_NodeType::clientNode);
            ShellFixture::settle();
        }
        if (running)
            app.ensureLocalTaskViewerServerStarted();
        ShellFixture::settle();
        const QUuid id = *app.activeProjectID();
        window.state().setSidebarSelection(SidebarSelection::project(id));
        ShellFixture::settle();
        QVERIFY(shown(fixture, "browserToggleButton"));
        QVERIFY(shown(fixture, "cliToggleButton"));
        QCOMPARE(shown(fixture, "splitStartControl"), start);
        QCOMPARE(shown(fixture, "stopServerButton"), stop);
        QCOMPARE(shown(fixture, "copyDashboardLinkButton"), running);
        QCOMPARE(fixture.find<QLabel>(QStringLiteral("workspaceStatusText"))->text(), app.workspaceStatusText());
        QCOMPARE(window.workspacePage()->header()->capacity()->showMemoryDetails(), !clientNode);
        if (running)
            app.stopLocalTaskViewerServer();
    }

    void headerControls()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        AppState &app = *fixture.appState;
        const BL_Workspace playground = app.projects().first();
        const BL_Workspace second = fixture.importWorkspace(QStringLiteral("second"));
        // The header of one workspace names the active one in its status line.
        window.state().setSidebarSelection(SidebarSelection::project(playground.id));
        TestSupport::drainMainThread(1);
        QCOMPARE(fixture.find<QLabel>(QStringLiteral("workspaceName"))->text(), playground.name);
        QCOMPARE(fixture.find<QLabel>(QStringLiteral("workspaceStatusText"))->text(), app.workspaceStatusText());
        ShellFixture::settle();

        // The toggles.
        auto *browser = fixture.find<QPushButton>(QStringLiteral("browserToggleButton"));
        QCOMPARE(browser->text(), QStringLiteral("Show Browser"));
        QTest::mouseClick(browser, Qt::LeftButton);
        ShellFixture::settle();
        QVERIFY(app.browserSidebarEnabledProjectIDs().contains(playground.id));
        QCOMPARE(browser->text(), QStringLiteral("Hide Browser"));
        QCOMPARE(browser->property("symbolName").toString(), QStringLiteral("sidebar.trailing"));
        auto *cli = fixture.find<QPushButton>(QStringLiteral("cliToggleButton"));
        QTest::mouseClick(cli, Qt::LeftButton);
        ShellFixture::settle();
        QVERIFY(window.state().workspaceTerminalState().isCLIVisible(playground.id));
        QVERIFY(window.state().workspaceTerminalState().tabIDsByWorkspaceID.contains(playground.id));
        QCOMPARE(cli->text(), QStringLiteral("Hide CLI"));
        QCOMPARE(window.state().focusedCLIProjectID(), std::optional<QUuid>(playground.id));
        setTerminal(window.state(), playground.id, true, true);
        QTest::mouseClick(cli, Qt::LeftButton);
        ShellFixture::settle();
        QVERIFY(!window.state().workspaceTerminalState().isCLIVisible(playground.id));
        QVERIFY(!window.state().workspaceTerminalState().cliExpandedByWorkspaceID.value(playground.id));
        QCOMPARE(window.state().focusedCLIProjectID(), std::nullopt);

        // Pool buttons pass size plus or minus one; the state clamps.
        auto *plus = fixture.find<QPushButton>(QStringLiteral("increasePoolButton"));
        auto *minus = fixture.find<QPushButton>(QStringLiteral("decreasePoolButton"));
        for (int i = 0; i < 10; ++i)
            QTest::mouseClick(minus, Qt::LeftButton);
        ShellFixture::settle();
        QCOMPARE(app.sharedWorkerPoolSize(), 1);
        QCOMPARE(fixture.find<QLabel>(QStringLiteral("capacityPool"))->text(), QStringLiteral("Pool 1"));
        QTest::mouseClick(plus, Qt::LeftButton);
        ShellFixture::settle();
        QCOMPARE(app.sharedWorkerPoolSize(), 2);
        for (int i = 0; i < 10; ++i)
            QTest::mouseClick(plus, Qt::LeftButton);
        ShellFixture::settle();
        QCOMPARE(app.sharedWorkerPoolSize(), std::min<qint64>(6, app.workerPool().agents().size()));
        Q_UNUSED(second);
    }

    void shareLinkCopyAndTiming()
    {
        ShellFixture fixture;
        fixture.makeState();
        QStringList clipboard;
        QStringList alerts;
        MainWindowOptions options;
        options.grabGlobalVoiceHotkey = false;
        options.setClipboardText = [&](const QString &text) { clipboard << text; };
        options.showShareLinkAlert = [&](const QString &title, const QString &text) { alerts << title + "|" + text; };
        options.preferredLANAddress = [] { return std::optional<QString>(QStringLiteral("192.168.7.9")); };
        options.healthRefreshAfterServerStartMs = 10;
        fixture.window = std::make_unique<MainWindow>(*fixture.appState, std::move(options));
        fixture.window->show();
        TestSupport::waitUntil([&] { return fixture.window->isStartupFinished(); }, 30000);
        ShellFixture::settle();
        MainWindow &window = *fixture.window;
        AppState &app = *fixture.appState;

        // No server: no effect.
        window.copyViewerShareLinkToClipboard(QStringLiteral("Share Link Copied"));
        QVERIFY(clipboard.isEmpty() && alerts.isEmpty());
        QCOMPARE(window.state().copiedViewerLinkText(), std::nullopt);

        // Start: the server runs and its link is copied with the network address.
        QTest::mouseClick(fixture.find<QPushButton>(QStringLiteral("startServerButton")), Qt::LeftButton);
        ShellFixture::settle();
        QVERIFY(app.isLocalTaskViewerRunning());
        QCOMPARE(clipboard.size(), 1);
        const QUrl link(clipboard.first());
        QCOMPARE(link.host(), QStringLiteral("192.168.7.9"));
        QCOMPARE(link.port(), app.localTaskViewerURL()->port());
        QCOMPARE(link.query(), app.localTaskViewerURL()->query());
        QCOMPARE(alerts, QStringList {"Copied to Clipboard|" + clipboard.first()});
        QCOMPARE(window.state().copiedViewerLinkText(), std::optional<QString>("Copied: " + clipboard.first()));
        QVERIFY(shown(fixture, "viewerLinkFeedback"));
        QCOMPARE(fixture.find<QPushButton>(QStringLiteral("copyDashboardLinkButton"))->text(),
            QStringLiteral("Copied Dashboard Link"));

        // A second copy a second later: the line stays until two seconds after it.
        QTest::qWait(1000);
        QElapsedTimer since;
        QTest::mouseClick(fixture.find<QPushButton>(QStringLiteral("copyDashboardLinkButton")), Qt::LeftButton);
        since.start();
        QCOMPARE(alerts.last(), "Share Link Copied|" + clipboard.last());
        QTest::qWait(1400);
        if (since.elapsed() < 1900)
            QVERIFY(window.state().copiedViewerLinkText().has_value());
        QVERIFY(TestSupport::waitUntil([&] { return !window.state().copiedViewerLinkText(); }, 3000));
        QVERIFY(since.elapsed() >= 1900);
        QVERIFY(!window.state().didCopyViewerLink());

        // Stop and token reset leave their own lines.
        QTest::mouseClick(fixture.find<QPushButton>(QStringLiteral("stopServerButton")), Qt::LeftButton);
        ShellFixture::settle();
        QVERIFY(!app.isLocalTaskViewerRunning());
        QCOMPARE(window.state().copiedViewerLinkText(), std::optional<QString>("Local viewer stopped."));
        QVERIFY(shown(fixture, "splitStartControl"));
        QTest::mouseClick(fixture.find<QPushButton>(QStringLiteral("resetTokenButton")), Qt::LeftButton);
        ShellFixture::settle();
        QCOMPARE(window.state().copiedViewerLinkText(),
            std::optional<QString>("Token reset. Click Start Tessaron Server to launch with new token."));
    }

    void gettingStartedCopyClearsAfterTheLatestCopy()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        const QString command = QStringLiteral("brimlock init");
        window.copyGettingStartedCommand(command);
        QCOMPARE(QGuiApplication::clipboard()->text(), command);
        QTest::qWait(800);
        QElapsedTimer since;
        window.copyGettingStartedCommand(command);
        since.start();
        QTest::qWait(900);
        // A coarse timer may fire up to 5% early: 1.4 s is at least 1.33 s.
        if (since.elapsed() < 1330)
            QCOMPARE(window.state().copiedGettingStartedCommand, std::optional<QString>(command));
        QVERIFY(TestSupport::waitUntil([&] { return !window.state().copiedGettingStartedCommand; }, 3000));
        QVERIFY(since.elapsed() >= 1330);
    }

    void capacityFigures_data()
    {
        QTest::addColumn<qint64>("pool");
        QTest::addColumn<qint64>("running");
        QTest::addColumn<QString>("count");
        QTest::addColumn<double>("fill");
        QTest::newRow("over the pool") << qint64(4) << qint64(6) << "4/4 active" << 132.0;
        QTest::newRow("a quarter") << qint64(4) << qint64(1) << "1/4 active" << 33.0;
        QTest::newRow("none running") << qint64(4) << qint64(0) << "0/4 active" << 10.0;
        QTest::newRow("no pool") << qint64(0) << qint64(3) << "0/0 active" << 10.0;
        QTest::newRow("negative") << qint64(-2) << qint64(-1) << "0/0 active" << 10.0;
    }

    void capacityFigures()
    {
        QFETCH(qint64, pool);
        QFETCH(qint64, running);
        QFETCH(QString, count);
        QFETCH(double, fill);
        WorkerCapacityDiagram card;
        card.setValues(pool, running, {});
        QCOMPARE(card.findChild<QLabel *>(QStringLiteral("capacityCount"))->text(), count);
        QCOMPARE(WorkerCapacityDiagram::fillWidth(pool, running, 132), fill);
    }

    void capacityTooltip()
    {
        QCOMPARE(WorkerCapacityDiagram::hoverHelpText({}), QStringLiteral("No configured agents for this project."));
        BL_Agent a;
        a.name = QStringLiteral("Ada");
        a.model = QStringLiteral("m1");
        a.capabilities = {QStringLiteral("code"), QStringLiteral("tests")};
        BL_Agent b;
        b.name = QStringLiteral("Bo");
        b.model = QStringLiteral("m2");
        QCOMPARE(WorkerCapacityDiagram::hoverHelpText({a, b}),
            QStringLiteral(
                "Available Brimlock agents:\n\u2022 Ada (m1) \u2014 code, tests\n\u2022 Bo (m2) \u2014 general"));
    }

    void samplerOnTheClock()
    {
        QWidget host;
        auto *card = new WorkerCapacityDiagram(&host);
        std::atomic<int> calls = 0;
        std::atomic<int> inFlight = 0;
        std::atomic<int> overlaps = 0;
        std::atomic<bool> fail = false;
        card->setSampler([&]() -> std::optional<MemorySnapshot> {
            if (++inFlight > 1)
                ++overlaps;
            ++calls;
            QThread::msleep(30);
            --inFlight;
            if (fail)
                return std::nullopt;
            return MemorySnapshot {3.5, 41.25};
        });
        card->setSamplePeriodMs(150);
        auto *available = card->findChild<QLabel *>(QStringLiteral("memoryAvailable"));
        auto *used = card->findChild<QLabel *>(QStringLiteral("memoryUsed"));
        auto *lines = card->findChild<QWidget *>(QStringLiteral("memoryLines"));

        // Not shown, or shown without memory details: no sample.
        card->setShowMemoryDetails(true);
        QTest::qWait(200);
        QCOMPARE(calls.load(), 0);
        host.show();
        QVERIFY(TestSupport::waitUntil([&] { return lines->isVisible(); }, 3000));
        QCOMPARE(available->text(), QStringLiteral("System available memory: 3.50 GB"));
        QCOMPARE(used->text(), QStringLiteral("Memory used: 41.25%"));
        QVERIFY(TestSupport::waitUntil([&] { return calls.load() >= 3; }, 3000));
        QCOMPARE(overlaps.load(), 0);

        // A failed sample hides the lines until the next good one.
        fail = true;
        QVERIFY(TestSupport::waitUntil([&] { return !lines->isVisible(); }, 3000));
        fail = false;
        QVERIFY(TestSupport::waitUntil([&] { return lines->isVisible(); }, 3000));

        // Off: cleared at once and no more samples.
        card->setShowMemoryDetails(false);
        QVERIFY(!lines->isVisible());
        QVERIFY(!card->latestMemorySnapshot());
        TestSupport::waitUntil([&] { return inFlight.load() == 0; }, 1000);
        QTest::qWait(50);
        const int stopped = calls.load();
        QTest::qWait(400);
        QCOMPARE(calls.load(), stopped);
        // Hidden: no samples either.
        card->setShowMemoryDetails(true);
        host.hide();
        TestSupport::waitUntil([&] { return inFlight.load() == 0; }, 1000);
        QTest::qWait(50);
        const int hidden = calls.load();
        QTest::qWait(400);
        QCOMPARE(calls.load(), hidden);
    }

    void dictationMakesAQueuedTask()
    {
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        AppState &app = *fixture.appState;
        const QUuid id = *app.activeProjectID();
        window.state().setSidebarSelection(SidebarSelection::page(Kind::health));
        ShellFixture::settle();
        window.voiceCaptureController();
        fixture.voice->answers = {ParakeetVoiceCaptureResult::started(),
            ParakeetVoiceCaptureResult::done({QStringLiteral("  Fix the login\npage  "), "sphinx"})};
        QTest::keyClick(&window, Qt::Key_Space, Qt::AltModifier);
        ShellFixture::settle();
        fixture.voice->set(false, true);
        QTest::keyClick(&window, Qt::Key_Return); // Return while transcribing: not used for a task
        QTest::keyClick(&window, Qt::Key_Space, Qt::AltModifier);
        ShellFixture::settle();
        QVERIFY(!window.state().pendingVoiceEnterSubmitAfterTranscription());
        QCOMPARE(window.state().sidebarSelection(), SidebarSelection::project(id));
        TaskBoardStore *store = app.taskStore(id);
        QVERIFY(TestSupport::waitUntil([&] { return !store->taskByID().isEmpty(); }, 10000));
        const BL_Task task = store->taskByID().begin().value();
        const QJsonObject input = QJsonDocument::fromJson(task.inputData).object();
        const QJsonObject metadata = QJsonDocument::fromJson(task.metadata).object();
        QCOMPARE(input.value(QStringLiteral("title")).toString(), QStringLiteral("Fix the login\npage"));
        QCOMPARE(metadata.value(QStringLiteral("input_source")).toString(), QStringLiteral("voice-option-space"));
        QCOMPARE(metadata.value(QStringLiteral("transcription_engine")).toString(), QStringLiteral("sphinx"));
        QCOMPARE(metadata.value(QStringLiteral("priority")).toString(), QStringLiteral("medium"));
        QVERIFY(task.status == BL_TaskStatus::queued || task.status == BL_TaskStatus::inProgress);
    }

    void dictationErrors_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("workspaces");
        QTest::addColumn<QString>("message");
        QTest::newRow("empty") << " \n\t " << true << "Voice transcription was empty.";
        QTest::newRow("no workspace") << "hello" << false
                                      << "No workspace is available to submit the voice transcription.";
    }

    void dictationErrors()
    {
        QFETCH(QString, text);
        QFETCH(bool, workspaces);
        QFETCH(QString, message);
        ShellFixture fixture;
        if (!workspaces)
            fixture.defaults.setValue(AppSettings::nodeTypeKey, QStringLiteral("clientNode"));
        MainWindow &window = fixture.open();
        window.state().setPendingVoiceEnterSubmitAfterTranscription(true);
        window.submitVoiceTranscription({text, QStringLiteral("sphinx")});
        QVERIFY(!window.state().pendingVoiceEnterSubmitAfterTranscription());
        QCOMPARE(fixture.appState->lastErrorMessage(), std::optional<QString>(message));
        fixture.appState->setLastErrorMessage(std::nullopt);
        ShellFixture::settle();
    }

    void dictationIntoTheEmbeddedTerminal()
    {
        EmbeddedTerminalBackendResolver::shared().overrideForTesting(Backend::embeddedLibrary);
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        const QUuid id = *fixture.appState->activeProjectID();
        setTerminal(window.state(), id, true, false);
        const quint64 token = window.state().nextGhosttyInjectedTextToken;
        window.submitVoiceTranscription({QStringLiteral("ls -la\r\nrm x\u2028y"), QStringLiteral("sphinx")});
        const QString key = MainWindowState::sessionKey(id, WorkspaceTerminalState::defaultTabID(id));
        // Inner line breaks become spaces: only the submit flag sends Return.
        QCOMPARE(window.state().pendingGhosttyInjectedTextBySessionKey.value(key),
            (GhosttyInjectedText {token, QStringLiteral("ls -la rm x y"), false}));
        window.state().setPendingVoiceEnterSubmitAfterTranscription(true);
        window.submitVoiceTranscription({QStringLiteral("pwd"), QStringLiteral("sphinx")});
        QCOMPARE(window.state().pendingGhosttyInjectedTextBySessionKey.value(key),
            (GhosttyInjectedText {token + 1, QStringLiteral("pwd"), true}));
        QVERIFY(fixture.appState->taskStore(id)->taskByID().isEmpty());
    }

    void dictationIntoTheCommandLineRunsWithZsh()
    {
        EmbeddedTerminalBackendResolver::shared().overrideForTesting(Backend::processFallback, "no library");
        ShellFixture fixture;
        MainWindow &window = fixture.open();
        AppState &app = *fixture.appState;
        // No active workspace: the first of the selected team is the target.
        const QUuid id = app.projects().first().id;
        app.setActiveProjectID(std::nullopt);
        ShellFixture::settle();
        setTerminal(window.state(), id, true, false);
        window.state().setPendingVoiceEnterSubmitAfterTranscription(true);
        window.submitVoiceTranscription({QStringLiteral("echo spoken\necho words"), QStringLiteral("sphinx")});
        QCOMPARE(window.state().sidebarSelection(), SidebarSelection::project(id));
        FallbackCommandRunner &runner = window.state().commandRunner();
        QVERIFY(TestSupport::waitUntil([&] { return runner.output(id).contains(QStringLiteral("[exit ")); }, 20000));
        QVERIFY2(runner.output(id).contains(QStringLiteral("spoken echo words")), qPrintable(runner.output(id)));
    }
};

QTEST_MAIN(TestWorkspacePage)
#include "tst_workspacepage.moc"
