#pragma once

#include <QWidget>

// One line of text shortened in the middle when it does not fit; text()
// stays the whole text, which is also the tooltip when shortened.
class ElidedLabel final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ElidedLabel)

public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString &text);
    void setColor(const QColor &color);
    // What is drawn at the current width.
    QString shownText() const;

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

private:
    void updateToolTip();

    QString m_text;
    QColor m_color;
};
