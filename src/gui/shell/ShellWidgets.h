#pragma once

#include <QLinearGradient>
#include <QPainter>
#include <QWidget>

// The page backdrop: the dark violet gradient behind the sidebar, every page
// of the detail column and the empty state.
class PageBackdrop : public QWidget
{
    Q_OBJECT

public:
    explicit PageBackdrop(QWidget *parent = nullptr);
    static QLinearGradient gradient(const QRectF &area);
    // The gradient behind the command history sheet and the terminal panels.
    static QLinearGradient cliPanelBackgroundGradient(const QRectF &area);
    // The rounded box on that gradient with its lit and shaded edges: the
    // command line's output and input, a terminal pane.
    static void paintCLIInsetBox(QPainter &painter, const QRectF &area);

protected:
    void paintEvent(QPaintEvent *event) override;
};

// A transparent band as high as the hidden title bar, laid over the top edge
// of the window; clicks go through it.
class VirtualTitlebarStrip final : public QWidget
{
    Q_OBJECT

public:
    static constexpr int height = 34;
    explicit VirtualTitlebarStrip(QWidget *parent = nullptr);
};

// A named stand-in for a view another part of the application provides.
class PlaceholderView final : public QWidget
{
    Q_OBJECT

public:
    PlaceholderView(const QString &objectName, const QString &title, QWidget *parent = nullptr);
    void setTitle(const QString &title);
    void setDetail(const QString &detail);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_title;
    QString m_detail;
};
