#include "BrimlockReply.h"

#include "common/Json.h"

#include <QJsonArray>

namespace BrimlockReply {

std::optional<QJsonObject> replyObject(const QString &text)
{
    const qsizetype brace = text.indexOf(u'{');
    if (brace < 0)
        return std::nullopt;
    return Json::parseObject(text.mid(brace).toUtf8());
}

std::optional<QStringList> payloadTexts(const QJsonObject &reply)
{
    const QJsonValue result = reply.value(QStringLiteral("result"));
    if (!result.isObject())
        return std::nullopt;
    const QJsonValue payloads = result.toObject().value(QStringLiteral("payloads"));
    if (!payloads.isArray())
        return std::nullopt;
    QStringList texts;
    for (const QJsonValue &entry : payloads.toArray()) {
        if (!entry.isObject())
            return std::nullopt;
        const QJsonValue text = entry.toObject().value(QStringLiteral("text"));
        if (text.isString())
            texts.append(text.toString());
    }
    return texts;
}

} // namespace BrimlockReply
