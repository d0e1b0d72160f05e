#pragma once

#include "common/Result.h"
#include "model/BL_Auth.h"

#include <optional>

// Where the signed-in backend session is kept between launches.
class AuthSessionStore
{
public:
    virtual ~AuthSessionStore() = default;
    // The stored session, or nothing. Never fails.
    virtual std::optional<BL_AuthSession> load() = 0;
    // Stores the session in place of any earlier one.
    virtual Result<void> save(const BL_AuthSession &session) = 0;
    // Removes every stored copy; removing nothing counts as done.
    virtual Result<void> clear() = 0;
};

// A store that never holds a session: the installation is signed out.
class SignedOutSessionStore final : public AuthSessionStore
{
public:
    std::optional<BL_AuthSession> load() override { return std::nullopt; }
    Result<void> save(const BL_AuthSession &) override { return Result<void>::success(); }
    Result<void> clear() override { return Result<void>::success(); }
};
