#pragma once

#include <QRect>
#include <QRectF>
#include <QString>
#include <functional>
#include <optional>

class QWidget;

// How the main window is sized and titled at launch.
namespace WindowSetup {

// The title every window carries: one space, so no title shows.
inline const QString windowTitle = QStringLiteral(" ");

// 90% of the screen's usable area, centred in it; computed in doubles.
QRectF initialFrame(const QRectF &visibleFrame);
// The same, rounded once to whole pixels.
QRect initialFrameInPixels(const QRectF &visibleFrame);
// Sizes and centres `window` on its screen (else the primary screen);
// without any screen the window keeps its size.
void enlargeInitialWindow(QWidget &window);

} // namespace WindowSetup

// The gate in front of the "Left Sidebar" command: a command within 0.06 s
// of the last one carried out is dropped. One gate for the process, timed by
// a monotonic clock.
class SidebarToggleGate final
{
public:
    static constexpr qint64 minimumGapNanoseconds = 60'000'000;

    static SidebarToggleGate &shared();

    // True when the command goes on; then the time is recorded.
    bool shouldToggle();

    // The monotonic clock in nanoseconds; tests replace it.
    std::function<qint64()> monotonicNanoseconds;

private:
    SidebarToggleGate();
    std::optional<qint64> m_lastToggleAt; // none: the distant past
};
