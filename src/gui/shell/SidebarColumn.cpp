#include "SidebarColumn.h"

#include "DarkAppearance.h"
#include "ShellWidgets.h"
#include "SymbolIcons.h"
#include "common/UuidText.h"
#include "state/AppState.h"

#include <QAction>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScrollBar>
#include <QVBoxLayout>

namespace {

const QString kSecondary = QStringLiteral("#9a9ca1");
const QColor kAccent(61, 126, 255);

// What a list item stands for.
enum ItemRole { kindRole = Qt::UserRole + 1, selectionKindRole, idRole };
enum class ItemKind { other, widget, user, teamAll, team, project };

QLabel *symbol(const QString &name, int size, QWidget *parent, const QString &objectName = QString())
{
    auto *label = new QLabel(parent);
    label->setPixmap(SymbolIcons::icon(name).pixmap(size, size));
    label->setProperty("symbolName", name);
    label->setFixedWidth(std::max(size, 16));
    label->setAlignment(Qt::AlignCenter);
    if (!objectName.isEmpty())
        label->setObjectName(objectName);
    return label;
}

QLabel *text(const QString &value, const QFont &font, const QString &color, QWidget *parent,
    const QString &objectName = QString())
{
    auto *label = new QLabel(value, parent);
    label->setFont(font);
    label->setStyleSheet(QStringLiteral("color: %1; background: transparent;").arg(color));
    if (!objectName.isEmpty())
        label->setObjectName(objectName);
    return label;
}

// A row that draws its own selection: the accent colour at 16% behind it,
// outlined at 45%.
class SidebarRow final : public QWidget
{
public:
    SidebarRow(const QString &objectName, bool selected, int radius, QWidget *parent)
        : QWidget(parent), m_selected(selected), m_radius(radius)
    {
        setObjectName(objectName);
        setProperty("selected", selected);
        setAttribute(Qt::WA_TranslucentBackground);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        if (!m_selected)
            return;
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        QColor fill = kAccent;
        fill.setAlphaF(0.16f);
        QColor outline = kAccent;
        outline.setAlphaF(0.45f);
        painter.setBrush(fill);
        painter.setPen(QPen(outline, 1));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), m_radius, m_radius);
    }

private:
    bool m_selected;
    int m_radius;
};

QString countWords(qint64 count)
{
    // The word stays plural for every count.
    return QStringLiteral("%1 workspaces").arg(count);
}

// The product title block.
QWidget *makeTitleBanner(QWidget *parent)
{
    auto *banner = new QWidget(parent);
    banner->setObjectName(QStringLiteral("appTitleBanner"));
    auto *layout = new QVBoxLayout(banner);
    layout->setContentsMargins(2 + 10, 6 + 8, 2 + 10, 6 + 8);
    layout->setSpacing(2);
    // "Space Grotesk" when installed, else the interface font.
    QFont titleFont = DarkAppearance::interfaceFont(22, QFont::Bold);
    titleFont.setFamilies({QStringLiteral("Space Grotesk"), titleFont.family()});
    titleFont.setPixelSize(30);
    titleFont.setWeight(QFont::Bold);
    titleFont.setLetterSpacing(QFont::AbsoluteSpacing, 1.8);
    auto *title = new QLabel(QStringLiteral("Tessaron"), banner);
    title->setObjectName(QStringLiteral("appTitle"));
    title->setFont(titleFont);
    title->setStyleSheet(QStringLiteral("background: transparent; color: qlineargradient(x1:0, y1:0, x2:1, y2:1,"
                                        " stop:0 rgba(255,255,255,250), stop:1 rgb(250,107,107));"));
    auto *shadow = new QGraphicsDropShadowEffect(title);
    shadow->setColor(QColor(0, 0, 0, int(0.22 * 255)));
    shadow->setBlurRadius(10);
    shadow->setOffset(0, 2);
    title->setGraphicsEffect(shadow);
    layout->addWidget(title);
    QFont taglineFont = titleFont;
    taglineFont.setPixelSize(12);
    taglineFont.setWeight(QFont::Normal);
    taglineFont.setLetterSpacing(QFont::AbsoluteSpacing, 0);
    auto *tagline = new QLabel(QStringLiteral("Where sprints take minutes"), banner);
    tagline->setObjectName(QStringLiteral("appTagline"));
    tagline->setFont(taglineFont);
    tagline->setStyleSheet(QStringLiteral("background: transparent; color: rgba(255,255,255,184);"));
    layout->addWidget(tagline);
    return banner;
}

QWidget *makeLoginChip(QWidget *parent)
{
    auto *footer = new QWidget(parent);
    footer->setObjectName(QStringLiteral("sidebarFooter"));
    auto *line = new QHBoxLayout(footer);
    line->setContentsMargins(10, 10, 10, 10);
    auto *chip = new QPushButton(footer);
    chip->setObjectName(QStringLiteral("loginChip"));
    chip->setEnabled(false);
    chip->setStyleSheet(QStringLiteral("QPushButton { background: rgba(142,142,147,56); border: 1px solid"
                                       " rgba(142,142,147,89); border-radius: 22px; padding: 0; }"));
    auto *content = new QHBoxLayout(chip);
    content->setContentsMargins(14, 10, 14, 10);
    content->setSpacing(10);
    content->addWidget(symbol(QStringLiteral("person.crop.circle.badge.clock"), 22, chip));
    auto *texts = new QVBoxLayout;
    texts->setSpacing(1);
    texts->addWidget(text(QStringLiteral("User Login"), DarkAppearance::interfaceFont(9, QFont::DemiBold),
        QStringLiteral("#8e8e93"), chip));
    texts->addWidget(text(QStringLiteral("Coming soon"), DarkAppearance::interfaceFont(8),
        QStringLiteral("rgba(142,142,147,230)"), chip));
    content->addLayout(texts);
    chip->setFixedSize(chip->sizeHint().expandedTo(QSize(150, 48)));
    line->addWidget(chip);
    line->addStretch(1);
    return footer;
}

} // namespace

SidebarColumn::SidebarColumn(AppState &appState, MainWindowState &windowState, QWidget *parent)
    : QWidget(parent), m_appState(appState), m_windowState(windowState)
{
    setObjectName(QStringLiteral("sidebarColumn"));
    setMinimumWidth(minimumWidth);
    setMaximumWidth(maximumWidth);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(0, VirtualTitlebarStrip::height, 0, 0);
    column->setSpacing(0);

    m_list = new QListWidget(this);
    m_list->setObjectName(QStringLiteral("sidebarList"));
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setFocusPolicy(Qt::NoFocus);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setSpacing(1);
    m_list->setResizeMode(QListView::Adjust);
    // The rows draw their own selection; the list stays clear.
    m_list->setStyleSheet(QStringLiteral("QListWidget { background: transparent; border: none; }"
                                         "QListWidget::item { background: transparent; border: none; padding: 0 6px; }"
                                         "QListWidget::item:selected { background: transparent; }"
                                         "QListWidget::item:hover { background: transparent; }"));
    m_list->viewport()->setAutoFillBackground(false);
    column->addWidget(m_list, 1);

    auto *divider = new QFrame(this);
    divider->setObjectName(QStringLiteral("sidebarDivider"));
    divider->setFixedHeight(1);
    divider->setStyleSheet(QStringLiteral("background: rgba(255,255,255,30);"));
    column->addWidget(divider);
    column->addWidget(makeLoginChip(this));

    m_list->viewport()->installEventFilter(this);
    connect(m_list, &QListWidget::itemClicked, this, &SidebarColumn::onItemClicked);
    connect(m_list, &QListWidget::itemSelectionChanged, this, &SidebarColumn::onListSelectionChanged);
    refresh();
}

SidebarColumn::~SidebarColumn() = default;

void SidebarColumn::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), PageBackdrop::gradient(rect()));
}

void SidebarColumn::scheduleRefresh()
{
    if (m_refreshScheduled)
        return;
    m_refreshScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_refreshScheduled = false;
            if (m_pressHeld) {
                m_refreshAfterRelease = true;
                return;
            }
            refresh();
        },
        Qt::QueuedConnection);
}

bool SidebarColumn::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_list->viewport()) {
        if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::MouseButtonDblClick) {
            m_pressHeld = true;
        } else if (event->type() == QEvent::MouseButtonRelease || event->type() == QEvent::Hide) {
            m_pressHeld = event->type() == QEvent::MouseButtonRelease
                && static_cast<QMouseEvent *>(event)->buttons() != Qt::NoButton;
            // Queued: the list handles the release (and emits its click) first.
            if (!m_pressHeld && m_refreshAfterRelease) {
                m_refreshAfterRelease = false;
                scheduleRefresh();
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void SidebarColumn::addHeader(const QString &title, const QString &objectName)
{
    auto *label = text(title, DarkAppearance::interfaceFont(10, QFont::DemiBold), kSecondary, nullptr, objectName);
    label->setContentsMargins(8, 10, 8, 2);
    addRow(label, false);
}

QListWidgetItem *SidebarColumn::addRow(QWidget *row, bool selectable)
{
    auto *item = new QListWidgetItem(m_list);
    item->setFlags(selectable ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::ItemIsEnabled);
    // As wide as the list: rows never push it into a sideways scroll.
    item->setSizeHint(QSize(0, row->sizeHint().height()));
    m_list->setItemWidget(item, row);
    return item;
}

void SidebarColumn::refresh()
{
    m_refreshing = true;
    const QSignalBlocker blocker(m_list);
    const int scroll = m_list->verticalScrollBar() ? m_list->verticalScrollBar()->value() : 0;
    m_list->clear();
    const auto selection = m_windowState.sidebarSelection();
    const QFont body = DarkAppearance::interfaceFont(11);
    const QFont caption = DarkAppearance::interfaceFont(9);
    const QFont caption2 = DarkAppearance::interfaceFont(8);

    // 1: the banner, no selection value.
    addRow(makeTitleBanner(nullptr), false);

    // 2: the workspace actions.
    {
        auto *block = new QWidget;
        block->setObjectName(QStringLiteral("projectActions"));
        auto *layout = new QVBoxLayout(block);
        layout->setContentsMargins(8, 2, 8, 2);
        layout->setSpacing(10);
        layout->addWidget(text(QStringLiteral("Add new workspace or import"), caption, kSecondary, block,
            QStringLiteral("projectActionsCaption")));
        if (!m_appState.isClientNodeMode()) {
            auto *buttons = new QHBoxLayout;
            buttons->setSpacing(8);
            auto addButton = [&](const QString &title, const QString &name, WorkspacePickerMode mode) {
                auto *button = new QPushButton(title, block);
                button->setObjectName(name);
                button->setProperty("prominent", true);
                button->setStyleSheet(QStringLiteral("QPushButton { background: rgb(61,126,255); color: white;"
                                                     " border-radius: 6px; padding: 3px 10px; }"
                                                     "QPushButton:hover { background: rgb(86,146,255); }"));
                connect(button, &QPushButton::clicked, this, [this, mode] {
                    // The mode first, so the picker sees the button just clicked.
                    m_windowState.pickerMode = mode;
                    if (presentWorkspaceDirectoryPicker)
                        presentWorkspaceDirectoryPicker();
                });
                buttons->addWidget(button);
            };
            addButton(QStringLiteral("Import Existing"), QStringLiteral("importExistingButton"),
                WorkspacePickerMode::addExisting);
            addButton(QStringLiteral("Initialize New"), QStringLiteral("initializeNewButton"),
                WorkspacePickerMode::initializeNew);
            buttons->addStretch(1);
            layout->addLayout(buttons);
        }
        addRow(block, false);
    }

    // 3: widget pages.
    addHeader(QStringLiteral("Widgets"), QStringLiteral("widgetsHeader"));
    using Kind = SidebarSelection::Kind;
    struct WidgetRow
    {
        const char *title;
        const char *symbol;
        Kind kind;
        const char *name;
    };
    static const WidgetRow rows[] = {
        {"Getting Started", "book.fill", Kind::gettingStarted, "gettingStarted"},
        {"Health", "heart.text.square", Kind::health, "health"},
        {"Settings", "gearshape.2.fill", Kind::settings, "settings"},
        {"Models", "chart.bar.xaxis", Kind::models, "models"},
        {"Agents", "person.2.wave.2.fill", Kind::agents, "agents"},
        {"Brimlock Config", "doc.text.magnifyingglass", Kind::brimlockConfig, "brimlockConfig"},
        {"Analytics", "chart.bar.fill", Kind::analytics, "analytics"},
    };
    const qsizetype widgetCount = m_appState.isClientNodeMode() ? 3 : 7;
    const std::optional<bool> healthy = m_appState.latestHealthIsHealthy();
    for (qsizetype i = 0; i < widgetCount; ++i) {
        const WidgetRow &spec = rows[i];
        const bool selected = selection && *selection == SidebarSelection::page(spec.kind);
        auto *row = new SidebarRow(QStringLiteral("widgetRow_") + QLatin1String(spec.name), selected, 8, nullptr);
        auto *line = new QHBoxLayout(row);
        line->setContentsMargins(8, 6, 8, 6);
        line->setSpacing(8);
        line->addWidget(symbol(QLatin1String(spec.symbol), 16, row));
        line->addWidget(text(QLatin1String(spec.title), body, QStringLiteral("#e6e6e6"), row, QStringLiteral("title")));
        line->addStretch(1);
        if (spec.kind == Kind::health && healthy) {
            QLabel *mark
                = symbol(*healthy ? QStringLiteral("checkmark.circle.fill") : QStringLiteral("xmark.circle.fill"), 14,
                    row, QStringLiteral("healthStatusMark"));
            mark->setProperty("markColor", *healthy ? QStringLiteral("green") : QStringLiteral("red"));
            mark->setStyleSheet(*healthy ? QStringLiteral("background: rgba(52,199,89,60); border-radius: 7px;")
                                         : QStringLiteral("background: rgba(255,69,58,60); border-radius: 7px;"));
            line->addWidget(mark);
        }
        QListWidgetItem *item = addRow(row, true);
        item->setData(kindRole, int(ItemKind::widget));
        item->setData(selectionKindRole, int(spec.kind));
    }

    // 4: users.
    addHeader(QStringLiteral("Users"), QStringLiteral("usersHeader"));
    for (const BL_User &user : m_appState.users()) {
        const bool selected = m_appState.currentUserID() == user.id;
        auto *row = new SidebarRow(QStringLiteral("userRow_") + UuidText::lower(user.id), selected, 8, nullptr);
        auto *line = new QHBoxLayout(row);
        line->setContentsMargins(8, 6, 8, 6);
        line->setSpacing(6);
        line->addWidget(symbol(
            selected ? QStringLiteral("person.crop.circle.fill") : QStringLiteral("person.crop.circle"), 16, row));
        line->addWidget(text(user.name, body, QStringLiteral("#e6e6e6"), row, QStringLiteral("title")));
        line->addStretch(1);
        if (selected)
            line->addWidget(text(QStringLiteral("active"), caption2, kSecondary, row, QStringLiteral("activeMark")));
        QListWidgetItem *item = addRow(row, false);
        item->setData(kindRole, int(ItemKind::user));
        item->setData(idRole, user.id);
    }

    // 5: teams.
    {
        auto *header = new QWidget;
        header->setObjectName(QStringLiteral("teamsHeader"));
        auto *line = new QHBoxLayout(header);
        line->setContentsMargins(8, 10, 8, 2);
        line->setSpacing(8);
        line->addWidget(text(QStringLiteral("Teams"), DarkAppearance::interfaceFont(10, QFont::DemiBold), kSecondary,
            header, QStringLiteral("title")));
        line->addStretch(1);
        const bool expanded = m_windowState.isTeamsSectionExpanded;
        const QString chevron = expanded ? QStringLiteral("chevron.down") : QStringLiteral("chevron.right");
        auto *button = new QPushButton(SymbolIcons::icon(chevron), QString(), header);
        button->setObjectName(QStringLiteral("teamsCollapseButton"));
        button->setProperty("symbolName", chevron);
        button->setToolTip(expanded ? QStringLiteral("Collapse teams") : QStringLiteral("Expand teams"));
        button->setFlat(true);
        button->setIconSize(QSize(12, 12));
        button->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; padding: 2px; }"));
        connect(button, &QPushButton::clicked, this, [this] {
            m_windowState.isTeamsSectionExpanded = !m_windowState.isTeamsSectionExpanded;
            scheduleRefresh();
        });
        line->addWidget(button);
        addRow(header, false);
    }
    if (m_windowState.isTeamsSectionExpanded) {
        {
            const bool selected = !m_appState.selectedTeamID().has_value();
            auto *row = new SidebarRow(QStringLiteral("teamAllRow"), selected, 8, nullptr);
            auto *line = new QHBoxLayout(row);
            line->setContentsMargins(8, 6, 8, 6);
            line->setSpacing(6);
            line->addWidget(symbol(QStringLiteral("person.3"), 16, row));
            line->addWidget(
                text(QStringLiteral("My Teams"), body, QStringLiteral("#e6e6e6"), row, QStringLiteral("title")));
            line->addStretch(1);
            line->addWidget(text(countWords(m_appState.myTeamsWorkspaceCount()), caption2, kSecondary, row,
                QStringLiteral("workspaceCount")));
            QListWidgetItem *item = addRow(row, false);
            item->setData(kindRole, int(ItemKind::teamAll));
        }
        for (const BL_Team &team : m_appState.teams()) {
            const bool selected = m_appState.selectedTeamID() == team.id;
            auto *row = new SidebarRow(QStringLiteral("teamRow_") + UuidText::lower(team.id), selected, 8, nullptr);
            auto *line = new QHBoxLayout(row);
            line->setContentsMargins(8 + 14, 6, 8, 6);
            line->setSpacing(6);
            line->addWidget(symbol(QStringLiteral("arrow.turn.down.right"), 10, row));
            line->addWidget(symbol(QStringLiteral("person.2.fill"), 16, row));
            line->addWidget(text(team.name, body, QStringLiteral("#e6e6e6"), row, QStringLiteral("title")));
            line->addStretch(1);
            line->addWidget(text(countWords(m_appState.projectCount(team.id)), caption2, kSecondary, row,
                QStringLiteral("workspaceCount")));
            QListWidgetItem *item = addRow(row, false);
            item->setData(kindRole, int(ItemKind::team));
            item->setData(idRole, team.id);
        }
        auto *holder = new QWidget;
        auto *line = new QHBoxLayout(holder);
        line->setContentsMargins(8, 2, 8, 2);
        auto *button
            = new QPushButton(SymbolIcons::icon(QStringLiteral("plus.circle")), QStringLiteral("New Team"), holder);
        button->setObjectName(QStringLiteral("newTeamButton"));
        button->setProperty("symbolName", QStringLiteral("plus.circle"));
        button->setFlat(true);
        button->setStyleSheet(QStringLiteral("QPushButton { border: none; background: transparent; color: #9a9ca1;"
                                             " text-align: left; padding: 2px; }"));
        connect(button, &QPushButton::clicked, this, [this] {
            // The alert always opens with an empty name.
            m_windowState.setCreateTeamNameDraft(QString());
            m_windowState.setCreateTeamPromptVisible(true);
        });
        line->addWidget(button);
        line->addStretch(1);
        addRow(holder, false);
    }

    // 6: workspaces.
    addHeader(QStringLiteral("Workspaces"), QStringLiteral("workspacesHeader"));
    for (const BL_Workspace &workspace : m_appState.projectsForSelectedTeam()) {
        const bool selected = selection && *selection == SidebarSelection::project(workspace.id);
        auto *row
            = new SidebarRow(QStringLiteral("projectRow_") + UuidText::lower(workspace.id), selected, 10, nullptr);
        auto *stack = new QVBoxLayout(row);
        stack->setContentsMargins(10, 8, 10, 8);
        stack->setSpacing(6);
        auto *line = new QHBoxLayout;
        line->setSpacing(6);
        line->addWidget(text(workspace.name, DarkAppearance::interfaceFont(12, QFont::DemiBold),
            QStringLiteral("white"), row, QStringLiteral("title")));
        if (selected) {
            QLabel *check
                = symbol(QStringLiteral("checkmark.circle.fill"), 12, row, QStringLiteral("projectCheckMark"));
            line->addWidget(check);
        }
        if (isRunningCommandLine && isRunningCommandLine(workspace.id)) {
            QLabel *badge = symbol(QStringLiteral("terminal.fill"), 11, row, QStringLiteral("terminalRunningBadge"));
            badge->setToolTip(QStringLiteral("Terminal command running"));
            badge->setStyleSheet(QStringLiteral("background: rgba(255,149,0,90); border-radius: 4px;"));
            line->addWidget(badge);
        }
        line->addStretch(1);
        stack->addLayout(line);
        const qint64 running = m_appState.runningWorkerCountByProjectID().value(workspace.id, 0);
        stack->addWidget(text(QStringLiteral("%1 running").arg(running), caption,
            selected ? QStringLiteral("white") : kSecondary, row, QStringLiteral("runningCount")));
        auto *remove = new QAction(QStringLiteral("Delete Workspace"), row);
        remove->setObjectName(QStringLiteral("deleteWorkspaceAction"));
        remove->setProperty("destructive", true);
        connect(remove, &QAction::triggered, this, [this, workspace] {
            // Only asks; the alert performs the removal.
            m_windowState.setPendingDeleteProject(workspace);
        });
        row->addAction(remove);
        row->setContextMenuPolicy(Qt::ActionsContextMenu);
        QListWidgetItem *item = addRow(row, true);
        item->setData(kindRole, int(ItemKind::project));
        item->setData(selectionKindRole, int(Kind::project));
        item->setData(idRole, workspace.id);
    }
    syncListSelection();
    if (m_list->verticalScrollBar())
        m_list->verticalScrollBar()->setValue(scroll);
    m_refreshing = false;
}

void SidebarColumn::syncListSelection()
{
    const QSignalBlocker blocker(m_list);
    const auto selection = m_windowState.sidebarSelection();
    m_list->clearSelection();
    if (!selection)
        return;
    for (int i = 0; i < m_list->count(); ++i) {
        QListWidgetItem *item = m_list->item(i);
        if (!(item->flags() & Qt::ItemIsSelectable))
            continue;
        const auto kind = SidebarSelection::Kind(item->data(selectionKindRole).toInt());
        const SidebarSelection value = kind == SidebarSelection::Kind::project
            ? SidebarSelection::project(item->data(idRole).toUuid())
            : SidebarSelection::page(kind);
        if (value == *selection) {
            item->setSelected(true);
            m_list->setCurrentItem(item, QItemSelectionModel::NoUpdate);
            return;
        }
    }
}

void SidebarColumn::onListSelectionChanged()
{
    if (m_refreshing)
        return;
    const QList<QListWidgetItem *> selected = m_list->selectedItems();
    if (selected.isEmpty())
        return;
    QListWidgetItem *item = selected.first();
    const auto kind = SidebarSelection::Kind(item->data(selectionKindRole).toInt());
    m_windowState.setSidebarSelection(kind == SidebarSelection::Kind::project
            ? SidebarSelection::project(item->data(idRole).toUuid())
            : SidebarSelection::page(kind));
}

void SidebarColumn::onItemClicked(QListWidgetItem *item)
{
    const auto kind = ItemKind(item->data(kindRole).toInt());
    const QUuid id = item->data(idRole).toUuid();
    switch (kind) {
    case ItemKind::user:
        m_appState.setCurrentUserID(id);
        break;
    case ItemKind::teamAll:
        m_appState.setSelectedTeamID(std::nullopt);
        break;
    case ItemKind::team:
        m_appState.setSelectedTeamID(id);
        break;
    case ItemKind::widget:
        m_windowState.setSidebarSelection(
            SidebarSelection::page(SidebarSelection::Kind(item->data(selectionKindRole).toInt())));
        break;
    case ItemKind::project:
        m_windowState.setSidebarSelection(SidebarSelection::project(id));
        if (m_appState.activeProjectID() != id) {
            m_appState.setActiveProjectID(id);
            m_appState.settings().persistLastViewedProjectID(m_appState.activeProjectID());
        }
        break;
    case ItemKind::other:
        break;
    }
}
