// The health and usage snapshot.
#include "AppState.h"

void AppState::prefetchSidebarDataIfNeeded()
{
    if (m_hasPrefetchedSidebarData)
        return;
    m_hasPrefetchedSidebarData = true;
}

QCoro::Task<> AppState::refreshHealthSnapshot()
{
    co_return;
}
