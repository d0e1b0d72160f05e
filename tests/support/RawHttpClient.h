#pragma once

#include <QByteArray>
#include <QFuture>
#include <QList>
#include <QString>

// A plain blocking TCP client for tests of the local viewer: sends exact
// bytes in chosen pieces on 127.0.0.1 and reads until the server closes.
// Safe to use from any thread; the *Async forms run on the thread pool so a
// test on the main thread can keep its event loop turning meanwhile.
namespace RawHttpClient {

struct Exchange
{
    QByteArray received;
    bool closedByServer = false; // the server ended the connection
    bool connected = false;
};

struct Options
{
    int pauseBetweenPiecesMs = 0;
    int readTimeoutMs = 5000;
    bool halfCloseAfterSending = false; // shut down our sending side when done
};

Exchange exchange(quint16 port, const QList<QByteArray> &pieces, const Options &options = {});
QFuture<Exchange> exchangeAsync(quint16 port, const QList<QByteArray> &pieces, const Options &options = {});

// Status code of a response ("HTTP/1.1 200 OK..." gives 200), -1 when none.
int status(const QByteArray &response);
QByteArray body(const QByteArray &response);

QByteArray get(const QString &target, const QByteArray &extraHeaders = {});
QByteArray post(const QString &target, const QByteArray &body, const QByteArray &extraHeaders = {});

} // namespace RawHttpClient
