#include "MainWindow.h"

#include "AlertDialog.h"
#include "CommandHistorySheet.h"
#include "CommandLinePanel.h"
#include "DarkAppearance.h"
#include "GlobalVoiceHotkey.h"
#include "HostingViews.h"
#include "ShellWidgets.h"
#include "ShortcutNotifications.h"
#include "SidebarColumn.h"
#include "SymbolIcons.h"
#include "TaskComposerForm.h"
#include "WindowSetup.h"
#include "WorkspacePage.h"
#include "board/WorkspaceBoardHost.h"
#include "browser/ProjectBrowserSidebarView.h"
#include "common/Text.h"
#include "common/UuidText.h"
#include "state/AppState.h"
#include "terminal/EmbeddedTerminalBackendResolver.h"
#include "terminal/EmbeddedTerminalPanel.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLoggingCategory>
#include <QMenuBar>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

namespace {

// What the window did, for checks on a real display (off unless enabled).
Q_LOGGING_CATEGORY(lcShell, "tessaron.shell", QtWarningMsg)

bool containsWorkspace(const QList<BL_Workspace> &list, const QUuid &id)
{
    return std::any_of(list.begin(), list.end(), [&](const BL_Workspace &w) { return w.id == id; });
}

std::optional<BL_Workspace> findWorkspace(const QList<BL_Workspace> &list, const QUuid &id)
{
    for (const BL_Workspace &workspace : list)
        if (workspace.id == id)
            return workspace;
    return std::nullopt;
}

QString pageTitle(SidebarSelection::Kind kind)
{
    switch (kind) {
    case SidebarSelection::Kind::gettingStarted:
        return QStringLiteral("Getting Started");
    case SidebarSelection::Kind::health:
        return QStringLiteral("Health");
    case SidebarSelection::Kind::settings:
        return QStringLiteral("Settings");
    case SidebarSelection::Kind::models:
        return QStringLiteral("Models");
    case SidebarSelection::Kind::agents:
        return QStringLiteral("Agents");
    case SidebarSelection::Kind::brimlockConfig:
        return QStringLiteral("Brimlock Config");
    case SidebarSelection::Kind::analytics:
        return QStringLiteral("Analytics");
    case SidebarSelection::Kind::project:
        break;
    }
    return QString();
}

QString pageObjectName(SidebarSelection::Kind kind)
{
    switch (kind) {
    case SidebarSelection::Kind::gettingStarted:
        return QStringLiteral("gettingStartedPage");
    case SidebarSelection::Kind::health:
        return QStringLiteral("healthPage");
    case SidebarSelection::Kind::settings:
        return QStringLiteral("nodeSettingsPage");
    case SidebarSelection::Kind::models:
        return QStringLiteral("modelsPage");
    case SidebarSelection::Kind::agents:
        return QStringLiteral("agentsPage");
    case SidebarSelection::Kind::brimlockConfig:
        return QStringLiteral("brimlockConfigPage");
    case SidebarSelection::Kind::analytics:
        return QStringLiteral("analyticsPage");
    case SidebarSelection::Kind::project:
        break;
    }
    return QString();
}

bool isTextInput(const QWidget *widget)
{
    return qobject_cast<const QLineEdit *>(widget) || qobject_cast<const QTextEdit *>(widget)
        || qobject_cast<const QPlainTextEdit *>(widget);
}

} // namespace

// The window's key handling inside the application: sees every key press
// for this window (its sheets and alerts included) before any view or menu.
// A chord a rule consumes reaches nothing else; a chord it passes goes on to
// the menu or the focused widget exactly once.
class MainWindow::KeyFilter final : public QObject
{
public:
    explicit KeyFilter(MainWindow &window) : m_window(window) { }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        const QEvent::Type type = event->type();
        if (type != QEvent::ShortcutOverride && type != QEvent::KeyPress)
            return false;
        auto *widget = qobject_cast<QWidget *>(watched);
        if (!widget || !belongsToWindow(widget))
            return false;
        auto *key = static_cast<QKeyEvent *>(event);
        const KeyTable::KeyChord chord = KeyTable::KeyChord::from(*key);

        if (type == QEvent::ShortcutOverride) {
            m_consumed.reset();
            const KeyTable::Rule rule = m_window.applyKeyRules(chord);
            if (rule == KeyTable::Rule::none)
                return false;
            key->accept();
            if (rule == KeyTable::Rule::terminalGetsChord)
                return true; // the key press itself goes on to the terminal
            m_consumed = Signature {key->key(), key->modifiers()};
            return true;
        }

        // The key press after an override that a rule already acted on.
        if (m_consumed && m_consumed->key == key->key() && m_consumed->modifiers == key->modifiers()) {
            m_consumed.reset();
            key->accept();
            return true;
        }
        const KeyTable::Rule rule = m_window.applyKeyRules(chord);
        if (rule == KeyTable::Rule::none || rule == KeyTable::Rule::terminalGetsChord)
            return false;
        key->accept();
        return true;
    }

private:
    struct Signature
    {
        int key;
        Qt::KeyboardModifiers modifiers;
    };

    bool belongsToWindow(QWidget *widget) const
    {
        for (QWidget *w = widget; w; w = w->parentWidget())
            if (w == &m_window)
                return true;
        return false;
    }

    MainWindow &m_window;
    std::optional<Signature> m_consumed;
};

MainWindow::MainWindow(AppState &appState, MainWindowOptions options, QWidget *parent)
    : QMainWindow(parent),
      m_appState(appState),
      m_options(std::move(options)),
      m_state(std::make_unique<MainWindowState>(appState.settings().defaults()))
{
    setObjectName(QStringLiteral("mainWindow"));
    if (!m_options.makeVoiceCaptureController)
        m_options.makeVoiceCaptureController = [] { return std::make_unique<UnavailableVoiceCaptureController>(); };
    if (!m_options.beep)
        m_options.beep = [] { QApplication::beep(); };
    applyTitleSettings();
    m_state->commandRunner().shouldFocusCLI = [this](const QUuid &id) { return shouldFocusCLI(id); };
    onVoiceTranscription = [this](const ParakeetTranscription &t) { submitVoiceTranscription(t); };
    buildLayout();
    buildMenu();
    connectSignals();
    resize(1280, 800);
}

MainWindow::~MainWindow()
{
    onDisappear();
    // The widgets go after the window state; nothing may reach it meanwhile.
    QObject::disconnect(qApp, nullptr, this, nullptr);
    QObject::disconnect(&ShortcutNotifications::shared(), nullptr, this, nullptr);
    QObject::disconnect(&m_appState, nullptr, this, nullptr);
    QObject::disconnect(m_state.get(), nullptr, this, nullptr);
    delete takeCentralWidget();
}

// ---- Layout ----

void MainWindow::buildLayout()
{
    m_root = new PageBackdrop(this);
    m_root->setObjectName(QStringLiteral("rootView"));
    setCentralWidget(m_root);
    auto *rootLayout = new QVBoxLayout(m_root);
    rootLayout->setContentsMargins(0, 0, 0, 0);

    m_splitter = new QSplitter(Qt::Horizontal, m_root);
    m_splitter->setObjectName(QStringLiteral("rootSplitter"));
    m_splitter->setChildrenCollapsible(false);
    m_splitter->setHandleWidth(1);
    rootLayout->addWidget(m_splitter);

    // Sidebar column, kept within its limits by its own minimum and maximum.
    m_sidebarColumn = new SidebarColumn(m_appState, *m_state, m_splitter);
    m_sidebarColumn->presentWorkspaceDirectoryPicker = [this] { presentWorkspaceDirectoryPicker(); };
    m_sidebarColumn->isRunningCommandLine = [this](const QUuid &id) { return m_state->commandRunner().isRunning(id); };
    m_sidebar = m_sidebarColumn;
    m_splitter->addWidget(m_sidebarColumn);

    // Detail column: one page for the selection.
    m_detailStack = new QStackedWidget(m_splitter);
    m_detailStack->setObjectName(QStringLiteral("detailColumn"));
    m_noProjects = new NoProjectsView(m_detailStack);
    m_detailStack->addWidget(m_noProjects);

    // The shared frame of the widget pages: content from the top-leading
    // corner on the page backdrop, under the title strip.
    m_widgetPage = new PageBackdrop(m_detailStack);
    m_widgetPage->setObjectName(QStringLiteral("themedWidgetPage"));
    auto *frame = new QVBoxLayout(m_widgetPage);
    frame->setContentsMargins(0, VirtualTitlebarStrip::height, 0, 0);
    m_detailStack->addWidget(m_widgetPage);

    WorkspacePageActions actions;
    actions.focusIntegratedTerminalInput = [this](const std::optional<QUuid> &id) { focusIntegratedTerminalInput(id); };
    actions.copyViewerShareLinkToClipboard = [this](const QString &title) { copyViewerShareLinkToClipboard(title); };
    actions.scheduleHealthRefreshAfterServerStart = [this] {
        QTimer::singleShot(m_options.healthRefreshAfterServerStartMs, this, [this] {
            auto refreshing = m_appState.refreshHealthSnapshot();
            Q_UNUSED(refreshing);
        });
    };
    m_workspacePage = new WorkspacePage(m_appState, *m_state, std::move(actions), m_detailStack);
    m_commandLinePanel = m_workspacePage->commandLinePanel();
    m_detailStack->addWidget(m_workspacePage);

    m_splitter->addWidget(m_detailStack);
    m_splitter->setStretchFactor(0, 0);
    m_splitter->setStretchFactor(1, 1);
    m_splitter->setSizes({SidebarColumn::idealWidth, 950});

    m_hideCopiedViewerLinkTimer = new QTimer(this);
    m_hideCopiedViewerLinkTimer->setSingleShot(true);
    connect(m_hideCopiedViewerLinkTimer, &QTimer::timeout, this,
        [this] { m_state->setViewerLinkFeedback(false, std::nullopt); });
    m_clearCopiedGettingStartedTimer = new QTimer(this);
    m_clearCopiedGettingStartedTimer->setSingleShot(true);

    // Laid over the top edge; clicks go through.
    m_titlebarStrip = new VirtualTitlebarStrip(m_root);
    m_titlebarStrip->raise();

    m_voiceHUD = new VoiceCaptureHUDView(m_root);
    m_voiceHUD->hide();

    refreshSidebar();
    refreshDetail();
}

void MainWindow::buildMenu()
{
    QMenu *menu = menuBar()->addMenu(KeyTable::shortcutsMenuTitle);
    menu->setObjectName(QStringLiteral("shortcutsMenu"));
    for (const KeyTable::MenuItem &item : KeyTable::shortcutsMenu()) {
        if (item.label.isEmpty()) {
            menu->addSeparator();
            continue;
        }
        QAction *action = menu->addAction(item.label);
        action->setObjectName(item.objectName);
        action->setShortcut(item.shortcut);
        action->setShortcutContext(Qt::WindowShortcut);
        const int tab = item.tabNumber;
        switch (item.command) {
        case KeyTable::MenuCommand::leftSidebar:
            connect(action, &QAction::triggered, this, &MainWindow::toggleBookmarkBar);
            break;
        case KeyTable::MenuCommand::terminal:
            connect(action, &QAction::triggered, this,
                [] { ShortcutNotifications::shared().post(ShortcutNotifications::toggleTerminalShortcut); });
            break;
        case KeyTable::MenuCommand::newTerminalTab:
            connect(action, &QAction::triggered, this,
                [] { ShortcutNotifications::shared().post(ShortcutNotifications::newTerminalTabShortcut); });
            break;
        case KeyTable::MenuCommand::terminalTab:
            connect(action, &QAction::triggered, this, [tab] {
                ShortcutNotifications::shared().post(ShortcutNotifications::selectTerminalTabShortcut, tab - 1);
            });
            break;
        case KeyTable::MenuCommand::webPreview:
            connect(action, &QAction::triggered, this,
                [] { ShortcutNotifications::shared().post(ShortcutNotifications::toggleWebPreviewShortcut); });
            break;
        case KeyTable::MenuCommand::focusWebAddressBar:
            connect(action, &QAction::triggered, this,
                [] { ShortcutNotifications::shared().post(ShortcutNotifications::focusWebPreviewShortcut); });
            break;
        case KeyTable::MenuCommand::refreshWebPreview:
            m_refreshAction = action;
            connect(action, &QAction::triggered, this,
                [this] { m_appState.refreshVisibleBrowserSidebarForActiveProject(); });
            break;
        case KeyTable::MenuCommand::nextWorkspace:
            connect(action, &QAction::triggered, this, [this] { m_appState.selectNextWorkspace(); });
            break;
        case KeyTable::MenuCommand::previousWorkspace:
            connect(action, &QAction::triggered, this, [this] { m_appState.selectPreviousWorkspace(); });
            break;
        }
    }
    refreshMenuState();
}

void MainWindow::connectSignals()
{
    connect(&m_appState, &AppState::changed, this, [this](AppState::Field field) {
        refreshMenuState();
        switch (field) {
        case AppState::Field::activeProjectID:
        case AppState::Field::projects:
        case AppState::Field::selectedTeamID:
        case AppState::Field::currentUserID:
            scheduleReactionPass();
            refreshSidebar();
            refreshDetail();
            break;
        case AppState::Field::teams:
        case AppState::Field::users:
        case AppState::Field::prefetchedHealth:
        case AppState::Field::runningWorkerCountByProjectID:
        case AppState::Field::currentNodeType:
            refreshSidebar();
            refreshDetail();
            break;
        case AppState::Field::taskStores:
        case AppState::Field::browserSidebarEnabledProjectIDs:
        case AppState::Field::browserURLByProjectID:
        case AppState::Field::browserRefreshTokenByProjectID:
        case AppState::Field::sharedWorkerPoolSize:
        case AppState::Field::agentCountByProjectID:
        case AppState::Field::isLocalTaskViewerRunning:
            refreshDetail();
            break;
        case AppState::Field::lastErrorMessage:
            syncErrorAlert();
            break;
        default:
            break;
        }
    });
    connect(m_state.get(), &MainWindowState::changed, this, [this](MainWindowState::Field field) {
        switch (field) {
        case MainWindowState::Field::sidebarSelection:
            scheduleReactionPass();
            refreshSidebar();
            refreshDetail();
            break;
        case MainWindowState::Field::workspaceTerminalState:
        case MainWindowState::Field::ghosttyRuntimeErrorByProjectID:
            refreshDetail();
            syncFocusFromState();
            break;
        case MainWindowState::Field::focusedCLIProjectID:
            syncFocusFromState();
            break;
        case MainWindowState::Field::viewerLinkFeedback:
        case MainWindowState::Field::browserSidebarResize:
        case MainWindowState::Field::browserAddressBarFocusTokenByProjectID:
            refreshDetail();
            break;
        case MainWindowState::Field::taskComposerContext:
            syncComposerSheet();
            break;
        case MainWindowState::Field::commandHistoryContext:
        case MainWindowState::Field::commandHistorySearchText:
        case MainWindowState::Field::commandHistorySelectionIndex:
            syncHistorySheet();
            break;
        case MainWindowState::Field::pendingDeleteProject:
            syncDeleteAlert();
            break;
        case MainWindowState::Field::isCreateTeamPromptVisible:
            syncCreateTeamAlert();
            break;
        default:
            break;
        }
    });
    connect(
        &ShortcutNotifications::shared(), &ShortcutNotifications::posted, this, &MainWindow::onShortcutNotification);

    connect(m_commandLinePanel, &CommandLinePanel::runRequested, this, [this](const QUuid &id) {
        if (const auto workspace = findWorkspace(m_appState.projects(), id))
            runIntegratedCommand(*workspace);
    });
    connect(m_commandLinePanel, &CommandLinePanel::retryRequested, this,
        [this](const QUuid &id) { m_state->setGhosttyRuntimeError(id, std::nullopt); });
    connect(&m_state->commandRunner(), &FallbackCommandRunner::runningChanged, this, [this] { refreshSidebar(); });
    connect(&m_state->commandRunner(), &FallbackCommandRunner::focusRequested, this,
        [this](const QUuid &id) { m_state->setFocusedCLIProjectID(id); });
    // The command line's focus value follows the real keyboard focus.
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget *old, QWidget *now) {
        QLineEdit *input = m_commandLinePanel->input();
        if (now == input && input->isVisible())
            m_state->setFocusedCLIProjectID(m_commandLinePanel->workspaceID());
        else if (old == input && m_state->focusedCLIProjectID() == m_commandLinePanel->workspaceID())
            m_state->setFocusedCLIProjectID(std::nullopt);
    });
}

// ---- Start-up and lifecycle ----

void MainWindow::applyTitleSettings()
{
    setWindowTitle(WindowSetup::windowTitle);
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_appeared)
        return;
    m_appeared = true;
    onAppear();
    // The start-up task begins once the window has painted its first frame,
    // so the launch sequence never holds the first picture back; a window
    // that is never painted starts it a moment later all the same.
    connect(this, &MainWindow::firstPainted, this, &MainWindow::startStartupTaskOnce, Qt::SingleShotConnection);
    QTimer::singleShot(250, this, &MainWindow::startStartupTaskOnce);
}

void MainWindow::startStartupTaskOnce()
{
    if (m_startupStarted)
        return;
    m_startupStarted = true;
    auto startup = runStartupTask();
    Q_UNUSED(startup); // runs on by itself; it checks that the window still exists
}

QCoro::Task<> MainWindow::runStartupTask()
{
    QPointer<MainWindow> self(this);
    AppState *appState = &m_appState;
    auto bootstrapping = appState->bootstrap();
    co_await std::move(bootstrapping);
    if (!self)
        co_return;
    if (const auto target = fallbackWorkspaceID()) {
        m_state->setLastViewedProjectID(*target);
        m_state->setSidebarSelection(SidebarSelection::project(*target));
    } else {
        m_state->setSidebarSelection(SidebarSelection::page(SidebarSelection::Kind::gettingStarted));
    }
    m_startupFinished = true;
    qCInfo(lcShell) << "start-up finished";
    emit startupFinished();
}

void MainWindow::onAppear()
{
    m_state->commandRunner().loadPersistedCommandHistoryIfNeeded();
    if (m_options.grabGlobalVoiceHotkey && !m_globalHotkey) {
        m_globalHotkey = std::make_unique<GlobalVoiceHotkey>();
        connect(m_globalHotkey.get(), &GlobalVoiceHotkey::activated, this, [this] {
            auto toggling = handleVoiceHotkeyToggle();
            Q_UNUSED(toggling);
        });
        m_globalHotkey->install();
    }
    if (!m_keyFilter) {
        m_keyFilter = std::make_unique<KeyFilter>(*this);
        qApp->installEventFilter(m_keyFilter.get());
    }
    m_observed = observedValues();
    m_reactionsArmed = true;
}

void MainWindow::onDisappear()
{
    if (m_keyFilter) {
        qApp->removeEventFilter(m_keyFilter.get());
        m_keyFilter.reset();
    }
    m_globalHotkey.reset(); // releases the grab
    m_state->cancelAllTerminalOutputIdleWatches();
    m_state->commandRunner().stopAll();
    m_reactionsArmed = false;
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    qCInfo(lcShell) << "window closing";
    QMainWindow::closeEvent(event);
    if (!event->isAccepted())
        return;
    onDisappear();
    emit closed();
}

void MainWindow::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        applyTitleSettings();
}

void MainWindow::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    positionOverlays();
}

void MainWindow::paintEvent(QPaintEvent *event)
{
    QMainWindow::paintEvent(event);
    if (!m_firstPaintReported) {
        m_firstPaintReported = true;
        QTimer::singleShot(0, this, &MainWindow::firstPainted);
    }
}

bool MainWindow::eventFilter(QObject *watched, QEvent *event)
{
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::positionOverlays()
{
    if (!m_root)
        return;
    m_titlebarStrip->setGeometry(0, 0, m_root->width(), VirtualTitlebarStrip::height);
    m_titlebarStrip->raise();
    const QSize hud = m_voiceHUD->size();
    m_voiceHUD->move((m_root->width() - hud.width()) / 2, m_root->height() - 18 - hud.height());
    m_voiceHUD->raise();
}

// ---- The fallback workspace and the shortcut handlers ----

std::optional<QUuid> MainWindow::fallbackWorkspaceID() const
{
    if (m_appState.activeProjectID())
        return m_appState.activeProjectID();
    const QList<BL_Workspace> visible = m_appState.projectsForSelectedTeam();
    if (!visible.isEmpty())
        return visible.first().id;
    return std::nullopt;
}

void MainWindow::focusWebPreviewAddressBarForActiveProject()
{
    const auto target = fallbackWorkspaceID();
    if (!target)
        return;
    m_appState.setBrowserSidebarVisible(true, *target);
    m_state->raiseBrowserAddressBarFocusToken(*target);
}

void MainWindow::toggleActiveWorkspaceCLIVisibilityWithFocus()
{
    const auto target = fallbackWorkspaceID();
    if (!target)
        return;
    WorkspaceTerminalState terminal = m_state->workspaceTerminalState();
    const bool visible = !terminal.isCLIVisible(*target);
    terminal.cliVisibilityByWorkspaceID.insert(*target, visible);
    if (!visible)
        terminal.cliExpandedByWorkspaceID.insert(*target, false);
    terminal.ensureWorkspace(*target);
    m_state->setWorkspaceTerminalState(terminal);
    if (visible)
        focusIntegratedTerminalInput(*target);
    else
        m_state->setFocusedCLIProjectID(std::nullopt);
}

void MainWindow::createTabForActiveWorkspaceWithFocus()
{
    const auto target = fallbackWorkspaceID();
    if (!target)
        return;
    WorkspaceTerminalState terminal = m_state->workspaceTerminalState();
    terminal.cliVisibilityByWorkspaceID.insert(*target, true);
    terminal.ensureWorkspace(*target);
    terminal.createTab(*target, UuidText::lower(QUuid::createUuid()));
    m_state->setWorkspaceTerminalState(terminal);
    focusIntegratedTerminalInput(*target);
}

void MainWindow::selectTabForActiveWorkspace(qint64 index)
{
    const auto target = fallbackWorkspaceID();
    if (!target)
        return;
    WorkspaceTerminalState terminal = m_state->workspaceTerminalState();
    QStringList tabs = terminal.tabIDsByWorkspaceID.value(*target);
    if (tabs.isEmpty())
        tabs = {WorkspaceTerminalState::defaultTabID(*target)};
    if (index < 0 || index >= tabs.size())
        return;
    const QString tab = tabs.at(index);
    terminal.cliVisibilityByWorkspaceID.insert(*target, true);
    terminal.ensureWorkspace(*target);
    const bool changed = terminal.selectTab(*target, tab);
    m_state->setWorkspaceTerminalState(terminal);
    if (changed)
        m_state->markTerminalEventIgnoreAfterTabSwitch(*target, tab);
    focusIntegratedTerminalInput(*target);
}

void MainWindow::focusIntegratedTerminalInput(const std::optional<QUuid> &workspaceID)
{
    const std::optional<QUuid> target = workspaceID ? workspaceID : fallbackWorkspaceID();
    if (!target || !m_state->workspaceTerminalState().isCLIVisible(*target))
        return;
    m_state->setFocusedCLIProjectID(*target);
    // Once more a moment later, after the panel has come on screen.
    const QUuid id = *target;
    QTimer::singleShot(120, this, [this, id] {
        // Not for a panel hidden meanwhile.
        if (m_state->workspaceTerminalState().isCLIVisible(id))
            m_state->setFocusedCLIProjectID(id);
    });
}

bool MainWindow::shouldFocusCLI(const QUuid &workspaceID) const
{
    return m_state->workspaceTerminalState().isCLIVisible(workspaceID) && fallbackWorkspaceID() == workspaceID;
}

bool MainWindow::isUsingEmbeddedGhostty(const QUuid &workspaceID) const
{
    return m_workspacePage->isUsingEmbeddedTerminal(workspaceID);
}

bool MainWindow::shouldShowVoiceCaptureHUD() const
{
    return m_voiceController && (m_voiceController->isRecording() || m_voiceController->isTranscribing());
}

bool MainWindow::textEntryRuleAllows() const
{
    const QWidget *focus = QApplication::focusWidget();
    if (!QApplication::activeWindow() || !focus)
        return true;
    return !(isTextInput(focus) && !m_state->focusedCLIProjectID());
}

VoiceCaptureController &MainWindow::voiceCaptureController()
{
    if (!m_voiceController) {
        m_voiceController = m_options.makeVoiceCaptureController();
        connect(m_voiceController.get(), &VoiceCaptureController::changed, this, &MainWindow::syncVoiceHUD);
    }
    return *m_voiceController;
}

QCoro::Task<> MainWindow::handleVoiceHotkeyToggle()
{
    QPointer<MainWindow> self(this);
    VoiceCaptureController &controller = voiceCaptureController();
    qCInfo(lcShell) << "dictation toggled";
    ParakeetVoiceCaptureResult result;
    if (controller.isRecording()) {
        auto stopping = controller.stopRecordingAndTranscribe();
        result = co_await std::move(stopping);
    } else {
        auto starting = controller.startRecording();
        result = co_await std::move(starting);
    }
    if (!self)
        co_return;
    switch (result.kind) {
    case ParakeetVoiceCaptureResult::Kind::transcription:
        if (onVoiceTranscription)
            onVoiceTranscription(result.transcription);
        break;
    case ParakeetVoiceCaptureResult::Kind::failure:
        m_state->setPendingVoiceEnterSubmitAfterTranscription(false);
        m_appState.setLastErrorMessage(result.message);
        m_options.beep();
        break;
    case ParakeetVoiceCaptureResult::Kind::started:
    case ParakeetVoiceCaptureResult::Kind::cancelled:
        m_state->setPendingVoiceEnterSubmitAfterTranscription(false);
        break;
    }
    syncVoiceHUD();
}

void MainWindow::runIntegratedCommand(const BL_Workspace &workspace)
{
    m_state->commandRunner().runIntegratedCommand(workspace);
}

void MainWindow::toggleBookmarkBar()
{
    if (!SidebarToggleGate::shared().shouldToggle())
        return;
    m_sidebar->setVisible(!m_sidebar->isVisible());
    qCInfo(lcShell) << "sidebar toggled";
}

bool MainWindow::isSidebarVisible() const
{
    return m_sidebar->isVisibleTo(m_splitter);
}

// ---- The key rules ----

KeyTable::Rule MainWindow::applyKeyRules(const KeyTable::KeyChord &chord)
{
    using KeyTable::Rule;
    // 1: dictation, wherever the focus is.
    if (chord.key == Qt::Key_Space && !chord.autoRepeat && chord.onlyOption()) {
        auto toggling = handleVoiceHotkeyToggle();
        Q_UNUSED(toggling);
        return Rule::voiceHotkey;
    }
    // 2: Return sends a dictation that is still being transcribed.
    if (!chord.autoRepeat && chord.isReturn() && chord.noModifiers() && m_voiceController
        && m_voiceController->isTranscribing()) {
        m_state->setPendingVoiceEnterSubmitAfterTranscription(true);
        return Rule::submitAfterTranscript;
    }
    // 3: Escape cancels a dictation on screen.
    if (chord.key == Qt::Key_Escape && shouldShowVoiceCaptureHUD()) {
        m_voiceController->cancelCapture();
        m_state->setPendingVoiceEnterSubmitAfterTranscription(false);
        syncVoiceHUD();
        return Rule::cancelCapture;
    }
    // 4: the history sheet's keys.
    if (m_state->commandHistoryContext()
        && (chord.key == Qt::Key_Up || chord.key == Qt::Key_Down || chord.isReturn())) {
        handleHistorySheetKey(chord);
        return Rule::historySheetKeys;
    }
    // A focused terminal takes every chord but the terminal shortcuts.
    if ((chord.control || chord.meta) && KeyTable::isTerminalView(QApplication::focusWidget())
        && !KeyTable::isTerminalShortcut(chord))
        return Rule::terminalGetsChord;
    // 5, 6: the composer and the task detail handle Escape themselves.
    if (chord.key == Qt::Key_Escape && (m_state->taskComposerContext() || m_state->isTaskDetailVisible()))
        return Rule::none;
    // 7: Escape hides the shown workspace's web preview.
    if (chord.key == Qt::Key_Escape) {
        const auto selection = m_state->sidebarSelection();
        if (selection && selection->isProject()
            && m_appState.browserSidebarEnabledProjectIDs().contains(selection->projectID)) {
            m_appState.setBrowserSidebarVisible(false, selection->projectID);
            return Rule::hideWebPreview;
        }
        return Rule::none;
    }
    if (!chord.control)
        return Rule::none;
    // 8 to 14: Ctrl chords.
    if (chord.characters == QStringLiteral("p") && m_appState.activeProjectID()) {
        m_appState.toggleBrowserSidebar(*m_appState.activeProjectID());
        return Rule::toggleWebPreview;
    }
    if (chord.characters == QStringLiteral("l")) {
        focusWebPreviewAddressBarForActiveProject();
        return Rule::focusWebAddressBar;
    }
    if (chord.characters == QStringLiteral("r") && m_appState.refreshVisibleBrowserSidebarForActiveProject())
        return Rule::refreshWebPreview;
    if (chord.characters == QStringLiteral("i") && textEntryRuleAllows()) {
        toggleActiveWorkspaceCLIVisibilityWithFocus();
        return Rule::toggleTerminal;
    }
    if (chord.characters == QStringLiteral("t") && textEntryRuleAllows()) {
        createTabForActiveWorkspaceWithFocus();
        return Rule::newTerminalTab;
    }
    if (!chord.option && !chord.shift && !chord.characters.isEmpty() && chord.characters.at(0) >= u'1'
        && chord.characters.at(0) <= u'9' && textEntryRuleAllows()) {
        selectTabForActiveWorkspace(chord.characters.at(0).unicode() - u'1');
        return Rule::selectTerminalTab;
    }
    if (chord.characters == QStringLiteral("r")) {
        const auto active = m_appState.activeProjectID();
        if (active && m_state->workspaceTerminalState().isCLIVisible(*active) && !isUsingEmbeddedGhostty(*active)) {
            m_state->setCommandHistorySearchText(QString());
            m_state->setCommandHistorySelectionIndex(0);
            m_state->setCommandHistoryContext(CommandHistoryContext {QUuid::createUuid(), *active});
            return Rule::commandHistory;
        }
    }
    WorkspaceBoardHost *board = m_workspacePage ? m_workspacePage->board() : nullptr;
    if (chord.key == Qt::Key_Slash && !chord.option && !chord.meta && board && board->board() && board->isVisible()) {
        board->requestNewQueuedTask();
        return Rule::newQueuedTask;
    }
    return Rule::none;
}

void MainWindow::handleHistorySheetKey(const KeyTable::KeyChord &chord)
{
    const auto context = m_state->commandHistoryContext();
    const QStringList list
        = m_state->commandRunner().filteredCommandHistory(context->projectID, m_state->commandHistorySearchText());
    if (list.isEmpty())
        return;
    const qint64 count = list.size();
    const qint64 index = m_state->commandHistorySelectionIndex();
    if (chord.key == Qt::Key_Up)
        m_state->setCommandHistorySelectionIndex(std::max<qint64>(0, index - 1));
    else if (chord.key == Qt::Key_Down)
        m_state->setCommandHistorySelectionIndex(std::min<qint64>(count - 1, index + 1));
    else
        chooseCommandHistoryEntry(std::min<qint64>(count - 1, std::max<qint64>(0, index)), true);
}

void MainWindow::chooseCommandHistoryEntry(qint64 row, bool closeSheetFirst)
{
    const auto context = m_state->commandHistoryContext();
    if (!context)
        return;
    const QStringList list
        = m_state->commandRunner().filteredCommandHistory(context->projectID, m_state->commandHistorySearchText());
    if (row < 0 || row >= list.size())
        return;
    m_state->commandRunner().setInput(context->projectID, list.at(row));
    if (closeSheetFirst)
        m_state->setCommandHistoryContext(std::nullopt);
    if (const auto workspace = findWorkspace(m_appState.projects(), context->projectID))
        runIntegratedCommand(*workspace);
    if (!closeSheetFirst)
        m_state->setCommandHistoryContext(std::nullopt);
}

// ---- Reactions ----

MainWindow::ObservedValues MainWindow::observedValues() const
{
    return ObservedValues {m_appState.activeProjectID(), m_appState.projects(), m_appState.selectedTeamID(),
        m_appState.currentUserID(), m_state->sidebarSelection()};
}

void MainWindow::scheduleReactionPass()
{
    if (!m_reactionsArmed || m_reactionPassScheduled)
        return;
    m_reactionPassScheduled = true;
    QMetaObject::invokeMethod(this, &MainWindow::runReactionPass, Qt::QueuedConnection);
}

void MainWindow::runReactionPass()
{
    m_reactionPassScheduled = false;
    if (!m_reactionsArmed)
        return;
    // Each reaction sees the value of the start of the pass; what the
    // reactions write is seen by the next pass.
    const ObservedValues now = observedValues();
    if (now.activeProjectID != m_observed.activeProjectID) {
        m_observed.activeProjectID = now.activeProjectID;
        onActiveProjectChanged(now.activeProjectID);
    }
    if (now.projects != m_observed.projects) {
        m_observed.projects = now.projects;
        onProjectsChanged(now.projects);
    }
    if (now.selectedTeamID != m_observed.selectedTeamID || now.currentUserID != m_observed.currentUserID) {
        m_observed.selectedTeamID = now.selectedTeamID;
        m_observed.currentUserID = now.currentUserID;
        onTeamOrUserChanged();
    }
    if (now.sidebarSelection != m_observed.sidebarSelection) {
        m_observed.sidebarSelection = now.sidebarSelection;
        onSidebarSelectionChanged(now.sidebarSelection);
    }
}

void MainWindow::persistLastViewed(const std::optional<QUuid> &id)
{
    m_appState.settings().persistLastViewedProjectID(id);
}

void MainWindow::onActiveProjectChanged(const std::optional<QUuid> &active)
{
    const auto selection = m_state->sidebarSelection();
    if (active && selection == SidebarSelection::project(*active)) {
        m_state->setLastViewedProjectID(active);
        return;
    }
    if (!active) {
        m_state->setSidebarSelection(SidebarSelection::page(SidebarSelection::Kind::gettingStarted));
        return;
    }
    if (selection && selection->isProject())
        m_state->setSidebarSelection(SidebarSelection::project(*active));
    if (!m_state->lastViewedProjectID())
        m_state->setLastViewedProjectID(active);
}

void MainWindow::onProjectsChanged(const QList<BL_Workspace> &projects)
{
    if (projects.isEmpty()) {
        m_state->cancelAllTerminalOutputIdleWatches();
        m_state->setWorkspaceTerminalState(WorkspaceTerminalState {});
        m_state->setLastViewedProjectID(std::nullopt);
        m_state->setSidebarSelection(SidebarSelection::page(SidebarSelection::Kind::gettingStarted));
        return;
    }
    QSet<QUuid> ids;
    for (const BL_Workspace &workspace : projects)
        ids.insert(workspace.id);
    WorkspaceTerminalState terminal = m_state->workspaceTerminalState();
    terminal.prune(ids);
    m_state->setWorkspaceTerminalState(terminal);
    m_state->pruneTerminalOutputIdleWatches(ids);
    const auto lastViewed = m_state->lastViewedProjectID();
    if (!lastViewed || !ids.contains(*lastViewed))
        m_state->setLastViewedProjectID(fallbackWorkspaceID());
}

void MainWindow::onTeamOrUserChanged()
{
    const QList<BL_Workspace> visible = m_appState.projectsForSelectedTeam();
    if (const auto active = m_appState.activeProjectID(); active && !containsWorkspace(visible, *active)) {
        m_appState.setActiveProjectID(visible.isEmpty() ? std::nullopt : std::optional<QUuid>(visible.first().id));
        persistLastViewed(m_appState.activeProjectID());
    }
    const auto selection = m_state->sidebarSelection();
    if (selection && selection->isProject() && !containsWorkspace(visible, selection->projectID) && !visible.isEmpty())
        m_state->setSidebarSelection(SidebarSelection::project(visible.first().id));
}

void MainWindow::onSidebarSelectionChanged(const std::optional<SidebarSelection> &selection)
{
    using Kind = SidebarSelection::Kind;
    if (m_appState.isClientNodeMode() && selection
        && (selection->kind == Kind::models || selection->kind == Kind::analytics
            || selection->kind == Kind::brimlockConfig || selection->kind == Kind::agents)) {
        m_state->setSidebarSelection(SidebarSelection::page(Kind::health));
        return;
    }
    if (!selection) {
        const auto target = m_state->lastViewedProjectID() ? m_state->lastViewedProjectID() : fallbackWorkspaceID();
        m_state->setSidebarSelection(
            target ? SidebarSelection::project(*target) : SidebarSelection::page(Kind::gettingStarted));
        return;
    }
    if (selection->isProject()) {
        m_state->setLastViewedProjectID(selection->projectID);
        if (m_appState.activeProjectID() != selection->projectID) {
            m_appState.setActiveProjectID(selection->projectID);
            persistLastViewed(m_appState.activeProjectID());
        }
        return;
    }
    if (selection->kind == Kind::gettingStarted) {
        const auto target = fallbackWorkspaceID();
        if (!target)
            return;
        m_appState.setActiveProjectID(target);
        persistLastViewed(target);
        WorkspaceTerminalState terminal = m_state->workspaceTerminalState();
        terminal.cliVisibilityByWorkspaceID.insert(*target, true);
        terminal.ensureWorkspace(*target);
        m_state->setWorkspaceTerminalState(terminal);
    }
}

void MainWindow::onShortcutNotification(const QString &name, const QVariant &object)
{
    if (name == ShortcutNotifications::toggleWebPreviewShortcut) {
        if (const auto active = m_appState.activeProjectID())
            m_appState.toggleBrowserSidebar(*active);
    } else if (name == ShortcutNotifications::focusWebPreviewShortcut) {
        focusWebPreviewAddressBarForActiveProject();
    } else if (name == ShortcutNotifications::toggleTerminalShortcut) {
        if (textEntryRuleAllows())
            toggleActiveWorkspaceCLIVisibilityWithFocus();
    } else if (name == ShortcutNotifications::newTerminalTabShortcut) {
        createTabForActiveWorkspaceWithFocus();
    } else if (name == ShortcutNotifications::selectTerminalTabShortcut) {
        const bool isNumber = object.isValid() && object.canConvert<qint64>()
            && (object.typeId() == QMetaType::Int || object.typeId() == QMetaType::LongLong
                || object.typeId() == QMetaType::UInt || object.typeId() == QMetaType::ULongLong);
        if (isNumber && object.toLongLong() >= 0)
            selectTabForActiveWorkspace(object.toLongLong());
    }
}

// ---- Views ----

void MainWindow::refreshMenuState()
{
    if (m_refreshAction)
        m_refreshAction->setEnabled(m_appState.isVisibleBrowserSidebarForActiveProject());
}

void MainWindow::refreshSidebar()
{
    if (m_sidebarColumn)
        m_sidebarColumn->scheduleRefresh();
}

void MainWindow::refreshDetail()
{
    if (!m_detailStack)
        return;
    using Kind = SidebarSelection::Kind;
    const auto selection = m_state->sidebarSelection();
    if (!selection) {
        m_detailStack->setCurrentWidget(m_noProjects);
        return;
    }
    if (!selection->isProject()) {
        // A client node shows the health page for the agents and analytics.
        Kind kind = selection->kind;
        if (m_appState.isClientNodeMode() && (kind == Kind::agents || kind == Kind::analytics))
            kind = Kind::health;
        // Another kind of page is built anew.
        if (m_widgetPageKind != kind) {
            delete m_widgetPageContent;
            m_widgetPageContent = new PlaceholderView(pageObjectName(kind), pageTitle(kind), m_widgetPage);
            if (kind == Kind::agents) {
                const auto target = fallbackWorkspaceID();
                const auto workspace = target ? findWorkspace(m_appState.projects(), *target) : std::nullopt;
                m_widgetPageContent->setProperty(
                    "workspaceRootPath", workspace ? QVariant(workspace->rootPath) : QVariant());
            }
            m_widgetPage->layout()->addWidget(m_widgetPageContent);
            m_widgetPageKind = kind;
        }
        m_detailStack->setCurrentWidget(m_widgetPage);
        return;
    }
    m_widgetPageKind.reset();
    delete m_widgetPageContent;
    m_widgetPageContent = nullptr;
    const auto workspace = findWorkspace(m_appState.projects(), selection->projectID);
    if (!workspace || !m_appState.taskStore(workspace->id)) {
        m_detailStack->setCurrentWidget(m_noProjects);
        return;
    }
    m_workspacePage->setWorkspace(*workspace);
    m_detailStack->setCurrentWidget(m_workspacePage);
}

void MainWindow::syncFocusFromState()
{
    const auto focused = m_state->focusedCLIProjectID();
    QLineEdit *input = m_commandLinePanel->input();
    if (focused && *focused == m_commandLinePanel->workspaceID() && m_commandLinePanel->isVisible()) {
        if (!input->hasFocus())
            input->setFocus(Qt::OtherFocusReason);
    } else if (!focused && input->hasFocus()) {
        input->clearFocus();
    }
}

void MainWindow::syncPresentations()
{
    syncComposerSheet();
    syncHistorySheet();
    syncErrorAlert();
    syncDeleteAlert();
    syncCreateTeamAlert();
    syncVoiceHUD();
}

void MainWindow::syncComposerSheet()
{
    const auto context = m_state->taskComposerContext();
    if (m_composerSheet && (!context || context->id != m_composerSheetID)) {
        QDialog *old = m_composerSheet;
        m_composerSheet = nullptr;
        old->disconnect(this);
        old->close();
    }
    if (!context || m_composerSheet)
        return;
    auto *sheet = new QDialog(this);
    sheet->setObjectName(QStringLiteral("taskComposerSheet"));
    sheet->setWindowTitle(QStringLiteral("New Task"));
    sheet->setWindowModality(Qt::WindowModal);
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    auto *layout = new QVBoxLayout(sheet);
    layout->setContentsMargins(0, 0, 0, 0);
    const TaskComposerContext request = *context;
    auto *form = new TaskComposerForm(
        request.projectName, [this] { m_state->setTaskComposerContext(std::nullopt); },
        [this, request](const NewTaskDraft &draft) {
            TaskCreationRequest creation;
            // The workspace the sheet names while it has a board, else the active one.
            const bool namedHasBoard = m_appState.taskStore(request.projectID) != nullptr;
            const std::optional<QUuid> active = m_appState.activeProjectID();
            creation.projectID = namedHasBoard || !active ? request.projectID : *active;
            creation.title = draft.title;
            creation.acceptanceCriteria = draft.acceptanceCriteria;
            creation.description = draft.description;
            creation.priority = rawValue(draft.priority);
            creation.sizeEstimate = rawValue(draft.sizeEstimate);
            creation.initialStatus = request.initialStatus;
            m_appState.createTask(creation);
            m_state->setTaskComposerContext(std::nullopt);
        },
        sheet);
    layout->addWidget(form);
    m_composerSheet = sheet;
    m_composerSheetID = request.id;
    connect(sheet, &QDialog::finished, this, [this, id = request.id] {
        if (m_state->taskComposerContext() && m_state->taskComposerContext()->id == id)
            m_state->setTaskComposerContext(std::nullopt);
    });
    sheet->open();
}

void MainWindow::syncHistorySheet()
{
    const auto context = m_state->commandHistoryContext();
    if (m_historySheet && (!context || context->id != m_historySheetID)) {
        CommandHistorySheet *old = m_historySheet;
        m_historySheet = nullptr;
        old->disconnect(this);
        old->close();
    }
    if (!context)
        return;
    if (m_historySheet) {
        m_historySheet->refresh();
        return;
    }
    auto *sheet = new CommandHistorySheet(*m_state, this);
    m_historySheet = sheet;
    m_historySheetID = context->id;
    connect(
        sheet, &CommandHistorySheet::entryChosen, this, [this](qint64 row) { chooseCommandHistoryEntry(row, false); });
    connect(sheet, &QDialog::finished, this, [this, id = context->id] {
        if (m_state->commandHistoryContext() && m_state->commandHistoryContext()->id == id)
            m_state->setCommandHistoryContext(std::nullopt);
    });
    sheet->open();
}

void MainWindow::syncErrorAlert()
{
    const auto message = m_appState.lastErrorMessage();
    if (!message) {
        if (m_errorAlert) {
            AlertDialog *old = m_errorAlert;
            m_errorAlert = nullptr;
            old->disconnect(this);
            old->close();
        }
        return;
    }
    const QString text = message->isEmpty() ? QStringLiteral("Unknown error") : *message;
    if (m_errorAlert) {
        m_errorAlert->setMessage(text);
        return;
    }
    auto *alert = new AlertDialog(QStringLiteral("workspaceErrorAlert"), QStringLiteral("Workspace Error"), this);
    alert->setMessage(text);
    alert->addButton(QStringLiteral("OK"), AlertDialog::Role::none, QStringLiteral("alertOKButton"));
    m_errorAlert = alert;
    qCInfo(lcShell).noquote() << "error alert:" << text;
    // OK and any dismissal clear the message.
    connect(alert, &QDialog::finished, this, [this] {
        m_errorAlert = nullptr;
        m_appState.setLastErrorMessage(std::nullopt);
    });
    alert->open();
}

void MainWindow::syncDeleteAlert()
{
    const auto pending = m_state->pendingDeleteProject();
    if (m_deleteAlert && !pending) {
        AlertDialog *old = m_deleteAlert;
        m_deleteAlert = nullptr;
        old->disconnect(this);
        old->close();
    }
    if (!pending || m_deleteAlert)
        return;
    const BL_Workspace workspace = *pending;
    auto *alert = new AlertDialog(QStringLiteral("deleteWorkspaceAlert"), QStringLiteral("Delete Workspace?"), this);
    alert->setMessage(
        QStringLiteral("Remove ") + workspace.name + QStringLiteral(" from Tessaron and persistent imports?"));
    QPushButton *remove = alert->addButton(
        QStringLiteral("Delete"), AlertDialog::Role::destructive, QStringLiteral("alertDeleteButton"));
    alert->addButton(QStringLiteral("Cancel"), AlertDialog::Role::cancel, QStringLiteral("alertCancelButton"));
    m_deleteAlert = alert;
    connect(alert, &QDialog::finished, this, [this, alert, remove, workspace] {
        m_deleteAlert = nullptr;
        if (alert->clickedButton() == remove) {
            if (m_state->sidebarSelection() == SidebarSelection::project(workspace.id))
                m_state->setSidebarSelection(std::nullopt);
            if (m_state->lastViewedProjectID() == workspace.id)
                m_state->setLastViewedProjectID(std::nullopt);
            m_appState.removeProject(workspace.id);
        }
        m_state->setPendingDeleteProject(std::nullopt);
    });
    alert->open();
}

void MainWindow::syncCreateTeamAlert()
{
    const bool visible = m_state->isCreateTeamPromptVisible();
    if (m_createTeamAlert && !visible) {
        AlertDialog *old = m_createTeamAlert;
        m_createTeamAlert = nullptr;
        old->disconnect(this);
        old->close();
    }
    if (!visible || m_createTeamAlert)
        return;
    auto *alert = new AlertDialog(QStringLiteral("newTeamAlert"), QStringLiteral("New Team"), this);
    QLineEdit *field = alert->addTextField(QStringLiteral("Team name"));
    field->setText(m_state->createTeamNameDraft());
    connect(
        field, &QLineEdit::textEdited, this, [this](const QString &text) { m_state->setCreateTeamNameDraft(text); });
    QPushButton *create
        = alert->addButton(QStringLiteral("Create"), AlertDialog::Role::none, QStringLiteral("alertCreateButton"));
    alert->addButton(QStringLiteral("Cancel"), AlertDialog::Role::cancel, QStringLiteral("alertCancelButton"));
    alert->setMessage(QStringLiteral("Choose a team name"));
    m_createTeamAlert = alert;
    connect(alert, &QDialog::finished, this, [this, alert, create] {
        m_createTeamAlert = nullptr;
        if (alert->clickedButton() == create) {
            const QString name = Text::trimmed(m_state->createTeamNameDraft());
            m_appState.createTeam(name.isEmpty() ? std::nullopt : std::optional<QString>(name));
        }
        m_state->setCreateTeamNameDraft(QString());
        m_state->setCreateTeamPromptVisible(false);
    });
    alert->open();
}

void MainWindow::syncVoiceHUD()
{
    const bool shown = shouldShowVoiceCaptureHUD();
    if (shown)
        m_voiceHUD->setState(
            m_voiceController->isRecording(), m_voiceController->isTranscribing(), m_voiceController->audioLevel());
    if (m_voiceHUD->isPresented() != shown) {
        positionOverlays();
        m_voiceHUD->setPresented(shown);
    }
}
