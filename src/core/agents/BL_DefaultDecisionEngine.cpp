#include "BL_DefaultDecisionEngine.h"

#include "BL_AgentPoolCache.h"
#include "BrimlockReply.h"
#include "BrimlockRuntime.h"
#include "common/Background.h"
#include "common/Json.h"
#include "common/Result.h"
#include "common/Text.h"
#include "common/UuidText.h"

#include "common/FutureResult.h"
#include <QStringDecoder>

namespace {

constexpr qsizetype kTaskDefinitionLimit = 6000;
const QString kMonitorMarker = QStringLiteral("sessions history --session-id");
const QString kSessionOption = QStringLiteral("--session-id ");

Error engineError(int code, const QString &message)
{
    return Error::make(QString::fromLatin1(BL_DefaultDecisionEngine::kErrorDomain), code, message);
}

// The first word of `text` after leading blanks. A word that starts with a
// single quote is read as the shell reads it, so a session id that this
// engine quoted comes back whole; any other word runs to the next blank.
QString firstWord(const QString &text)
{
    qsizetype index = 0;
    while (index < text.size() && text.at(index) == u' ')
        ++index;
    QString word;
    if (index < text.size() && text.at(index) == u'\'') {
        while (index < text.size() && text.at(index) != u' ') {
            const QChar quote = text.at(index);
            if (quote == u'\'' || quote == u'"') {
                const qsizetype close = text.indexOf(quote, index + 1);
                if (close < 0) {
                    word += text.mid(index + 1);
                    break;
                }
                word += text.mid(index + 1, close - index - 1);
                index = close + 1;
            } else {
                word += quote;
                ++index;
            }
        }
        return word;
    }
    const qsizetype end = text.indexOf(u' ', index);
    return text.mid(index, end < 0 ? -1 : end - index);
}

std::optional<QString> sessionIDFromCommand(const QString &command)
{
    const qsizetype found = command.indexOf(kSessionOption);
    if (found < 0)
        return std::nullopt;
    const QString identifier = Text::trimmed(firstWord(command.mid(found + kSessionOption.size())));
    if (identifier.isEmpty())
        return std::nullopt;
    return identifier;
}

// The decision after an observation. Runs on the thread pool: a monitoring
// command needs the invocation prefix, whose search may start a login shell.
Result<BL_AgentDecision> decideAfterObservation(const BL_ThoughtActionObservationState &state,
    const std::optional<QString> &projectRootPath, qint64 maxMonitorAttempts,
    const BL_DefaultDecisionEngine::InvocationPrefixProvider &invocationPrefixProvider)
{
    using Kind = BL_DefaultDecisionEngine::WorkerStatusKind;
    const BL_Observation &newest = state.observations.constLast();
    if (!newest.payload)
        return BL_AgentDecision::finish(std::nullopt);
    const auto result = BL_ShellToolResultPayload::decode(*newest.payload);
    if (!result)
        return BL_AgentDecision::finish(newest.payload);

    const qint64 monitorCount = BL_DefaultDecisionEngine::monitorCommandCount(state);
    const std::optional<QString> sessionID = BL_DefaultDecisionEngine::resolveWorkerSessionID(state);
    const BL_DefaultDecisionEngine::WorkerStatus status
        = BL_DefaultDecisionEngine::resolveWorkerStatus(result->standardOutput);

    switch (status.kind) {
    case Kind::succeeded:
    case Kind::undetermined:
        return BL_AgentDecision::finish(newest.payload);
    case Kind::failed:
        return engineError(2, QStringLiteral("Delegated worker failed: ") + status.detail);
    case Kind::dispatched:
    case Kind::running:
        break;
    }
    if (!sessionID)
        return engineError(1, QStringLiteral("Worker dispatch acknowledged but no session id was returned."));
    if (monitorCount >= maxMonitorAttempts)
        return engineError(3,
            QStringLiteral("Timed out waiting for delegated worker terminal status after ")
                + QString::number(maxMonitorAttempts) + QStringLiteral(" checks."));
    const QString prefix = invocationPrefixProvider().value_or(QStringLiteral("brimlock"));
    return BL_AgentDecision::makeAction(BL_AgentToolAction::runShell(
        BL_DefaultDecisionEngine::makeMonitorCommand(prefix, *sessionID, projectRootPath)));
}

} // namespace

BL_DefaultDecisionEngine::BL_DefaultDecisionEngine(
    qint64 maxMonitorAttempts, AgentNameSource agentNameSource, InvocationPrefixProvider invocationPrefixProvider)
    : m_maxMonitorAttempts(maxMonitorAttempts),
      m_agentNameSource(agentNameSource ? std::move(agentNameSource) : AgentNameSource([] {
          return BL_AgentPoolCache::shared().randomSubAgentName();
      })),
      m_invocationPrefixProvider(invocationPrefixProvider
              ? std::move(invocationPrefixProvider)
              : InvocationPrefixProvider([] { return BrimlockRuntime::invocationPrefix(); }))
{
}

QCoro::Task<BL_AgentDecision> BL_DefaultDecisionEngine::nextDecision(QUuid taskID, QUuid projectID, BL_Agent agent,
    std::optional<QByteArray> taskInputData, std::optional<QString> projectRootPath,
    BL_ThoughtActionObservationState taoState)
{
    // The pool agent and the workspace play no part: the agent named in the
    // dispatch comes from the agent-name cache.
    Q_UNUSED(projectID);
    Q_UNUSED(agent);
    // Copied before the first suspension.
    const InvocationPrefixProvider prefixProvider = m_invocationPrefixProvider;
    const qint64 maxMonitorAttempts = m_maxMonitorAttempts;

    if (taoState.observations.isEmpty()) {
        auto naming = futureResult(m_agentNameSource());
        const QString agentName = co_await std::move(naming);
        auto building
            = futureResult(Background::runBlocking([prefixProvider, taskID, agentName, taskInputData, projectRootPath] {
                  const QString prefix = prefixProvider().value_or(QStringLiteral("brimlock"));
                  return makeWorkerDispatchCommand(prefix, taskID, agentName, taskInputData, projectRootPath);
              }));
        const QString command = co_await std::move(building);
        co_return BL_AgentDecision::makeAction(BL_AgentToolAction::runShell(command));
    }

    auto deciding
        = futureResult(Background::runBlocking([taoState, projectRootPath, maxMonitorAttempts, prefixProvider] {
              return decideAfterObservation(taoState, projectRootPath, maxMonitorAttempts, prefixProvider);
          }));
    const Result<BL_AgentDecision> decision = co_await std::move(deciding);
    if (!decision)
        throw BL_DomainError(decision.error().domain, decision.error().code, decision.error().message);
    co_return decision.value();
}

QString BL_DefaultDecisionEngine::decodeTaskDefinition(const std::optional<QByteArray> &taskInputData)
{
    QString text;
    if (taskInputData) {
        if (const auto object = Json::parseObject(*taskInputData)) {
            text = QString::fromUtf8(Json::write(*object));
        } else if (const auto array = Json::parseArray(*taskInputData)) {
            text = QString::fromUtf8(Json::write(*array));
        } else {
            QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            text = decoder.decode(*taskInputData);
            if (decoder.hasError())
                text.clear();
        }
    }
    if (text.isEmpty())
        text = QStringLiteral("{}");
    return Text::cutToGraphemes(text, kTaskDefinitionLimit, QStringLiteral("\n...[truncated]"));
}

QString BL_DefaultDecisionEngine::decorateTaskDefinitionWithProjectRoot(
    const QString &definition, const std::optional<QString> &projectRootPath)
{
    if (!projectRootPath || Text::isBlank(*projectRootPath))
        return definition;
    const QString &root = *projectRootPath;
    return QStringLiteral("First change directory to ") + root + QStringLiteral(" (run: cd ") + root
        + QStringLiteral("), then execute the task instructions below exactly as requested.\n\n") + definition;
}

QString BL_DefaultDecisionEngine::directoryPrefix(const std::optional<QString> &projectRootPath)
{
    if (!projectRootPath || Text::isBlank(*projectRootPath))
        return QString();
    return QStringLiteral("cd ") + Text::shellSingleQuoted(*projectRootPath) + QStringLiteral(" && ");
}

QString BL_DefaultDecisionEngine::quotedDispatchMessage(const QString &message)
{
    QString json = QString::fromUtf8(Json::write(QJsonValue(message)));
    if (json.size() < 2 || !json.startsWith(u'"') || !json.endsWith(u'"'))
        json = QStringLiteral("\"{}\"");
    // What the shell leaves of a double-quoted word: the quotes go, and a
    // backslash before a quote, a backslash, a dollar sign, a backtick or a
    // line feed goes (a backslash and line feed together vanish). Every other
    // backslash stays.
    const QStringView inner = QStringView(json).sliced(1, json.size() - 2);
    QString delivered;
    delivered.reserve(inner.size());
    for (qsizetype index = 0; index < inner.size(); ++index) {
        const QChar c = inner.at(index);
        if (c == u'\\' && index + 1 < inner.size()) {
            const QChar next = inner.at(index + 1);
            if (next == u'"' || next == u'\\' || next == u'$' || next == u'`' || next == u'\n') {
                if (next != u'\n')
                    delivered.append(next);
                ++index;
                continue;
            }
        }
        delivered.append(c);
    }
    return Text::shellSingleQuoted(delivered);
}

QString BL_DefaultDecisionEngine::makeWorkerDispatchCommand(const QString &invocationPrefix, const QUuid &taskID,
    const QString &selectedAgentName, const std::optional<QByteArray> &taskInputData,
    const std::optional<QString> &projectRootPath)
{
    const QString message = decorateTaskDefinitionWithProjectRoot(decodeTaskDefinition(taskInputData), projectRootPath);
    return directoryPrefix(projectRootPath) + invocationPrefix + QStringLiteral(" agent --agent ")
        + Text::shellSingleQuoted(selectedAgentName) + QStringLiteral(" --session-id ") + UuidText::lower(taskID)
        + QStringLiteral(" --message ") + quotedDispatchMessage(message) + QStringLiteral(" --timeout 0");
}

QString BL_DefaultDecisionEngine::makeMonitorCommand(
    const QString &invocationPrefix, const QString &sessionID, const std::optional<QString> &projectRootPath)
{
    return directoryPrefix(projectRootPath) + invocationPrefix + QStringLiteral(" sessions history --session-id ")
        + Text::shellSingleQuoted(sessionID) + QStringLiteral(" --json");
}

std::optional<BL_DefaultDecisionEngine::AgentReply> BL_DefaultDecisionEngine::parseAgentResponseJSON(
    const QString &text)
{
    const auto reply = BrimlockReply::replyObject(text);
    if (!reply)
        return std::nullopt;
    AgentReply parsed;
    const QJsonValue result = reply->value(QStringLiteral("result"));
    if (!result.isObject())
        return parsed;
    parsed.payloadText = BrimlockReply::payloadTexts(*reply).value_or(QStringList()).join(u'\n');
    const QJsonValue meta = result.toObject().value(QStringLiteral("meta"));
    const QJsonValue agentMeta = meta.toObject().value(QStringLiteral("agentMeta"));
    const QJsonValue sessionID = agentMeta.toObject().value(QStringLiteral("sessionId"));
    if (meta.isObject() && agentMeta.isObject() && sessionID.isString())
        parsed.sessionID = sessionID.toString();
    return parsed;
}

std::optional<QString> BL_DefaultDecisionEngine::resolveLatestSessionID(const QList<BL_Observation> &observations)
{
    for (auto it = observations.crbegin(); it != observations.crend(); ++it) {
        if (!it->payload)
            continue;
        const auto result = BL_ShellToolResultPayload::decode(*it->payload);
        if (!result)
            continue;
        const auto reply = parseAgentResponseJSON(result->standardOutput);
        if (reply && reply->sessionID && !reply->sessionID->isEmpty())
            return reply->sessionID;
    }
    return std::nullopt;
}

std::optional<QString> BL_DefaultDecisionEngine::resolveWorkerSessionID(const BL_ThoughtActionObservationState &state)
{
    for (const BL_AgentToolAction &action : state.actions) {
        if (action.kind != BL_AgentToolAction::Kind::runShell)
            continue;
        if (auto identifier = sessionIDFromCommand(action.command))
            return identifier;
    }
    return resolveLatestSessionID(state.observations);
}

std::optional<QString> BL_DefaultDecisionEngine::parseStructuredWorkerStatus(const QString &text)
{
    const auto object = Json::parseObject(text.toUtf8());
    if (!object)
        return std::nullopt;
    const QJsonValue status = object->value(QStringLiteral("workerStatus"));
    if (!status.isString())
        return std::nullopt;
    return Text::trimmed(status.toString()).toLower();
}

std::optional<QString> BL_DefaultDecisionEngine::parseStructuredWorkerDetail(const QString &text)
{
    const auto object = Json::parseObject(text.toUtf8());
    if (!object)
        return std::nullopt;
    const QJsonValue detail = object->value(QStringLiteral("detail"));
    if (!detail.isString())
        return std::nullopt;
    const QString trimmed = Text::trimmed(detail.toString());
    if (trimmed.isEmpty())
        return std::nullopt;
    return trimmed;
}

BL_DefaultDecisionEngine::WorkerStatus BL_DefaultDecisionEngine::resolveWorkerStatus(const QString &standardOutput)
{
    const auto reply = parseAgentResponseJSON(standardOutput);
    if (!reply)
        return {WorkerStatusKind::undetermined, QString()};
    const QString &text = reply->payloadText;
    const QString lower = text.toLower();

    if (const auto structured = parseStructuredWorkerStatus(text)) {
        if (*structured == QStringLiteral("succeeded"))
            return {WorkerStatusKind::succeeded, QString()};
        if (*structured == QStringLiteral("failed"))
            return {WorkerStatusKind::failed, parseStructuredWorkerDetail(text).value_or(text)};
        if (*structured == QStringLiteral("running"))
            return {WorkerStatusKind::running, QString()};
    }

    const QString failureDetail = text.isEmpty() ? QStringLiteral("worker reported failure") : text;
    struct Marker
    {
        const char16_t *text;
        WorkerStatusKind kind;
    };
    static const Marker markers[] = {
        {u"dispatched `qs-worker-", WorkerStatusKind::dispatched},
        {u"now running", WorkerStatusKind::dispatched},
        {u"still running", WorkerStatusKind::running},
        {u"\"workerstatus\":\"running\"", WorkerStatusKind::running},
        {u"workerstatus\":\"succeeded\"", WorkerStatusKind::succeeded},
        {u"workerstatus\":\"success\"", WorkerStatusKind::succeeded},
        {u"completed successfully", WorkerStatusKind::succeeded},
        {u"workerstatus\":\"failed\"", WorkerStatusKind::failed},
        {u"failed", WorkerStatusKind::failed},
        {u"error", WorkerStatusKind::failed},
    };
    for (const Marker &marker : markers) {
        if (lower.contains(QStringView(marker.text)))
            return {marker.kind, marker.kind == WorkerStatusKind::failed ? failureDetail : QString()};
    }
    return {WorkerStatusKind::undetermined, QString()};
}

qint64 BL_DefaultDecisionEngine::monitorCommandCount(const BL_ThoughtActionObservationState &state)
{
    return std::count_if(state.actions.cbegin(), state.actions.cend(), [](const BL_AgentToolAction &action) {
        return action.kind == BL_AgentToolAction::Kind::runShell && action.command.contains(kMonitorMarker);
    });
}
