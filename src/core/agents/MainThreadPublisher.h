#pragma once

#include "model/BLEventBus.h"

#include <QFuture>
#include <QList>

// Every event of the agent runtime is published on the main thread, where the
// bus delivers it synchronously. These helpers carry events there from any
// thread.
namespace MainThreadPublisher {

// Publishes the events one after another in one turn of the main thread. The
// future finishes once the last publication has returned; on the main thread
// itself the events are published at once.
QFuture<void> publish(BLEventBus &bus, QList<BL_Event> events);
inline QFuture<void> publish(BLEventBus &bus, BL_Event event)
{
    return publish(bus, QList<BL_Event> {std::move(event)});
}

} // namespace MainThreadPublisher
