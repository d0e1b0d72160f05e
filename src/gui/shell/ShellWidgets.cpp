#include "ShellWidgets.h"

#include "DarkAppearance.h"

#include <QPainter>
#include <QPainterPath>

PageBackdrop::PageBackdrop(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QLinearGradient PageBackdrop::gradient(const QRectF &area)
{
    QLinearGradient gradient(area.topLeft(), area.bottomRight());
    gradient.setColorAt(0, QColor::fromRgbF(0.1f, 0.05f, 0.2f));
    gradient.setColorAt(1, QColor::fromRgbF(0.03f, 0.02f, 0.1f));
    return gradient;
}

QLinearGradient PageBackdrop::cliPanelBackgroundGradient(const QRectF &area)
{
    QLinearGradient gradient(area.topLeft(), area.bottomRight());
    gradient.setColorAt(0, QColor::fromRgbF(0.03f, 0.02f, 0.10f, 0.96f));
    gradient.setColorAt(0.5, QColor::fromRgbF(0.08f, 0.05f, 0.20f, 0.86f));
    gradient.setColorAt(1, QColor::fromRgbF(0.21f, 0.12f, 0.42f, 0.66f));
    return gradient;
}

void PageBackdrop::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), gradient(rect()));
}

VirtualTitlebarStrip::VirtualTitlebarStrip(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("virtualTitlebarStrip"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFixedHeight(height);
}

PlaceholderView::PlaceholderView(const QString &objectName, const QString &title, QWidget *parent)
    : QWidget(parent), m_title(title)
{
    setObjectName(objectName);
    setMinimumSize(120, 80);
}

void PlaceholderView::setTitle(const QString &title)
{
    m_title = title;
    update();
}

void PlaceholderView::setDetail(const QString &detail)
{
    m_detail = detail;
    update();
}

void PlaceholderView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(rect()).adjusted(6.5, 6.5, -6.5, -6.5);
    QPainterPath path;
    path.addRoundedRect(card, 12, 12);
    painter.fillPath(path, QColor(255, 255, 255, 10));
    painter.setPen(QPen(QColor(255, 255, 255, 38), 1, Qt::DashLine));
    painter.drawPath(path);
    painter.setPen(QColor(255, 255, 255, 200));
    painter.setFont(DarkAppearance::interfaceFont(12, QFont::DemiBold));
    const QRectF text = card.adjusted(16, 12, -16, -12);
    painter.drawText(text, Qt::AlignHCenter | Qt::AlignVCenter | Qt::TextWordWrap,
        m_detail.isEmpty() ? m_title : m_title + QStringLiteral("\n") + m_detail);
}

void PageBackdrop::paintCLIInsetBox(QPainter &painter, const QRectF &area)
{
    using DarkAppearance::withAlpha;
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF box = area.adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(box, 8, 8);
    painter.fillPath(shape, cliPanelBackgroundGradient(box));
    painter.setPen(QPen(withAlpha(Qt::white, 0.14), 1));
    painter.drawPath(shape);
    QLinearGradient edge(box.topLeft(), box.bottomRight());
    edge.setColorAt(0, withAlpha(Qt::white, 0.16));
    edge.setColorAt(0.5, Qt::transparent);
    edge.setColorAt(1, withAlpha(Qt::black, 0.25));
    painter.setPen(QPen(QBrush(edge), 1));
    painter.drawRoundedRect(box.adjusted(1, 1, -1, -1), 7, 7);
    painter.fillRect(QRectF(box.left() + 2, box.bottom() - 1, box.width() - 4, 1), withAlpha(Qt::white, 0.2));
}
