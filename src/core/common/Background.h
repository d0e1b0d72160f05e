#pragma once

#include <QCoreApplication>
#include <QFuture>
#include <QObject>
#include <QPointer>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <type_traits>
#include <utility>

// Background work with the result handed back to the thread of a context
// object (usually the main thread). Short jobs share the global pool; a job
// that waits on child processes goes to the pool for blocking work.
namespace Background {

// Threads for jobs that wait on child processes (agent-tool calls, health
// checks, git captures, login-shell probes). Such a job may block for minutes
// until its child ends or is stopped, so it gets a thread of its own here and
// never holds one of the global pool's few threads. Quitting waits for the
// jobs still running, as it does for the global pool: when the application
// object goes, while everything those jobs use still exists (waiting only
// in the pool's own destructor at exit came after the jobs' own statics
// were gone).
inline QThreadPool *blockingPool()
{
    static QThreadPool pool;
    static const bool configured = [] {
        pool.setObjectName(QStringLiteral("tessaron.blocking"));
        pool.setMaxThreadCount(64);
        qAddPostRoutine([] { blockingPool()->waitForDone(); });
        return true;
    }();
    Q_UNUSED(configured);
    return &pool;
}

// Runs `job`, which may block on a child process for long, on the blocking
// pool; co_await the future through futureResult().
template<typename F> auto runBlocking(F &&job)
{
    return QtConcurrent::run(blockingPool(), std::forward<F>(job));
}

// Runs `job` on the global thread pool; co_await the future from a coroutine
// to resume on the awaiting thread.
template<typename F> auto run(F &&job)
{
    return QtConcurrent::run(QThreadPool::globalInstance(), std::forward<F>(job));
}

// Runs `job` in the background, then `done(result)` on `context`'s thread.
// Nothing is delivered when the context has gone away in the meantime.
template<typename F, typename Done> void run(F &&job, QObject *context, Done &&done)
{
    using R = std::invoke_result_t<std::decay_t<F>>;
    QPointer<QObject> guard(context);
    auto future = QtConcurrent::run(QThreadPool::globalInstance(), std::forward<F>(job));
    if constexpr (std::is_void_v<R>) {
        future.then(context, [guard, done = std::forward<Done>(done)]() mutable {
            if (guard)
                done();
        });
    } else {
        future.then(context, [guard, done = std::forward<Done>(done)](R result) mutable {
            if (guard)
                done(std::move(result));
        });
    }
}

} // namespace Background
