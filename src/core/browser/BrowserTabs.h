#pragma once

#include "browser/WebViewPurpose.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QUrl>
#include <QUuid>

#include <functional>
#include <optional>

// One tab of a web preview sidebar.
struct BrowserTab
{
    QUuid id;
    QString title;
    QString urlString;
    bool operator==(const BrowserTab &) const = default;
};

// The tabs a sidebar had for one workspace, brought back when it returns.
struct WorkspaceTabSession
{
    QList<BrowserTab> tabs;
    std::optional<QUuid> activeTabID;
    QString addressBarText;
    bool operator==(const WorkspaceTabSession &) const = default;
};

namespace BrowserAddress {

// "http://localhost:3000": new tabs without a better address, and the
// address field's placeholder.
QString defaultLocalAddress();

// What the address field's text stands for: trimmed; empty gives the default
// local address; text with "://" anywhere is taken as it is; anything else
// gains "http://". Letter case is kept and nothing is guessed.
QString normalizeURLString(const QString &text);

// The host of an address as it was typed (no scheme, user, port or path),
// or nothing when the text is not a strictly valid URL with a host.
std::optional<QString> hostAsTyped(const QString &urlString);

// A tab's title for an address: its host as typed, else "Tab".
QString tabTitle(const QString &urlString);

// The address a preview may load: a strictly valid http or https URL with a
// host. Anything else (other schemes, file:, text that does not parse) is
// never loaded, since addresses come from the address bar and from files and
// text inside a workspace.
std::optional<QUrl> loadableURL(const QString &urlString);

// Automatic refreshes leave the online office suite's documents and
// spreadsheets alone (a reload would throw away unsaved edits there).
bool shouldSuppressAutoRefresh(const QUrl &url);

} // namespace BrowserAddress

// The tabs, the address field and the saved sessions of one web preview
// sidebar, without the widgets: the sidebar view draws this model and calls
// its operations.
class BrowserSidebarModel final
{
public:
    struct Hooks
    {
        // Every address the user submits and every finished navigation.
        std::function<void(const QString &)> onURLChange;
        // A closed tab's page is no longer needed.
        std::function<void(const QUuid &projectID, const QUuid &tabID, WebViewPurpose purpose)> evictWebView;
    };

    BrowserSidebarModel(QUuid projectID, WebViewPurpose purpose, QString initialURLString, Hooks hooks);

    QUuid projectID() const { return m_projectID; }
    WebViewPurpose purpose() const { return m_purpose; }
    QString initialURLString() const { return m_initialURLString; }
    const QList<BrowserTab> &tabs() const { return m_tabs; }
    std::optional<QUuid> activeTabID() const { return m_activeTabID; }
    QString addressBarText() const { return m_addressBarText; }
    void setAddressBarText(const QString &text) { m_addressBarText = text; }
    qint64 manualRefreshToken() const { return m_manualRefreshToken; }
    const QHash<QUuid, WorkspaceTabSession> &workspaceSessions() const { return m_sessions; }
    void setWorkspaceSession(const QUuid &projectID, const WorkspaceTabSession &session)
    {
        m_sessions.insert(projectID, session);
    }

    std::optional<qsizetype> activeTabIndex() const;
    QString activeURLString() const;
    // The tab id the page is built for: the active tab, else the workspace's
    // own first tab (a fresh id for the getting-started page).
    QUuid pageTabID() const;

    // The view appeared: restore the workspace's session or start afresh.
    void appear();
    // The view is going away: keep the session.
    void disappear();
    void setProjectID(const QUuid &projectID);
    void setInitialURLString(const QString &text);

    void initializeTabsIfNeeded();
    void addNewTab();
    void selectTab(const QUuid &tabID);
    void closeTab(const QUuid &tabID);
    void navigateFromAddressBar();
    void updateActiveTabURL(const QString &text);
    // A finished navigation of the page, reported with its final address.
    void handleNavigated(const QString &address);
    void refresh() { ++m_manualRefreshToken; }

    void saveWorkspaceSessionIfNeeded(const QUuid &projectID);
    void restoreOrInitializeSession(const QUuid &projectID);
    void handleProjectChange(const QUuid &from, const QUuid &to);

    // Whether the address field is to be focused for this counter value;
    // marks the value as handled either way.
    bool takeFocusRequest(qint64 token);

private:
    QUuid m_projectID;
    WebViewPurpose m_purpose;
    QString m_initialURLString;
    Hooks m_hooks;
    QString m_addressBarText;
    QList<BrowserTab> m_tabs;
    std::optional<QUuid> m_activeTabID;
    QHash<QUuid, WorkspaceTabSession> m_sessions;
    qint64 m_manualRefreshToken = 0;
    qint64 m_lastHandledFocusToken = -1;
    QUuid m_fallbackTabID;
};
