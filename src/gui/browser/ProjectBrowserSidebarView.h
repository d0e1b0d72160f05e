#pragma once

#include "browser/BrowserTabs.h"
#include "browser/WebViewPurpose.h"

#include <QUuid>
#include <QWidget>

#include <functional>
#include <memory>

class BrowserSidebarModel;
class ProjectScopedWebView;
class ProjectWebViewRegistry;
class QHBoxLayout;
class QLineEdit;
class QScrollArea;

// What the workspace page hands its web preview.
struct ProjectBrowserSidebarArguments
{
    QUuid projectID;
    WebViewPurpose webViewPurpose = WebViewPurpose::workspace;
    QString initialURLString;
    // A change asks for a reload.
    qint64 refreshToken = 0;
    // A change asks to focus the address bar.
    qint64 focusAddressBarToken = 0;
    // The read side of the visibility flag: the focus request needs it true.
    bool isVisible = true;
    // Writes the two-way visibility flag; the view writes false to hide itself.
    std::function<void(bool)> setVisible;
    // The shown address changed.
    std::function<void(const QString &)> onURLChange;
};

// The tabbed web preview of one workspace: a strip of tabs, an address bar
// with Go, refresh and hide, and the active tab's page. Its width is set by
// the caller, within `minimumSidebarWidth` and `maximumSidebarWidth`.
//
// Hiding the view ends its tabs (the workspace's first tab keeps its page in
// the registry); showing it again starts with one tab at the starting address.
class ProjectBrowserSidebarView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProjectBrowserSidebarView)

public:
    static constexpr int minimumSidebarWidth = 320;
    static constexpr int maximumSidebarWidth = 980;
    static constexpr int defaultSidebarWidth = 420;
    // A dragged width: a whole even number within the limits.
    static int clampedSidebarWidth(double width);

    explicit ProjectBrowserSidebarView(ProjectBrowserSidebarArguments arguments, QWidget *parent = nullptr);
    // The same over another registry (tests).
    ProjectBrowserSidebarView(
        ProjectBrowserSidebarArguments arguments, ProjectWebViewRegistry &registry, QWidget *parent = nullptr);
    ~ProjectBrowserSidebarView() override;

    // New values from the state (address, tokens); the identity stays.
    void update(const ProjectBrowserSidebarArguments &arguments);
    QUuid projectID() const { return m_arguments.projectID; }

    const BrowserSidebarModel &model() const { return *m_model; }
    ProjectScopedWebView *pageView() const { return m_pageView; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    void buildInterface();
    void resetModel();
    void appear();
    void disappear();
    // Draws the tabs and the address field from the model and puts the
    // active tab's page on screen.
    void render();
    void renderTabs();
    void syncPage();
    void requestAddressBarFocusIfNeeded(qint64 token);
    void selectAddressBarTextIfPossible();

    ProjectWebViewRegistry &m_registry;
    ProjectBrowserSidebarArguments m_arguments;
    std::unique_ptr<BrowserSidebarModel> m_model;
    bool m_appeared = false;
    QScrollArea *m_tabScroll = nullptr;
    QWidget *m_tabRow = nullptr;
    QHBoxLayout *m_tabLayout = nullptr;
    QLineEdit *m_addressField = nullptr;
    QWidget *m_pageFrame = nullptr;
    ProjectScopedWebView *m_pageView = nullptr;
    QList<BrowserTab> m_renderedTabs;
    std::optional<QUuid> m_renderedActiveTabID;
    QUuid m_pageProjectID;
    QUuid m_pageTabID;
};
