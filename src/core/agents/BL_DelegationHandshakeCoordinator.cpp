#include "BL_DelegationHandshakeCoordinator.h"

size_t qHash(const BL_DelegationHandshakeTicket &ticket, size_t seed)
{
    return qHashMulti(seed, ticket.id, ticket.projectID, ticket.taskID, ticket.managerID, ticket.agentID);
}

BL_DelegationHandshakeCoordinator::BL_DelegationHandshakeCoordinator()
    : m_actor(QStringLiteral("tessaron.delegation-handshake"))
{
}

QFuture<BL_DelegationHandshakeTicket> BL_DelegationHandshakeCoordinator::begin(
    const QUuid &projectID, const QUuid &taskID, const QUuid &managerID, const QUuid &agentID)
{
    return m_actor.call([this, projectID, taskID, managerID, agentID] {
        const BL_DelegationHandshakeTicket ticket {QUuid::createUuid(), projectID, taskID, managerID, agentID};
        m_pending.insert(ticket.id, ticket);
        return ticket;
    });
}

QFuture<std::optional<BL_DelegationHandshakeTicket>> BL_DelegationHandshakeCoordinator::acknowledge(
    const QUuid &ticketID, const QUuid &agentID)
{
    return m_actor.call([this, ticketID, agentID]() -> std::optional<BL_DelegationHandshakeTicket> {
        const auto found = m_pending.constFind(ticketID);
        if (found == m_pending.constEnd() || found->agentID != agentID)
            return std::nullopt;
        const BL_DelegationHandshakeTicket ticket = *found;
        m_pending.erase(found);
        return ticket;
    });
}

QFuture<QList<BL_DelegationHandshakeTicket>> BL_DelegationHandshakeCoordinator::pendingTickets()
{
    return m_actor.call([this] { return m_pending.values(); });
}
