// The local viewer's model-usage read: one fresh usage read per call, kept
// as the prefetched usage as well.

#include "agenttools/ModelsSidebarViewModel.h"
#include "state/AppState.h"

#include <QPointer>

QCoro::Task<ModelUsageAPIResponse> AppState::latestModelUsagePayload()
{
    // A model of its own for every call: two calls at once run two reads.
    const QPointer<AppState> self(this);
    auto model = std::make_unique<ModelsSidebarViewModel>(m_modelUsageOptions);
    QCoro::Task<> reading = model->refresh(*this);
    co_await std::move(reading);

    ModelUsageAPIResponse response;
    response.checkedAt = model->lastCheckedAt().value_or(self ? self->clock().now() : TimePoint::now());
    response.snapshots = model->usage();
    response.errorMessage = model->errorMessage();
    if (self)
        storePrefetchedModelUsage(model->usage(), model->errorMessage(), model->lastCheckedAt());
    co_return response;
}
