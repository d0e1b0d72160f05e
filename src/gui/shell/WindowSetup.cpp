#include "WindowSetup.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace WindowSetup {

QRectF initialFrame(const QRectF &visibleFrame)
{
    const double width = 0.9 * visibleFrame.width();
    const double height = 0.9 * visibleFrame.height();
    return QRectF(visibleFrame.x() + (visibleFrame.width() - width) * 0.5,
        visibleFrame.y() + (visibleFrame.height() - height) * 0.5, width, height);
}

QRect initialFrameInPixels(const QRectF &visibleFrame)
{
    const QRectF frame = initialFrame(visibleFrame);
    const int left = qRound(frame.left());
    const int top = qRound(frame.top());
    return QRect(left, top, qRound(frame.right()) - left, qRound(frame.bottom()) - top);
}

void enlargeInitialWindow(QWidget &window)
{
    QScreen *screen = window.screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    // The frame includes the window manager's decorations where there are any.
    const QRect frame = initialFrameInPixels(screen->availableGeometry());
    const QRect decorated = window.frameGeometry();
    const QRect inner = window.geometry();
    const QMargins decorations(inner.left() - decorated.left(), inner.top() - decorated.top(),
        decorated.right() - inner.right(), decorated.bottom() - inner.bottom());
    window.setGeometry(frame.marginsRemoved(decorations));
}

} // namespace WindowSetup

SidebarToggleGate &SidebarToggleGate::shared()
{
    static SidebarToggleGate gate;
    return gate;
}

SidebarToggleGate::SidebarToggleGate()
{
    monotonicNanoseconds = [] {
        static QElapsedTimer clock = [] {
            QElapsedTimer timer;
            timer.start();
            return timer;
        }();
        return clock.nsecsElapsed();
    };
}

bool SidebarToggleGate::shouldToggle()
{
    const qint64 now = monotonicNanoseconds();
    if (m_lastToggleAt && now - *m_lastToggleAt <= minimumGapNanoseconds)
        return false;
    m_lastToggleAt = now;
    return true;
}
