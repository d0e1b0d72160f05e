#pragma once

#include <QString>
#include <QUrl>

#include <functional>

class QWidget;

// How one navigation ended, with the address it ended at.
struct WebLoadOutcome
{
    QUrl url;
    bool ok = false;
    // Stopped, or replaced by a newer navigation: not a failure of the page.
    bool cancelled = false;
    int errorCode = 0;
    QString errorString;
};

// A web page view as the window sees it. The web engine lives in a module of
// its own (libtessaron-web.so) that is opened only when the first web view is
// built, so a user who never opens one does not pay for the engine at start
// or in memory. Plain C++ on purpose: the module needs nothing of the program.
struct WebContentEvents
{
    std::function<void()> loadStarted;
    std::function<void(int percent)> loadProgress;
    // `ok` is false for a failed load; `cancelled` tells a navigation that was
    // stopped or replaced by a newer one from a real failure.
    std::function<void(bool ok, bool cancelled)> loadFinished;
    // The same end of a navigation with its address and error.
    std::function<void(const WebLoadOutcome &outcome)> loadOutcome;
    std::function<void(const QUrl &url)> urlChanged;
    std::function<void(const QString &title)> titleChanged;
};

class WebContent
{
public:
    virtual ~WebContent() = default;

    // The view itself; deleting this object deletes the widget, and a widget
    // deleted by its parent takes this object with it.
    virtual QWidget *widget() = 0;
    virtual void setEvents(WebContentEvents events) = 0;
    virtual void load(const QUrl &url) = 0;
    virtual void reload(bool bypassCache) = 0;
    virtual void stop() = 0;
    virtual QUrl url() const = 0;
    virtual QString title() const = 0;
    virtual void setHtml(const QString &html, const QUrl &baseUrl) = 0;
};

// The module's entry points, looked up by name.
#define TESSARON_WEB_MODULE_ABI 2
extern "C" {
using TessaronWebAbiFunction = int (*)();
using TessaronWebCreateFunction = WebContent *(*)(QWidget *parent);
}
