#pragma once

#include "common/TimePoint.h"
#include "model/BL_Task.h"

#include <QString>
#include <QUuid>
#include <optional>

namespace ConversationTurns {

// A new turn of a task's conversation: a fresh id, stamped with `clock`'s
// present moment. Every turn the application adds is made here.
inline BL_TaskConversationTurn make(
    BL_TaskConversationRole role, std::optional<QUuid> agentID, QString content, const Clock &clock = Clock::system())
{
    BL_TaskConversationTurn turn;
    turn.id = QUuid::createUuid();
    turn.timestamp = clock.now();
    turn.role = role;
    turn.agentID = std::move(agentID);
    turn.content = std::move(content);
    return turn;
}

} // namespace ConversationTurns
