#pragma once

#include "model/BL_Task.h"

#include <QUuid>
#include <optional>

// What readers outside the board need of the application state's boards:
// the board's current copy of a task. The application state implements it
// over its per-workspace board stores; it is read on the main thread.
class BoardTaskLookup
{
public:
    virtual ~BoardTaskLookup() = default;

    // Nothing when the workspace has no board, or its board no such task.
    virtual std::optional<BL_Task> boardTask(const QUuid &workspaceID, const QUuid &taskID) const = 0;
};
