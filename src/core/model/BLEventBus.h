#pragma once

#include "model/BL_Event.h"

#include <functional>
#include <memory>
#include <vector>

class BLEventBus;

// Keeps one subscription alive; dropping the token ends it.
class BLEventSubscription
{
public:
    BLEventSubscription() = default;
    BLEventSubscription(BLEventSubscription &&) noexcept = default;
    BLEventSubscription &operator=(BLEventSubscription &&other) noexcept;
    BLEventSubscription(const BLEventSubscription &) = delete;
    BLEventSubscription &operator=(const BLEventSubscription &) = delete;
    ~BLEventSubscription();

    void cancel();
    bool isActive() const;

private:
    friend class BLEventBus;
    struct Entry;
    explicit BLEventSubscription(std::shared_ptr<Entry> entry) : m_entry(std::move(entry)) { }
    std::shared_ptr<Entry> m_entry;
};

// The process-wide channel of task events. Publishing and subscribing happen
// on the main thread. Delivery is synchronous and in subscription order; a
// handler may publish, and that nested event reaches every synchronous
// subscriber before the outer delivery goes on. A main-loop subscriber gets
// its copy of the event on a later turn of the main event loop. There is no
// buffering and no replay.
class BLEventBus
{
public:
    using Handler = std::function<void(const BL_Event &)>;

    BLEventBus();
    ~BLEventBus();
    BLEventBus(const BLEventBus &) = delete;
    BLEventBus &operator=(const BLEventBus &) = delete;

    // The one bus of the process, created on first use.
    static BLEventBus &shared();

    void send(const BL_Event &event);
    [[nodiscard]] BLEventSubscription subscribe(Handler handler);
    [[nodiscard]] BLEventSubscription subscribeOnMainLoop(Handler handler);

private:
    BLEventSubscription add(Handler handler, bool onMainLoop);
    std::vector<std::shared_ptr<BLEventSubscription::Entry>> m_entries;
};
