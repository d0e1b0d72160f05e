#include "ProjectBrowserSidebarView.h"

#include "ProjectScopedWebView.h"
#include "ProjectWebViewRegistry.h"

#include "browser/BrowserTabs.h"
#include "shell/DarkAppearance.h"
#include "shell/SymbolIcons.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShowEvent>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include <cmath>

namespace {

QString rgba(const QColor &color, double alpha)
{
    return QStringLiteral("rgba(%1, %2, %3, %4)").arg(color.red()).arg(color.green()).arg(color.blue()).arg(alpha);
}

// Clicks on a tab's title select the tab.
class TabTitle final : public QLabel
{
public:
    TabTitle(const QString &text, std::function<void()> onClick, QWidget *parent)
        : QLabel(text, parent), m_onClick(std::move(onClick))
    {
        setCursor(Qt::PointingHandCursor);
    }

protected:
    void mouseReleaseEvent(QMouseEvent *event) override
    {
        QLabel::mouseReleaseEvent(event);
        if (m_onClick)
            QTimer::singleShot(0, this, m_onClick);
    }

private:
    std::function<void()> m_onClick;
};

} // namespace

int ProjectBrowserSidebarView::clampedSidebarWidth(double width)
{
    const double even = std::round(width / 2.0) * 2.0;
    return int(std::clamp(even, double(minimumSidebarWidth), double(maximumSidebarWidth)));
}

ProjectBrowserSidebarView::ProjectBrowserSidebarView(ProjectBrowserSidebarArguments arguments, QWidget *parent)
    : ProjectBrowserSidebarView(std::move(arguments), ProjectWebViewRegistry::shared(), parent)
{
}

ProjectBrowserSidebarView::ProjectBrowserSidebarView(
    ProjectBrowserSidebarArguments arguments, ProjectWebViewRegistry &registry, QWidget *parent)
    : QWidget(parent), m_registry(registry), m_arguments(std::move(arguments))
{
    setObjectName(QStringLiteral("webPreview"));
    setMinimumWidth(minimumSidebarWidth);
    setMaximumWidth(maximumSidebarWidth);
    resetModel();
    buildInterface();
}

ProjectBrowserSidebarView::~ProjectBrowserSidebarView()
{
    if (m_appeared)
        disappear();
}

void ProjectBrowserSidebarView::buildInterface()
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 8, 0, 10);
    layout->setSpacing(10);

    m_tabScroll = new QScrollArea(this);
    m_tabScroll->setObjectName(QStringLiteral("browserTabStrip"));
    m_tabScroll->setFrameShape(QFrame::NoFrame);
    m_tabScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_tabScroll->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_tabScroll->setWidgetResizable(true);
    m_tabScroll->setStyleSheet(QStringLiteral("QScrollArea { background: transparent; }"));
    m_tabScroll->viewport()->setAutoFillBackground(false);
    m_tabRow = new QWidget(m_tabScroll);
    m_tabRow->setObjectName(QStringLiteral("browserTabRow"));
    m_tabRow->setStyleSheet(QStringLiteral("#browserTabRow { background: transparent; }"));
    m_tabRow->setAutoFillBackground(false);
    m_tabLayout = new QHBoxLayout(m_tabRow);
    m_tabLayout->setContentsMargins(10, 0, 10, 0);
    m_tabLayout->setSpacing(6);
    m_tabScroll->setWidget(m_tabRow);
    layout->addWidget(m_tabScroll);

    auto *addressRow = new QHBoxLayout;
    addressRow->setContentsMargins(10, 0, 10, 0);
    addressRow->setSpacing(8);
    m_addressField = new QLineEdit(this);
    m_addressField->setObjectName(QStringLiteral("browserAddressField"));
    m_addressField->setPlaceholderText(BrowserAddress::defaultLocalAddress());
    m_addressField->setClearButtonEnabled(false);
    connect(m_addressField, &QLineEdit::textEdited, this,
        [this](const QString &text) { m_model->setAddressBarText(text); });
    const auto navigate = [this] {
        m_model->setAddressBarText(m_addressField->text());
        m_model->navigateFromAddressBar();
        render();
    };
    connect(m_addressField, &QLineEdit::returnPressed, this, navigate);
    addressRow->addWidget(m_addressField, 1);

    auto *go = new QPushButton(QStringLiteral("Go"), this);
    go->setObjectName(QStringLiteral("browserGoButton"));
    go->setStyleSheet(QStringLiteral("QPushButton { background: %1; color: white; border-radius: 5px; padding: 4px "
                                     "12px; } QPushButton:pressed { background: %2; }")
                          .arg(DarkAppearance::accentColor().name(), DarkAppearance::accentColor().darker(130).name()));
    connect(go, &QPushButton::clicked, this, navigate);
    addressRow->addWidget(go);

    auto *refresh = new QToolButton(this);
    refresh->setObjectName(QStringLiteral("browserRefreshButton"));
    refresh->setIcon(SymbolIcons::icon(QStringLiteral("arrow.clockwise")));
    refresh->setToolTip(QStringLiteral("Refresh page"));
    connect(refresh, &QToolButton::clicked, this, [this] {
        m_model->refresh();
        syncPage();
    });
    addressRow->addWidget(refresh);

    auto *hide = new QToolButton(this);
    hide->setObjectName(QStringLiteral("browserHideButton"));
    hide->setIcon(SymbolIcons::icon(QStringLiteral("sidebar.trailing")));
    hide->setToolTip(QStringLiteral("Hide browser sidebar"));
    connect(hide, &QToolButton::clicked, this, [this] {
        if (m_arguments.setVisible)
            m_arguments.setVisible(false);
    });
    addressRow->addWidget(hide);
    layout->addLayout(addressRow);

    auto *pageRow = new QHBoxLayout;
    pageRow->setContentsMargins(10, 0, 10, 0);
    m_pageFrame = new QWidget(this);
    m_pageFrame->setObjectName(QStringLiteral("webPreviewPageFrame"));
    m_pageFrame->setAttribute(Qt::WA_StyledBackground);
    m_pageFrame->setStyleSheet(QStringLiteral("#webPreviewPageFrame { border: 1px solid %1; border-radius: 10px; }")
                                   .arg(rgba(Qt::white, 0.12)));
    auto *frameLayout = new QVBoxLayout(m_pageFrame);
    frameLayout->setContentsMargins(2, 2, 2, 2);
    pageRow->addWidget(m_pageFrame);
    layout->addLayout(pageRow, 1);
}

void ProjectBrowserSidebarView::resetModel()
{
    BrowserSidebarModel::Hooks hooks;
    hooks.onURLChange = [this](const QString &address) {
        // The caller may hand in new arguments while this runs.
        if (const auto onURLChange = m_arguments.onURLChange)
            onURLChange(address);
    };
    hooks.evictWebView = [this](const QUuid &projectID, const QUuid &tabID, WebViewPurpose purpose) {
        // The tab's page is on screen until the page view lets it go.
        if (m_pageView && m_pageTabID == tabID) {
            delete m_pageView;
            m_pageView = nullptr;
        }
        m_registry.evictWebView(projectID, tabID, purpose);
    };
    m_model = std::make_unique<BrowserSidebarModel>(
        m_arguments.projectID, m_arguments.webViewPurpose, m_arguments.initialURLString, std::move(hooks));
}

void ProjectBrowserSidebarView::update(const ProjectBrowserSidebarArguments &arguments)
{
    const ProjectBrowserSidebarArguments old = m_arguments;
    m_arguments = arguments;
    // Not on screen: the next appearance starts from these values.
    if (!m_appeared)
        return;
    if (arguments.projectID != old.projectID)
        m_model->setProjectID(arguments.projectID);
    if (arguments.initialURLString != old.initialURLString)
        m_model->setInitialURLString(arguments.initialURLString);
    render();
    if (arguments.focusAddressBarToken != old.focusAddressBarToken)
        requestAddressBarFocusIfNeeded(arguments.focusAddressBarToken);
}

void ProjectBrowserSidebarView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (!m_appeared)
        appear();
}

void ProjectBrowserSidebarView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    // A minimised window is still the same sidebar.
    if (m_appeared && !event->spontaneous())
        disappear();
}

void ProjectBrowserSidebarView::appear()
{
    m_appeared = true;
    // Every appearance is a new sidebar: one tab at the starting address,
    // over the page the registry may still keep for the workspace.
    resetModel();
    m_model->appear();
    render();
    requestAddressBarFocusIfNeeded(m_arguments.focusAddressBarToken);
}

void ProjectBrowserSidebarView::disappear()
{
    m_appeared = false;
    m_model->disappear();
    delete m_pageView;
    m_pageView = nullptr;
    m_pageTabID = QUuid();
    m_pageProjectID = QUuid();
    if (m_arguments.webViewPurpose == WebViewPurpose::gettingStarted)
        m_registry.evictUncachedWebViews(WebViewPurpose::gettingStarted);
}

void ProjectBrowserSidebarView::render()
{
    renderTabs();
    if (m_addressField->text() != m_model->addressBarText())
        m_addressField->setText(m_model->addressBarText());
    syncPage();
}

void ProjectBrowserSidebarView::renderTabs()
{
    // The state changes often for other reasons: redraw only what changed.
    if (m_renderedTabs == m_model->tabs() && m_renderedActiveTabID == m_model->activeTabID()
        && m_tabLayout->count() > 0)
        return;
    m_renderedTabs = m_model->tabs();
    m_renderedActiveTabID = m_model->activeTabID();
    while (QLayoutItem *item = m_tabLayout->takeAt(0)) {
        if (QWidget *widget = item->widget()) {
            widget->hide();
            // The clicked button may be one of these.
            widget->deleteLater();
        }
        delete item;
    }
    const QList<BrowserTab> &tabs = m_model->tabs();
    const QColor accent = DarkAppearance::accentColor();
    for (const BrowserTab &tab : tabs) {
        const bool active = m_model->activeTabID() == tab.id;
        auto *chip = new QWidget(m_tabRow);
        chip->setObjectName(QStringLiteral("browserTab"));
        chip->setProperty("tabID", tab.id.toString(QUuid::WithoutBraces));
        chip->setProperty("active", active);
        chip->setAttribute(Qt::WA_StyledBackground);
        chip->setStyleSheet(QStringLiteral("#browserTab { background: %1; border-radius: 13px; }")
                                .arg(active ? rgba(accent, 0.22) : rgba(Qt::white, 0.08)));
        auto *row = new QHBoxLayout(chip);
        row->setContentsMargins(10, 6, 10, 6);
        row->setSpacing(6);
        const QUuid id = tab.id;
        auto *title = new TabTitle(
            tab.title,
            [this, id] {
                m_model->selectTab(id);
                render();
            },
            chip);
        title->setObjectName(QStringLiteral("browserTabTitle"));
        row->addWidget(title);
        if (tabs.size() >= 2) {
            auto *close = new QToolButton(chip);
            close->setObjectName(QStringLiteral("browserTabCloseButton"));
            close->setIcon(SymbolIcons::icon(QStringLiteral("xmark")));
            close->setIconSize(QSize(12, 12));
            close->setAutoRaise(true);
            close->setStyleSheet(QStringLiteral("QToolButton { border: none; padding: 0; background: transparent; }"));
            connect(close, &QToolButton::clicked, this, [this, id] {
                m_model->closeTab(id);
                render();
            });
            row->addWidget(close);
        }
        m_tabLayout->addWidget(chip);
        chip->show();
    }
    auto *plus = new QToolButton(m_tabRow);
    plus->setObjectName(QStringLiteral("browserNewTabButton"));
    plus->setIcon(SymbolIcons::icon(QStringLiteral("plus")));
    plus->setToolTip(QStringLiteral("New tab"));
    plus->setStyleSheet(QStringLiteral("QToolButton { background: %1; border: none; border-radius: 13px; padding: "
                                       "6px 10px; }")
                            .arg(rgba(Qt::white, 0.08)));
    connect(plus, &QToolButton::clicked, this, [this] {
        m_model->addNewTab();
        render();
    });
    m_tabLayout->addWidget(plus);
    plus->show();
    m_tabLayout->addStretch(1);
    m_tabRow->adjustSize();
    m_tabScroll->setFixedHeight(m_tabRow->sizeHint().height());
}

void ProjectBrowserSidebarView::syncPage()
{
    if (!m_appeared)
        return;
    ProjectScopedWebViewArguments page;
    page.projectID = m_model->projectID();
    page.tabID = m_model->pageTabID();
    page.purpose = m_model->purpose();
    page.urlString = m_model->activeURLString();
    page.refreshToken = m_arguments.refreshToken;
    page.manualRefreshToken = m_model->manualRefreshToken();
    page.onNavigated = [this](const QString &address) {
        m_model->handleNavigated(address);
        renderTabs();
        m_addressField->setText(m_model->addressBarText());
    };
    // A page view belongs to one workspace and tab: another pair gets a new one.
    if (m_pageView && (m_pageProjectID != page.projectID || m_pageTabID != page.tabID)) {
        delete m_pageView;
        m_pageView = nullptr;
    }
    if (!m_pageView) {
        m_pageProjectID = page.projectID;
        m_pageTabID = page.tabID;
        m_pageView = new ProjectScopedWebView(m_registry, page, m_pageFrame);
        m_pageFrame->layout()->addWidget(m_pageView);
        return;
    }
    m_pageView->update(page);
}

void ProjectBrowserSidebarView::requestAddressBarFocusIfNeeded(qint64 token)
{
    if (!m_model->takeFocusRequest(token))
        return;
    QTimer::singleShot(0, this, [this] {
        if (!m_arguments.isVisible || !isVisible())
            return;
        m_addressField->setFocus(Qt::ShortcutFocusReason);
        QTimer::singleShot(40, this, [this] { selectAddressBarTextIfPossible(); });
        QTimer::singleShot(160, this, [this] { selectAddressBarTextIfPossible(); });
    });
}

void ProjectBrowserSidebarView::selectAddressBarTextIfPossible()
{
    if (m_addressField->hasFocus())
        m_addressField->selectAll();
}

void ProjectBrowserSidebarView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), QColor(0, 0, 0, int(0.15 * 255)));
}
