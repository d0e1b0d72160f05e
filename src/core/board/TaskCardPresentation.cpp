#include "TaskCardPresentation.h"

#include "agents/BL_AgentLoopRecords.h"
#include "common/Text.h"
#include "common/UuidText.h"

#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>
#include <limits>

namespace {

std::optional<QJsonObject> parseObject(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    return document.object();
}

// The strict read: absent or null members are none, any other non-string
// member rejects the whole object.
std::optional<std::optional<QString>> strictCandidate(const QJsonObject &object)
{
    std::optional<QString> title;
    std::optional<QString> prompt;
    for (const auto &[key, target] :
        {std::pair {QStringLiteral("title"), &title}, {QStringLiteral("prompt"), &prompt}}) {
        const QJsonValue value = object.value(key);
        if (value.isUndefined() || value.isNull())
            continue;
        if (!value.isString())
            return std::nullopt;
        *target = value.toString();
    }
    return title ? title : prompt;
}

} // namespace

QString TaskInputSummaryParser::fallbackTitle(const QUuid &taskID)
{
    return QStringLiteral("Task ") + UuidText::upper(taskID).left(8);
}

QString TaskInputSummaryParser::title(const QByteArray &inputData, const QUuid &taskID)
{
    const std::optional<QJsonObject> object = parseObject(inputData);
    if (!object)
        return fallbackTitle(taskID);
    if (const auto strict = strictCandidate(*object); strict && *strict) {
        const QString trimmed = Text::trimmed(**strict);
        if (!trimmed.isEmpty())
            return trimmed;
    }
    std::optional<QString> candidate;
    if (object->value(QStringLiteral("title")).isString())
        candidate = object->value(QStringLiteral("title")).toString();
    else if (object->value(QStringLiteral("prompt")).isString())
        candidate = object->value(QStringLiteral("prompt")).toString();
    if (candidate) {
        const QString trimmed = Text::trimmed(*candidate);
        if (!trimmed.isEmpty())
            return trimmed;
    }
    return fallbackTitle(taskID);
}

std::optional<QString> TaskSubmitterUsernameParser::username(const QByteArray &metadata)
{
    const std::optional<QJsonObject> object = parseObject(metadata);
    if (!object)
        return std::nullopt;
    const QJsonValue value = object->value(QStringLiteral("submitter_username"));
    if (!value.isString())
        return std::nullopt;
    const QString trimmed = Text::trimmed(value.toString());
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

TaskCardRenderModel::TaskCardRenderModel(const BL_Task &task)
    : title(TaskInputSummaryParser::title(task.inputData, task.blID)),
      submitterUsername(TaskSubmitterUsernameParser::username(task.metadata)),
      completionExitCode(exitCode(task.outputData))
{
    const std::optional<BL_TaskGitDiffArtifact> artifact = BL_TaskGitDiffArtifact::decode(task.metadata);
    if (artifact)
        gitDiffSummary = artifact->summary;
    hasReadableGitDiff = resolveGitDiffPath(artifact).has_value();
}

TaskCardRenderModel::TaskCardRenderModel(const BL_Task &task, const TaskGitCheckpointService &patchReader)
    : title(TaskInputSummaryParser::title(task.inputData, task.blID)),
      submitterUsername(TaskSubmitterUsernameParser::username(task.metadata)),
      completionExitCode(exitCode(task.outputData))
{
    const std::optional<BL_TaskGitDiffArtifact> artifact = BL_TaskGitDiffArtifact::decode(task.metadata);
    if (!artifact)
        return;
    gitDiffSummary = artifact->summary;
    hasReadableGitDiff = patchReader.offeredPatchPath(task.projectID, task.blID, *artifact).has_value();
}

std::optional<QString> TaskCardRenderModel::resolveGitDiffPath(const std::optional<BL_TaskGitDiffArtifact> &artifact)
{
    if (!artifact || !artifact->diffFilePath)
        return std::nullopt;
    const QString &path = *artifact->diffFilePath;
    if (Text::isBlank(path))
        return std::nullopt;
    if (!QFileInfo::exists(path))
        return std::nullopt;
    return path;
}

std::optional<qint32> TaskCardRenderModel::exitCode(const std::optional<QByteArray> &outputData)
{
    if (!outputData)
        return std::nullopt;
    // The exit code is a 32-bit integer: anything else is not a result.
    const std::optional<QJsonObject> object = parseObject(*outputData);
    if (!object)
        return std::nullopt;
    const QJsonValue code = object->value(QStringLiteral("exitCode"));
    const double number = code.toDouble(0.5);
    if (!code.isDouble() || number != std::floor(number) || number < std::numeric_limits<qint32>::min()
        || number > std::numeric_limits<qint32>::max())
        return std::nullopt;
    const auto payload = BL_ShellToolResultPayload::decode(*outputData);
    if (!payload)
        return std::nullopt;
    return payload->exitCode;
}

QString TaskCardRules::tagChipColorName(const QString &colorName)
{
    if (colorName == u"red" || colorName == u"blue" || colorName == u"green")
        return colorName;
    return QStringLiteral("gray");
}

bool TaskCardRules::isPotentiallyStale(const BL_Task &task, TimePoint now)
{
    return task.status == BL_TaskStatus::inProgress && task.taskLastActivityDate < now.addSeconds(-kStaleAfterSeconds);
}

bool TaskCardRules::isCompletionFailure(const BL_Task &task, const TaskCardRenderModel &model)
{
    return task.status == BL_TaskStatus::failed || (model.completionExitCode && *model.completionExitCode != 0);
}

bool TaskCardRules::canOpenGitDiffFromCard(const BL_Task &task, const TaskCardRenderModel &model)
{
    return (task.status == BL_TaskStatus::completed || task.status == BL_TaskStatus::failed) && model.hasReadableGitDiff
        && model.gitDiffSummary.has_value();
}

QString TaskCardRules::borderColorName(const BL_Task &task, const TaskCardRenderModel &model)
{
    switch (task.status) {
    case BL_TaskStatus::backlog:
    case BL_TaskStatus::queued:
        return QStringLiteral("gray");
    case BL_TaskStatus::inProgress:
        return QStringLiteral("glow");
    case BL_TaskStatus::completed:
        return isCompletionFailure(task, model) ? QStringLiteral("red") : QStringLiteral("green");
    case BL_TaskStatus::failed:
        return QStringLiteral("red");
    }
    return QStringLiteral("gray");
}

std::pair<CardRgb, CardRgb> TaskCardRules::backgroundGradient(BL_TaskStatus status)
{
    switch (status) {
    case BL_TaskStatus::backlog:
        return {{0.18, 0.18, 0.21}, {0.13, 0.13, 0.16}};
    case BL_TaskStatus::queued:
        return {{0.20, 0.19, 0.23}, {0.14, 0.14, 0.17}};
    case BL_TaskStatus::inProgress:
        return {{0.20, 0.19, 0.26}, {0.13, 0.12, 0.17}};
    case BL_TaskStatus::completed:
        return {{0.18, 0.20, 0.20}, {0.12, 0.14, 0.14}};
    case BL_TaskStatus::failed:
        return {{0.22, 0.17, 0.17}, {0.14, 0.12, 0.12}};
    }
    return {};
}

bool TaskCardRules::showsForceDelegate(BL_TaskStatus status)
{
    return status == BL_TaskStatus::queued;
}
bool TaskCardRules::showsWorkerComplete(BL_TaskStatus status)
{
    return status == BL_TaskStatus::inProgress;
}
bool TaskCardRules::showsKilled(BL_TaskStatus status, bool isKillRequested)
{
    return status == BL_TaskStatus::inProgress && isKillRequested;
}

QString BoardRules::columnTitle(BL_TaskStatus status)
{
    switch (status) {
    case BL_TaskStatus::backlog:
        return QStringLiteral("Backlog");
    case BL_TaskStatus::queued:
        return QStringLiteral("Intake (Runs automatically)");
    case BL_TaskStatus::inProgress:
        return QStringLiteral("In Progress");
    case BL_TaskStatus::completed:
    case BL_TaskStatus::failed:
        return QStringLiteral("Done");
    }
    return {};
}

QList<BL_TaskStatus> BoardRules::columnStatuses(BL_TaskStatus status)
{
    if (status == BL_TaskStatus::completed)
        return {BL_TaskStatus::completed, BL_TaskStatus::failed};
    return {status};
}

BoardRules::DropAction BoardRules::drop(
    const QStringList &items, BL_TaskStatus target, const QHash<QUuid, BL_Task> &taskByID)
{
    if (items.isEmpty())
        return {};
    const std::optional<QUuid> id = UuidText::parse(items.first());
    if (!id)
        return {};
    const auto found = taskByID.constFind(*id);
    if (found == taskByID.constEnd())
        return {};
    if (found->status == BL_TaskStatus::queued && target == BL_TaskStatus::inProgress)
        return {DropAction::Kind::delegate, *id, target};
    return {DropAction::Kind::move, *id, target};
}
