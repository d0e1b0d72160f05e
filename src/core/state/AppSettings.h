#pragma once

#include "platform/SettingsStore.h"

#include <QHash>
#include <QString>
#include <QUuid>
#include <optional>

// The application state's settings: the injected store, plus the read-only
// settings suite of the older product, with the rules by which a current key
// takes over the value of its legacy twin.
class AppSettings
{
public:
    // Keys of the installation's settings; each current key has a legacy twin.
    static inline const QString lastViewedProjectKey = QStringLiteral("tessaron.lastViewedProjectID.v1");
    static inline const QString legacyLastViewedProjectKey = QStringLiteral("brimlock.lastViewedProjectID.v1");
    static inline const QString browserURLStateKey = QStringLiteral("tessaron.browserURLByProjectID.v1");
    static inline const QString legacyBrowserURLStateKey = QStringLiteral("brimlock.browserURLByProjectID.v1");
    static inline const QString backendBaseURLKey = QStringLiteral("tessaron.backendBaseURL.v1");
    static inline const QString legacyBackendBaseURLKey = QStringLiteral("brimlock.backendBaseURL.v1");
    static inline const QString googleOAuthClientIDKey = QStringLiteral("tessaron.googleOAuthClientID.v1");
    static inline const QString legacyGoogleOAuthClientIDKey = QStringLiteral("brimlock.googleOAuthClientID.v1");
    static inline const QString userTeamLogicFlagKey = QStringLiteral("feature.userTeamAuthV1");
    static inline const QString remoteTaskSyncFlagKey = QStringLiteral("feature.remoteTaskSyncV1");
    static inline const QString nodeTypeKey = QStringLiteral("tessaron.nodeType.v1");
    static inline const QString legacyNodeTypeKey = QStringLiteral("brimlock.nodeType.v1");
    static inline const QString nodeInstanceIDKey = QStringLiteral("tessaron.nodeInstanceID.v1");
    static inline const QString legacyNodeInstanceIDKey = QStringLiteral("brimlock.nodeInstanceID.v1");
    static inline const QString clientNodeHostKey = QStringLiteral("tessaron.clientNode.host.v1");
    static inline const QString legacyClientNodeHostKey = QStringLiteral("brimlock.clientNode.host.v1");
    static inline const QString clientNodePortKey = QStringLiteral("tessaron.clientNode.port.v1");
    static inline const QString legacyClientNodePortKey = QStringLiteral("brimlock.clientNode.port.v1");
    static inline const QString clientNodeAccessTokenKey = QStringLiteral("tessaron.clientNode.token.v1");
    static inline const QString legacyClientNodeAccessTokenKey = QStringLiteral("brimlock.clientNode.token.v1");

    // `legacySuite` may be null (the suite could not be opened); it is only read.
    AppSettings(SettingsStore &defaults, const SettingsStore *legacySuite);

    SettingsStore &defaults() { return m_defaults; }
    const SettingsStore *legacySuite() const { return m_legacySuite; }

    // The first non-empty text of: the current key, the legacy key in the
    // injected store, the legacy key in the legacy suite. A legacy value found
    // is written under the current key; legacy entries are never changed.
    std::optional<QString> migratedString(const QString &key, const QString &legacyKey);
    // The same for integers: a place counts only when it holds a number with
    // a whole value (0 counts, a text does not).
    std::optional<qint64> migratedInt(const QString &key, const QString &legacyKey);
    // A text-to-text dictionary under `key` in the injected store, else in
    // the legacy suite; copies nothing.
    std::optional<QHash<QString, QString>> legacyDictionary(const QString &key) const;

    // This installation's node id (lower-case UUID text), made on first use.
    QString persistentNodeInstanceID();
    // Stores the upper-case UUID text of the last viewed workspace, or removes
    // the key when there is none.
    void persistLastViewedProjectID(const std::optional<QUuid> &projectID);

private:
    SettingsStore &m_defaults;
    const SettingsStore *m_legacySuite;
};
