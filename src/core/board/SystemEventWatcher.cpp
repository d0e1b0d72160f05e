#include "SystemEventWatcher.h"

SystemEventWatcher::SystemEventWatcher(BLEventBus &eventBus) : m_eventBus(eventBus)
{
    bindEvents();
}

SystemEventWatcher::~SystemEventWatcher() = default;

void SystemEventWatcher::bindEvents()
{
    // The token lives in the watcher: once the watcher is gone the bus skips
    // the handler, so `this` is never reached after destruction.
    m_cancellables.push_back(m_eventBus.subscribe([this](const BL_Event &event) { handle(event); }));
}

void SystemEventWatcher::handle(const BL_Event &event)
{
    Callback callback;
    if (event.type == BL_EventType::workerTaskCompleted)
        callback = m_onTaskAutoMoveToDone;
    else if (event.type == BL_EventType::workerTaskFailed)
        callback = m_onTaskAutoMoveToFailed;
    // A copy is called, so the callback may replace itself or drop the
    // watcher while it runs.
    if (callback)
        callback(event.projectID, event.taskID);
}
