#pragma once

#include "node/LocalViewerRouter.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFuture>
#include <QHostAddress>
#include <QObject>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>
#include <deque>
#include <memory>
#include <optional>
#include <unordered_map>

// The listener side of the local viewer server; lives in the server's
// thread, as do its connections.
//
// Connections are plain non-blocking descriptors with one read notifier
// each (a write notifier only while an answer does not fit the socket at
// once) and share one deadline timer: a socket object, a timer and their
// signals per request cost more than the request itself.
class LocalViewerListener final : public QObject
{
    Q_OBJECT
public:
    struct Limits
    {
        qint64 maxRequestSizeBytes;
        int requestDeadlineMs;
        int maxConnections;
    };

    LocalViewerListener(std::shared_ptr<const LocalViewerRouter> router, Limits limits);
    ~LocalViewerListener() override; // closes every open connection
    Q_DISABLE_COPY_MOVE(LocalViewerListener)

    bool listen(quint16 port); // gives the bound port through boundPort()
    void close(); // stops accepting; open connections are still answered
    quint16 boundPort() const;

    // The peer's address as text; an IPv4-mapped IPv6 address as plain IPv4.
    static std::optional<QString> peerText(const QHostAddress &address);

private:
    class Acceptor;
    struct Connection;

    void accepted(qintptr descriptor);
    void open(int descriptor);
    void readAvailable(Connection &connection);
    void dispatch(Connection &connection);
    void respond(quint64 id, const QByteArray &response);
    void writePending(Connection &connection);
    void finish(Connection &connection);
    void drop(quint64 id);
    void armDeadline(Connection &connection);
    void expireDeadlines();

    std::unique_ptr<Acceptor> m_server;
    std::shared_ptr<const LocalViewerRouter> m_router;
    Limits m_limits;
    QElapsedTimer m_clock;
    QTimer m_deadlines;
    quint64 m_nextID = 1;
    std::unordered_map<quint64, std::unique_ptr<Connection>> m_connections;
    // Accepted while every place was taken; served in order as places free.
    std::deque<int> m_waiting;
};
