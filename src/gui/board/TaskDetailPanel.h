#pragma once

#include "KanbanBoardView.h"
#include "board/TaskDetailPresentation.h"
#include "model/BL_Task.h"

#include <QFrame>
#include <QList>
#include <QUuid>
#include <functional>
#include <optional>

class QLabel;
class QPushButton;
class QScrollArea;
class QToolButton;
class QVBoxLayout;
class TaskGitDiffSection;

// The detail of the selected task, at the board's trailing edge: title, id,
// states, submitter, session, the output log's download and reveal, the git
// diff section, the conversation transcript with the log's tail on its last
// bubble, and the event history. Its costly parts are recomputed only when
// the task's content changes (`TaskDetailRefreshKey`); the log tail is read
// in the background and a stale read's result is dropped. A link calls
// `onOpenURL` and then dismisses the detail. Escape and the close button
// dismiss it; an open diff viewer takes Escape first.
class TaskDetailPanel final : public QFrame
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TaskDetailPanel)

public:
    TaskDetailPanel(const BoardEnvironment &environment, QString projectRootPath, std::function<void()> dismiss,
        std::function<void(const QString &)> onOpenURL, QWidget *parent = nullptr);
    ~TaskDetailPanel() override;

    // Shows a task (the current record at every board redraw), or "Task not
    // found" for a selection whose task is gone. A new id starts over.
    void setTask(const std::optional<BL_Task> &task, bool openGitDiffOnAppear = false);
    void setParentWindowContentWidth(double width);
    std::optional<QUuid> taskID() const;

    // State, for tests and the board.
    int refreshCount() const { return m_refreshCount; }
    bool isTailPending() const { return m_tailPending; }
    const QList<TaskDetailConversationRenderRow> &conversationRows() const { return m_rows; }
    const QList<BL_TaskHistoryEvent> &sortedHistory() const { return m_history; }
    bool stdoutLogExists() const { return m_stdoutLogExists; }
    std::optional<QString> stdoutDownloadMessage() const { return m_downloadMessage; }
    bool isDownloading() const { return m_downloading; }
    TaskGitDiffSection *gitDiffSection() const { return m_diffSection; }
    int scrollRequests() const { return m_scrollRequests; }
    double sheetWidth() const;

    void downloadStdoutLog();
    void revealStdoutLog();
    void setHistoryExpanded(bool expanded);
    // As a click on a link in the transcript.
    void openLink(const QString &url);

signals:
    void downloadFinished();
    void tailLoaded();

private:
    void build();
    void syncVolatile();
    void refreshDerivedState();
    void applyConversation(const QList<BL_TaskConversationTurn> &turns, const std::optional<QString> &tail);
    void rebuildHistory();
    void rebuildBubbles();
    QString logPath() const;

    BoardEnvironment m_environment;
    QString m_projectRootPath;
    std::function<void()> m_dismiss;
    std::function<void(const QString &)> m_onOpenURL;
    std::optional<BL_Task> m_task;
    std::optional<QUuid> m_shownID;
    std::optional<TaskDetailRefreshKey> m_key;
    double m_parentWidth = 0;
    bool m_openGitDiffOnAppear = false;
    bool m_didAutoOpenGitDiff = false;

    int m_refreshCount = 0;
    quint64 m_tailGeneration = 0;
    bool m_tailPending = false;
    QList<TaskDetailConversationRenderRow> m_rows;
    QList<QUuid> m_rowIDs;
    QList<BL_TaskHistoryEvent> m_history;
    bool m_stdoutLogExists = false;
    std::optional<QString> m_downloadMessage;
    bool m_downloading = false;
    bool m_historyExpanded = false;
    int m_scrollRequests = 0;

    QScrollArea *m_contentScroll = nullptr;
    QWidget *m_content = nullptr;
    QWidget *m_notFound = nullptr;
    QLabel *m_title = nullptr;
    QLabel *m_id = nullptr;
    QLabel *m_status = nullptr;
    QLabel *m_worker = nullptr;
    QLabel *m_delegation = nullptr;
    QLabel *m_submitter = nullptr;
    QLabel *m_session = nullptr;
    QWidget *m_logBlock = nullptr;
    QLabel *m_downloadLabel = nullptr;
    QWidget *m_diffBlock = nullptr;
    TaskGitDiffSection *m_diffSection = nullptr;
    QVBoxLayout *m_diffLayout = nullptr;
    QLabel *m_emptyConversation = nullptr;
    QScrollArea *m_transcript = nullptr;
    QWidget *m_transcriptCanvas = nullptr;
    QVBoxLayout *m_bubbles = nullptr;
    QToolButton *m_historyToggle = nullptr;
    QLabel *m_historyCount = nullptr;
    QWidget *m_historyBody = nullptr;
    QLabel *m_historyEmpty = nullptr;
    QScrollArea *m_historyScroll = nullptr;
    QVBoxLayout *m_historyLines = nullptr;
};
