#pragma once

#include "ProjectWebPage.h"

#include "browser/WebViewPurpose.h"

#include <QPointer>
#include <QUuid>
#include <QWidget>

#include <functional>

class ProjectWebViewRegistry;
class QLabel;

// What the sidebar wants a tab's page to show.
struct ProjectScopedWebViewArguments
{
    QUuid projectID;
    QUuid tabID;
    WebViewPurpose purpose = WebViewPurpose::workspace;
    QString urlString;
    // Automatic refresh counter: a change reloads unless the page is one
    // that automatic refreshes leave alone.
    qint64 refreshToken = 0;
    // User refresh counter: a change always reloads.
    qint64 manualRefreshToken = 0;
    // Each finished navigation, with its final address.
    std::function<void(const QString &)> onNavigated;
};

// Puts the page of one tab on screen. One of these lives while its workspace
// and tab are the ones shown: it takes the tab's page from the registry, loads
// the tab's address when the page shows another one, turns the counters into
// reloads, reports finished navigations and blanks the page when a load fails
// or times out. When it goes, a cached page stays alive off screen.
class ProjectScopedWebView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProjectScopedWebView)

public:
    ProjectScopedWebView(
        ProjectWebViewRegistry &registry, ProjectScopedWebViewArguments arguments, QWidget *parent = nullptr);
    ~ProjectScopedWebView() override;

    // New values of the same identity (workspace and tab stay).
    void update(const ProjectScopedWebViewArguments &arguments);

    ProjectWebPage *page() const { return m_page; }

private:
    void applyUpdate();
    void loadBlankIfNeeded();

    ProjectWebViewRegistry &m_registry;
    ProjectScopedWebViewArguments m_arguments;
    QPointer<ProjectWebPage> m_page;
    qint64 m_lastRefreshToken = 0;
    qint64 m_lastManualRefreshToken = 0;
    QLabel *m_unavailable = nullptr;
};
