#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <optional>

// Where a task's git diff capture stands.
enum class BL_TaskGitDiffState {
    pending, // the start checkpoint exists; the end one is not taken yet
    ready, // both checkpoints, the patch file and the summary exist
    unavailable, // the workspace is not inside a git repository
    failed, // a capture step failed; the artifact's errorMessage says why
};
QString rawValue(BL_TaskGitDiffState state);
// Exact, case-sensitive; nothing for any other text.
std::optional<BL_TaskGitDiffState> taskGitDiffStateFromRaw(QStringView raw);

// One snapshot of a repository's working tree.
struct BL_TaskGitCheckpoint
{
    TimePoint capturedAt;
    QString syntheticCommit; // commit recording the whole working tree, untracked files included
    std::optional<QString> headCommit; // absent without a commit yet or when HEAD is unreadable
    bool workingTreeDirty = false;

    QJsonObject toJson() const;
    static Result<BL_TaskGitCheckpoint> fromJson(const QJsonValue &json);

    friend bool operator==(const BL_TaskGitCheckpoint &, const BL_TaskGitCheckpoint &) = default;
};
size_t qHash(const BL_TaskGitCheckpoint &checkpoint, size_t seed = 0);

// Line and file totals of a task's patch.
struct BL_TaskGitDiffSummary
{
    qint64 linesAdded = 0;
    qint64 linesRemoved = 0;
    qint64 filesChanged = 0;

    QJsonObject toJson() const;
    static Result<BL_TaskGitDiffSummary> fromJson(const QJsonValue &json);

    friend bool operator==(const BL_TaskGitDiffSummary &, const BL_TaskGitDiffSummary &) = default;
};
size_t qHash(const BL_TaskGitDiffSummary &summary, size_t seed = 0);

// What a task changed in its repository. It lives only inside the task's
// metadata JSON object, under "git_diff_artifact".
struct BL_TaskGitDiffArtifact
{
    BL_TaskGitDiffState state = BL_TaskGitDiffState::pending;
    std::optional<QString> repositoryRootPath;
    std::optional<BL_TaskGitCheckpoint> before;
    std::optional<BL_TaskGitCheckpoint> after;
    std::optional<QString> diffFilePath;
    std::optional<BL_TaskGitDiffSummary> summary;
    bool isExact = false;
    std::optional<QString> errorMessage;

    // Keys are the field names, absent optionals left out, dates seconds
    // since 2001 (negative before it). Reading is strict and fails the whole
    // artifact on a missing or ill-typed required field, an unknown state, or
    // a date that is not a number of a moment in years 1 to 9999.
    QJsonObject toJson() const;
    static Result<BL_TaskGitDiffArtifact> fromJson(const QJsonValue &json);

    // The artifact held in a task's metadata bytes; nothing for metadata
    // that is not a JSON object, a missing or non-container member, or an
    // unreadable artifact. Never fails.
    static std::optional<BL_TaskGitDiffArtifact> decode(const QByteArray &taskMetadata);
    // The metadata with `artifact` stored under "git_diff_artifact" (or that
    // member removed when there is none), rewritten compact with sorted keys.
    // Metadata that is not a JSON object is replaced by a fresh object. An
    // artifact that could not be read back (a date that is not finite or lies
    // outside years 1 to 9999) leaves the metadata unchanged.
    static QByteArray encode(const std::optional<BL_TaskGitDiffArtifact> &artifact, const QByteArray &taskMetadata);

    friend bool operator==(const BL_TaskGitDiffArtifact &, const BL_TaskGitDiffArtifact &) = default;
};
size_t qHash(const BL_TaskGitDiffArtifact &artifact, size_t seed = 0);
