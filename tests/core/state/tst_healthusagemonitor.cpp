#include "../agenttools/AgentToolsFixture.h"
#include "TestSupport.h"
#include "state/HealthUsageMonitor.h"

#include <QCoroSignal>
#include <QtTest>

using AgentToolsFixture::CodexBarStandIn;
using AgentToolsFixture::j;
using Field = HealthUsageMonitor::Field;
using Status = HealthCheckResult::Status;

namespace {

const TimePoint kNow = TimePoint::fromUnixSeconds(1700000000);

QStringList titles(const QList<HealthCheckResult> &results)
{
    QStringList list;
    for (const HealthCheckResult &result : results)
        list.append(result.title);
    return list;
}

// Runs a coroutine on by itself and says when it has ended.
QCoro::Task<> tracked(QCoro::Task<> task, std::shared_ptr<bool> done)
{
    co_await std::move(task);
    *done = true;
}

// A monitor whose checks and usage read find only the stand-ins installed in
// the temporary home, with hooks that record what they were asked.
struct MonitorBench
{
    TestSupport::TemporaryHome home;
    TestSupport::PinnedClock clock {kNow};
    BrimlockStandIn brimlock;
    CodexBarStandIn codexbar;
    bool clientNode = false;
    ClientNodePing ping {false, QStringLiteral("Ping Main Node"), QStringLiteral("No answer from the main node.")};
    ModelUsageAPIResponse mainNodeUsage;
    int pings = 0;
    int usageRequests = 0;
    QList<Field> published;
    QList<QList<HealthCheckResult>> heartbeats;
    QList<std::optional<TimePoint>> heartbeatTimes;
    TestSupport::Gate heartbeatGate;
    std::unique_ptr<HealthUsageMonitor> monitor;

    MonitorBench()
    {
        BrimlockStandIn::installInToolHome();
        CodexBarStandIn::installInToolHome();
        brimlock.setScenario(j("{'agents': {'names': ['coder']}}"));

        HealthCheckOptions checks;
        checks.host = AgentToolsFixture::sandboxHost();
        checks.clock = &clock;
        checks.commandTimeout = std::chrono::seconds(10);
        CodexBarUsageOptions usage;
        usage.host = AgentToolsFixture::sandboxHost();
        usage.clock = &clock;
        usage.timeout = std::chrono::seconds(10);

        HealthUsageMonitor::Hooks hooks;
        hooks.isClientNodeMode = [this] { return clientNode; };
        hooks.checkClientNodePing = [this] { return answerPing(this); };
        hooks.fetchClientNodeModelUsage = [this] { return answerUsage(this); };
        hooks.isLocalTaskViewerRunning = [] { return false; };
        hooks.hasAttemptedLocalServerStart = [] { return false; };
        hooks.localTaskViewerURL = [] { return std::optional<QUrl>(); };
        hooks.emitHeartbeat = [this](QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt) {
            return heartbeat(this, std::move(results), checkedAt);
        };
        hooks.publish = [this](Field field) { published.append(field); };
        monitor = std::make_unique<HealthUsageMonitor>(clock, checks, usage, std::move(hooks));
    }

    static QCoro::Task<ClientNodePing> answerPing(MonitorBench *bench)
    {
        ++bench->pings;
        co_return bench->ping;
    }
    static QCoro::Task<ModelUsageAPIResponse> answerUsage(MonitorBench *bench)
    {
        ++bench->usageRequests;
        co_return bench->mainNodeUsage;
    }
    static QCoro::Task<> heartbeat(
        MonitorBench *bench, QList<HealthCheckResult> results, std::optional<TimePoint> checkedAt)
    {
        bench->heartbeats.append(results);
        bench->heartbeatTimes.append(checkedAt);
        if (bench->heartbeatGate.closed)
            co_await qCoro(&bench->heartbeatGate, &TestSupport::Gate::opened);
    }

    bool prefetched() const
    {
        return TestSupport::waitUntil([&] {
            return monitor->modelLastUpdated() && monitor->healthLastUpdated() && !monitor->isRefreshingHealth();
        });
    }

    int brimlockRuns() const { return brimlock.invocations().size(); }
};

// The results by their ids: every result made gets a fresh one.
QList<QUuid> ids(const QList<HealthCheckResult> &results)
{
    QList<QUuid> list;
    for (const HealthCheckResult &result : results)
        list.append(result.id);
    return list;
}

} // namespace

class HealthUsageMonitorTest : public QObject
{
    Q_OBJECT

private slots:
    void prefetchStoresBothHalvesOnce_data()
    {
        QTest::addColumn<QByteArray>("brimlockScenario");
        QTest::addColumn<QByteArray>("codexbarReply");
        QTest::addColumn<bool>("healthy");
        QTest::addColumn<bool>("hasUsage");
        QTest::newRow("all well") << j("{'agents': {'names': ['coder']}}")
                                  << j("{'stdout_json': {'usage': {'currentSession': {'usedPercent': 5}}}}") << true
                                  << true;
        QTest::newRow("doctor fails, no usage")
            << j("{'agents': {'names': ['coder']}, 'doctor': {'stdout': 'broken', 'exit': 1}}")
            << j("{'stderr': 'no session', 'exit': 1}") << false << false;
    }

    void prefetchStoresBothHalvesOnce()
    {
        QFETCH(QByteArray, brimlockScenario);
        QFETCH(QByteArray, codexbarReply);
        QFETCH(bool, healthy);
        QFETCH(bool, hasUsage);
        MonitorBench bench;
        bench.brimlock.setScenario(brimlockScenario);
        bench.codexbar.setReply(codexbarReply);
        QVERIFY(!bench.monitor->latestHealthIsHealthy());
        QVERIFY(!bench.monitor->hasPrefetched());

        bench.monitor->prefetchIfNeeded();
        QVERIFY(bench.monitor->hasPrefetched());
        QVERIFY(bench.monitor->isRefreshingHealth());
        bench.monitor->prefetchIfNeeded(); // starts nothing
        QVERIFY(bench.prefetched());

        QCOMPARE(titles(bench.monitor->healthResults()),
            (QStringList {QStringLiteral("Sub-agent Availability"), QStringLiteral("Brimlock Doctor")}));
        QCOMPARE(bench.monitor->healthLastUpdated(), std::optional(kNow));
        QCOMPARE(bench.monitor->latestHealthIsHealthy(), std::optional(healthy));
        QCOMPARE(bench.monitor->modelLastUpdated(), std::optional(kNow));
        QCOMPARE(bench.monitor->modelUsage().has_value(), hasUsage);
        QCOMPARE(bench.monitor->modelErrorMessage().has_value(), !hasUsage);
        if (hasUsage)
            QCOMPARE(bench.monitor->modelUsage()->first().provider, QStringLiteral("codex"));
        QCOMPARE(bench.published.count(Field::health), 1);
        QCOMPARE(bench.published.count(Field::modelUsage), 1);
        // The heartbeat follows the stored batch.
        QCOMPARE(bench.heartbeats.size(), 1);
        QCOMPARE(ids(bench.heartbeats.first()), ids(bench.monitor->healthResults()));
        QCOMPARE(bench.heartbeatTimes, QList<std::optional<TimePoint>> {kNow});

        // One run of each tool, also after the prefetch finished.
        bench.monitor->prefetchIfNeeded();
        TestSupport::drainMainThread();
        QCOMPARE(bench.brimlockRuns(), 2);
        QCOMPARE(bench.codexbar.invocations().size(), 1);
    }

    void refreshIsDroppedWhileItsHeartbeatRuns()
    {
        MonitorBench bench;
        bench.heartbeatGate.closed = true;
        auto firstDone = std::make_shared<bool>(false);
        tracked(bench.monitor->refreshHealth(), firstDone);
        QVERIFY(TestSupport::waitUntil([&] { return !bench.heartbeats.isEmpty(); }));
        // The checks ended and the snapshot is stored; the heartbeat still runs.
        QCOMPARE(bench.monitor->healthResults().size(), 2);
        QVERIFY(bench.monitor->isRefreshingHealth());
        QVERIFY(!*firstDone);

        auto secondDone = std::make_shared<bool>(false);
        tracked(bench.monitor->refreshHealth(), secondDone);
        QVERIFY(*secondDone); // dropped at once
        TestSupport::drainMainThread();
        QCOMPARE(bench.brimlockRuns(), 2);

        bench.heartbeatGate.open();
        QVERIFY(TestSupport::waitUntil([&] { return *firstDone; }));
        QVERIFY(!bench.monitor->isRefreshingHealth());

        // The next request runs again.
        QVERIFY(AgentToolsFixture::awaitDone(bench.monitor->refreshHealth()));
        QCOMPARE(bench.brimlockRuns(), 4);
        QCOMPARE(bench.heartbeats.size(), 2);
    }

    void clientNodeAsksTheMainNodeOnly_data()
    {
        QTest::addColumn<bool>("answered");
        QTest::newRow("main node answers") << true;
        QTest::newRow("main node silent") << false;
    }

    void clientNodeAsksTheMainNodeOnly()
    {
        QFETCH(bool, answered);
        MonitorBench bench;
        bench.clientNode = true;
        bench.ping.success = answered;
        const TimePoint usageTime = kNow.addSeconds(-30);
        bench.mainNodeUsage.checkedAt = usageTime;
        bench.mainNodeUsage.errorMessage = QStringLiteral("The main node has no usage.");
        bench.clock.advance(5); // the ping's check time is taken after it

        bench.monitor->prefetchIfNeeded();
        QVERIFY(bench.prefetched());
        const QList<HealthCheckResult> results = bench.monitor->healthResults();
        QCOMPARE(results.size(), 1);
        QCOMPARE(results.first().title, QStringLiteral("Main Node Reachability"));
        QCOMPARE(results.first().status, answered ? Status::success : Status::failed);
        QCOMPARE(results.first().command, QStringLiteral("Ping Main Node"));
        QCOMPARE(results.first().output, QStringLiteral("No answer from the main node."));
        QCOMPARE(bench.monitor->healthLastUpdated(), std::optional(kNow.addSeconds(5)));
        QCOMPARE(bench.monitor->latestHealthIsHealthy(), std::optional(answered));
        QVERIFY(!bench.monitor->modelUsage());
        QCOMPARE(bench.monitor->modelErrorMessage().value(), QStringLiteral("The main node has no usage."));
        QCOMPARE(bench.monitor->modelLastUpdated(), std::optional(usageTime));
        QCOMPARE(bench.pings, 1);
        QCOMPARE(bench.usageRequests, 1);
        // Nothing ran locally.
        QVERIFY(bench.brimlock.invocations().isEmpty());
        QVERIFY(bench.codexbar.invocations().isEmpty());
    }

    void healthFlag_data()
    {
        QTest::addColumn<QList<Status>>("statuses");
        QTest::addColumn<std::optional<bool>>("healthy");
        QTest::newRow("empty") << QList<Status> {} << std::optional<bool>();
        QTest::newRow("all passed") << QList<Status> {Status::success, Status::success} << std::optional(true);
        QTest::newRow("one failed") << QList<Status> {Status::success, Status::failed, Status::success}
                                    << std::optional(false);
    }

    void healthFlag()
    {
        QFETCH(QList<Status>, statuses);
        QFETCH(std::optional<bool>, healthy);
        MonitorBench bench;
        // A batch stored before replaces nothing of the new one.
        QList<HealthCheckResult> earlier {
            HealthCheckResult::make(QStringLiteral("Old"), Status::failed, QStringLiteral("c"), QString())};
        QVERIFY(AgentToolsFixture::awaitDone(bench.monitor->applyHealth(earlier, kNow, QStringLiteral("test"))));
        QList<HealthCheckResult> results;
        for (const Status status : statuses)
            results.append(HealthCheckResult::make(QStringLiteral("Check"), status, QStringLiteral("c"), QString()));
        QVERIFY(
            AgentToolsFixture::awaitDone(bench.monitor->applyHealth(results, std::nullopt, QStringLiteral("test"))));
        QCOMPARE(bench.monitor->latestHealthIsHealthy(), healthy);
        QCOMPARE(ids(bench.monitor->healthResults()), ids(results));
        QVERIFY(!bench.monitor->healthLastUpdated());
        QCOMPARE(bench.published, (QList<Field> {Field::health, Field::health}));
        QCOMPARE(ids(bench.heartbeats.last()), ids(results));
    }

    void usageReadAnswersAndStoresOnlyChanges()
    {
        MonitorBench bench;
        bench.codexbar.setReply(j("{'stdout_json': {'usage': {'currentSession': {'usedPercent': 5}}}}"));
        std::optional<ModelUsageAPIResponse> answer;
        auto read = [&]() -> bool {
            auto reading
                = [](HealthUsageMonitor *monitor, std::optional<ModelUsageAPIResponse> *into) -> QCoro::Task<> {
                *into = co_await monitor->readModelUsage();
            };
            answer.reset();
            return AgentToolsFixture::awaitDone(reading(bench.monitor.get(), &answer));
        };

        QVERIFY(read());
        QCOMPARE(answer->checkedAt, kNow);
        QCOMPARE(answer->snapshots->first().provider, QStringLiteral("codex"));
        QVERIFY(!answer->errorMessage);
        QCOMPARE(bench.monitor->modelUsage(), answer->snapshots);
        QCOMPARE(bench.monitor->modelLastUpdated(), std::optional(kNow));
        QCOMPARE(bench.published, QList<Field> {Field::modelUsage});

        // The same reading again changes nothing and reports nothing.
        QVERIFY(read());
        QCOMPARE(bench.published.size(), 1);
        QCOMPARE(bench.codexbar.invocations().size(), 2);

        bench.codexbar.setReply(j("{'stderr': 'no session', 'exit': 1}"));
        QVERIFY(read());
        QVERIFY(!answer->snapshots);
        QVERIFY(answer->errorMessage);
        QVERIFY(!bench.monitor->modelUsage());
        QCOMPARE(bench.monitor->modelErrorMessage(), answer->errorMessage);
        QCOMPARE(bench.published.size(), 2);
        // The read stores no health and sends no heartbeat.
        QVERIFY(bench.heartbeats.isEmpty());
    }

    void workLandingAfterTheMonitorWentIsDropped()
    {
        MonitorBench bench;
        bench.brimlock.setScenario(j("{'agents': {'names': ['coder']}, 'doctor': {'stdout': 'ok', 'sleep': 0.5}}"));
        auto refreshed = std::make_shared<bool>(false);
        tracked(bench.monitor->refreshHealth(), refreshed);
        bench.monitor->prefetchIfNeeded();
        bench.monitor.reset();

        QVERIFY(TestSupport::waitUntil([&] { return *refreshed && bench.codexbar.invocations().size() == 1; }));
        TestSupport::drainMainThread();
        QVERIFY(bench.published.isEmpty());
        QVERIFY(bench.heartbeats.isEmpty());
    }
};

QTEST_GUILESS_MAIN(HealthUsageMonitorTest)
#include "tst_healthusagemonitor.moc"
