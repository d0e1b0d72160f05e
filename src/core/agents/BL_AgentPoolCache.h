#pragma once

#include "BrimlockRuntime.h"
#include "common/Actor.h"

#include <QCoroTask>
#include <QFuture>
#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <functional>

class QTimer;

// The names of the Brimlock tool's agents, learnt from the agent workspaces in
// the user's home or, when there are none, from the tool itself, and handed out
// at random. Its operations run one at a time on its own serial executor; once
// used it refreshes its list in the background for the rest of its life.
class BL_AgentPoolCache final
{
public:
    // Learns the names; runs on the blocking pool and may block there.
    using Fetcher = std::function<QStringList()>;

    // The default fetcher is fetchAgentNames() for the running process.
    explicit BL_AgentPoolCache(
        Fetcher fetcher = {}, std::chrono::milliseconds refreshInterval = std::chrono::seconds(60));
    // Waits for a fetch in flight to end.
    ~BL_AgentPoolCache();
    BL_AgentPoolCache(const BL_AgentPoolCache &) = delete;
    BL_AgentPoolCache &operator=(const BL_AgentPoolCache &) = delete;

    // The one instance of the process, created on first use and never destroyed.
    static BL_AgentPoolCache &shared();

    // A random agent other than the main one when there is such an agent, else
    // any known one, else "main". Never fails; callable from any thread. The
    // first call waits for the first fetch.
    QFuture<QString> randomSubAgentName();

    // "main" and "main-…" in any case.
    static bool isMainAgentName(const QString &name);
    // "main" when H/.brimlock/workspace holds SOUL.md, then every
    // H/.brimlock/workspace-<name> that holds one.
    static QStringList discoverAgentNamesFromWorkspaceDirectories(const BrimlockHost &host = BrimlockHost::current());
    // The workspace names, or else what the tool's agent lists print, asked
    // through a login shell that is stopped after `timeout`.
    static constexpr std::chrono::seconds kFetchTimeout {30};
    static QStringList fetchAgentNames(
        const BrimlockHost &host = BrimlockHost::current(), std::chrono::milliseconds timeout = kFetchTimeout);

private:
    QCoro::Task<QString> pickName();
    void startBackgroundRefreshIfNeeded();
    QCoro::Task<> backgroundRefresh();
    QCoro::Task<> refreshNow();
    QString randomElement(const QStringList &names) const;

    Fetcher m_fetcher;
    std::chrono::milliseconds m_refreshInterval;
    std::atomic<bool> m_stopping {false};

    // Touched only on the actor's thread.
    QTimer *m_refreshTimer = nullptr;
    QStringList m_cachedAgentNames;
    QStringList m_nonMainAgentNames;
    bool m_hasFetchedAtLeastOnce = false;

    Actor m_actor; // last: its thread stops before the members above go
};
