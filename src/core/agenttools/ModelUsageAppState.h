#pragma once

#include "agenttools/ModelUsageSnapshot.h"

#include <QCoroTask>

// What the model-usage read asks of the application state. The application
// state implements it; members are called on the main thread.
class ModelUsageAppState
{
public:
    virtual ~ModelUsageAppState() = default;

    // This node mirrors a main node; the usage then comes from that node.
    virtual bool isClientNodeMode() const = 0;
    // The main node's model-usage answer; never fails (failures come back as
    // its message).
    virtual QCoro::Task<ModelUsageAPIResponse> fetchClientNodeModelUsage() = 0;
};
