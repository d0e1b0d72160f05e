#pragma once

#include "node/LocalViewerRouter.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>
#include <optional>

// The listener side of the local viewer server; lives in the server's
// thread, as do its connections.
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
    Q_DISABLE_COPY_MOVE(LocalViewerListener)

    bool listen(quint16 port); // gives the bound port through boundPort()
    void close();
    quint16 boundPort() const { return m_server.serverPort(); }

    // The peer's address as text; an IPv4-mapped IPv6 address as plain IPv4.
    static std::optional<QString> peerText(const QHostAddress &address);

private:
    void acceptPending();
    void connectionClosed();

    QTcpServer m_server;
    std::shared_ptr<const LocalViewerRouter> m_router;
    Limits m_limits;
    int m_openConnections = 0;
};

// One accepted connection: reads one request, hands it to the router,
// writes the answer and closes.
class LocalViewerConnection final : public QObject
{
    Q_OBJECT
public:
    LocalViewerConnection(QTcpSocket *socket, std::shared_ptr<const LocalViewerRouter> router,
        LocalViewerListener::Limits limits, QObject *parent);
    ~LocalViewerConnection() override;
    Q_DISABLE_COPY_MOVE(LocalViewerConnection)

signals:
    void finished();

private:
    void readAvailable();
    void dispatch();
    void respond(const QByteArray &response);
    void peerClosed();

    QTcpSocket *m_socket;
    std::shared_ptr<const LocalViewerRouter> m_router;
    LocalViewerListener::Limits m_limits;
    std::optional<QString> m_peer;
    QByteArray m_buffer;
    QTimer m_deadline;
    bool m_dispatched = false;
};
