#pragma once

#include "agenttools/HealthCheckResult.h"
#include "common/TimePoint.h"

#include <QCoroTask>
#include <QList>
#include <QString>
#include <QUrl>
#include <optional>

// What the health checks read of the application state and hand back to it.
// The application state implements it; every member is called on the main
// thread and read at the moment the checks need it.
class HealthCheckAppState
{
public:
    virtual ~HealthCheckAppState() = default;

    // This node mirrors a main node; the checks then only ping that node.
    virtual bool isClientNodeMode() const = 0;
    // GET "/api/workspaces" on the main node; never fails (failures come
    // back as an unsuccessful ping with their message).
    virtual QCoro::Task<ClientNodePing> checkClientNodePing() = 0;

    virtual bool isLocalTaskViewerRunning() const = 0;
    virtual bool hasAttemptedLocalServerStart() const = 0;
    // The share link of the running viewer, "…/?token=<access token>";
    // nothing when the server has no bound port.
    virtual std::optional<QUrl> localTaskViewerURL() const = 0;

    // Stores a batch as the application's health snapshot (and derives the
    // node heartbeat from it). `source` is a free label.
    virtual QCoro::Task<> applyHealthSnapshot(
        QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt, QString source)
        = 0;
};
