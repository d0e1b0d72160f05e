#include "SystemHealthViewModel.h"

#include "agenttools/DisplayDateText.h"

#include <QPointer>

SystemHealthViewModel::SystemHealthViewModel(QObject *parent) : SystemHealthViewModel(HealthCheckOptions {}, parent)
{
}

SystemHealthViewModel::SystemHealthViewModel(HealthCheckOptions options, QObject *parent)
    : QObject(parent), m_options(std::move(options))
{
}

QCoro::Task<> SystemHealthViewModel::runChecks(HealthCheckAppState &appState, bool syncToAppState)
{
    if (m_isRunning)
        co_return;
    setRunning(true);

    const QPointer<SystemHealthViewModel> self(this);
    const HealthCheckOptions options = m_options;
    const BrimlockHealthRunner runner(options);
    QCoro::Task<QList<HealthCheckResult>> checking = runner.runAllChecks(appState);
    const QList<HealthCheckResult> results = co_await std::move(checking);
    const TimePoint now = options.clock->now();

    // A page closed during its batch still hands the batch to the
    // application state.
    if (self) {
        setResults(results);
        setLastRunDate(now);
    }
    if (syncToAppState) {
        QCoro::Task<> storing = appState.applyHealthSnapshot(results, now, QStringLiteral("health-page"));
        co_await std::move(storing);
    }
    if (self)
        setRunning(false);
}

void SystemHealthViewModel::applyPrefetched(
    const QList<HealthCheckResult> &results, std::optional<TimePoint> lastRunDate)
{
    if (results.isEmpty() || !lastRunDate)
        return;
    if (m_lastRunDate && *m_lastRunDate >= *lastRunDate && !m_results.isEmpty())
        return;
    setResults(results);
    setLastRunDate(lastRunDate);
}

bool SystemHealthViewModel::isHealthy() const
{
    if (m_results.isEmpty())
        return false;
    for (const HealthCheckResult &result : m_results) {
        if (result.status != HealthCheckResult::Status::success)
            return false;
    }
    return true;
}

std::optional<QString> SystemHealthViewModel::summaryText(const QLocale &locale) const
{
    if (!m_lastRunDate)
        return std::nullopt;
    return QStringLiteral("Overall: ") + (isHealthy() ? QStringLiteral("Healthy") : QStringLiteral("Needs Attention"))
        + QStringLiteral(" (") + numericDateStandardTimeText(*m_lastRunDate, locale) + u')';
}

void SystemHealthViewModel::setResults(const QList<HealthCheckResult> &results)
{
    m_results = results;
    emit resultsChanged();
}

void SystemHealthViewModel::setRunning(bool running)
{
    if (m_isRunning == running)
        return;
    m_isRunning = running;
    emit isRunningChanged();
}

void SystemHealthViewModel::setLastRunDate(std::optional<TimePoint> date)
{
    m_lastRunDate = date;
    emit lastRunDateChanged();
}
