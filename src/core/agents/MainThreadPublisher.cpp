#include "MainThreadPublisher.h"

MainThreadPublisher::MainThreadPublisher(BLEventBus &bus) : m_bus(bus)
{
}

QFuture<void> MainThreadPublisher::publish(QList<BL_Event> events) const
{
    BLEventBus *bus = &m_bus;
    return m_queue.run([bus, events = std::move(events)] {
        for (const BL_Event &event : events)
            bus->send(event);
    });
}

void MainThreadPublisher::runOnMainThread(std::function<void()> work) const
{
    (void)m_queue.run(std::move(work));
}
