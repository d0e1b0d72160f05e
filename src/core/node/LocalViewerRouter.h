#pragma once

#include "node/LocalViewerHandlers.h"

#include <QByteArray>
#include <QFuture>
#include <QString>
#include <QThreadPool>
#include <optional>

// Turns the bytes of one request into the bytes of its response: the board
// page at "/", the JSON interface under "/api/". Every "/api/" path needs the
// share token (query item "token", "Authorization: Bearer <token>" or
// "x-varn-token"); without it the answer is 401 and no handler is called.
// Thread-safe and never blocking: routing runs on whatever thread calls
// route() (a connection's I/O thread), the one step that may block (the
// hardware-address lookup) runs on the pool, and a handler's result is
// encoded on the thread that produced it.
class LocalViewerRouter
{
public:
    // Blocking steps run on `pool` (the routing pool when none is given).
    LocalViewerRouter(LocalViewerHandlers handlers, QString accessToken, QByteArray page, QThreadPool *pool = nullptr);

    QFuture<QByteArray> route(const QByteArray &data, const std::optional<QString> &submitterIP) const;

    const QString &accessToken() const { return m_accessToken; }
    QThreadPool *pool() const { return m_pool; }

    // The process-wide pool for the local viewer's blocking and heavy work
    // (lookups, log tails, patches), apart from the global pool so long
    // background work there cannot hold up requests. Lives until the process
    // ends, as continuations may still be queued on it.
    static QThreadPool *routingPool();

    // The first item of that name in the target's query, read as a UUID.
    static std::optional<QUuid> queryUuid(const QString &pathWithQuery, const QString &name);
    static std::optional<QString> queryItem(const QString &pathWithQuery, const QString &name);
    // The percent-decoded path of a target, or the target itself when it does
    // not parse.
    static QString decodedPath(const QString &pathWithQuery);
    // Equal texts, compared in time that does not depend on where they differ.
    static bool sameSecret(const QByteArray &a, const QByteArray &b);

private:
    bool carriesToken(const QString &pathWithQuery, const QHash<QString, QString> &headers) const;
    QFuture<QByteArray> get(const QString &path, const QString &target) const;
    QFuture<QByteArray> post(const QString &path, const QByteArray &body, const QHash<QString, QString> &headers,
        const std::optional<QString> &submitterIP) const;

    LocalViewerHandlers m_handlers;
    QString m_accessToken;
    QByteArray m_page;
    QThreadPool *m_pool;
};
