#include "Actor.h"

#include <QCoreApplication>

Actor::Actor(const QString &name) : m_thread(std::make_unique<QThread>()), m_scope(name)
{
    m_thread->setObjectName(name);
    m_context = new QObject;
    m_context->moveToThread(m_thread.get());
    m_thread->start();
}

bool Actor::shutdown(std::chrono::milliseconds limit)
{
    const bool ended = m_scope.shutdown(limit);
    {
        QMutexLocker lock(&m_postMutex);
        m_stopped = true;
    }
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
