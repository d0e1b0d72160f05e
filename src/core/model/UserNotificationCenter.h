#pragma once

#include <QString>
#include <functional>
#include <optional>

// One desktop notification, shown at once.
struct UserNotificationRequest
{
    QString identifier; // a later request with the same identifier replaces this one
    QString title;
    QString body;
    bool playsDefaultSound = true;
};

// The desktop's notification service. Both operations return at once; their
// handlers run later on the thread that called them, with an error text when
// the service could not be reached or refused.
class UserNotificationCenter
{
public:
    using AuthorizationHandler = std::function<void(bool granted, const std::optional<QString> &error)>;
    using AddHandler = std::function<void(const std::optional<QString> &error)>;

    virtual ~UserNotificationCenter() = default;

    // Asks for permission to show alerts with sound and badge.
    virtual void requestAuthorization(AuthorizationHandler done) = 0;
    virtual void add(const UserNotificationRequest &request, AddHandler done) = 0;
};
