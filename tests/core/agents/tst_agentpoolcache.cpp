#include "BrimlockStandIn.h"
#include "TestSupport.h"
#include "agents/BL_AgentPoolCache.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QSemaphore>
#include <QSet>
#include <QtTest>
#include <atomic>
#include <memory>
#include <thread>

using namespace std::chrono_literals;

namespace {

void writeSoul(const QString &workspace)
{
    QDir().mkpath(QDir::homePath() + QStringLiteral("/.brimlock/") + workspace);
    QFile file(QDir::homePath() + QStringLiteral("/.brimlock/") + workspace + QStringLiteral("/SOUL.md"));
    file.open(QIODevice::WriteOnly);
    file.write("# soul\n");
}

QString pick(BL_AgentPoolCache &cache, int timeoutMs = 10000)
{
    QFuture<QString> future = cache.randomSubAgentName();
    if (!TestSupport::waitForFuture(future, timeoutMs))
        return QStringLiteral("<no answer>");
    return future.result();
}

QSet<QString> picks(BL_AgentPoolCache &cache, int count)
{
    QSet<QString> seen;
    for (int i = 0; i < count; ++i)
        seen.insert(pick(cache));
    return seen;
}

// Names handed to the cache by the test, counting the fetches.
struct ScriptedNames
{
    QMutex mutex;
    QStringList names;
    std::atomic<int> fetches {0};
    std::atomic<int> finished {0}; // fetches that have returned their names

    BL_AgentPoolCache::Fetcher fetcher()
    {
        return [this] {
            ++fetches;
            struct Finish
            {
                std::atomic<int> &count;
                ~Finish() { ++count; }
            } finish {finished};
            QMutexLocker lock(&mutex);
            return names;
        };
    }
    void set(const QStringList &next)
    {
        QMutexLocker lock(&mutex);
        names = next;
    }
};

} // namespace

class AgentPoolCacheTest : public QObject
{
    Q_OBJECT

private slots:
    void mainAgentNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("isMain");
        QTest::newRow("main") << "main" << true;
        QTest::newRow("Main") << "Main" << true;
        QTest::newRow("MAIN-2") << "MAIN-2" << true;
        QTest::newRow("main-backup") << "main-backup" << true;
        QTest::newRow("mainframe") << "mainframe" << false;
        QTest::newRow("coder") << "coder" << false;
        QTest::newRow("domain") << "domain" << false;
    }
    void mainAgentNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, isMain);
        QCOMPARE(BL_AgentPoolCache::isMainAgentName(name), isMain);
    }

    // Workspaces decide before the tool is asked; only those holding SOUL.md count.
    void workspacesOnDisk()
    {
        TestSupport::TemporaryHome home;
        BrimlockStandIn standIn;
        BrimlockStandIn::installInToolHome();
        standIn.setScenario(QByteArray(R"({"agents": {"names": ["from-tool"]}})"));
        writeSoul(QStringLiteral("workspace"));
        writeSoul(QStringLiteral("workspace-coder"));
        QDir().mkpath(QDir::homePath() + QStringLiteral("/.brimlock/workspace-review"));
        writeSoul(QStringLiteral("workspace-"));
        writeSoul(QStringLiteral(".workspace-hidden"));

        QCOMPARE(BL_AgentPoolCache::discoverAgentNamesFromWorkspaceDirectories(), (QStringList {"main", "coder"}));
        QCOMPARE(BL_AgentPoolCache::fetchAgentNames(), (QStringList {"main", "coder"}));
        QVERIFY(standIn.invocations().isEmpty());

        BL_AgentPoolCache cache;
        QCOMPARE(picks(cache, 20), QSet<QString> {QStringLiteral("coder")});
    }

    void noToolHome()
    {
        TestSupport::TemporaryHome home;
        QVERIFY(BL_AgentPoolCache::discoverAgentNamesFromWorkspaceDirectories().isEmpty());
    }

    // Without workspaces the tool's four agent lists are read through a login shell.
    void namesFromTheTool()
    {
        TestSupport::TemporaryHome home;
        BrimlockStandIn standIn;
        const QString executable = BrimlockStandIn::installInToolHome();
        const QJsonObject agents {{"names", QJsonArray {"Coder", "review", "main"}},
            {"list-json", QJsonObject {{"stdout", R"({"items": [{"name": "nested", "sub": {"name": "deeper"}}]})"}}},
            {"list-plain",
                QJsonObject {{"stdout", "Agents:\n-   coder  (default)\n- main-2\nnot a list line\n"}, {"exit", 1}}}};
        standIn.setScenario(QJsonObject {{"agents", agents}});

        const QStringList names = BL_AgentPoolCache::fetchAgentNames();
        QCOMPARE(names,
            (QStringList {
                "Coder", "review", "main", "nested", "deeper", "Coder", "review", "main", "coder", "main-2"}));
        const QList<QJsonObject> calls = standIn.invocations();
        QCOMPARE(calls.size(), 4);
        QCOMPARE(BrimlockStandIn::argv(calls[0]), (QStringList {"agents", "--json"}));
        QCOMPARE(BrimlockStandIn::argv(calls[1]), (QStringList {"agents", "list", "--json"}));
        QCOMPARE(BrimlockStandIn::argv(calls[2]), (QStringList {"agents"}));
        QCOMPARE(BrimlockStandIn::argv(calls[3]), (QStringList {"agents", "list"}));
        for (const QJsonObject &call : calls) {
            QCOMPARE(call.value(QStringLiteral("executable")).toString(), executable);
            QCOMPARE(BrimlockStandIn::env(call, QStringLiteral("TERM_PROGRAM")), QStringLiteral("ghostty"));
        }

        // Repeats are dropped in the case first seen; main agents are handed out last.
        BL_AgentPoolCache cache;
        QCOMPARE(picks(cache, 100), (QSet<QString> {"Coder", "review", "nested", "deeper"}));
    }

    void toolThatFailsOrHangsGivesNoNames()
    {
        TestSupport::TemporaryHome home;
        BrimlockStandIn standIn;
        BrimlockStandIn::installInToolHome();
        standIn.setScenario(QByteArray(R"({"agents": {"json": {"sleep": 30}}})"));
        QElapsedTimer clock;
        clock.start();
        QVERIFY(BL_AgentPoolCache::fetchAgentNames(BrimlockHost::current(), 1s).isEmpty());
        QVERIFY2(clock.elapsed() < 6000, qPrintable(QString::number(clock.elapsed())));

        standIn.setScenario(QByteArray(R"({"agents": {"names": []}})"));
        QVERIFY(BL_AgentPoolCache::fetchAgentNames().isEmpty());
    }

    void noToolInstalled()
    {
        TestSupport::TemporaryHome home;
        QVERIFY(BL_AgentPoolCache::fetchAgentNames().isEmpty());
        BL_AgentPoolCache cache;
        QCOMPARE(pick(cache, 30000), QStringLiteral("main"));
    }

    void onlyMainAgents()
    {
        ScriptedNames script;
        script.set({"main", "main-backup"});
        BL_AgentPoolCache cache(script.fetcher(), 1h);
        QCOMPARE(picks(cache, 100), (QSet<QString> {"main", "main-backup"}));
    }

    void repeatsAndBlanksAreDropped()
    {
        ScriptedNames script;
        script.set({" Coder ", "coder", "", "  ", "MAIN", "CODER\n"});
        BL_AgentPoolCache cache(script.fetcher(), 1h);
        QCOMPARE(picks(cache, 30), QSet<QString> {QStringLiteral("Coder")});
    }

    // With no names known, every call waits for a fetch of its own before it
    // answers "main"; the very first one waits for two.
    void noNamesAnywhere()
    {
        ScriptedNames script;
        BL_AgentPoolCache cache(script.fetcher(), 1h);
        QCOMPARE(pick(cache), QStringLiteral("main"));
        QVERIFY(script.fetches >= 2);
        // Its own fetch, the first background refresh and its second fetch.
        QVERIFY(TestSupport::waitUntil([&] { return script.fetches == 3 && script.finished == 3; }));
        const int before = script.fetches;
        QCOMPARE(pick(cache), QStringLiteral("main"));
        QCOMPARE(script.fetches.load(), before + 1);
    }

    // The first answer waits for a fetch; later ones come from the list while
    // the background refresh is still busy.
    void laterCallsDoNotWaitForTheRefresh()
    {
        QSemaphore gate;
        std::atomic<int> fetches {0};
        BL_AgentPoolCache cache(
            [&] {
                if (++fetches > 1)
                    gate.acquire(); // every refresh after the first hangs until released
                return QStringList {"coder"};
            },
            1h);
        QCOMPARE(pick(cache), QStringLiteral("coder"));
        QVERIFY(TestSupport::waitUntil([&] { return fetches >= 2; })); // the background refresh is stuck
        QElapsedTimer clock;
        clock.start();
        QCOMPARE(pick(cache, 2000), QStringLiteral("coder"));
        QVERIFY(clock.elapsed() < 1000);
        gate.release(10);
    }

    void backgroundRefreshFollowsTheTool()
    {
        ScriptedNames script;
        script.set({"alpha"});
        BL_AgentPoolCache cache(script.fetcher(), 50ms);
        QCOMPARE(pick(cache), QStringLiteral("alpha"));

        // A refresh that finds nothing keeps the names it had.
        script.set({});
        const int before = script.fetches;
        QVERIFY(TestSupport::waitUntil([&] { return script.fetches >= before + 3; }));
        QCOMPARE(pick(cache), QStringLiteral("alpha"));

        script.set({"beta"});
        QVERIFY(TestSupport::waitUntil([&] { return pick(cache) == QStringLiteral("beta"); }));
    }

    // A cache may go while a refresh is still fetching: it waits for that
    // fetch, lets the refresh finish on its own thread and only then lets its
    // lists go. A call that was waiting for its first fetch still gets its name.
    void destroyedWhileARefreshRuns_data()
    {
        QTest::addColumn<bool>("firstCallWaiting");
        QTest::newRow("background refresh in flight") << false;
        QTest::newRow("first call waiting for its fetch") << true;
    }
    void destroyedWhileARefreshRuns()
    {
        QFETCH(bool, firstCallWaiting);
        QSemaphore gate;
        std::atomic<int> fetches {0};
        auto cache = std::make_unique<BL_AgentPoolCache>(
            [&] {
                if (++fetches > (firstCallWaiting ? 0 : 1))
                    gate.acquire();
                QStringList names;
                for (int i = 0; i < 200; ++i)
                    names.append(QStringLiteral("agent-%1").arg(i));
                return names;
            },
            1h);

        QFuture<QString> waiting;
        if (firstCallWaiting) {
            waiting = cache->randomSubAgentName();
        } else {
            QCOMPARE(pick(*cache).left(6), QStringLiteral("agent-"));
        }
        QVERIFY(TestSupport::waitUntil([&] { return fetches >= (firstCallWaiting ? 1 : 2); }));

        std::thread opener([&] {
            std::this_thread::sleep_for(100ms); // the destructor is waiting by now
            gate.release(10);
        });
        cache.reset();
        opener.join();
        if (firstCallWaiting) {
            QVERIFY(waiting.isFinished());
            QCOMPARE(waiting.result().left(6), QStringLiteral("agent-"));
        }
    }

    // Caches made and dropped while their refreshes follow each other
    // without pause.
    void destroyedAmidRepeatedRefreshes()
    {
        std::atomic<int> fetches {0};
        for (int round = 0; round < 20; ++round) {
            BL_AgentPoolCache cache(
                [&] {
                    ++fetches;
                    std::this_thread::sleep_for(std::chrono::microseconds(200 * (fetches % 5)));
                    return QStringList {QStringLiteral("coder"), QStringLiteral("main")};
                },
                1ms);
            QCOMPARE(pick(cache), QStringLiteral("coder"));
            std::this_thread::sleep_for(std::chrono::milliseconds(round % 4));
        }
        QVERIFY(fetches >= 20);
    }

    void sharedInstanceRunsOffTheCallingThread()
    {
        TestSupport::TemporaryHome home;
        writeSoul(QStringLiteral("workspace-solo"));
        BL_AgentPoolCache &shared = BL_AgentPoolCache::shared();
        QCOMPARE(&shared, &BL_AgentPoolCache::shared());
        QCOMPARE(pick(shared), QStringLiteral("solo"));
    }
};

QTEST_GUILESS_MAIN(AgentPoolCacheTest)
#include "tst_agentpoolcache.moc"
