#pragma once

#include <QString>
#include <atomic>
#include <memory>
#include <stdexcept>

// The error a cancelled operation ends with.
class CancelledError : public std::runtime_error
{
public:
    CancelledError() : std::runtime_error("The operation was cancelled.") { }
};

// A shared flag that one side sets and the running work checks. Copies share
// the flag; it is safe to use from any thread.
class CancellationToken
{
public:
    CancellationToken() : m_flag(std::make_shared<std::atomic<bool>>(false)) { }
    void cancel() const { m_flag->store(true); }
    bool isCancelled() const { return m_flag->load(); }
    // Throws CancelledError when cancelled.
    void throwIfCancelled() const
    {
        if (isCancelled())
            throw CancelledError();
    }
    friend bool operator==(const CancellationToken &a, const CancellationToken &b) { return a.m_flag == b.m_flag; }

private:
    std::shared_ptr<std::atomic<bool>> m_flag;
};
