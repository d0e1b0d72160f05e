#include "browser/BrowserTabs.h"

#include "state/WebPreviewState.h"

#include <QRegularExpression>

namespace BrowserAddress {

QString defaultLocalAddress()
{
    return WebPreview::kDefaultAddress;
}

QString normalizeURLString(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return defaultLocalAddress();
    if (trimmed.contains(QLatin1String("://")))
        return trimmed;
    return QStringLiteral("http://") + trimmed;
}

std::optional<QString> hostAsTyped(const QString &urlString)
{
    const QUrl url(urlString, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    // QUrl folds the host to lower case; the title keeps it as typed, so cut
    // it out of the text itself: after "scheme://", before the path, query or
    // fragment, after any user part, before any port.
    const qsizetype schemeEnd = urlString.indexOf(QLatin1String("://"));
    if (schemeEnd < 0)
        return url.host();
    QString authority = urlString.mid(schemeEnd + 3);
    const qsizetype authorityEnd = authority.indexOf(QRegularExpression(QStringLiteral("[/?#]")));
    if (authorityEnd >= 0)
        authority.truncate(authorityEnd);
    const qsizetype at = authority.lastIndexOf(QLatin1Char('@'));
    if (at >= 0)
        authority.remove(0, at + 1);
    QString host;
    if (authority.startsWith(QLatin1Char('['))) {
        const qsizetype close = authority.indexOf(QLatin1Char(']'));
        host = authority.mid(1, close - 1);
    } else {
        const qsizetype colon = authority.indexOf(QLatin1Char(':'));
        host = colon >= 0 ? authority.left(colon) : authority;
    }
    // Whatever is cut out must still name the host QUrl found.
    if (host.compare(url.host(), Qt::CaseInsensitive) != 0)
        return url.host();
    return host;
}

QString tabTitle(const QString &urlString)
{
    return hostAsTyped(urlString).value_or(QStringLiteral("Tab"));
}

std::optional<QUrl> loadableURL(const QString &urlString)
{
    const QUrl url(urlString, QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return std::nullopt;
    return url;
}

bool shouldSuppressAutoRefresh(const QUrl &url)
{
    const QString host = url.host().toLower();
    if (host.isEmpty())
        return false;
    if (host == QLatin1String("docs.google.com") || host == QLatin1String("sheets.google.com"))
        return true;
    if (host.endsWith(QLatin1String(".google.com")))
        return url.path().toLower().contains(QLatin1String("/spreadsheets/"));
    return false;
}

} // namespace BrowserAddress

BrowserSidebarModel::BrowserSidebarModel(QUuid projectID, WebViewPurpose purpose, QString initialURLString, Hooks hooks)
    : m_projectID(projectID),
      m_purpose(purpose),
      m_initialURLString(std::move(initialURLString)),
      m_hooks(std::move(hooks)),
      m_fallbackTabID(purpose == WebViewPurpose::workspace ? projectID : QUuid::createUuid())
{
}

std::optional<qsizetype> BrowserSidebarModel::activeTabIndex() const
{
    if (!m_activeTabID)
        return std::nullopt;
    for (qsizetype i = 0; i < m_tabs.size(); ++i)
        if (m_tabs[i].id == *m_activeTabID)
            return i;
    return std::nullopt;
}

QString BrowserSidebarModel::activeURLString() const
{
    if (const auto index = activeTabIndex())
        return m_tabs[*index].urlString;
    return BrowserAddress::normalizeURLString(m_initialURLString);
}

QUuid BrowserSidebarModel::pageTabID() const
{
    if (m_activeTabID)
        return *m_activeTabID;
    return m_purpose == WebViewPurpose::workspace ? m_projectID : m_fallbackTabID;
}

void BrowserSidebarModel::appear()
{
    restoreOrInitializeSession(m_projectID);
}

void BrowserSidebarModel::disappear()
{
    saveWorkspaceSessionIfNeeded(m_projectID);
}

void BrowserSidebarModel::setProjectID(const QUuid &projectID)
{
    if (projectID == m_projectID)
        return;
    const QUuid old = m_projectID;
    m_projectID = projectID;
    if (m_purpose == WebViewPurpose::workspace)
        m_fallbackTabID = projectID;
    handleProjectChange(old, projectID);
}

void BrowserSidebarModel::setInitialURLString(const QString &text)
{
    if (text == m_initialURLString)
        return;
    m_initialURLString = text;
    if (m_tabs.isEmpty())
        initializeTabsIfNeeded();
}

void BrowserSidebarModel::initializeTabsIfNeeded()
{
    if (!m_tabs.isEmpty())
        return;
    const QString address = BrowserAddress::normalizeURLString(m_initialURLString);
    const QUuid id = m_purpose == WebViewPurpose::workspace ? m_projectID : QUuid::createUuid();
    m_tabs = {BrowserTab {id, QStringLiteral("Workspace"), address}};
    m_activeTabID = id;
    m_addressBarText = address;
    saveWorkspaceSessionIfNeeded(m_projectID);
}

void BrowserSidebarModel::addNewTab()
{
    const QString address = BrowserAddress::normalizeURLString(m_initialURLString);
    const BrowserTab tab {QUuid::createUuid(), QStringLiteral("New Tab"), address};
    m_tabs.append(tab);
    m_activeTabID = tab.id;
    m_addressBarText = address;
    saveWorkspaceSessionIfNeeded(m_projectID);
}

void BrowserSidebarModel::selectTab(const QUuid &tabID)
{
    for (const BrowserTab &tab : std::as_const(m_tabs)) {
        if (tab.id != tabID)
            continue;
        m_activeTabID = tab.id;
        m_addressBarText = tab.urlString;
        saveWorkspaceSessionIfNeeded(m_projectID);
        return;
    }
}

void BrowserSidebarModel::closeTab(const QUuid &tabID)
{
    if (m_tabs.size() < 2)
        return;
    const bool wasActive = m_activeTabID == tabID;
    m_tabs.removeIf([&](const BrowserTab &tab) { return tab.id == tabID; });
    if (m_hooks.evictWebView)
        m_hooks.evictWebView(m_projectID, tabID, m_purpose);
    if (wasActive && !m_tabs.isEmpty()) {
        m_activeTabID = m_tabs.last().id;
        m_addressBarText = m_tabs.last().urlString;
    }
    saveWorkspaceSessionIfNeeded(m_projectID);
}

void BrowserSidebarModel::navigateFromAddressBar()
{
    const QString address = BrowserAddress::normalizeURLString(m_addressBarText);
    const bool same = address == activeURLString();
    m_addressBarText = address;
    updateActiveTabURL(address);
    if (m_hooks.onURLChange)
        m_hooks.onURLChange(address);
    if (same)
        ++m_manualRefreshToken;
}

void BrowserSidebarModel::updateActiveTabURL(const QString &text)
{
    const auto index = activeTabIndex();
    if (!index)
        return;
    m_tabs[*index].urlString = text;
    m_tabs[*index].title = BrowserAddress::tabTitle(text);
    saveWorkspaceSessionIfNeeded(m_projectID);
}

void BrowserSidebarModel::handleNavigated(const QString &address)
{
    updateActiveTabURL(address);
    m_addressBarText = address;
    if (m_hooks.onURLChange)
        m_hooks.onURLChange(address);
}

void BrowserSidebarModel::saveWorkspaceSessionIfNeeded(const QUuid &projectID)
{
    if (m_purpose == WebViewPurpose::gettingStarted)
        return;
    if (m_tabs.isEmpty())
        m_sessions.remove(projectID);
    else
        m_sessions.insert(projectID, WorkspaceTabSession {m_tabs, m_activeTabID, m_addressBarText});
}

void BrowserSidebarModel::restoreOrInitializeSession(const QUuid &projectID)
{
    if (m_purpose == WebViewPurpose::workspace) {
        const auto found = m_sessions.constFind(projectID);
        if (found != m_sessions.constEnd() && !found->tabs.isEmpty()) {
            m_tabs = found->tabs;
            m_activeTabID = found->activeTabID;
            m_addressBarText = found->addressBarText;
            return;
        }
    }
    m_tabs.clear();
    m_activeTabID.reset();
    initializeTabsIfNeeded();
}

void BrowserSidebarModel::handleProjectChange(const QUuid &from, const QUuid &to)
{
    if (m_purpose == WebViewPurpose::workspace) {
        saveWorkspaceSessionIfNeeded(from);
        restoreOrInitializeSession(to);
        return;
    }
    m_tabs.clear();
    m_activeTabID.reset();
    initializeTabsIfNeeded();
}

bool BrowserSidebarModel::takeFocusRequest(qint64 token)
{
    if (token < 1 || token == m_lastHandledFocusToken)
        return false;
    m_lastHandledFocusToken = token;
    return true;
}
