// The web-engine side of a web view: one off-the-record profile shared by
// every view, a view that reports its loads through the window's callbacks.

#include "WebContent.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QOpenGLContext>
#include <QPointer>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>

// Qt's own setter of the context every later context shares with (exported
// by Qt GUI, not declared in its public headers).
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext *context);

namespace {

// The engine draws with OpenGL contexts that must share with one global
// context. Qt makes that context at start when asked to, which loads the
// OpenGL driver into every run; here it is made only when the first web view
// is built. The window itself draws without OpenGL, so no earlier context
// misses the sharing.
void ensureSharedOpenGLContext()
{
    if (QOpenGLContext::globalShareContext())
        return;
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    auto *context = new QOpenGLContext(QCoreApplication::instance());
    context->setFormat(QSurfaceFormat::defaultFormat());
    if (!context->create())
        qWarning("tessaron.browser: no OpenGL context for the web engine to share");
    qt_gl_set_global_share_context(context);
}

QWebEngineProfile *previewProfile()
{
    static QPointer<QWebEngineProfile> profile;
    if (!profile) {
        // No storage name: cookies, cache and storage stay in memory and are
        // forgotten when the application ends.
        profile = new QWebEngineProfile(QCoreApplication::instance());
        // A preview shows what the development server serves now: pages are
        // always fetched afresh, never taken from a cache.
        profile->setHttpCacheType(QWebEngineProfile::NoCache);
        // The starting address of a preview can come from files inside a
        // workspace: local content reads neither files nor remote addresses.
        QWebEngineSettings *settings = profile->settings();
        settings->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
        settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    }
    return profile;
}

// The network stack's "aborted" (a navigation dropped for a newer one),
// which the engine may report as a failed load rather than a stopped one.
bool isAbort(const QWebEngineLoadingInfo &info)
{
    return info.status() == QWebEngineLoadingInfo::LoadFailedStatus && info.errorCode() == -3;
}

class EngineContent final : public QWebEngineView, public WebContent
{
public:
    explicit EngineContent(QWidget *parent) : QWebEngineView(parent)
    {
        setPage(new QWebEnginePage(previewProfile(), this));
        connect(this, &QWebEngineView::loadStarted, this, [this] {
            if (m_events.loadStarted)
                m_events.loadStarted();
        });
        connect(this, &QWebEngineView::loadProgress, this, [this](int percent) {
            if (m_events.loadProgress)
                m_events.loadProgress(percent);
        });
        connect(page(), &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo &info) {
            if (info.status() == QWebEngineLoadingInfo::LoadStartedStatus)
                return;
            WebLoadOutcome outcome;
            outcome.url = info.url();
            outcome.ok = info.status() == QWebEngineLoadingInfo::LoadSucceededStatus;
            outcome.cancelled = info.status() == QWebEngineLoadingInfo::LoadStoppedStatus || isAbort(info);
            outcome.errorCode = info.errorCode();
            outcome.errorString = info.errorString();
            if (m_events.loadFinished)
                m_events.loadFinished(outcome.ok, outcome.cancelled);
            if (m_events.loadOutcome)
                m_events.loadOutcome(outcome);
        });
        connect(this, &QWebEngineView::urlChanged, this, [this](const QUrl &url) {
            if (m_events.urlChanged)
                m_events.urlChanged(url);
        });
        connect(this, &QWebEngineView::titleChanged, this, [this](const QString &title) {
            if (m_events.titleChanged)
                m_events.titleChanged(title);
        });
    }

    QWidget *widget() override { return this; }
    void setEvents(WebContentEvents events) override { m_events = std::move(events); }
    void load(const QUrl &url) override { QWebEngineView::load(url); }
    void reload(bool bypassCache) override
    {
        page()->triggerAction(bypassCache ? QWebEnginePage::ReloadAndBypassCache : QWebEnginePage::Reload);
    }
    void stop() override { QWebEngineView::stop(); }
    QUrl url() const override { return QWebEngineView::url(); }
    QString title() const override { return QWebEngineView::title(); }
    void setHtml(const QString &html, const QUrl &baseUrl) override { QWebEngineView::setHtml(html, baseUrl); }

private:
    WebContentEvents m_events;
};

} // namespace

extern "C" {

__attribute__((visibility("default"))) int tessaron_web_abi()
{
    return TESSARON_WEB_MODULE_ABI;
}

__attribute__((visibility("default"))) WebContent *tessaron_web_create(QWidget *parent)
{
    ensureSharedOpenGLContext();
    return new EngineContent(parent);
}
}
