#pragma once

#include "common/TimePoint.h"

#include <QHashFunctions>
#include <optional>

// Feeds a record's fields, in declaration order, into one hash value that
// agrees with field-wise equality: an optional goes in as a presence flag
// followed by its value, a date as its seconds since 2001.
class ValueHasher
{
public:
    explicit ValueHasher(size_t seed) : m_hash(seed) { }

    template<typename T> ValueHasher &add(const T &value)
    {
        m_hash = qHashMulti(m_hash, value);
        return *this;
    }
    ValueHasher &add(const TimePoint &date) { return add(date.referenceSeconds()); }
    template<typename T> ValueHasher &add(const std::optional<T> &value)
    {
        add(value.has_value());
        if (value)
            add(*value);
        return *this;
    }

    size_t result() const { return m_hash; }

private:
    size_t m_hash;
};
