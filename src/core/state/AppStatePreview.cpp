// The application state's side of each workspace's web preview.
#include "AppState.h"

#include "state/WebPreviewState.h"

QString AppState::browserURL(const QUuid &projectID) const
{
    for (const BL_Workspace &workspace : m_projects) {
        if (workspace.id != projectID)
            continue;
        if (const auto announced = WebPreview::devServerAddressFromWorkspaceFolder(workspace.rootPath))
            return *announced;
        break;
    }
    const QString remembered = m_browserURLByProjectID.value(projectID);
    return remembered.isEmpty() ? WebPreview::kDefaultAddress : remembered;
}

void AppState::setBrowserURL(const QString &address, const QUuid &projectID)
{
    m_browserURLByProjectID.insert(projectID, WebPreview::normalizedAddress(address));
    publish(Field::browserURLByProjectID);
    persistBrowserURLs();
}

void AppState::persistBrowserURLs()
{
    WebPreview::persistAddresses(m_settings.defaults(), m_browserURLByProjectID);
}

void AppState::toggleBrowserSidebar(const QUuid &projectID)
{
    setBrowserSidebarVisible(!m_browserSidebarEnabledProjectIDs.contains(projectID), projectID);
}

void AppState::setBrowserSidebarVisible(bool visible, const QUuid &projectID)
{
    if (visible)
        m_browserSidebarEnabledProjectIDs.insert(projectID);
    else
        m_browserSidebarEnabledProjectIDs.remove(projectID);
    publish(Field::browserSidebarEnabledProjectIDs);
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
    const auto id = previewWorkspaceID();
    return id && m_browserSidebarEnabledProjectIDs.contains(*id);
}

bool AppState::refreshVisibleBrowserSidebarForActiveProject()
{
    const auto id = previewWorkspaceID();
    if (!id || !m_browserSidebarEnabledProjectIDs.contains(*id))
        return false;
    m_browserRefreshTokenByProjectID[*id] += 1;
    publish(Field::browserRefreshTokenByProjectID);
    return true;
}

void AppState::requestBrowserRefreshIfVisible(const QUuid &projectID)
{
    if (!m_browserSidebarEnabledProjectIDs.contains(projectID))
        return;
    m_browserRefreshTokenByProjectID[projectID] += 1;
    publish(Field::browserRefreshTokenByProjectID);
}
