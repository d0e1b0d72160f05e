#pragma once

#include <QFuture>
#include <QObject>
#include <QPointer>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <type_traits>
#include <utility>

// Background work on the global pool with the result handed back to the
// thread of a context object (usually the main thread).
namespace Background {

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
