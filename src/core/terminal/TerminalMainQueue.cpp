// The bridge's hand-over to the GUI thread, over the Qt event loop.
#include "tessaron_ghostty_bridge.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <QTimer>
#include <chrono>

extern "C" bool tessaron_ghostty_on_main_thread(void)
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

extern "C" void tessaron_ghostty_main_async(void (*work)(void *), void *argument)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        // No event loop to hand over to: the work still runs so it frees what it holds.
        work(argument);
        return;
    }
    QMetaObject::invokeMethod(
        app, [work, argument] { work(argument); }, Qt::QueuedConnection);
}

extern "C" void tessaron_ghostty_main_sync(void (*work)(void *), void *argument)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || tessaron_ghostty_on_main_thread()) {
        work(argument);
        return;
    }
    QMetaObject::invokeMethod(
        app, [work, argument] { work(argument); }, Qt::BlockingQueuedConnection);
}

extern "C" void tessaron_ghostty_main_after(unsigned delay_us, void (*work)(void *), void *argument)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        work(argument);
        return;
    }
    if (!tessaron_ghostty_on_main_thread()) {
        // Timers belong to the thread that starts them: hand the start over.
        QMetaObject::invokeMethod(
            app, [delay_us, work, argument] { tessaron_ghostty_main_after(delay_us, work, argument); },
            Qt::QueuedConnection);
        return;
    }
    // A precise timer: the coarse kind may stretch a short pause by 5%, and
    // rounds it to whole milliseconds anyway.
    QTimer::singleShot(std::chrono::milliseconds((delay_us + 999) / 1000), Qt::PreciseTimer, app,
        [work, argument] { work(argument); });
}
