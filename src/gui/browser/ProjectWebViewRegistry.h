#pragma once

#include "browser/WebViewPurpose.h"

#include <QHash>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <chrono>
#include <functional>

class ProjectWebPage;

// The one owner of the web preview's pages. It keeps the pages of workspace
// tabs alive across tab and workspace switches (at most four, the least
// recently used go first), and hands out getting-started pages fresh on every
// request, watching them only so that it can tear them down when that page
// goes away. Main thread only.
class ProjectWebViewRegistry final
{
    Q_DISABLE_COPY_MOVE(ProjectWebViewRegistry)

public:
    static constexpr int maxWorkspaceWebViews = 4;
    static constexpr std::chrono::milliseconds defaultLoadTimeout {8000};

    // Makes a page, or null when no web view can be built (see `lastError`).
    using PageFactory = std::function<ProjectWebPage *(std::chrono::milliseconds loadTimeout, QString *error)>;

    // The process-wide registry over the web-engine module.
    static ProjectWebViewRegistry &shared();

    explicit ProjectWebViewRegistry(PageFactory factory);
    ~ProjectWebViewRegistry();

    // "<project uuid>::<tab uuid>", both lower case.
    static QString viewKey(const QUuid &projectID, const QUuid &tabID);

    // The cached page of a workspace tab, or a new one; a new page for every
    // getting-started request. Null when no page can be built.
    ProjectWebPage *webView(const QUuid &projectID, const QUuid &tabID, WebViewPurpose purpose);
    // Drops and tears down a workspace tab's cached page.
    void evictWebView(const QUuid &projectID, const QUuid &tabID, WebViewPurpose purpose);
    // Tears down every getting-started page still alive and forgets them.
    void evictUncachedWebViews(WebViewPurpose purpose);
    // A page leaves the screen: a cached one stays alive, any other is torn
    // down and deleted.
    void releaseWebViewIfUncached(ProjectWebPage *page);

    // Least recently used first.
    QStringList workspaceLRU() const { return m_workspaceLRU; }
    ProjectWebPage *cachedWebView(const QString &key) const { return m_cached.value(key); }
    int liveUncachedWebViews(WebViewPurpose purpose) const;
    bool hasUncachedList(WebViewPurpose purpose) const { return m_uncached.contains(int(purpose)); }

    // The time a load may take before the page is given up (8 s).
    std::chrono::milliseconds loadTimeout() const { return m_loadTimeout; }
    void setLoadTimeout(std::chrono::milliseconds timeout) { m_loadTimeout = timeout; }
    // Why the last page could not be built.
    QString lastError() const { return m_lastError; }

    // Deletes every cached page (before the engine's profile goes at exit).
    void clear();

private:
    ProjectWebPage *makePage();
    void registerUncachedWebView(ProjectWebPage *page, WebViewPurpose purpose);
    void markMostRecentlyUsed(const QString &key);
    void enforceWorkspaceLimit();
    void pruneUncachedWebViewReferences();
    // Tears a page down and deletes it unless it is still on screen, where
    // its holder deletes it when it lets go.
    void dropCachedPage(ProjectWebPage *page);

    PageFactory m_factory;
    QHash<QString, ProjectWebPage *> m_cached;
    QStringList m_workspaceLRU;
    // Keyed by the purpose's value.
    QHash<int, QList<QPointer<ProjectWebPage>>> m_uncached;
    std::chrono::milliseconds m_loadTimeout = defaultLoadTimeout;
    QString m_lastError;
};
