#pragma once

#include "model/BL_Workspace.h"
#include "platform/MemoryFigures.h"

#include <QWidget>
#include <functional>
#include <optional>

class QLabel;
class QPushButton;
class QTimer;

// The worker capacity card of the workspace header: busy slots of the shared
// pool, the pool buttons, the agents in its tooltip and, when asked, the
// machine's free memory sampled in the background every 15 seconds while
// the card is on screen.
class WorkerCapacityDiagram final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(WorkerCapacityDiagram)

public:
    using Sampler = std::function<std::optional<MemorySnapshot>()>;

    explicit WorkerCapacityDiagram(QWidget *parent = nullptr);
    ~WorkerCapacityDiagram() override;

    void setValues(qint64 poolSize, qint64 running, const QList<BL_Agent> &availableAgents);
    void setShowMemoryDetails(bool show);
    bool showMemoryDetails() const { return m_showMemoryDetails; }

    std::function<void()> onIncreasePool;
    std::function<void()> onDecreasePool;

    // The sample function (run off the main thread) and the period; tests
    // replace both.
    void setSampler(Sampler sampler) { m_sampler = std::move(sampler); }
    void setSamplePeriodMs(int period) { m_samplePeriodMs = period; }
    static std::optional<MemorySnapshot> memorySnapshot();

    const std::optional<MemorySnapshot> &latestMemorySnapshot() const { return m_latestMemorySnapshot; }
    int samplesTaken() const { return m_samplesTaken; }

    static constexpr double progressWidth = 132;
    // The bar's fill width for the given figures (never below 10 points).
    static double fillWidth(qint64 poolSize, qint64 running, double progressWidth);
    static QString hoverHelpText(const QList<BL_Agent> &agents);

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void paintEvent(QPaintEvent *event) override;

private:
    class CapacityBar;

    void restartSampler();
    void stopSampler();
    void takeSample();
    void refreshMemoryLines();

    qint64 m_poolSize = 0;
    qint64 m_running = 0;
    bool m_showMemoryDetails = false;
    Sampler m_sampler;
    int m_samplePeriodMs = 15000;
    std::optional<MemorySnapshot> m_latestMemorySnapshot;
    int m_samplesTaken = 0;
    quint64 m_samplerGeneration = 0;
    bool m_sampleInFlight = false;
    QTimer *m_sampleTimer = nullptr;

    QLabel *m_countLabel = nullptr;
    QLabel *m_poolLabel = nullptr;
    QLabel *m_runningLabel = nullptr;
    QLabel *m_availableLabel = nullptr;
    QLabel *m_usedLabel = nullptr;
    QWidget *m_memoryLines = nullptr;
    CapacityBar *m_bar = nullptr;
};
