#pragma once

#include "TestSupport.h"
#include "agents/BL_AgentLoopRecords.h"
#include "model/BLEventBus.h"
#include "model/BL_Event.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QFuture>
#include <QList>
#include <QString>
#include <QThread>
#include <exception>
#include <memory>
#include <optional>

// What the agent runtime's tests share: a recorder of the events on a bus,
// readers of the task-event payload and a way to wait for a future that may
// end with an exception.
namespace AgentTest {

// Records every event published on `bus`, and whether each one arrived on
// the main thread.
class EventRecorder
{
public:
    explicit EventRecorder(BLEventBus &bus)
        : m_subscription(bus.subscribe([this](const BL_Event &event) {
              m_events.append(event);
              if (QThread::currentThread() != QCoreApplication::instance()->thread())
                  m_offMainThread = true;
          }))
    {
    }

    const QList<BL_Event> &events() const { return m_events; }
    QList<BL_EventType> types() const
    {
        QList<BL_EventType> result;
        for (const BL_Event &event : m_events)
            result.append(event.type);
        return result;
    }
    QList<BL_Event> ofType(BL_EventType type) const
    {
        QList<BL_Event> result;
        for (const BL_Event &event : m_events)
            if (event.type == type)
                result.append(event);
        return result;
    }
    bool contains(BL_EventType type) const { return !ofType(type).isEmpty(); }
    bool waitFor(BL_EventType type, int count = 1, int timeoutMs = 10000) const
    {
        return TestSupport::waitUntil([&] { return ofType(type).size() >= count; }, timeoutMs);
    }
    bool allOnMainThread() const { return !m_offMainThread; }
    void clear() { m_events.clear(); }

private:
    QList<BL_Event> m_events;
    bool m_offMainThread = false;
    BLEventSubscription m_subscription;
};

inline BL_TaskEventPayload taskPayload(const BL_Event &event)
{
    return event.decodePayload<BL_TaskEventPayload>().value_or(BL_TaskEventPayload {});
}
inline QString detail(const BL_Event &event)
{
    return taskPayload(event).detail.value_or(QString());
}
inline QString turnContent(const BL_Event &event)
{
    const auto turn = taskPayload(event).conversationTurn;
    return turn ? turn->content : QString();
}
inline std::optional<BL_TaskConversationRole> turnRole(const BL_Event &event)
{
    const auto turn = taskPayload(event).conversationTurn;
    return turn ? std::optional(turn->role) : std::nullopt;
}

// The value of a finished future, or the exception it ended with.
template<typename T> struct Outcome
{
    std::optional<T> value;
    std::exception_ptr error;

    bool finished() const { return value.has_value() || error != nullptr; }
    template<typename E> std::optional<E> errorAs() const
    {
        if (!error)
            return std::nullopt;
        try {
            std::rethrow_exception(error);
        } catch (const E &typed) {
            return typed;
        } catch (...) {
        }
        return std::nullopt;
    }
    bool cancelled() const
    {
        if (!error)
            return false;
        try {
            std::rethrow_exception(error);
        } catch (const CancelledError &) {
            return true;
        } catch (...) {
        }
        return false;
    }
};

template<typename T> Outcome<T> waitForOutcome(const QFuture<T> &future, int timeoutMs = 20000)
{
    Outcome<T> outcome;
    if (!TestSupport::waitForFuture(future, timeoutMs))
        return outcome;
    try {
        outcome.value = future.result();
    } catch (...) {
        outcome.error = std::current_exception();
    }
    return outcome;
}

// Runs a coroutine from the main thread's event loop and gives its value or
// the exception it ended with.
template<typename T> Outcome<T> runTask(QCoro::Task<T> task, int timeoutMs = 20000)
{
    auto outcome = std::make_shared<Outcome<T>>();
    auto done = std::make_shared<bool>(false);
    auto flow
        = [](QCoro::Task<T> inner, std::shared_ptr<Outcome<T>> into, std::shared_ptr<bool> finished) -> QCoro::Task<> {
        try {
            into->value = co_await std::move(inner);
        } catch (...) {
            into->error = std::current_exception();
        }
        *finished = true;
    };
    flow(std::move(task), outcome, done);
    TestSupport::waitUntil([&] { return *done; }, timeoutMs);
    return *outcome;
}

inline BL_Agent makeAgent(const QString &name, bool enabled = true)
{
    BL_Agent agent;
    agent.id = QUuid::createUuid();
    agent.name = name;
    agent.model = QStringLiteral("stand-in");
    agent.isEnabled = enabled;
    agent.createdAt = TimePoint::now();
    agent.updatedAt = agent.createdAt;
    return agent;
}

} // namespace AgentTest
