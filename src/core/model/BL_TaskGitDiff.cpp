#include "BL_TaskGitDiff.h"

#include "common/Json.h"
#include "common/JsonRecord.h"
#include "model/ValueHasher.h"

#include <QJsonDocument>
#include <QJsonParseError>

namespace {

const QString kArtifactKey = QStringLiteral("git_diff_artifact");

Error notAnObject()
{
    return Error::make(QStringLiteral("Expected an object"));
}

// Reads an optional nested record; a failure names the key it sits under.
template<typename T> std::optional<T> optionalNested(JsonRecordReader &reader, const QString &key)
{
    if (!reader.ok() || reader.isAbsent(key))
        return std::nullopt;
    const QJsonObject object = reader.object(key);
    if (!reader.ok())
        return std::nullopt;
    Result<T> nested = T::fromJson(object);
    if (!nested) {
        reader.fail(key + QStringLiteral(": ") + nested.errorMessage());
        return std::nullopt;
    }
    return std::move(nested).value();
}

bool readableDate(const TimePoint &date)
{
    return TimePoint::fromReferenceSecondsChecked(date.referenceSeconds()).has_value();
}

bool readableCheckpoint(const std::optional<BL_TaskGitCheckpoint> &checkpoint)
{
    return !checkpoint || readableDate(checkpoint->capturedAt);
}

// A document whose top level is an object or an array; nothing otherwise.
std::optional<QJsonDocument> parseContainer(const QByteArray &bytes)
{
    QJsonParseError error;
    QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || (!document.isObject() && !document.isArray()))
        return std::nullopt;
    return document;
}

} // namespace

QString rawValue(BL_TaskGitDiffState state)
{
    switch (state) {
    case BL_TaskGitDiffState::pending:
        return QStringLiteral("pending");
    case BL_TaskGitDiffState::ready:
        return QStringLiteral("ready");
    case BL_TaskGitDiffState::unavailable:
        return QStringLiteral("unavailable");
    case BL_TaskGitDiffState::failed:
        return QStringLiteral("failed");
    }
    return QString();
}

std::optional<BL_TaskGitDiffState> taskGitDiffStateFromRaw(QStringView raw)
{
    for (const auto state : {BL_TaskGitDiffState::pending, BL_TaskGitDiffState::ready, BL_TaskGitDiffState::unavailable,
             BL_TaskGitDiffState::failed}) {
        if (raw == rawValue(state))
            return state;
    }
    return std::nullopt;
}

QJsonObject BL_TaskGitCheckpoint::toJson() const
{
    JsonRecordWriter writer;
    writer.putDate(QStringLiteral("capturedAt"), capturedAt);
    writer.put(QStringLiteral("syntheticCommit"), syntheticCommit);
    writer.putOptional(QStringLiteral("headCommit"), headCommit);
    writer.put(QStringLiteral("workingTreeDirty"), workingTreeDirty);
    return writer.result();
}

Result<BL_TaskGitCheckpoint> BL_TaskGitCheckpoint::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_TaskGitCheckpoint checkpoint;
    checkpoint.capturedAt = reader.date(QStringLiteral("capturedAt"));
    checkpoint.syntheticCommit = reader.string(QStringLiteral("syntheticCommit"));
    checkpoint.headCommit = reader.optionalString(QStringLiteral("headCommit"));
    checkpoint.workingTreeDirty = reader.boolean(QStringLiteral("workingTreeDirty"));
    if (!reader.ok())
        return Error::make(reader.error());
    return checkpoint;
}

size_t qHash(const BL_TaskGitCheckpoint &checkpoint, size_t seed)
{
    return ValueHasher(seed)
        .add(checkpoint.capturedAt)
        .add(checkpoint.syntheticCommit)
        .add(checkpoint.headCommit)
        .add(checkpoint.workingTreeDirty)
        .result();
}

QJsonObject BL_TaskGitDiffSummary::toJson() const
{
    JsonRecordWriter writer;
    writer.put(QStringLiteral("linesAdded"), linesAdded);
    writer.put(QStringLiteral("linesRemoved"), linesRemoved);
    writer.put(QStringLiteral("filesChanged"), filesChanged);
    return writer.result();
}

Result<BL_TaskGitDiffSummary> BL_TaskGitDiffSummary::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_TaskGitDiffSummary summary;
    summary.linesAdded = reader.integer(QStringLiteral("linesAdded"));
    summary.linesRemoved = reader.integer(QStringLiteral("linesRemoved"));
    summary.filesChanged = reader.integer(QStringLiteral("filesChanged"));
    if (!reader.ok())
        return Error::make(reader.error());
    return summary;
}

size_t qHash(const BL_TaskGitDiffSummary &summary, size_t seed)
{
    return ValueHasher(seed).add(summary.linesAdded).add(summary.linesRemoved).add(summary.filesChanged).result();
}

QJsonObject BL_TaskGitDiffArtifact::toJson() const
{
    JsonRecordWriter writer;
    writer.put(QStringLiteral("state"), rawValue(state));
    writer.putOptional(QStringLiteral("repositoryRootPath"), repositoryRootPath);
    if (before)
        writer.put(QStringLiteral("before"), before->toJson());
    if (after)
        writer.put(QStringLiteral("after"), after->toJson());
    writer.putOptional(QStringLiteral("diffFilePath"), diffFilePath);
    if (summary)
        writer.put(QStringLiteral("summary"), summary->toJson());
    writer.put(QStringLiteral("isExact"), isExact);
    writer.putOptional(QStringLiteral("errorMessage"), errorMessage);
    return writer.result();
}

Result<BL_TaskGitDiffArtifact> BL_TaskGitDiffArtifact::fromJson(const QJsonValue &json)
{
    if (!json.isObject())
        return notAnObject();
    JsonRecordReader reader(json.toObject());
    BL_TaskGitDiffArtifact artifact;
    artifact.state = reader.enumeration<BL_TaskGitDiffState>(QStringLiteral("state"), taskGitDiffStateFromRaw);
    artifact.repositoryRootPath = reader.optionalString(QStringLiteral("repositoryRootPath"));
    artifact.before = optionalNested<BL_TaskGitCheckpoint>(reader, QStringLiteral("before"));
    artifact.after = optionalNested<BL_TaskGitCheckpoint>(reader, QStringLiteral("after"));
    artifact.diffFilePath = reader.optionalString(QStringLiteral("diffFilePath"));
    artifact.summary = optionalNested<BL_TaskGitDiffSummary>(reader, QStringLiteral("summary"));
    artifact.isExact = reader.boolean(QStringLiteral("isExact"));
    artifact.errorMessage = reader.optionalString(QStringLiteral("errorMessage"));
    if (!reader.ok())
        return Error::make(reader.error());
    return artifact;
}

std::optional<BL_TaskGitDiffArtifact> BL_TaskGitDiffArtifact::decode(const QByteArray &taskMetadata)
{
    const auto document = parseContainer(taskMetadata);
    if (!document || !document->isObject())
        return std::nullopt;
    const QJsonObject metadata = document->object();
    const auto member = metadata.constFind(kArtifactKey);
    if (member == metadata.constEnd() || !(member->isObject() || member->isArray()))
        return std::nullopt;
    Result<BL_TaskGitDiffArtifact> artifact = fromJson(*member);
    if (!artifact)
        return std::nullopt;
    return std::move(artifact).value();
}

QByteArray BL_TaskGitDiffArtifact::encode(
    const std::optional<BL_TaskGitDiffArtifact> &artifact, const QByteArray &taskMetadata)
{
    const auto document = parseContainer(taskMetadata);
    QJsonObject metadata = document && document->isObject() ? document->object() : QJsonObject();
    if (artifact) {
        // Never store what decode could not read back: it would hide the
        // artifact and drop the one stored before.
        if (!readableCheckpoint(artifact->before) || !readableCheckpoint(artifact->after))
            return taskMetadata;
        metadata.insert(kArtifactKey, artifact->toJson());
    } else {
        metadata.remove(kArtifactKey);
    }
    return Json::write(metadata);
}

size_t qHash(const BL_TaskGitDiffArtifact &artifact, size_t seed)
{
    return ValueHasher(seed)
        .add(rawValue(artifact.state))
        .add(artifact.repositoryRootPath)
        .add(artifact.before)
        .add(artifact.after)
        .add(artifact.diffFilePath)
        .add(artifact.summary)
        .add(artifact.isExact)
        .add(artifact.errorMessage)
        .result();
}
