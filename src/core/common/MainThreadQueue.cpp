#include "MainThreadQueue.h"

#include <QCoreApplication>
#include <QMutex>
#include <QObject>
#include <QPromise>
#include <QThread>

struct MainThreadQueue::Shared
{
    mutable QMutex mutex;
    QObject *context = nullptr; // lives on the main thread; null once closed
};

namespace {

QFuture<void> cancelledFuture()
{
    QPromise<void> promise;
    promise.start();
    return promise.future(); // cancelled and finished when the promise goes
}

} // namespace

MainThreadQueue::MainThreadQueue() : m_shared(std::make_shared<Shared>())
{
    m_shared->context = new QObject;
    if (QCoreApplication *application = QCoreApplication::instance())
        m_shared->context->moveToThread(application->thread());
}

MainThreadQueue::~MainThreadQueue()
{
    close();
}

QFuture<void> MainThreadQueue::run(std::function<void()> work) const
{
    QMutexLocker lock(&m_shared->mutex);
    QObject *context = m_shared->context;
    if (!context)
        return cancelledFuture();
    if (QThread::currentThread() == context->thread()) {
        lock.unlock();
        work();
        QPromise<void> done;
        done.start();
        done.finish();
        return done.future();
    }
    auto promise = std::make_shared<QPromise<void>>();
    QFuture<void> future = promise->future();
    promise->start();
    // Dropped with the context when the queue closes first: the promise then
    // goes unfinished and the future ends cancelled.
    QMetaObject::invokeMethod(
        context,
        [promise, work = std::move(work)] {
            work();
            promise->finish();
        },
        Qt::QueuedConnection);
    return future;
}

void MainThreadQueue::close()
{
    QObject *context = nullptr;
    {
        QMutexLocker lock(&m_shared->mutex);
        context = std::exchange(m_shared->context, nullptr);
    }
    if (!context)
        return;
    // Deleting the context discards the calls queued for it.
    if (QThread::currentThread() == context->thread())
        delete context;
    else
        context->deleteLater();
}

bool MainThreadQueue::isClosed() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->context == nullptr;
}
