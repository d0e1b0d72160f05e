#include "BL_AgentPoolCache.h"

#include "BrimlockProcess.h"
#include "common/Background.h"
#include "common/FutureResult.h"
#include "common/Logging.h"
#include "common/Text.h"

#include <QCoroFuture>
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <QTimer>

namespace {

struct CommandOutput
{
    qint32 exitCode = -1;
    QString output;
};

// Runs the program with standard output and error on one pipe. Nothing when
// it cannot be started or runs past its time.
std::optional<CommandOutput> runProcessSync(const QString &executable, const QStringList &arguments,
    const QProcessEnvironment &environment, std::chrono::milliseconds timeout)
{
    BrimlockProcessRequest request;
    request.program = executable;
    request.arguments = arguments;
    request.environment = environment;
    request.timeout = timeout;
    const BrimlockProcessOutcome outcome = BrimlockProcess::run(request);
    if (!outcome.started || outcome.timedOut)
        return std::nullopt;
    return CommandOutput {qint32(outcome.exitCode), BrimlockProcess::trimmedUtf8(outcome.output)};
}

QString agentListScript(const QString &tool)
{
    const QString jqNames = QStringLiteral(" 2>/dev/null | jq -r '.. | .name? // empty' || true");
    const QString sedNames = QStringLiteral(" 2>/dev/null | sed -n 's/^-[[:space:]]*\\([^[:space:]]\\+\\).*/\\1/p'");
    return QStringList {
        QStringLiteral("if command -v jq >/dev/null 2>&1; then"),
        QStringLiteral("  ") + tool + QStringLiteral(" agents --json") + jqNames,
        QStringLiteral("  ") + tool + QStringLiteral(" agents list --json") + jqNames,
        QStringLiteral("fi"),
        tool + QStringLiteral(" agents") + sedNames,
        tool + QStringLiteral(" agents list") + sedNames,
    }
        .join(u'\n');
}

} // namespace

BL_AgentPoolCache::BL_AgentPoolCache(Fetcher fetcher, std::chrono::milliseconds refreshInterval)
    : m_fetcher(fetcher ? std::move(fetcher) : Fetcher([] { return fetchAgentNames(); })),
      m_refreshInterval(refreshInterval),
      m_actor(QStringLiteral("tessaron.agent-pool-cache"))
{
}

BL_AgentPoolCache::~BL_AgentPoolCache()
{
    m_stopping = true;
    // A fetch in flight resumes on the actor's thread; the shutdown waits for
    // every refresh to end there (a fetch is cut off by its own time-out), so
    // nothing outlives the cache. The timer goes with the actor's context.
    m_actor.shutdown(kFetchTimeout + std::chrono::seconds(10));
}

BL_AgentPoolCache &BL_AgentPoolCache::shared()
{
    static BL_AgentPoolCache *instance = new BL_AgentPoolCache();
    return *instance;
}

QFuture<QString> BL_AgentPoolCache::randomSubAgentName()
{
    return m_actor.call([this] { return pickName(); });
}

bool BL_AgentPoolCache::isMainAgentName(const QString &name)
{
    const QString lower = name.toLower();
    return lower == QStringLiteral("main") || lower.startsWith(QStringLiteral("main-"));
}

QCoro::Task<QString> BL_AgentPoolCache::pickName()
{
    // No name is handed out before a refresh of this cache has completed.
    if (!m_hasFetchedAtLeastOnce)
        co_await refreshNow();
    startBackgroundRefreshIfNeeded();
    if (!m_nonMainAgentNames.isEmpty())
        co_return randomElement(m_nonMainAgentNames);
    if (!m_cachedAgentNames.isEmpty())
        co_return randomElement(m_cachedAgentNames);
    co_await refreshNow();
    if (!m_cachedAgentNames.isEmpty())
        co_return randomElement(m_cachedAgentNames);
    qCWarning(lcAgents) << "no agent names known (no agent workspace, and the tool listed none); using \"main\"";
    co_return QStringLiteral("main");
}

void BL_AgentPoolCache::startBackgroundRefreshIfNeeded()
{
    if (m_refreshTimer)
        return;
    m_refreshTimer = new QTimer(m_actor.context());
    m_refreshTimer->setSingleShot(true);
    m_refreshTimer->setInterval(m_refreshInterval);
    QObject::connect(m_refreshTimer, &QTimer::timeout, m_actor.context(),
        [this] { m_actor.spawn([this] { return backgroundRefresh(); }); });
    m_actor.spawn([this] { return backgroundRefresh(); }); // the first refresh follows at once
}

QCoro::Task<> BL_AgentPoolCache::backgroundRefresh()
{
    co_await refreshNow();
    // The next refresh is counted from the end of this one.
    if (!m_stopping && m_refreshTimer)
        m_refreshTimer->start();
}

QCoro::Task<> BL_AgentPoolCache::refreshNow()
{
    if (m_stopping) {
        m_hasFetchedAtLeastOnce = true;
        co_return;
    }
    // Several refreshes may be in flight at once; the one that ends last sets the lists.
    auto fetch = futureResult(Background::runBlocking(m_fetcher));
    const QStringList names = co_await std::move(fetch);
    if (!names.isEmpty()) {
        QStringList unique;
        QSet<QString> seen;
        for (const QString &name : names) {
            const QString trimmed = Text::trimmed(name);
            if (trimmed.isEmpty() || seen.contains(trimmed.toLower()))
                continue;
            seen.insert(trimmed.toLower());
            unique.append(trimmed);
        }
        m_cachedAgentNames = unique;
        m_nonMainAgentNames.clear();
        for (const QString &name : std::as_const(m_cachedAgentNames)) {
            if (!isMainAgentName(name))
                m_nonMainAgentNames.append(name);
        }
    }
    m_hasFetchedAtLeastOnce = true;
}

QString BL_AgentPoolCache::randomElement(const QStringList &names) const
{
    return names.at(qsizetype(QRandomGenerator::global()->bounded(quint32(names.size()))));
}

QStringList BL_AgentPoolCache::discoverAgentNamesFromWorkspaceDirectories(const BrimlockHost &host)
{
    const QString toolHome = host.homeDirectory + QStringLiteral("/.brimlock");
    QStringList names;
    if (QFileInfo::exists(toolHome + QStringLiteral("/workspace/SOUL.md")))
        names.append(QStringLiteral("main"));
    const QDir directory(toolHome);
    if (!directory.exists())
        return names;
    const QString prefix = QStringLiteral("workspace-");
    for (const QString &entry : directory.entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name)) {
        if (!entry.startsWith(prefix) || !QFileInfo::exists(directory.filePath(entry) + QStringLiteral("/SOUL.md")))
            continue;
        const QString name = Text::trimmed(entry.mid(prefix.size()));
        if (!name.isEmpty())
            names.append(name);
    }
    return names;
}

QStringList BL_AgentPoolCache::fetchAgentNames(const BrimlockHost &host, std::chrono::milliseconds timeout)
{
    const QStringList discovered = discoverAgentNamesFromWorkspaceDirectories(host);
    if (!discovered.isEmpty())
        return discovered;

    const QString tool = BrimlockRuntime::invocationPrefix(host).value_or(QStringLiteral("brimlock"));
    const QStringList arguments = BrimlockRuntime::shellInvocationArguments(agentListScript(tool), true, host);
    const auto result = runProcessSync(QStringLiteral("/usr/bin/env"), arguments, host.environment, timeout);
    if (!result || (result->exitCode != 0 && result->output.isEmpty()))
        return {};
    static const QRegularExpression lineBreaks(QStringLiteral("[\\n\\r\\x{0B}\\x{0C}\\x{85}\\x{2028}\\x{2029}]"));
    QStringList names;
    for (const QString &line : result->output.split(lineBreaks, Qt::SkipEmptyParts)) {
        const QString name = Text::trimmed(line);
        if (!name.isEmpty())
            names.append(name);
    }
    return names;
}
