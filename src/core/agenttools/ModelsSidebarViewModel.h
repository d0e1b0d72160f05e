#pragma once

#include "agenttools/CodexBarUsageRunner.h"
#include "agenttools/ModelUsageAppState.h"
#include "agenttools/ModelUsageSnapshot.h"
#include "common/TimePoint.h"

#include <QCoroTask>
#include <QList>
#include <QObject>
#include <QString>
#include <optional>

// The latest model-usage read, one read at a time, for the models page, the
// start-up prefetch and the local server's usage read. Main thread only.
// After any completed read exactly one of usage() and errorMessage() is set.
class ModelsSidebarViewModel final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ModelsSidebarViewModel)

public:
    static inline const QString kFallbackErrorMessage = QStringLiteral("Unable to read codex usage.");

    explicit ModelsSidebarViewModel(QObject *parent = nullptr);
    explicit ModelsSidebarViewModel(CodexBarUsageOptions options, QObject *parent = nullptr);

    // The snapshots last read; never an empty list.
    const std::optional<QList<ModelUsageSnapshot>> &usage() const { return m_usage; }
    bool isRunning() const { return m_isRunning; }
    // Why the last read gave no usage.
    const std::optional<QString> &errorMessage() const { return m_errorMessage; }
    // The check time of the result last applied.
    std::optional<TimePoint> lastCheckedAt() const { return m_lastCheckedAt; }

    // Reads the usage once (from the main node on a client node, else through
    // codexbar) and publishes it; returns at once while a read runs. Never
    // fails. `appState` must outlive the read.
    QCoro::Task<> refresh(ModelUsageAppState &appState);

    // Takes over a result read elsewhere unless the model already holds one
    // at least as new; no date changes nothing.
    void applyPrefetched(const std::optional<QList<ModelUsageSnapshot>> &usage,
        const std::optional<QString> &errorMessage, std::optional<TimePoint> lastCheckedAt);

signals:
    void usageChanged();
    void isRunningChanged();
    void errorMessageChanged();
    void lastCheckedAtChanged();

private:
    void setUsage(const std::optional<QList<ModelUsageSnapshot>> &usage);
    void setRunning(bool running);
    void setErrorMessage(const std::optional<QString> &message);
    void setLastCheckedAt(std::optional<TimePoint> time);

    CodexBarUsageOptions m_options;
    std::optional<QList<ModelUsageSnapshot>> m_usage;
    bool m_isRunning = false;
    std::optional<QString> m_errorMessage;
    std::optional<TimePoint> m_lastCheckedAt;
};
