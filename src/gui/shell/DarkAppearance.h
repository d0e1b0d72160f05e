#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QApplication;

// The application's only appearance: Fusion with a dark palette, Inter for the
// interface, JetBrains Mono for code, and one small style sheet kept here.
namespace DarkAppearance {

// Applies style, palette, interface font, style sheet and the icon theme.
void apply(QApplication &application);

// The interface font (Inter) at a point size; weight as given.
QFont interfaceFont(qreal pointSize, QFont::Weight weight = QFont::Normal);

// The code font (JetBrains Mono) for command text, diffs, logs and the terminal.
QFont codeFont(qreal pointSize, QFont::Weight weight = QFont::Normal);

// The one application style sheet.
QString styleSheet();

// Colours the views share.
QColor windowColor();
QColor baseColor();
QColor textColor();
QColor secondaryTextColor();
QColor accentColor();
QColor separatorColor();

// A colour at an opacity between 0 and 1.
QColor withAlpha(QColor color, double alpha);

} // namespace DarkAppearance
