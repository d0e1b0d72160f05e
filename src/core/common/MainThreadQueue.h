#pragma once

#include <QFuture>
#include <functional>
#include <memory>

// Runs work on the main thread, one piece after another in the order given.
// Once closed, work still queued is dropped (its future ends cancelled) and
// later work is dropped at once, so an owner that goes never has work of its
// run afterwards, and a coroutine waiting for the main thread while the main
// thread waits for it is released instead of left hanging.
class MainThreadQueue final
{
public:
    MainThreadQueue();
    ~MainThreadQueue(); // closes
    MainThreadQueue(const MainThreadQueue &) = delete;
    MainThreadQueue &operator=(const MainThreadQueue &) = delete;

    // Runs `work` on the main thread (at once when called there); the future
    // finishes after it has returned. Callable from any thread.
    QFuture<void> run(std::function<void()> work) const;
    // Drops queued and later work. Callable from any thread; from the main
    // thread queued work is dropped before it returns.
    void close();
    bool isClosed() const;

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};
