#pragma once

#include "common/Cancellation.h"

#include <QCoroTask>
#include <QString>
#include <chrono>
#include <memory>

// The detached coroutines of one owner. spawn() starts a coroutine that runs
// on by itself on the calling thread; an exception that escapes it is logged
// (a CancelledError quietly), never lost. The owner ends them before it goes:
// shutdown() cancels the scope's token, which the coroutines check at their
// waits, and waits until the last one has ended.
//
// spawn() and the coroutines belong to one thread; shutdown() is called from
// another one (the owner's), whose waits must not be needed to finish them.
class CoroutineScope final
{
public:
    explicit CoroutineScope(QString name);
    // Coroutines still running then outlive their owner (a debug line says so).
    ~CoroutineScope();
    CoroutineScope(const CoroutineScope &) = delete;
    CoroutineScope &operator=(const CoroutineScope &) = delete;

    // A coroutine starts running as soon as it is called, before spawn() can
    // count it: take a hold first, while the coroutine is made, and pass it
    // on (a shutdown on another thread then never misses the coroutine).
    std::shared_ptr<void> hold();
    void spawn(QCoro::Task<> task, std::shared_ptr<void> hold = {});
    // Makes the coroutine with `make` under a hold and spawns it.
    template<typename Make> void spawnWith(Make &&make)
    {
        std::shared_ptr<void> held = hold();
        spawn(make(), std::move(held));
    }
    // Cancelled by shutdown(); coroutines of the scope check it at their waits.
    const CancellationToken &cancellation() const { return m_cancellation; }
    // How many coroutines have not ended yet. Any thread.
    int runningCount() const;
    // Cancels the token and blocks until no coroutine runs or `limit` has
    // passed; true when none runs any more.
    bool shutdown(std::chrono::milliseconds limit);

private:
    struct State;
    std::shared_ptr<State> m_state;
    CancellationToken m_cancellation;
};
