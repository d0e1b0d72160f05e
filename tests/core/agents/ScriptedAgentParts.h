#pragma once

#include "TestSupport.h"
#include "agents/BL_AgentLoopRecords.h"

#include <QCoroFuture>
#include <QMutex>
#include <QPromise>
#include <QQueue>
#include <exception>
#include <memory>

// A decision engine and a tool executor whose answers the test hands out one
// by one, each as a future it may finish at once or later. Calls arrive on
// the runner's thread; the test reads them on the main thread.
namespace ScriptedAgentParts {

template<typename T> QFuture<T> ready(T value)
{
    QPromise<T> promise;
    promise.start();
    promise.addResult(std::move(value));
    promise.finish();
    return promise.future();
}

template<typename T, typename E> QFuture<T> failing(E error)
{
    QPromise<T> promise;
    promise.start();
    promise.setException(std::make_exception_ptr(std::move(error)));
    promise.finish();
    return promise.future();
}

// A future the test finishes when it wants.
template<typename T> struct Pending
{
    std::shared_ptr<QPromise<T>> promise = std::make_shared<QPromise<T>>();
    Pending() { promise->start(); }
    QFuture<T> future() const { return promise->future(); }
    void finish(T value) const
    {
        promise->addResult(std::move(value));
        promise->finish();
    }
    template<typename E> void fail(E error) const
    {
        promise->setException(std::make_exception_ptr(std::move(error)));
        promise->finish();
    }
};

struct DecisionCall
{
    QUuid taskID;
    BL_Agent agent;
    std::optional<QByteArray> taskInputData;
    std::optional<QString> projectRootPath;
    BL_ThoughtActionObservationState state;
};

class DecisionEngine final : public BL_AgentDecisionEngineProtocol
{
public:
    void add(QFuture<BL_AgentDecision> answer)
    {
        QMutexLocker lock(&m_mutex);
        m_answers.enqueue(answer);
    }
    QList<DecisionCall> calls() const
    {
        QMutexLocker lock(&m_mutex);
        return m_calls;
    }
    bool waitForCalls(int count, int timeoutMs = 10000) const
    {
        return TestSupport::waitUntil([&] { return calls().size() >= count; }, timeoutMs);
    }

    QCoro::Task<BL_AgentDecision> nextDecision(QUuid taskID, QUuid projectID, BL_Agent agent,
        std::optional<QByteArray> taskInputData, std::optional<QString> projectRootPath,
        BL_ThoughtActionObservationState taoState) override
    {
        Q_UNUSED(projectID);
        QFuture<BL_AgentDecision> answer;
        {
            QMutexLocker lock(&m_mutex);
            m_calls.append(DecisionCall {taskID, agent, taskInputData, projectRootPath, taoState});
            answer = m_answers.isEmpty() ? QFuture<BL_AgentDecision>(ready(BL_AgentDecision::finish(std::nullopt)))
                                         : m_answers.dequeue();
        }
        co_return co_await answer;
    }

private:
    mutable QMutex m_mutex;
    QQueue<QFuture<BL_AgentDecision>> m_answers;
    QList<DecisionCall> m_calls;
};

struct ExecutionCall
{
    QString command;
    QUuid taskID;
    CancellationToken cancellation;
};

class ToolExecutor final : public BL_ToolExecutorProtocol
{
public:
    void add(QFuture<BL_Observation> answer)
    {
        QMutexLocker lock(&m_mutex);
        m_answers.enqueue(answer);
    }
    void setCancelAnswer(bool answer)
    {
        QMutexLocker lock(&m_mutex);
        m_cancelAnswer = answer;
    }
    QList<ExecutionCall> calls() const
    {
        QMutexLocker lock(&m_mutex);
        return m_calls;
    }
    QList<QUuid> cancels() const
    {
        QMutexLocker lock(&m_mutex);
        return m_cancels;
    }
    bool waitForCalls(int count, int timeoutMs = 10000) const
    {
        return TestSupport::waitUntil([&] { return calls().size() >= count; }, timeoutMs);
    }

    QFuture<BL_Observation> executeSpawned(
        QString command, QUuid taskID, QUuid projectID, CancellationToken cancellation) override
    {
        Q_UNUSED(projectID);
        QMutexLocker lock(&m_mutex);
        m_calls.append(ExecutionCall {command, taskID, cancellation});
        return m_answers.isEmpty() ? ready(BL_Observation {QStringLiteral("done"), std::nullopt}) : m_answers.dequeue();
    }
    QFuture<bool> cancel(QUuid taskID) override
    {
        QMutexLocker lock(&m_mutex);
        m_cancels.append(taskID);
        return ready(m_cancelAnswer);
    }

private:
    mutable QMutex m_mutex;
    QQueue<QFuture<BL_Observation>> m_answers;
    QList<ExecutionCall> m_calls;
    QList<QUuid> m_cancels;
    bool m_cancelAnswer = false;
};

} // namespace ScriptedAgentParts
