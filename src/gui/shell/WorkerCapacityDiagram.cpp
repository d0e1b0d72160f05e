#include "WorkerCapacityDiagram.h"

#include "DarkAppearance.h"
#include "SymbolIcons.h"

#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <QtConcurrent>

namespace {

QLabel *symbolLabel(const QString &symbol, int size, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setPixmap(SymbolIcons::icon(symbol).pixmap(size, size));
    label->setProperty("symbolName", symbol);
    return label;
}

QLabel *textLabel(const QString &objectName, const QFont &font, const QString &color, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setFont(font);
    label->setStyleSheet(QStringLiteral("color: %1;").arg(color));
    return label;
}

} // namespace

// The capacity bar: a track and a gradient fill, both 11 points high.
class WorkerCapacityDiagram::CapacityBar final : public QWidget
{
public:
    explicit CapacityBar(QWidget *parent) : QWidget(parent)
    {
        setObjectName(QStringLiteral("capacityBar"));
        setFixedSize(int(progressWidth), 11);
    }
    double fill = 10;

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(QColor(255, 255, 255, int(0.14 * 255)));
        painter.drawRoundedRect(QRectF(0, 0, progressWidth, 11), 5.5, 5.5);
        QLinearGradient gradient(0, 0, fill, 0);
        gradient.setColorAt(0, QColor::fromRgbF(0.41f, 0.36f, 0.88f));
        gradient.setColorAt(1, QColor::fromRgbF(0.25f, 0.58f, 0.97f));
        painter.setBrush(gradient);
        painter.drawRoundedRect(QRectF(0, 0, fill, 11), 5.5, 5.5);
    }
};

WorkerCapacityDiagram::WorkerCapacityDiagram(QWidget *parent) : QWidget(parent), m_sampler(&memorySnapshot)
{
    setObjectName(QStringLiteral("workerCapacityDiagram"));
    setAttribute(Qt::WA_TranslucentBackground);
    auto *column = new QVBoxLayout(this);
    column->setContentsMargins(12, 10, 12, 10);
    column->setSpacing(8);

    auto *title = new QHBoxLayout;
    title->setSpacing(8);
    title->addWidget(symbolLabel(QStringLiteral("person.3.fill"), 16, this));
    auto *heading = textLabel(QStringLiteral("capacityTitle"), DarkAppearance::interfaceFont(11, QFont::DemiBold),
        QStringLiteral("white"), this);
    heading->setText(QStringLiteral("Task runners"));
    title->addWidget(heading);
    m_countLabel = textLabel(
        QStringLiteral("capacityCount"), DarkAppearance::interfaceFont(11, QFont::Bold), QStringLiteral("white"), this);
    title->addWidget(m_countLabel);
    title->addStretch(1);
    auto makeButton = [this](const QString &name, const QString &symbol, const QString &tip) {
        auto *button = new QPushButton(SymbolIcons::icon(symbol), QString(), this);
        button->setObjectName(name);
        button->setProperty("symbolName", symbol);
        button->setToolTip(tip);
        button->setFlat(true);
        button->setCursor(Qt::PointingHandCursor);
        button->setStyleSheet(QStringLiteral("QPushButton { border: none; padding: 0; background: transparent; }"));
        return button;
    };
    QPushButton *minus = makeButton(
        QStringLiteral("decreasePoolButton"), QStringLiteral("minus.circle"), QStringLiteral("Decrease pool"));
    QPushButton *plus = makeButton(
        QStringLiteral("increasePoolButton"), QStringLiteral("plus.circle"), QStringLiteral("Increase pool"));
    connect(minus, &QPushButton::clicked, this, [this] {
        if (onDecreasePool)
            onDecreasePool();
    });
    connect(plus, &QPushButton::clicked, this, [this] {
        if (onIncreasePool)
            onIncreasePool();
    });
    title->addWidget(minus);
    title->addWidget(plus);
    column->addLayout(title);

    m_bar = new CapacityBar(this);
    column->addWidget(m_bar);

    auto *counts = new QHBoxLayout;
    counts->setSpacing(10);
    const QFont caption = DarkAppearance::interfaceFont(9);
    const QString secondary = QStringLiteral("#9a9ca1");
    counts->addWidget(symbolLabel(QStringLiteral("square.stack.3d.up.fill"), 12, this));
    m_poolLabel = textLabel(QStringLiteral("capacityPool"), caption, secondary, this);
    counts->addWidget(m_poolLabel);
    counts->addWidget(symbolLabel(QStringLiteral("bolt.fill"), 12, this));
    m_runningLabel = textLabel(QStringLiteral("capacityRunning"), caption, secondary, this);
    counts->addWidget(m_runningLabel);
    counts->addStretch(1);
    column->addLayout(counts);

    m_memoryLines = new QWidget(this);
    m_memoryLines->setObjectName(QStringLiteral("memoryLines"));
    auto *memory = new QVBoxLayout(m_memoryLines);
    memory->setContentsMargins(0, 0, 0, 0);
    memory->setSpacing(2);
    m_availableLabel = textLabel(QStringLiteral("memoryAvailable"), caption, secondary, m_memoryLines);
    m_usedLabel = textLabel(QStringLiteral("memoryUsed"), DarkAppearance::interfaceFont(8),
        QStringLiteral("rgba(154,156,161,0.9)"), m_memoryLines);
    memory->addWidget(m_availableLabel);
    memory->addWidget(m_usedLabel);
    column->addWidget(m_memoryLines);
    m_memoryLines->hide();

    m_sampleTimer = new QTimer(this);
    m_sampleTimer->setSingleShot(true);
    connect(m_sampleTimer, &QTimer::timeout, this, &WorkerCapacityDiagram::takeSample);

    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    setValues(0, 0, {});
}

WorkerCapacityDiagram::~WorkerCapacityDiagram() = default;

double WorkerCapacityDiagram::fillWidth(qint64 poolSize, qint64 running, double width)
{
    double fraction = 0;
    if (poolSize >= 1)
        fraction = double(running < 1 ? 0 : std::min(poolSize, running)) / double(poolSize);
    return std::max(width * fraction, 10.0);
}

QString WorkerCapacityDiagram::hoverHelpText(const QList<BL_Agent> &agents)
{
    if (agents.isEmpty())
        return QStringLiteral("No configured agents for this project.");
    QStringList lines {QStringLiteral("Available Brimlock agents:")};
    for (const BL_Agent &agent : agents) {
        const QString capabilities
            = agent.capabilities.isEmpty() ? QStringLiteral("general") : agent.capabilities.join(QStringLiteral(", "));
        lines << QStringLiteral("\u2022 %1 (%2) \u2014 %3").arg(agent.name, agent.model, capabilities);
    }
    return lines.join(u'\n');
}

void WorkerCapacityDiagram::setValues(qint64 poolSize, qint64 running, const QList<BL_Agent> &availableAgents)
{
    m_poolSize = poolSize;
    m_running = running;
    const qint64 pool = std::max<qint64>(poolSize, 0);
    const qint64 busy = std::min(pool, std::max<qint64>(running, 0));
    m_countLabel->setText(QStringLiteral("%1/%2 active").arg(busy).arg(pool));
    m_poolLabel->setText(QStringLiteral("Pool %1").arg(pool));
    m_runningLabel->setText(QStringLiteral("Running %1").arg(busy));
    m_bar->fill = fillWidth(poolSize, running, progressWidth);
    m_bar->update();
    setToolTip(hoverHelpText(availableAgents));
}

void WorkerCapacityDiagram::setShowMemoryDetails(bool show)
{
    if (m_showMemoryDetails == show)
        return;
    m_showMemoryDetails = show;
    restartSampler();
}

std::optional<MemorySnapshot> WorkerCapacityDiagram::memorySnapshot()
{
    return MemoryFiguresReader::snapshot(MemoryFiguresReader::system());
}

void WorkerCapacityDiagram::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    restartSampler();
}

void WorkerCapacityDiagram::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    stopSampler();
}

void WorkerCapacityDiagram::stopSampler()
{
    ++m_samplerGeneration; // a sample still in flight is dropped when it lands
    m_sampleTimer->stop();
}

void WorkerCapacityDiagram::restartSampler()
{
    stopSampler();
    if (!m_showMemoryDetails) {
        m_latestMemorySnapshot.reset();
        refreshMemoryLines();
        return;
    }
    if (isVisible())
        takeSample();
}

void WorkerCapacityDiagram::takeSample()
{
    // Samples never overlap: a restart while one runs waits for it to land.
    if (m_sampleInFlight)
        return;
    m_sampleInFlight = true;
    const quint64 generation = m_samplerGeneration;
    auto *watcher = new QFutureWatcher<std::optional<MemorySnapshot>>(this);
    connect(watcher, &QFutureWatcher<std::optional<MemorySnapshot>>::finished, this, [this, watcher, generation] {
        watcher->deleteLater();
        m_sampleInFlight = false;
        ++m_samplesTaken;
        if (generation != m_samplerGeneration) {
            // Restarted meanwhile: sample afresh for the new run.
            if (m_showMemoryDetails && isVisible())
                takeSample();
            return;
        }
        m_latestMemorySnapshot = watcher->result();
        refreshMemoryLines();
        m_sampleTimer->start(m_samplePeriodMs);
    });
    watcher->setFuture(QtConcurrent::run(m_sampler));
}

void WorkerCapacityDiagram::refreshMemoryLines()
{
    const bool shown = m_showMemoryDetails && m_latestMemorySnapshot.has_value();
    if (shown) {
        m_availableLabel->setText(
            QStringLiteral("System available memory: %1 GB").arg(m_latestMemorySnapshot->systemAvailableGB, 0, 'f', 2));
        m_usedLabel->setText(QStringLiteral("Memory used: %1%").arg(m_latestMemorySnapshot->usedPercent, 0, 'f', 2));
    }
    m_memoryLines->setVisible(shown);
}

void WorkerCapacityDiagram::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF card = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setBrush(QColor(255, 255, 255, int(0.08 * 255)));
    painter.setPen(QPen(QColor(255, 255, 255, int(0.16 * 255)), 1));
    painter.drawRoundedRect(card, 12, 12);
}
