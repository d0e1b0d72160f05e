#pragma once

#include "AsyncAgentRunner.h"
#include "BL_DelegationHandshakeCoordinator.h"
#include "WorkerPool.h"
#include "model/BLEventBus.h"

#include <QCoroTask>
#include <QHash>
#include <QUuid>
#include <functional>
#include <memory>

// Turns a delegation request into a running worker and a worker's outcome
// back into book-keeping. It is the bus's first subscriber and handles every
// event synchronously inside the publishing call, on the main thread:
// delegationRequested takes a pool agent at once (or publishes
// delegationRejected at once), then registers a handshake ticket and
// schedules the runner on later turns; the outcome events free the agent and
// call the application state back.
class AgentEngine final
{
public:
    // What the runner is built with; empty members get the defaults (a
    // BL_DefaultDecisionEngine allowing 30 checks and a BL_ShellToolExecutor).
    struct RunnerParts
    {
        std::shared_ptr<BL_AgentDecisionEngineProtocol> decisionEngine;
        std::shared_ptr<BL_ToolExecutorProtocol> toolExecutor;
    };

    // Subscribes to the bus at once. The pool must outlive the engine.
    AgentEngine(BLEventBus &eventBus, WorkerPool &workerPool, const QUuid &managerID, RunnerParts parts = {});
    ~AgentEngine();
    AgentEngine(const AgentEngine &) = delete;
    AgentEngine &operator=(const AgentEngine &) = delete;

    // Set by the application state; called on the main thread while the
    // event that caused them is delivered.
    std::function<void(const QUuid &projectID, const QUuid &taskID, const QUuid &agentID)> onDelegationAccepted;
    std::function<void(const QUuid &projectID, const QUuid &taskID)> onWorkerCompleted;
    std::function<void(const QUuid &projectID, const QUuid &taskID)> onWorkerFailed;
    // Called on the main thread when a run ended without an outcome event
    // (a cancelled run publishes none) and its pool slot was given back.
    std::function<void(const QUuid &projectID, const QUuid &taskID)> onSlotReleased;

    AsyncAgentRunner &runner() { return *m_runner; }
    BL_DelegationHandshakeCoordinator &handshakeCoordinator() { return *m_handshakeCoordinator; }
    const QUuid &managerID() const { return m_managerID; }

    void handle(const BL_Event &event);

private:
    // Which delegation holds a task's pool slot. A slot belongs to its task
    // from the assignment until its run ends: an outcome event published by
    // the run itself frees it at once; one from elsewhere (the user marking
    // the worker done, a cancellation, the claim time-out) while the run
    // still goes on leaves it taken until the run has ended.
    struct SlotHolder
    {
        quint64 delegation = 0;
        QUuid ticketID; // null until the ticket is issued
        bool runEnding = false; // the run is publishing its own outcome
    };

    void bindEvents();
    void handleDelegationRequest(const BL_Event &event);
    QCoro::Task<> issueTicketAndSchedule(BL_Event event, BL_Agent agent, quint64 delegation);
    void completeSlot(const QUuid &taskID);
    void handleRunEnded(const QUuid &projectID, const QUuid &taskID, const QUuid &ticketID);
    void handleRunEnding(const QUuid &taskID, const QUuid &ticketID);

    BLEventBus &m_eventBus;
    WorkerPool &m_workerPool;
    std::unique_ptr<BL_DelegationHandshakeCoordinator> m_handshakeCoordinator;
    std::unique_ptr<AsyncAgentRunner> m_runner;
    QUuid m_managerID;
    BLEventSubscription m_subscription;
    QHash<QUuid, SlotHolder> m_slotHolderByTaskID;
    quint64 m_nextDelegation = 1;
    // Lets a delegation still on its way notice that the engine is gone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};
