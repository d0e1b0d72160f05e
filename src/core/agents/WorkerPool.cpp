#include "WorkerPool.h"

#include <algorithm>

WorkerPool::WorkerPool(QList<BL_Agent> agents) : m_agents(std::move(agents)), m_sharedAgentCount(m_agents.size())
{
}

void WorkerPool::setSharedAgentCount(qint64 count)
{
    m_sharedAgentCount = std::max<qint64>(0, std::min<qint64>(m_agents.size(), count));
}

qint64 WorkerPool::capacity() const
{
    return std::max<qint64>(0, std::min<qint64>(m_agents.size(), m_sharedAgentCount));
}

QList<BL_Agent> WorkerPool::availableAgents() const
{
    return m_agents.first(capacity());
}

qint64 WorkerPool::freeSlotCount() const
{
    return capacity() - m_activeAssignments.size();
}

std::optional<BL_Agent> WorkerPool::requestAssignment(const QUuid &taskID, const QUuid &projectID)
{
    // An agent still held by this task would otherwise stay marked busy with
    // nothing left to release it.
    complete(taskID);
    const qint64 inService = capacity();
    for (qint64 index = 0; index < inService; ++index) {
        const BL_Agent &agent = m_agents.at(index);
        if (!agent.isEnabled || m_activeAgentIDs.contains(agent.id))
            continue;
        m_activeAssignments.insert(taskID, Assignment {projectID, agent.id});
        m_activeAgentIDs.insert(agent.id);
        return agent;
    }
    return std::nullopt;
}

void WorkerPool::complete(const QUuid &taskID)
{
    const auto found = m_activeAssignments.constFind(taskID);
    if (found == m_activeAssignments.constEnd())
        return;
    m_activeAgentIDs.remove(found->agentID);
    m_activeAssignments.erase(found);
}

qsizetype WorkerPool::runningCount(const QUuid &projectID) const
{
    return std::count_if(m_activeAssignments.cbegin(), m_activeAssignments.cend(),
        [&](const Assignment &assignment) { return assignment.projectID == projectID; });
}

qsizetype WorkerPool::pruneAssignments(const QUuid &projectID, const QSet<QUuid> &retaining)
{
    QList<QUuid> dropped;
    for (auto it = m_activeAssignments.cbegin(); it != m_activeAssignments.cend(); ++it) {
        if (it->projectID == projectID && !retaining.contains(it.key()))
            dropped.append(it.key());
    }
    for (const QUuid &taskID : std::as_const(dropped))
        complete(taskID);
    return dropped.size();
}

std::optional<QUuid> WorkerPool::assignedAgentID(const QUuid &taskID) const
{
    const auto found = m_activeAssignments.constFind(taskID);
    if (found == m_activeAssignments.constEnd())
        return std::nullopt;
    return found->agentID;
}
