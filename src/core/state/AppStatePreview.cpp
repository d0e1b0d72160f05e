// The application state's side of each workspace's web preview: forwards to
// its preview controller.
#include "AppState.h"

AppState::Field AppState::previewField(WebPreviewController::Field field)
{
    switch (field) {
    case WebPreviewController::Field::sidebarEnabledProjectIDs:
        return Field::browserSidebarEnabledProjectIDs;
    case WebPreviewController::Field::urlByProjectID:
        return Field::browserURLByProjectID;
    case WebPreviewController::Field::refreshTokenByProjectID:
        return Field::browserRefreshTokenByProjectID;
    }
    return Field::browserURLByProjectID;
}

QString AppState::browserURL(const QUuid &projectID) const
{
    return m_preview->url(projectID, m_projects);
}

void AppState::setBrowserURL(const QString &address, const QUuid &projectID)
{
    m_preview->setURL(address, projectID);
}

void AppState::toggleBrowserSidebar(const QUuid &projectID)
{
    m_preview->toggleSidebar(projectID);
}

void AppState::setBrowserSidebarVisible(bool visible, const QUuid &projectID)
{
    m_preview->setSidebarVisible(visible, projectID);
}

std::optional<QUuid> AppState::previewWorkspaceID() const
{
    if (m_activeProjectID)
        return m_activeProjectID;
    const QList<BL_Workspace> visible = projectsForSelectedTeam();
    if (!visible.isEmpty())
        return visible.first().id;
    return std::nullopt;
}

bool AppState::isVisibleBrowserSidebarForActiveProject() const
{
    return m_preview->isSidebarVisible(previewWorkspaceID());
}

bool AppState::refreshVisibleBrowserSidebarForActiveProject()
{
    return m_preview->requestRefreshIfVisible(previewWorkspaceID());
}

void AppState::requestBrowserRefreshIfVisible(const QUuid &projectID)
{
    m_preview->requestRefreshIfVisible(projectID);
}
