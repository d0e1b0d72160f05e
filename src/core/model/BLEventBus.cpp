#include "BLEventBus.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <algorithm>

struct BLEventSubscription::Entry
{
    BLEventBus::Handler handler;
    bool onMainLoop = false;
    bool active = true;
};

BLEventSubscription &BLEventSubscription::operator=(BLEventSubscription &&other) noexcept
{
    if (this != &other) {
        cancel();
        m_entry = std::move(other.m_entry);
    }
    return *this;
}

BLEventSubscription::~BLEventSubscription()
{
    cancel();
}

void BLEventSubscription::cancel()
{
    if (m_entry) {
        m_entry->active = false;
        m_entry.reset();
    }
}

bool BLEventSubscription::isActive() const
{
    return m_entry && m_entry->active;
}

BLEventBus::BLEventBus() = default;
BLEventBus::~BLEventBus() = default;

BLEventBus &BLEventBus::shared()
{
    static BLEventBus bus; // thread-safe one-time creation
    return bus;
}

BLEventSubscription BLEventBus::subscribe(Handler handler)
{
    return add(std::move(handler), false);
}

BLEventSubscription BLEventBus::subscribeOnMainLoop(Handler handler)
{
    return add(std::move(handler), true);
}

BLEventSubscription BLEventBus::add(Handler handler, bool onMainLoop)
{
    // Drop entries whose tokens are gone.
    m_entries.erase(
        std::remove_if(m_entries.begin(), m_entries.end(), [](const auto &entry) { return !entry->active; }),
        m_entries.end());
    auto entry = std::make_shared<BLEventSubscription::Entry>();
    entry->handler = std::move(handler);
    entry->onMainLoop = onMainLoop;
    m_entries.push_back(entry);
    return BLEventSubscription(entry);
}

void BLEventBus::send(const BL_Event &event)
{
    // A snapshot, so a subscriber added while this event is delivered does not
    // see it, and a nested send walks the same list from the start.
    const auto entries = m_entries;
    for (const auto &entry : entries) {
        if (!entry->active)
            continue;
        if (!entry->onMainLoop) {
            entry->handler(event);
            continue;
        }
        QCoreApplication *application = QCoreApplication::instance();
        if (!application)
            continue;
        std::weak_ptr<BLEventSubscription::Entry> weak = entry;
        QMetaObject::invokeMethod(
            application,
            [weak, event] {
                if (const auto alive = weak.lock(); alive && alive->active)
                    alive->handler(event);
            },
            Qt::QueuedConnection);
    }
}
