#pragma once

#include "model/BL_Task.h"

#include <QFrame>
#include <QHash>
#include <QUuid>

class KanbanBoardView;
class QLabel;
class QPainter;
class QPushButton;
class QScrollArea;
class QToolButton;
class TaskBoardColumnModel;
class TaskCardView;

// One status column of the board: its header (title, "+" in Intake,
// "Clear" in Done while it holds tasks, the count) over a vertically
// scrolling list of cards. The cards follow the column's item model row by
// row and are built only for the rows in and near the visible part of the
// list; the rest are spaces of their last known (or an estimated) height.
// The whole panel takes drops of task ids and double clicks.
class BoardColumnView final : public QFrame
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(BoardColumnView)

public:
    static constexpr int kWidth = 280;
    static constexpr int kCardSpacing = 10;
    static constexpr int kEstimatedCardHeight = 96;

    BoardColumnView(KanbanBoardView &board, BL_TaskStatus status, QWidget *parent = nullptr);
    ~BoardColumnView() override;

    BL_TaskStatus status() const { return m_status; }
    TaskBoardColumnModel &model() const { return *m_model; }
    TaskCardView *card(const QUuid &taskID) const { return m_cards.value(taskID); }
    int builtCardCount() const { return int(m_cards.size()); }
    QScrollArea *scrollArea() const { return m_scroll; }

    // Rebuilds the built cards whose kill request changed.
    void refreshKillMarks();
    // Lays the cards out again and builds those that came into view.
    void relayout();

protected:
    void paintEvent(QPaintEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dragMoveEvent(QDragMoveEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateHeader();
    TaskCardView *makeCard(const BL_Task &task);
    void rebuildRows(int first, int last);
    void scheduleRelayout();
    void paintPanel(QPainter &painter) const;

    KanbanBoardView &m_board;
    BL_TaskStatus m_status;
    TaskBoardColumnModel *m_model = nullptr;
    QLabel *m_count = nullptr;
    QToolButton *m_plus = nullptr;
    QPushButton *m_clear = nullptr;
    QScrollArea *m_scroll = nullptr;
    QWidget *m_canvas = nullptr;
    QHash<QUuid, TaskCardView *> m_cards;
    QHash<QUuid, int> m_heights;
    bool m_relayoutPending = false;
    bool m_inRelayout = false;
};
