#include "TaskCardView.h"

#include "board/TaskDetailPresentation.h"
#include "common/UuidText.h"
#include "shell/DarkAppearance.h"
#include "shell/SymbolIcons.h"

#include <QApplication>
#include <QConicalGradient>
#include <QDrag>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QMimeData>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmapCache>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <QVariantAnimation>

namespace {

constexpr double kRadius = 10;
constexpr double kGlowStepDegrees = 10;

QString rgba(const QColor &color, double alpha)
{
    return QStringLiteral("rgba(%1,%2,%3,%4)").arg(color.red()).arg(color.green()).arg(color.blue()).arg(alpha);
}

QFont smallCaption(QFont::Weight weight = QFont::Normal)
{
    return DarkAppearance::interfaceFont(9, weight);
}

// Text colours go through the palette: a style sheet per label costs a
// restyle each time a card is built or changed.
void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    if (palette.color(QPalette::WindowText) == color)
        return;
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::Text, color);
    widget->setPalette(palette);
}

// Sets a style sheet only when it differs from the one in place.
void setSheet(QWidget *widget, const QString &sheet)
{
    if (widget->styleSheet() != sheet)
        widget->setStyleSheet(sheet);
}

} // namespace

QColor CardColors::named(const QString &name)
{
    if (name == u"red")
        return QColor(0xFF, 0x45, 0x3A);
    if (name == u"blue")
        return QColor(0x0A, 0x84, 0xFF);
    if (name == u"green")
        return QColor(0x30, 0xD1, 0x58);
    if (name == u"orange")
        return QColor(0xFF, 0x9F, 0x0A);
    if (name == u"yellow")
        return QColor(0xFF, 0xD6, 0x0A);
    return QColor(0x8E, 0x8E, 0x93);
}

QColor CardColors::rgb(const CardRgb &rgb)
{
    return QColor::fromRgbF(rgb.red, rgb.green, rgb.blue);
}

TaskCardView::TaskCardView(const BL_Task &task, const BL_TaskStyleToken &style, bool isKillRequested,
    const TaskCardRenderModel &renderModel, const Clock &clock, Callbacks callbacks, QWidget *parent)
    : QWidget(parent),
      m_task(task),
      m_style(style),
      m_killRequested(isKillRequested),
      m_model(renderModel),
      m_clock(clock),
      m_callbacks(std::move(callbacks))
{
    setObjectName(QStringLiteral("taskCard:") + UuidText::upper(task.blID));
    setAttribute(Qt::WA_Hover);
    setMouseTracking(true);
    build();
    refresh();
}

TaskCardView::~TaskCardView() = default;

void TaskCardView::build()
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(10, 10, 10, 10);
    layout->setSpacing(8);

    auto *header = new QHBoxLayout;
    header->setSpacing(8);
    m_icon = new QLabel(this);
    m_icon->setFixedSize(14, 14);
    m_tag = new QLabel(this);
    m_tag->setObjectName(QStringLiteral("taskCardTag"));
    m_tag->setFont(smallCaption());
    // The marker: the stop symbol and "Killed" on a red capsule.
    m_killed = new QLabel(this);
    m_killed->setObjectName(QStringLiteral("taskCardKilled"));
    const QColor red = CardColors::named(QStringLiteral("red"));
    m_killed->setStyleSheet(QStringLiteral("#taskCardKilled { background: %1; border: 1px solid %2;"
                                           " border-radius: 8px; }")
                                .arg(rgba(red, 0.14), rgba(red, 0.4)));
    auto *killedRow = new QHBoxLayout(m_killed);
    killedRow->setContentsMargins(8, 2, 8, 2);
    killedRow->setSpacing(4);
    auto *stop = new QLabel(m_killed);
    stop->setPixmap(SymbolIcons::icon(QStringLiteral("stop.fill")).pixmap(10, 10));
    killedRow->addWidget(stop);
    auto *killedText = new QLabel(QStringLiteral("Killed"), m_killed);
    killedText->setFont(smallCaption(QFont::DemiBold));
    killedText->setStyleSheet(QStringLiteral("color: %1; background: transparent; border: none;").arg(red.name()));
    killedRow->addWidget(killedText);
    m_delete = new QToolButton(this);
    m_delete->setObjectName(QStringLiteral("taskCardDelete"));
    m_delete->setFixedSize(18, 18);
    m_delete->setText(QStringLiteral("\u2715"));
    m_delete->setFont(smallCaption(QFont::Bold));
    m_delete->setCursor(Qt::PointingHandCursor);
    connect(m_delete, &QToolButton::clicked, this, [this] {
        if (m_callbacks.onDelete)
            m_callbacks.onDelete();
    });
    header->addWidget(m_icon);
    header->addWidget(m_tag);
    header->addWidget(m_killed);
    header->addStretch(1);
    header->addWidget(m_delete);
    layout->addLayout(header);

    m_title = new QLabel(this);
    m_title->setObjectName(QStringLiteral("taskCardTitle"));
    m_title->setWordWrap(true);
    m_title->setFont(DarkAppearance::interfaceFont(11));
    m_title->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_title->setMaximumHeight(QFontMetrics(m_title->font()).lineSpacing() * 2 + 1);
    m_title->setTextFormat(Qt::PlainText);
    layout->addWidget(m_title);

    m_pill = new QPushButton(this);
    m_pill->setObjectName(QStringLiteral("taskCardDiffPill"));
    m_pill->setCursor(Qt::PointingHandCursor);
    m_pill->setFont(smallCaption(QFont::DemiBold));
    const QColor orange = CardColors::named(QStringLiteral("orange"));
    m_pill->setStyleSheet(
        QStringLiteral("QPushButton { color: %1; background: %2; border: 1px solid %3; border-radius: 10px;"
                       " padding: 3px 8px; }")
            .arg(rgba(orange, 0.95), rgba(orange, 0.16), rgba(orange, 0.35)));
    connect(m_pill, &QPushButton::clicked, this, [this] {
        if (m_callbacks.onOpenGitDiff)
            m_callbacks.onOpenGitDiff();
    });
    layout->addWidget(m_pill, 0, Qt::AlignLeft);

    m_submitter = new QLabel(this);
    m_submitter->setObjectName(QStringLiteral("taskCardSubmitter"));
    m_submitter->setFont(smallCaption());
    layout->addWidget(m_submitter);

    m_details = new QWidget(this);
    m_details->setObjectName(QStringLiteral("taskCardDetails"));
    auto *details = new QVBoxLayout(m_details);
    details->setContentsMargins(0, 0, 0, 0);
    details->setSpacing(8);
    auto addLine = [&](const char *name) {
        auto *label = new QLabel(m_details);
        label->setObjectName(QLatin1String(name));
        label->setFont(smallCaption());
        // Long state names and ids are cut in the middle rather than
        // pushing the card wider.
        label->setMinimumWidth(0);
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        details->addWidget(label);
        return label;
    };
    m_workerState = addLine("taskCardWorkerState");
    m_delegation = addLine("taskCardDelegation");
    m_lastActivity = addLine("taskCardLastActivity");
    m_updated = addLine("taskCardUpdated");
    m_forceDelegate = new QPushButton(QStringLiteral("Force delegate"), m_details);
    m_forceDelegate->setObjectName(QStringLiteral("taskCardForceDelegate"));
    m_forceDelegate->setFont(smallCaption());
    m_forceDelegate->setStyleSheet(
        QStringLiteral("QPushButton { color: white; background: #0a84ff; border-radius: 5px; padding: 2px 8px; }"));
    connect(m_forceDelegate, &QPushButton::clicked, this, [this] {
        if (m_callbacks.onDelegate)
            m_callbacks.onDelegate();
    });
    details->addWidget(m_forceDelegate, 0, Qt::AlignLeft);
    m_workerComplete = new QPushButton(QStringLiteral("Worker Complete"), m_details);
    m_workerComplete->setObjectName(QStringLiteral("taskCardWorkerComplete"));
    m_workerComplete->setFont(smallCaption());
    connect(m_workerComplete, &QPushButton::clicked, this, [this] {
        if (m_callbacks.onMarkDone)
            m_callbacks.onMarkDone();
    });
    details->addWidget(m_workerComplete, 0, Qt::AlignLeft);
    m_id = addLine("taskCardID");
    m_id->setFont(DarkAppearance::interfaceFont(8));
    m_id->setTextInteractionFlags(Qt::NoTextInteraction);
    layout->addWidget(m_details);
    m_details->setVisible(false);

    m_glow = new QVariantAnimation(this);
    m_glow->setStartValue(0.0);
    m_glow->setEndValue(360.0);
    m_glow->setDuration(1400);
    m_glow->setLoopCount(-1);
    connect(m_glow, &QVariantAnimation::valueChanged, this, [this](const QVariant &value) {
        // The border is drawn in steps of a few degrees; only a new step
        // repaints the card.
        const int before = int(m_rotation / kGlowStepDegrees);
        m_rotation = value.toDouble();
        if (int(m_rotation / kGlowStepDegrees) != before)
            QWidget::update();
    });
}

void TaskCardView::update(
    const BL_Task &task, const BL_TaskStyleToken &style, bool isKillRequested, const TaskCardRenderModel &renderModel)
{
    m_task = task;
    m_style = style;
    m_killRequested = isKillRequested;
    m_model = renderModel;
    refresh();
}

void TaskCardView::refresh()
{
    const QString chipName = TaskCardRules::tagChipColorName(m_style.colorName);
    const QColor chip = CardColors::named(chipName);
    m_icon->setPixmap(SymbolIcons::icon(m_style.iconName).pixmap(14, 14));
    m_tag->setText(m_style.tagLabel);
    setSheet(m_tag,
        QStringLiteral("QLabel { color: %1; background: %2; border-radius: 8px; padding: 2px 8px; }")
            .arg(chip.name(), rgba(chip, 0.12)));
    m_tag->setProperty("chipColor", chipName);

    const bool killed = TaskCardRules::showsKilled(m_task.status, m_killRequested);
    m_killed->setVisible(killed);
    m_delete->setEnabled(!killed);
    const QColor red = CardColors::named(QStringLiteral("red"));
    const QColor deleteColor = killed ? DarkAppearance::secondaryTextColor() : red;
    const QColor deleteFill = killed ? CardColors::named(QStringLiteral("gray")) : red;
    setSheet(m_delete,
        QStringLiteral("QToolButton { color: %1; background: %2; border: none; border-radius: 9px; }")
            .arg(deleteColor.name(), rgba(deleteFill, 0.12)));

    m_title->setText(m_model.title);
    const bool pill = TaskCardRules::canOpenGitDiffFromCard(m_task, m_model) && m_model.gitDiffSummary;
    m_pill->setVisible(pill);
    if (pill) {
        // A push button draws one colour; the two counts keep their own
        // colours through a rich-text label inside it.
        auto *label = m_pill->findChild<QLabel *>(QStringLiteral("taskCardDiffPillText"));
        if (!label) {
            label = new QLabel(m_pill);
            label->setObjectName(QStringLiteral("taskCardDiffPillText"));
            label->setAttribute(Qt::WA_TransparentForMouseEvents);
            label->setFont(m_pill->font());
            auto *pillLayout = new QHBoxLayout(m_pill);
            pillLayout->setContentsMargins(8, 3, 8, 3);
            pillLayout->addWidget(label);
        }
        const QColor green = CardColors::named(QStringLiteral("green"));
        label->setText(
            QStringLiteral("<span style=\"color:%1\">+%2</span>&nbsp;&nbsp;<span style=\"color:%3\">-%4</span>")
                .arg(rgba(green, 0.95))
                .arg(m_model.gitDiffSummary->linesAdded)
                .arg(rgba(red, 0.95))
                .arg(m_model.gitDiffSummary->linesRemoved));
        m_pill->setAccessibleName(QStringLiteral("+%1 -%2")
                                      .arg(m_model.gitDiffSummary->linesAdded)
                                      .arg(m_model.gitDiffSummary->linesRemoved));
        m_pill->setMinimumSize(label->sizeHint() + QSize(16, 6));
    }
    m_submitter->setVisible(m_model.submitterUsername.has_value());
    if (m_model.submitterUsername)
        m_submitter->setText(QStringLiteral("By: ") + *m_model.submitterUsername);

    const QColor secondary = DarkAppearance::secondaryTextColor();
    for (QLabel *label : {m_submitter, m_workerState, m_delegation, m_updated, m_id})
        setTextColor(label, secondary);
    m_workerState->setText(QStringLiteral("Worker Status: ") + rawValue(m_task.workerState));
    m_delegation->setText(QStringLiteral("Delegation: ") + rawValue(m_task.delegationState));
    m_lastActivity->setText(
        QStringLiteral("Last Activity: ") + TaskDetailPresentation::displayTime(m_task.taskLastActivityDate));
    const bool stale = TaskCardRules::isPotentiallyStale(m_task, m_clock.now());
    setTextColor(m_lastActivity, stale ? red : secondary);
    m_lastActivity->setProperty("stale", stale);
    m_updated->setText(QStringLiteral("Updated: ") + TaskDetailPresentation::displayTime(m_task.updatedAt));
    m_forceDelegate->setVisible(TaskCardRules::showsForceDelegate(m_task.status));
    m_workerComplete->setVisible(TaskCardRules::showsWorkerComplete(m_task.status));
    m_id->setText(UuidText::upper(m_task.blID));
    syncGlow();
    updateGeometry();
    QWidget::update();
}

void TaskCardView::setHovered(bool hovered)
{
    if (m_hovered == hovered)
        return;
    m_hovered = hovered;
    if (hovered) {
        // Staleness is judged when the details are drawn; no timer redraws it.
        const bool stale = TaskCardRules::isPotentiallyStale(m_task, m_clock.now());
        setTextColor(
            m_lastActivity, stale ? CardColors::named(QStringLiteral("red")) : DarkAppearance::secondaryTextColor());
        m_lastActivity->setProperty("stale", stale);
    }
    m_details->setVisible(hovered);
    updateGeometry();
    if (m_callbacks.onHoverChanged)
        m_callbacks.onHoverChanged(hovered);
}

bool TaskCardView::isGlowRunning() const
{
    return m_glow->state() == QAbstractAnimation::Running;
}

QString TaskCardView::dragText() const
{
    return UuidText::upper(m_task.blID);
}

void TaskCardView::syncGlow()
{
    const bool glow = m_task.status == BL_TaskStatus::inProgress && isVisible();
    if (glow && m_glow->state() != QAbstractAnimation::Running) {
        m_rotation = 0;
        m_glow->start();
    } else if (!glow && m_glow->state() != QAbstractAnimation::Stopped) {
        m_glow->stop();
        m_rotation = 0;
    }
}

int TaskCardView::heightForWidth(int width) const
{
    return layout()->totalHeightForWidth(width);
}

QSize TaskCardView::sizeHint() const
{
    return QSize(256, heightForWidth(256));
}

void TaskCardView::paintEvent(QPaintEvent *)
{
    // The frame is drawn once per size, status, border and glow step and
    // kept in the pixmap cache: cards of a column share their frames.
    const QString border = TaskCardRules::borderColorName(m_task, m_model);
    const int step = border == u"glow" ? int(m_rotation / kGlowStepDegrees) : 0;
    const qreal ratio = devicePixelRatioF();
    const QString key = QStringLiteral("taskCardFrame:%1x%2@%3:%4:%5:%6")
                            .arg(width())
                            .arg(height())
                            .arg(ratio)
                            .arg(int(m_task.status))
                            .arg(border)
                            .arg(step);
    QPixmap frame;
    if (!QPixmapCache::find(key, &frame)) {
        frame = QPixmap(size() * ratio);
        frame.setDevicePixelRatio(ratio);
        frame.fill(Qt::transparent);
        QPainter painter(&frame);
        paintFrame(painter, border, step * kGlowStepDegrees);
        painter.end();
        QPixmapCache::insert(key, frame);
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, frame);
}

void TaskCardView::paintFrame(QPainter &painter, const QString &border, double rotation) const
{
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = QRectF(rect()).adjusted(2, 2, -2, -2);
    QPainterPath shape;
    shape.addRoundedRect(bounds, kRadius, kRadius);
    const auto [start, end] = TaskCardRules::backgroundGradient(m_task.status);
    QLinearGradient fill(bounds.topLeft(), bounds.bottomRight());
    fill.setColorAt(0, CardColors::rgb(start));
    fill.setColorAt(1, CardColors::rgb(end));
    painter.fillPath(shape, fill);

    if (border == u"glow") {
        const QColor yellow = CardColors::named(QStringLiteral("yellow"));
        const QColor orange = CardColors::named(QStringLiteral("orange"));
        // A soft yellow halo, then the turning gradient stroke.
        for (int i = 3; i >= 1; --i) {
            QColor halo = yellow;
            halo.setAlphaF(0.55 * 0.12 * i);
            painter.setPen(QPen(halo, 2.4 + i * 1.6));
            painter.drawRoundedRect(bounds.adjusted(1.2, 1.2, -1.2, -1.2), kRadius, kRadius);
        }
        QConicalGradient gradient(bounds.center(), -rotation);
        auto stop = [](QColor color, double alpha) {
            color.setAlphaF(alpha);
            return color;
        };
        gradient.setColorAt(0.0, stop(yellow, 0.15));
        gradient.setColorAt(0.25, stop(yellow, 0.85));
        gradient.setColorAt(0.5, stop(orange, 0.95));
        gradient.setColorAt(0.75, stop(yellow, 0.85));
        gradient.setColorAt(1.0, stop(yellow, 0.15));
        painter.setPen(QPen(QBrush(gradient), 2.4));
        painter.drawRoundedRect(bounds.adjusted(1.2, 1.2, -1.2, -1.2), kRadius, kRadius);
    } else {
        QColor color = CardColors::named(border);
        color.setAlphaF(0.7);
        painter.setPen(QPen(color, 1.6));
        painter.drawRoundedRect(bounds.adjusted(0.8, 0.8, -0.8, -0.8), kRadius, kRadius);
    }
}

void TaskCardView::enterEvent(QEnterEvent *event)
{
    QWidget::enterEvent(event);
    setHovered(true);
}

void TaskCardView::leaveEvent(QEvent *event)
{
    QWidget::leaveEvent(event);
    setHovered(false);
}

void TaskCardView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    syncGlow();
}

void TaskCardView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    syncGlow();
    // A card that leaves the screen no longer has the pointer.
    m_hovered = false;
    m_details->setVisible(false);
    if (m_callbacks.onHoverChanged)
        m_callbacks.onHoverChanged(false);
}

void TaskCardView::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        m_pressed = true;
        m_pressPosition = event->position().toPoint();
    }
    QWidget::mousePressEvent(event);
}

void TaskCardView::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_pressed
        || (event->position().toPoint() - m_pressPosition).manhattanLength() < QApplication::startDragDistance()) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    m_pressed = false;
    auto *drag = new QDrag(this);
    auto *mime = new QMimeData;
    mime->setText(dragText());
    drag->setMimeData(mime);
    drag->setPixmap(grab().scaledToWidth(std::min(width(), 220), Qt::SmoothTransformation));
    drag->exec(Qt::MoveAction | Qt::CopyAction);
}

void TaskCardView::mouseReleaseEvent(QMouseEvent *event)
{
    const bool click = m_pressed && event->button() == Qt::LeftButton;
    m_pressed = false;
    QWidget::mouseReleaseEvent(event);
    if (click && m_callbacks.onOpenDetails)
        m_callbacks.onOpenDetails();
}

void TaskCardView::mouseDoubleClickEvent(QMouseEvent *event)
{
    // The double click opens the details as a click does; the column's own
    // double-click rule sees it only outside the cards.
    event->accept();
    m_pressed = false;
    if (m_callbacks.onOpenDetails)
        m_callbacks.onOpenDetails();
}
