#include "CoroutineScope.h"

#include "common/Logging.h"

#include <QDeadlineTimer>
#include <QMutex>
#include <QWaitCondition>
#include <exception>

struct CoroutineScope::State
{
    QString name;
    mutable QMutex mutex;
    QWaitCondition idle;
    int running = 0;
};

namespace {

// Holds one count of the scope while the coroutine runs; released when the
// coroutine's body has ended, however it ended.
class RunningMark
{
public:
    explicit RunningMark(std::shared_ptr<void> state, QMutex &mutex, QWaitCondition &idle, int &running)
        : m_state(std::move(state)), m_mutex(mutex), m_idle(idle), m_running(running)
    {
        QMutexLocker lock(&m_mutex);
        ++m_running;
    }
    ~RunningMark()
    {
        QMutexLocker lock(&m_mutex);
        if (--m_running == 0)
            m_idle.wakeAll();
    }
    RunningMark(const RunningMark &) = delete;
    RunningMark &operator=(const RunningMark &) = delete;

private:
    std::shared_ptr<void> m_state; // keeps the mutex and counter alive
    QMutex &m_mutex;
    QWaitCondition &m_idle;
    int &m_running;
};

QCoro::Task<> driven(QCoro::Task<> task, std::shared_ptr<void> mark, QString name)
{
    try {
        co_await std::move(task);
    } catch (const CancelledError &) {
        qCDebug(lcAsync) << name << "coroutine ended by cancellation";
    } catch (const std::exception &error) {
        qCWarning(lcAsync) << name << "coroutine ended with an uncaught error:" << error.what();
    } catch (...) {
        qCWarning(lcAsync) << name << "coroutine ended with an unknown uncaught error";
    }
    mark.reset(); // before the frame goes, so a waiting owner may go on
}

} // namespace

CoroutineScope::CoroutineScope(QString name) : m_state(std::make_shared<State>())
{
    m_state->name = std::move(name);
}

CoroutineScope::~CoroutineScope()
{
    if (const int left = runningCount())
        qCDebug(lcAsync) << m_state->name << "goes with" << left << "coroutines still running";
}

std::shared_ptr<void> CoroutineScope::hold()
{
    return std::make_shared<RunningMark>(m_state, m_state->mutex, m_state->idle, m_state->running);
}

void CoroutineScope::spawn(QCoro::Task<> task, std::shared_ptr<void> held)
{
    if (!held)
        held = hold();
    driven(std::move(task), std::move(held), m_state->name); // runs on by itself
}

int CoroutineScope::runningCount() const
{
    QMutexLocker lock(&m_state->mutex);
    return m_state->running;
}

bool CoroutineScope::shutdown(std::chrono::milliseconds limit)
{
    m_cancellation.cancel();
    QDeadlineTimer deadline(limit);
    QMutexLocker lock(&m_state->mutex);
    while (m_state->running > 0) {
        if (!m_state->idle.wait(&m_state->mutex, deadline)) {
            qCWarning(lcAsync) << m_state->name << "stopped waiting for" << m_state->running << "coroutines";
            return false;
        }
    }
    return true;
}
