#include "node/LocalTaskViewerServer.h"

#include "node/LocalViewerListener.h"
#include "node/LocalViewerRouter.h"

LocalTaskViewerServer::LocalTaskViewerServer(Options options)
    : m_accessToken(options.accessToken), m_onStopped(std::move(options.onStopped))
{
    auto router = std::make_shared<const LocalViewerRouter>(
        std::move(options.handlers), options.accessToken, std::move(options.page));
    m_listener = new LocalViewerListener(
        router, {options.maxRequestSizeBytes, options.requestDeadlineMs, options.maxConnections});
    m_thread.setObjectName(QStringLiteral("localtaskviewer"));
    m_listener->moveToThread(&m_thread);
    m_thread.start();
}

LocalTaskViewerServer::~LocalTaskViewerServer()
{
    // The listener thread never waits on another thread, so this blocking
    // call cannot deadlock.
    LocalViewerListener *listener = m_listener;
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
