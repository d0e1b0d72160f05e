#include "ProjectWebPage.h"

#include <QLoggingCategory>
#include <QTimer>
#include <QWidget>

Q_DECLARE_LOGGING_CATEGORY(lcWebEngine)

namespace {

const QUrl &blankURL()
{
    static const QUrl blank(QStringLiteral("about:blank"));
    return blank;
}

// The empty page and the engine's own internal pages are never reported.
bool isPageAddress(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && !url.isEmpty() && scheme != QLatin1String("about") && scheme != QLatin1String("data");
}

} // namespace

ProjectWebPage::ProjectWebPage(WebContent *content, std::chrono::milliseconds loadTimeout, QObject *parent)
    : QObject(parent), m_content(content), m_widget(content->widget()), m_loadTimeout(loadTimeout)
{
    WebContentEvents events;
    events.loadOutcome = [this](const WebLoadOutcome &outcome) { handleOutcome(outcome); };
    events.urlChanged = [this](const QUrl &url) {
        // A page that moves itself after it has loaded (an in-page link, a
        // script) shows another address than the one asked for.
        if (!isLoading() && isPageAddress(url))
            m_currentURL = url;
    };
    m_content->setEvents(std::move(events));
}

ProjectWebPage::~ProjectWebPage()
{
    if (m_widget) {
        m_content->setEvents({});
        delete m_widget.data();
    }
}

QWidget *ProjectWebPage::widget() const
{
    return m_widget.data();
}

void ProjectWebPage::load(const QUrl &url)
{
    if (!m_widget)
        return;
    m_currentURL = url;
    startTimer();
    m_content->load(url);
}

void ProjectWebPage::reloadFromOrigin()
{
    if (!m_widget)
        return;
    // While a load asked for here has not committed, the engine's reload
    // would reload the previous page: load the address asked for afresh.
    if (isLoading() && isPageAddress(m_currentURL)) {
        load(m_currentURL);
        return;
    }
    startTimer();
    m_content->reload(true);
}

void ProjectWebPage::stopLoading()
{
    finishTimer();
    if (m_widget)
        m_content->stop();
}

void ProjectWebPage::loadBlank()
{
    finishTimer();
    m_currentURL = blankURL();
    if (m_widget)
        m_content->setHtml(QString(), QUrl());
}

void ProjectWebPage::tearDown()
{
    stopLoading();
    clearNavigationDelegate();
    loadBlank();
}

void ProjectWebPage::startTimer()
{
    // Each load has its own timer: a newer load replaces the older one's.
    finishTimer();
    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    connect(m_timer, &QTimer::timeout, this, &ProjectWebPage::handleTimeout);
    m_timer->start(m_loadTimeout);
}

void ProjectWebPage::finishTimer()
{
    if (!m_timer)
        return;
    // Possibly called from the timer's own signal.
    m_timer->stop();
    m_timer->deleteLater();
    m_timer = nullptr;
}

void ProjectWebPage::handleOutcome(const WebLoadOutcome &outcome)
{
    qCDebug(lcWebEngine).noquote() << "navigation ended:" << outcome.url.toString() << "ok" << outcome.ok << "cancelled"
                                   << outcome.cancelled << "error" << outcome.errorCode;
    if (outcome.ok) {
        if (!isPageAddress(outcome.url))
            return;
        finishTimer();
        m_currentURL = outcome.url;
        // The delegate may be replaced while it runs.
        if (const auto didFinish = m_delegate.didFinish)
            didFinish(outcome.url);
        return;
    }
    // Stopped, or dropped for a newer navigation: the newer one (or the
    // time-out) decides how the page ends.
    if (outcome.cancelled)
        return;
    // The failure of an older navigation that a newer request replaced.
    if (isLoading()
        && outcome.url.adjusted(QUrl::StripTrailingSlash) != m_currentURL.adjusted(QUrl::StripTrailingSlash))
        return;
    qCInfo(lcWebEngine).noquote() << "preview load failed:" << outcome.url.toString() << outcome.errorCode
                                  << outcome.errorString;
    finishTimer();
    if (const auto didFail = m_delegate.didFail)
        didFail();
}

void ProjectWebPage::handleTimeout()
{
    qCInfo(lcWebEngine).noquote() << "preview load timed out:" << m_currentURL.toString();
    finishTimer();
    if (m_widget)
        m_content->stop();
    if (const auto didFail = m_delegate.didFail)
        didFail();
}
