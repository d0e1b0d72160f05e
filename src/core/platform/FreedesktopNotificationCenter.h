#pragma once

#include "model/UserNotificationCenter.h"

#include <QDBusConnection>
#include <QHash>
#include <QObject>

// Desktop notifications through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus). With no session bus or
// no service, every operation reports an error to its handler and nothing
// else happens; calls never block.
class FreedesktopNotificationCenter final : public QObject, public UserNotificationCenter
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FreedesktopNotificationCenter)

public:
    static constexpr int kCallTimeoutMs = 5000;

    explicit FreedesktopNotificationCenter(
        const QDBusConnection &connection = QDBusConnection::sessionBus(), QObject *parent = nullptr);
    ~FreedesktopNotificationCenter() override;

    // The service has no permission step: permission is granted when it answers.
    void requestAuthorization(AuthorizationHandler done) override;
    void add(const UserNotificationRequest &request, AddHandler done) override;

private:
    bool reportIfDisconnected(const std::function<void(const QString &)> &fail);

    QDBusConnection m_connection;
    // The service's id of the last notification posted under an identifier,
    // so a request with the same identifier replaces it.
    QHash<QString, uint> m_serviceIDs;
};
