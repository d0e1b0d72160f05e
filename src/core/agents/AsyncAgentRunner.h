#pragma once

#include "BL_AgentLoopRecords.h"
#include "BL_DelegationHandshakeCoordinator.h"
#include "MainThreadPublisher.h"
#include "common/Actor.h"
#include "common/Cancellation.h"
#include "model/BLEventBus.h"
#include "model/BL_Workspace.h"

#include <QFuture>
#include <QHash>
#include <QSet>
#include <QUuid>
#include <functional>
#include <memory>
#include <optional>

// Runs delegated tasks on their agents: each run acknowledges its handshake
// ticket, announces that the worker accepted, was spawned and started, then
// asks the decision engine for a step, has the tool executor carry it out and
// records the observation, until the engine finishes the task, a step fails or
// the run is cancelled. Every step is an event, published on the main thread;
// the run waits for each publication before it goes on.
//
// The runner's operations and every state change of its runs happen on its
// own serial executor; any number of runs, one per task, interleave there at
// their waits.
class AsyncAgentRunner final
{
public:
    // No tool executor: a BL_ShellToolExecutor on the same bus with its defaults.
    AsyncAgentRunner(BLEventBus &eventBus, BL_DelegationHandshakeCoordinator &handshakeCoordinator,
        std::shared_ptr<BL_AgentDecisionEngineProtocol> decisionEngine,
        std::shared_ptr<BL_ToolExecutorProtocol> toolExecutor = nullptr);
    ~AsyncAgentRunner();
    AsyncAgentRunner(const AsyncAgentRunner &) = delete;
    AsyncAgentRunner &operator=(const AsyncAgentRunner &) = delete;

    // Starts the task's run in the background (an earlier run of the task is
    // asked to stop) and finishes without waiting for it.
    QFuture<void> schedule(QUuid projectID, QUuid taskID, QUuid managerID, BL_Agent agent,
        BL_DelegationHandshakeTicket handshakeTicket, std::optional<QByteArray> taskInputData,
        std::optional<QString> projectRootPath);
    // Asks the task's run to stop and stops its running command; true when the
    // tool executor ended a running process. Publishes nothing.
    QFuture<bool> cancelTaskExecution(QUuid taskID);

    // Whether a run of the task is registered, and whether its cancel mark is set.
    QFuture<bool> hasActiveRun(QUuid taskID);
    QFuture<bool> isMarkedCancelled(QUuid taskID);

    const std::shared_ptr<BL_ToolExecutorProtocol> &toolExecutor() const { return m_toolExecutor; }

    // Called on the main thread after each run has ended, however it ended
    // (also a cancelled run that published nothing), with the ticket it was
    // scheduled with. Set before the first run is scheduled.
    std::function<void(const QUuid &projectID, const QUuid &taskID, const QUuid &ticketID)> onRunEnded;
    // Called on the main thread just before a run publishes its own outcome
    // (delegationRejected, workerTaskCompleted or workerTaskFailed): the run
    // ends with that publication. Set before the first run is scheduled.
    std::function<void(const QUuid &projectID, const QUuid &taskID, const QUuid &ticketID)> onRunEnding;

    // The key every task event of a run carries: "agent:" and the agent's id in lower case.
    static QString workerSessionKey(const QUuid &agentID);

private:
    struct RunHandle
    {
        CancellationToken cancellation;
        quint64 serial = 0;
    };
    struct RunRequest
    {
        QUuid projectID;
        QUuid taskID;
        QUuid managerID;
        BL_Agent agent;
        BL_DelegationHandshakeTicket ticket;
        std::optional<QByteArray> taskInputData;
        std::optional<QString> projectRootPath;
    };

    QCoro::Task<> runLoop(RunRequest request, CancellationToken cancellation);
    QCoro::Task<> runAndCleanUp(RunRequest request, RunHandle handle);
    QCoro::Task<bool> cancelOnExecutor(QUuid taskID);
    QCoro::Task<> publish(QList<BL_Event> events);
    void announceEnding(const RunRequest &request);

    BLEventBus &m_eventBus;
    BL_DelegationHandshakeCoordinator &m_handshakeCoordinator;
    std::shared_ptr<BL_AgentDecisionEngineProtocol> m_decisionEngine;
    std::shared_ptr<BL_ToolExecutorProtocol> m_toolExecutor;

    // Touched only on the actor's thread.
    QHash<QUuid, RunHandle> m_activeRunTaskByTaskID;
    QSet<QUuid> m_cancelledTaskIDs;
    quint64 m_nextSerial = 1;

    MainThreadPublisher m_publisher;
    Actor m_actor; // last: its thread stops before the members above go
};
