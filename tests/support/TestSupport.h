#pragma once

#include "common/TimePoint.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QDeadlineTimer>
#include <QFuture>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>
#include <optional>

namespace TestSupport {

// The folder of stand-ins and sample data, or a path inside it.
QString fixturesPath(const QString &relative = QString());

// The system's Python (the project's set-up installs it), never a version
// manager's shim found first on PATH: a shim starts a shell per call, which
// under load takes seconds.
QString python();

// A fresh HOME, XDG folders and settings location for the life of the
// object; the previous environment comes back when it goes.
class TemporaryHome
{
public:
    TemporaryHome();
    ~TemporaryHome();
    TemporaryHome(const TemporaryHome &) = delete;
    TemporaryHome &operator=(const TemporaryHome &) = delete;

    QString path() const { return m_dir.path(); }
    QString home() const;
    QString dataHome() const;
    QString configHome() const;

private:
    QTemporaryDir m_dir;
    QHash<QByteArray, QByteArray> m_saved;
};

// Holds a stand-in's work until the test opens it. Await `opened` rather
// than a private signal such as QTimer::timeout: a queued private signal
// reaches a coroutine's slot with a null argument.
class Gate final : public QObject
{
    Q_OBJECT

public:
    bool closed = false;
    void open()
    {
        closed = false;
        emit opened();
    }

signals:
    void opened();
};

// A clock that stands still until told to move.
class PinnedClock final : public Clock
{
public:
    explicit PinnedClock(TimePoint start = TimePoint::fromUnixSeconds(1700000000)) : m_now(start) { }
    TimePoint now() const override { return m_now; }
    void set(TimePoint time) { m_now = time; }
    void advance(double seconds) { m_now = m_now.addSeconds(seconds); }

private:
    TimePoint m_now;
};

// Runs the main thread's event loop until `condition` holds or the time is up.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs = 10000);

// Runs a value-less coroutine from the main thread's event loop to its end;
// false on time-out.
inline bool awaitDone(QCoro::Task<> task, int timeoutMs = 30000)
{
    // Shared with the coroutine, which may outlive this call after a time-out.
    auto done = std::make_shared<bool>(false);
    auto flow = [](QCoro::Task<> inner, std::shared_ptr<bool> flag) -> QCoro::Task<> {
        co_await std::move(inner);
        *flag = true;
    };
    flow(std::move(task), done);
    return waitUntil([&] { return *done; }, timeoutMs);
}

// Runs a coroutine from the main thread's event loop and gives its value;
// nothing on time-out.
template<typename T> std::optional<T> awaitTask(QCoro::Task<T> task, int timeoutMs = 30000)
{
    auto result = std::make_shared<std::optional<T>>();
    auto flow = [](QCoro::Task<T> inner, std::shared_ptr<std::optional<T>> into) -> QCoro::Task<> {
        into->emplace(co_await std::move(inner));
    };
    flow(std::move(task), result);
    waitUntil([&] { return result->has_value(); }, timeoutMs);
    return *result;
}

// Runs the event loop until the future finishes; fails the test on time-out.
template<typename T> bool waitForFuture(const QFuture<T> &future, int timeoutMs = 10000)
{
    return waitUntil([&] { return future.isFinished(); }, timeoutMs);
}

// Lets queued main-thread calls run (a few turns of the event loop).
void drainMainThread(int turns = 3);

// Runs git in `repository` and returns what it printed; a failure ends the test program.
QByteArray git(const QString &repository, const QStringList &arguments);

// Writes `bytes` to `path`, making its folder first; a failure ends the test program.
void writeFile(const QString &path, const QByteArray &bytes);

} // namespace TestSupport
