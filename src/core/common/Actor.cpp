#include "Actor.h"

Actor::Actor(const QString &name) : m_thread(std::make_unique<QThread>())
{
    m_thread->setObjectName(name);
    m_context = new QObject;
    m_context->moveToThread(m_thread.get());
    m_thread->start();
}

Actor::~Actor()
{
    m_thread->quit();
    m_thread->wait();
    // The thread has ended, so nothing runs on the context any more.
    delete m_context;
}
