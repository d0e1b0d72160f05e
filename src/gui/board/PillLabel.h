#pragma once

#include <QColor>
#include <QLabel>

// A short text on a capsule filled and outlined in one tint: the totals
// chips, the column labels and the section's pills.
class PillLabel final : public QLabel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PillLabel)

public:
    struct Look
    {
        double textAlpha = 0.98;
        double fillAlpha = 0.18;
        double borderAlpha = 0.46;
        int horizontalInset = 8;
        int verticalInset = 4;
    };

    PillLabel(const QString &text, const QColor &tint, const Look &look, const QFont &font, QWidget *parent = nullptr);

    QColor tint() const { return m_tint; }

    // Paints a pill into `rect` (sized by pillSize) without a widget.
    static void paint(QPainter &painter, const QRectF &rect, const QString &text, const QColor &tint, const Look &look,
        const QFont &font);
    static QSizeF pillSize(const QString &text, const Look &look, const QFont &font);

protected:
    void paintEvent(QPaintEvent *event) override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

private:
    QColor m_tint;
    Look m_look;
};
