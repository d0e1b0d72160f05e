#include "node/LocalViewerListener.h"

#include "node/LocalViewerHttp.h"

#include <QtConcurrent>

namespace Http = LocalViewerHttp;

LocalViewerListener::LocalViewerListener(std::shared_ptr<const LocalViewerRouter> router, Limits limits)
    : m_router(std::move(router)), m_limits(limits)
{
    m_server.setParent(this);
    connect(&m_server, &QTcpServer::newConnection, this, &LocalViewerListener::acceptPending);
}

bool LocalViewerListener::listen(quint16 port)
{
    if (m_server.isListening())
        return true;
    return m_server.listen(QHostAddress::Any, port);
}

void LocalViewerListener::close()
{
    m_server.close();
}

std::optional<QString> LocalViewerListener::peerText(const QHostAddress &address)
{
    if (address.isNull())
        return std::nullopt;
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    QString text = isV4 ? QHostAddress(v4).toString() : address.toString();
    text.remove(QLatin1Char('"'));
    return text;
}

void LocalViewerListener::acceptPending()
{
    while (m_openConnections < m_limits.maxConnections && m_server.hasPendingConnections()) {
        QTcpSocket *socket = m_server.nextPendingConnection();
        if (!socket)
            break;
        ++m_openConnections;
        auto *connection = new LocalViewerConnection(socket, m_router, m_limits, this);
        connect(connection, &LocalViewerConnection::finished, this, &LocalViewerListener::connectionClosed);
    }
    if (m_openConnections >= m_limits.maxConnections)
        m_server.pauseAccepting();
}

void LocalViewerListener::connectionClosed()
{
    --m_openConnections;
    if (m_openConnections < m_limits.maxConnections) {
        m_server.resumeAccepting();
        acceptPending();
    }
}

LocalViewerConnection::LocalViewerConnection(QTcpSocket *socket, std::shared_ptr<const LocalViewerRouter> router,
    LocalViewerListener::Limits limits, QObject *parent)
    : QObject(parent), m_socket(socket), m_router(std::move(router)), m_limits(limits)
{
    m_socket->setParent(this);
    m_peer = LocalViewerListener::peerText(m_socket->peerAddress());
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        // Too slow to send its request, or to take its answer.
        m_socket->abort();
        deleteLater();
    });
    m_deadline.start(m_limits.requestDeadlineMs);
    connect(m_socket, &QTcpSocket::readyRead, this, &LocalViewerConnection::readAvailable);
    connect(m_socket, &QTcpSocket::disconnected, this, &LocalViewerConnection::peerClosed);
    if (m_socket->bytesAvailable() > 0)
        readAvailable();
}

LocalViewerConnection::~LocalViewerConnection()
{
    emit finished();
}

void LocalViewerConnection::readAvailable()
{
    if (m_dispatched) {
        m_socket->readAll(); // one request per connection: the rest is dropped
        return;
    }
    const qint64 room = m_limits.maxRequestSizeBytes + 1 - m_buffer.size();
    const QByteArray chunk = m_socket->read(std::min<qint64>(room, 65536));
    m_buffer += chunk;
    switch (Http::requestState(m_buffer, m_limits.maxRequestSizeBytes)) {
    case Http::RequestState::TooLarge:
        m_dispatched = true;
        respond(Http::text(413, QStringLiteral("Request too large")));
        return;
    case Http::RequestState::Complete:
        dispatch();
        return;
    case Http::RequestState::Incomplete:
        if (m_socket->bytesAvailable() > 0)
            QMetaObject::invokeMethod(this, &LocalViewerConnection::readAvailable, Qt::QueuedConnection);
        return;
    }
}

void LocalViewerConnection::dispatch()
{
    m_dispatched = true;
    m_deadline.stop();
    const std::shared_ptr<const LocalViewerRouter> router = m_router;
    const QByteArray data = m_buffer;
    const std::optional<QString> peer = m_peer;
    QtConcurrent::run(router->pool(), [router, data, peer] { return router->route(data, peer); })
        .unwrap()
        .then(this, [this](const QByteArray &response) { respond(response); });
}

void LocalViewerConnection::respond(const QByteArray &response)
{
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        deleteLater();
        return;
    }
    m_deadline.start(m_limits.requestDeadlineMs);
    m_socket->write(response);
    m_socket->disconnectFromHost();
}

void LocalViewerConnection::peerClosed()
{
    if (!m_dispatched) {
        // The peer ended its side before the request was complete: what
        // arrived is still routed, though the answer cannot reach it.
        m_dispatched = true;
        const std::shared_ptr<const LocalViewerRouter> router = m_router;
        const QByteArray data = m_buffer;
        const std::optional<QString> peer = m_peer;
        (void)QtConcurrent::run(router->pool(), [router, data, peer] { return router->route(data, peer); });
    }
    deleteLater();
}
