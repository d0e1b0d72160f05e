#pragma once

#include "model/BL_Auth.h"

#include <optional>

// Where the signed-in backend session is kept between launches.
class AuthSessionStore
{
public:
    virtual ~AuthSessionStore() = default;
    // The stored session, or nothing.
    virtual std::optional<BL_AuthSession> load() = 0;
};

// A store that never holds a session: the installation is signed out.
class SignedOutSessionStore final : public AuthSessionStore
{
public:
    std::optional<BL_AuthSession> load() override { return std::nullopt; }
};
