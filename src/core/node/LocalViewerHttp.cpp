#include "node/LocalViewerHttp.h"

#include <QStringDecoder>

namespace LocalViewerHttp {

namespace {

    std::optional<QString> strictUtf8(QByteArrayView bytes)
    {
        QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString text = decoder.decode(bytes);
        if (decoder.hasError())
            return std::nullopt;
        return text;
    }

    // Header block as lines (request line first), or nothing when not UTF-8.
    std::optional<QStringList> headerLines(const QByteArray &buffer, qsizetype terminator)
    {
        const std::optional<QString> head = strictUtf8(QByteArrayView(buffer).first(terminator));
        if (!head)
            return std::nullopt;
        return head->split(QStringLiteral("\r\n"));
    }

} // namespace

QByteArray http(int status, const QByteArray &contentType, const QByteArray &body)
{
    QByteArray response;
    response.reserve(body.size() + 128);
    response += "HTTP/1.1 " + QByteArray::number(status) + " OK\r\n";
    response += "Content-Type: " + contentType + "\r\n";
    response += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    response += "Connection: close\r\n\r\n";
    response += body;
    return response;
}

QHash<QString, QString> parseHeaders(const QStringList &lines)
{
    QHash<QString, QString> headers;
    for (const QString &line : lines) {
        if (line.isEmpty())
            break;
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        if (colon < 0)
            continue;
        headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    return headers;
}

std::optional<qint64> contentLength(const QHash<QString, QString> &headers)
{
    const auto it = headers.constFind(QStringLiteral("content-length"));
    if (it == headers.cend())
        return std::nullopt;
    QString value = it->trimmed();
    if (value.isEmpty())
        return std::nullopt;
    // toLongLong takes surrounding blanks and other bases; keep to a sign
    // and decimal digits.
    qsizetype start = (value.front() == QLatin1Char('+') || value.front() == QLatin1Char('-')) ? 1 : 0;
    if (start == value.size())
        return std::nullopt;
    for (qsizetype i = start; i < value.size(); ++i) {
        if (value.at(i) < QLatin1Char('0') || value.at(i) > QLatin1Char('9'))
            return std::nullopt;
    }
    bool ok = false;
    const qint64 number = value.toLongLong(&ok, 10);
    if (!ok) {
        // Too many digits for 64 bits: a positive one is simply huge.
        if (value.front() == QLatin1Char('-'))
            return std::nullopt;
        return std::numeric_limits<qint64>::max();
    }
    if (number < 0)
        return std::nullopt;
    return number;
}

RequestState requestState(const QByteArray &buffer, qint64 maxBytes)
{
    if (buffer.size() > maxBytes)
        return RequestState::TooLarge;
    const qsizetype terminator = buffer.indexOf(kHeaderTerminator);
    if (terminator < 0)
        return RequestState::Incomplete;
    const std::optional<QStringList> lines = headerLines(buffer, terminator);
    if (!lines)
        return RequestState::Complete; // the parse fails and is answered
    const std::optional<qint64> length = contentLength(parseHeaders(lines->mid(1)));
    if (!length)
        return RequestState::Complete;
    const qint64 headerEnd = terminator + kHeaderTerminator.size();
    if (*length > maxBytes - headerEnd)
        return RequestState::TooLarge;
    return buffer.size() >= headerEnd + *length ? RequestState::Complete : RequestState::Incomplete;
}

std::optional<ParsedRequest> parseRequest(const QByteArray &data)
{
    const qsizetype terminator = data.indexOf(kHeaderTerminator);
    if (terminator < 0)
        return std::nullopt;
    const std::optional<QStringList> lines = headerLines(data, terminator);
    if (!lines || lines->isEmpty())
        return std::nullopt;
    const QStringList words = lines->front().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.size() < 2)
        return std::nullopt;
    ParsedRequest request;
    request.method = words.at(0);
    request.pathWithQuery = words.at(1);
    request.headers = parseHeaders(lines->mid(1));
    const qsizetype bodyStart = terminator + kHeaderTerminator.size();
    QByteArray body = data.mid(bodyStart);
    if (const std::optional<qint64> length = contentLength(request.headers); length && *length < body.size())
        body.truncate(*length);
    request.bodyData = body;
    return request;
}

} // namespace LocalViewerHttp
