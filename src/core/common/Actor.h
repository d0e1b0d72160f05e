#pragma once

#include "common/CoroutineScope.h"

#include <QCoroTask>
#include <QFuture>
#include <QMetaObject>
#include <QMutex>
#include <QObject>
#include <QPromise>
#include <QString>
#include <QThread>
#include <chrono>
#include <exception>
#include <memory>
#include <type_traits>

// A serial executor: one thread with its own event loop on which the actor's
// operations run one at a time. An operation written as a coroutine gives the
// thread up at each co_await, so several runs interleave there.
//
// Other threads reach it through call(), which posts the operation and returns
// a QFuture; a main-thread coroutine co_awaits that future and resumes on the
// main thread.
class Actor
{
public:
    explicit Actor(const QString &name);
    // Stops the event loop and joins the thread. Coroutines still suspended
    // then never resume: an owner with runs of its own calls shutdown() first.
    ~Actor();
    Actor(const Actor &) = delete;
    Actor &operator=(const Actor &) = delete;

    QThread *thread() const { return m_thread.get(); }
    // An object living on the actor's thread, usable as a context for
    // connections, timers and invokeMethod.
    QObject *context() const { return m_context; }
    bool isCurrent() const { return QThread::currentThread() == m_thread.get(); }

    // Runs `operation` on the actor's thread. The operation may return a plain
    // value, void, or a QCoro::Task<T> (a coroutine lambda with captures is
    // fine: it is kept alive until its run ends); the future carries T. An exception
    // thrown by the operation ends the future with that exception. After
    // shutdown() the operation is dropped and the future ends cancelled.
    template<typename F> auto call(F &&operation);

    // Starts a detached coroutine on the actor's thread, counted until it
    // ends (see shutdown()); an error escaping it is logged. `make` calls the
    // coroutine (`[&] { return run(...); }`), so it is counted before it
    // starts. Call it on the actor's thread.
    template<typename Make> void spawn(Make &&make) { m_scope.spawnWith(std::forward<Make>(make)); }
    // For the owner's destructor, on another thread: cancels the token of the
    // actor's coroutines, waits (at most `limit`) until every coroutine
    // started by call() or spawn() has ended, then stops the thread. The
    // owner first releases whatever those coroutines wait for on its own
    // thread (see MainThreadPublisher::close()). Returns whether all ended.
    // A second call returns at once.
    bool shutdown(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Cancelled once shutdown() begins.
    const CancellationToken &shutdownToken() const { return m_scope.cancellation(); }

private:
    template<typename T>
    static QCoro::Task<> drive(
        QCoro::Task<T> task, std::shared_ptr<QPromise<T>> promise, std::shared_ptr<void> keepAlive);

    std::unique_ptr<QThread> m_thread;
    QObject *m_context = nullptr;
    CoroutineScope m_scope;
    QMutex m_postMutex; // orders call() against the end of the thread
    bool m_stopped = false; // under m_postMutex
};

namespace ActorDetail {
template<typename T> struct TaskValue
{
    using type = void;
    static constexpr bool isTask = false;
};
template<typename T> struct TaskValue<QCoro::Task<T>>
{
    using type = T;
    static constexpr bool isTask = true;
};
} // namespace ActorDetail

template<typename T>
QCoro::Task<> Actor::drive(QCoro::Task<T> task, std::shared_ptr<QPromise<T>> promise, std::shared_ptr<void> keepAlive)
{
    // keepAlive holds the operation object: a coroutine lambda's captures
    // live in it, not in the coroutine frame, so it must outlive the run.
    Q_UNUSED(keepAlive);
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
        } else {
            promise->addResult(co_await std::move(task));
        }
    } catch (...) {
        promise->setException(std::current_exception());
    }
    promise->finish();
}

template<typename F> auto Actor::call(F &&operation)
{
    using Returned = std::invoke_result_t<std::decay_t<F>>;
    using Traits = ActorDetail::TaskValue<Returned>;
    using T = std::conditional_t<Traits::isTask, typename Traits::type, Returned>;

    auto promise = std::make_shared<QPromise<T>>();
    QFuture<T> future = promise->future();
    promise->start();
    QMutexLocker lock(&m_postMutex);
    if (m_stopped)
        return future; // the promise goes unfinished: cancelled
    QMetaObject::invokeMethod(
        m_context,
        [this, promise, op = std::make_shared<std::decay_t<F>>(std::forward<F>(operation))]() mutable {
            if constexpr (Traits::isTask) {
                std::shared_ptr<void> held = m_scope.hold(); // counted before it starts
                QCoro::Task<T> task;
                try {
                    task = (*op)();
                } catch (...) {
                    promise->setException(std::current_exception());
                    promise->finish();
                    return;
                }
                m_scope.spawn(drive<T>(std::move(task), promise, op), std::move(held));
            } else {
                try {
                    if constexpr (std::is_void_v<T>) {
                        (*op)();
                    } else {
                        promise->addResult((*op)());
                    }
                } catch (...) {
                    promise->setException(std::current_exception());
                }
                promise->finish();
            }
        },
        Qt::QueuedConnection);
    return future;
}
