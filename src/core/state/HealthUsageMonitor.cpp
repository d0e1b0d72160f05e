#include "HealthUsageMonitor.h"

#include "agenttools/HealthCheckAppState.h"
#include "agenttools/ModelUsageAppState.h"
#include "agenttools/ModelsSidebarViewModel.h"
#include "agenttools/SystemHealthViewModel.h"
#include "common/InFlight.h"
#include "common/Logging.h"

#include <QPointer>
#include <memory>

namespace {

const QString kMainNodeReachabilityTitle = QStringLiteral("Main Node Reachability");

} // namespace

// The application state as a batch of checks sees it while the batch runs in
// the background: the checks read the state again after their commands ended,
// and by then the monitor may be gone (it answers "not running" then).
class HealthUsageMonitor::HealthSource final : public HealthCheckAppState
{
public:
    explicit HealthSource(QPointer<HealthUsageMonitor> monitor) : m_monitor(std::move(monitor)) { }

    bool isClientNodeMode() const override { return m_monitor && m_monitor->m_hooks.isClientNodeMode(); }
    QCoro::Task<ClientNodePing> checkClientNodePing() override
    {
        if (!m_monitor)
            co_return ClientNodePing {false, kPingCommand, kMainNodeNotConfigured};
        auto pinging = m_monitor->m_hooks.checkClientNodePing();
        co_return co_await std::move(pinging);
    }
    bool isLocalTaskViewerRunning() const override
    {
        return m_monitor && m_monitor->m_hooks.isLocalTaskViewerRunning();
    }
    bool hasAttemptedLocalServerStart() const override
    {
        return m_monitor && m_monitor->m_hooks.hasAttemptedLocalServerStart();
    }
    std::optional<QUrl> localTaskViewerURL() const override
    {
        return m_monitor ? m_monitor->m_hooks.localTaskViewerURL() : std::nullopt;
    }
    QCoro::Task<> applyHealthSnapshot(
        QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt, QString source) override
    {
        if (!m_monitor)
            co_return;
        auto storing = m_monitor->applyHealth(std::move(results), checkedAt, std::move(source));
        co_await std::move(storing);
    }

private:
    QPointer<HealthUsageMonitor> m_monitor;
};

// The application state as a usage read sees it; the read asks it only as it
// starts.
class HealthUsageMonitor::UsageSource final : public ModelUsageAppState
{
public:
    explicit UsageSource(QPointer<HealthUsageMonitor> monitor) : m_monitor(std::move(monitor)) { }

    bool isClientNodeMode() const override { return m_monitor && m_monitor->m_hooks.isClientNodeMode(); }
    QCoro::Task<ModelUsageAPIResponse> fetchClientNodeModelUsage() override
    {
        if (!m_monitor) {
            ModelUsageAPIResponse response;
            response.checkedAt = TimePoint::now();
            response.errorMessage = kMainNodeNotConfigured;
            co_return response;
        }
        auto asking = m_monitor->m_hooks.fetchClientNodeModelUsage();
        co_return co_await std::move(asking);
    }

private:
    QPointer<HealthUsageMonitor> m_monitor;
};

HealthUsageMonitor::HealthUsageMonitor(
    const Clock &clock, HealthCheckOptions healthChecks, CodexBarUsageOptions modelUsage, Hooks hooks, QObject *parent)
    : QObject(parent),
      m_clock(clock),
      m_healthCheckOptions(std::move(healthChecks)),
      m_modelUsageOptions(std::move(modelUsage)),
      m_hooks(std::move(hooks)),
      m_scope(QStringLiteral("health and usage"))
{
}

HealthUsageMonitor::~HealthUsageMonitor()
{
    // No waiting here: a running prefetch resumes on this thread, so it could
    // not end while this one blocks. It finds the monitor gone when it lands
    // and stores nothing.
    m_scope.cancellation().cancel();
}

void HealthUsageMonitor::prefetchIfNeeded()
{
    if (m_hasPrefetched)
        return;
    // Set before anything runs, so a second call, even during the first
    // prefetch, starts nothing.
    m_hasPrefetched = true;
    qCDebug(lcState) << "prefetching the health snapshot and the model usage";
    m_scope.spawnWith([this] { return prefetch(); });
}

QCoro::Task<> HealthUsageMonitor::prefetch()
{
    const QPointer<HealthUsageMonitor> self(this);
    // A model of its own: the models page keeps its own.
    auto model = std::make_unique<ModelsSidebarViewModel>(m_modelUsageOptions);
    UsageSource source(self);
    auto health = refreshHealth();
    auto usage = model->refresh(source);
    co_await std::move(health);
    co_await std::move(usage);
    if (!self)
        co_return;
    storeModelUsage(model->usage(), model->errorMessage(), model->lastCheckedAt());
}

void HealthUsageMonitor::storeModelUsage(const std::optional<QList<ModelUsageSnapshot>> &usage,
    const std::optional<QString> &errorMessage, const std::optional<TimePoint> &lastCheckedAt)
{
    if (m_modelUsage == usage && m_modelErrorMessage == errorMessage && m_modelLastUpdated == lastCheckedAt)
        return;
    m_modelUsage = usage;
    m_modelErrorMessage = errorMessage;
    m_modelLastUpdated = lastCheckedAt;
    m_hooks.publish(Field::modelUsage);
}

QCoro::Task<> HealthUsageMonitor::refreshHealth()
{
    // Dropped, not queued, while a refresh (including its storing) runs.
    if (m_isRefreshingHealth) {
        qCDebug(lcState) << "health refresh dropped: one is running";
        co_return;
    }
    const QPointer<HealthUsageMonitor> self(this);
    InFlight refreshing(m_isRefreshingHealth, {}, this);

    QList<HealthCheckResult> results;
    std::optional<TimePoint> checkedAt;
    if (m_hooks.isClientNodeMode()) {
        auto pinging = m_hooks.checkClientNodePing();
        const ClientNodePing ping = co_await std::move(pinging);
        if (!self)
            co_return;
        results = {HealthCheckResult::make(kMainNodeReachabilityTitle,
            ping.success ? HealthCheckResult::Status::success : HealthCheckResult::Status::failed, ping.command,
            ping.output)};
        checkedAt = m_clock.now();
    } else {
        HealthSource live(self);
        SystemHealthViewModel model(m_healthCheckOptions);
        auto checking = model.runChecks(live, false);
        co_await std::move(checking);
        if (!self)
            co_return;
        results = model.results();
        checkedAt = model.lastRunDate();
    }

    auto storing = applyHealth(results, checkedAt, QStringLiteral("refresh"));
    co_await std::move(storing);
}

QCoro::Task<> HealthUsageMonitor::applyHealth(
    QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt, QString source)
{
    qCDebug(lcState) << "health snapshot of" << results.size() << "checks stored from" << source;
    m_healthResults = std::move(results);
    m_healthLastUpdated = checkedAt;
    m_hooks.publish(Field::health);
    co_await m_hooks.emitHeartbeat(m_healthResults, checkedAt);
}

QCoro::Task<ModelUsageAPIResponse> HealthUsageMonitor::readModelUsage()
{
    // A model of its own for every call: two calls at once run two reads.
    const QPointer<HealthUsageMonitor> self(this);
    auto model = std::make_unique<ModelsSidebarViewModel>(m_modelUsageOptions);
    UsageSource source(self);
    QCoro::Task<> reading = model->refresh(source);
    co_await std::move(reading);

    ModelUsageAPIResponse response;
    response.checkedAt = model->lastCheckedAt().value_or(self ? m_clock.now() : TimePoint::now());
    response.snapshots = model->usage();
    response.errorMessage = model->errorMessage();
    if (self)
        storeModelUsage(model->usage(), model->errorMessage(), model->lastCheckedAt());
    co_return response;
}

std::optional<bool> HealthUsageMonitor::latestHealthIsHealthy() const
{
    if (m_healthResults.isEmpty())
        return std::nullopt;
    for (const HealthCheckResult &result : m_healthResults) {
        if (result.status == HealthCheckResult::Status::failed)
            return false;
    }
    return true;
}
