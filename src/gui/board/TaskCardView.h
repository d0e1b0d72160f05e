#pragma once

#include "board/BL_TaskStyleToken.h"
#include "board/TaskCardPresentation.h"
#include "common/TimePoint.h"
#include "model/BL_Task.h"

#include <QPoint>
#include <QWidget>
#include <functional>

class QLabel;
class QPainter;
class QPushButton;
class QToolButton;
class QVariantAnimation;

// One task on the board: tag, title, submitter, the diff pill of a finished
// task with a patch, the "Killed" marker, and while hovered the worker and
// delegation states, two dates, the task's worker button and its id. The
// border tells the status; a running task's border glows round the card.
// The card decides nothing: every control calls one of its callbacks. A
// press and drag carries the task id as upper-case text.
class TaskCardView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TaskCardView)

public:
    struct Callbacks
    {
        std::function<void()> onDelegate;
        std::function<void()> onMarkDone;
        std::function<void()> onDelete;
        std::function<void()> onOpenDetails;
        std::function<void()> onOpenGitDiff;
        std::function<void(bool)> onHoverChanged;
    };

    TaskCardView(const BL_Task &task, const BL_TaskStyleToken &style, bool isKillRequested,
        const TaskCardRenderModel &renderModel, const Clock &clock, Callbacks callbacks, QWidget *parent = nullptr);
    ~TaskCardView() override;

    // Rebuilds the card for a newer record of its task (or a kill request).
    void update(const BL_Task &task, const BL_TaskStyleToken &style, bool isKillRequested,
        const TaskCardRenderModel &renderModel);

    const BL_Task &task() const { return m_task; }
    bool isHovered() const { return m_hovered; }
    bool isKillRequested() const { return m_killRequested; }
    void setHovered(bool hovered);
    // The glow's current angle; runs only while the card is shown in progress.
    double glowRotation() const { return m_rotation; }
    bool isGlowRunning() const;
    // Text of the drag payload.
    QString dragText() const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void enterEvent(QEnterEvent *event) override;
    void leaveEvent(QEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;

private:
    void build();
    void refresh();
    void syncGlow();
    void paintFrame(QPainter &painter, const QString &border, double rotation) const;

    BL_Task m_task;
    BL_TaskStyleToken m_style;
    bool m_killRequested = false;
    TaskCardRenderModel m_model;
    const Clock &m_clock;
    Callbacks m_callbacks;
    bool m_hovered = false;
    double m_rotation = 0;
    QPoint m_pressPosition;
    bool m_pressed = false;

    QLabel *m_icon = nullptr;
    QLabel *m_tag = nullptr;
    QLabel *m_killed = nullptr;
    QToolButton *m_delete = nullptr;
    QLabel *m_title = nullptr;
    QPushButton *m_pill = nullptr;
    QLabel *m_submitter = nullptr;
    QWidget *m_details = nullptr;
    QLabel *m_workerState = nullptr;
    QLabel *m_delegation = nullptr;
    QLabel *m_lastActivity = nullptr;
    QLabel *m_updated = nullptr;
    QPushButton *m_forceDelegate = nullptr;
    QPushButton *m_workerComplete = nullptr;
    QLabel *m_id = nullptr;
    QVariantAnimation *m_glow = nullptr;
};

// Colours of the card's named colours on the dark look.
namespace CardColors {
QColor named(const QString &name); // red, blue, green, gray, orange, yellow
QColor rgb(const CardRgb &rgb);
} // namespace CardColors
