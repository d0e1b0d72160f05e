#include "WebPreviewController.h"

#include "state/WebPreviewState.h"

WebPreviewController::WebPreviewController(
    SettingsStore &defaults, QHash<QUuid, QString> addresses, ChangeHandler changed)
    : m_defaults(defaults), m_changed(std::move(changed)), m_urlByProjectID(std::move(addresses))
{
}

QString WebPreviewController::url(const QUuid &projectID, const QList<BL_Workspace> &workspaces) const
{
    for (const BL_Workspace &workspace : workspaces) {
        if (workspace.id != projectID)
            continue;
        if (const auto announced = WebPreview::devServerAddressFromWorkspaceFolder(workspace.rootPath))
            return *announced;
        break;
    }
    const QString remembered = m_urlByProjectID.value(projectID);
    return remembered.isEmpty() ? WebPreview::kDefaultAddress : remembered;
}

void WebPreviewController::setURL(const QString &address, const QUuid &projectID)
{
    const QString normalized = WebPreview::normalizedAddress(address);
    const auto existing = m_urlByProjectID.constFind(projectID);
    const bool changed = existing == m_urlByProjectID.constEnd() || *existing != normalized;
    m_urlByProjectID.insert(projectID, normalized);
    if (changed && m_changed)
        m_changed(Field::urlByProjectID);
    persistURLs();
}

void WebPreviewController::toggleSidebar(const QUuid &projectID)
{
    setSidebarVisible(!m_sidebarEnabledProjectIDs.contains(projectID), projectID);
}

void WebPreviewController::setSidebarVisible(bool visible, const QUuid &projectID)
{
    if (m_sidebarEnabledProjectIDs.contains(projectID) == visible)
        return;
    if (visible)
        m_sidebarEnabledProjectIDs.insert(projectID);
    else
        m_sidebarEnabledProjectIDs.remove(projectID);
    if (m_changed)
        m_changed(Field::sidebarEnabledProjectIDs);
}

bool WebPreviewController::isSidebarVisible(const std::optional<QUuid> &projectID) const
{
    return projectID && m_sidebarEnabledProjectIDs.contains(*projectID);
}

bool WebPreviewController::requestRefreshIfVisible(const std::optional<QUuid> &projectID)
{
    if (!isSidebarVisible(projectID))
        return false;
    m_refreshTokenByProjectID[*projectID] += 1;
    if (m_changed)
        m_changed(Field::refreshTokenByProjectID);
    return true;
}

QList<WebPreviewController::Field> WebPreviewController::forgetProject(const QUuid &projectID)
{
    QList<Field> changed;
    if (m_sidebarEnabledProjectIDs.remove(projectID))
        changed.append(Field::sidebarEnabledProjectIDs);
    if (m_urlByProjectID.remove(projectID) > 0)
        changed.append(Field::urlByProjectID);
    if (m_refreshTokenByProjectID.remove(projectID) > 0)
        changed.append(Field::refreshTokenByProjectID);
    persistURLs();
    return changed;
}

void WebPreviewController::persistURLs()
{
    WebPreview::persistAddresses(m_defaults, m_urlByProjectID);
}
