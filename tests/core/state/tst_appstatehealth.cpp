#include "../agenttools/AgentToolsFixture.h"
#include "AppStateFixture.h"

#include <QtTest>

using AgentToolsFixture::CodexBarStandIn;
using AgentToolsFixture::j;
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

// An application state whose health checks and usage read find only the
// stand-ins installed in the temporary home.
struct HealthBench
{
    AppStateFixture fixture;
    TestSupport::PinnedClock clock {kNow};
    BrimlockStandIn brimlock;
    CodexBarStandIn codexbar;
    std::unique_ptr<AppState> state;

    explicit HealthBench(bool clientNode = false)
    {
        BrimlockStandIn::installInToolHome();
        CodexBarStandIn::installInToolHome();
        fixture.configure = [this](AppStateOptions &options) {
            options.clock = &clock;
            options.healthChecks.host = AgentToolsFixture::sandboxHost();
            options.healthChecks.clock = &clock;
            options.modelUsage.clock = &clock;
            options.healthChecks.commandTimeout = std::chrono::seconds(10);
            options.modelUsage.host = AgentToolsFixture::sandboxHost();
            options.modelUsage.timeout = std::chrono::seconds(10);
        };
        if (clientNode)
            fixture.defaults.setValue(AppSettings::nodeTypeKey, QStringLiteral("clientNode"));
        state = fixture.make();
    }

    bool prefetched() const
    {
        return TestSupport::waitUntil([&] {
            return state->prefetchedModelLastUpdated() && state->prefetchedHealthLastUpdated()
                && !state->isRefreshingHealthSnapshot();
        });
    }
};

} // namespace

class AppStateHealthTest : public QObject
{
    Q_OBJECT

private slots:
    void prefetchStoresHealthAndUsageOnce_data()
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

    void prefetchStoresHealthAndUsageOnce()
    {
        QFETCH(QByteArray, brimlockScenario);
        QFETCH(QByteArray, codexbarReply);
        QFETCH(bool, healthy);
        QFETCH(bool, hasUsage);
        HealthBench bench;
        bench.brimlock.setScenario(brimlockScenario);
        bench.codexbar.setReply(codexbarReply);
        QVERIFY(!bench.state->latestHealthIsHealthy());

        QSignalSpy changes(bench.state.get(), &AppState::changed);
        bench.state->prefetchSidebarDataIfNeeded();
        QVERIFY(bench.state->isRefreshingHealthSnapshot());
        bench.state->prefetchSidebarDataIfNeeded(); // starts nothing
        QVERIFY(bench.prefetched());

        QCOMPARE(titles(bench.state->prefetchedHealthResults()),
            (QStringList {QStringLiteral("Sub-agent Availability"), QStringLiteral("Brimlock Doctor")}));
        QCOMPARE(bench.state->prefetchedHealthLastUpdated(), std::optional(kNow));
        QCOMPARE(bench.state->latestHealthIsHealthy(), std::optional(healthy));
        QCOMPARE(bench.state->prefetchedModelLastUpdated(), std::optional(kNow));
        QCOMPARE(bench.state->prefetchedModelUsage().has_value(), hasUsage);
        QCOMPARE(bench.state->prefetchedModelErrorMessage().has_value(), !hasUsage);
        if (hasUsage)
            QCOMPARE(bench.state->prefetchedModelUsage()->first().provider, QStringLiteral("codex"));
        QVERIFY(changes.contains(QVariantList {QVariant::fromValue(AppState::Field::prefetchedHealth)}));
        QVERIFY(changes.contains(QVariantList {QVariant::fromValue(AppState::Field::prefetchedModelUsage)}));

        // One run of each tool, also after the prefetch finished.
        bench.state->prefetchSidebarDataIfNeeded();
        TestSupport::drainMainThread();
        QCOMPARE(bench.brimlock.records(QStringLiteral("invocation")).size(), 2);
        QCOMPARE(bench.codexbar.invocations().size(), 1);
    }

    void refreshIsSingleFlight()
    {
        HealthBench bench;
        bench.brimlock.setScenario(j("{'agents': {'names': ['coder']}, 'doctor': {'stdout': 'ok', 'sleep': 0.5}}"));
        bool firstDone = false;
        bool secondDone = false;
        auto track = [](QCoro::Task<> task, bool *done) -> QCoro::Task<> {
            co_await std::move(task);
            *done = true;
        };
        auto first = track(bench.state->refreshHealthSnapshot(), &firstDone);
        auto second = track(bench.state->refreshHealthSnapshot(), &secondDone);
        QVERIFY(secondDone); // dropped at once
        QVERIFY(!firstDone);
        QVERIFY(TestSupport::waitUntil([&] { return firstDone; }));
        QVERIFY(!bench.state->isRefreshingHealthSnapshot());
        QCOMPARE(bench.state->prefetchedHealthResults().size(), 2);
        QCOMPARE(bench.brimlock.records(QStringLiteral("invocation")).size(), 2);

        // The next request runs again.
        QVERIFY(AppStateFixture::run(bench.state->refreshHealthSnapshot()));
        QCOMPARE(bench.brimlock.records(QStringLiteral("invocation")).size(), 4);
    }

    void clientNodeStoresTheMainNodePingOnly()
    {
        HealthBench bench(true);
        QVERIFY(bench.state->isClientNodeMode());
        bench.state->prefetchSidebarDataIfNeeded();
        QVERIFY(bench.prefetched());

        const QList<HealthCheckResult> results = bench.state->prefetchedHealthResults();
        QCOMPARE(results.size(), 1);
        QCOMPARE(results.first().title, QStringLiteral("Main Node Reachability"));
        QCOMPARE(results.first().status, Status::failed);
        QCOMPARE(results.first().command, QStringLiteral("Ping Main Node"));
        QCOMPARE(results.first().output, QStringLiteral("Set a valid main-node LAN host and port."));
        QCOMPARE(bench.state->latestHealthIsHealthy(), std::optional(false));
        QVERIFY(!bench.state->prefetchedModelUsage());
        QCOMPARE(bench.state->prefetchedModelErrorMessage().value(),
            QStringLiteral("Set a valid main-node LAN host and port."));
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
        HealthBench bench;
        QList<HealthCheckResult> results;
        for (const Status status : statuses)
            results.append(HealthCheckResult::make(QStringLiteral("Check"), status, QStringLiteral("c"), QString()));
        QVERIFY(AppStateFixture::run(bench.state->applyHealthSnapshot(results, kNow, QStringLiteral("test"))));
        QCOMPARE(bench.state->latestHealthIsHealthy(), healthy);
        QCOMPARE(bench.state->prefetchedHealthResults().size(), statuses.size());
    }
};

QTEST_GUILESS_MAIN(AppStateHealthTest)
#include "tst_appstatehealth.moc"
