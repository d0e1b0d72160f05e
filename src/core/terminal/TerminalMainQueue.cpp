// The bridge's hand-over to the GUI thread, over the Qt event loop.
#include "tessaron_ghostty_bridge.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

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
