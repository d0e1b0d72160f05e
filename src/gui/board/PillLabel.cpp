#include "PillLabel.h"

#include "GitDiffStyle.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>

PillLabel::PillLabel(const QString &text, const QColor &tint, const Look &look, const QFont &font, QWidget *parent)
    : QLabel(text, parent), m_tint(tint), m_look(look)
{
    setFont(font);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QSizeF PillLabel::pillSize(const QString &text, const Look &look, const QFont &font)
{
    const QFontMetricsF metrics(font);
    return QSizeF(std::ceil(metrics.horizontalAdvance(text)) + 2 * look.horizontalInset,
        std::ceil(metrics.height()) + 2 * look.verticalInset);
}

void PillLabel::paint(
    QPainter &painter, const QRectF &rect, const QString &text, const QColor &tint, const Look &look, const QFont &font)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const double radius = rect.height() / 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(GitDiffStyle::withAlpha(tint, look.fillAlpha));
    painter.drawRoundedRect(rect, radius, radius);
    // A one-point border inside the edge.
    const QRectF inner = rect.adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(GitDiffStyle::withAlpha(tint, look.borderAlpha), 1));
    painter.drawRoundedRect(inner, inner.height() / 2, inner.height() / 2);
    painter.setFont(font);
    painter.setPen(GitDiffStyle::withAlpha(tint, look.textAlpha));
    painter.drawText(rect, Qt::AlignCenter, text);
    painter.restore();
}

QSize PillLabel::sizeHint() const
{
    return pillSize(text(), m_look, font()).toSize();
}

void PillLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    const QSizeF size = pillSize(text(), m_look, font());
    const QRectF rect(QPointF(0, (height() - size.height()) / 2), size);
    paint(painter, rect, text(), m_tint, m_look, font());
}
