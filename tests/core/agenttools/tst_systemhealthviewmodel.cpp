#include "AgentToolsFixture.h"
#include "agenttools/SystemHealthViewModel.h"

#include <QSignalSpy>
#include <QtTest>
#include <ctime>

using namespace std::chrono_literals;
using AgentToolsFixture::FakeHealthAppState;
using AgentToolsFixture::fetched;
using AgentToolsFixture::j;
using Status = HealthCheckResult::Status;

namespace {

QList<HealthCheckResult> batch(const QList<Status> &statuses)
{
    QList<HealthCheckResult> results;
    for (const Status status : statuses)
        results.append(HealthCheckResult::make(QStringLiteral("Check"), status, QStringLiteral("cmd"), QString()));
    return results;
}

QList<QUuid> ids(const QList<HealthCheckResult> &results)
{
    QList<QUuid> list;
    for (const HealthCheckResult &result : results)
        list.append(result.id);
    return list;
}

const TimePoint kT0 = TimePoint::fromUnixSeconds(1700000000); // 2023-11-14T22:13:20Z

} // namespace

class tst_SystemHealthViewModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void runChecks_data();
    void runChecks();
    void oneBatchAtATime();
    void applyPrefetched_data();
    void applyPrefetched();
    void summary_data();
    void summary();

private:
    std::unique_ptr<TestSupport::TemporaryHome> m_home;
    std::unique_ptr<BrimlockStandIn> m_standIn;
    TestSupport::PinnedClock m_clock {kT0};

    HealthCheckOptions options()
    {
        HealthCheckOptions result;
        result.host = AgentToolsFixture::sandboxHost();
        result.clock = &m_clock;
        return result;
    }
};

void tst_SystemHealthViewModel::initTestCase()
{
    qputenv("TZ", "UTC");
    ::tzset();
}

void tst_SystemHealthViewModel::init()
{
    m_home = std::make_unique<TestSupport::TemporaryHome>();
    m_standIn = std::make_unique<BrimlockStandIn>();
    m_standIn->setScenario(j("{'agents': {'names': ['coder']}}"));
    BrimlockStandIn::installInToolHome();
}

void tst_SystemHealthViewModel::cleanup()
{
    m_standIn.reset();
    m_home.reset();
}

void tst_SystemHealthViewModel::runChecks_data()
{
    QTest::addColumn<bool>("sync");
    QTest::newRow("for the page: stored as the snapshot") << true;
    QTest::newRow("for the background refresh: not stored") << false;
}

void tst_SystemHealthViewModel::runChecks()
{
    QFETCH(bool, sync);
    FakeHealthAppState state;
    SystemHealthViewModel model(options());
    QSignalSpy running(&model, &SystemHealthViewModel::isRunningChanged);

    QVERIFY(AgentToolsFixture::awaitDone(model.runChecks(state, sync)));

    QCOMPARE(model.results().size(), 2);
    QVERIFY(model.isHealthy());
    QCOMPARE(model.lastRunDate(), std::optional<TimePoint>(kT0));
    QVERIFY(!model.isRunning());
    QCOMPARE(running.size(), 2);
    QCOMPARE(state.storedSnapshots.size(), sync ? 1 : 0);
    if (sync) {
        QCOMPARE(ids(state.storedSnapshots[0]), ids(model.results()));
        QCOMPARE(state.storedTimes[0], std::optional<TimePoint>(kT0));
    }
}

void tst_SystemHealthViewModel::oneBatchAtATime()
{
    m_standIn->setScenario(j("{'agents': {'plain': {'stdout': '- coder', 'sleep': 0.4}}}"));
    FakeHealthAppState state;
    SystemHealthViewModel model(options());

    QCoro::Task<> first = model.runChecks(state, true);
    QVERIFY(model.isRunning());
    QCoro::Task<> second = model.runChecks(state, true);
    QVERIFY2(second.isReady(), "a second batch returns at once");
    QVERIFY(model.isRunning());
    QVERIFY(model.results().isEmpty());

    QVERIFY(TestSupport::waitUntil([&] { return first.isReady(); }));
    QCOMPARE(m_standIn->invocations().size(), 2);
    QCOMPARE(state.storedSnapshots.size(), 1);
    const QList<QUuid> firstIds = ids(model.results());

    // The next batch is a new one, with new identities.
    m_clock.advance(5);
    QVERIFY(AgentToolsFixture::awaitDone(model.runChecks(state, false)));
    QCOMPARE(m_standIn->invocations().size(), 4);
    QCOMPARE(model.lastRunDate(), std::optional<TimePoint>(kT0.addSeconds(5)));
    for (const QUuid &id : ids(model.results()))
        QVERIFY(!firstIds.contains(id));
}

void tst_SystemHealthViewModel::applyPrefetched_data()
{
    QTest::addColumn<std::optional<double>>("ownDate"); // seconds after kT0; none: never ran
    QTest::addColumn<int>("givenCount");
    QTest::addColumn<std::optional<double>>("givenDate");
    QTest::addColumn<bool>("adopted");

    const auto none = std::optional<double>();
    QTest::newRow("fresh model takes a snapshot") << none << 3 << std::optional<double>(0) << true;
    QTest::newRow("empty results ignored even by a fresh model") << none << 0 << std::optional<double>(0) << false;
    QTest::newRow("no date ignored even by a fresh model") << none << 3 << none << false;
    QTest::newRow("older than the model's batch")
        << std::optional<double>(10) << 3 << std::optional<double>(9) << false;
    QTest::newRow("same age as the model's batch")
        << std::optional<double>(10) << 3 << std::optional<double>(10) << false;
    QTest::newRow("newer than the model's batch")
        << std::optional<double>(10) << 3 << std::optional<double>(11) << true;
}

void tst_SystemHealthViewModel::applyPrefetched()
{
    QFETCH(std::optional<double>, ownDate);
    QFETCH(int, givenCount);
    QFETCH(std::optional<double>, givenDate);
    SystemHealthViewModel model(options());
    QList<HealthCheckResult> own = batch({Status::success});
    if (ownDate)
        model.applyPrefetched(own, kT0.addSeconds(*ownDate));
    else
        own.clear();

    QList<Status> statuses(givenCount, Status::failed);
    const QList<HealthCheckResult> given = batch(statuses);
    const std::optional<TimePoint> date
        = givenDate ? std::optional<TimePoint>(kT0.addSeconds(*givenDate)) : std::nullopt;
    model.applyPrefetched(given, date);

    if (fetched<bool>("adopted")) {
        QCOMPARE(ids(model.results()), ids(given));
        QCOMPARE(model.lastRunDate(), date);
    } else {
        QCOMPARE(ids(model.results()), ids(own));
        QCOMPARE(model.lastRunDate(),
            ownDate ? std::optional<TimePoint>(kT0.addSeconds(*ownDate)) : std::optional<TimePoint>());
    }
    QVERIFY(!model.isRunning());
}

void tst_SystemHealthViewModel::summary_data()
{
    QTest::addColumn<QList<Status>>("statuses");
    QTest::addColumn<bool>("healthy");
    QTest::addColumn<QString>("text");

    QTest::newRow("all succeeded") << QList<Status> {Status::success, Status::success} << true
                                   << QStringLiteral("Overall: Healthy (11/14/23, 10:13:20 PM)");
    QTest::newRow("one failed") << QList<Status> {Status::success, Status::failed} << false
                                << QStringLiteral("Overall: Needs Attention (11/14/23, 10:13:20 PM)");
}

void tst_SystemHealthViewModel::summary()
{
    SystemHealthViewModel model(options());
    QVERIFY(!model.isHealthy());
    QVERIFY(!model.summaryText());

    model.applyPrefetched(batch(fetched<QList<Status>>("statuses")), kT0);
    QCOMPARE(model.isHealthy(), fetched<bool>("healthy"));
    QCOMPARE(model.summaryText(QLocale(QLocale::English, QLocale::UnitedStates)),
        std::optional<QString>(fetched<QString>("text")));
}

QTEST_GUILESS_MAIN(tst_SystemHealthViewModel)
#include "tst_systemhealthviewmodel.moc"
