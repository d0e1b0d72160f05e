#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <optional>

// The system's one JSON writer: compact, object keys sorted at every depth,
// "/" written as "\/" (the way the system has always written its own JSON),
// and bare scalars allowed where a fragment is asked for.
namespace Json {

struct WriteOptions
{
    bool sortKeys = true;
    bool escapeSlash = true;
    // U+2028, U+2029 and U+0085 written as \u escapes, so a reader that
    // splits on every Unicode line break never cuts a line in two.
    bool escapeUnicodeLineBreaks = false;
};

QByteArray write(const QJsonValue &value, const WriteOptions &options = {});
QByteArray write(const QJsonObject &object, const WriteOptions &options = {});
QByteArray write(const QJsonArray &array, const WriteOptions &options = {});
QString writeString(const QJsonValue &value, const WriteOptions &options = {});

// Parses a JSON text of any kind, including a bare scalar ("1", "\"x\"",
// "null"). Gives nothing when the text is not exactly one JSON value.
std::optional<QJsonValue> parseFragment(const QByteArray &text, QString *error = nullptr);
// Parses a JSON object text; nothing when the text is not an object.
std::optional<QJsonObject> parseObject(const QByteArray &text, QString *error = nullptr);
std::optional<QJsonArray> parseArray(const QByteArray &text, QString *error = nullptr);

// A JSON number with an integral value inside the signed 64-bit range.
std::optional<qint64> wholeNumber(const QJsonValue &value);

// Standard Base64 for byte fields; decoding is strict (nothing on bad input).
QString base64(const QByteArray &bytes);
std::optional<QByteArray> fromBase64(const QString &text);

} // namespace Json
