#include "MainThreadPublisher.h"

#include <QCoreApplication>
#include <QPromise>
#include <QThread>
#include <memory>

namespace MainThreadPublisher {

QFuture<void> publish(BLEventBus &bus, QList<BL_Event> events)
{
    auto promise = std::make_shared<QPromise<void>>();
    QFuture<void> future = promise->future();
    promise->start();
    QCoreApplication *application = QCoreApplication::instance();
    if (!application) {
        promise->finish();
        return future;
    }
    auto deliver = [&bus, promise, events = std::move(events)] {
        for (const BL_Event &event : events)
            bus.send(event);
        promise->finish();
    };
    if (QThread::currentThread() == application->thread())
        deliver();
    else
        QMetaObject::invokeMethod(application, std::move(deliver), Qt::QueuedConnection);
    return future;
}

} // namespace MainThreadPublisher
