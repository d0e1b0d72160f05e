#include "HostingViews.h"

#include "DarkAppearance.h"
#include "ShellWidgets.h"
#include "SymbolIcons.h"
#include "browser/WebContent.h"
#include "browser/WebEngineModule.h"

#include <QChildEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QVBoxLayout>

// ---- NoProjectsView ----

namespace {

// The card of the empty state: white at 5% with a 15% outline.
class EmptyStateCard final : public QWidget
{
public:
    explicit EmptyStateCard(QWidget *parent) : QWidget(parent) { setObjectName(QStringLiteral("noProjectsCard")); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setBrush(QColor(255, 255, 255, int(0.05 * 255)));
        painter.setPen(QPen(QColor(255, 255, 255, int(0.15 * 255)), 1));
        painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 14, 14);
    }
};

// The folder symbol painted with the violet-to-blue gradient.
QPixmap gradientSymbol(const QString &name, int size)
{
    const qreal ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
    QPixmap mask = SymbolIcons::icon(name).pixmap(QSize(size, size), ratio);
    QPixmap result(mask.size());
    result.setDevicePixelRatio(mask.devicePixelRatio());
    result.fill(Qt::transparent);
    QPainter painter(&result);
    painter.drawPixmap(0, 0, mask);
    painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
    QLinearGradient gradient(0, 0, size, size);
    gradient.setColorAt(0, QColor::fromRgbF(0.72f, 0.58f, 0.98f));
    gradient.setColorAt(1, QColor::fromRgbF(0.46f, 0.74f, 1.0f));
    painter.fillRect(QRect(0, 0, size, size), gradient);
    return result;
}

} // namespace

NoProjectsView::NoProjectsView(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("noProjectsView"));
    auto *outer = new QVBoxLayout(this);
    outer->setAlignment(Qt::AlignCenter);
    auto *card = new EmptyStateCard(this);
    auto *column = new QVBoxLayout(card);
    column->setContentsMargins(24, 22, 24, 22);
    column->setSpacing(12);
    column->setAlignment(Qt::AlignHCenter);
    auto *symbol = new QLabel(card);
    symbol->setObjectName(QStringLiteral("noProjectsSymbol"));
    symbol->setProperty("symbolName", QStringLiteral("folder.badge.plus"));
    symbol->setPixmap(gradientSymbol(QStringLiteral("folder.badge.plus"), 40));
    symbol->setAlignment(Qt::AlignCenter);
    column->addWidget(symbol, 0, Qt::AlignHCenter);
    auto *title = new QLabel(QStringLiteral("No Workspaces Yet"), card);
    title->setObjectName(QStringLiteral("noProjectsTitle"));
    title->setFont(DarkAppearance::interfaceFont(15, QFont::DemiBold));
    title->setStyleSheet(QStringLiteral("color: white;"));
    title->setAlignment(Qt::AlignCenter);
    column->addWidget(title, 0, Qt::AlignHCenter);
    auto *hint = new QLabel(QStringLiteral("Use the sidebar actions to initialize a new workspace."), card);
    hint->setObjectName(QStringLiteral("noProjectsHint"));
    hint->setFont(DarkAppearance::interfaceFont(11));
    hint->setStyleSheet(QStringLiteral("color: rgba(255,255,255,179);"));
    hint->setAlignment(Qt::AlignCenter);
    hint->setWordWrap(true);
    // One line up to 440 points, wrapped beyond that.
    hint->setFixedWidth(std::min(440, hint->fontMetrics().horizontalAdvance(hint->text()) + 4));
    column->addWidget(hint, 0, Qt::AlignHCenter);
    outer->addWidget(card, 0, Qt::AlignCenter);
}

NoProjectsView::~NoProjectsView() = default;

void NoProjectsView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), PageBackdrop::gradient(rect()));
}

// ---- SimpleWebView ----

SimpleWebView::SimpleWebView(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("simpleWebView"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_timeout = new QTimer(this);
    m_timeout->setSingleShot(true);
    connect(m_timeout, &QTimer::timeout, this, [this] {
        // A load that has not finished in time is stopped.
        if (m_content && m_loading)
            m_content->stop();
    });
}

SimpleWebView::~SimpleWebView()
{
    if (m_content)
        m_content->setEvents({});
}

bool SimpleWebView::ensureContent()
{
    if (m_content)
        return true;
    if (!m_engineError.isEmpty())
        return false;
    m_content = WebEngineModule::createContent(this, &m_engineError);
    if (!m_content) {
        if (m_engineError.isEmpty())
            m_engineError = QStringLiteral("The web view could not be created.");
        return false;
    }
    m_contentWidget = m_content->widget();
    m_contentWidget->setObjectName(QStringLiteral("simpleWebViewContent"));
    layout()->addWidget(m_contentWidget);
    WebContentEvents events;
    events.loadStarted = [this] { m_loading = true; };
    events.loadFinished = [this](bool ok, bool) {
        m_loading = false;
        m_timeout->stop();
        emit loadFinished(ok);
    };
    m_content->setEvents(std::move(events));
    return true;
}

QUrl SimpleWebView::currentUrl() const
{
    return m_content && m_contentWidget ? m_content->url() : QUrl();
}

void SimpleWebView::setUrlString(const QString &urlString)
{
    m_urlString = urlString;
    const QUrl url(urlString, QUrl::StrictMode);
    if (urlString.isEmpty() || !url.isValid() || url.scheme().isEmpty())
        return; // the view keeps what it shows
    if (!ensureContent())
        return;
    const QUrl current = m_content->url();
    if (!current.isEmpty() && current == url)
        return;
    ++m_loadsStarted;
    m_loading = true;
    m_content->load(url);
    m_timeout->start(m_loadTimeoutMs);
}

// ---- MiddleClickContainer ----

MiddleClickContainer::MiddleClickContainer(QWidget *content, std::function<void()> onMiddleClick, QWidget *parent)
    : QWidget(parent), m_onMiddleClick(std::move(onMiddleClick))
{
    setObjectName(QStringLiteral("middleClickContainer"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    setContent(content);
}

MiddleClickContainer::~MiddleClickContainer() = default;

void MiddleClickContainer::setContent(QWidget *content)
{
    if (m_content == content)
        return;
    if (m_content) {
        layout()->removeWidget(m_content);
        m_content->deleteLater();
    }
    m_content = content;
    if (content) {
        content->setParent(this);
        layout()->addWidget(content);
        watch(content);
    }
}

void MiddleClickContainer::watch(QWidget *widget)
{
    widget->installEventFilter(this);
    for (QWidget *child : widget->findChildren<QWidget *>())
        child->installEventFilter(this);
}

bool MiddleClickContainer::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ChildAdded) {
        if (auto *child = qobject_cast<QWidget *>(static_cast<QChildEvent *>(event)->child()))
            watch(child);
        return false;
    }
    if (auto *widget = qobject_cast<QWidget *>(watched))
        return handle(event, widget);
    return false;
}

bool MiddleClickContainer::handle(QEvent *event, QWidget *source)
{
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease && type != QEvent::MouseButtonDblClick)
        return false;
    auto *mouse = static_cast<QMouseEvent *>(event);
    if (mouse->button() != Qt::MiddleButton)
        return false;
    if (type == QEvent::MouseButtonPress || type == QEvent::MouseButtonDblClick) {
        m_middlePressed = true;
        return true;
    }
    // Released: a click only when the button comes up over the container.
    const bool wasPressed = m_middlePressed;
    m_middlePressed = false;
    const QPoint inside = source->mapTo(this, mouse->position().toPoint());
    if (wasPressed && rect().contains(inside) && m_onMiddleClick)
        m_onMiddleClick();
    return true;
}
