#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <optional>

// Reading the Brimlock tool's JSON replies: other text may come before the
// reply object, which holds the agent's reply texts under "result" /
// "payloads" / "text" and the session under "result" / "meta" / "agentMeta" /
// "sessionId".
namespace BrimlockReply {

// The JSON object that starts at the first "{" and runs to the end of the
// text; nothing when there is no brace, the rest is not one JSON object, or
// text follows it.
std::optional<QJsonObject> replyObject(const QString &text);

// The string "text" members of "result" / "payloads", in order, untouched;
// nothing when "result" is not an object or "payloads" is not an array of
// objects.
std::optional<QStringList> payloadTexts(const QJsonObject &reply);

} // namespace BrimlockReply
