#pragma once

#include "model/BLEventBus.h"

#include <QUuid>
#include <functional>
#include <vector>

// Hands the results of worker runs to optional callbacks: a
// "workerTaskCompleted" event to onTaskAutoMoveToDone, a "workerTaskFailed"
// event to onTaskAutoMoveToFailed, each with the event's project and task
// ids. Subscribes when built; destroying the watcher ends the subscription.
// With no callback set it passes every event over.
class SystemEventWatcher final
{
public:
    using Callback = std::function<void(const QUuid &projectID, const QUuid &taskID)>;

    explicit SystemEventWatcher(BLEventBus &eventBus);
    ~SystemEventWatcher();
    SystemEventWatcher(const SystemEventWatcher &) = delete;
    SystemEventWatcher &operator=(const SystemEventWatcher &) = delete;

    BLEventBus &eventBus() const { return m_eventBus; }

    // Assignable at any time; the next matching event uses the value then set.
    const Callback &onTaskAutoMoveToDone() const { return m_onTaskAutoMoveToDone; }
    void setOnTaskAutoMoveToDone(Callback callback) { m_onTaskAutoMoveToDone = std::move(callback); }
    const Callback &onTaskAutoMoveToFailed() const { return m_onTaskAutoMoveToFailed; }
    void setOnTaskAutoMoveToFailed(Callback callback) { m_onTaskAutoMoveToFailed = std::move(callback); }

private:
    void bindEvents();
    void handle(const BL_Event &event);

    BLEventBus &m_eventBus;
    std::vector<BLEventSubscription> m_cancellables;
    Callback m_onTaskAutoMoveToDone;
    Callback m_onTaskAutoMoveToFailed;
};
