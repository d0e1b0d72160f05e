#pragma once

#include "WebContent.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>

class QTimer;

// One page of the web preview: a web view of the engine and what the preview
// keeps of it. It remembers the address it was last asked to load itself (the
// engine's own address lags behind a load that has just started), gives every
// load a time-out of its own, and tells its navigation delegate how each
// navigation ended.
class ProjectWebPage final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProjectWebPage)

public:
    struct NavigationDelegate
    {
        // A navigation finished, at this address (after any redirect).
        std::function<void(const QUrl &)> didFinish;
        // A navigation failed or ran out of time. Navigations that were
        // stopped or replaced by a newer one are not failures.
        std::function<void()> didFail;
    };

    // Takes the web view over: deleting the page deletes the view.
    ProjectWebPage(WebContent *content, std::chrono::milliseconds loadTimeout, QObject *parent = nullptr);
    ~ProjectWebPage() override;

    QWidget *widget() const;
    WebContent *content() const { return m_widget ? m_content : nullptr; }

    // The page's address: the one last asked for until a navigation reports
    // another; "about:blank" after `loadBlank`; empty for a view that has
    // loaded nothing yet.
    QUrl currentURL() const { return m_currentURL; }
    bool isLoading() const { return m_timer != nullptr; }

    // Loads the address afresh, with the time-out.
    void load(const QUrl &url);
    // Reloads the page from its origin, with the time-out.
    void reloadFromOrigin();
    void stopLoading();
    // Replaces the page by an empty one ("about:blank").
    void loadBlank();

    void setNavigationDelegate(NavigationDelegate delegate) { m_delegate = std::move(delegate); }
    void clearNavigationDelegate() { m_delegate = {}; }
    bool hasNavigationDelegate() const { return bool(m_delegate.didFinish) || bool(m_delegate.didFail); }

    // What every page goes through when the preview lets it go: stop
    // loading, forget the navigation delegate, show the empty page.
    void tearDown();

private:
    void startTimer();
    void finishTimer();
    void handleOutcome(const WebLoadOutcome &outcome);
    void handleTimeout();

    WebContent *m_content;
    QPointer<QWidget> m_widget;
    std::chrono::milliseconds m_loadTimeout;
    NavigationDelegate m_delegate;
    QUrl m_currentURL;
    QTimer *m_timer = nullptr;
};
