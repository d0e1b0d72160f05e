#pragma once

#include "board/ParsedGitDiff.h"
#include "shell/DarkAppearance.h"

#include <QColor>
#include <QFont>
#include <optional>

// Colours and type of the diff viewer and the task's git diff section.
// Sizes are in the layout's points, one point being one device-independent
// pixel.
namespace GitDiffStyle {

using LineKind = ParsedGitDiff::RawLine::Kind;

QColor addedTint(); // sRGB 0.30, 0.84, 0.48
QColor removedTint(); // sRGB 0.95, 0.42, 0.40
QColor infoTint(); // sRGB 0.58, 0.78, 0.98

using DarkAppearance::withAlpha;

// By the kind of a cell's line; nothing stands for a missing half.
QColor textColor(std::optional<LineKind> kind);
QColor markerColor(std::optional<LineKind> kind);
QColor backgroundColor(std::optional<LineKind> kind);

// The standard colours of the section's pills, made for a dark background.
QColor standardBlue();
QColor standardGreen();
QColor standardRed();
QColor standardOrange();

// Fonts by size in points.
QFont interfaceFont(double points, QFont::Weight weight = QFont::Normal);
QFont codeFont(double points, QFont::Weight weight = QFont::Normal);

// Text styles of the views.
constexpr double kTitle2 = 17;
constexpr double kTitle3 = 15;
constexpr double kHeadline = 13;
constexpr double kCallout = 12;
constexpr double kCaption = 11;
constexpr double kCaption2 = 10.5;

} // namespace GitDiffStyle
