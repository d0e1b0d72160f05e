#pragma once

#include <QString>
#include <utility>
#include <variant>

// A failure with a message a user can read; some components also name an
// error domain and a numeric code.
struct Error
{
    QString message;
    QString domain;
    int code = 0;

    static Error make(QString message) { return Error {std::move(message), QString(), 0}; }
    static Error make(QString domain, int code, QString message)
    {
        return Error {std::move(message), std::move(domain), code};
    }
};

// Either a value or an Error.
template<typename T> class Result
{
public:
    Result(T value) : m_state(std::move(value)) { }
    Result(Error error) : m_state(std::move(error)) { }

    bool ok() const { return std::holds_alternative<T>(m_state); }
    explicit operator bool() const { return ok(); }
    const T &value() const & { return std::get<T>(m_state); }
    T &value() & { return std::get<T>(m_state); }
    T &&value() && { return std::get<T>(std::move(m_state)); }
    const T &operator*() const & { return value(); }
    T &operator*() & { return value(); }
    const T *operator->() const { return &value(); }
    T *operator->() { return &value(); }
    const Error &error() const { return std::get<Error>(m_state); }
    QString errorMessage() const { return ok() ? QString() : error().message; }

private:
    std::variant<T, Error> m_state;
};

// The value-less form: success, or an Error.
template<> class Result<void>
{
public:
    Result() = default;
    Result(Error error) : m_error(std::move(error)), m_failed(true) { }
    static Result success() { return Result(); }

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const Error &error() const { return m_error; }
    QString errorMessage() const { return m_failed ? m_error.message : QString(); }

private:
    Error m_error;
    bool m_failed = false;
};
