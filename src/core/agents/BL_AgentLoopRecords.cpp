#include "BL_AgentLoopRecords.h"

#include "common/Json.h"

#include <QHash>
#include <QJsonObject>
#include <limits>

namespace {

QString kindName(BL_AgentToolAction::Kind kind)
{
    return kind == BL_AgentToolAction::Kind::runShell ? QStringLiteral("runShell") : QStringLiteral("spawnShell");
}

// A text value as a literal in double quotes, with quotes, backslashes and
// control characters escaped.
QString quotedLiteral(const QString &text)
{
    QString out;
    out.reserve(text.size() + 2);
    out.append(u'"');
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'"':
            out.append(QStringLiteral("\\\""));
            break;
        case u'\\':
            out.append(QStringLiteral("\\\\"));
            break;
        case u'\n':
            out.append(QStringLiteral("\\n"));
            break;
        case u'\r':
            out.append(QStringLiteral("\\r"));
            break;
        case u'\t':
            out.append(QStringLiteral("\\t"));
            break;
        case 0:
            out.append(QStringLiteral("\\0"));
            break;
        default:
            out.append(c);
        }
    }
    out.append(u'"');
    return out;
}

} // namespace

QString BL_AgentToolAction::displayForm() const
{
    return kindName(kind) + u'(' + command + u')';
}

size_t qHash(const BL_AgentToolAction &action, size_t seed)
{
    return qHashMulti(seed, int(action.kind), action.command);
}

size_t qHash(const BL_Observation &observation, size_t seed)
{
    return qHashMulti(
        seed, observation.summary, observation.payload.has_value(), observation.payload.value_or(QByteArray()));
}

QByteArray BL_ShellToolResultPayload::encoded() const
{
    QJsonObject object;
    object.insert(QStringLiteral("command"), command);
    object.insert(QStringLiteral("exitCode"), exitCode);
    object.insert(QStringLiteral("stdout"), standardOutput);
    object.insert(QStringLiteral("stderr"), standardError);
    return Json::write(object);
}

std::optional<BL_ShellToolResultPayload> BL_ShellToolResultPayload::decode(const QByteArray &json)
{
    const auto object = Json::parseObject(json);
    if (!object)
        return std::nullopt;
    const QJsonValue command = object->value(QStringLiteral("command"));
    const QJsonValue standardOutput = object->value(QStringLiteral("stdout"));
    const QJsonValue standardError = object->value(QStringLiteral("stderr"));
    const auto exitCode = Json::wholeNumber(object->value(QStringLiteral("exitCode")));
    if (!command.isString() || !standardOutput.isString() || !standardError.isString() || !exitCode
        || *exitCode < std::numeric_limits<qint32>::min() || *exitCode > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return BL_ShellToolResultPayload {
        command.toString(), qint32(*exitCode), standardOutput.toString(), standardError.toString()};
}

BL_DomainError::BL_DomainError(QString domain, int code, QString message)
    : m_domain(std::move(domain)), m_code(code), m_message(std::move(message))
{
    setWhat(fullDescription());
}

QString BL_DomainError::fullDescription() const
{
    return QStringLiteral("Error Domain=%1 Code=%2 %3 UserInfo={localizedDescription=%4}")
        .arg(m_domain, QString::number(m_code), quotedLiteral(m_message), m_message);
}

BL_ToolExecutionError::BL_ToolExecutionError(
    Kind kind, QString command, qint32 exitCode, QString standardError, qint64 timeoutSeconds)
    : m_kind(kind),
      m_command(std::move(command)),
      m_exitCode(exitCode),
      m_standardError(std::move(standardError)),
      m_timeoutSeconds(timeoutSeconds)
{
    setWhat(fullDescription());
}

BL_ToolExecutionError BL_ToolExecutionError::nonZeroExit(QString command, qint32 exitCode, QString standardError)
{
    return BL_ToolExecutionError(Kind::nonZeroExit, std::move(command), exitCode, std::move(standardError), 0);
}

BL_ToolExecutionError BL_ToolExecutionError::timedOut(QString command, qint64 timeoutSeconds)
{
    return BL_ToolExecutionError(Kind::timedOut, std::move(command), 0, QString(), timeoutSeconds);
}

QString BL_ToolExecutionError::localizedDescription() const
{
    if (m_kind == Kind::timedOut)
        return QStringLiteral("Shell command timed out after ") + QString::number(m_timeoutSeconds)
            + QStringLiteral("s: ") + m_command;
    QString text = QStringLiteral("Shell command failed with exit code ") + QString::number(m_exitCode)
        + QStringLiteral(": ") + m_command;
    if (!m_standardError.isEmpty())
        text += QStringLiteral(" | stderr: ") + m_standardError;
    return text;
}

QString BL_ToolExecutionError::fullDescription() const
{
    if (m_kind == Kind::timedOut)
        return QStringLiteral("timedOut(command: ") + quotedLiteral(m_command) + QStringLiteral(", timeoutSeconds: ")
            + QString::number(m_timeoutSeconds) + u')';
    return QStringLiteral("nonZeroExit(command: ") + quotedLiteral(m_command) + QStringLiteral(", exitCode: ")
        + QString::number(m_exitCode) + QStringLiteral(", stderr: ") + quotedLiteral(m_standardError) + u')';
}

QString describeAgentRunFailure(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const BL_AgentRunError *>(&error))
        return own->fullDescription();
    return QString::fromUtf8(error.what());
}
