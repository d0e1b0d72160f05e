// The health and usage snapshot: the one-time prefetch at start-up, the
// periodic health refresh and the stored results the sidebar and the health
// and model-usage pages show before their own runs finish.
#include "AppState.h"

#include "common/InFlight.h"

#include "agenttools/ModelsSidebarViewModel.h"
#include "agenttools/SystemHealthViewModel.h"

#include <QPointer>
#include <memory>

namespace {

const QString kMainNodeReachabilityTitle = QStringLiteral("Main Node Reachability");
const QString kPingCommand = QStringLiteral("Ping Main Node");
const QString kMainNodeNotConfigured = QStringLiteral("Set a valid main-node LAN host and port.");

// The application state as a batch of checks sees it while the batch runs in
// the background: the checks read the state again after their commands ended,
// and by then the state may be gone (it answers "not running" then).
class LiveHealthCheckAppState final : public HealthCheckAppState
{
public:
    explicit LiveHealthCheckAppState(QPointer<AppState> state) : m_state(std::move(state)) { }

    bool isClientNodeMode() const override { return m_state && m_state->isClientNodeMode(); }
    QCoro::Task<ClientNodePing> checkClientNodePing() override
    {
        if (!m_state)
            co_return ClientNodePing {false, kPingCommand, kMainNodeNotConfigured};
        auto pinging = m_state->checkClientNodePing();
        co_return co_await std::move(pinging);
    }
    bool isLocalTaskViewerRunning() const override { return m_state && m_state->isLocalTaskViewerRunning(); }
    bool hasAttemptedLocalServerStart() const override { return m_state && m_state->hasAttemptedLocalServerStart(); }
    std::optional<QUrl> localTaskViewerURL() const override
    {
        return m_state ? m_state->localTaskViewerURL() : std::nullopt;
    }
    QCoro::Task<> applyHealthSnapshot(
        QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt, QString source) override
    {
        if (!m_state)
            co_return;
        auto storing = m_state->applyHealthSnapshot(std::move(results), checkedAt, std::move(source));
        co_await std::move(storing);
    }

private:
    QPointer<AppState> m_state;
};

} // namespace

void AppState::prefetchSidebarDataIfNeeded()
{
    if (m_hasPrefetchedSidebarData)
        return;
    // Set before anything runs, so a second call, even during the first
    // prefetch, starts nothing.
    m_hasPrefetchedSidebarData = true;

    auto prefetch = [](QPointer<AppState> self, CodexBarUsageOptions usageOptions) -> QCoro::Task<> {
        // A model of its own: the models page keeps its own.
        auto model = std::make_unique<ModelsSidebarViewModel>(usageOptions);
        auto health = self->refreshHealthSnapshot();
        auto usage = model->refresh(*self);
        co_await std::move(health);
        co_await std::move(usage);
        if (!self)
            co_return;
        self->storePrefetchedModelUsage(model->usage(), model->errorMessage(), model->lastCheckedAt());
    };
    prefetch(QPointer<AppState>(this), m_modelUsageOptions);
}

void AppState::storePrefetchedModelUsage(const std::optional<QList<ModelUsageSnapshot>> &usage,
    const std::optional<QString> &errorMessage, const std::optional<TimePoint> &lastCheckedAt)
{
    if (m_prefetchedModelUsage == usage && m_prefetchedModelErrorMessage == errorMessage
        && m_prefetchedModelLastUpdated == lastCheckedAt)
        return;
    m_prefetchedModelUsage = usage;
    m_prefetchedModelErrorMessage = errorMessage;
    m_prefetchedModelLastUpdated = lastCheckedAt;
    publish(Field::prefetchedModelUsage);
}

QCoro::Task<> AppState::refreshHealthSnapshot()
{
    // Dropped, not queued, while a refresh (including its storing) runs.
    if (m_isRefreshingHealthSnapshot)
        co_return;
    const QPointer<AppState> self(this);
    InFlight refreshing(m_isRefreshingHealthSnapshot, {}, this);

    QList<HealthCheckResult> results;
    std::optional<TimePoint> checkedAt;
    if (isClientNodeMode()) {
        auto pinging = checkClientNodePing();
        const ClientNodePing ping = co_await std::move(pinging);
        if (!self)
            co_return;
        results = {HealthCheckResult::make(kMainNodeReachabilityTitle,
            ping.success ? HealthCheckResult::Status::success : HealthCheckResult::Status::failed, ping.command,
            ping.output)};
        checkedAt = m_clock->now();
    } else {
        LiveHealthCheckAppState live(self);
        SystemHealthViewModel model(m_healthCheckOptions);
        auto checking = model.runChecks(live, false);
        co_await std::move(checking);
        if (!self)
            co_return;
        results = model.results();
        checkedAt = model.lastRunDate();
    }

    auto storing = applyHealthSnapshot(results, checkedAt, QStringLiteral("refresh"));
    co_await std::move(storing);
}

QCoro::Task<> AppState::applyHealthSnapshot(
    QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt, QString)
{
    m_prefetchedHealthResults = std::move(results);
    m_prefetchedHealthLastUpdated = checkedAt;
    publish(Field::prefetchedHealth);
    co_await emitHeartbeatFromHealthCheck(m_prefetchedHealthResults, checkedAt);
}

std::optional<bool> AppState::latestHealthIsHealthy() const
{
    if (m_prefetchedHealthResults.isEmpty())
        return std::nullopt;
    for (const HealthCheckResult &result : m_prefetchedHealthResults) {
        if (result.status == HealthCheckResult::Status::failed)
            return false;
    }
    return true;
}

QCoro::Task<ClientNodePing> AppState::checkClientNodePing()
{
    // No main-node client yet: nothing is sent and the main node counts as
    // not configured.
    co_return ClientNodePing {false, kPingCommand, kMainNodeNotConfigured};
}

QCoro::Task<ModelUsageAPIResponse> AppState::fetchClientNodeModelUsage()
{
    ModelUsageAPIResponse response;
    response.checkedAt = m_clock->now();
    response.errorMessage = kMainNodeNotConfigured;
    co_return response;
}

std::optional<QUrl> AppState::localTaskViewerURL() const
{
    return localTaskViewerShareURL();
}
