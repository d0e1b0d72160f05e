#include "common/Json.h"
#include "common/Text.h"
#include "model/BL_Task.h"

#include <QtTest>

namespace {

BL_Task sampleTask()
{
    BL_Task task;
    task.blID = QUuid::fromString(QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f"));
    task.projectID = QUuid::fromString(QStringLiteral("11111111-2222-3333-4444-555555555555"));
    task.status = BL_TaskStatus::inProgress;
    task.inputData = R"({"title":"Fix it"})";
    task.metadata = "{}";
    task.workerState = BL_TaskWorkerState::delegatedAccepted;
    task.delegationState = BL_TaskDelegationState::spawnPending;
    task.workerSessionKey = QStringLiteral("agent:main:abc");
    task.taskHistoryData = "[]";
    task.taskConversationData = "[]";
    task.taskLastActivityDate = TimePoint::fromReferenceSeconds(721692800.125);
    task.createdAt = TimePoint::fromReferenceSeconds(721692700.5);
    task.updatedAt = TimePoint::fromReferenceSeconds(721692800.25);
    return task;
}

BL_TaskConversationTurn turnWith(const QString &content)
{
    return BL_TaskConversationTurn {QUuid::createUuid(), TimePoint::fromReferenceSeconds(1),
        BL_TaskConversationRole::worker, std::nullopt, content};
}

} // namespace

class TaskTest : public QObject
{
    Q_OBJECT

private slots:
    void rawValues_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<bool>("isStatus");
        QTest::addColumn<bool>("isWorkerState");
        QTest::addColumn<bool>("isDelegationState");
        QTest::newRow("in_progress") << "in_progress" << true << false << false;
        QTest::newRow("inProgress case name") << "inProgress" << false << false << false;
        QTest::newRow("In_Progress") << "In_Progress" << false << false << false;
        QTest::newRow("blank for underscore") << "in progress" << false << false << false;
        QTest::newRow("delegated/accepted") << "delegated/accepted" << false << true << false;
        QTest::newRow("delegatedAccepted case name") << "delegatedAccepted" << false << false << false;
        QTest::newRow("spawn_pending") << "spawn_pending" << false << false << true;
        QTest::newRow("actively_working") << "actively_working" << false << false << true;
        QTest::newRow("activelyWorking") << "activelyWorking" << false << false << false;
        QTest::newRow("completed is both") << "completed" << true << false << true;
    }
    void rawValues()
    {
        QFETCH(QString, raw);
        QFETCH(bool, isStatus);
        QFETCH(bool, isWorkerState);
        QFETCH(bool, isDelegationState);
        const auto status = taskStatusFromRaw(raw);
        const auto workerState = taskWorkerStateFromRaw(raw);
        const auto delegationState = taskDelegationStateFromRaw(raw);
        QCOMPARE(status.has_value(), isStatus);
        QCOMPARE(workerState.has_value(), isWorkerState);
        QCOMPARE(delegationState.has_value(), isDelegationState);
        if (status)
            QCOMPARE(rawValue(*status), raw);
        if (workerState)
            QCOMPARE(rawValue(*workerState), raw);
        if (delegationState)
            QCOMPARE(rawValue(*delegationState), raw);
    }

    void caseListsInColumnOrder()
    {
        QStringList raws;
        for (auto status : allTaskStatuses())
            raws << rawValue(status);
        QCOMPARE(raws, (QStringList {"backlog", "queued", "in_progress", "completed", "failed"}));
        QCOMPARE(allTaskWorkerStates().size(), 6);
        QCOMPARE(allTaskDelegationStates().size(), 7);
    }

    void jsonRoundTrip()
    {
        BL_Task task = sampleTask();
        task.outputData = QByteArray("{\"ok\":true}");
        task.extraMetadata = QByteArray("{\"x\":1}");
        const QJsonObject json = task.toJson();
        QCOMPARE(json.value("blID").toString(), QStringLiteral("E621E1F8-C36C-495A-93FC-0C247A3E6E5F"));
        QCOMPARE(json.value("status").toString(), QStringLiteral("in_progress"));
        QCOMPARE(json.value("inputData").toString(), QString::fromLatin1(task.inputData.toBase64()));
        QCOMPARE(json.value("createdAt").toDouble(), 721692700.5);
        const auto back = BL_Task::fromJson(Json::parseObject(Json::write(json)).value());
        QVERIFY2(back.ok(), qPrintable(back.errorMessage()));
        QCOMPARE(*back, task);
        QCOMPARE(qHash(*back), qHash(task));
    }

    void absentOptionalsAreLeftOut()
    {
        BL_Task task = sampleTask();
        task.workerSessionKey.reset();
        const QJsonObject json = task.toJson();
        for (const char *key : {"outputData", "extraMetadata", "workerSessionKey"})
            QVERIFY2(!json.contains(QLatin1String(key)), key);
        QCOMPARE(json.size(), 12);
    }

    void strictDecoding_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QJsonValue>("value"); // Undefined: remove the key
        QTest::addColumn<bool>("decodes");
        const QJsonValue removed(QJsonValue::Undefined);
        QTest::newRow("no session key") << "workerSessionKey" << removed << true;
        QTest::newRow("null session key") << "workerSessionKey" << QJsonValue(QJsonValue::Null) << true;
        QTest::newRow("no history") << "taskHistoryData" << removed << false;
        QTest::newRow("status in other case") << "status" << QJsonValue("Queued") << false;
        QTest::newRow("lower-case uuid") << "blID" << QJsonValue("e621e1f8-c36c-495a-93fc-0c247a3e6e5f") << true;
        QTest::newRow("braced uuid") << "blID" << QJsonValue("{e621e1f8-c36c-495a-93fc-0c247a3e6e5f}") << false;
        QTest::newRow("date as text") << "createdAt" << QJsonValue("2024-01-01T00:00:00Z") << false;
        QTest::newRow("date 1e300") << "createdAt" << QJsonValue(1e300) << false;
        QTest::newRow("bytes not base64") << "metadata" << QJsonValue("%%%") << false;
        QTest::newRow("session key wrong type") << "workerSessionKey" << QJsonValue(5) << false;
        QTest::newRow("unknown key ignored") << "somethingElse" << QJsonValue(1) << true;
    }
    void strictDecoding()
    {
        QFETCH(QString, key);
        QFETCH(QJsonValue, value);
        QFETCH(bool, decodes);
        QJsonObject json = sampleTask().toJson();
        if (value.isUndefined())
            json.remove(key);
        else
            json.insert(key, value);
        const auto task = BL_Task::fromJson(json);
        QCOMPARE(task.ok(), decodes);
        if (!decodes)
            QVERIFY(!task.errorMessage().isEmpty());
    }

    void equalityCoversEveryField()
    {
        const BL_Task a = sampleTask();
        BL_Task b = a;
        QCOMPARE(a, b);
        b.taskLastActivityDate = b.taskLastActivityDate.addSeconds(1);
        QVERIFY(!(a == b));
        QVERIFY(qHash(a) != qHash(b));
    }

    void sanitizing_data()
    {
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("expected");
        const QString exact(4000, u'a');
        const QString thumb = QString::fromUtf8("\U0001F44D\U0001F3FD");
        QString emoji;
        for (int i = 0; i < 4001; ++i)
            emoji += thumb;
        QString emojiCut;
        for (int i = 0; i < 4000; ++i)
            emojiCut += thumb;
        QTest::newRow("exactly 4000") << exact << exact;
        QTest::newRow("4001 cut") << (exact + "b") << (exact + "\n...[truncated]");
        QTest::newRow("trimmed first") << ("  \n" + exact + " \n") << exact;
        QTest::newRow("only white space") << " \n\t "
                                          << "";
        QTest::newRow("emoji never split") << emoji << (emojiCut + "\n...[truncated]");
    }
    void sanitizing()
    {
        QFETCH(QString, content);
        QFETCH(QString, expected);
        const auto turn = turnWith(content);
        const auto clean = BL_Task::sanitizeConversationTurn(turn);
        QCOMPARE(clean.content, expected);
        QCOMPARE(clean.id, turn.id);
        if (expected.endsWith(QStringLiteral("[truncated]")))
            QCOMPARE(Text::graphemeCount(clean.content), 4015);
    }

    void conversationKeepsNewest300()
    {
        BL_Task task = sampleTask();
        for (int i = 0; i < 301; ++i)
            task.appendConversationTurn(turnWith(QString::number(i)));
        const auto turns = task.decodedConversation();
        QVERIFY(turns);
        QCOMPARE(turns->size(), 300);
        QCOMPARE(turns->first().content, QStringLiteral("1"));
        QCOMPARE(turns->last().content, QStringLiteral("300"));
    }

    void undecodableConversationStartsOver_data()
    {
        QTest::addColumn<QByteArray>("blob");
        QTest::newRow("not JSON") << QByteArray("garbage");
        QTest::newRow("object") << QByteArray("{}");
        QTest::newRow("foreign entries") << QByteArray(R"([{"role":"worker","text":"x"}])");
    }
    void undecodableConversationStartsOver()
    {
        QFETCH(QByteArray, blob);
        BL_Task task = sampleTask();
        task.taskConversationData = blob;
        task.appendConversationTurn(turnWith(QStringLiteral("hello")));
        const auto turns = task.decodedConversation();
        QVERIFY(turns);
        QCOMPARE(turns->size(), 1);
        QCOMPARE(turns->first().content, QStringLiteral("hello"));
    }

    void entriesRoundTrip()
    {
        BL_TaskHistoryEvent event {QUuid::createUuid(), BL_EventType::taskActivelyUnderwayByWorker,
            TimePoint::fromReferenceSeconds(3.5), QUuid::createUuid(), QStringLiteral("d/x")};
        const QByteArray history = encodeHistory({event});
        QVERIFY(history.contains("\"type\":\"taskActivelyUnderwayByWorker\""));
        QVERIFY(history.contains("d\\/x"));
        BL_Task task = sampleTask();
        task.taskHistoryData = history;
        QCOMPARE(task.decodedHistory().value(), QList<BL_TaskHistoryEvent> {event});
    }
};

QTEST_GUILESS_MAIN(TaskTest)
#include "tst_task.moc"
