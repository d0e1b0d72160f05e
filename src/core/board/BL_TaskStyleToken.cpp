#include "BL_TaskStyleToken.h"

#include "common/Json.h"
#include "common/JsonRecord.h"

namespace {

struct TagStyle
{
    const char16_t *tag;
    const char16_t *label;
    const char16_t *colorName;
    const char16_t *iconName;
};

constexpr TagStyle kTagStyles[] = {
    {u"urgent", u"Urgent", u"red", u"bolt.fill"},
    {u"research", u"Research", u"blue", u"magnifyingglass"},
    {u"build", u"Agent task", u"green", u"hammer.fill"},
};
constexpr TagStyle kGeneralStyle = {u"default", u"General", u"gray", u"square.grid.2x2"};

struct NamedColor
{
    const char16_t *name;
    quint32 rgb;
};

constexpr NamedColor kColors[] = {
    {u"red", 0xFF453A},
    {u"blue", 0x0A84FF},
    {u"green", 0x30D158},
    {u"gray", 0x8E8E93},
};
constexpr quint32 kFallbackRgb = 0x8E8E93;

BL_TaskStyleToken tokenOf(const TagStyle &style)
{
    return BL_TaskStyleToken {
        QString::fromUtf16(style.label), QString::fromUtf16(style.colorName), QString::fromUtf16(style.iconName)};
}

quint32 rgbOf(const QString &colorName)
{
    for (const auto &color : kColors)
        if (colorName == QStringView(color.name))
            return color.rgb;
    return kFallbackRgb;
}

} // namespace

Result<BL_TaskTagMetadata> BL_TaskTagMetadata::decode(const QByteArray &metadata)
{
    QString parseError;
    const auto object = Json::parseObject(metadata, &parseError);
    if (!object)
        return Error::make(parseError.isEmpty() ? QStringLiteral("Task metadata is not a JSON object.") : parseError);
    JsonRecordReader reader(*object, QStringLiteral("BL_TaskTagMetadata"));
    BL_TaskTagMetadata decoded;
    decoded.tag = reader.optionalString(QStringLiteral("tag"));
    if (!reader.ok())
        return Error::make(reader.error());
    return decoded;
}

BL_TaskStyleToken BL_TaskStyleToken::forTag(const std::optional<QString> &tag)
{
    if (!tag)
        return tokenOf(kGeneralStyle);
    const QString lowered = tag->toLower();
    for (const auto &style : kTagStyles)
        if (lowered == QStringView(style.tag))
            return tokenOf(style);
    return tokenOf(kGeneralStyle);
}

BL_TaskStyleToken BL_TaskStyleToken::forMetadata(const QByteArray &metadata)
{
    const auto decoded = BL_TaskTagMetadata::decode(metadata);
    return forTag(decoded ? decoded->tag : std::nullopt);
}

QString BL_TaskStyleToken::colorHex() const
{
    return QStringLiteral("#%1").arg(rgbOf(colorName), 6, 16, QLatin1Char('0')).toUpper();
}

quint32 BL_TaskStyleToken::colorRgba() const
{
    return 0xFF000000u | rgbOf(colorName);
}
