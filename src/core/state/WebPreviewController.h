#pragma once

#include "model/BL_Workspace.h"
#include "platform/SettingsStore.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QUuid>
#include <functional>
#include <optional>

// The application state's web-preview concern: which workspaces show their
// preview, the address each preview opens, and the counters that ask a shown
// preview to reload. It owns that state, keeps the addresses in the settings
// and reports each of its three fields when, and only when, it changed.
class WebPreviewController final
{
public:
    enum class Field { sidebarEnabledProjectIDs, urlByProjectID, refreshTokenByProjectID };
    using ChangeHandler = std::function<void(Field)>;

    // Starts with the remembered `addresses`; later changes of them are
    // written to `defaults`, which must outlive the controller.
    WebPreviewController(SettingsStore &defaults, QHash<QUuid, QString> addresses, ChangeHandler changed);
    WebPreviewController(const WebPreviewController &) = delete;
    WebPreviewController &operator=(const WebPreviewController &) = delete;

    const QSet<QUuid> &sidebarEnabledProjectIDs() const { return m_sidebarEnabledProjectIDs; }
    const QHash<QUuid, QString> &urlByProjectID() const { return m_urlByProjectID; }
    const QHash<QUuid, qint64> &refreshTokenByProjectID() const { return m_refreshTokenByProjectID; }

    // The address the workspace's preview opens: the one its folder announces
    // (a workspace in `workspaces`), else the remembered one, else the default.
    QString url(const QUuid &projectID, const QList<BL_Workspace> &workspaces) const;
    // Remembers the reported address (trimmed; blank gives the default).
    void setURL(const QString &address, const QUuid &projectID);
    void toggleSidebar(const QUuid &projectID);
    void setSidebarVisible(bool visible, const QUuid &projectID);
    bool isSidebarVisible(const std::optional<QUuid> &projectID) const;
    // Asks the workspace's preview to reload when it is shown; true then.
    bool requestRefreshIfVisible(const std::optional<QUuid> &projectID);
    // Forgets everything of a removed workspace and stores the addresses.
    // Returns the fields that changed, in declaration order, without
    // reporting them: the caller reports them after its own.
    QList<Field> forgetProject(const QUuid &projectID);

private:
    void persistURLs();

    SettingsStore &m_defaults;
    ChangeHandler m_changed;
    QSet<QUuid> m_sidebarEnabledProjectIDs;
    QHash<QUuid, QString> m_urlByProjectID;
    QHash<QUuid, qint64> m_refreshTokenByProjectID;
};
