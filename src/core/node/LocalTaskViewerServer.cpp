#include "node/LocalTaskViewerServer.h"

#include "node/LocalViewerListener.h"
#include "node/LocalViewerRouter.h"

LocalTaskViewerServer::LocalTaskViewerServer(Options options)
    : m_accessToken(options.accessToken), m_onStopped(std::move(options.onStopped))
{
    auto router = std::make_shared<const LocalViewerRouter>(
        std::move(options.handlers), options.accessToken, std::move(options.page));
    auto admission = std::make_shared<LocalViewerAdmission>();
    const LocalViewerConnections::Limits limits {
        options.maxRequestSizeBytes, options.requestDeadlineMs, options.maxConnections};
    for (int i = 0; i < kIOThreads; ++i) {
        auto thread = std::make_unique<QThread>();
        thread->setObjectName(QStringLiteral("localviewer-io"));
        auto *connections = new LocalViewerConnections(router, limits, admission);
        connections->moveToThread(thread.get());
        m_connections.append(connections);
        m_ioThreads.push_back(std::move(thread));
    }
    m_listener = new LocalViewerListener(m_connections, options.maxConnections, admission);
    LocalViewerListener *listener = m_listener;
    // Set before any thread runs; the listener outlives every connection.
    admission->wakeListener
        = [listener] { QMetaObject::invokeMethod(listener, &LocalViewerListener::admitWaiting, Qt::QueuedConnection); };
    m_thread.setObjectName(QStringLiteral("localtaskviewer"));
    m_listener->moveToThread(&m_thread);
    m_thread.start();
    for (const std::unique_ptr<QThread> &thread : m_ioThreads)
        thread->start();
}

LocalTaskViewerServer::~LocalTaskViewerServer()
{
    // No thread of the server ever waits on another, so these blocking calls
    // cannot deadlock. Order: no more hand-overs, then the connections (whose
    // closes may still wake the listener), then the listener.
    LocalViewerListener *listener = m_listener;
    QMetaObject::invokeMethod(
        listener, [listener] { listener->close(); }, Qt::BlockingQueuedConnection);
    for (qsizetype i = 0; i < m_connections.size(); ++i) {
        LocalViewerConnections *connections = m_connections.at(i);
        QMetaObject::invokeMethod(
            connections, [connections] { delete connections; }, Qt::BlockingQueuedConnection);
        m_ioThreads[size_t(i)]->quit();
        m_ioThreads[size_t(i)]->wait();
    }
    QMetaObject::invokeMethod(
        listener, [listener] { delete listener; }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

bool LocalTaskViewerServer::start(quint16 port)
{
    if (hasListener())
        return true;
    int bound = -1;
    LocalViewerListener *listener = m_listener;
    QMetaObject::invokeMethod(
        listener,
        [listener, port, &bound] {
            if (listener->listen(port))
                bound = listener->boundPort();
        },
        Qt::BlockingQueuedConnection);
    if (bound < 0)
        return false;
    m_boundPort.store(bound);
    return true;
}

void LocalTaskViewerServer::stop()
{
    LocalViewerListener *listener = m_listener;
    QMetaObject::invokeMethod(
        listener, [listener] { listener->close(); }, Qt::QueuedConnection);
    m_boundPort.store(-1);
    if (m_onStopped)
        m_onStopped();
}

std::optional<quint16> LocalTaskViewerServer::boundPort() const
{
    const int port = m_boundPort.load();
    if (port < 0)
        return std::nullopt;
    return static_cast<quint16>(port);
}
