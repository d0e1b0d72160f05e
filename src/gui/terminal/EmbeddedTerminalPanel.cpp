#include "EmbeddedTerminalPanel.h"

#include "GhosttyEmbeddedTerminalView.h"
#include "TerminalTabActions.h"
#include "board/ElidedLabel.h"
#include "common/UuidText.h"
#include "model/BL_Workspace.h"
#include "shell/DarkAppearance.h"
#include "shell/MainWindowState.h"
#include "shell/ShellWidgets.h"
#include "shell/SymbolIcons.h"
#include "terminal/EmbeddedTerminalBackendResolver.h"

#include <QApplication>
#include <QDrag>
#include <QDragEnterEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

namespace {

using DarkAppearance::withAlpha;

QFont captionFont(QFont::Weight weight = QFont::Normal)
{
    return DarkAppearance::interfaceFont(9, weight);
}

QToolButton *plainButton(const QString &symbol, const QString &toolTip, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setIcon(SymbolIcons::icon(symbol));
    button->setIconSize(QSize(12, 12));
    button->setAutoRaise(true);
    button->setToolTip(toolTip);
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(QStringLiteral("QToolButton { border: none; padding: 0; background: transparent; }"));
    return button;
}

QLinearGradient overlayGradient(const QRectF &area)
{
    QLinearGradient gradient(area.topLeft(), area.bottomRight());
    gradient.setColorAt(0, QColor::fromRgbF(0, 0, 0, 0.22f));
    gradient.setColorAt(0.5, QColor::fromRgbF(0.10f, 0.06f, 0.23f, 0.17f));
    gradient.setColorAt(1, QColor::fromRgbF(0.21f, 0.12f, 0.42f, 0.12f));
    return gradient;
}

// Draws the overlay gradient over a terminal without taking its clicks.
class PaneOverlay final : public QWidget
{
public:
    explicit PaneOverlay(QWidget *parent) : QWidget(parent)
    {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setAttribute(Qt::WA_NoSystemBackground);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath path;
        path.addRoundedRect(QRectF(rect()), 8, 8);
        painter.fillPath(path, overlayGradient(rect()));
    }
};

// One terminal pane: the tab's terminal on the panel gradient with its
// edges, and the selection dot or, in a split, the unsnap control.
class TerminalPane final : public QWidget
{
public:
    TerminalPane(
        GhosttyEmbeddedTerminalView *view, bool selected, bool split, std::function<void()> unsnap, QWidget *parent)
        : QWidget(parent), m_view(view), m_selected(selected), m_split(split)
    {
        setObjectName(QStringLiteral("terminalPane"));
        setAttribute(Qt::WA_StyledBackground, false);
        view->setParent(this);
        view->show();
        m_overlay = new PaneOverlay(this);
        if (split) {
            m_unsnap = plainButton(QStringLiteral("pin.slash.fill"), QStringLiteral("Remove from snap area"), this);
            m_unsnap->setObjectName(QStringLiteral("unsnapPaneButton"));
            QObject::connect(m_unsnap, &QToolButton::clicked, this, [unsnap] { unsnap(); });
        }
    }
    ~TerminalPane() override
    {
        // The terminal outlives its pane: it stays in the view cache.
        if (m_view && m_view->parentWidget() == this) {
            m_view->hide();
            m_view->setParent(nullptr);
        }
    }
    bool showsDot() const { return !m_split; }

protected:
    void resizeEvent(QResizeEvent *) override
    {
        const QRect inner = rect().adjusted(6, 18, -6, -20);
        if (m_view)
            m_view->setGeometry(inner);
        m_overlay->setGeometry(rect());
        m_overlay->raise();
        if (m_unsnap) {
            m_unsnap->adjustSize();
            m_unsnap->move(width() - 10 - m_unsnap->width(), 4);
            m_unsnap->raise();
        }
    }
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        PageBackdrop::paintCLIInsetBox(painter, rect());
        if (!m_split) {
            painter.setPen(Qt::NoPen);
            painter.setBrush(m_selected ? withAlpha(DarkAppearance::accentColor(), 0.9) : withAlpha(Qt::white, 0.45));
            painter.drawEllipse(QRectF(10, 8, 6, 6));
        }
    }

private:
    QPointer<GhosttyEmbeddedTerminalView> m_view;
    PaneOverlay *m_overlay = nullptr;
    QToolButton *m_unsnap = nullptr;
    bool m_selected;
    bool m_split;
};

// A tab chip: title, snap toggle and close; middle click closes, a drag
// carries the tab into the snap area.
class TabChip final : public QWidget
{
public:
    TabChip(const QString &dragText, bool selected, std::function<void()> close, QWidget *parent)
        : QWidget(parent), m_dragText(dragText), m_selected(selected), m_close(std::move(close))
    {
        setObjectName(QStringLiteral("terminalTabChip"));
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF area = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        const QColor accent = DarkAppearance::accentColor();
        painter.setBrush(m_selected ? withAlpha(accent, 0.22) : withAlpha(Qt::white, 0.08));
        painter.setPen(QPen(m_selected ? withAlpha(accent, 0.65) : withAlpha(Qt::white, 0.18), 1));
        painter.drawRoundedRect(area, 7, 7);
    }
    void mousePressEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::LeftButton)
            m_pressPosition = event->position().toPoint();
        QWidget::mousePressEvent(event);
    }
    void mouseReleaseEvent(QMouseEvent *event) override
    {
        if (event->button() == Qt::MiddleButton && rect().contains(event->position().toPoint())) {
            m_close();
            return;
        }
        QWidget::mouseReleaseEvent(event);
    }
    void mouseMoveEvent(QMouseEvent *event) override
    {
        if (!(event->buttons() & Qt::LeftButton)
            || (event->position().toPoint() - m_pressPosition).manhattanLength() < QApplication::startDragDistance())
            return;
        auto *drag = new QDrag(this);
        auto *mime = new QMimeData;
        mime->setText(m_dragText);
        drag->setMimeData(mime);
        drag->setPixmap(grab());
        drag->exec(Qt::MoveAction | Qt::CopyAction);
    }

private:
    QString m_dragText;
    bool m_selected;
    std::function<void()> m_close;
    QPoint m_pressPosition;
};

// The snap area: hint and panes; takes tab chips dropped on it.
class SnapArea final : public QWidget
{
public:
    SnapArea(std::function<bool(const QStringList &)> drop, QWidget *parent) : QWidget(parent), m_drop(std::move(drop))
    {
        setObjectName(QStringLiteral("terminalSnapArea"));
        setAcceptDrops(true);
    }
    bool isDropTargeted() const { return m_targeted; }

protected:
    void dragEnterEvent(QDragEnterEvent *event) override
    {
        if (!event->mimeData()->hasText())
            return;
        setTargeted(true);
        event->acceptProposedAction();
    }
    void dragMoveEvent(QDragMoveEvent *event) override { event->acceptProposedAction(); }
    void dragLeaveEvent(QDragLeaveEvent *) override { setTargeted(false); }
    void dropEvent(QDropEvent *event) override
    {
        setTargeted(false);
        if (m_drop({event->mimeData()->text()}))
            event->acceptProposedAction();
        else
            event->ignore();
    }
    void paintEvent(QPaintEvent *) override
    {
        if (!m_targeted)
            return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor accent = DarkAppearance::accentColor();
        const QRectF area = QRectF(rect()).adjusted(0.9, 0.9, -0.9, -0.9);
        painter.setBrush(withAlpha(accent, 0.14));
        QPen pen(withAlpha(accent, 0.75), 1.8);
        pen.setDashPattern({8 / 1.8, 6 / 1.8});
        painter.setPen(pen);
        painter.drawRoundedRect(area, 10, 10);
    }

private:
    void setTargeted(bool targeted)
    {
        m_targeted = targeted;
        update();
    }
    std::function<bool(const QStringList &)> m_drop;
    bool m_targeted = false;
};

// The capsule that resizes the inline terminal area.
class ResizeHandle final : public QWidget
{
public:
    ResizeHandle(std::function<void(qreal)> dragged, std::function<void()> ended, QWidget *parent)
        : QWidget(parent), m_dragged(std::move(dragged)), m_ended(std::move(ended))
    {
        setObjectName(QStringLiteral("terminalResizeHandle"));
        setFixedHeight(14);
        setCursor(Qt::SizeVerCursor);
        setToolTip(QStringLiteral("Drag to resize terminal"));
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(withAlpha(Qt::white, 0.28));
        painter.drawRoundedRect(QRectF((width() - 64) / 2.0, (height() - 6) / 2.0, 64, 6), 3, 3);
    }
    void mousePressEvent(QMouseEvent *event) override { m_start = event->globalPosition().y(); }
    void mouseMoveEvent(QMouseEvent *event) override
    {
        const qreal translation = event->globalPosition().y() - m_start;
        if (std::abs(translation) >= 1 || m_dragging) {
            m_dragging = true;
            m_dragged(translation);
        }
    }
    void mouseReleaseEvent(QMouseEvent *) override
    {
        m_dragging = false;
        m_ended();
    }

private:
    std::function<void(qreal)> m_dragged;
    std::function<void()> m_ended;
    qreal m_start = 0;
    bool m_dragging = false;
};

QString libraryPathOverride()
{
    const QString path = qEnvironmentVariable("TESSARON_LIBGHOSTTY_PATH").trimmed();
    return path;
}

} // namespace

EmbeddedTerminalPanel::EmbeddedTerminalPanel(AppState &appState, MainWindowState &windowState, QWidget *parent)
    : QWidget(parent), m_appState(appState), m_windowState(windowState)
{
    setObjectName(QStringLiteral("embeddedTerminalPanel"));
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 0, 16, 4);
    layout->setSpacing(8);

    auto *header = new QHBoxLayout;
    header->setSpacing(8);
    auto *icon = new QLabel(this);
    icon->setPixmap(SymbolIcons::icon(QStringLiteral("terminal")).pixmap(14, 14));
    header->addWidget(icon);
    auto *title = new QLabel(QStringLiteral("Embedded Terminal"), this);
    title->setObjectName(QStringLiteral("terminalPanelTitle"));
    title->setFont(DarkAppearance::interfaceFont(11, QFont::DemiBold));
    header->addWidget(title);
    m_newTab = new QPushButton(SymbolIcons::icon(QStringLiteral("plus")), QStringLiteral("New Tab"), this);
    m_newTab->setObjectName(QStringLiteral("newTerminalTabButton"));
    m_newTab->setFont(captionFont());
    header->addWidget(m_newTab);
    m_tabCount = new QLabel(this);
    m_tabCount->setObjectName(QStringLiteral("terminalTabCount"));
    m_tabCount->setFont(DarkAppearance::interfaceFont(8));
    m_tabCount->setStyleSheet(QStringLiteral("color: %1").arg(DarkAppearance::secondaryTextColor().name()));
    header->addWidget(m_tabCount);
    m_snappedCount = new QLabel(this);
    m_snappedCount->setObjectName(QStringLiteral("terminalSnappedCount"));
    m_snappedCount->setFont(DarkAppearance::interfaceFont(8, QFont::DemiBold));
    m_snappedCount->setStyleSheet(QStringLiteral("color: %1").arg(DarkAppearance::accentColor().name()));
    header->addWidget(m_snappedCount);
    header->addStretch(1);
    m_rootPath = new ElidedLabel(this);
    m_rootPath->setObjectName(QStringLiteral("terminalRootPath"));
    m_rootPath->setFont(DarkAppearance::interfaceFont(8));
    m_rootPath->setColor(DarkAppearance::secondaryTextColor());
    header->addWidget(m_rootPath, 0);
    m_expand = new QToolButton(this);
    m_expand->setObjectName(QStringLiteral("terminalExpandButton"));
    m_expand->setIconSize(QSize(14, 14));
    header->addWidget(m_expand);
    layout->addLayout(header);

    auto *strip = new QScrollArea(this);
    strip->setObjectName(QStringLiteral("terminalTabStrip"));
    strip->setFrameShape(QFrame::NoFrame);
    strip->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    strip->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    strip->setWidgetResizable(true);
    strip->setStyleSheet(QStringLiteral("QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"));
    m_chipRow = new QWidget;
    m_chipLayout = new QHBoxLayout(m_chipRow);
    m_chipLayout->setContentsMargins(0, 2, 0, 2);
    m_chipLayout->setSpacing(8);
    strip->setWidget(m_chipRow);
    strip->setFixedHeight(36);
    layout->addWidget(strip);

    m_snapArea = new SnapArea(
        [this](
            const QStringList &items) { return TerminalTabActions::handleDrop(m_windowState, items, m_workspaceID); },
        this);
    auto *snapLayout = new QVBoxLayout(m_snapArea);
    snapLayout->setContentsMargins(0, 0, 0, 0);
    snapLayout->setSpacing(8);
    m_hint = new QLabel(m_snapArea);
    m_hint->setObjectName(QStringLiteral("terminalSnapHint"));
    m_hint->setContentsMargins(2, 0, 2, 0);
    m_hint->setStyleSheet(QStringLiteral("color: %1").arg(DarkAppearance::secondaryTextColor().name()));
    snapLayout->addWidget(m_hint);
    m_paneRow = new QWidget(m_snapArea);
    m_paneLayout = new QHBoxLayout(m_paneRow);
    m_paneLayout->setContentsMargins(0, 0, 0, 0);
    m_paneLayout->setSpacing(10);
    snapLayout->addWidget(m_paneRow, 1);
    layout->addWidget(m_snapArea, 1);

    m_resizeHandle = new ResizeHandle(
        [this](qreal translation) {
            auto &starts = m_windowState.commandLineResizeStartHeightByProjectID;
            const qreal start
                = starts.value(m_workspaceID, TerminalTabActions::terminalHeight(m_windowState, m_workspaceID));
            starts.insert(m_workspaceID, start);
            TerminalTabActions::setTerminalHeight(m_windowState, m_workspaceID, start - translation);
            if (m_layout) {
                m_layout->terminalHeight = TerminalTabActions::terminalHeight(m_windowState, m_workspaceID);
                m_paneRow->setFixedHeight(int(m_layout->terminalHeight));
            }
        },
        [this] { m_windowState.commandLineResizeStartHeightByProjectID.remove(m_workspaceID); }, this);
    layout->addWidget(m_resizeHandle);

    connect(m_newTab, &QPushButton::clicked, this, [this] {
        WorkspaceTerminalState terminal = m_windowState.workspaceTerminalState();
        terminal.createTab(m_workspaceID, UuidText::lower(QUuid::createUuid()));
        m_windowState.setWorkspaceTerminalState(terminal);
    });
    connect(m_expand, &QToolButton::clicked, this, [this] {
        WorkspaceTerminalState terminal = m_windowState.workspaceTerminalState();
        const bool expanded = terminal.cliVisibilityByWorkspaceID.value(m_workspaceID, false)
            && terminal.cliExpandedByWorkspaceID.value(m_workspaceID, false);
        terminal.setCLIExpanded(!expanded, m_workspaceID);
        m_windowState.setWorkspaceTerminalState(terminal);
        const WorkspaceTerminalState &now = m_windowState.workspaceTerminalState();
        if (now.isCLIVisible(m_workspaceID) && now.cliExpandedByWorkspaceID.value(m_workspaceID, false))
            m_windowState.setFocusedCLIProjectID(m_workspaceID);
    });
}

EmbeddedTerminalPanel::~EmbeddedTerminalPanel()
{
    // Detach the terminals before the panes go: they live on in the cache.
    m_paneTabIDs.clear();
    while (QLayoutItem *item = m_paneLayout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
}

QString EmbeddedTerminalPanel::embeddedTerminalShellCommand()
{
    const QString shell = qEnvironmentVariable("SHELL").trimmed();
    return shell.isEmpty() ? QStringLiteral("/bin/zsh") : shell;
}

qreal EmbeddedTerminalPanel::expandedContainerHeight(qreal availableHeight)
{
    return std::max<qreal>(360, (availableHeight - 12) * 1.1);
}

QList<GhosttyEmbeddedTerminalView *> EmbeddedTerminalPanel::terminalViews() const
{
    QList<GhosttyEmbeddedTerminalView *> views;
    for (const QString &tab : m_paneTabIDs) {
        if (auto *view
            = GhosttyEmbeddedTerminalViewCache::shared().existing(MainWindowState::sessionKey(m_workspaceID, tab)))
            views.append(view);
    }
    return views;
}

void EmbeddedTerminalPanel::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_workspaceID.isNull())
        return;
    WorkspaceTerminalState terminal = m_windowState.workspaceTerminalState();
    terminal.ensureWorkspace(m_workspaceID);
    m_windowState.setWorkspaceTerminalState(terminal);
    m_windowState.setFocusedCLIProjectID(std::nullopt);
}

EmbeddedTerminalPanel::Layout EmbeddedTerminalPanel::currentLayout(
    bool isExpanded, std::optional<qreal> containerHeight, bool allowsExpansion) const
{
    const WorkspaceTerminalState &terminal = m_windowState.workspaceTerminalState();
    Layout layout;
    layout.tabs = terminal.tabIDsByWorkspaceID.value(m_workspaceID);
    if (layout.tabs.isEmpty())
        layout.tabs = {WorkspaceTerminalState::defaultTabID(m_workspaceID)};
    const QString active = terminal.activeTabIDByWorkspaceID.value(m_workspaceID);
    layout.selected = layout.tabs.contains(active) ? active : layout.tabs.first();
    layout.snapped = terminal.snappedTabIDs(m_workspaceID);
    layout.isExpanded = isExpanded;
    layout.allowsExpansion = allowsExpansion;
    if (isExpanded) {
        const qreal container = std::max<qreal>(360, containerHeight.value_or(360));
        layout.terminalHeight = std::max<qreal>(container * 0.92, 240);
    } else {
        layout.terminalHeight = TerminalTabActions::terminalHeight(m_windowState, m_workspaceID);
    }
    return layout;
}

void EmbeddedTerminalPanel::setWorkspace(
    const BL_Workspace &workspace, bool isExpanded, std::optional<qreal> expandedContainerHeight, bool allowsExpansion)
{
    const bool workspaceChanged = workspace.id != m_workspaceID;
    m_workspaceID = workspace.id;
    m_containerHeight = expandedContainerHeight;
    Layout layout = currentLayout(isExpanded, expandedContainerHeight, allowsExpansion);
    layout.rootPath = workspace.rootPath;
    if (!workspaceChanged && m_layout == layout) {
        // Only the tab's command state moved: keep the panes.
        updatePaneConfigurations();
        return;
    }
    m_layout = layout;
    rebuild();
}

void EmbeddedTerminalPanel::rebuild()
{
    const Layout &layout = *m_layout;
    const bool snapLayout = !layout.snapped.isEmpty();
    const qsizetype tabs = layout.tabs.size();
    m_tabCount->setText(QString::number(tabs) + QStringLiteral(" tab") + (tabs == 1 ? QString() : QStringLiteral("s")));
    m_snappedCount->setVisible(snapLayout);
    m_snappedCount->setText(QString::number(layout.snapped.size()) + QStringLiteral(" snapped"));
    m_rootPath->setText(layout.rootPath);
    m_expand->setVisible(layout.allowsExpansion);
    m_expand->setIcon(SymbolIcons::icon(layout.isExpanded ? QStringLiteral("arrow.down.right.and.arrow.up.left")
                                                          : QStringLiteral("arrow.up.left.and.arrow.down.right")));
    m_expand->setToolTip(
        layout.isExpanded ? QStringLiteral("Collapse terminal") : QStringLiteral("Expand terminal over task board"));
    if (snapLayout) {
        const qsizetype count = layout.snapped.size();
        m_hint->setText(QStringLiteral("Snap area: ") + QString::number(count) + QStringLiteral(" tab")
            + (count == 1 ? QString() : QStringLiteral("s")) + QStringLiteral(" split evenly"));
        m_hint->setFont(DarkAppearance::interfaceFont(8, QFont::DemiBold));
    } else {
        m_hint->setText(QStringLiteral("Drag a tab chip into this area to split the terminal."));
        m_hint->setFont(DarkAppearance::interfaceFont(8));
    }
    m_resizeHandle->setVisible(!layout.isExpanded);
    m_paneRow->setMinimumHeight(240);
    m_paneRow->setFixedHeight(int(layout.terminalHeight));
    if (layout.isExpanded) {
        const int container = int(std::max<qreal>(360, m_containerHeight.value_or(360)));
        setFixedHeight(container);
        this->layout()->setContentsMargins(16, 0, 16, 8);
    } else {
        setMinimumHeight(300);
        setMaximumHeight(1260);
        this->layout()->setContentsMargins(16, 0, 16, 4);
    }
    rebuildChips();
    rebuildPanes();
}

void EmbeddedTerminalPanel::rebuildChips()
{
    while (QLayoutItem *item = m_chipLayout->takeAt(0)) {
        // A chip may be the sender of the click that got here: it goes later.
        if (QWidget *widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
    for (int i = 0; i < m_layout->tabs.size(); ++i)
        m_chipLayout->addWidget(makeChip(i, m_layout->tabs.at(i)));
    m_chipLayout->addStretch(1);
}

QWidget *EmbeddedTerminalPanel::makeChip(int index, const QString &tabID)
{
    const bool selected = tabID == m_layout->selected;
    const bool snapped = m_layout->snapped.contains(tabID);
    const bool snapLayout = !m_layout->snapped.isEmpty();
    const QUuid workspaceID = m_workspaceID;
    MainWindowState &state = m_windowState;
    auto close = [&state, workspaceID, tabID] { TerminalTabActions::closeTab(state, workspaceID, tabID); };
    auto *chip = new TabChip(TerminalTabActions::dragItem(workspaceID, tabID), selected, close, m_chipRow);
    chip->setProperty("tabID", tabID);
    chip->setToolTip((snapped ? QStringLiteral("Drag to reposition in snap area.")
                              : QStringLiteral("Drag into terminal area to snap."))
        + QStringLiteral(" Middle-click to close tab."));
    auto *row = new QHBoxLayout(chip);
    row->setContentsMargins(10, 6, 10, 6);
    row->setSpacing(8);

    auto *titleButton = new QToolButton(chip);
    titleButton->setObjectName(QStringLiteral("terminalTabTitle"));
    titleButton->setText(QStringLiteral("Tab ") + QString::number(index + 1));
    titleButton->setFont(captionFont(QFont::DemiBold));
    titleButton->setAutoRaise(true);
    titleButton->setCursor(Qt::PointingHandCursor);
    titleButton->setStyleSheet(
        QStringLiteral("QToolButton { border: none; padding: 0; background: transparent; "
                       "color: %1; }")
            .arg(selected ? DarkAppearance::textColor().name() : DarkAppearance::secondaryTextColor().name()));
    connect(titleButton, &QToolButton::clicked, this, [&state, workspaceID, tabID, snapLayout] {
        TerminalTabActions::selectTab(state, workspaceID, tabID, snapLayout);
    });
    row->addWidget(titleButton);

    auto *snap = plainButton(snapped ? QStringLiteral("square.split.2x1.fill") : QStringLiteral("square.split.2x1"),
        snapped ? QStringLiteral("Remove from split area") : QStringLiteral("Split tab"), chip);
    snap->setObjectName(QStringLiteral("terminalTabSnap"));
    if (snapped)
        snap->setStyleSheet(snap->styleSheet()
            + QStringLiteral("QToolButton { background: %1; border-radius: 3px; }")
                  .arg(withAlpha(DarkAppearance::accentColor(), 0.45).name(QColor::HexArgb)));
    connect(snap, &QToolButton::clicked, this,
        [&state, workspaceID, tabID] { TerminalTabActions::toggleSnap(state, workspaceID, tabID); });
    row->addWidget(snap);

    auto *closeButton = plainButton(QStringLiteral("xmark"), QStringLiteral("Close tab"), chip);
    closeButton->setObjectName(QStringLiteral("terminalTabClose"));
    closeButton->setEnabled(m_layout->tabs.size() >= 2);
    connect(closeButton, &QToolButton::clicked, this, close);
    row->addWidget(closeButton);
    return chip;
}

void EmbeddedTerminalPanel::rebuildPanes()
{
    while (QLayoutItem *item = m_paneLayout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const bool split = !m_layout->snapped.isEmpty();
    m_paneTabIDs = split ? m_layout->snapped : QStringList {m_layout->selected};
    for (const QString &tab : std::as_const(m_paneTabIDs)) {
        const QUuid workspaceID = m_workspaceID;
        MainWindowState &state = m_windowState;
        auto *view = GhosttyEmbeddedTerminalViewCache::shared().view(configurationFor(tab));
        auto *pane = new TerminalPane(
            view, tab == m_layout->selected, split,
            [&state, workspaceID, tab] { TerminalTabActions::unsnapTab(state, workspaceID, tab); }, m_paneRow);
        m_paneLayout->addWidget(pane, 1);
        if (tab == m_layout->selected)
            view->requestAutoFocus();
    }
}

GhosttyEmbeddedTerminalConfiguration EmbeddedTerminalPanel::configurationFor(const QString &tab) const
{
    const QUuid workspaceID = m_workspaceID;
    MainWindowState &state = m_windowState;
    GhosttyEmbeddedTerminalConfiguration configuration;
    configuration.sessionKey = MainWindowState::sessionKey(workspaceID, tab);
    configuration.workingDirectory = m_layout->rootPath;
    configuration.command = embeddedTerminalShellCommand();
    const QString library = libraryPathOverride();
    if (!library.isEmpty())
        configuration.libraryPathOverride = library;
    const auto pending = state.pendingGhosttyInjectedTextBySessionKey.constFind(configuration.sessionKey);
    if (pending != state.pendingGhosttyInjectedTextBySessionKey.constEnd()) {
        configuration.injectedText = pending->text;
        configuration.injectedTextToken = pending->token;
        configuration.injectedTextShouldSubmit = pending->submitAfterInjection;
    }
    configuration.autoFocus = tab == m_layout->selected;
    // A terminal outlives the window that showed it: its events go nowhere
    // once that window's state is gone.
    const QPointer<MainWindowState> target(&state);
    configuration.onFailure = [target, workspaceID](const QString &message) {
        if (target)
            target->setGhosttyRuntimeError(workspaceID, message);
    };
    configuration.onOutputActivity = [target, workspaceID, tab] {
        if (target)
            TerminalTabActions::handleOutputActivity(*target, workspaceID, tab);
    };
    configuration.onUserInputActivity = [target, workspaceID, tab] {
        if (target)
            TerminalTabActions::handleUserInputActivity(*target, workspaceID, tab);
    };
    configuration.onCommandSubmitted = [target, workspaceID, tab] {
        if (target)
            TerminalTabActions::handleCommandSubmitted(*target, workspaceID, tab);
    };
    configuration.onCommandFinished = [target, workspaceID, tab](std::optional<qint64>) {
        if (target)
            TerminalTabActions::handleCommandFinished(*target, workspaceID, tab);
    };
    return configuration;
}

void EmbeddedTerminalPanel::updatePaneConfigurations()
{
    // The command state of a tab changes with its output: the views get
    // their configuration again but keep the focus where it is.
    for (const QString &tab : std::as_const(m_paneTabIDs)) {
        GhosttyEmbeddedTerminalConfiguration configuration = configurationFor(tab);
        GhosttyEmbeddedTerminalView *view
            = GhosttyEmbeddedTerminalViewCache::shared().existing(configuration.sessionKey);
        if (!view)
            continue;
        view->updateConfiguration(
            configuration.workingDirectory, configuration.command, configuration.libraryPathOverride);
        view->updateInjectedText(
            configuration.injectedText, configuration.injectedTextToken, configuration.injectedTextShouldSubmit);
        view->setCallbacks(configuration);
    }
}
