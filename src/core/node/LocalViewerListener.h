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
#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>

// How many connections are open across the server's I/O threads, shared by
// the listener (which admits) and the I/O threads (which close).
struct LocalViewerAdmission
{
    std::atomic<int> open {0};
    // Peers wait in the listener for a place; a close must wake it.
    std::atomic<bool> saturated {false};
    std::function<void()> wakeListener; // set before any thread runs
};

// The connections of one I/O thread of the local viewer server; lives in
// that thread.
//
// Connections are plain non-blocking descriptors in one epoll set, watched
// by one notifier, and share one deadline timer: a socket object, a
// notifier, a timer and their signals per request cost more than the
// request itself.
class LocalViewerConnections final : public QObject
{
    Q_OBJECT
public:
    struct Limits
    {
        qint64 maxRequestSizeBytes;
        int requestDeadlineMs;
        int maxConnections;
    };

    LocalViewerConnections(std::shared_ptr<const LocalViewerRouter> router, Limits limits,
        std::shared_ptr<LocalViewerAdmission> admission);
    ~LocalViewerConnections() override; // closes every open connection
    Q_DISABLE_COPY_MOVE(LocalViewerConnections)

    // Serves an accepted, admitted descriptor; takes it over. This thread.
    void open(int descriptor);

private:
    struct Connection;

    void pollReady();
    void watch(Connection &connection, quint32 events);
    void readAvailable(Connection &connection);
    void dispatch(Connection &connection);
    void respond(quint64 id, const QByteArray &response);
    void writePending(Connection &connection);
    void finish(Connection &connection);
    void drop(quint64 id);
    void armDeadline(Connection &connection);
    void expireDeadlines();

    std::shared_ptr<const LocalViewerRouter> m_router;
    Limits m_limits;
    std::shared_ptr<LocalViewerAdmission> m_admission;
    int m_epoll = -1; // made in this thread on the first connection
    QSocketNotifier *m_poller = nullptr;
    QElapsedTimer m_clock;
    QTimer m_deadlines;
    quint64 m_nextID = 1;
    std::unordered_map<quint64, std::unique_ptr<Connection>> m_connections;
};

// The listener side of the local viewer server; lives in the server's
// thread. Accepts, admits up to the connection limit and hands each
// connection to the I/O threads in turn.
class LocalViewerListener final : public QObject
{
    Q_OBJECT
public:
    // `connections` live in threads of their own and outlive this listener.
    LocalViewerListener(QList<LocalViewerConnections *> connections, int maxConnections,
        std::shared_ptr<LocalViewerAdmission> admission);
    ~LocalViewerListener() override; // closes the peers still waiting
    Q_DISABLE_COPY_MOVE(LocalViewerListener)

    bool listen(quint16 port); // gives the bound port through boundPort()
    void close(); // stops accepting; open connections are still answered
    quint16 boundPort() const;

    // The peer's address as text; an IPv4-mapped IPv6 address as plain IPv4.
    static std::optional<QString> peerText(const QHostAddress &address);

    // Admits waiting peers while there is room. This thread.
    void admitWaiting();

private:
    class Acceptor;

    void accepted(qintptr descriptor);
    void handOver(int descriptor);

    Acceptor *m_server;
    QList<LocalViewerConnections *> m_connections;
    int m_maxConnections;
    std::shared_ptr<LocalViewerAdmission> m_admission;
    qsizetype m_next = 0;
    // Accepted while every place was taken; served in order as places free.
    std::deque<int> m_waiting;
};
