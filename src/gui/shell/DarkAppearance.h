#pragma once

class QApplication;

// The application's only appearance: Fusion with a dark palette.
namespace DarkAppearance {
void apply(QApplication &application);
}
