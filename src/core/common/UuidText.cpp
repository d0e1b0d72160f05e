#include "UuidText.h"

namespace UuidText {

std::optional<QUuid> parse(QStringView text)
{
    if (text.size() != 36)
        return std::nullopt;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (c != u'-')
                return std::nullopt;
            continue;
        }
        const bool isHex = (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
        if (!isHex)
            return std::nullopt;
    }
    const QUuid uuid = QUuid::fromString(text);
    // The all-zero UUID is a valid value and parses; QUuid marks it "null".
    return uuid;
}

QString upper(const QUuid &uuid)
{
    return uuid.toString(QUuid::WithoutBraces).toUpper();
}

QString lower(const QUuid &uuid)
{
    return uuid.toString(QUuid::WithoutBraces).toLower();
}

} // namespace UuidText
