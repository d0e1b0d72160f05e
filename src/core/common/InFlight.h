#pragma once

#include <QObject>
#include <QPointer>
#include <QSet>
#include <functional>
#include <utility>

// Marks work as "in flight" for as long as the guard lives: set at
// construction, cleared by release() or when the scope ends, however it ends
// (a return, an exception, a coroutine destroyed while suspended). With an
// owner, the mark belongs to it and is left alone once the owner has gone.
// `changed` is called after each change of the mark (to publish it).
class InFlight
{
public:
    explicit InFlight(bool &flag, std::function<void()> changed = {}, const QObject *owner = nullptr)
        : m_flag(&flag), m_changed(std::move(changed)), m_owner(owner), m_hasOwner(owner != nullptr)
    {
        *m_flag = true;
        if (m_changed)
            m_changed();
    }
    ~InFlight() { release(); }
    InFlight(const InFlight &) = delete;
    InFlight &operator=(const InFlight &) = delete;

    void release()
    {
        if (!m_flag)
            return;
        bool *flag = std::exchange(m_flag, nullptr);
        if (m_hasOwner && !m_owner)
            return;
        *flag = false;
        if (m_changed)
            m_changed();
    }

private:
    bool *m_flag;
    std::function<void()> m_changed;
    QPointer<const QObject> m_owner;
    bool m_hasOwner;
};

// The same for one key of a set of keys in flight (one per task, say).
template<typename Key> class InFlightEntry
{
public:
    InFlightEntry(QSet<Key> &set, Key key, std::function<void()> changed = {}, const QObject *owner = nullptr)
        : m_set(&set),
          m_key(std::move(key)),
          m_changed(std::move(changed)),
          m_owner(owner),
          m_hasOwner(owner != nullptr)
    {
        m_set->insert(m_key);
        if (m_changed)
            m_changed();
    }
    ~InFlightEntry() { release(); }
    InFlightEntry(const InFlightEntry &) = delete;
    InFlightEntry &operator=(const InFlightEntry &) = delete;

    void release()
    {
        if (!m_set)
            return;
        QSet<Key> *set = std::exchange(m_set, nullptr);
        if (m_hasOwner && !m_owner)
            return;
        set->remove(m_key);
        if (m_changed)
            m_changed();
    }

private:
    QSet<Key> *m_set;
    Key m_key;
    std::function<void()> m_changed;
    QPointer<const QObject> m_owner;
    bool m_hasOwner;
};
