#include "Actor.h"

#include "common/Logging.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QSemaphore>
#include <algorithm>

Actor::Actor(const QString &name) : m_thread(std::make_unique<QThread>()), m_scope(name)
{
    m_thread->setObjectName(name);
    m_context = new QObject;
    m_context->moveToThread(m_thread.get());
    m_thread->start();
}

bool Actor::shutdown(std::chrono::milliseconds limit)
{
    const QDeadlineTimer deadline(limit);
    m_scope.cancellation().cancel();
    {
        QMutexLocker lock(&m_postMutex);
        if (m_stopped) // shut down before: the thread has ended
            return m_scope.runningCount() == 0;
        m_stopped = true; // calls from now on end cancelled at once
    }
    // The calls posted before run first (they may start coroutines), then
    // every coroutine is waited for.
    auto drained = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(
        m_context, [drained] { drained->release(); }, Qt::QueuedConnection);
    const bool ran = drained->tryAcquire(1, int(std::max<qint64>(0, deadline.remainingTime())));
    const bool ended = m_scope.shutdown(std::chrono::milliseconds(std::max<qint64>(0, deadline.remainingTime())));
    if (!ran)
        qCWarning(lcAsync) << m_thread->objectName() << "did not get through its queued calls in time";
    m_thread->quit();
    m_thread->wait();
    // Calls posted before the stop and never run go with their events: their
    // futures end cancelled.
    QCoreApplication::removePostedEvents(m_context);
    return ended;
}

Actor::~Actor()
{
    m_thread->quit();
    m_thread->wait();
    // The thread has ended, so nothing runs on the context any more.
    delete m_context;
}
