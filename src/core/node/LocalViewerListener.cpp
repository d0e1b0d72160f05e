#include "node/LocalViewerListener.h"

#include "common/Logging.h"
#include "node/LocalViewerHttp.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace Http = LocalViewerHttp;

// Hands every accepted descriptor to the listener instead of wrapping it in
// a socket object.
class LocalViewerListener::Acceptor final : public QTcpServer
{
public:
    Acceptor(LocalViewerListener *listener) : QTcpServer(listener), m_listener(listener) { }

protected:
    void incomingConnection(qintptr descriptor) override { m_listener->accepted(descriptor); }

private:
    LocalViewerListener *m_listener;
};

struct LocalViewerConnections::Connection
{
    quint64 id = 0;
    int descriptor = -1;
    std::optional<QString> peer;
    QByteArray buffer; // the request so far
    QByteArray answer; // the response, written from `written` on
    qsizetype written = 0;
    quint32 watched = 0; // the epoll events asked for
    qint64 deadline = -1; // on the listener's clock; -1 while a handler works
    bool dispatched = false;
};

LocalViewerListener::LocalViewerListener(
    QList<LocalViewerConnections *> connections, int maxConnections, std::shared_ptr<LocalViewerAdmission> admission)
    : m_server(new Acceptor(this)),
      m_connections(std::move(connections)),
      m_maxConnections(std::max(1, maxConnections)),
      m_admission(std::move(admission))
{
}

LocalViewerListener::~LocalViewerListener()
{
    for (const int descriptor : m_waiting)
        ::close(descriptor);
}

bool LocalViewerListener::listen(quint16 port)
{
    if (m_server->isListening())
        return true;
    return m_server->listen(QHostAddress::Any, port);
}

void LocalViewerListener::close()
{
    m_server->close();
}

quint16 LocalViewerListener::boundPort() const
{
    return m_server->serverPort();
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

void LocalViewerListener::accepted(qintptr descriptor)
{
    const int fd = static_cast<int>(descriptor);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (m_waiting.empty() && m_admission->open.load() < m_maxConnections) {
        handOver(fd);
        return;
    }
    // Every place is taken: further peers wait, unread, and the listen
    // backlog holds the rest.
    m_waiting.push_back(fd);
    m_server->pauseAccepting();
    m_admission->saturated.store(true);
    // A close may have come between the count and the flag.
    admitWaiting();
}

void LocalViewerListener::admitWaiting()
{
    while (!m_waiting.empty() && m_admission->open.load() < m_maxConnections) {
        const int fd = m_waiting.front();
        m_waiting.pop_front();
        handOver(fd);
    }
    if (m_waiting.empty()) {
        m_admission->saturated.store(false);
        if (m_server->isListening())
            m_server->resumeAccepting();
    }
}

void LocalViewerListener::handOver(int descriptor)
{
    m_admission->open.fetch_add(1);
    LocalViewerConnections *connections = m_connections.at(m_next++ % m_connections.size());
    QMetaObject::invokeMethod(
        connections, [connections, descriptor] { connections->open(descriptor); }, Qt::QueuedConnection);
}

// ---- Connections ----

LocalViewerConnections::LocalViewerConnections(
    std::shared_ptr<const LocalViewerRouter> router, Limits limits, std::shared_ptr<LocalViewerAdmission> admission)
    : m_router(std::move(router)), m_limits(limits), m_admission(std::move(admission))
{
    m_clock.start();
    m_deadlines.setParent(this);
    m_deadlines.setSingleShot(true);
    connect(&m_deadlines, &QTimer::timeout, this, &LocalViewerConnections::expireDeadlines);
}

LocalViewerConnections::~LocalViewerConnections()
{
    for (auto &[id, connection] : m_connections) {
        ::close(connection->descriptor);
        m_admission->open.fetch_sub(1);
    }
    if (m_poller)
        m_poller->setEnabled(false);
    if (m_epoll >= 0)
        ::close(m_epoll);
}

void LocalViewerConnections::watch(Connection &c, quint32 events)
{
    if (c.watched == events)
        return;
    epoll_event event {};
    event.events = events;
    event.data.u64 = c.id;
    // Out of the set while nothing is wanted: a hang-up would be reported
    // again and again.
    const int operation = events == 0 ? EPOLL_CTL_DEL : c.watched == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    ::epoll_ctl(m_epoll, operation, c.descriptor, &event);
    c.watched = events;
}

void LocalViewerConnections::pollReady()
{
    epoll_event events[64];
    const int n = ::epoll_wait(m_epoll, events, 64, 0);
    for (int i = 0; i < n; ++i) {
        // A connection may close while an earlier event is handled.
        const auto it = m_connections.find(events[i].data.u64);
        if (it == m_connections.end())
            continue;
        Connection &c = *it->second;
        if (c.watched & EPOLLOUT)
            writePending(c);
        else if (c.watched & EPOLLIN)
            readAvailable(c);
    }
}

void LocalViewerConnections::open(int descriptor)
{
    auto connection = std::make_unique<Connection>();
    Connection &c = *connection;
    c.id = m_nextID++;
    c.descriptor = descriptor;
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (::getpeername(descriptor, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        c.peer = LocalViewerListener::peerText(QHostAddress(reinterpret_cast<const sockaddr *>(&address)));
    if (m_epoll < 0) {
        // One poll set for every connection of this thread, watched by one
        // notifier: no notifier (and no event-loop change) per connection.
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        m_poller = new QSocketNotifier(m_epoll, QSocketNotifier::Read, this);
        connect(m_poller, &QSocketNotifier::activated, this, &LocalViewerConnections::pollReady);
    }
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.u64 = c.id;
    if (::epoll_ctl(m_epoll, EPOLL_CTL_ADD, descriptor, &event) != 0) {
        qCWarning(lcNode) << "a connection was closed unanswered: it could not be watched, errno" << errno;
        ::close(descriptor);
        m_admission->open.fetch_sub(1);
        if (m_admission->saturated.load())
            m_admission->wakeListener();
        return;
    }
    c.watched = EPOLLIN;
    armDeadline(c);
    const quint64 id = c.id;
    m_connections.emplace(id, std::move(connection));
}

void LocalViewerConnections::readAvailable(Connection &c)
{
    char chunk[16384];
    if (c.dispatched) {
        // One request per connection: the rest is dropped.
        for (;;) {
            const ssize_t n = ::recv(c.descriptor, chunk, sizeof chunk, 0);
            if (n > 0)
                continue;
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0)
                watch(c, 0); // the peer is done sending; the answer still goes out
            else if (errno != EAGAIN && errno != EWOULDBLOCK)
                drop(c.id);
            return;
        }
    }
    bool peerDone = false;
    for (;;) {
        const qint64 room = m_limits.maxRequestSizeBytes + 1 - c.buffer.size();
        if (room <= 0)
            break;
        const ssize_t n = ::recv(c.descriptor, chunk, size_t(std::min<qint64>(room, sizeof chunk)), 0);
        if (n > 0) {
            c.buffer.append(chunk, n);
            continue;
        }
        if (n == 0) {
            peerDone = true;
            break;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            break;
        drop(c.id);
        return;
    }
    if (peerDone)
        watch(c, 0);
    switch (Http::requestState(c.buffer, m_limits.maxRequestSizeBytes)) {
    case Http::RequestState::TooLarge:
        c.dispatched = true;
        respond(c.id, Http::text(413, QStringLiteral("Request too large")));
        return;
    case Http::RequestState::Complete:
        dispatch(c);
        return;
    case Http::RequestState::Incomplete:
        // The peer ended its side before the request was complete: what
        // arrived is routed all the same, and answered while the peer still
        // reads (a half-closed socket).
        if (peerDone)
            dispatch(c);
        return;
    }
}

void LocalViewerConnections::dispatch(Connection &c)
{
    c.dispatched = true;
    c.deadline = -1; // a handler's time is its own
    // Routing does not block (what may, runs on the router's pool), so it
    // runs here; only the handlers' own work leaves this thread.
    QFuture<QByteArray> answer = m_router->route(c.buffer, c.peer);
    c.buffer = QByteArray();
    const quint64 id = c.id;
    if (answer.isFinished()) {
        if (answer.isCanceled() || answer.resultCount() == 0) {
            qCWarning(lcNode) << "a request was dropped unanswered: its handler gave no answer";
            drop(id);
        } else
            respond(id, answer.result());
        return;
    }
    answer.then(this, [this, id](const QByteArray &response) { respond(id, response); }).onCanceled(this, [this, id] {
        qCWarning(lcNode) << "a request was dropped unanswered: its handler gave no answer";
        drop(id);
    });
}

void LocalViewerConnections::respond(quint64 id, const QByteArray &response)
{
    const auto it = m_connections.find(id);
    if (it == m_connections.end()) {
        qCDebug(lcNode) << "an answer was dropped: its connection closed before it was ready";
        return; // closed meanwhile (deadline, error)
    }
    Connection &c = *it->second;
    c.answer = response;
    c.written = 0;
    armDeadline(c);
    writePending(c);
}

void LocalViewerConnections::writePending(Connection &c)
{
    while (c.written < c.answer.size()) {
        const ssize_t n
            = ::send(c.descriptor, c.answer.constData() + c.written, size_t(c.answer.size() - c.written), MSG_NOSIGNAL);
        if (n > 0) {
            c.written += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            watch(c, EPOLLOUT);
            return;
        }
        drop(c.id); // the peer went away
        return;
    }
    finish(c);
}

void LocalViewerConnections::finish(Connection &c)
{
    // Input left unread would turn the close into a reset that can cost the
    // peer the answer; take what is there first.
    char chunk[16384];
    for (int i = 0; i < 8; ++i) {
        const ssize_t n = ::recv(c.descriptor, chunk, sizeof chunk, 0);
        if (n > 0)
            continue;
        if (n < 0 && errno == EINTR)
            continue;
        break;
    }
    drop(c.id);
}

void LocalViewerConnections::drop(quint64 id)
{
    const auto it = m_connections.find(id);
    if (it == m_connections.end())
        return;
    const std::unique_ptr<Connection> connection = std::move(it->second);
    m_connections.erase(it);
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, connection->descriptor, nullptr);
    ::close(connection->descriptor);
    m_admission->open.fetch_sub(1);
    if (m_admission->saturated.load())
        m_admission->wakeListener();
}

void LocalViewerConnections::armDeadline(Connection &c)
{
    c.deadline = m_clock.elapsed() + m_limits.requestDeadlineMs;
    // Every deadline is as long as the next, so a running timer is due first.
    if (!m_deadlines.isActive())
        m_deadlines.start(m_limits.requestDeadlineMs);
}

void LocalViewerConnections::expireDeadlines()
{
    // Too slow to send its request, or to take its answer: closed unanswered.
    const qint64 now = m_clock.elapsed();
    std::vector<quint64> due;
    qint64 next = -1;
    for (const auto &[id, connection] : m_connections) {
        if (connection->deadline < 0)
            continue;
        if (connection->deadline <= now)
            due.push_back(id);
        else if (next < 0 || connection->deadline < next)
            next = connection->deadline;
    }
    for (const quint64 id : due)
        drop(id);
    if (next >= 0)
        m_deadlines.start(int(std::max<qint64>(1, next - now)));
}
