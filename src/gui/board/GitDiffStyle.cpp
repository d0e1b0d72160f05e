#include "GitDiffStyle.h"

#include "shell/DarkAppearance.h"

namespace GitDiffStyle {

QColor addedTint()
{
    return QColor::fromRgbF(0.30f, 0.84f, 0.48f);
}

QColor removedTint()
{
    return QColor::fromRgbF(0.95f, 0.42f, 0.40f);
}

QColor infoTint()
{
    return QColor::fromRgbF(0.58f, 0.78f, 0.98f);
}

QColor textColor(std::optional<LineKind> kind)
{
    if (!kind)
        return withAlpha(Qt::white, 0.30);
    switch (*kind) {
    case LineKind::context:
        return withAlpha(Qt::white, 0.90);
    case LineKind::addition:
        return QColor::fromRgbF(0.84f, 0.99f, 0.87f);
    case LineKind::deletion:
        return QColor::fromRgbF(1.0f, 0.86f, 0.86f);
    case LineKind::note:
        return withAlpha(Qt::white, 0.74);
    }
    return Qt::white;
}

QColor markerColor(std::optional<LineKind> kind)
{
    if (!kind)
        return withAlpha(Qt::white, 0.24);
    switch (*kind) {
    case LineKind::context:
        return withAlpha(Qt::white, 0.30);
    case LineKind::addition:
        return addedTint();
    case LineKind::deletion:
        return removedTint();
    case LineKind::note:
        return withAlpha(Qt::white, 0.42);
    }
    return Qt::white;
}

QColor backgroundColor(std::optional<LineKind> kind)
{
    if (!kind)
        return Qt::transparent;
    switch (*kind) {
    case LineKind::context:
        return withAlpha(Qt::white, 0.02);
    case LineKind::addition:
        return withAlpha(QColor::fromRgbF(0.10f, 0.38f, 0.20f), 0.72);
    case LineKind::deletion:
        return withAlpha(QColor::fromRgbF(0.44f, 0.14f, 0.14f), 0.70);
    case LineKind::note:
        return withAlpha(Qt::white, 0.05);
    }
    return Qt::transparent;
}

QColor standardBlue()
{
    return QColor(0x0a, 0x84, 0xff);
}

QColor standardGreen()
{
    return QColor(0x30, 0xd1, 0x58);
}

QColor standardRed()
{
    return QColor(0xff, 0x45, 0x3a);
}

QColor standardOrange()
{
    return QColor(0xff, 0x9f, 0x0a);
}

// The shell's fonts take typographic points; a layout point is one pixel at
// 96 dots per inch, three quarters of a typographic point.
QFont interfaceFont(double points, QFont::Weight weight)
{
    return DarkAppearance::interfaceFont(points * 0.75, weight);
}

QFont codeFont(double points, QFont::Weight weight)
{
    // Diff text shows its characters as they are: no ligatures ("->" stays
    // two characters), which also spares the shaping work.
    QFont font = DarkAppearance::codeFont(points * 0.75, weight);
    font.setStyleStrategy(QFont::PreferNoShaping);
    return font;
}

} // namespace GitDiffStyle
