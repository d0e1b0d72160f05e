#pragma once

#include "node/LocalViewerHandlers.h"
#include "node/LocalViewerHttp.h"

#include <QByteArray>
#include <QString>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class LocalViewerConnections;
class LocalViewerListener;
class LocalViewerRouter;

// The small HTTP/1.1 server that shares the boards on the local network.
// Its listener lives in a thread of its own and hands the connections in
// turn to a few I/O threads, which read, route and write them; a handler's
// work runs where the handler puts it (the main thread, the routing pool)
// and its answer comes back to the connection's thread. One request per
// connection, then close.
//
// Guards: a request not complete within `requestDeadlineMs` of its accept is
// closed unanswered; at most `maxConnections` are open at once (further
// peers wait in the listen backlog); a request whose size, or declared body,
// goes past `maxRequestSizeBytes` is answered 413 at once.
class LocalTaskViewerServer final
{
public:
    struct Options
    {
        LocalViewerHandlers handlers;
        QString accessToken;
        QByteArray page; // served at "/"
        std::function<void()> onStopped; // may be called from any thread
        qint64 maxRequestSizeBytes = LocalViewerHttp::kMaxRequestSizeBytes;
        int requestDeadlineMs = 10000;
        int maxConnections = 256;
    };

    explicit LocalTaskViewerServer(Options options);
    ~LocalTaskViewerServer(); // closes the listener and every open connection
    Q_DISABLE_COPY_MOVE(LocalTaskViewerServer)

    // True when the listener runs (or already ran); false when the port
    // cannot be listened on. Port 0 takes any free port.
    bool start(quint16 port);
    // Closes the listener (connections already accepted are still answered)
    // and reports the stop.
    void stop();

    bool hasListener() const { return m_boundPort.load() >= 0; }
    std::optional<quint16> boundPort() const;
    const QString &accessToken() const { return m_accessToken; }

private:
    QString m_accessToken;
    std::function<void()> m_onStopped;
    static constexpr int kIOThreads = 2;

    QThread m_thread;
    LocalViewerListener *m_listener = nullptr; // lives in m_thread
    std::vector<std::unique_ptr<QThread>> m_ioThreads;
    QList<LocalViewerConnections *> m_connections; // one in each I/O thread
    std::atomic<int> m_boundPort {-1};
};
