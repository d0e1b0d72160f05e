#pragma once

#include "agenttools/BrimlockHealthRunner.h"
#include "agenttools/CodexBarUsageRunner.h"
#include "agenttools/HealthCheckResult.h"
#include "agenttools/ModelUsageSnapshot.h"
#include "common/CoroutineScope.h"
#include "common/TimePoint.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <functional>
#include <optional>

// The health and usage snapshot: the one-time prefetch at start-up, the
// health refresh (one at a time; a request while one runs is dropped) and the
// latest health batch and model-usage read that the sidebar and the health
// and model-usage pages show before their own runs finish. Main thread only;
// the checks and the usage command run off it.
class HealthUsageMonitor final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HealthUsageMonitor)

public:
    // The snapshot's two halves, reported through Hooks::publish.
    enum class Field { health, modelUsage };

    // What the monitor reaches of the rest of the application state.
    struct Hooks
    {
        // isClientNodeMode(): the checks then only ping the main node and the
        // usage comes from it.
        std::function<bool()> isClientNodeMode;
        // checkClientNodePing(): the main node's ping; never fails.
        std::function<QCoro::Task<ClientNodePing>()> checkClientNodePing;
        // fetchClientNodeModelUsage(): the main node's usage answer; never fails.
        std::function<QCoro::Task<ModelUsageAPIResponse>()> fetchClientNodeModelUsage;
        // isLocalTaskViewerRunning(): read by the node-role check.
        std::function<bool()> isLocalTaskViewerRunning;
        // hasAttemptedLocalServerStart(): read by the node-role check.
        std::function<bool()> hasAttemptedLocalServerStart;
        // localTaskViewerURL(): the running viewer's share link, if any.
        std::function<std::optional<QUrl>()> localTaskViewerURL;
        // emitHeartbeat(results, checkedAt): the node heartbeat after a stored snapshot.
        std::function<QCoro::Task<>(QList<HealthCheckResult>, std::optional<TimePoint>)> emitHeartbeat;
        // publish(field): a half of the snapshot changed.
        std::function<void(Field)> publish;
    };

    // The ping's texts while no main node can be asked.
    static inline const QString kPingCommand = QStringLiteral("Ping Main Node");
    static inline const QString kMainNodeNotConfigured = QStringLiteral("Set a valid main-node LAN host and port.");

    // `clock` stamps a client node's ping and must outlive the monitor. The
    // options say how the checks and the usage read find and run their tools.
    HealthUsageMonitor(const Clock &clock, HealthCheckOptions healthChecks, CodexBarUsageOptions modelUsage,
        Hooks hooks, QObject *parent = nullptr);
    ~HealthUsageMonitor() override;

    // Once per monitor: the health snapshot and the model usage, read in the
    // background. Later calls, also during the first prefetch, start nothing.
    void prefetchIfNeeded();
    // Runs the health checks (on a client node: the main-node ping) and
    // stores them as the snapshot; a request while a refresh runs, including
    // the heartbeat after it, is dropped.
    QCoro::Task<> refreshHealth();
    // Stores a batch as the snapshot, replacing the previous one whole, then
    // attempts the heartbeat. `source` is a free label.
    QCoro::Task<> applyHealth(QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt, QString source);
    // Reads the usage afresh, stores it as the prefetched usage and answers
    // it. Two calls at once run two reads. Never fails.
    QCoro::Task<ModelUsageAPIResponse> readModelUsage();

    // Nothing without a snapshot; false when any check failed.
    std::optional<bool> latestHealthIsHealthy() const;
    const QList<HealthCheckResult> &healthResults() const { return m_healthResults; }
    const std::optional<TimePoint> &healthLastUpdated() const { return m_healthLastUpdated; }
    const std::optional<QList<ModelUsageSnapshot>> &modelUsage() const { return m_modelUsage; }
    const std::optional<QString> &modelErrorMessage() const { return m_modelErrorMessage; }
    const std::optional<TimePoint> &modelLastUpdated() const { return m_modelLastUpdated; }
    bool isRefreshingHealth() const { return m_isRefreshingHealth; }
    bool hasPrefetched() const { return m_hasPrefetched; }

private:
    class HealthSource;
    class UsageSource;

    QCoro::Task<> prefetch();
    // Stores a usage read; reported only when any of its three fields changed.
    void storeModelUsage(const std::optional<QList<ModelUsageSnapshot>> &usage,
        const std::optional<QString> &errorMessage, const std::optional<TimePoint> &lastCheckedAt);

    const Clock &m_clock;
    HealthCheckOptions m_healthCheckOptions;
    CodexBarUsageOptions m_modelUsageOptions;
    Hooks m_hooks;
    QList<HealthCheckResult> m_healthResults;
    std::optional<TimePoint> m_healthLastUpdated;
    std::optional<QList<ModelUsageSnapshot>> m_modelUsage;
    std::optional<QString> m_modelErrorMessage;
    std::optional<TimePoint> m_modelLastUpdated;
    bool m_isRefreshingHealth = false;
    bool m_hasPrefetched = false;
    CoroutineScope m_scope; // last: its coroutines end before the state above
};
