#include "state/WebBridge.h"

#include "agents/BL_AgentLoopRecords.h"
#include "common/Json.h"
#include "common/Text.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QStringDecoder>
#include <QUrl>
#include <QUrlQuery>

namespace WebBridge {

namespace {

    std::optional<QString> utf8(const QByteArray &bytes)
    {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString text = decoder.decode(bytes);
        if (decoder.hasError())
            return std::nullopt;
        return text;
    }

    std::optional<QJsonValue> jsonContainer(const QByteArray &bytes)
    {
        QJsonParseError error;
        const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
        if (error.error != QJsonParseError::NoError)
            return std::nullopt;
        if (document.isObject())
            return QJsonValue(document.object());
        if (document.isArray())
            return QJsonValue(document.array());
        return std::nullopt;
    }

} // namespace

QString extractTitle(const BL_Task &task)
{
    const std::optional<QJsonObject> input = Json::parseObject(task.inputData);
    if (input) {
        if (input->value("title").isString())
            return input->value("title").toString();
        if (input->value("prompt").isString())
            return input->value("prompt").toString();
    }
    return QStringLiteral("Untitled");
}

std::optional<QString> sanitizeDetectedURL(const QString &candidate)
{
    static const QString trimSet = QStringLiteral("\"'<>(),");
    qsizetype start = 0;
    qsizetype end = candidate.size();
    while (start < end && trimSet.contains(candidate.at(start)))
        ++start;
    while (end > start && trimSet.contains(candidate.at(end - 1)))
        --end;
    QUrl url(candidate.mid(start, end - start), QUrl::StrictMode);
    if (!url.isValid())
        return std::nullopt;
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return std::nullopt;
    if (url.hasQuery()) {
        QUrlQuery query(url);
        QList<std::pair<QString, QString>> kept;
        for (const auto &item : query.queryItems(QUrl::FullyEncoded)) {
            if (item.first.toLower() != QLatin1String("token"))
                kept.append(item);
        }
        if (kept.isEmpty()) {
            url.setQuery(QString()); // a null text removes the query
        } else {
            QUrlQuery rebuilt;
            rebuilt.setQueryItems(kept);
            url.setQuery(rebuilt.query(QUrl::FullyEncoded), QUrl::StrictMode);
        }
    }
    const QString text = url.toString(QUrl::FullyEncoded);
    if (text.isEmpty())
        return std::nullopt;
    return text;
}

std::optional<QString> extractDetectedURL(const BL_Task &task)
{
    QStringList texts;
    if (task.outputData) {
        if (const auto payload = BL_ShellToolResultPayload::decode(*task.outputData)) {
            texts << payload->standardOutput << payload->standardError;
        }
    }
    texts << utf8(task.inputData).value_or(QString()) << utf8(task.metadata).value_or(QString());
    static const QRegularExpression pattern(QStringLiteral("https?://[^\\s\"'<>]+"));
    for (const QString &text : texts) {
        if (text.isEmpty())
            continue;
        auto matches = pattern.globalMatch(text);
        while (matches.hasNext()) {
            if (const auto url = sanitizeDetectedURL(matches.next().captured(0)); url && !url->isEmpty())
                return url;
        }
    }
    return std::nullopt;
}

QString augmentConversationJSON(const QString &conversationJSON, const std::optional<QString> &stdoutLogTail)
{
    if (!stdoutLogTail || Text::trimmed(*stdoutLogTail).isEmpty())
        return conversationJSON;
    BL_Task carrier;
    carrier.taskConversationData = conversationJSON.toUtf8();
    std::optional<QList<BL_TaskConversationTurn>> turns = carrier.decodedConversation();
    if (!turns || turns->isEmpty())
        return conversationJSON;
    qsizetype latest = 0;
    for (qsizetype i = 0; i < turns->size(); ++i) {
        if (turns->at(i).content.contains(kStdoutTailMarker))
            return conversationJSON;
        if (turns->at(i).timestamp > turns->at(latest).timestamp)
            latest = i;
    }
    (*turns)[latest].content += QStringLiteral("\n\n") + kStdoutTailMarker + QStringLiteral("\n") + *stdoutLogTail;
    return QString::fromUtf8(encodeConversation(*turns));
}

QByteArray normalizedJSONData(const QString &text, const QString &fallback)
{
    const QString trimmed = Text::trimmed(text);
    const QByteArray bytes = trimmed.toUtf8();
    if (!trimmed.isEmpty() && jsonContainer(bytes))
        return bytes;
    return fallback.toUtf8();
}

QString prettyJSON(const QByteArray &bytes, const QString &fallback)
{
    const std::optional<QJsonValue> value = jsonContainer(bytes);
    if (!value)
        return fallback;
    // QJsonDocument sorts object keys.
    const QJsonDocument document
        = value->isObject() ? QJsonDocument(value->toObject()) : QJsonDocument(value->toArray());
    return QString::fromUtf8(document.toJson(QJsonDocument::Indented)).trimmed();
}

std::optional<QString> detailSubmitterUsername(const QByteArray &metadata)
{
    const std::optional<QJsonObject> object = Json::parseObject(metadata);
    if (!object || !object->value("submitter_username").isString())
        return std::nullopt;
    return object->value("submitter_username").toString();
}

std::optional<QString> listSubmitterUsername(const QByteArray &metadata)
{
    const std::optional<QString> name = detailSubmitterUsername(metadata);
    if (!name)
        return std::nullopt;
    const QString trimmed = Text::trimmed(*name);
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

LocalViewer::TaskSummary taskSummary(const BL_Task &task, const std::optional<QString> &stdoutLogTail)
{
    LocalViewer::TaskSummary summary;
    summary.id = task.blID;
    summary.projectID = task.projectID;
    summary.status = rawValue(task.status);
    summary.workerState = rawValue(task.workerState);
    summary.delegationState = rawValue(task.delegationState);
    summary.title = extractTitle(task);
    summary.updatedAt = task.updatedAt;
    summary.detectedURL = extractDetectedURL(task);
    summary.taskHistoryData = task.taskHistoryData;
    const QString conversation = utf8(task.taskConversationData).value_or(QStringLiteral("[]"));
    summary.taskConversationData
        = normalizedJSONData(augmentConversationJSON(conversation, stdoutLogTail), QStringLiteral("[]"));
    summary.submitterUsername = listSubmitterUsername(task.metadata);
    return summary;
}

LocalViewer::TaskDetailResponse taskDetail(const BL_Task &task, const DetailInputs &inputs)
{
    LocalViewer::TaskDetailResponse detail;
    detail.id = task.blID;
    detail.projectID = task.projectID;
    detail.status = rawValue(task.status);
    detail.workerState = rawValue(task.workerState);
    detail.delegationState = rawValue(task.delegationState);
    detail.workerSessionKey = task.workerSessionKey;
    detail.createdAt = task.createdAt;
    detail.updatedAt = task.updatedAt;
    detail.lastActivityAt = task.taskLastActivityDate;
    detail.inputJSON = prettyJSON(task.inputData, QStringLiteral("{}"));
    detail.metadataJSON = prettyJSON(task.metadata, QStringLiteral("{}"));
    if (task.outputData) {
        detail.outputText
            = utf8(*task.outputData).value_or(QStringLiteral("Binary output (%1 bytes)").arg(task.outputData->size()));
    }
    if (const auto artifact = BL_TaskGitDiffArtifact::decode(task.metadata)) {
        detail.gitDiffState = rawValue(artifact->state);
        detail.gitDiffErrorMessage = artifact->errorMessage;
        detail.gitDiffPatch = inputs.gitDiffPatch;
        if (artifact->summary) {
            detail.gitDiffSummaryJSON
                = QString::fromUtf8(QJsonDocument(artifact->summary->toJson()).toJson(QJsonDocument::Indented))
                      .trimmed();
        }
    }
    detail.historyJSON = prettyJSON(task.taskHistoryData, QStringLiteral("[]"));
    detail.conversationJSON = prettyJSON(task.taskConversationData, QStringLiteral("[]"));
    detail.stdoutLogTail = inputs.stdoutLogTail;
    detail.submitterUsername = detailSubmitterUsername(task.metadata);
    return detail;
}

std::optional<QString> sanitizedWorkspaceDirectoryName(const QString &name)
{
    QString text = Text::trimmed(name);
    if (text.isEmpty())
        return std::nullopt;
    static const QRegularExpression others(QStringLiteral("[^A-Za-z0-9_-]+"));
    static const QRegularExpression dashes(QStringLiteral("-{2,}"));
    text.replace(others, QStringLiteral("-"));
    text.replace(dashes, QStringLiteral("-"));
    qsizetype start = 0;
    qsizetype end = text.size();
    auto edge = [](QChar c) { return c == QLatin1Char('-') || c == QLatin1Char('_'); };
    while (start < end && edge(text.at(start)))
        ++start;
    while (end > start && edge(text.at(end - 1)))
        --end;
    text = text.mid(start, end - start);
    if (text.isEmpty())
        return std::nullopt;
    return text.left(80); // ASCII only by now: a character is a code unit
}

QString uniqueWorkspaceDirectoryURL(const QString &folder, const QString &baseName)
{
    const QDir root(folder);
    QString candidate = QDir::cleanPath(root.filePath(baseName));
    for (int n = 2; QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink(); ++n)
        candidate = QDir::cleanPath(root.filePath(baseName + QLatin1Char('-') + QString::number(n)));
    return candidate;
}

std::optional<QString> firstHardwareAddress(const QString &text)
{
    static const QRegularExpression pattern(QStringLiteral(
        "([0-9a-fA-F]{1,2}:[0-9a-fA-F]{1,2}:[0-9a-fA-F]{1,2}:[0-9a-fA-F]{1,2}:[0-9a-fA-F]{1,2}:[0-9a-fA-F]{1,2})"));
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    return match.captured(1).toLower();
}

} // namespace WebBridge
