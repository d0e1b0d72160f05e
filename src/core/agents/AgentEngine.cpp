#include "AgentEngine.h"

#include "BL_DefaultDecisionEngine.h"

#include "common/FutureResult.h"

AgentEngine::AgentEngine(BLEventBus &eventBus, WorkerPool &workerPool, const QUuid &managerID, RunnerParts parts)
    : m_eventBus(eventBus),
      m_workerPool(workerPool),
      m_handshakeCoordinator(std::make_unique<BL_DelegationHandshakeCoordinator>()),
      m_runner(std::make_unique<AsyncAgentRunner>(eventBus, *m_handshakeCoordinator,
          parts.decisionEngine ? parts.decisionEngine : std::make_shared<BL_DefaultDecisionEngine>(30),
          parts.toolExecutor)),
      m_managerID(managerID)
{
    // Posted calls die with the runner, which this engine owns.
    m_runner->onRunEnded = [this](const QUuid &projectID, const QUuid &taskID, const QUuid &ticketID) {
        handleRunEnded(projectID, taskID, ticketID);
    };
    m_runner->onRunEnding
        = [this](const QUuid &, const QUuid &taskID, const QUuid &ticketID) { handleRunEnding(taskID, ticketID); };
    bindEvents();
}

AgentEngine::~AgentEngine()
{
    m_subscription.cancel();
}

void AgentEngine::bindEvents()
{
    // The subscription ends with the engine, so the handler never outlives it.
    m_subscription = m_eventBus.subscribe([this](const BL_Event &event) { handle(event); });
}

void AgentEngine::handle(const BL_Event &event)
{
    switch (event.type) {
    case BL_EventType::delegationRequested:
        handleDelegationRequest(event);
        break;
    case BL_EventType::delegationAccepted:
        if (const auto payload = event.decodePayload<BL_DelegationPayload>(); payload && onDelegationAccepted)
            onDelegationAccepted(event.projectID, event.taskID, payload->agentID);
        break;
    case BL_EventType::delegationRejected:
        completeSlot(event.taskID);
        break;
    case BL_EventType::workerTaskCompleted:
        completeSlot(event.taskID);
        if (onWorkerCompleted)
            onWorkerCompleted(event.projectID, event.taskID);
        break;
    case BL_EventType::workerTaskFailed:
        completeSlot(event.taskID);
        if (onWorkerFailed)
            onWorkerFailed(event.projectID, event.taskID);
        break;
    default:
        break;
    }
}

void AgentEngine::handleDelegationRequest(const BL_Event &event)
{
    // The agent is taken inside this publication, so a scheduler that read the
    // pool's free slots before publishing has an exact limit.
    const std::optional<BL_Agent> agent = m_workerPool.requestAssignment(event.taskID, event.projectID);
    if (!agent) {
        m_eventBus.send(BL_Event::make(BL_EventType::delegationRejected, event.projectID, event.taskID));
        return;
    }
    const quint64 delegation = m_nextDelegation++;
    m_slotHolderByTaskID.insert(event.taskID, SlotHolder {delegation, QUuid()});
    issueTicketAndSchedule(event, *agent, delegation); // goes on at later turns of the main thread
}

void AgentEngine::completeSlot(const QUuid &taskID)
{
    const auto holder = m_slotHolderByTaskID.constFind(taskID);
    if (holder != m_slotHolderByTaskID.constEnd() && !holder->runEnding && m_workerPool.assignedAgentID(taskID))
        return; // its run goes on (or is about to start): the slot is given back when it ends
    m_workerPool.complete(taskID);
    m_slotHolderByTaskID.remove(taskID);
}

void AgentEngine::handleRunEnding(const QUuid &taskID, const QUuid &ticketID)
{
    const auto holder = m_slotHolderByTaskID.find(taskID);
    if (holder != m_slotHolderByTaskID.end() && holder->ticketID == ticketID)
        holder->runEnding = true;
}

void AgentEngine::handleRunEnded(const QUuid &projectID, const QUuid &taskID, const QUuid &ticketID)
{
    // Only the run of the delegation that still holds the slot gives it
    // back; an earlier run of a task delegated again holds nothing.
    const auto holder = m_slotHolderByTaskID.constFind(taskID);
    if (holder == m_slotHolderByTaskID.constEnd() || holder->ticketID.isNull() || holder->ticketID != ticketID)
        return;
    m_slotHolderByTaskID.erase(holder);
    if (!m_workerPool.assignedAgentID(taskID))
        return; // dropped meanwhile (the task left its board)
    m_workerPool.complete(taskID);
    if (onSlotReleased)
        onSlotReleased(projectID, taskID);
}

QCoro::Task<> AgentEngine::issueTicketAndSchedule(BL_Event event, BL_Agent agent, quint64 delegation)
{
    const std::weak_ptr<bool> alive = m_alive;
    const auto request = event.decodePayload<BL_DelegationRequestPayload>();
    const QUuid managerID = request ? request->managerID : m_managerID;

    auto issuing = futureResult(m_handshakeCoordinator->begin(event.projectID, event.taskID, managerID, agent.id));
    const BL_DelegationHandshakeTicket ticket = co_await std::move(issuing);
    if (alive.expired())
        co_return;
    if (const auto holder = m_slotHolderByTaskID.find(event.taskID);
        holder != m_slotHolderByTaskID.end() && holder->delegation == delegation)
        holder->ticketID = ticket.id;

    auto scheduling = futureResult(m_runner->schedule(event.projectID, event.taskID, managerID, agent, ticket,
        request ? request->taskInputData : std::nullopt, request ? request->projectRootPath : std::nullopt));
    co_await std::move(scheduling);
}
