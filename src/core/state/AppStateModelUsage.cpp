// The local viewer's model-usage read: one fresh usage read per call, kept
// as the prefetched usage as well.
#include "state/AppState.h"

#include "state/HealthUsageMonitor.h"

QCoro::Task<ModelUsageAPIResponse> AppState::latestModelUsagePayload()
{
    return m_health->readModelUsage();
}
