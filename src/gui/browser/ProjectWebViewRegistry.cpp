#include "ProjectWebViewRegistry.h"

#include "ProjectWebPage.h"
#include "WebEngineModule.h"

#include "common/UuidText.h"

#include <QCoreApplication>
#include <QWidget>

ProjectWebViewRegistry &ProjectWebViewRegistry::shared()
{
    static ProjectWebViewRegistry *registry = [] {
        auto *made = new ProjectWebViewRegistry([](std::chrono::milliseconds timeout, QString *error) {
            WebContent *content = WebEngineModule::createContent(nullptr, error);
            return content ? new ProjectWebPage(content, timeout) : nullptr;
        });
        // The pages go while the application still runs, before the
        // engine's profile; the registry itself lives on.
        if (QCoreApplication *application = QCoreApplication::instance())
            QObject::connect(application, &QCoreApplication::aboutToQuit, application, [made] { made->clear(); });
        return made;
    }();
    return *registry;
}

ProjectWebViewRegistry::ProjectWebViewRegistry(PageFactory factory) : m_factory(std::move(factory))
{
}

ProjectWebViewRegistry::~ProjectWebViewRegistry()
{
    clear();
}

QString ProjectWebViewRegistry::viewKey(const QUuid &projectID, const QUuid &tabID)
{
    return UuidText::lower(projectID) + QStringLiteral("::") + UuidText::lower(tabID);
}

ProjectWebPage *ProjectWebViewRegistry::makePage()
{
    QString error;
    ProjectWebPage *page = m_factory(m_loadTimeout, &error);
    if (!page)
        m_lastError = error.isEmpty() ? QStringLiteral("The web view could not be created.") : error;
    return page;
}

ProjectWebPage *ProjectWebViewRegistry::webView(const QUuid &projectID, const QUuid &tabID, WebViewPurpose purpose)
{
    if (purpose == WebViewPurpose::gettingStarted) {
        ProjectWebPage *page = makePage();
        if (page)
            registerUncachedWebView(page, purpose);
        return page;
    }
    const QString key = viewKey(projectID, tabID);
    if (ProjectWebPage *cached = m_cached.value(key)) {
        markMostRecentlyUsed(key);
        return cached;
    }
    ProjectWebPage *page = makePage();
    if (!page)
        return nullptr;
    m_cached.insert(key, page);
    markMostRecentlyUsed(key);
    enforceWorkspaceLimit();
    return page;
}

void ProjectWebViewRegistry::evictWebView(const QUuid &projectID, const QUuid &tabID, WebViewPurpose purpose)
{
    if (purpose != WebViewPurpose::workspace)
        return;
    const QString key = viewKey(projectID, tabID);
    if (ProjectWebPage *page = m_cached.take(key))
        dropCachedPage(page);
    m_workspaceLRU.removeAll(key);
}

void ProjectWebViewRegistry::evictUncachedWebViews(WebViewPurpose purpose)
{
    if (purpose != WebViewPurpose::gettingStarted)
        return;
    const auto found = m_uncached.find(int(purpose));
    if (found == m_uncached.end())
        return;
    const QList<QPointer<ProjectWebPage>> pages = *found;
    for (const QPointer<ProjectWebPage> &page : pages)
        if (page)
            page->tearDown();
    m_uncached[int(purpose)].clear();
}

void ProjectWebViewRegistry::releaseWebViewIfUncached(ProjectWebPage *page)
{
    if (!page)
        return;
    for (ProjectWebPage *cached : std::as_const(m_cached))
        if (cached == page)
            return;
    page->tearDown();
    delete page;
    pruneUncachedWebViewReferences();
}

int ProjectWebViewRegistry::liveUncachedWebViews(WebViewPurpose purpose) const
{
    int live = 0;
    for (const QPointer<ProjectWebPage> &page : m_uncached.value(int(purpose)))
        live += page ? 1 : 0;
    return live;
}

void ProjectWebViewRegistry::clear()
{
    const QList<ProjectWebPage *> pages = m_cached.values();
    m_cached.clear();
    m_workspaceLRU.clear();
    for (ProjectWebPage *page : pages)
        delete page;
}

void ProjectWebViewRegistry::registerUncachedWebView(ProjectWebPage *page, WebViewPurpose purpose)
{
    if (purpose != WebViewPurpose::gettingStarted)
        return;
    pruneUncachedWebViewReferences();
    m_uncached[int(purpose)].append(QPointer<ProjectWebPage>(page));
}

void ProjectWebViewRegistry::markMostRecentlyUsed(const QString &key)
{
    m_workspaceLRU.removeAll(key);
    m_workspaceLRU.append(key);
}

void ProjectWebViewRegistry::enforceWorkspaceLimit()
{
    while (m_workspaceLRU.size() > maxWorkspaceWebViews) {
        const QString key = m_workspaceLRU.takeFirst();
        if (ProjectWebPage *page = m_cached.take(key))
            dropCachedPage(page);
    }
}

void ProjectWebViewRegistry::pruneUncachedWebViewReferences()
{
    for (auto it = m_uncached.begin(); it != m_uncached.end(); ++it)
        it->removeIf([](const QPointer<ProjectWebPage> &page) { return page.isNull(); });
}

void ProjectWebViewRegistry::dropCachedPage(ProjectWebPage *page)
{
    page->tearDown();
    QWidget *view = page->widget();
    if (!view || !view->parentWidget())
        delete page;
}
