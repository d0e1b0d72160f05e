#pragma once

#include "agenttools/BrimlockHealthRunner.h"
#include "agenttools/HealthCheckAppState.h"
#include "agenttools/HealthCheckResult.h"
#include "common/TimePoint.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <optional>

// One batch of health checks at a time and the latest batch, for the health
// page and the application state's background refresh. Main thread only.
class SystemHealthViewModel final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SystemHealthViewModel)

public:
    explicit SystemHealthViewModel(QObject *parent = nullptr);
    explicit SystemHealthViewModel(HealthCheckOptions options, QObject *parent = nullptr);

    // The latest batch, in run order.
    const QList<HealthCheckResult> &results() const { return m_results; }
    bool isRunning() const { return m_isRunning; }
    // When the batch in results() finished, or the time recorded with an
    // adopted snapshot.
    std::optional<TimePoint> lastRunDate() const { return m_lastRunDate; }

    // Runs one batch unless one of this model is running (then returns at
    // once, changing nothing). With `syncToAppState` the batch is also stored
    // as the application's health snapshot. Never fails. `appState` must
    // outlive the batch.
    QCoro::Task<> runChecks(HealthCheckAppState &appState, bool syncToAppState);

    // Adopts a batch made elsewhere when it is newer than the model's own;
    // empty results or no date change nothing.
    void applyPrefetched(const QList<HealthCheckResult> &results, std::optional<TimePoint> lastRunDate);

    // False without results; otherwise whether every check succeeded.
    bool isHealthy() const;
    // "Overall: Healthy (<date and time>)" or "Overall: Needs Attention (…)";
    // nothing before the first batch.
    std::optional<QString> summaryText(const QLocale &locale = QLocale()) const;

signals:
    void resultsChanged();
    void isRunningChanged();
    void lastRunDateChanged();

private:
    void setResults(const QList<HealthCheckResult> &results);
    void setRunning(bool running);
    void setLastRunDate(std::optional<TimePoint> date);

    HealthCheckOptions m_options;
    QList<HealthCheckResult> m_results;
    bool m_isRunning = false;
    std::optional<TimePoint> m_lastRunDate;
};
