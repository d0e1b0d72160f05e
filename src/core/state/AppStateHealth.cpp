// The health and usage snapshot: the façade over HealthUsageMonitor, and what
// the checks and the usage read ask of the node sharing.
#include "AppState.h"

#include "state/HealthUsageMonitor.h"

void AppState::prefetchSidebarDataIfNeeded()
{
    m_health->prefetchIfNeeded();
}

QCoro::Task<> AppState::refreshHealthSnapshot()
{
    return m_health->refreshHealth();
}

QCoro::Task<> AppState::applyHealthSnapshot(
    QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt, QString source)
{
    return m_health->applyHealth(std::move(results), checkedAt, std::move(source));
}

std::optional<bool> AppState::latestHealthIsHealthy() const
{
    return m_health->latestHealthIsHealthy();
}

const QList<HealthCheckResult> &AppState::prefetchedHealthResults() const
{
    return m_health->healthResults();
}

const std::optional<TimePoint> &AppState::prefetchedHealthLastUpdated() const
{
    return m_health->healthLastUpdated();
}

const std::optional<QList<ModelUsageSnapshot>> &AppState::prefetchedModelUsage() const
{
    return m_health->modelUsage();
}

const std::optional<QString> &AppState::prefetchedModelErrorMessage() const
{
    return m_health->modelErrorMessage();
}

const std::optional<TimePoint> &AppState::prefetchedModelLastUpdated() const
{
    return m_health->modelLastUpdated();
}

bool AppState::isRefreshingHealthSnapshot() const
{
    return m_health->isRefreshingHealth();
}

bool AppState::hasPrefetchedSidebarData() const
{
    return m_health->hasPrefetched();
}

QCoro::Task<ClientNodePing> AppState::checkClientNodePing()
{
    // No main-node client yet: nothing is sent and the main node counts as
    // not configured.
    co_return ClientNodePing {false, HealthUsageMonitor::kPingCommand, HealthUsageMonitor::kMainNodeNotConfigured};
}

QCoro::Task<ModelUsageAPIResponse> AppState::fetchClientNodeModelUsage()
{
    ModelUsageAPIResponse response;
    response.checkedAt = m_clock->now();
    response.errorMessage = HealthUsageMonitor::kMainNodeNotConfigured;
    co_return response;
}

std::optional<QUrl> AppState::localTaskViewerURL() const
{
    return localTaskViewerShareURL();
}
