// Load on the local viewer: a client opening one connection per request
// against (1) a bare single-threaded loopback server that answers fixed bytes
// and (2) the real server on a headless main node, GET /api/workspaces with
// the token, 8 clients; then GET /api/bootstrap of 20 tasks with 1 MB logs,
// one client. Prints rates and latency percentiles.

#include "MainNodeDriver.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool exchange(quint16 port, const QByteArray &request)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return false;
    }
    ::send(fd, request.constData(), request.size(), MSG_NOSIGNAL);
    char buffer[65536];
    qint64 total = 0;
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        total += n;
    }
    ::close(fd);
    return total > 0;
}

struct Run
{
    double seconds = 0;
    std::vector<double> latenciesMs;
    int failures = 0;
};

// `clients` threads, `perClient` requests each; the main thread keeps its
// event loop turning meanwhile (the real server's handlers run there).
Run load(quint16 port, const QByteArray &request, int clients, int perClient)
{
    Run run;
    std::vector<std::vector<double>> latencies(clients);
    std::atomic<int> failures {0};
    std::atomic<int> running {clients};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&, c] {
            for (int i = 0; i < perClient; ++i) {
                const auto t0 = Clock::now();
                if (!exchange(port, request))
                    ++failures;
                latencies[c].push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
            }
            --running;
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
        });
    }
    while (running.load() > 0)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    for (std::thread &thread : threads)
        thread.join();
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (const auto &list : latencies)
        run.latenciesMs.insert(run.latenciesMs.end(), list.begin(), list.end());
    std::sort(run.latenciesMs.begin(), run.latenciesMs.end());
    run.failures = failures.load();
    return run;
}

// CPU time so far of this process's threads of that name, in nanoseconds
// (from the scheduler's account, so it holds on a busy machine too).
qint64 threadCpuNs(const QByteArray &name)
{
    qint64 total = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &tid : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(tasks.filePath(tid + QStringLiteral("/comm")));
        if (!comm.open(QIODevice::ReadOnly) || comm.readAll().trimmed() != name)
            continue;
        QFile schedstat(tasks.filePath(tid + QStringLiteral("/schedstat")));
        if (schedstat.open(QIODevice::ReadOnly))
            total += schedstat.readAll().split(' ').value(0).toLongLong();
    }
    return total;
}

qint64 mainThreadCpuNs()
{
    QFile schedstat(QStringLiteral("/proc/self/task/%1/schedstat").arg(::getpid()));
    if (!schedstat.open(QIODevice::ReadOnly))
        return 0;
    return schedstat.readAll().split(' ').value(0).toLongLong();
}

double percentile(const std::vector<double> &sorted, double p)
{
    if (sorted.empty())
        return 0;
    return sorted[std::min(sorted.size() - 1, size_t(p * (sorted.size() - 1) + 0.5))];
}

void report(const char *name, const Run &run)
{
    std::printf("%-44s %8.0f req/s  p50 %6.2f ms  p99 %6.2f ms  (%zu requests, %d failed)\n", name,
        run.latenciesMs.size() / run.seconds, percentile(run.latenciesMs, 0.5), percentile(run.latenciesMs, 0.99),
        run.latenciesMs.size(), run.failures);
}

// One thread: accept, read to the blank line, write fixed bytes, close.
class BareServer
{
public:
    BareServer()
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM, 0);
        int yes = 1;
        ::setsockopt(m_fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
        ::listen(m_fd, 512);
        socklen_t length = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&address), &length);
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { serve(); });
        pthread_setname_np(m_thread.native_handle(), "bare-server");
    }
    ~BareServer()
    {
        m_stop = true;
        exchange(m_port, "GET / HTTP/1.1\r\n\r\n");
        m_thread.join();
        ::close(m_fd);
    }
    quint16 port() const { return m_port; }

private:
    void serve()
    {
        static const QByteArray answer
            = "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 2\r\nConnection: close\r\n\r\n[]";
        while (!m_stop) {
            const int client = ::accept(m_fd, nullptr, nullptr);
            if (client < 0)
                continue;
            QByteArray request;
            char buffer[4096];
            while (!request.contains("\r\n\r\n")) {
                const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
                if (n <= 0)
                    break;
                request.append(buffer, n);
            }
            ::send(client, answer.constData(), answer.size(), MSG_NOSIGNAL);
            ::close(client);
        }
    }

    int m_fd = -1;
    quint16 m_port = 0;
    std::atomic<bool> m_stop {false};
    std::thread m_thread;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int clients = 8;
    const int perClient = 500;

    MainNodeDriver::Options options;
    options.token = QStringLiteral("0123456789abcdef0123456789abcdef");
    MainNodeDriver node(options);
    if (!node.ok()) {
        std::fprintf(stderr, "the main node did not start\n");
        return 1;
    }
    const QByteArray workspaces
        = "GET /api/workspaces HTTP/1.1\r\nHost: 127.0.0.1\r\nx-varn-token: " + node.token().toUtf8() + "\r\n\r\n";
    {
        // Rounds in turn, so a busy machine weighs on both alike; the best
        // round of each counts.
        BareServer bare;
        load(bare.port(), workspaces, clients, 50); // warm-up
        load(node.port(), workspaces, clients, 50);
        auto rate = [](const Run &run) { return run.latenciesMs.size() / run.seconds; };
        Run bestBare;
        Run bestOurs;
        qint64 listenerNs = 0;
        qint64 mainNs = 0;
        qint64 poolNs = 0;
        int ourRequests = 0;
        qint64 bareNs = 0;
        int bareRequests = 0;
        for (int round = 0; round < 3; ++round) {
            const qint64 bare0 = threadCpuNs("bare-server");
            const Run bareRun = load(bare.port(), workspaces, clients, perClient);
            bareNs += threadCpuNs("bare-server") - bare0;
            bareRequests += int(bareRun.latenciesMs.size());
            const qint64 listener0 = threadCpuNs("localtaskviewer") + threadCpuNs("localviewer-io");
            const qint64 main0 = mainThreadCpuNs();
            const qint64 pool0 = threadCpuNs("Thread (pooled)");
            const Run ourRun = load(node.port(), workspaces, clients, perClient);
            listenerNs += threadCpuNs("localtaskviewer") + threadCpuNs("localviewer-io") - listener0;
            mainNs += mainThreadCpuNs() - main0;
            poolNs += threadCpuNs("Thread (pooled)") - pool0;
            ourRequests += int(ourRun.latenciesMs.size());
            if (round == 0 || rate(bareRun) > rate(bestBare))
                bestBare = bareRun;
            if (round == 0 || rate(ourRun) > rate(bestOurs))
                bestOurs = ourRun;
        }
        report("bare loopback server, 8 clients", bestBare);
        report("local viewer GET /api/workspaces, 8 clients", bestOurs);
        std::printf("ratio: %.2f of the bare rate\n", rate(bestOurs) / rate(bestBare));
        std::printf("CPU per request: bare server %.1f us; ours: server threads %.1f us, main thread %.1f us, "
                    "routing pool %.1f us\n",
            bareNs / 1000.0 / bareRequests, listenerNs / 1000.0 / ourRequests, mainNs / 1000.0 / ourRequests,
            poolNs / 1000.0 / ourRequests);
    }

    MainNodeDriver::Options heavy;
    heavy.token = options.token;
    heavy.extraTasks = 20;
    heavy.extraLogBytes = 1024 * 1024;
    MainNodeDriver big(heavy);
    const QByteArray bootstrap
        = "GET /api/bootstrap HTTP/1.1\r\nHost: 127.0.0.1\r\nx-varn-token: " + big.token().toUtf8() + "\r\n\r\n";
    load(big.port(), bootstrap, 1, 5);
    report("GET /api/bootstrap, 20 tasks with 1 MB logs", load(big.port(), bootstrap, 1, 100));
    return 0;
}
