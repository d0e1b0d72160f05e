#include "TestSupport.h"
#include "model/BLEventBus.h"

#include <QtTest>

namespace {
const QUuid kProject = QUuid::fromString(QStringLiteral("11111111-2222-3333-4444-555555555555"));
const QUuid kTask = QUuid::fromString(QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
} // namespace

class EventBusTest : public QObject
{
    Q_OBJECT

private slots:
    void eventTypeRawValues_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<bool>("valid");
        QTest::newRow("exact") << "taskActivelyUnderwayByWorker" << true;
        QTest::newRow("other case") << "TaskActivelyUnderwayByWorker" << false;
        QTest::newRow("underscores") << "task_actively_underway_by_worker" << false;
        QTest::newRow("empty") << "" << false;
    }
    void eventTypeRawValues()
    {
        QFETCH(QString, raw);
        QFETCH(bool, valid);
        const auto type = eventTypeFromRaw(raw);
        QCOMPARE(type.has_value(), valid);
        if (type)
            QCOMPARE(rawValue(*type), raw);
        QCOMPARE(allEventTypes().size(), 13);
    }

    void payloadDecoding()
    {
        const auto plain = BL_Event::make(BL_EventType::taskCreated, kProject, kTask);
        QVERIFY(!plain.payload);
        QVERIFY(!plain.decodePayload<BL_TaskEventPayload>());
        QVERIFY(!plain.decodePayload<BL_TaskMovedPayload>());

        const auto moved = BL_Event::make(BL_EventType::taskMoved, kProject, kTask,
            BL_TaskMovedPayload {BL_TaskStatus::queued, BL_TaskStatus::inProgress});
        QCOMPARE(*moved.payload, QByteArray(R"({"fromStatus":"queued","toStatus":"in_progress"})"));
        const auto asGeneral = moved.decodePayload<BL_TaskEventPayload>();
        QVERIFY(asGeneral);
        QVERIFY(!asGeneral->agentID && !asGeneral->detail && !asGeneral->stdoutChunk && !asGeneral->stdoutReset);

        BL_TaskEventPayload general;
        general.detail = QStringLiteral("progress");
        const auto modified = BL_Event::make(BL_EventType::taskModified, kProject, kTask, general);
        QVERIFY(!modified.decodePayload<BL_TaskMovedPayload>());

        const QUuid agent = QUuid::createUuid();
        const auto result = BL_Event::make(BL_EventType::workerTaskCompleted, kProject, kTask,
            BL_WorkerResultPayload {agent, QByteArray("out"), QStringLiteral("done")});
        const auto picked = result.decodePayload<BL_TaskEventPayload>();
        QVERIFY(picked);
        QCOMPARE(picked->agentID, std::optional<QUuid>(agent));
        QVERIFY(!picked->detail);
        QCOMPARE(result.decodePayload<BL_WorkerResultPayload>()->outputData, std::optional<QByteArray>("out"));
    }

    void payloadRoundTrips()
    {
        BL_TaskEventPayload payload;
        payload.conversationTurn = BL_TaskConversationTurn {QUuid::createUuid(), TimePoint::fromReferenceSeconds(2.25),
            BL_TaskConversationRole::tool, std::nullopt, "ran"};
        payload.workerSessionKey = QStringLiteral("agent:x:1");
        payload.stdoutReset = true;
        const auto event = BL_Event::make(BL_EventType::taskModified, kProject, kTask, payload);
        const auto back = event.decodePayload<BL_TaskEventPayload>();
        QVERIFY(back);
        QCOMPARE(back->conversationTurn, payload.conversationTurn);
        QCOMPARE(back->workerSessionKey, payload.workerSessionKey);
        QCOMPARE(back->stdoutReset, std::optional<bool>(true));

        BL_DelegationRequestPayload request {
            QUuid::createUuid(), QStringLiteral("auto"), QByteArray("{}"), QStringLiteral("/tmp/p")};
        const auto requested = BL_Event::make(BL_EventType::delegationRequested, kProject, kTask, request);
        const auto decoded = requested.decodePayload<BL_DelegationRequestPayload>();
        QVERIFY(decoded);
        QCOMPARE(decoded->managerID, request.managerID);
        QCOMPARE(decoded->taskInputData, request.taskInputData);
        QCOMPARE(decoded->projectRootPath, request.projectRootPath);
        QVERIFY(!requested.decodePayload<BL_DelegationPayload>());

        const auto eventBack = BL_Event::fromJson(requested.toJson());
        QVERIFY(eventBack);
        QCOMPARE(eventBack->payload, requested.payload);
        QCOMPARE(eventBack->timestamp, requested.timestamp);
    }

    void nestedPublicationReachesEverySubscriberFirst()
    {
        BLEventBus bus;
        QStringList log;
        const auto eventA = BL_Event::make(BL_EventType::workerTaskCompleted, kProject, kTask);
        const auto eventB = BL_Event::make(BL_EventType::taskMoved, kProject, kTask);
        auto label = [&](const BL_Event &e) { return e.id == eventA.id ? QStringLiteral("A") : QStringLiteral("B"); };
        std::vector<BLEventSubscription> tokens;
        tokens.push_back(bus.subscribe([&](const BL_Event &e) { log << label(e) + "@s1"; }));
        tokens.push_back(bus.subscribe([&](const BL_Event &e) {
            log << label(e) + "@s2";
            if (e.id == eventA.id)
                bus.send(eventB);
        }));
        tokens.push_back(bus.subscribe([&](const BL_Event &e) { log << label(e) + "@s3"; }));
        // Published by the first subscriber instead: same rule.
        bus.send(eventA);
        QCOMPARE(log, (QStringList {"A@s1", "A@s2", "B@s1", "B@s2", "B@s3", "A@s3"}));

        log.clear();
        tokens.clear();
        tokens.push_back(bus.subscribe([&](const BL_Event &e) {
            log << label(e) + "@s1";
            if (e.id == eventA.id)
                bus.send(eventB);
        }));
        tokens.push_back(bus.subscribe([&](const BL_Event &e) { log << label(e) + "@s2"; }));
        tokens.push_back(bus.subscribe([&](const BL_Event &e) { log << label(e) + "@s3"; }));
        bus.send(eventA);
        QCOMPARE(log, (QStringList {"A@s1", "B@s1", "B@s2", "B@s3", "A@s2", "A@s3"}));
    }

    void mainLoopDeliveryComesAfterTheSend()
    {
        BLEventBus bus;
        QStringList log;
        auto later = bus.subscribeOnMainLoop([&](const BL_Event &e) { log << "later:" + rawValue(e.type); });
        auto now = bus.subscribe([&](const BL_Event &e) { log << "now:" + rawValue(e.type); });
        bus.send(BL_Event::make(BL_EventType::taskCreated, kProject, kTask));
        log << "returned";
        QCOMPARE(log, (QStringList {"now:taskCreated", "returned"}));
        QVERIFY(TestSupport::waitUntil([&] { return log.size() == 3; }));
        QCOMPARE(log.last(), QStringLiteral("later:taskCreated"));
    }

    void noReplayAndDroppedTokensEndSubscriptions()
    {
        BLEventBus bus;
        int early = 0, late = 0, queued = 0;
        bus.send(BL_Event::make(BL_EventType::taskCreated, kProject, kTask));
        auto first = bus.subscribe([&](const BL_Event &) { ++early; });
        auto queuedToken = bus.subscribeOnMainLoop([&](const BL_Event &) { ++queued; });
        {
            auto second = bus.subscribe([&](const BL_Event &) { ++late; });
            bus.send(BL_Event::make(BL_EventType::taskModified, kProject, kTask));
        }
        bus.send(BL_Event::make(BL_EventType::taskModified, kProject, kTask));
        QCOMPARE(early, 2);
        QCOMPARE(late, 1);
        queuedToken.cancel(); // both queued deliveries are dropped with the token
        TestSupport::drainMainThread();
        QCOMPARE(queued, 0);
        QCOMPARE(&BLEventBus::shared(), &BLEventBus::shared());
    }
};

QTEST_GUILESS_MAIN(EventBusTest)
#include "tst_eventbus.moc"
