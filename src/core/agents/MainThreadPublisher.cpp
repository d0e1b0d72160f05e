#include "MainThreadPublisher.h"

#include <QCoreApplication>
#include <QObject>
#include <QPromise>
#include <QThread>
#include <memory>

MainThreadPublisher::MainThreadPublisher(BLEventBus &bus) : m_bus(bus), m_context(new QObject)
{
    if (QCoreApplication *application = QCoreApplication::instance())
        m_context->moveToThread(application->thread());
}

MainThreadPublisher::~MainThreadPublisher()
{
    // Deleting the context discards the publications queued for it.
    if (QThread::currentThread() == m_context->thread())
        delete m_context;
    else
        m_context->deleteLater();
}

QFuture<void> MainThreadPublisher::publish(QList<BL_Event> events) const
{
    auto promise = std::make_shared<QPromise<void>>();
    QFuture<void> future = promise->future();
    promise->start();
    BLEventBus *bus = &m_bus;
    auto deliver = [bus, promise, events = std::move(events)] {
        for (const BL_Event &event : events)
            bus->send(event);
        promise->finish();
    };
    if (QThread::currentThread() == m_context->thread())
        deliver();
    else
        QMetaObject::invokeMethod(m_context, std::move(deliver), Qt::QueuedConnection);
    return future;
}

void MainThreadPublisher::runOnMainThread(std::function<void()> work) const
{
    if (QThread::currentThread() == m_context->thread())
        work();
    else
        QMetaObject::invokeMethod(m_context, std::move(work), Qt::QueuedConnection);
}
