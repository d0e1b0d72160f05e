#include "AgentToolsFixture.h"
#include "agenttools/ModelsSidebarViewModel.h"

#include <QSignalSpy>
#include <QtTest>

using namespace std::chrono_literals;
using AgentToolsFixture::awaitDone;
using AgentToolsFixture::CodexBarStandIn;
using AgentToolsFixture::FakeModelUsageAppState;
using AgentToolsFixture::fetched;
using AgentToolsFixture::j;

namespace {

const TimePoint kT0 = TimePoint::fromUnixSeconds(1700000000);

ModelUsageSnapshot snapshot(const QString &provider, double used)
{
    ModelUsageSnapshot result;
    result.checkedAt = kT0;
    result.provider = provider;
    result.currentSessionUsedPercent = used;
    result.currentSessionRemainingPercent = 100 - used;
    return result;
}

using Usage = std::optional<QList<ModelUsageSnapshot>>;
using Message = std::optional<QString>;
using Date = std::optional<double>; // seconds after kT0

std::optional<TimePoint> at(Date date)
{
    return date ? std::optional<TimePoint>(kT0.addSeconds(*date)) : std::nullopt;
}

} // namespace

class tst_ModelsSidebarViewModel : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void refreshThroughCodexBar_data();
    void refreshThroughCodexBar();
    void refreshFromMainNode_data();
    void refreshFromMainNode();
    void errorReplacesEarlierUsage();
    void oneReadAtATime();
    void applyPrefetched_data();
    void applyPrefetched();

private:
    std::unique_ptr<TestSupport::TemporaryHome> m_home;
    std::unique_ptr<CodexBarStandIn> m_standIn;
    TestSupport::PinnedClock m_clock {kT0};

    CodexBarUsageOptions options()
    {
        CodexBarUsageOptions result;
        result.host = AgentToolsFixture::sandboxHost();
        result.timeout = 5s;
        result.clock = &m_clock;
        return result;
    }
};

void tst_ModelsSidebarViewModel::init()
{
    m_home = std::make_unique<TestSupport::TemporaryHome>();
    m_standIn = std::make_unique<CodexBarStandIn>();
    CodexBarStandIn::installInToolHome();
}

void tst_ModelsSidebarViewModel::cleanup()
{
    m_standIn.reset();
    m_home.reset();
}

void tst_ModelsSidebarViewModel::refreshThroughCodexBar_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("usageCount");
    QTest::addColumn<Message>("message");

    QTest::newRow("usage") << j("{'stdout_json': [{'usage': {'primary': {'usedPercent': 10}}}, {'provider': 'b', "
                                "'usage': {'primary': {'usedPercent': 20}}}]}")
                           << 2 << Message();
    QTest::newRow("failure") << j("{'exit': 3}") << 0 << Message(QStringLiteral("codexbar command failed."));
}

void tst_ModelsSidebarViewModel::refreshThroughCodexBar()
{
    m_standIn->setReply(fetched<QByteArray>("reply"));
    QFETCH(int, usageCount);
    FakeModelUsageAppState state;
    ModelsSidebarViewModel model(options());
    QSignalSpy running(&model, &ModelsSidebarViewModel::isRunningChanged);

    QVERIFY(awaitDone(model.refresh(state)));
    QCOMPARE(model.lastCheckedAt(), std::optional<TimePoint>(kT0));
    QCOMPARE(model.usage().has_value(), usageCount > 0);
    if (usageCount)
        QCOMPARE(model.usage()->size(), usageCount);
    QCOMPARE(model.errorMessage(), fetched<Message>("message"));
    QVERIFY(!model.isRunning());
    QCOMPARE(running.size(), 2);
    QCOMPARE(m_standIn->invocations().size(), 1);
    QCOMPARE(state.mainNodeRequests, 0);
}

void tst_ModelsSidebarViewModel::refreshFromMainNode_data()
{
    QTest::addColumn<Usage>("snapshots");
    QTest::addColumn<Message>("message");
    QTest::addColumn<Usage>("usage");
    QTest::addColumn<Message>("shown");

    const Usage one = QList<ModelUsageSnapshot> {snapshot(QStringLiteral("codex"), 40)};
    const Message unreadable = QStringLiteral("Unable to read codex usage.");
    QTest::newRow("usage") << one << Message() << one << Message();
    QTest::newRow("the main node's message")
        << Usage() << Message(QStringLiteral("Main-node request failed: connection refused")) << Usage()
        << Message(QStringLiteral("Main-node request failed: connection refused"));
    QTest::newRow("neither") << Usage() << Message() << Usage() << unreadable;
    QTest::newRow("an empty list") << Usage(QList<ModelUsageSnapshot> {}) << Message() << Usage() << unreadable;
}

void tst_ModelsSidebarViewModel::refreshFromMainNode()
{
    FakeModelUsageAppState state;
    state.clientNodeMode = true;
    state.mainNodeAnswer
        = ModelUsageAPIResponse {kT0.addSeconds(-30), fetched<Usage>("snapshots"), fetched<Message>("message")};
    ModelsSidebarViewModel model(options());

    QVERIFY(awaitDone(model.refresh(state)));
    QCOMPARE(state.mainNodeRequests, 1);
    QVERIFY(m_standIn->invocations().isEmpty());
    QCOMPARE(model.lastCheckedAt(), std::optional<TimePoint>(kT0.addSeconds(-30)));
    QVERIFY(model.usage() == fetched<Usage>("usage"));
    QCOMPARE(model.errorMessage(), fetched<Message>("shown"));
}

void tst_ModelsSidebarViewModel::errorReplacesEarlierUsage()
{
    FakeModelUsageAppState state;
    ModelsSidebarViewModel model(options());
    QVERIFY(awaitDone(model.refresh(state)));
    QVERIFY(model.usage());

    m_standIn->setReply(j("{'stdout': '{}'}"));
    m_clock.advance(60);
    QVERIFY(awaitDone(model.refresh(state)));
    QVERIFY(!model.usage());
    QCOMPARE(model.errorMessage(), Message(QStringLiteral("{}")));
    QCOMPARE(model.lastCheckedAt(), std::optional<TimePoint>(kT0.addSeconds(60)));
}

void tst_ModelsSidebarViewModel::oneReadAtATime()
{
    m_standIn->setReply(j("{'sleep': 0.4, 'stdout_json': {'usage': {'currentSession': {'usedPercent': 5}}}}"));
    FakeModelUsageAppState state;
    ModelsSidebarViewModel model(options());

    QCoro::Task<> first = model.refresh(state);
    QVERIFY(model.isRunning());
    QCoro::Task<> second = model.refresh(state);
    QVERIFY2(second.isReady(), "a second read returns at once");
    QVERIFY(!model.usage() && !model.errorMessage());

    QVERIFY(TestSupport::waitUntil([&] { return first.isReady(); }));
    QVERIFY(!model.isRunning());
    QCOMPARE(model.usage()->size(), 1);
    QCOMPARE(m_standIn->invocations().size(), 1);
}

void tst_ModelsSidebarViewModel::applyPrefetched_data()
{
    QTest::addColumn<bool>("ownUsage"); // the model holds usage read at +10 s
    QTest::addColumn<Usage>("usage");
    QTest::addColumn<Message>("message");
    QTest::addColumn<Date>("date");
    QTest::addColumn<bool>("taken");

    const Usage prefetched = QList<ModelUsageSnapshot> {snapshot(QStringLiteral("prefetched"), 1)};
    const Message failed = QStringLiteral("codexbar command failed.");
    QTest::newRow("fresh model takes usage") << false << prefetched << Message() << Date(0) << true;
    QTest::newRow("fresh model takes an error") << false << Usage() << failed << Date(0) << true;
    QTest::newRow("no date changes nothing") << false << prefetched << Message() << Date() << false;
    QTest::newRow("older than the model's") << true << prefetched << Message() << Date(9) << false;
    QTest::newRow("as old as the model's") << true << Usage() << failed << Date(10) << false;
    QTest::newRow("newer than the model's") << true << Usage() << failed << Date(11) << true;
}

void tst_ModelsSidebarViewModel::applyPrefetched()
{
    QFETCH(Usage, usage);
    QFETCH(Message, message);
    QFETCH(Date, date);
    ModelsSidebarViewModel model(options());
    const Usage own = QList<ModelUsageSnapshot> {snapshot(QStringLiteral("own"), 50)};
    if (fetched<bool>("ownUsage"))
        model.applyPrefetched(own, Message(), at(10));

    model.applyPrefetched(usage, message, at(date));
    if (fetched<bool>("taken")) {
        QVERIFY(model.usage() == usage);
        QCOMPARE(model.errorMessage(), message);
        QCOMPARE(model.lastCheckedAt(), at(date));
    } else if (fetched<bool>("ownUsage")) {
        QVERIFY(model.usage() == own);
        QCOMPARE(model.lastCheckedAt(), at(10));
    } else {
        QVERIFY(!model.usage() && !model.errorMessage() && !model.lastCheckedAt());
    }
    QVERIFY(!model.isRunning());
}

QTEST_GUILESS_MAIN(tst_ModelsSidebarViewModel)
#include "tst_modelssidebarviewmodel.moc"
