#pragma once

#include "model/BL_Task.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QUuid>
#include <optional>

// One bubble of a task's conversation transcript, before it is drawn.
struct TaskDetailConversationRenderRow
{
    QUuid id;
    BL_TaskConversationRole role = BL_TaskConversationRole::system;
    TimePoint timestamp;
    QString content;
    friend bool operator==(const TaskDetailConversationRenderRow &, const TaskDetailConversationRenderRow &) = default;
};

// What decides whether the task detail recomputes its costly parts: the
// task's id, its four JSON blobs and the workspace root. Status, states,
// session and dates are not part of it.
struct TaskDetailRefreshKey
{
    QUuid taskID;
    QByteArray inputData;
    QByteArray metadataData;
    QByteArray conversationData;
    QByteArray historyData;
    QString projectRootPath;

    static TaskDetailRefreshKey of(const BL_Task &task, const QString &projectRootPath);
    friend bool operator==(const TaskDetailRefreshKey &, const TaskDetailRefreshKey &) = default;
};

// The task detail's derivations that need no widget.
namespace TaskDetailPresentation {

inline const QString kTailLabel = QStringLiteral("\n\n[stdout log tail]\n");

// Turns oldest first (equal times: smaller upper-case id text first); the
// trimmed tail, when not blank, is added to the last row only.
QList<TaskDetailConversationRenderRow> conversationRows(
    const QList<BL_TaskConversationTurn> &turns, const std::optional<QString> &stdoutTail);
// History newest first (equal times: greater upper-case id text first).
QList<BL_TaskHistoryEvent> sortedHistory(QList<BL_TaskHistoryEvent> events);
// "• "-separated history line: time, event type, detail or "-".
QString historyLine(const BL_TaskHistoryEvent &event);
// "Manager", "Worker", "Tool", "System".
QString roleLabel(BL_TaskConversationRole role);
// A numeric date with the time to the second, in the user's locale.
QString displayTime(TimePoint time);

// The detail's width: 44 % of the parent width (else of the screen's),
// between 420 and 560; 560 with neither.
double sheetWidth(double parentWindowContentWidth, std::optional<double> screenWidth);
// Minimum and maximum height: 760 and max(94 % of the screen height, 760);
// 902.4 for both bounds' maximum with no screen.
std::pair<double, double> sheetHeightRange(std::optional<double> screenHeight);
// 78 % of the sheet's width: between 327.6 and 436.8.
double maxConversationBubbleWidth(double parentWindowContentWidth, std::optional<double> screenWidth);

// The text as HTML: everything escaped, line breaks kept; only http and
// https addresses become links (carrying their absolute address).
QString linkifiedHtml(const QString &text);

// Copies a task's output log to `folder`/<lower-case id>.stdout.log through
// a temporary file in that folder renamed over the target, so a failure
// never costs an earlier copy. The message to show: "Saved to <path>" or
// "Download failed: <why>". Blocking file work.
struct DownloadOutcome
{
    bool ok = false;
    QString targetPath;
    QString message;
};
DownloadOutcome downloadStdoutLog(const QString &sourcePath, const QString &folder, const QUuid &taskID);
// The user's Downloads folder, else "Downloads" in the home folder.
QString downloadsFolder();

} // namespace TaskDetailPresentation
