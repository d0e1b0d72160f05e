#include "ModelsSidebarViewModel.h"

#include <QPointer>

ModelsSidebarViewModel::ModelsSidebarViewModel(QObject *parent)
    : ModelsSidebarViewModel(CodexBarUsageOptions {}, parent)
{
}

ModelsSidebarViewModel::ModelsSidebarViewModel(CodexBarUsageOptions options, QObject *parent)
    : QObject(parent), m_options(std::move(options))
{
}

QCoro::Task<> ModelsSidebarViewModel::refresh(ModelUsageAppState &appState)
{
    if (m_isRunning)
        co_return;
    setRunning(true);

    const QPointer<ModelsSidebarViewModel> self(this);
    TimePoint checkedAt;
    std::optional<QList<ModelUsageSnapshot>> snapshots;
    std::optional<QString> message;
    if (appState.isClientNodeMode()) {
        QCoro::Task<ModelUsageAPIResponse> asking = appState.fetchClientNodeModelUsage();
        const ModelUsageAPIResponse response = co_await std::move(asking);
        checkedAt = response.checkedAt;
        snapshots = response.snapshots;
        message = response.errorMessage;
    } else {
        const CodexBarUsageRunner runner(m_options);
        QCoro::Task<CodexBarUsageResult> fetching = runner.fetchUsage();
        const CodexBarUsageResult result = co_await std::move(fetching);
        checkedAt = result.checkedAt;
        snapshots = result.snapshots;
        message = result.errorMessage;
    }
    if (!self)
        co_return;

    setLastCheckedAt(checkedAt);
    if (snapshots && !snapshots->isEmpty()) {
        setUsage(snapshots);
        setErrorMessage(std::nullopt);
    } else {
        setUsage(std::nullopt);
        setErrorMessage(message ? *message : kFallbackErrorMessage);
    }
    setRunning(false);
}

void ModelsSidebarViewModel::applyPrefetched(const std::optional<QList<ModelUsageSnapshot>> &usage,
    const std::optional<QString> &errorMessage, std::optional<TimePoint> lastCheckedAt)
{
    if (!lastCheckedAt)
        return;
    if (m_lastCheckedAt && *m_lastCheckedAt >= *lastCheckedAt && (m_usage || m_errorMessage))
        return;
    setUsage(usage);
    setErrorMessage(errorMessage);
    setLastCheckedAt(lastCheckedAt);
}

void ModelsSidebarViewModel::setUsage(const std::optional<QList<ModelUsageSnapshot>> &usage)
{
    m_usage = usage;
    emit usageChanged();
}

void ModelsSidebarViewModel::setRunning(bool running)
{
    if (m_isRunning == running)
        return;
    m_isRunning = running;
    emit isRunningChanged();
}

void ModelsSidebarViewModel::setErrorMessage(const std::optional<QString> &message)
{
    m_errorMessage = message;
    emit errorMessageChanged();
}

void ModelsSidebarViewModel::setLastCheckedAt(std::optional<TimePoint> time)
{
    m_lastCheckedAt = time;
    emit lastCheckedAtChanged();
}
