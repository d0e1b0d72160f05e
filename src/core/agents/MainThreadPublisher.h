#pragma once

#include "common/MainThreadQueue.h"
#include "model/BLEventBus.h"

#include <QFuture>
#include <QList>
#include <functional>

// Carries the agent runtime's events to the main thread, where the bus
// delivers them synchronously. Publications still on their way when the
// publisher goes are dropped (their futures end cancelled), so a component
// never publishes on a bus after it has gone itself. The bus must outlive the
// publisher.
class MainThreadPublisher final
{
public:
    explicit MainThreadPublisher(BLEventBus &bus);
    ~MainThreadPublisher() = default;
    MainThreadPublisher(const MainThreadPublisher &) = delete;
    MainThreadPublisher &operator=(const MainThreadPublisher &) = delete;

    // Publishes the events one after another in one turn of the main thread;
    // the future finishes once the last publication has returned. Called on
    // the main thread, it publishes at once. Callable from any thread.
    QFuture<void> publish(QList<BL_Event> events) const;
    QFuture<void> publish(BL_Event event) const { return publish(QList<BL_Event> {std::move(event)}); }
    // Runs `work` on the main thread (at once when called there); dropped,
    // like a publication, when the publisher goes first.
    void runOnMainThread(std::function<void()> work) const;
    // Drops what is still on its way and everything published later: an
    // owner shutting down calls it first, so that its runs waiting for a
    // publication end (cancelled) while the main thread waits for them.
    void close() { m_queue.close(); }

private:
    BLEventBus &m_bus;
    MainThreadQueue m_queue;
};
