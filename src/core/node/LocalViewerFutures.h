#pragma once

#include <QFuture>
#include <memory>

// Waiting on a handler's future across threads. Each helper attaches one
// continuation and chains nothing to it, so nothing is ever attached to a
// future that another thread is finishing through a continuation of its own
// (such chains, attached from one thread while another finishes them, have
// crashed).
namespace LocalViewerFutures {

// Calls `done` once: with the future's value on the thread that finishes
// it, or with `fallback` when it ends without one (the application state went
// away meanwhile).
template<typename T, typename Done> void whenDone(QFuture<T> future, T fallback, Done done)
{
    struct Once
    {
        T fallback;
        Done done;
        bool called = false;
        ~Once()
        {
            if (!called)
                done(std::move(fallback));
        }
    };
    const std::shared_ptr<Once> once(new Once {std::move(fallback), std::move(done)});
    future.then(QtFuture::Launch::Sync, [once](const T &value) {
        once->called = true;
        once->done(value);
    });
}

template<typename Done> void whenDone(QFuture<void> future, Done done)
{
    struct Once
    {
        Done done;
        bool called = false;
        ~Once()
        {
            if (!called)
                done();
        }
    };
    const std::shared_ptr<Once> once(new Once {std::move(done)});
    future.then(QtFuture::Launch::Sync, [once] {
        once->called = true;
        once->done();
    });
}

} // namespace LocalViewerFutures
