#pragma once

#include "common/TimePoint.h"
#include "model/BL_Task.h"
#include "model/BL_TaskGitDiff.h"
#include "storage/TaskGitCheckpointService.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <optional>

// The display title of a task: its input's "title", else its "prompt",
// trimmed; "Task " and the id's first group in upper case when neither gives
// a text. A strict read of the input object comes first; when it rejects the
// object (a member of the wrong type) a lenient read looks at string members
// only.
namespace TaskInputSummaryParser {
QString title(const QByteArray &inputData, const QUuid &taskID);
QString fallbackTitle(const QUuid &taskID);
} // namespace TaskInputSummaryParser

// The trimmed, non-empty "submitter_username" of a task's metadata.
namespace TaskSubmitterUsernameParser {
std::optional<QString> username(const QByteArray &metadata);
} // namespace TaskSubmitterUsernameParser

// An opaque sRGB colour with components between 0 and 1.
struct CardRgb
{
    double red = 0;
    double green = 0;
    double blue = 0;
    friend bool operator==(const CardRgb &, const CardRgb &) = default;
};

// What a card shows of its task, computed once each time the card is built.
struct TaskCardRenderModel
{
    QString title;
    std::optional<QString> submitterUsername;
    std::optional<qint32> completionExitCode; // from a shell result in the output
    bool hasReadableGitDiff = false; // the artifact names a patch that exists
    std::optional<BL_TaskGitDiffSummary> gitDiffSummary;

    explicit TaskCardRenderModel(const BL_Task &task);
    // The same, with the patch looked up by the one patch reader: only the
    // task's own patch file, a regular file, counts.
    TaskCardRenderModel(const BL_Task &task, const TaskGitCheckpointService &patchReader);
    TaskCardRenderModel() = default;

    // The artifact's patch path when it is not blank and something exists
    // there (looked up as stored, untrimmed).
    static std::optional<QString> resolveGitDiffPath(const std::optional<BL_TaskGitDiffArtifact> &artifact);
    // The recorded exit code of a shell result in the task's output.
    static std::optional<qint32> exitCode(const std::optional<QByteArray> &outputData);
};

// The card's derived looks and rules, for one task and its render model.
namespace TaskCardRules {

inline constexpr double kStaleAfterSeconds = 900;

// Named colour of the tag chip: "red", "blue", "green", else "gray".
QString tagChipColorName(const QString &colorName);
// In progress and last active strictly more than 15 minutes before `now`.
bool isPotentiallyStale(const BL_Task &task, TimePoint now);
// Failed, or any recorded exit code other than 0.
bool isCompletionFailure(const BL_Task &task, const TaskCardRenderModel &model);
// Completed or failed with a patch on disk and a summary.
bool canOpenGitDiffFromCard(const BL_Task &task, const TaskCardRenderModel &model);
// "gray", "green", "red" or "glow" (in progress draws the glow border).
QString borderColorName(const BL_Task &task, const TaskCardRenderModel &model);
// The background gradient's start and end colours by status.
std::pair<CardRgb, CardRgb> backgroundGradient(BL_TaskStatus status);
// The worker buttons shown while hovered.
bool showsForceDelegate(BL_TaskStatus status);
bool showsWorkerComplete(BL_TaskStatus status);
// Killed marker shown and delete disabled.
bool showsKilled(BL_TaskStatus status, bool isKillRequested);

} // namespace TaskCardRules

// The board's column rules.
namespace BoardRules {

// "Backlog", "Intake (Runs automatically)", "In Progress", "Done".
QString columnTitle(BL_TaskStatus status);
// The statuses a column shows: "Done" shows completed and failed.
QList<BL_TaskStatus> columnStatuses(BL_TaskStatus status);

// What a drop of text items on a column comes to.
struct DropAction
{
    enum class Kind { refused, delegate, move };
    Kind kind = Kind::refused;
    QUuid taskID;
    BL_TaskStatus status = BL_TaskStatus::backlog;
    friend bool operator==(const DropAction &, const DropAction &) = default;
};
// Only the first item counts; it must be a UUID of a task on this board. A
// queued task dropped on in progress is delegated; everything else moves
// (a drop on the task's own column too).
DropAction drop(const QStringList &items, BL_TaskStatus target, const QHash<QUuid, BL_Task> &taskByID);

} // namespace BoardRules
