#include "TaskDetailPanel.h"

#include "GitDiffView.h"
#include "TaskGitDiffSection.h"
#include "board/TaskCardPresentation.h"
#include "board/TaskLogTail.h"
#include "common/UuidText.h"
#include "shell/DarkAppearance.h"
#include "shell/SymbolIcons.h"

#include <QFileInfo>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QtConcurrent>

namespace {

QString secondary()
{
    return DarkAppearance::secondaryTextColor().name();
}

QLabel *smallLabel(const char *name, QWidget *parent, qreal size = 10)
{
    auto *label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setFont(DarkAppearance::interfaceFont(size));
    label->setStyleSheet(QStringLiteral("color: %1;").arg(secondary()));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

QFrame *divider(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFixedHeight(1);
    line->setStyleSheet(QStringLiteral("background: %1;").arg(DarkAppearance::separatorColor().name()));
    return line;
}

struct BubbleLook
{
    QColor top;
    QColor bottom;
    QColor border;
};

QColor rgbA(double r, double g, double b, double a)
{
    return QColor::fromRgbF(r, g, b, a);
}

BubbleLook bubbleLook(BL_TaskConversationRole role)
{
    switch (role) {
    case BL_TaskConversationRole::manager:
        return {rgbA(0.16, 0.39, 0.82, 0.92), rgbA(0.09, 0.26, 0.60, 0.92), rgbA(0.44, 0.67, 0.98, 0.62)};
    case BL_TaskConversationRole::worker:
        return {rgbA(0.20, 0.25, 0.28, 0.90), rgbA(0.13, 0.16, 0.19, 0.90), rgbA(1, 1, 1, 0.24)};
    case BL_TaskConversationRole::tool:
        return {rgbA(0.50, 0.31, 0.12, 0.92), rgbA(0.37, 0.22, 0.09, 0.92), rgbA(0.91, 0.66, 0.32, 0.58)};
    case BL_TaskConversationRole::system:
        return {rgbA(0.28, 0.31, 0.36, 0.90), rgbA(0.19, 0.21, 0.26, 0.90), rgbA(0.75, 0.79, 0.86, 0.42)};
    }
    return {};
}

// One message of the transcript on its role's gradient.
class Bubble final : public QFrame
{
public:
    Bubble(BL_TaskConversationRole role, QWidget *parent) : QFrame(parent), m_look(bubbleLook(role)) { }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -2.5);
        QPainterPath shape;
        shape.addRoundedRect(bounds, 13, 13);
        painter.fillPath(shape.translated(0, 2), QColor::fromRgbF(0, 0, 0, 0.25));
        QLinearGradient fill(bounds.topLeft(), bounds.bottomRight());
        fill.setColorAt(0, m_look.top);
        fill.setColorAt(1, m_look.bottom);
        painter.fillPath(shape, fill);
        painter.setPen(QPen(m_look.border, 1));
        painter.drawPath(shape);
    }

private:
    BubbleLook m_look;
};

} // namespace

TaskDetailPanel::TaskDetailPanel(const BoardEnvironment &environment, QString projectRootPath,
    std::function<void()> dismiss, std::function<void(const QString &)> onOpenURL, QWidget *parent)
    : QFrame(parent),
      m_environment(environment),
      m_projectRootPath(std::move(projectRootPath)),
      m_dismiss(std::move(dismiss)),
      m_onOpenURL(std::move(onOpenURL))
{
    setObjectName(QStringLiteral("taskDetail"));
    setAutoFillBackground(true);
    setStyleSheet(QStringLiteral("#taskDetail { background: #1c1d20; border-left: 1px solid %1; }")
                      .arg(DarkAppearance::separatorColor().name()));
    build();
}

TaskDetailPanel::~TaskDetailPanel() = default;

void TaskDetailPanel::build()
{
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    m_notFound = new QWidget(this);
    m_notFound->setObjectName(QStringLiteral("taskDetailNotFound"));
    auto *notFound = new QVBoxLayout(m_notFound);
    notFound->setContentsMargins(20, 20, 20, 20);
    notFound->addStretch(1);
    auto *warning = new QLabel(m_notFound);
    warning->setPixmap(SymbolIcons::icon(QStringLiteral("exclamationmark.triangle")).pixmap(40, 40));
    warning->setAlignment(Qt::AlignCenter);
    notFound->addWidget(warning);
    auto *notFoundText = new QLabel(QStringLiteral("Task not found"), m_notFound);
    notFoundText->setFont(DarkAppearance::interfaceFont(15, QFont::Bold));
    notFoundText->setAlignment(Qt::AlignCenter);
    notFound->addWidget(notFoundText);
    notFound->addStretch(1);
    auto *notFoundClose = new QPushButton(QStringLiteral("Close"), m_notFound);
    notFoundClose->setObjectName(QStringLiteral("taskDetailNotFoundClose"));
    connect(notFoundClose, &QPushButton::clicked, this, [this] { m_dismiss(); });
    notFound->addWidget(notFoundClose, 0, Qt::AlignCenter);
    outer->addWidget(m_notFound);

    // A short board leaves less room than the detail's parts need: the
    // detail then scrolls as a whole instead of laying its parts over each
    // other.
    m_contentScroll = new QScrollArea(this);
    m_contentScroll->setObjectName(QStringLiteral("taskDetailScroll"));
    m_contentScroll->setWidgetResizable(true);
    m_contentScroll->setFrameShape(QFrame::NoFrame);
    m_contentScroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_contentScroll->setStyleSheet(QStringLiteral("#taskDetailScroll { background: transparent; }"));
    m_contentScroll->viewport()->setAutoFillBackground(false);
    m_content = new QWidget;
    m_content->setObjectName(QStringLiteral("taskDetailContent"));
    m_content->setAutoFillBackground(false);
    m_contentScroll->setWidget(m_content);
    outer->addWidget(m_contentScroll);
    auto *column = new QVBoxLayout(m_content);
    column->setContentsMargins(16, 16, 16, 16);
    column->setSpacing(14);

    auto *header = new QHBoxLayout;
    header->setSpacing(12);
    m_title = new QLabel(m_content);
    m_title->setObjectName(QStringLiteral("taskDetailTitle"));
    m_title->setFont(DarkAppearance::interfaceFont(16, QFont::Bold));
    m_title->setWordWrap(true);
    m_title->setTextFormat(Qt::PlainText);
    m_title->setMaximumHeight(QFontMetrics(m_title->font()).lineSpacing() * 4 + 2);
    m_title->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    header->addWidget(m_title, 1, Qt::AlignTop);
    auto *close = new QToolButton(m_content);
    close->setObjectName(QStringLiteral("taskDetailClose"));
    close->setText(QStringLiteral("\u2715"));
    close->setFont(DarkAppearance::interfaceFont(9, QFont::Bold));
    close->setFixedSize(20, 20);
    close->setCursor(Qt::PointingHandCursor);
    close->setStyleSheet(QStringLiteral(
        "QToolButton { color: #ff453a; background: rgba(255,69,58,0.12); border: none; border-radius: 10px; }"));
    connect(close, &QToolButton::clicked, this, [this] { m_dismiss(); });
    header->addWidget(close, 0, Qt::AlignTop);
    column->addLayout(header);
    // Escape reaches the diff viewer first when it is open: it is a window
    // of its own and takes the key there.
    auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    escape->setContext(Qt::WindowShortcut);
    connect(escape, &QShortcut::activated, this, [this] {
        if (isVisible())
            m_dismiss();
    });

    m_id = smallLabel("taskDetailID", m_content);
    column->addWidget(m_id);
    auto *states = new QHBoxLayout;
    states->setSpacing(12);
    m_status = smallLabel("taskDetailStatus", m_content);
    m_worker = smallLabel("taskDetailWorker", m_content);
    m_delegation = smallLabel("taskDetailDelegation", m_content);
    states->addWidget(m_status);
    states->addWidget(m_worker);
    states->addWidget(m_delegation);
    states->addStretch(1);
    column->addLayout(states);
    m_submitter = smallLabel("taskDetailSubmitter", m_content);
    column->addWidget(m_submitter);
    m_session = smallLabel("taskDetailSession", m_content, 9);
    column->addWidget(m_session);

    m_logBlock = new QWidget(m_content);
    m_logBlock->setObjectName(QStringLiteral("taskDetailLogBlock"));
    auto *logColumn = new QVBoxLayout(m_logBlock);
    logColumn->setContentsMargins(0, 0, 0, 0);
    logColumn->setSpacing(6);
    auto *logRow = new QHBoxLayout;
    logRow->setSpacing(8);
    auto *download = new QPushButton(QStringLiteral("Download Stdout Log"), m_logBlock);
    download->setObjectName(QStringLiteral("taskDetailDownload"));
    download->setFont(DarkAppearance::interfaceFont(10));
    download->setStyleSheet(
        QStringLiteral("QPushButton { color: white; background: #0a84ff; border-radius: 5px; padding: 3px 10px; }"));
    connect(download, &QPushButton::clicked, this, &TaskDetailPanel::downloadStdoutLog);
    auto *reveal = new QPushButton(QStringLiteral("Reveal Stdout Log"), m_logBlock);
    reveal->setObjectName(QStringLiteral("taskDetailReveal"));
    reveal->setFont(DarkAppearance::interfaceFont(10));
    connect(reveal, &QPushButton::clicked, this, &TaskDetailPanel::revealStdoutLog);
    logRow->addWidget(download);
    logRow->addWidget(reveal);
    logRow->addStretch(1);
    logColumn->addLayout(logRow);
    m_downloadLabel = smallLabel("taskDetailDownloadMessage", m_logBlock, 9);
    m_downloadLabel->setWordWrap(true);
    logColumn->addWidget(m_downloadLabel);
    column->addWidget(m_logBlock);

    m_diffBlock = new QWidget(m_content);
    m_diffBlock->setObjectName(QStringLiteral("taskDetailDiffBlock"));
    m_diffLayout = new QVBoxLayout(m_diffBlock);
    m_diffLayout->setContentsMargins(0, 0, 0, 0);
    m_diffLayout->setSpacing(14);
    m_diffLayout->addWidget(divider(m_diffBlock));
    column->addWidget(m_diffBlock);

    column->addWidget(divider(m_content));
    auto *conversationHeader = new QLabel(QStringLiteral("Conversation"), m_content);
    conversationHeader->setFont(DarkAppearance::interfaceFont(12, QFont::DemiBold));
    column->addWidget(conversationHeader);
    m_emptyConversation = new QLabel(QStringLiteral("No conversation transcript yet."), m_content);
    m_emptyConversation->setObjectName(QStringLiteral("taskDetailNoConversation"));
    m_emptyConversation->setAlignment(Qt::AlignCenter);
    m_emptyConversation->setMinimumHeight(200);
    m_emptyConversation->setStyleSheet(QStringLiteral("QLabel { color: %1; background: rgba(23,25,33,0.85);"
                                                      " border-radius: 14px; }")
                                           .arg(secondary()));
    column->addWidget(m_emptyConversation, 1);
    m_transcript = new QScrollArea(m_content);
    m_transcript->setObjectName(QStringLiteral("taskDetailConversation"));
    m_transcript->setWidgetResizable(true);
    m_transcript->setMinimumHeight(240);
    m_transcript->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_transcript->setStyleSheet(QStringLiteral("#taskDetailConversation { background: rgba(23,25,33,0.85);"
                                               " border: 1px solid rgba(255,255,255,0.14); border-radius: 14px; }"));
    m_transcriptCanvas = new QWidget;
    m_transcriptCanvas->setObjectName(QStringLiteral("taskDetailConversationCanvas"));
    m_transcriptCanvas->setStyleSheet(QStringLiteral("#taskDetailConversationCanvas { background: transparent; }"));
    m_bubbles = new QVBoxLayout(m_transcriptCanvas);
    m_bubbles->setContentsMargins(10, 12, 10, 12);
    m_bubbles->setSpacing(10);
    m_bubbles->addStretch(1);
    m_transcript->setWidget(m_transcriptCanvas);
    m_transcript->viewport()->setAutoFillBackground(false);
    column->addWidget(m_transcript, 1);

    column->addWidget(divider(m_content));
    auto *historyHeader = new QHBoxLayout;
    historyHeader->setSpacing(8);
    m_historyToggle = new QToolButton(m_content);
    m_historyToggle->setObjectName(QStringLiteral("taskDetailHistoryToggle"));
    m_historyToggle->setText(QStringLiteral("Event History"));
    m_historyToggle->setFont(DarkAppearance::interfaceFont(12, QFont::DemiBold));
    m_historyToggle->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_historyToggle->setArrowType(Qt::RightArrow);
    m_historyToggle->setCheckable(true);
    m_historyToggle->setAutoRaise(true);
    m_historyToggle->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
    connect(m_historyToggle, &QToolButton::toggled, this, &TaskDetailPanel::setHistoryExpanded);
    historyHeader->addWidget(m_historyToggle);
    m_historyCount = smallLabel("taskDetailHistoryCount", m_content, 9);
    m_historyCount->setStyleSheet(QStringLiteral("QLabel { color: %1; background: rgba(154,156,161,0.14);"
                                                 " border-radius: 8px; padding: 1px 7px; font-weight: 600; }")
                                      .arg(secondary()));
    historyHeader->addWidget(m_historyCount);
    historyHeader->addStretch(1);
    column->addLayout(historyHeader);
    m_historyBody = new QWidget(m_content);
    m_historyBody->setObjectName(QStringLiteral("taskDetailHistory"));
    auto *historyColumn = new QVBoxLayout(m_historyBody);
    historyColumn->setContentsMargins(0, 0, 0, 0);
    m_historyEmpty = smallLabel("taskDetailNoHistory", m_historyBody);
    m_historyEmpty->setText(QStringLiteral("No task events yet."));
    historyColumn->addWidget(m_historyEmpty);
    m_historyScroll = new QScrollArea(m_historyBody);
    m_historyScroll->setObjectName(QStringLiteral("taskDetailHistoryList"));
    m_historyScroll->setWidgetResizable(true);
    m_historyScroll->setMinimumHeight(90);
    m_historyScroll->setMaximumHeight(160);
    m_historyScroll->setFrameShape(QFrame::NoFrame);
    auto *lines = new QWidget;
    m_historyLines = new QVBoxLayout(lines);
    m_historyLines->setContentsMargins(0, 4, 0, 4);
    m_historyLines->setSpacing(6);
    m_historyLines->addStretch(1);
    m_historyScroll->setWidget(lines);
    historyColumn->addWidget(m_historyScroll);
    m_historyBody->setVisible(false);
    column->addWidget(m_historyBody);
}

std::optional<QUuid> TaskDetailPanel::taskID() const
{
    return m_shownID;
}

QString TaskDetailPanel::logPath() const
{
    if (!m_task || !m_environment.stdoutLogPath)
        return {};
    return m_environment.stdoutLogPath(m_task->projectID, m_task->blID);
}

double TaskDetailPanel::sheetWidth() const
{
    const auto screen = m_environment.screenSize ? m_environment.screenSize() : std::nullopt;
    return TaskDetailPresentation::sheetWidth(
        m_parentWidth, screen ? std::optional<double>(screen->width()) : std::nullopt);
}

void TaskDetailPanel::setParentWindowContentWidth(double width)
{
    m_parentWidth = width;
    setFixedWidth(int(sheetWidth()));
    if (m_diffSection)
        m_diffSection->setParentWindowContentWidth(width > 0 ? std::optional<double>(width) : std::nullopt);
    rebuildBubbles();
}

void TaskDetailPanel::setTask(const std::optional<BL_Task> &task, bool openGitDiffOnAppear)
{
    m_task = task;
    m_notFound->setVisible(!task);
    m_contentScroll->setVisible(task.has_value());
    if (!task)
        return;
    if (m_shownID != task->blID) {
        // Another task: everything of the last one goes.
        m_shownID = task->blID;
        m_key.reset();
        m_openGitDiffOnAppear = openGitDiffOnAppear;
        m_didAutoOpenGitDiff = false;
        m_downloadMessage.reset();
        m_rows.clear();
        m_rowIDs.clear();
        m_history.clear();
        m_stdoutLogExists = false;
        ++m_tailGeneration;
        m_tailPending = false;
        if (m_diffSection)
            m_diffSection->deleteLater();
        m_diffSection = new TaskGitDiffSection(m_environment.patchReader, *task, m_diffBlock);
        m_diffSection->setParentWindowContentWidth(
            m_parentWidth > 0 ? std::optional<double>(m_parentWidth) : std::nullopt);
        m_diffLayout->addWidget(m_diffSection);
        m_historyToggle->setChecked(false);
        m_title->setText(TaskInputSummaryParser::title(task->inputData, task->blID));
        const auto submitter = TaskSubmitterUsernameParser::username(task->metadata);
        m_submitter->setText(submitter ? QStringLiteral("Submitted by: ") + *submitter : QString());
        m_submitter->setVisible(submitter.has_value());
        rebuildBubbles();
        rebuildHistory();
    } else {
        m_diffSection->setTask(*task);
    }
    syncVolatile();
    const TaskDetailRefreshKey key = TaskDetailRefreshKey::of(*task, m_projectRootPath);
    if (!m_key || !(*m_key == key)) {
        m_key = key;
        refreshDerivedState();
    }
}

void TaskDetailPanel::syncVolatile()
{
    const BL_Task &task = *m_task;
    m_id->setText(UuidText::upper(task.blID));
    m_status->setText(QStringLiteral("Status: ") + rawValue(task.status));
    m_worker->setText(QStringLiteral("Worker: ") + rawValue(task.workerState));
    m_delegation->setText(QStringLiteral("Delegation: ") + rawValue(task.delegationState));
    const bool session = task.workerSessionKey && !task.workerSessionKey->isEmpty();
    m_session->setVisible(session);
    m_session->setText(session ? QStringLiteral("Session: ") + *task.workerSessionKey : QString());
    m_logBlock->setVisible(m_stdoutLogExists);
    m_downloadLabel->setVisible(m_downloadMessage && !m_downloadMessage->isEmpty());
    m_downloadLabel->setText(m_downloadMessage.value_or(QString()));
    m_diffBlock->setVisible(m_diffSection && m_diffSection->isShown());
}

void TaskDetailPanel::refreshDerivedState()
{
    ++m_refreshCount;
    const BL_Task task = *m_task;
    m_title->setText(TaskInputSummaryParser::title(task.inputData, task.blID));
    const auto submitter = TaskSubmitterUsernameParser::username(task.metadata);
    m_submitter->setText(submitter ? QStringLiteral("Submitted by: ") + *submitter : QString());
    m_submitter->setVisible(submitter.has_value());
    m_history = TaskDetailPresentation::sortedHistory(task.decodedHistory().value_or(QList<BL_TaskHistoryEvent> {}));
    rebuildHistory();
    const QString path = logPath();
    m_stdoutLogExists = !path.isEmpty() && QFileInfo(path).isFile();
    m_diffSection->refresh();
    syncVolatile();

    // The tail is read in the background; only the newest read counts.
    const QList<BL_TaskConversationTurn> turns = task.decodedConversation().value_or(QList<BL_TaskConversationTurn> {});
    const quint64 generation = ++m_tailGeneration;
    m_tailPending = true;
    auto *watcher = new QFutureWatcher<std::optional<QString>>(this);
    connect(watcher, &QFutureWatcher<std::optional<QString>>::finished, this, [this, watcher, generation, turns] {
        watcher->deleteLater();
        if (generation != m_tailGeneration)
            return;
        m_tailPending = false;
        applyConversation(turns, watcher->result());
        if (m_openGitDiffOnAppear && !m_didAutoOpenGitDiff) {
            m_didAutoOpenGitDiff = true;
            if (m_diffSection->resolvedGitDiffFilePath())
                m_diffSection->openGitDiffViewer();
        }
        emit tailLoaded();
    });
    watcher->setFuture(QtConcurrent::run([path]() -> std::optional<QString> {
        if (path.isEmpty())
            return std::nullopt;
        return TaskLogTail::read(path);
    }));
}

void TaskDetailPanel::applyConversation(const QList<BL_TaskConversationTurn> &turns, const std::optional<QString> &tail)
{
    m_rows = TaskDetailPresentation::conversationRows(turns, tail);
    QList<QUuid> ids;
    for (const auto &row : m_rows)
        ids.append(row.id);
    const bool idsChanged = ids != m_rowIDs;
    m_rowIDs = ids;
    rebuildBubbles();
    if (idsChanged && !m_rows.isEmpty()) {
        // Scrolled on a later turn, once the new bubbles are laid out: the
        // range grows as they settle, and each growth moves the target.
        ++m_scrollRequests;
        QScrollBar *bar = m_transcript->verticalScrollBar();
        auto scrollToEnd = [this, bar] {
            auto *animation = new QPropertyAnimation(bar, "value", this);
            animation->setDuration(200);
            animation->setEasingCurve(QEasingCurve::OutCubic);
            animation->setEndValue(bar->maximum());
            animation->start(QAbstractAnimation::DeleteWhenStopped);
        };
        auto *follow = new QObject(this);
        connect(bar, &QScrollBar::rangeChanged, follow, scrollToEnd);
        QTimer::singleShot(0, follow, scrollToEnd);
        QTimer::singleShot(600, follow, &QObject::deleteLater);
    }
}

void TaskDetailPanel::rebuildBubbles()
{
    while (m_bubbles->count() > 1) {
        QLayoutItem *item = m_bubbles->takeAt(0);
        if (item->widget())
            item->widget()->deleteLater();
        delete item;
    }
    m_emptyConversation->setVisible(m_rows.isEmpty());
    m_transcript->setVisible(!m_rows.isEmpty());
    const auto screen = m_environment.screenSize ? m_environment.screenSize() : std::nullopt;
    const int maxWidth = int(TaskDetailPresentation::maxConversationBubbleWidth(
        m_parentWidth, screen ? std::optional<double>(screen->width()) : std::nullopt));
    int index = 0;
    for (const TaskDetailConversationRenderRow &row : m_rows) {
        const bool manager = row.role == BL_TaskConversationRole::manager;
        auto *line = new QWidget(m_transcriptCanvas);
        auto *lineLayout = new QHBoxLayout(line);
        lineLayout->setContentsMargins(0, 0, 0, 0);
        if (manager)
            lineLayout->addSpacerItem(new QSpacerItem(36, 0, QSizePolicy::Expanding));
        auto *bubble = new Bubble(row.role, line);
        bubble->setObjectName(QStringLiteral("taskDetailBubble"));
        bubble->setProperty("role", rawValue(row.role));
        bubble->setMaximumWidth(maxWidth);
        auto *bubbleLayout = new QVBoxLayout(bubble);
        bubbleLayout->setContentsMargins(13, 10, 13, 12);
        bubbleLayout->setSpacing(4);
        auto *head = new QLabel(TaskDetailPresentation::roleLabel(row.role) + QStringLiteral(" \u2022 ")
                + TaskDetailPresentation::displayTime(row.timestamp),
            bubble);
        head->setObjectName(QStringLiteral("taskDetailBubbleHeader"));
        head->setFont(DarkAppearance::interfaceFont(9));
        head->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.74); background: transparent;"));
        head->setAlignment(manager ? Qt::AlignRight : Qt::AlignLeft);
        bubbleLayout->addWidget(head);
        auto *content = new QLabel(bubble);
        content->setObjectName(QStringLiteral("taskDetailBubbleText"));
        content->setTextFormat(Qt::RichText);
        content->setWordWrap(true);
        content->setFont(DarkAppearance::interfaceFont(11));
        content->setStyleSheet(QStringLiteral("color: rgba(255,255,255,0.96); background: transparent;"));
        content->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
        content->setOpenExternalLinks(false);
        content->setText(QStringLiteral("<div style=\"line-height:120%\">%1</div>")
                             .arg(TaskDetailPresentation::linkifiedHtml(row.content)));
        content->setMaximumWidth(maxWidth - 26);
        connect(content, &QLabel::linkActivated, this, &TaskDetailPanel::openLink);
        bubbleLayout->addWidget(content);
        lineLayout->addWidget(bubble);
        if (!manager)
            lineLayout->addSpacerItem(new QSpacerItem(36, 0, QSizePolicy::Expanding));
        m_bubbles->insertWidget(index++, line);
    }
}

void TaskDetailPanel::rebuildHistory()
{
    m_historyCount->setText(QString::number(m_history.size()));
    while (m_historyLines->count() > 1) {
        QLayoutItem *item = m_historyLines->takeAt(0);
        if (item->widget())
            item->widget()->deleteLater();
        delete item;
    }
    int index = 0;
    for (const BL_TaskHistoryEvent &event : m_history) {
        auto *line = smallLabel("taskDetailHistoryLine", m_historyScroll->widget());
        line->setText(TaskDetailPresentation::historyLine(event));
        line->setWordWrap(true);
        m_historyLines->insertWidget(index++, line);
    }
    m_historyEmpty->setVisible(m_history.isEmpty());
    m_historyScroll->setVisible(!m_history.isEmpty());
}

void TaskDetailPanel::setHistoryExpanded(bool expanded)
{
    m_historyExpanded = expanded;
    if (m_historyToggle->isChecked() != expanded)
        m_historyToggle->setChecked(expanded);
    m_historyToggle->setArrowType(expanded ? Qt::DownArrow : Qt::RightArrow);
    m_historyBody->setVisible(expanded);
}

void TaskDetailPanel::openLink(const QString &url)
{
    const QUrl parsed(url);
    const QString scheme = parsed.scheme().toLower();
    if (scheme != u"http" && scheme != u"https")
        return;
    if (m_onOpenURL)
        m_onOpenURL(parsed.toString(QUrl::FullyEncoded));
    m_dismiss();
}

void TaskDetailPanel::downloadStdoutLog()
{
    if (!m_task || m_downloading)
        return;
    const QString source = logPath();
    const QString folder
        = m_environment.downloadsFolder ? m_environment.downloadsFolder() : TaskDetailPresentation::downloadsFolder();
    const QUuid taskID = m_task->blID;
    m_downloading = true;
    auto *watcher = new QFutureWatcher<TaskDetailPresentation::DownloadOutcome>(this);
    connect(watcher, &QFutureWatcher<TaskDetailPresentation::DownloadOutcome>::finished, this, [this, watcher, taskID] {
        watcher->deleteLater();
        m_downloading = false;
        const auto outcome = watcher->result();
        if (m_shownID == taskID) {
            m_downloadMessage = outcome.message;
            if (m_task)
                syncVolatile();
        }
        if (outcome.ok && m_environment.reveal)
            m_environment.reveal(outcome.targetPath);
        emit downloadFinished();
    });
    watcher->setFuture(QtConcurrent::run(
        [source, folder, taskID] { return TaskDetailPresentation::downloadStdoutLog(source, folder, taskID); }));
}

void TaskDetailPanel::revealStdoutLog()
{
    if (m_task && m_environment.reveal)
        m_environment.reveal(logPath());
}
