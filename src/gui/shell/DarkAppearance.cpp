#include "DarkAppearance.h"

#include "SymbolIcons.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

namespace DarkAppearance {

QColor windowColor()
{
    return QColor(0x1e, 0x1f, 0x22);
}
QColor baseColor()
{
    return QColor(0x17, 0x18, 0x1a);
}
QColor textColor()
{
    return QColor(0xe6, 0xe6, 0xe6);
}
QColor secondaryTextColor()
{
    return QColor(0x9a, 0x9c, 0xa1);
}
QColor withAlpha(QColor color, double alpha)
{
    color.setAlphaF(float(alpha));
    return color;
}

QColor accentColor()
{
    return QColor(0x3d, 0x7e, 0xff);
}
QColor separatorColor()
{
    return QColor(0x34, 0x36, 0x3b);
}

QFont interfaceFont(qreal pointSize, QFont::Weight weight)
{
    QFont font(QStringLiteral("Inter"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    font.setWeight(weight);
    return font;
}

QFont codeFont(qreal pointSize, QFont::Weight weight)
{
    QFont font(QStringLiteral("JetBrains Mono"));
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    font.setPointSizeF(pointSize);
    font.setWeight(weight);
    return font;
}

QString styleSheet()
{
    return QStringLiteral("QToolTip { color: #e6e6e6; background-color: #17181a; border: 1px solid #34363b; }"
                          "QSplitter::handle { background-color: #34363b; }"
                          "QScrollBar:vertical { background: transparent; width: 10px; margin: 0; }"
                          "QScrollBar::handle:vertical { background: #4a4d53; border-radius: 4px; min-height: 24px; }"
                          "QScrollBar:horizontal { background: transparent; height: 10px; margin: 0; }"
                          "QScrollBar::handle:horizontal { background: #4a4d53; border-radius: 4px; min-width: 24px; }"
                          "QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; }");
}

void apply(QApplication &application)
{
    application.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette palette;
    const QColor window = windowColor();
    const QColor base = baseColor();
    const QColor text = textColor();
    const QColor disabledText(0x7a, 0x7a, 0x7a);
    const QColor highlight = accentColor();
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::ToolTipBase, base);
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(0x2b, 0x2d, 0x31));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::BrightText, Qt::red);
    palette.setColor(QPalette::Link, highlight);
    palette.setColor(QPalette::Highlight, highlight);
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::PlaceholderText, disabledText);
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, disabledText);
    application.setPalette(palette);
    application.setFont(interfaceFont(10));
    application.setStyleSheet(styleSheet());
    SymbolIcons::registerTheme();
}

} // namespace DarkAppearance
