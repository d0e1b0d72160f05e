#include "TaskGitCheckpointService.h"

#include "common/Background.h"
#include "common/ProcessRunner.h"
#include "common/Text.h"
#include "common/UuidText.h"
#include "storage/RegularFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QObject>
#include <QPointer>
#include <QProcessEnvironment>
#include <QScopeGuard>
#include <QStringDecoder>
#include <utility>

namespace {

const QString kNotRepository = QStringLiteral("Workspace is not a Git repository.");
const QString kMissingBefore = QStringLiteral("Missing Git before-checkpoint; cannot compute task diff.");
const QString kBeforeFailed = QStringLiteral("Failed to capture Git before-checkpoint: ");
const QString kAfterFailed = QStringLiteral("Failed to capture Git after-checkpoint: ");

// Git's output as text; a stream that is not valid UTF-8 reads as empty.
QString strictUtf8(const QByteArray &bytes)
{
    QStringDecoder decoder(
        QStringDecoder::Utf8, QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    const QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

Error commandFailed(const QString &command, const GitCommandOutput &output)
{
    return Error::make(command + QStringLiteral(" failed: ") + output.stderrOrStdout());
}

// A cut patch or summary would be wrong, so none is kept.
Error outputTooLarge(const QString &command)
{
    return Error::make(command
        + QStringLiteral(" failed: its output is larger than %1 MiB.")
              .arg(TaskGitCheckpointService::kMaxPatchBytes / (1024 * 1024)));
}

std::optional<qint64> decimal(const QByteArray &field)
{
    bool ok = false;
    const qint64 value = field.toLongLong(&ok, 10);
    return ok ? std::optional<qint64>(value) : std::nullopt;
}

BL_TaskGitDiffArtifact unavailable(std::optional<BL_TaskGitCheckpoint> before = std::nullopt)
{
    BL_TaskGitDiffArtifact artifact;
    artifact.state = BL_TaskGitDiffState::unavailable;
    artifact.before = std::move(before);
    artifact.isExact = false;
    artifact.errorMessage = kNotRepository;
    return artifact;
}

BL_TaskGitDiffArtifact failed(const QString &root, std::optional<BL_TaskGitCheckpoint> before, QString message)
{
    BL_TaskGitDiffArtifact artifact;
    artifact.state = BL_TaskGitDiffState::failed;
    artifact.repositoryRootPath = root;
    artifact.before = std::move(before);
    artifact.isExact = false;
    artifact.errorMessage = std::move(message);
    return artifact;
}

} // namespace

QString GitCommandOutput::stderrOrStdout() const
{
    const QString error = Text::trimmed(standardError);
    if (!error.isEmpty())
        return error;
    const QString output = Text::trimmed(standardOutput);
    if (!output.isEmpty())
        return output;
    return QStringLiteral("Unknown git command failure.");
}

TaskGitCheckpointService::TaskGitCheckpointService(QString dataDirectory, const Clock &clock)
    : m_dataDirectory(std::move(dataDirectory)), m_clock(&clock)
{
}

QString TaskGitCheckpointService::logsDirectory(const QUuid &projectID) const
{
    return QDir::cleanPath(m_dataDirectory + QStringLiteral("/task-logs/") + UuidText::lower(projectID));
}

QString TaskGitCheckpointService::patchFilePath(const QUuid &projectID, const QUuid &taskID) const
{
    return logsDirectory(projectID) + u'/' + UuidText::lower(taskID) + QStringLiteral(".git.diff.patch");
}

bool TaskGitCheckpointService::isObjectName(QStringView text)
{
    if (text.size() != 40 && text.size() != 64)
        return false;
    for (const QChar c : text) {
        const bool digit = c >= u'0' && c <= u'9';
        const bool letter = c >= u'a' && c <= u'f';
        if (!digit && !letter)
            return false;
    }
    return true;
}

std::optional<BL_TaskGitCheckpoint> TaskGitCheckpointService::usableBefore(const BL_TaskGitDiffArtifact &artifact)
{
    if (artifact.before && isObjectName(artifact.before->syntheticCommit))
        return artifact.before;
    return std::nullopt;
}

GitCommandOutput TaskGitCheckpointService::runGit(
    const QString &repositoryRootPath, const QStringList &arguments, const QHash<QString, QString> &environment)
{
    ProcessRequest request;
    request.program = QStringLiteral("git");
    request.arguments = QStringList {QStringLiteral("-C"), repositoryRootPath} + arguments;
    // A patch may be as long as the diff viewer can show; a longer one is
    // refused whole rather than kept cut.
    request.outputLimitBytes = kMaxPatchBytes;
    if (!environment.isEmpty()) {
        QProcessEnvironment childEnvironment = QProcessEnvironment::systemEnvironment();
        for (auto it = environment.constBegin(); it != environment.constEnd(); ++it)
            childEnvironment.insert(it.key(), it.value());
        request.environment = childEnvironment;
    }

    const ProcessResult result = ProcessRunner::runBlocking(request);
    GitCommandOutput output;
    if (result.outcome == ProcessResult::Outcome::FailedToStart) {
        output.standardError = result.errorMessage;
        return output;
    }
    output.exitCode = result.finished() ? result.exitCode : -1;
    output.standardOutputBytes = result.standardOutput;
    output.standardOutputTruncated = result.standardOutputTruncated;
    output.standardOutput = strictUtf8(result.standardOutput);
    output.standardError = strictUtf8(result.standardError);
    if (!result.finished() && Text::isBlank(output.standardError))
        output.standardError = result.errorMessage;
    return output;
}

std::optional<QString> TaskGitCheckpointService::resolveRepositoryRoot(const QString &folder)
{
    // "git -C ''" would ask about the current folder instead.
    if (folder.isEmpty() || QDir::isRelativePath(folder))
        return std::nullopt;
    const GitCommandOutput output = runGit(folder, {QStringLiteral("rev-parse"), QStringLiteral("--show-toplevel")});
    if (output.exitCode != 0)
        return std::nullopt;
    const QString root = Text::trimmed(output.standardOutput);
    if (root.isEmpty())
        return std::nullopt;
    return root;
}

Result<QString> TaskGitCheckpointService::createSyntheticCommit(
    const QString &repositoryRootPath, const std::optional<QString> &headCommit, const QString &message)
{
    const QString indexPath = QDir::tempPath() + QStringLiteral("/tessaron-task-")
        + UuidText::lower(QUuid::createUuid()) + QStringLiteral(".index");
    const auto removeIndex = qScopeGuard([&] {
        QFile::remove(indexPath);
        QFile::remove(indexPath + QStringLiteral(".lock"));
    });
    const QHash<QString, QString> temporaryIndex {{QStringLiteral("GIT_INDEX_FILE"), indexPath}};

    if (headCommit) {
        const auto read = runGit(repositoryRootPath, {QStringLiteral("read-tree"), *headCommit}, temporaryIndex);
        if (read.exitCode != 0)
            return commandFailed(QStringLiteral("git read-tree"), read);
    }
    const auto add = runGit(repositoryRootPath,
        {QStringLiteral("add"), QStringLiteral("-A"), QStringLiteral("--"), QStringLiteral(".")}, temporaryIndex);
    if (add.exitCode != 0)
        return commandFailed(QStringLiteral("git add -A"), add);

    const auto writeTree = runGit(repositoryRootPath, {QStringLiteral("write-tree")}, temporaryIndex);
    if (writeTree.exitCode != 0)
        return commandFailed(QStringLiteral("git write-tree"), writeTree);
    const QString tree = Text::trimmed(writeTree.standardOutput);
    if (tree.isEmpty())
        return Error::make(QStringLiteral("git write-tree produced an empty tree hash."));

    QStringList commitArguments {QStringLiteral("commit-tree"), tree, QStringLiteral("-m"), message};
    if (headCommit)
        commitArguments << QStringLiteral("-p") << *headCommit;
    const auto commit = runGit(repositoryRootPath, commitArguments);
    if (commit.exitCode != 0)
        return commandFailed(QStringLiteral("git commit-tree"), commit);
    const QString name = Text::trimmed(commit.standardOutput);
    if (name.isEmpty())
        return Error::make(QStringLiteral("git commit-tree produced an empty commit hash."));
    return name;
}

Result<BL_TaskGitCheckpoint> TaskGitCheckpointService::createCheckpoint(
    const QString &repositoryRootPath, const QString &message) const
{
    const auto head = runGit(repositoryRootPath, {QStringLiteral("rev-parse"), QStringLiteral("HEAD")});
    std::optional<QString> headCommit;
    if (head.exitCode == 0) {
        const QString name = Text::trimmed(head.standardOutput);
        if (!name.isEmpty())
            headCommit = name;
    }

    // The status must not refresh and rewrite the user's index, nor wait on
    // its lock while the user's own git commands run.
    const auto status = runGit(repositoryRootPath,
        {QStringLiteral("status"), QStringLiteral("--porcelain=v1"), QStringLiteral("--untracked-files=all")},
        {{QStringLiteral("GIT_OPTIONAL_LOCKS"), QStringLiteral("0")}});
    // Judged on the bytes: a path that is not UTF-8 still makes the tree dirty.
    const bool dirty = !status.standardOutputBytes.trimmed().isEmpty();

    const auto commit = createSyntheticCommit(repositoryRootPath, headCommit, message);
    if (!commit)
        return commit.error();
    return BL_TaskGitCheckpoint {m_clock->now(), *commit, headCommit, dirty};
}

Result<QByteArray> TaskGitCheckpointService::renderPatch(
    const QString &repositoryRootPath, const QString &fromCommit, const QString &toCommit)
{
    const auto diff = runGit(repositoryRootPath,
        {QStringLiteral("diff"), QStringLiteral("--no-ext-diff"), QStringLiteral("--binary"), QStringLiteral("--patch"),
            QStringLiteral("--find-renames"), fromCommit, toCommit});
    if (diff.exitCode != 0)
        return commandFailed(QStringLiteral("git diff --patch"), diff);
    if (diff.standardOutputTruncated)
        return outputTooLarge(QStringLiteral("git diff --patch"));
    // Git's bytes unchanged: a patch of files that are not UTF-8 stays whole.
    return diff.standardOutputBytes;
}

Result<BL_TaskGitDiffSummary> TaskGitCheckpointService::summarizeNumstat(
    const QString &repositoryRootPath, const QString &fromCommit, const QString &toCommit)
{
    const auto numstat
        = runGit(repositoryRootPath, {QStringLiteral("diff"), QStringLiteral("--numstat"), fromCommit, toCommit});
    if (numstat.exitCode != 0)
        return commandFailed(QStringLiteral("git diff --numstat"), numstat);
    if (numstat.standardOutputTruncated)
        return outputTooLarge(QStringLiteral("git diff --numstat"));

    // Read from the bytes, so a path that is not UTF-8 still counts.
    BL_TaskGitDiffSummary summary;
    for (const QByteArray &line : numstat.standardOutputBytes.split('\n')) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() < 3)
            continue;
        summary.filesChanged += 1;
        if (const auto added = decimal(fields.at(0)))
            summary.linesAdded += *added;
        if (const auto removed = decimal(fields.at(1)))
            summary.linesRemoved += *removed;
    }
    return summary;
}

BL_TaskGitDiffArtifact TaskGitCheckpointService::captureBefore(const CaptureContext &context) const
{
    const auto root = resolveRepositoryRoot(context.projectRootPath);
    if (!root)
        return unavailable();

    const auto checkpoint
        = createCheckpoint(*root, QStringLiteral("tessaron task before ") + UuidText::lower(context.taskID));
    if (!checkpoint)
        return failed(*root, std::nullopt, kBeforeFailed + checkpoint.error().message);

    BL_TaskGitDiffArtifact artifact;
    artifact.state = BL_TaskGitDiffState::pending;
    artifact.repositoryRootPath = *root;
    artifact.before = *checkpoint;
    artifact.isExact = true;
    return artifact;
}

BL_TaskGitDiffArtifact TaskGitCheckpointService::captureAfter(
    const CaptureContext &context, const BL_TaskGitDiffArtifact &existingArtifact) const
{
    // Only what the task's own workspace resolves to is used as the
    // repository; a stored root is never handed to git.
    const std::optional<BL_TaskGitCheckpoint> before = usableBefore(existingArtifact);
    const auto root = resolveRepositoryRoot(context.projectRootPath);
    if (!root)
        return unavailable(before);
    if (!before)
        return failed(*root, std::nullopt, kMissingBefore);

    const auto after
        = createCheckpoint(*root, QStringLiteral("tessaron task after ") + UuidText::lower(context.taskID));
    if (!after)
        return failed(*root, before, kAfterFailed + after.error().message);
    const auto patch = renderPatch(*root, before->syntheticCommit, after->syntheticCommit);
    if (!patch)
        return failed(*root, before, kAfterFailed + patch.error().message);
    const auto summary = summarizeNumstat(*root, before->syntheticCommit, after->syntheticCommit);
    if (!summary)
        return failed(*root, before, kAfterFailed + summary.error().message);
    if (const auto created = RegularFile::createFolders(logsDirectory(context.projectID)); !created)
        return failed(*root, before, kAfterFailed + created.error().message);
    const QString patchPath = patchFilePath(context.projectID, context.taskID);
    if (const auto written = RegularFile::writeAtomically(patchPath, *patch); !written)
        return failed(*root, before, kAfterFailed + written.error().message);

    BL_TaskGitDiffArtifact artifact;
    artifact.state = BL_TaskGitDiffState::ready;
    artifact.repositoryRootPath = *root;
    artifact.before = before;
    artifact.after = *after;
    artifact.diffFilePath = patchPath;
    artifact.summary = *summary;
    artifact.isExact = true;
    return artifact;
}

QFuture<BL_TaskGitDiffArtifact> TaskGitCheckpointService::captureBeforeInBackground(const CaptureContext &context) const
{
    return Background::runBlocking([service = *this, context] { return service.captureBefore(context); });
}

QFuture<BL_TaskGitDiffArtifact> TaskGitCheckpointService::captureAfterInBackground(
    const CaptureContext &context, const std::optional<BL_TaskGitDiffArtifact> &storedArtifact) const
{
    return Background::runBlocking([service = *this, context, storedArtifact] {
        const BL_TaskGitDiffArtifact baseline
            = storedArtifact && usableBefore(*storedArtifact) ? *storedArtifact : service.captureBefore(context);
        return service.captureAfter(context, baseline);
    });
}

void TaskGitCheckpointService::captureBeforeInBackground(
    const CaptureContext &context, QObject *receiver, ArtifactHandler done) const
{
    captureBeforeInBackground(context).then(
        receiver, [guard = QPointer<QObject>(receiver), done = std::move(done)](BL_TaskGitDiffArtifact artifact) {
            if (guard)
                done(std::move(artifact));
        });
}

void TaskGitCheckpointService::captureAfterInBackground(const CaptureContext &context,
    const std::optional<BL_TaskGitDiffArtifact> &storedArtifact, QObject *receiver, ArtifactHandler done) const
{
    captureAfterInBackground(context, storedArtifact)
        .then(receiver, [guard = QPointer<QObject>(receiver), done = std::move(done)](BL_TaskGitDiffArtifact artifact) {
            if (guard)
                done(std::move(artifact));
        });
}

std::optional<QString> TaskGitCheckpointService::offeredPatchPath(
    const QUuid &projectID, const QUuid &taskID, const BL_TaskGitDiffArtifact &artifact) const
{
    if (!artifact.diffFilePath)
        return std::nullopt;
    const QString ownPath = patchFilePath(projectID, taskID);
    if (Text::trimmed(*artifact.diffFilePath) != ownPath || !RegularFile::isRegularFile(ownPath))
        return std::nullopt;
    return ownPath;
}

PatchRead TaskGitCheckpointService::readPatch(
    const QUuid &projectID, const QUuid &taskID, const BL_TaskGitDiffArtifact &artifact) const
{
    const auto failure = [](PatchReadError::Kind kind, const QString &what) {
        return PatchReadError {kind, QStringLiteral("Unable to open patch: ") + what};
    };
    const auto missing
        = [&] { return failure(PatchReadError::Kind::missing, QStringLiteral("The patch file does not exist.")); };
    const auto path = offeredPatchPath(projectID, taskID, artifact);
    if (!path)
        return missing();
    auto bytes = RegularFile::read(*path, kMaxPatchBytes);
    if (!bytes) {
        // Tell the reasons apart by looking again: the entry may have gone or
        // changed kind since it was offered.
        if (!RegularFile::isRegularFile(*path))
            return missing();
        const qint64 size = QFileInfo(*path).size();
        if (size > kMaxPatchBytes) {
            return failure(PatchReadError::Kind::tooLarge,
                QStringLiteral("The patch file is %1 bytes long, more than the %2 MiB that can be shown.")
                    .arg(size)
                    .arg(kMaxPatchBytes / (1024 * 1024)));
        }
        return failure(PatchReadError::Kind::unreadable, bytes.errorMessage());
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(*bytes);
    if (decoder.hasError()) {
        return failure(PatchReadError::Kind::invalidUtf8, QStringLiteral("The patch file is not valid UTF-8 text."));
    }
    return text;
}
