#include "DarkAppearance.h"

#include <QApplication>
#include <QPalette>
#include <QStyleFactory>

namespace DarkAppearance {

void apply(QApplication &application)
{
    application.setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QPalette palette;
    const QColor window(0x1e, 0x1f, 0x22);
    const QColor base(0x17, 0x18, 0x1a);
    const QColor text(0xe6, 0xe6, 0xe6);
    const QColor disabledText(0x7a, 0x7a, 0x7a);
    const QColor highlight(0x3d, 0x7e, 0xff);
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
}

} // namespace DarkAppearance
