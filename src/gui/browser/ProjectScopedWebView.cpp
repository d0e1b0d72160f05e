#include "ProjectScopedWebView.h"

#include "ProjectWebPage.h"
#include "ProjectWebViewRegistry.h"

#include "browser/BrowserTabs.h"

#include <QLabel>
#include <QVBoxLayout>

ProjectScopedWebView::ProjectScopedWebView(
    ProjectWebViewRegistry &registry, ProjectScopedWebViewArguments arguments, QWidget *parent)
    : QWidget(parent),
      m_registry(registry),
      m_arguments(std::move(arguments)),
      m_lastRefreshToken(m_arguments.refreshToken),
      m_lastManualRefreshToken(m_arguments.manualRefreshToken)
{
    setObjectName(QStringLiteral("projectScopedWebView"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);

    m_page = m_registry.webView(m_arguments.projectID, m_arguments.tabID, m_arguments.purpose);
    if (!m_page) {
        m_unavailable
            = new QLabel(QStringLiteral("The web preview is not available.\n%1").arg(m_registry.lastError()), this);
        m_unavailable->setObjectName(QStringLiteral("webPreviewUnavailable"));
        m_unavailable->setAlignment(Qt::AlignCenter);
        m_unavailable->setWordWrap(true);
        layout->addWidget(m_unavailable);
        return;
    }
    QWidget *view = m_page->widget();
    layout->addWidget(view);
    view->show();
    // A page just made loads the tab's address; a cached page that already
    // shows one is left as it is, with its history and scroll position.
    if (m_page->currentURL().isEmpty()) {
        if (const auto url = BrowserAddress::loadableURL(m_arguments.urlString))
            m_page->load(*url);
    }
    applyUpdate();
}

ProjectScopedWebView::~ProjectScopedWebView()
{
    if (!m_page)
        return;
    m_page->clearNavigationDelegate();
    // The page outlives this view when the registry keeps it: take it out
    // before this widget deletes its children.
    if (QWidget *view = m_page->widget()) {
        view->hide();
        view->setParent(nullptr);
    }
    m_registry.releaseWebViewIfUncached(m_page);
}

void ProjectScopedWebView::update(const ProjectScopedWebViewArguments &arguments)
{
    m_arguments.urlString = arguments.urlString;
    m_arguments.refreshToken = arguments.refreshToken;
    m_arguments.manualRefreshToken = arguments.manualRefreshToken;
    m_arguments.onNavigated = arguments.onNavigated;
    applyUpdate();
}

void ProjectScopedWebView::applyUpdate()
{
    if (!m_page)
        return;
    m_page->setNavigationDelegate({
        [this](const QUrl &url) {
            // The sidebar may hand in new arguments while this runs.
            if (const auto onNavigated = m_arguments.onNavigated)
                onNavigated(url.toString());
        },
        [this] { loadBlankIfNeeded(); },
    });
    // An address that is not a web address loads nothing, and the counters
    // wait for one that is.
    const auto target = BrowserAddress::loadableURL(m_arguments.urlString);
    if (!target)
        return;
    const QUrl current = m_page->currentURL();
    if (current.isEmpty() || current.toString() != target->toString())
        m_page->load(*target);
    if (m_arguments.refreshToken != m_lastRefreshToken) {
        m_lastRefreshToken = m_arguments.refreshToken;
        if (!BrowserAddress::shouldSuppressAutoRefresh(*target))
            m_page->reloadFromOrigin();
    }
    if (m_arguments.manualRefreshToken != m_lastManualRefreshToken) {
        m_lastManualRefreshToken = m_arguments.manualRefreshToken;
        m_page->reloadFromOrigin();
    }
}

void ProjectScopedWebView::loadBlankIfNeeded()
{
    if (!m_page || m_page->currentURL().toString() == QLatin1String("about:blank"))
        return;
    m_page->loadBlank();
}
