#pragma once

#include "model/BL_Workspace.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QUuid>
#include <optional>

// The one register of the worker agents that may run delegated tasks and of
// which task holds which agent. It only keeps books: it starts nothing,
// publishes nothing and persists nothing. Main thread only.
class WorkerPool final
{
public:
    explicit WorkerPool(QList<BL_Agent> agents);

    const QList<BL_Agent> &agents() const { return m_agents; }

    // How many agents, counted from the front of the list, may be used at once.
    // A write stores the value clamped to 0 … number of agents.
    qint64 sharedAgentCount() const { return m_sharedAgentCount; }
    void setSharedAgentCount(qint64 count);

    qint64 capacity() const;
    QList<BL_Agent> availableAgents() const; // the first capacity() agents
    qint64 freeSlotCount() const; // zero or less: full
    qsizetype activeAssignmentCount() const { return m_activeAssignments.size(); }

    // The first enabled, idle agent in service, now held by the task; nothing
    // when none is free. A task that already holds an agent gives it back
    // first, so a second delegation of the same task never keeps two.
    std::optional<BL_Agent> requestAssignment(const QUuid &taskID, const QUuid &projectID);
    // Hands back the agent the task holds, if any.
    void complete(const QUuid &taskID);
    // Assignments of the workspace.
    qsizetype runningCount(const QUuid &projectID) const;
    // Drops the workspace's assignments whose task is not in `retaining`;
    // returns how many were dropped.
    qsizetype pruneAssignments(const QUuid &projectID, const QSet<QUuid> &retaining);

    // The agent the task holds.
    std::optional<QUuid> assignedAgentID(const QUuid &taskID) const;
    const QSet<QUuid> &activeAgentIDs() const { return m_activeAgentIDs; }

private:
    struct Assignment
    {
        QUuid projectID;
        QUuid agentID;
    };

    QList<BL_Agent> m_agents;
    QHash<QUuid, Assignment> m_activeAssignments; // by task
    QSet<QUuid> m_activeAgentIDs;
    qint64 m_sharedAgentCount = 0;
};
