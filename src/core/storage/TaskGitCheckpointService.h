#pragma once

#include "common/Result.h"
#include "common/TimePoint.h"
#include "model/BL_TaskGitDiff.h"

#include <QByteArray>
#include <QFuture>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <functional>
#include <optional>

class QObject;

// Why a task's patch could not be opened. The message is what a view shows:
// "Unable to open patch: " and what went wrong.
struct PatchReadError
{
    enum class Kind {
        missing, // no patch offered for the task, or nothing readable as a regular file there
        tooLarge, // longer than TaskGitCheckpointService::kMaxPatchBytes
        unreadable, // the file system refused the read
        invalidUtf8, // the bytes are not UTF-8 text
    };
    Kind kind = Kind::missing;
    QString message;
};

// A patch read as text, or why not.
class PatchRead
{
public:
    PatchRead(QString text) : m_text(std::move(text)) { }
    PatchRead(PatchReadError error) : m_error(std::move(error)) { }

    bool ok() const { return !m_error; }
    explicit operator bool() const { return ok(); }
    const QString &text() const { return m_text; }
    const PatchReadError &error() const { return *m_error; }

private:
    QString m_text;
    std::optional<PatchReadError> m_error;
};

// The result of one git run.
struct GitCommandOutput
{
    int exitCode = -1; // -1 when git could not be started
    QByteArray standardOutputBytes; // exactly as git wrote it
    QString standardOutput; // UTF-8; empty when not valid UTF-8
    QString standardError; // UTF-8 (empty when not valid), or why git could not be started
    // Git wrote more to standard output than a captured run keeps.
    bool standardOutputTruncated = false;

    // Trimmed standard error, else trimmed standard output, else
    // "Unknown git command failure.".
    QString stderrOrStdout() const;
};

// Records what a task changed in its workspace's git repository: a synthetic
// commit of the whole working tree (untracked files included) at the start
// and at the end of the task, made through a temporary index so the user's
// index, branches and refs stay untouched, and the patch between the two,
// written to "<data>/task-logs/<project id>/<task id>.git.diff.patch".
//
// Captures never fail: every failure becomes an artifact in state
// unavailable or failed with a message. The synchronous captures block while
// git runs and belong on a background thread; the *InBackground forms run
// them there.
//
// Stored artifacts come from outside (task files, the cloud), so their
// fields are not trusted: a "before" checkpoint is used only when its commit
// is a full object name (40 or 64 lower-case hex digits), the repository is
// always the one the task's own workspace resolves to, and a patch is only
// ever read from the path this service writes for the task.
class TaskGitCheckpointService
{
public:
    struct CaptureContext
    {
        QUuid projectID;
        QUuid taskID;
        QString projectRootPath; // the workspace's root folder
    };

    // `dataDirectory` is the application data directory; the patch files go
    // under its "task-logs" folder. `clock` stamps the checkpoints.
    explicit TaskGitCheckpointService(QString dataDirectory, const Clock &clock = Clock::system());

    // <data>/task-logs/<lower-case project id>
    QString logsDirectory(const QUuid &projectID) const;
    // <logs directory>/<lower-case task id>.git.diff.patch
    QString patchFilePath(const QUuid &projectID, const QUuid &taskID) const;

    // The start checkpoint: pending, or unavailable outside a repository, or
    // failed with "Failed to capture Git before-checkpoint: …".
    BL_TaskGitDiffArtifact captureBefore(const CaptureContext &context) const;
    // The end checkpoint, the patch file and the sums against the stored
    // artifact's start checkpoint: ready, unavailable or failed.
    BL_TaskGitDiffArtifact captureAfter(
        const CaptureContext &context, const BL_TaskGitDiffArtifact &existingArtifact) const;

    // captureBefore on the blocking pool (Background::runBlocking).
    QFuture<BL_TaskGitDiffArtifact> captureBeforeInBackground(const CaptureContext &context) const;
    // On the blocking pool: when the stored artifact is absent or has no
    // usable start checkpoint, a start capture is taken first and used in its
    // place; then captureAfter.
    QFuture<BL_TaskGitDiffArtifact> captureAfterInBackground(
        const CaptureContext &context, const std::optional<BL_TaskGitDiffArtifact> &storedArtifact) const;
    // The same, handing the artifact to `done` on `receiver`'s thread;
    // nothing is delivered when the receiver has gone.
    using ArtifactHandler = std::function<void(BL_TaskGitDiffArtifact)>;
    void captureBeforeInBackground(const CaptureContext &context, QObject *receiver, ArtifactHandler done) const;
    void captureAfterInBackground(const CaptureContext &context,
        const std::optional<BL_TaskGitDiffArtifact> &storedArtifact, QObject *receiver, ArtifactHandler done) const;

    // The artifact's start checkpoint when its commit is a full object name;
    // nothing otherwise.
    static std::optional<BL_TaskGitCheckpoint> usableBefore(const BL_TaskGitDiffArtifact &artifact);
    // 40 or 64 lower-case hex digits.
    static bool isObjectName(QStringView text);

    // The task's patch file when the artifact names exactly this service's
    // path for the task (trimmed of white space) and a regular file lies
    // there; nothing otherwise.
    std::optional<QString> offeredPatchPath(
        const QUuid &projectID, const QUuid &taskID, const BL_TaskGitDiffArtifact &artifact) const;
    // The offered patch file as UTF-8 text: the one reader of task patches
    // for every view and peer. Only this service's own path for the task
    // counts, only a regular file there (anything else reads as missing), at
    // most kMaxPatchBytes. Reads the whole file: call it off the main thread
    // when the patch may be large.
    PatchRead readPatch(const QUuid &projectID, const QUuid &taskID, const BL_TaskGitDiffArtifact &artifact) const;
    static constexpr qint64 kMaxPatchBytes = 64 * 1024 * 1024;

    // "/usr/bin/env git -C <root> <arguments>" with this process's
    // environment plus `environment`; both pipes drained while git runs. A
    // non-zero exit is not an error here.
    static GitCommandOutput runGit(const QString &repositoryRootPath, const QStringList &arguments,
        const QHash<QString, QString> &environment = {});
    // The top-level folder of the repository holding `folder` (an absolute
    // path), or nothing outside a repository.
    static std::optional<QString> resolveRepositoryRoot(const QString &folder);

private:
    Result<BL_TaskGitCheckpoint> createCheckpoint(const QString &repositoryRootPath, const QString &message) const;
    static Result<QString> createSyntheticCommit(
        const QString &repositoryRootPath, const std::optional<QString> &headCommit, const QString &message);
    static Result<QByteArray> renderPatch(
        const QString &repositoryRootPath, const QString &fromCommit, const QString &toCommit);
    static Result<BL_TaskGitDiffSummary> summarizeNumstat(
        const QString &repositoryRootPath, const QString &fromCommit, const QString &toCommit);

    QString m_dataDirectory;
    const Clock *m_clock;
};
