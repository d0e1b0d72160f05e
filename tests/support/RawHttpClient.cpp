#include "RawHttpClient.h"

#include <QtConcurrent>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace RawHttpClient {

Exchange exchange(quint16 port, const QList<QByteArray> &pieces, const Options &options)
{
    Exchange result;
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return result;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval timeout {options.readTimeoutMs / 1000, (options.readTimeoutMs % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return result;
    }
    result.connected = true;
    for (qsizetype i = 0; i < pieces.size(); ++i) {
        if (i > 0 && options.pauseBetweenPiecesMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(options.pauseBetweenPiecesMs));
        const QByteArray &piece = pieces.at(i);
        qsizetype sent = 0;
        while (sent < piece.size()) {
            const ssize_t n = ::send(fd, piece.constData() + sent, piece.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += n;
        }
        if (sent < piece.size())
            break; // the server closed on us (for example after a 413)
    }
    if (options.halfCloseAfterSending)
        ::shutdown(fd, SHUT_WR);
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            result.received.append(buffer, n);
            continue;
        }
        result.closedByServer = (n == 0) || errno == ECONNRESET;
        break;
    }
    ::close(fd);
    return result;
}

QFuture<Exchange> exchangeAsync(quint16 port, const QList<QByteArray> &pieces, const Options &options)
{
    // A pool of its own, wide enough that hundreds of idle clients run at once.
    static QThreadPool *pool = [] {
        auto *p = new QThreadPool;
        p->setMaxThreadCount(512);
        return p;
    }();
    return QtConcurrent::run(pool, [port, pieces, options] { return exchange(port, pieces, options); });
}

int status(const QByteArray &response)
{
    if (!response.startsWith("HTTP/1.1 ") || response.size() < 12)
        return -1;
    bool ok = false;
    const int code = response.mid(9, 3).toInt(&ok);
    return ok ? code : -1;
}

QByteArray body(const QByteArray &response)
{
    const qsizetype end = response.indexOf("\r\n\r\n");
    return end < 0 ? QByteArray() : response.mid(end + 4);
}

QByteArray get(const QString &target, const QByteArray &extraHeaders)
{
    return "GET " + target.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
}

QByteArray post(const QString &target, const QByteArray &body, const QByteArray &extraHeaders)
{
    return "POST " + target.toUtf8() + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
        + "Content-Length: " + QByteArray::number(body.size()) + "\r\n" + extraHeaders + "\r\n" + body;
}

} // namespace RawHttpClient
