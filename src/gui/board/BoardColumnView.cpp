#include "BoardColumnView.h"

#include "KanbanBoardView.h"
#include "TaskCardView.h"
#include "board/TaskBoardColumnModel.h"
#include "board/TaskCardPresentation.h"
#include "shell/DarkAppearance.h"
#include "shell/SymbolIcons.h"

#include <QDragEnterEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPixmapCache>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

// Rows this far outside the visible part are built too, so a short scroll
// finds its cards ready.
constexpr int kBuildMargin = 400;

QString statusName(BL_TaskStatus status)
{
    switch (status) {
    case BL_TaskStatus::backlog:
        return QStringLiteral("Backlog");
    case BL_TaskStatus::queued:
        return QStringLiteral("Intake");
    case BL_TaskStatus::inProgress:
        return QStringLiteral("InProgress");
    case BL_TaskStatus::completed:
    case BL_TaskStatus::failed:
        return QStringLiteral("Done");
    }
    return {};
}

} // namespace

BoardColumnView::BoardColumnView(KanbanBoardView &board, BL_TaskStatus status, QWidget *parent)
    : QFrame(parent), m_board(board), m_status(status)
{
    setObjectName(QStringLiteral("boardColumn") + statusName(status));
    setFixedWidth(kWidth);
    setMinimumHeight(360);
    setAcceptDrops(true);
    setAttribute(Qt::WA_TranslucentBackground);
    m_model = new TaskBoardColumnModel(&board.store(), BoardRules::columnStatuses(status), this);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(12);
    auto *header = new QHBoxLayout;
    header->setSpacing(8);
    auto *title = new QLabel(BoardRules::columnTitle(status), this);
    title->setObjectName(QStringLiteral("boardColumnTitle"));
    title->setFont(DarkAppearance::interfaceFont(11, QFont::DemiBold));
    title->setMinimumWidth(0);
    title->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    header->addWidget(title, 1);
    if (status == BL_TaskStatus::queued) {
        m_plus = new QToolButton(this);
        m_plus->setObjectName(QStringLiteral("boardCreateButton"));
        m_plus->setFixedSize(24, 24);
        m_plus->setIcon(SymbolIcons::icon(QStringLiteral("plus")));
        m_plus->setIconSize(QSize(12, 12));
        m_plus->setToolTip(QStringLiteral("New task (Ctrl+/)"));
        m_plus->setCursor(Qt::PointingHandCursor);
        m_plus->setStyleSheet(QStringLiteral(
            "QToolButton { background: rgba(255,255,255,0.16); border: 1px solid rgba(255,255,255,0.32);"
            " border-radius: 12px; }"
            "QToolButton:hover { background: rgba(255,255,255,0.30); border: 1px solid rgba(255,255,255,0.60); }"));
        connect(m_plus, &QToolButton::clicked, this, [this] { m_board.requestCreate(BL_TaskStatus::queued); });
        header->addWidget(m_plus);
    }
    if (status == BL_TaskStatus::completed) {
        m_clear = new QPushButton(QStringLiteral("Clear"), this);
        m_clear->setObjectName(QStringLiteral("boardClearButton"));
        m_clear->setFont(DarkAppearance::interfaceFont(10, QFont::DemiBold));
        m_clear->setCursor(Qt::PointingHandCursor);
        m_clear->setStyleSheet(QStringLiteral("QPushButton { color: #ff453a; background: rgba(255,69,58,0.14);"
                                              " border: none; border-radius: 9px; padding: 3px 8px; }"));
        connect(m_clear, &QPushButton::clicked, this, [this] { m_board.requestClearDone(); });
        header->addWidget(m_clear);
    }
    m_count = new QLabel(this);
    m_count->setObjectName(QStringLiteral("boardColumnCount"));
    m_count->setFont(DarkAppearance::interfaceFont(10));
    m_count->setStyleSheet(QStringLiteral("color: %1;").arg(DarkAppearance::secondaryTextColor().name()));
    header->addWidget(m_count);
    layout->addLayout(header);

    m_scroll = new QScrollArea(this);
    m_scroll->setObjectName(QStringLiteral("boardColumnCards"));
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    m_scroll->setWidgetResizable(false);
    m_scroll->viewport()->setAutoFillBackground(false);
    m_scroll->setStyleSheet(QStringLiteral("QScrollArea { background: transparent; }"
                                           "QScrollBar:vertical { width: 6px; }"));
    m_canvas = new QWidget;
    m_canvas->setObjectName(QStringLiteral("boardColumnCanvas"));
    m_canvas->setAutoFillBackground(false);
    m_scroll->setWidget(m_canvas);
    m_scroll->viewport()->installEventFilter(this);
    layout->addWidget(m_scroll, 1);
    connect(m_scroll->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { relayout(); });

    connect(m_model, &QAbstractItemModel::rowsInserted, this, [this] { scheduleRelayout(); });
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, [this] { scheduleRelayout(); });
    connect(m_model, &QAbstractItemModel::rowsMoved, this, [this] { scheduleRelayout(); });
    connect(m_model, &QAbstractItemModel::modelReset, this, [this] { scheduleRelayout(); });
    connect(m_model, &QAbstractItemModel::layoutChanged, this, [this] { scheduleRelayout(); });
    connect(m_model, &QAbstractItemModel::dataChanged, this,
        [this](const QModelIndex &top, const QModelIndex &bottom) { rebuildRows(top.row(), bottom.row()); });
    updateHeader();
    relayout();
}

BoardColumnView::~BoardColumnView() = default;

void BoardColumnView::updateHeader()
{
    const int count = m_model->rowCount();
    m_count->setText(QString::number(count));
    if (m_clear)
        m_clear->setVisible(count > 0);
}

void BoardColumnView::scheduleRelayout()
{
    updateHeader();
    // Rows that left take their cards with them at once, so no card shows a
    // task the column no longer holds.
    const QList<QUuid> &ids = m_model->taskIDs();
    const QSet<QUuid> present(ids.begin(), ids.end());
    QList<TaskCardView *> gone;
    for (auto it = m_cards.begin(); it != m_cards.end();) {
        if (!present.contains(it.key())) {
            gone.append(it.value());
            m_heights.remove(it.key());
            it = m_cards.erase(it);
        } else {
            ++it;
        }
    }
    for (TaskCardView *card : gone) {
        card->hide();
        card->deleteLater();
    }
    relayout();
}

TaskCardView *BoardColumnView::makeCard(const BL_Task &task)
{
    const QUuid id = task.blID;
    TaskCardView::Callbacks callbacks;
    callbacks.onDelegate = [board = &m_board, id] {
        if (board->callbacks().onDelegateTask)
            board->callbacks().onDelegateTask(id);
    };
    callbacks.onMarkDone = [board = &m_board, id] {
        if (board->callbacks().onMarkWorkerDone)
            board->callbacks().onMarkWorkerDone(id);
    };
    callbacks.onDelete = [board = &m_board, id] { board->deleteFromCard(id); };
    callbacks.onOpenDetails = [board = &m_board, id] { board->openDetailsFromCard(id); };
    callbacks.onOpenGitDiff = [board = &m_board, id] { board->openBoardGitDiff(id); };
    callbacks.onHoverChanged = [this, id](bool hovered) {
        m_board.cardHoverChanged(id, hovered);
        // The hover details change the card's height.
        QMetaObject::invokeMethod(this, &BoardColumnView::relayout, Qt::QueuedConnection);
    };
    auto *card
        = new TaskCardView(task, m_board.store().taskStyle(task), m_board.cancellationRequestedTaskIDs().contains(id),
            TaskCardRenderModel(task, m_board.environment().patchReader), *m_board.environment().clock,
            std::move(callbacks), m_canvas);
    return card;
}

void BoardColumnView::rebuildRows(int first, int last)
{
    const QList<QUuid> &ids = m_model->taskIDs();
    bool changed = false;
    for (int row = std::max(first, 0); row <= last && row < ids.size(); ++row) {
        TaskCardView *card = m_cards.value(ids[row]);
        const auto task = m_board.store().task(ids[row]);
        if (!card || !task)
            continue;
        card->update(*task, m_board.store().taskStyle(*task),
            m_board.cancellationRequestedTaskIDs().contains(task->blID),
            TaskCardRenderModel(*task, m_board.environment().patchReader));
        changed = true;
    }
    if (changed)
        relayout();
}

void BoardColumnView::refreshKillMarks()
{
    for (auto it = m_cards.cbegin(); it != m_cards.cend(); ++it) {
        const bool requested = m_board.cancellationRequestedTaskIDs().contains(it.key());
        if (requested == it.value()->isKillRequested())
            continue;
        if (const auto task = m_board.store().task(it.key()))
            it.value()->update(*task, m_board.store().taskStyle(*task), requested,
                TaskCardRenderModel(*task, m_board.environment().patchReader));
    }
    relayout();
}

void BoardColumnView::relayout()
{
    if (m_inRelayout)
        return;
    m_inRelayout = true;
    const QList<QUuid> &ids = m_model->taskIDs();
    const int width = m_scroll->viewport()->width() - 2;
    const int top = m_scroll->verticalScrollBar()->value();
    const int bottom = top + m_scroll->viewport()->height();
    QSet<QUuid> wanted;
    int y = 0;
    for (const QUuid &id : ids) {
        int height = m_heights.value(id, kEstimatedCardHeight);
        const bool near = y + height >= top - kBuildMargin && y <= bottom + kBuildMargin;
        if (near) {
            TaskCardView *card = m_cards.value(id);
            if (!card) {
                const auto task = m_board.store().task(id);
                if (!task)
                    continue; // a row whose record is not there yet is not drawn
                card = makeCard(*task);
                m_cards.insert(id, card);
            }
            height = card->heightForWidth(width);
            m_heights.insert(id, height);
            card->setGeometry(1, y, width, height);
            if (!card->isVisible())
                card->show();
            wanted.insert(id);
        }
        y += height + kCardSpacing;
    }
    QList<TaskCardView *> gone;
    for (auto it = m_cards.begin(); it != m_cards.end();) {
        if (!wanted.contains(it.key())) {
            gone.append(it.value());
            it = m_cards.erase(it);
        } else {
            ++it;
        }
    }
    for (TaskCardView *card : gone) {
        card->hide();
        card->deleteLater();
    }
    m_canvas->resize(std::max(width + 2, 0), std::max(y - kCardSpacing, 0));
    m_inRelayout = false;
}

bool BoardColumnView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_scroll->viewport() && event->type() == QEvent::Resize)
        QTimer::singleShot(0, this, [this] { relayout(); });
    return QFrame::eventFilter(watched, event);
}

void BoardColumnView::paintEvent(QPaintEvent *)
{
    // The panel is drawn once per size and kept in the pixmap cache.
    const qreal ratio = devicePixelRatioF();
    const QString key = QStringLiteral("boardColumnPanel:%1x%2@%3").arg(width()).arg(height()).arg(ratio);
    QPixmap panel;
    if (!QPixmapCache::find(key, &panel)) {
        panel = QPixmap(size() * ratio);
        panel.setDevicePixelRatio(ratio);
        panel.fill(Qt::transparent);
        QPainter painter(&panel);
        paintPanel(painter);
        painter.end();
        QPixmapCache::insert(key, panel);
    }
    QPainter painter(this);
    painter.drawPixmap(0, 0, panel);
}

void BoardColumnView::paintPanel(QPainter &painter) const
{
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath shape;
    shape.addRoundedRect(bounds, 12, 12);
    QLinearGradient fill(bounds.topLeft(), bounds.bottomRight());
    fill.setColorAt(0, QColor::fromRgbF(0, 0, 0, 0.42));
    fill.setColorAt(0.5, QColor::fromRgbF(0, 0, 0, 0.30));
    fill.setColorAt(1, QColor::fromRgbF(0.56, 0.56, 0.58, 0.22));
    painter.fillPath(shape, fill);
    painter.setPen(QPen(QColor::fromRgbF(1, 1, 1, 0.14), 1));
    painter.drawPath(shape);
    QLinearGradient highlight(bounds.topLeft(), bounds.bottomLeft());
    highlight.setColorAt(0, QColor::fromRgbF(1, 1, 1, 0.16));
    highlight.setColorAt(0.5, QColor::fromRgbF(1, 1, 1, 0));
    highlight.setColorAt(1, QColor::fromRgbF(0, 0, 0, 0.25));
    painter.setPen(QPen(QBrush(highlight), 1));
    painter.drawRoundedRect(bounds.adjusted(1, 1, -1, -1), 11, 11);
}

void BoardColumnView::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasText())
        event->acceptProposedAction();
}

void BoardColumnView::dragMoveEvent(QDragMoveEvent *event)
{
    if (event->mimeData()->hasText())
        event->acceptProposedAction();
}

void BoardColumnView::dropEvent(QDropEvent *event)
{
    const QString text = event->mimeData()->text();
    QStringList items;
    if (!text.isEmpty())
        items.append(text.split(u'\n').first().trimmed());
    if (m_board.handleDrop(items, m_status))
        event->acceptProposedAction();
    else
        event->ignore();
}

void BoardColumnView::mouseDoubleClickEvent(QMouseEvent *event)
{
    event->accept();
    m_board.handleColumnDoubleClick(m_status);
}
