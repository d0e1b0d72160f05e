#pragma once

#include "common/Cancellation.h"

#include <QCoroSignal>
#include <QCoroTask>
#include <QFuture>
#include <QFutureWatcher>
#include <type_traits>

// The one way to await a QFuture: on the calling thread's event loop, giving
// its result. A future that ended with an exception rethrows it; one that was
// cancelled without a result (its promise went away, as when the thread meant
// to finish it has stopped) ends with CancelledError instead of a missing
// value, and so does a cancelled QFuture<void>.
template<typename T> QCoro::Task<T> futureResult(QFuture<T> future)
{
    if (!future.isFinished()) {
        QFutureWatcher<T> watcher;
        auto finished = qCoro(&watcher, &QFutureWatcherBase::finished);
        watcher.setFuture(future);
        co_await std::move(finished);
    }
    future.waitForFinished(); // rethrows a stored exception
    if constexpr (std::is_void_v<T>) {
        // Dropped work (a closed main-thread queue, a stopped executor) did
        // not happen: the caller must not go on as if it had.
        if (future.isCanceled())
            throw CancelledError();
        co_return;
    } else {
        if (future.isCanceled() && future.resultCount() == 0)
            throw CancelledError();
        co_return future.result();
    }
}
