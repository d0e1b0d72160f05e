#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <optional>

// The local viewer's HTTP/1.1 framing: one request per connection, the
// response written in one piece with "Connection: close".
namespace LocalViewerHttp {

inline constexpr QByteArrayView kHeaderTerminator = "\r\n\r\n";
inline constexpr qint64 kMaxRequestSizeBytes = 2097152; // 2 MiB

inline constexpr const char *kTextType = "text/plain; charset=utf-8";
inline constexpr const char *kJsonType = "application/json";
inline constexpr const char *kHtmlType = "text/html; charset=utf-8";

struct ParsedRequest
{
    QString method; // first word of the request line, as sent
    QString pathWithQuery; // second word, undecoded
    QHash<QString, QString> headers; // names lower-cased and trimmed, values trimmed
    QByteArray bodyData;
};

// The whole response: status line (reason phrase always "OK"), content
// type, length, "Connection: close", blank line, body.
QByteArray http(int status, const QByteArray &contentType, const QByteArray &body);
inline QByteArray text(int status, const QString &body)
{
    return http(status, kTextType, body.toUtf8());
}

QHash<QString, QString> parseHeaders(const QStringList &lines);
// The "content-length" value as a non-negative decimal (a leading sign is
// allowed); nothing when absent, empty, not a number or negative.
std::optional<qint64> contentLength(const QHash<QString, QString> &headers);

enum class RequestState {
    Incomplete, // read more
    Complete, // route what is there
    TooLarge, // answer 413 at once
};
// Where a growing request buffer stands. A declared body that would take the
// request past `maxBytes` is TooLarge as soon as its headers are in.
RequestState requestState(const QByteArray &buffer, qint64 maxBytes = kMaxRequestSizeBytes);

std::optional<ParsedRequest> parseRequest(const QByteArray &data);

} // namespace LocalViewerHttp
