#pragma once

#include "common/Actor.h"

#include <QFuture>
#include <QHash>
#include <QUuid>
#include <optional>

// The ticket the engine registers for the agent it chose; the run must
// acknowledge it with the same agent before it does any work.
struct BL_DelegationHandshakeTicket
{
    QUuid id;
    QUuid projectID;
    QUuid taskID;
    QUuid managerID;
    QUuid agentID;

    friend bool operator==(const BL_DelegationHandshakeTicket &, const BL_DelegationHandshakeTicket &) = default;
};
size_t qHash(const BL_DelegationHandshakeTicket &ticket, size_t seed = 0);

// Keeps the tickets issued and not yet acknowledged. Its operations run one
// at a time on its own serial executor; callers on any thread await them.
class BL_DelegationHandshakeCoordinator final
{
public:
    BL_DelegationHandshakeCoordinator();
    BL_DelegationHandshakeCoordinator(const BL_DelegationHandshakeCoordinator &) = delete;
    BL_DelegationHandshakeCoordinator &operator=(const BL_DelegationHandshakeCoordinator &) = delete;

    // Registers a new ticket with a random id.
    QFuture<BL_DelegationHandshakeTicket> begin(
        const QUuid &projectID, const QUuid &taskID, const QUuid &managerID, const QUuid &agentID);
    // The ticket, removed from the pending ones, when it is pending and was
    // issued for `agentID`; nothing otherwise (a ticket of another agent stays).
    QFuture<std::optional<BL_DelegationHandshakeTicket>> acknowledge(const QUuid &ticketID, const QUuid &agentID);
    // The tickets waiting for their acknowledgement.
    QFuture<QList<BL_DelegationHandshakeTicket>> pendingTickets();

private:
    QHash<QUuid, BL_DelegationHandshakeTicket> m_pending; // touched only on the actor's thread
    Actor m_actor; // last: its thread stops before the tickets go
};
