#include "Json.h"

#include <QJsonDocument>
#include <QLocale>
#include <algorithm>
#include <cmath>

namespace Json {
namespace {

    void writeString(QByteArray &out, const QString &text, const WriteOptions &options)
    {
        static const char hex[] = "0123456789abcdef";
        out.append('"');
        const QByteArray utf8 = text.toUtf8();
        for (qsizetype i = 0; i < utf8.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(utf8[i]);
            switch (c) {
            case '"':
                out.append("\\\"");
                continue;
            case '\\':
                out.append("\\\\");
                continue;
            case '/':
                out.append(options.escapeSlash ? "\\/" : "/");
                continue;
            case '\b':
                out.append("\\b");
                continue;
            case '\f':
                out.append("\\f");
                continue;
            case '\n':
                out.append("\\n");
                continue;
            case '\r':
                out.append("\\r");
                continue;
            case '\t':
                out.append("\\t");
                continue;
            default:
                break;
            }
            if (c < 0x20) {
                out.append("\\u00");
                out.append(hex[c >> 4]);
                out.append(hex[c & 0xf]);
                continue;
            }
            if (options.escapeUnicodeLineBreaks) {
                // U+0085 is C2 85; U+2028 / U+2029 are E2 80 A8 / E2 80 A9.
                if (c == 0xC2 && i + 1 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) == 0x85) {
                    out.append("\\u0085");
                    ++i;
                    continue;
                }
                if (c == 0xE2 && i + 2 < utf8.size() && static_cast<unsigned char>(utf8[i + 1]) == 0x80) {
                    const unsigned char third = static_cast<unsigned char>(utf8[i + 2]);
                    if (third == 0xA8 || third == 0xA9) {
                        out.append(third == 0xA8 ? "\\u2028" : "\\u2029");
                        i += 2;
                        continue;
                    }
                }
            }
            out.append(static_cast<char>(c));
        }
        out.append('"');
    }

    void writeNumber(QByteArray &out, const QJsonValue &value)
    {
        const double d = value.toDouble();
        constexpr qint64 sentinel = std::numeric_limits<qint64>::min();
        const qint64 asInteger = value.toInteger(sentinel);
        if (asInteger != sentinel || d == static_cast<double>(sentinel)) {
            out.append(QByteArray::number(asInteger));
            return;
        }
        if (!std::isfinite(d)) {
            out.append("null"); // JSON has no spelling for these
            return;
        }
        if (d == std::trunc(d) && std::fabs(d) < 1e15) {
            out.append(QByteArray::number(static_cast<qint64>(d)));
            return;
        }
        out.append(QByteArray::number(d, 'g', QLocale::FloatingPointShortest));
    }

    void writeValue(QByteArray &out, const QJsonValue &value, const WriteOptions &options)
    {
        switch (value.type()) {
        case QJsonValue::Null:
        case QJsonValue::Undefined:
            out.append("null");
            break;
        case QJsonValue::Bool:
            out.append(value.toBool() ? "true" : "false");
            break;
        case QJsonValue::Double:
            writeNumber(out, value);
            break;
        case QJsonValue::String:
            writeString(out, value.toString(), options);
            break;
        case QJsonValue::Array: {
            out.append('[');
            bool first = true;
            for (const QJsonValue &element : value.toArray()) {
                if (!first)
                    out.append(',');
                first = false;
                writeValue(out, element, options);
            }
            out.append(']');
            break;
        }
        case QJsonValue::Object: {
            const QJsonObject object = value.toObject();
            QStringList keys = object.keys(); // QJsonObject keeps its keys sorted
            if (options.sortKeys)
                std::sort(keys.begin(), keys.end()); // by UTF-16 code unit, like the system's writer
            out.append('{');
            bool first = true;
            for (const QString &key : keys) {
                if (!first)
                    out.append(',');
                first = false;
                writeString(out, key, options);
                out.append(':');
                writeValue(out, object.value(key), options);
            }
            out.append('}');
            break;
        }
        }
    }

} // namespace

QByteArray write(const QJsonValue &value, const WriteOptions &options)
{
    QByteArray out;
    writeValue(out, value, options);
    return out;
}

QByteArray write(const QJsonObject &object, const WriteOptions &options)
{
    return write(QJsonValue(object), options);
}

QByteArray write(const QJsonArray &array, const WriteOptions &options)
{
    return write(QJsonValue(array), options);
}

QString writeString(const QJsonValue &value, const WriteOptions &options)
{
    return QString::fromUtf8(write(value, options));
}

std::optional<QJsonValue> parseFragment(const QByteArray &text, QString *error)
{
    // Qt only reads objects and arrays at the top level; a one-element array
    // around the text reads any value, and more than one element means the
    // text was not a single value.
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson("[" + text + "]", &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isArray() || document.array().size() != 1) {
        if (error)
            *error = parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                                  : QStringLiteral("not a single JSON value");
        return std::nullopt;
    }
    return document.array().at(0);
}

std::optional<QJsonObject> parseObject(const QByteArray &text, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        if (error)
            *error = parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                                  : QStringLiteral("not a JSON object");
        return std::nullopt;
    }
    return document.object();
}

std::optional<QJsonArray> parseArray(const QByteArray &text, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isArray()) {
        if (error)
            *error = parseError.error != QJsonParseError::NoError ? parseError.errorString()
                                                                  : QStringLiteral("not a JSON array");
        return std::nullopt;
    }
    return document.array();
}

std::optional<qint64> wholeNumber(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    constexpr qint64 sentinel = std::numeric_limits<qint64>::min();
    const qint64 asInteger = value.toInteger(sentinel);
    if (asInteger != sentinel)
        return asInteger;
    const double d = value.toDouble();
    if (!std::isfinite(d) || d != std::trunc(d))
        return std::nullopt;
    // 2^63 itself is not representable; the check keeps the cast defined.
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0)
        return std::nullopt;
    return static_cast<qint64>(d);
}

QString base64(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64());
}

std::optional<QByteArray> fromBase64(const QString &text)
{
    const auto result = QByteArray::fromBase64Encoding(text.toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    // Padding must be right, as the standard decoder insists.
    if (text.size() % 4 != 0)
        return std::nullopt;
    return *result;
}

} // namespace Json
