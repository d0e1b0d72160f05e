#include "WorkspacePage.h"

#include "CommandLinePanel.h"
#include "DarkAppearance.h"
#include "MainWindowState.h"
#include "ShellWidgets.h"
#include "SymbolIcons.h"
#include "WorkerCapacityDiagram.h"
#include "board/WorkspaceBoardHost.h"
#include "browser/ProjectBrowserSidebarView.h"
#include "state/AppState.h"
#include "terminal/EmbeddedTerminalBackendResolver.h"
#include "terminal/EmbeddedTerminalPanel.h"

#include <QEnterEvent>
#include <QGraphicsBlurEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

const QColor kAccent(61, 126, 255);

QPushButton *borderedButton(const QString &objectName, QWidget *parent)
{
    auto *button = new QPushButton(parent);
    button->setObjectName(objectName);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

void setSymbol(QPushButton *button, const QString &symbol)
{
    button->setIcon(SymbolIcons::icon(symbol));
    button->setProperty("symbolName", symbol);
}

} // namespace

// ---- BrowserSidebarResizeHandle ----

BrowserSidebarResizeHandle::BrowserSidebarResizeHandle(
    MainWindowState &windowState, const QUuid &workspaceID, QWidget *parent)
    : QWidget(parent), m_windowState(windowState), m_workspaceID(workspaceID)
{
    setObjectName(QStringLiteral("browserSidebarResizeHandle"));
    setFixedWidth(handleWidth);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
    setToolTip(QStringLiteral("Drag to resize browser sidebar"));
    setMouseTracking(true);
    setCursor(Qt::SizeHorCursor);
    setProperty("symbolName", QStringLiteral("line.3.horizontal"));
}

BrowserSidebarResizeHandle::~BrowserSidebarResizeHandle()
{
    if (m_dragging)
        m_windowState.endBrowserSidebarResize(m_workspaceID);
}

BrowserSidebarResizeHandle::Look BrowserSidebarResizeHandle::look(bool resizing, bool hovering)
{
    if (resizing)
        return {10, 0.42, 0.65, 0.85, 1.08};
    if (hovering)
        return {8, 0.30, 0.45, 0.85, 1.0};
    return {6, 0.15, 0.20, 0.38, 1.0};
}

BrowserSidebarResizeHandle::Look BrowserSidebarResizeHandle::currentLook() const
{
    return look(m_windowState.browserSidebarActivelyResizingProjectIDs.contains(m_workspaceID),
        m_windowState.browserSidebarHoveringResizeHandleProjectIDs.contains(m_workspaceID));
}

void BrowserSidebarResizeHandle::paintEvent(QPaintEvent *)
{
    const Look now = currentLook();
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bar((width() - now.barWidth) / 2.0, 0, now.barWidth, height());
    QLinearGradient gradient(bar.topLeft(), bar.bottomLeft());
    QColor white(Qt::white);
    white.setAlphaF(float(now.whiteOpacity));
    QColor accent = kAccent;
    accent.setAlphaF(float(now.accentOpacity));
    gradient.setColorAt(0, white);
    gradient.setColorAt(1, accent);
    painter.fillRect(bar, gradient);

    // The grip: three lines standing upright.
    painter.translate(width() / 2.0, height() / 2.0);
    painter.scale(now.gripScale, now.gripScale);
    painter.rotate(90);
    QColor grip(Qt::white);
    grip.setAlphaF(float(now.gripOpacity));
    painter.setPen(QPen(grip, 1.6, Qt::SolidLine, Qt::RoundCap));
    for (int i = -1; i <= 1; ++i)
        painter.drawLine(QPointF(-5, i * 3.2), QPointF(5, i * 3.2));
}

void BrowserSidebarResizeHandle::enterEvent(QEnterEvent *event)
{
    QWidget::enterEvent(event);
    m_windowState.setBrowserSidebarHovering(m_workspaceID, true);
    setCursor(Qt::SizeHorCursor);
    update();
}

void BrowserSidebarResizeHandle::leaveEvent(QEvent *event)
{
    QWidget::leaveEvent(event);
    m_windowState.setBrowserSidebarHovering(m_workspaceID, false);
    update();
}

void BrowserSidebarResizeHandle::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mousePressEvent(event);
    m_pressX = event->globalPosition().x();
    event->accept();
}

void BrowserSidebarResizeHandle::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_pressX || !(event->buttons() & Qt::LeftButton))
        return QWidget::mouseMoveEvent(event);
    const double dx = event->globalPosition().x() - *m_pressX;
    // A drag begins after one point of movement.
    if (!m_dragging && std::abs(dx) < 1)
        return;
    m_dragging = true;
    m_windowState.dragBrowserSidebarResizeHandle(m_workspaceID, dx);
    update();
    event->accept();
}

void BrowserSidebarResizeHandle::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return QWidget::mouseReleaseEvent(event);
    m_pressX.reset();
    if (m_dragging) {
        m_dragging = false;
        m_windowState.endBrowserSidebarResize(m_workspaceID);
    }
    update();
    event->accept();
}

// ---- WorkspaceHeader ----

WorkspaceHeader::WorkspaceHeader(
    AppState &appState, MainWindowState &windowState, WorkspacePageActions actions, QWidget *parent)
    : QWidget(parent), m_appState(appState), m_windowState(windowState), m_actions(std::move(actions))
{
    setObjectName(QStringLiteral("workspaceHeader"));
    auto *rows = new QVBoxLayout(this);
    rows->setContentsMargins(16, 0, 16, 0);
    rows->setSpacing(10);

    auto *row1 = new QBoxLayout(QBoxLayout::LeftToRight);
    m_topRow = row1;
    m_capacity = new WorkerCapacityDiagram(this);
    m_capacity->onIncreasePool
        = [this] { m_appState.setWorkerPoolSize(m_workspace.id, m_appState.sharedWorkerPoolSize() + 1); };
    m_capacity->onDecreasePool
        = [this] { m_appState.setWorkerPoolSize(m_workspace.id, m_appState.sharedWorkerPoolSize() - 1); };
    row1->addWidget(m_capacity, 0, Qt::AlignTop);
    row1->addSpacing(12);
    row1->addStretch(1);

    auto *trailing = new QVBoxLayout;
    trailing->setSpacing(8);
    auto *controls = new QHBoxLayout;
    controls->setSpacing(8);
    m_browserToggle = borderedButton(QStringLiteral("browserToggleButton"), this);
    connect(m_browserToggle, &QPushButton::clicked, this, [this] { m_appState.toggleBrowserSidebar(m_workspace.id); });
    controls->addWidget(m_browserToggle);
    m_cliToggle = borderedButton(QStringLiteral("cliToggleButton"), this);
    connect(m_cliToggle, &QPushButton::clicked, this, &WorkspaceHeader::toggleTerminal);
    controls->addWidget(m_cliToggle);

    m_stopServer = borderedButton(QStringLiteral("stopServerButton"), this);
    m_stopServer->setText(QStringLiteral("Stop Local Server"));
    setSymbol(m_stopServer, QStringLiteral("stop.circle"));
    m_stopServer->setProperty("prominent", true);
    m_stopServer->setStyleSheet(QStringLiteral("QPushButton { background: rgb(61,126,255); color: white;"
                                               " border-radius: 6px; padding: 4px 10px; }"));
    connect(m_stopServer, &QPushButton::clicked, this, [this] {
        m_appState.stopLocalTaskViewerServer();
        m_windowState.setViewerLinkFeedback(m_windowState.didCopyViewerLink(), QStringLiteral("Local viewer stopped."));
    });
    controls->addWidget(m_stopServer);

    // The split start control: start button | divider | token reset.
    m_splitStart = new QWidget(this);
    m_splitStart->setObjectName(QStringLiteral("splitStartControl"));
    m_splitStart->setStyleSheet(
        QStringLiteral("#splitStartControl { background: rgb(61,126,255); border-radius: 14px; }"
                       "QPushButton { color: white; background: transparent; border: none; }"));
    auto *split = new QHBoxLayout(m_splitStart);
    split->setContentsMargins(0, 0, 0, 0);
    split->setSpacing(0);
    auto *start = new QPushButton(
        SymbolIcons::icon(QStringLiteral("play.circle")), QStringLiteral("Start Tessaron Server"), m_splitStart);
    start->setObjectName(QStringLiteral("startServerButton"));
    start->setProperty("symbolName", QStringLiteral("play.circle"));
    start->setStyleSheet(QStringLiteral("padding: 6px 12px;"));
    start->setCursor(Qt::PointingHandCursor);
    connect(start, &QPushButton::clicked, this, [this] {
        m_appState.ensureLocalTaskViewerServerStarted();
        if (m_actions.copyViewerShareLinkToClipboard)
            m_actions.copyViewerShareLinkToClipboard(QStringLiteral("Copied to Clipboard"));
        if (m_actions.scheduleHealthRefreshAfterServerStart)
            m_actions.scheduleHealthRefreshAfterServerStart();
    });
    split->addWidget(start);
    auto *divider = new QFrame(m_splitStart);
    divider->setFixedSize(1, 18);
    divider->setStyleSheet(QStringLiteral("background: rgba(255,255,255,115);"));
    split->addWidget(divider);
    auto *reset = new QPushButton(SymbolIcons::icon(QStringLiteral("arrow.clockwise")), QString(), m_splitStart);
    reset->setObjectName(QStringLiteral("resetTokenButton"));
    reset->setProperty("symbolName", QStringLiteral("arrow.clockwise"));
    reset->setStyleSheet(QStringLiteral("padding: 6px 10px;"));
    reset->setCursor(Qt::PointingHandCursor);
    connect(reset, &QPushButton::clicked, this, [this] {
        m_appState.regenerateLocalTaskViewerToken();
        m_windowState.setViewerLinkFeedback(m_windowState.didCopyViewerLink(),
            QStringLiteral("Token reset. Click Start Tessaron Server to launch with new token."));
    });
    split->addWidget(reset);
    m_splitStart->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    controls->addWidget(m_splitStart);
    trailing->addLayout(controls);

    m_copyLink = borderedButton(QStringLiteral("copyDashboardLinkButton"), this);
    connect(m_copyLink, &QPushButton::clicked, this, [this] {
        if (m_actions.copyViewerShareLinkToClipboard)
            m_actions.copyViewerShareLinkToClipboard(QStringLiteral("Share Link Copied"));
    });
    trailing->addWidget(m_copyLink, 0, Qt::AlignRight);
    trailing->addStretch(1);
    row1->addLayout(trailing);
    rows->addLayout(row1);

    auto *row2 = new QVBoxLayout;
    row2->setSpacing(2);
    m_name = new QLabel(this);
    m_name->setObjectName(QStringLiteral("workspaceName"));
    m_name->setFont(DarkAppearance::interfaceFont(17, QFont::Bold));
    m_name->setStyleSheet(QStringLiteral("color: white;"));
    row2->addWidget(m_name);
    m_status = new QLabel(this);
    m_status->setObjectName(QStringLiteral("workspaceStatusText"));
    m_status->setFont(DarkAppearance::interfaceFont(9));
    m_status->setStyleSheet(QStringLiteral("color: #9a9ca1;"));
    row2->addWidget(m_status);
    m_feedback = new QLabel(this);
    m_feedback->setObjectName(QStringLiteral("viewerLinkFeedback"));
    m_feedback->setFont(DarkAppearance::interfaceFont(8, QFont::DemiBold));
    m_feedback->setStyleSheet(QStringLiteral("color: rgb(52,199,89);"));
    m_feedback->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    row2->addWidget(m_feedback);
    rows->addLayout(row2);
    refresh();
}

WorkspaceHeader::~WorkspaceHeader() = default;

// Beside the sidebar and a web preview on a small screen the card and the
// controls do not fit in one row: the controls then go under the card.
void WorkspaceHeader::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    int oneRowWidth = 0;
    for (int i = 0; i < m_topRow->count(); ++i) {
        QLayoutItem *item = m_topRow->itemAt(i);
        oneRowWidth += item->spacerItem() ? item->spacerItem()->sizeHint().width() : item->minimumSize().width();
    }
    const auto direction = width() >= oneRowWidth ? QBoxLayout::LeftToRight : QBoxLayout::TopToBottom;
    if (m_topRow->direction() != direction)
        m_topRow->setDirection(direction);
}

void WorkspaceHeader::setWorkspace(const BL_Workspace &workspace)
{
    m_workspace = workspace;
    refresh();
}

void WorkspaceHeader::refresh()
{
    WorkerPool &pool = m_appState.workerPool();
    const QList<BL_Agent> agents = pool.agents();
    const qsizetype k = std::max<qsizetype>(0, std::min<qsizetype>(agents.size(), pool.sharedAgentCount()));
    m_capacity->setValues(m_appState.sharedWorkerPoolSize(), pool.activeAssignmentCount(), agents.mid(0, k));
    m_capacity->setShowMemoryDetails(!m_appState.isClientNodeMode());

    const bool browserShown = m_appState.browserSidebarEnabledProjectIDs().contains(m_workspace.id);
    m_browserToggle->setText(browserShown ? QStringLiteral("Hide Browser") : QStringLiteral("Show Browser"));
    setSymbol(m_browserToggle, browserShown ? QStringLiteral("sidebar.trailing") : QStringLiteral("sidebar.right"));
    const bool cliShown = m_windowState.workspaceTerminalState().isCLIVisible(m_workspace.id);
    m_cliToggle->setText(cliShown ? QStringLiteral("Hide CLI") : QStringLiteral("Show CLI"));
    setSymbol(m_cliToggle, cliShown ? QStringLiteral("chevron.down.square") : QStringLiteral("chevron.up.square"));

    const bool running = m_appState.isLocalTaskViewerRunning();
    m_stopServer->setVisible(running);
    m_splitStart->setVisible(!running && !m_appState.isClientNodeMode());
    m_copyLink->setVisible(running);
    m_copyLink->setText(m_windowState.didCopyViewerLink() ? QStringLiteral("Copied Dashboard Link")
                                                          : QStringLiteral("Copy Dashboard Link"));

    m_name->setText(m_workspace.name);
    m_status->setText(m_appState.workspaceStatusText());
    const auto feedback = m_windowState.copiedViewerLinkText();
    m_feedback->setVisible(feedback.has_value());
    if (feedback) {
        // One line, shortened in the middle.
        const int room = std::max(40, m_feedback->width() > 0 ? m_feedback->width() : width() - 32);
        m_feedback->setText(m_feedback->fontMetrics().elidedText(*feedback, Qt::ElideMiddle, room));
        m_feedback->setToolTip(*feedback);
        m_feedback->setProperty("fullText", *feedback);
    }
}

void WorkspaceHeader::toggleTerminal()
{
    const QUuid id = m_workspace.id;
    WorkspaceTerminalState terminal = m_windowState.workspaceTerminalState();
    const bool visible = !terminal.isCLIVisible(id);
    terminal.cliVisibilityByWorkspaceID.insert(id, visible);
    if (!visible)
        terminal.cliExpandedByWorkspaceID.insert(id, false);
    terminal.ensureWorkspace(id);
    m_windowState.setWorkspaceTerminalState(terminal);
    if (visible) {
        if (m_actions.focusIntegratedTerminalInput)
            m_actions.focusIntegratedTerminalInput(id);
    } else {
        m_windowState.setFocusedCLIProjectID(std::nullopt);
    }
}

// ---- WorkspacePage ----

WorkspacePage::WorkspacePage(
    AppState &appState, MainWindowState &windowState, WorkspacePageActions actions, QWidget *parent)
    : QWidget(parent), m_appState(appState), m_windowState(windowState), m_actions(actions)
{
    setObjectName(QStringLiteral("workspacePage"));
    auto *stack = new QHBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);

    auto *column = new QWidget(this);
    column->setObjectName(QStringLiteral("workspaceColumn"));
    auto *columnLayout = new QVBoxLayout(column);
    columnLayout->setContentsMargins(0, VirtualTitlebarStrip::height, 0, 10);
    columnLayout->setSpacing(12);
    m_header = new WorkspaceHeader(appState, windowState, std::move(actions), column);
    // The header never widens the page (it folds its row instead), which
    // would push the page over the sidebar.
    m_header->setSizePolicy(QSizePolicy::Ignored, m_header->sizePolicy().verticalPolicy());
    columnLayout->addWidget(m_header);

    m_boardArea = new QWidget(column);
    m_boardArea->setObjectName(QStringLiteral("boardArea"));
    m_boardArea->installEventFilter(this);
    columnLayout->addWidget(m_boardArea, 1);
    m_boardColumn = new QWidget(m_boardArea);
    m_boardColumn->setObjectName(QStringLiteral("boardColumn"));
    auto *boardLayout = new QVBoxLayout(m_boardColumn);
    boardLayout->setContentsMargins(0, 0, 0, 0);
    boardLayout->setSpacing(12);
    m_board = new WorkspaceBoardHost(appState, windowState, m_boardColumn);
    boardLayout->addWidget(m_board, 3);
    m_commandLinePanel = new CommandLinePanel(windowState.commandRunner(), m_boardColumn);
    m_commandLinePanel->setHeightMaps(
        &windowState.commandLineHeightByProjectID, &windowState.commandLineResizeStartHeightByProjectID);
    m_commandLinePanel->hide();
    boardLayout->addWidget(m_commandLinePanel, 2);
    m_inlineTerminal = new EmbeddedTerminalPanel(appState, windowState, m_boardColumn);
    m_inlineTerminal->setObjectName(QStringLiteral("embeddedTerminalPanel"));
    m_inlineTerminal->hide();
    boardLayout->addWidget(m_inlineTerminal, 2);
    m_expandedTerminal = new EmbeddedTerminalPanel(appState, windowState, m_boardArea);
    m_expandedTerminal->setObjectName(QStringLiteral("expandedTerminalOverlay"));
    m_expandedTerminal->hide();
    stack->addWidget(column, 1);

    m_browserSidebar = new QWidget(this);
    m_browserSidebar->setObjectName(QStringLiteral("browserSidebar"));
    auto *sidebarLayout = new QHBoxLayout(m_browserSidebar);
    sidebarLayout->setContentsMargins(0, 0, 0, 0);
    sidebarLayout->setSpacing(0);
    m_browserSidebar->hide();
    stack->addWidget(m_browserSidebar);
}

WorkspacePage::~WorkspacePage() = default;

void WorkspacePage::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), PageBackdrop::gradient(rect()));
}

bool WorkspacePage::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_boardArea && event->type() == QEvent::Resize) {
        // The expanded panel is told the board area's new height.
        if (m_expandedTerminal->isVisible())
            m_expandedTerminal->setWorkspace(m_workspace, true, qreal(m_boardArea->height()), true);
        layoutBoardArea();
    }
    return QWidget::eventFilter(watched, event);
}

bool WorkspacePage::isUsingEmbeddedTerminal(const QUuid &workspaceID) const
{
    return EmbeddedTerminalBackendResolver::shared().usesEmbeddedLibrary()
        && !m_windowState.ghosttyRuntimeErrorByProjectID().contains(workspaceID);
}

bool WorkspacePage::isExpandedEmbeddedCLI(const QUuid &workspaceID) const
{
    const WorkspaceTerminalState &terminal = m_windowState.workspaceTerminalState();
    return terminal.isCLIVisible(workspaceID) && terminal.cliExpandedByWorkspaceID.value(workspaceID, false)
        && isUsingEmbeddedTerminal(workspaceID);
}

void WorkspacePage::setBlurred(QWidget *widget, bool blurred)
{
    auto *current = qobject_cast<QGraphicsBlurEffect *>(widget->graphicsEffect());
    if (blurred && !current) {
        auto *blur = new QGraphicsBlurEffect(widget);
        blur->setBlurRadius(9);
        blur->setBlurHints(QGraphicsBlurEffect::PerformanceHint);
        widget->setGraphicsEffect(blur);
    } else if (!blurred && current) {
        widget->setGraphicsEffect(nullptr);
    }
}

void WorkspacePage::setWorkspace(const BL_Workspace &workspace)
{
    m_workspace = workspace;
    refresh();
}

void WorkspacePage::refresh()
{
    if (m_workspace.id.isNull())
        return;
    const QUuid id = m_workspace.id;
    m_header->setWorkspace(m_workspace);
    if (m_board->workspaceID() != id)
        m_board->setWorkspace(id);

    const bool cliShown = m_windowState.workspaceTerminalState().isCLIVisible(id);
    const bool embedded = isUsingEmbeddedTerminal(id);
    const bool expanded = isExpandedEmbeddedCLI(id);

    // Inline panel: the embedded terminal, else the process-backed line with
    // the reason why.
    const bool inlineShown = cliShown && !expanded;
    if (inlineShown && embedded)
        m_inlineTerminal->setWorkspace(m_workspace, false, std::nullopt, true);
    // The process-backed line stays bound to the shown workspace even while
    // hidden. A terminal that failed in this workspace says why first, and
    // only that failure can be retried.
    const auto runtimeError = m_windowState.ghosttyRuntimeErrorByProjectID().constFind(id);
    const bool failedAtRunTime = runtimeError != m_windowState.ghosttyRuntimeErrorByProjectID().constEnd();
    m_commandLinePanel->bind(id, m_workspace.rootPath,
        failedAtRunTime ? *runtimeError : EmbeddedTerminalBackendResolver::shared().fallbackReason());
    m_commandLinePanel->setRetryAvailable(failedAtRunTime);
    m_inlineTerminal->setVisible(inlineShown && embedded);
    m_commandLinePanel->setVisible(inlineShown && !embedded);

    if (expanded)
        m_expandedTerminal->setWorkspace(m_workspace, true, qreal(m_boardArea->height()), true);
    m_expandedTerminal->setVisible(expanded);
    setBlurred(m_header, expanded);
    setBlurred(m_boardColumn, expanded);
    layoutBoardArea();
    refreshBrowserSidebar();
}

void WorkspacePage::layoutBoardArea()
{
    const QRect area = m_boardArea->rect();
    m_boardColumn->setGeometry(area);
    if (m_expandedTerminal->isVisible()) {
        m_expandedTerminal->setGeometry(area);
        m_expandedTerminal->raise();
    }
}

void WorkspacePage::refreshBrowserSidebar()
{
    const QUuid id = m_workspace.id;
    const bool shown = m_appState.browserSidebarEnabledProjectIDs().contains(id);
    // The sidebar's identity is the workspace: another workspace, or showing
    // it again, builds a fresh one.
    if (m_webPreview && (!shown || m_browserSidebarWorkspace != id)) {
        // Later: the old view may be the one asking to hide itself.
        m_resizeHandle->hide();
        m_webPreview->hide();
        m_resizeHandle->deleteLater();
        m_webPreview->deleteLater();
        m_resizeHandle = nullptr;
        m_webPreview = nullptr;
    }
    m_browserSidebar->setVisible(shown);
    if (!shown)
        return;
    ProjectBrowserSidebarArguments arguments;
    arguments.projectID = id;
    arguments.webViewPurpose = WebViewPurpose::workspace;
    arguments.initialURLString = m_appState.browserURL(id);
    arguments.refreshToken = m_appState.browserRefreshTokenByProjectID().value(id, 0);
    arguments.focusAddressBarToken = m_windowState.browserAddressBarFocusTokenByProjectID().value(id, 0);
    arguments.isVisible = true;
    QPointer<WorkspacePage> self(this);
    arguments.setVisible = [self, id](bool visible) {
        if (self)
            self->m_appState.setBrowserSidebarVisible(visible, id);
    };
    arguments.onURLChange = [self, id](const QString &address) {
        if (self)
            self->m_appState.setBrowserURL(address, id);
    };
    if (!m_webPreview) {
        m_browserSidebarWorkspace = id;
        m_resizeHandle = new BrowserSidebarResizeHandle(m_windowState, id, m_browserSidebar);
        m_webPreview = new ProjectBrowserSidebarView(arguments, m_browserSidebar);
        m_browserSidebar->layout()->addWidget(m_resizeHandle);
        m_browserSidebar->layout()->addWidget(m_webPreview);
    } else {
        m_webPreview->update(arguments);
    }
    m_webPreview->setFixedWidth(int(m_windowState.browserSidebarWidth(id)));
    m_resizeHandle->update();
}
