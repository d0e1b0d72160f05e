#include "TestSupport.h"
#include "common/Json.h"
#include "common/UuidText.h"
#include "model/BL_Task.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QtTest>

namespace {

const QString kTaskText = QStringLiteral("e621e1f8-c36c-495a-93fc-0c247a3e6e5f");
const QString kOtherTaskText = QStringLiteral("0a0b0c0d-1111-2222-3333-444455556666");
const QString kProjectText = QStringLiteral("11111111-2222-3333-4444-555555555555");
const QString kFallbackText = QStringLiteral("99999999-8888-7777-6666-555555555555");
const TimePoint kNow = TimePoint::fromUnixSeconds(1700000000);

const QByteArray kMinimal = R"({"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f",)"
                            R"("project_id":"11111111-2222-3333-4444-555555555555",)"
                            R"("status":"queued","input_data":{"title":"Fix it"}})";

// The minimal valid object with `members` added (later keys win).
QByteArray with(const QByteArray &members)
{
    QByteArray json = kMinimal;
    json.chop(1);
    return json + "," + members + "}";
}

QString optionalText(const std::optional<QByteArray> &bytes)
{
    return bytes ? QString::fromUtf8(*bytes) : QStringLiteral("<absent>");
}

QString fieldText(const BL_Task &task, const QString &field)
{
    if (field == u"blID")
        return UuidText::lower(task.blID);
    if (field == u"projectID")
        return UuidText::lower(task.projectID);
    if (field == u"status")
        return rawValue(task.status);
    if (field == u"inputData")
        return QString::fromUtf8(task.inputData);
    if (field == u"outputData")
        return optionalText(task.outputData);
    if (field == u"metadata")
        return QString::fromUtf8(task.metadata);
    if (field == u"extraMetadata")
        return optionalText(task.extraMetadata);
    if (field == u"workerState")
        return rawValue(task.workerState);
    if (field == u"delegationState")
        return rawValue(task.delegationState);
    if (field == u"workerSessionKey")
        return task.workerSessionKey.value_or(QStringLiteral("<absent>"));
    if (field == u"taskHistoryData")
        return QString::fromUtf8(task.taskHistoryData);
    if (field == u"taskConversationData")
        return QString::fromUtf8(task.taskConversationData);
    auto unix = [](const TimePoint &time) { return QString::number(time.unixSeconds(), 'f', 3); };
    if (field == u"createdAt")
        return unix(task.createdAt);
    if (field == u"updatedAt")
        return unix(task.updatedAt);
    if (field == u"taskLastActivityDate")
        return unix(task.taskLastActivityDate);
    return QStringLiteral("<unknown field %1>").arg(field);
}

std::optional<QUuid> fallbackFrom(const QString &text)
{
    return text.isEmpty() ? std::nullopt : UuidText::parse(text);
}

QString ingestionDomain()
{
    return QString::fromLatin1(BL_Task::kIngestionErrorDomain);
}

QString parserDomain()
{
    return QString::fromLatin1(BL_Task::kJsonParseErrorDomain);
}

int code(BL_Task::IngestionError kind)
{
    return int(kind);
}

} // namespace

class TaskIngestionTest : public QObject
{
    Q_OBJECT

private slots:
    void readsFields_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("fallback");
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("expected");

        const QString none;
        QTest::newRow("id used when bl_id is a number") << with(R"("bl_id":42)") << none << "blID" << kTaskText;
        QTest::newRow("bl_id wins over id")
            << with(R"("bl_id":"0A0B0C0D-1111-2222-3333-444455556666")") << none << "blID" << kOtherTaskText;
        QTest::newRow("project_id read") << kMinimal << kFallbackText << "projectID" << kProjectText;
        QTest::newRow("project_id not a UUID takes the fallback")
            << with(R"("project_id":"nope")") << kFallbackText << "projectID" << kFallbackText;
        QTest::newRow("project_id a number takes the fallback")
            << with(R"("project_id":7)") << kFallbackText << "projectID" << kFallbackText;
        QTest::newRow("in_progress") << with(R"("status":"in_progress")") << none << "status"
                                     << "in_progress";

        QTest::newRow("input object compact and sorted")
            << with(R"("input_data":{ "title" : "T", "a/b" : [1, 2.5, {"z":1,"y":null}] })") << none << "inputData"
            << "{\"a\\/b\":[1,2.5,{\"y\":null,\"z\":1}],\"title\":\"T\"}";
        QTest::newRow("input string kept as a literal")
            << with("\"input_data\":\"do \\\"it\\\"\"") << none << "inputData"
            << "\"do \\\"it\\\"\"";
        QTest::newRow("input null") << with(R"("input_data":null)") << none << "inputData"
                                    << "null";
        QTest::newRow("input number") << with(R"("input_data":12)") << none << "inputData"
                                      << "12";
        QTest::newRow("input false") << with(R"("input_data":false)") << none << "inputData"
                                     << "false";

        QTest::newRow("no output") << kMinimal << none << "outputData"
                                   << "<absent>";
        QTest::newRow("output null is the text null") << with(R"("output_data":null)") << none << "outputData"
                                                      << "null";
        QTest::newRow("output object") << with(R"("output_data":{"b":1,"a":"x"})") << none << "outputData"
                                       << R"({"a":"x","b":1})";

        QTest::newRow("no metadata") << kMinimal << none << "metadata"
                                     << "{}";
        QTest::newRow("metadata kept as given") << with(R"("metadata":[1])") << none << "metadata"
                                                << "[1]";

        QTest::newRow("worker state default") << kMinimal << none << "workerState"
                                              << "notDelegated";
        QTest::newRow("worker state read") << with(R"("worker_state":"delegated/accepted")") << none << "workerState"
                                           << "delegated/accepted";
        QTest::newRow("worker state unknown") << with(R"("worker_state":"DelegatedAccepted")") << none << "workerState"
                                              << "notDelegated";
        QTest::newRow("worker state not text") << with(R"("worker_state":3)") << none << "workerState"
                                               << "notDelegated";
        QTest::newRow("delegation state read")
            << with(R"("delegation_state":"spawn_pending")") << none << "delegationState"
            << "spawn_pending";
        QTest::newRow("delegation state unknown")
            << with(R"("delegation_state":"spawnPending")") << none << "delegationState"
            << "unallocated";
        QTest::newRow("session key") << with(R"("worker_session_key":"agent:main:1")") << none << "workerSessionKey"
                                     << "agent:main:1";
        QTest::newRow("session key not text") << with(R"("worker_session_key":1)") << none << "workerSessionKey"
                                              << "<absent>";

        QTest::newRow("no history") << kMinimal << none << "taskHistoryData"
                                    << "[]";
        QTest::newRow("history stored as it came")
            << with(R"("task_history":[{"whatever":true}])") << none << "taskHistoryData"
            << R"([{"whatever":true}])";
        QTest::newRow("no conversation") << kMinimal << none << "taskConversationData"
                                         << "[]";
        QTest::newRow("conversation not an array")
            << with(R"("task_conversation":"hi")") << none << "taskConversationData"
            << R"("hi")";

        QTest::newRow("only known keys: no extra metadata")
            << with(R"("bl_id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","output_data":1,"metadata":{},)"
                    R"("worker_state":"x","delegation_state":"x","worker_session_key":"k","task_history":[],)"
                    R"("task_conversation":[],"task_last_activity_date":1,"created_at":1,"updated_at":1)")
            << none << "extraMetadata"
            << "<absent>";
        QTest::newRow("extra keys in one sorted object")
            << with(R"("zeta":{"b":2,"a":1},"alpha":"x/y","Title":null)") << none << "extraMetadata"
            << "{\"Title\":null,\"alpha\":\"x\\/y\",\"zeta\":{\"a\":1,\"b\":2}}";

        // Dates and their fallbacks.
        QTest::newRow("created_at seconds") << with(R"("created_at":1600000000)") << none << "createdAt"
                                            << "1600000000.000";
        QTest::newRow("created_at milliseconds") << with(R"("created_at":1600000000000)") << none << "createdAt"
                                                 << "1600000000.000";
        QTest::newRow("created_at ISO with fraction")
            << with(R"("created_at":"2020-09-13T12:26:40.250Z")") << none << "createdAt"
            << "1600000000.250";
        QTest::newRow("created_at ISO without fraction")
            << with(R"("created_at":"2020-09-13T14:26:40+02:00")") << none << "createdAt"
            << "1600000000.000";
        QTest::newRow("created_at with a blank for T is now")
            << with(R"("created_at":"2020-09-13 12:26:40Z")") << none << "createdAt"
            << "1700000000.000";
        QTest::newRow("created_at absent is now") << kMinimal << none << "createdAt"
                                                  << "1700000000.000";
        QTest::newRow("updated_at takes createdAt") << with(R"("created_at":1600000000)") << none << "updatedAt"
                                                    << "1600000000.000";
        QTest::newRow("activity takes createdAt through updatedAt")
            << with(R"("created_at":1600000000)") << none << "taskLastActivityDate"
            << "1600000000.000";
        QTest::newRow("activity takes updatedAt")
            << with(R"("created_at":1600000000,"updated_at":"2020-09-13T12:26:50Z")") << none << "taskLastActivityDate"
            << "1600000010.000";
        QTest::newRow("unparseable updated_at takes createdAt")
            << with(R"("created_at":1600000000,"updated_at":"yesterday")") << none << "updatedAt"
            << "1600000000.000";
        QTest::newRow("activity read") << with(R"("task_last_activity_date":1600000020)") << none
                                       << "taskLastActivityDate"
                                       << "1600000020.000";
    }
    void readsFields()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, fallback);
        QFETCH(QString, field);
        QFETCH(QString, expected);
        const TestSupport::PinnedClock clock(kNow);
        const auto task = BL_Task::fromBrimlockTaskJSON(json, fallbackFrom(fallback), clock);
        QVERIFY2(task.ok(), qPrintable(task.errorMessage()));
        QCOMPARE(fieldText(*task, field), expected);
    }

    void wholeTask()
    {
        const QByteArray json
            = R"({"bl_id":"E621E1F8-C36C-495A-93FC-0C247A3E6E5F","project_id":"11111111-2222-3333-4444-555555555555",)"
              R"("status":"completed","input_data":{"title":"Fix it"},"output_data":{"ok":true},)"
              R"("metadata":{"tag":"build"},"worker_state":"workerCompleted","delegation_state":"completed",)"
              R"("worker_session_key":"agent:main:x","task_history":[],"task_conversation":[],)"
              R"("created_at":1600000000,"updated_at":1600000001.5,"task_last_activity_date":1600000002,)"
              R"("owner":"ann"})";
        const auto task = BL_Task::fromBrimlockTaskJSON(json, std::nullopt);
        QVERIFY2(task.ok(), qPrintable(task.errorMessage()));
        BL_Task expected;
        expected.blID = *UuidText::parse(kTaskText);
        expected.projectID = *UuidText::parse(kProjectText);
        expected.status = BL_TaskStatus::completed;
        expected.inputData = R"({"title":"Fix it"})";
        expected.outputData = QByteArray(R"({"ok":true})");
        expected.metadata = R"({"tag":"build"})";
        expected.extraMetadata = QByteArray(R"({"owner":"ann"})");
        expected.workerState = BL_TaskWorkerState::workerCompleted;
        expected.delegationState = BL_TaskDelegationState::completed;
        expected.workerSessionKey = QStringLiteral("agent:main:x");
        expected.taskHistoryData = "[]";
        expected.taskConversationData = "[]";
        expected.createdAt = TimePoint::fromUnixSeconds(1600000000);
        expected.updatedAt = TimePoint::fromUnixSeconds(1600000001.5);
        expected.taskLastActivityDate = TimePoint::fromUnixSeconds(1600000002);
        QVERIFY(*task == expected);
    }

    // Each row breaks several rules; the first in reading order decides.
    void rejects_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("fallback");
        QTest::addColumn<QString>("domain");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");

        const QString none;
        const int invalidField = code(BL_Task::IngestionError::invalidField);
        QTest::newRow("bare number is a parser error")
            << QByteArray("42") << none << parserDomain() << int(QJsonParseError::IllegalValue)
            << "Invalid JSON: illegal value at offset 1";
        QTest::newRow("empty text") << QByteArray() << none << parserDomain() << int(QJsonParseError::IllegalValue)
                                    << "Invalid JSON: illegal value at offset 0";
        QTest::newRow("garbage after the object")
            << QByteArray(kMinimal + " x") << none << parserDomain() << int(QJsonParseError::GarbageAtEnd)
            << QStringLiteral("Invalid JSON: garbage at the end of the document at offset %1").arg(kMinimal.size() + 1);
        QTest::newRow("array root") << QByteArray(R"([{"id":"x"}])") << none << ingestionDomain()
                                    << code(BL_Task::IngestionError::invalidJSONRoot) << "Task JSON is not an object";
        QTest::newRow("empty object") << QByteArray("{}") << kFallbackText << ingestionDomain() << invalidField
                                      << "Missing field: bl_id";
        QTest::newRow("identities not text") << QByteArray(R"({"bl_id":1,"id":null,"status":"x"})") << kFallbackText
                                             << ingestionDomain() << invalidField << "Missing field: bl_id";
        QTest::newRow("bl_id text not a UUID, id valid") << with(R"("bl_id":"task-1")") << none << ingestionDomain()
                                                         << invalidField << "Invalid bl_id value: task-1";
        QTest::newRow("braced UUID") << with(R"("id":"{e621e1f8-c36c-495a-93fc-0c247a3e6e5f}","status":"x")") << none
                                     << ingestionDomain() << invalidField
                                     << "Invalid id value: {e621e1f8-c36c-495a-93fc-0c247a3e6e5f}";
        QTest::newRow("project_id not a UUID, no fallback")
            << with(R"("project_id":"p1","status":"Queued")") << none << ingestionDomain() << invalidField
            << "Invalid project_id value: p1";
        QTest::newRow("project_id absent, no fallback")
            << QByteArray(R"({"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","status":"Queued"})") << none
            << ingestionDomain() << invalidField << "Missing field: project_id";
        QTest::newRow("status in another case")
            << with(R"("status":"Queued")").replace(R"("input_data":{"title":"Fix it"},)", "") << none
            << ingestionDomain() << invalidField << "Invalid status value: Queued";
        QTest::newRow("status case name") << with(R"("status":"inProgress")") << none << ingestionDomain()
                                          << invalidField << "Invalid status value: inProgress";
        QTest::newRow("status not text") << with(R"("status":{"a":[1]})") << none << ingestionDomain() << invalidField
                                         << R"(Invalid status value: {"a":[1]})";
        QTest::newRow("status absent") << QByteArray(
            R"({"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","project_id":"11111111-2222-3333-4444-555555555555"})")
                                       << none << ingestionDomain() << invalidField << "Missing field: status";
        QTest::newRow("input absent") << QByteArray(
            R"({"id":"e621e1f8-c36c-495a-93fc-0c247a3e6e5f","status":"backlog","created_at":"x"})")
                                      << kFallbackText << ingestionDomain()
                                      << code(BL_Task::IngestionError::missingField) << "Missing field: input_data";
    }
    void rejects()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, fallback);
        QFETCH(QString, domain);
        QFETCH(int, code);
        QFETCH(QString, message);
        const auto task = BL_Task::fromBrimlockTaskJSON(json, fallbackFrom(fallback));
        QVERIFY(!task.ok());
        QCOMPARE(task.error().message, message);
        QCOMPARE(task.error().domain, domain);
        QCOMPARE(task.error().code, code);
    }

    void parseDate_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<bool>("hasDate");
        QTest::addColumn<double>("unixSeconds");

        QTest::newRow("seconds") << QJsonValue(1700000000) << true << 1700000000.0;
        QTest::newRow("fractional seconds") << QJsonValue(1700000000.5) << true << 1700000000.5;
        QTest::newRow("1e10 is still seconds") << QJsonValue(1e10) << true << 1e10;
        QTest::newRow("above 1e10 is milliseconds") << QJsonValue(10000000001.0) << true << 10000000.001;
        QTest::newRow("milliseconds") << QJsonValue(1700000000123.0) << true << 1700000000.123;
        QTest::newRow("zero") << QJsonValue(0) << true << 0.0;
        QTest::newRow("year 1") << QJsonValue(-62135596800.0) << true << -62135596800.0;
        QTest::newRow("before year 1") << QJsonValue(-62135596801.0) << false << 0.0;
        QTest::newRow("1e300") << QJsonValue(1e300) << false << 0.0;
        QTest::newRow("-1e300") << QJsonValue(-1e300) << false << 0.0;
        QTest::newRow("largest double") << QJsonValue(std::numeric_limits<double>::max()) << false << 0.0;
        QTest::newRow("infinity") << QJsonValue(std::numeric_limits<double>::infinity()) << false << 0.0;
        QTest::newRow("NaN") << QJsonValue(std::numeric_limits<double>::quiet_NaN()) << false << 0.0;
        QTest::newRow("ISO Z") << QJsonValue(QStringLiteral("2023-11-14T22:13:20Z")) << true << 1700000000.0;
        QTest::newRow("ISO fraction") << QJsonValue(QStringLiteral("2023-11-14T22:13:20.125Z")) << true
                                      << 1700000000.125;
        QTest::newRow("ISO offset") << QJsonValue(QStringLiteral("2023-11-14T23:13:20+01:00")) << true << 1700000000.0;
        QTest::newRow("ISO fraction and offset")
            << QJsonValue(QStringLiteral("2023-11-14T17:13:20.5-05:00")) << true << 1700000000.5;
        QTest::newRow("last second of 9999")
            << QJsonValue(QStringLiteral("9999-12-31T23:59:59Z")) << true << 253402300799.0;
        QTest::newRow("offset pushes past 9999")
            << QJsonValue(QStringLiteral("9999-12-31T23:59:59-01:00")) << false << 0.0;
        QTest::newRow("year 0") << QJsonValue(QStringLiteral("0000-06-01T00:00:00Z")) << false << 0.0;
        QTest::newRow("no zone") << QJsonValue(QStringLiteral("2023-11-14T22:13:20")) << false << 0.0;
        QTest::newRow("blank for T") << QJsonValue(QStringLiteral("2023-11-14 22:13:20Z")) << false << 0.0;
        QTest::newRow("date only") << QJsonValue(QStringLiteral("2023-11-14")) << false << 0.0;
        QTest::newRow("numeric string") << QJsonValue(QStringLiteral("1700000000")) << false << 0.0;
        QTest::newRow("empty dot fraction") << QJsonValue(QStringLiteral("2023-11-14T22:13:20.Z")) << false << 0.0;
        QTest::newRow("null") << QJsonValue(QJsonValue::Null) << false << 0.0;
        QTest::newRow("boolean") << QJsonValue(true) << false << 0.0;
        QTest::newRow("object") << QJsonValue(QJsonObject {{"t", 1}}) << false << 0.0;
        QTest::newRow("array") << QJsonValue(QJsonArray {1700000000}) << false << 0.0;
    }
    void parseDate()
    {
        QFETCH(QJsonValue, value);
        QFETCH(bool, hasDate);
        QFETCH(double, unixSeconds);
        const auto date = BL_Task::parseDate(value);
        QCOMPARE(date.has_value(), hasDate);
        if (date)
            QCOMPARE(date->unixSeconds(), unixSeconds);
        QVERIFY(!BL_Task::parseDate(std::nullopt));
    }

    void encodeJSONFragment_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("string") << QJsonValue(QStringLiteral("a/\"b\"\n")) << QByteArray("\"a\\/\\\"b\\\"\\n\"");
        QTest::newRow("null") << QJsonValue(QJsonValue::Null) << QByteArray("null");
        QTest::newRow("true") << QJsonValue(true) << QByteArray("true");
        QTest::newRow("integer") << QJsonValue(qint64(9007199254740993)) << QByteArray("9007199254740993");
        QTest::newRow("nested object sorted")
            << QJsonValue(QJsonObject {{"b", QJsonArray {QJsonObject {{"d", 1}, {"c", 2}}}}, {"a", QJsonValue()}})
            << QByteArray(R"({"a":null,"b":[{"c":2,"d":1}]})");
        QTest::newRow("infinity has no spelling")
            << QJsonValue(std::numeric_limits<double>::infinity()) << QByteArray("null");
    }
    void encodeJSONFragment()
    {
        QFETCH(QJsonValue, value);
        QFETCH(QByteArray, expected);
        const auto written = BL_Task::encodeJSONFragment(value);
        QVERIFY(written.ok());
        QCOMPARE(*written, expected);

        const auto undefined = BL_Task::encodeJSONFragment(QJsonValue(QJsonValue::Undefined));
        QVERIFY(!undefined.ok());
        QCOMPARE(undefined.error().code, code(BL_Task::IngestionError::invalidField));
        QCOMPARE(undefined.error().message, QStringLiteral("Invalid json_fragment value: not JSON"));
    }

    void uploadBody_data()
    {
        QTest::addColumn<QByteArray>("inputData");
        QTest::addColumn<QByteArray>("metadata");
        QTest::addColumn<QByteArray>("outputData"); // "<absent>" for none
        QTest::addColumn<QByteArray>("expected");

        const QByteArray localMeta = R"("local_delegation_state":"spawn_pending","local_task_id":)"
                                     R"("e621e1f8-c36c-495a-93fc-0c247a3e6e5f",)"
                                     R"("local_task_updated_at":"2023-11-14T22:13:20Z",)"
                                     "\"local_worker_state\":\"delegated\\/accepted\"";
        QTest::newRow("prompt only gains a title, no output is null")
            << QByteArray(R"({"prompt":"Ship it"})") << QByteArray("{}") << QByteArray("<absent>")
            << QByteArray(R"({"input_data":{"prompt":"Ship it","title":"Ship it"},"metadata":{)" + localMeta
                   + R"(},"output_data":null,"status":"in_progress"})");
        QTest::newRow("title kept, metadata merged and local keys replaced")
            << QByteArray(R"({"title":"T","prompt":"P","acceptance_criteria":""})")
            << QByteArray(R"({"tag":"build","local_task_id":"stale","path":"src/x.cpp"})")
            << QByteArray(R"({"done":true})")
            << QByteArray(R"({"input_data":{"acceptance_criteria":"","prompt":"P","title":"T"},"metadata":{)"
                   + localMeta
                   + ",\"path\":\"src\\/"
                     "x.cpp\",\"tag\":\"build\"},\"output_data\":{\"done\":true},\"status\":\"in_progress\"}");
        QTest::newRow("empty prompt adds no title")
            << QByteArray(R"({"prompt":""})") << QByteArray("{}") << QByteArray("<absent>")
            << QByteArray(R"({"input_data":{"prompt":""},"metadata":{)" + localMeta
                   + R"(},"output_data":null,"status":"in_progress"})");
        QTest::newRow("null title is kept")
            << QByteArray(R"({"title":null,"prompt":"P"})") << QByteArray("{}") << QByteArray("<absent>")
            << QByteArray(R"({"input_data":{"prompt":"P","title":null},"metadata":{)" + localMeta
                   + R"(},"output_data":null,"status":"in_progress"})");
        QTest::newRow("non-objects become empty objects")
            << QByteArray(R"("just text")") << QByteArray("[1,2]") << QByteArray("not json")
            << QByteArray(
                   R"({"input_data":{},"metadata":{)" + localMeta + R"(},"output_data":{},"status":"in_progress"})");
        QTest::newRow("output null text is an empty object")
            << QByteArray("{}") << QByteArray("{}") << QByteArray("null")
            << QByteArray(
                   R"({"input_data":{},"metadata":{)" + localMeta + R"(},"output_data":{},"status":"in_progress"})");
    }
    void uploadBody()
    {
        QFETCH(QByteArray, inputData);
        QFETCH(QByteArray, metadata);
        QFETCH(QByteArray, outputData);
        QFETCH(QByteArray, expected);
        BL_Task task;
        task.blID = *UuidText::parse(kTaskText.toUpper());
        task.projectID = *UuidText::parse(kProjectText);
        task.status = BL_TaskStatus::inProgress;
        task.inputData = inputData;
        task.metadata = metadata;
        if (outputData != "<absent>")
            task.outputData = outputData;
        task.extraMetadata = QByteArray(R"({"owner":"x"})");
        task.workerState = BL_TaskWorkerState::delegatedAccepted;
        task.delegationState = BL_TaskDelegationState::spawnPending;
        task.workerSessionKey = QStringLiteral("agent:main:1");
        task.taskHistoryData = "[]";
        task.taskConversationData = "[]";
        task.createdAt = TimePoint::fromUnixSeconds(1600000000);
        task.updatedAt = TimePoint::fromUnixSeconds(1700000000.25); // fraction dropped
        task.taskLastActivityDate = task.updatedAt;
        QCOMPARE(Json::write(task.uploadBody()), expected);
    }

    // Hostile input ends in an error or a fallback, never a crash, and error
    // messages stay short.
    void hostileInput_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<bool>("accepted");
        QTest::addColumn<QString>("field"); // checked when accepted
        QTest::addColumn<QString>("expected");

        const QByteArray tenMegabytes(10 * 1024 * 1024, 'a');
        QTest::newRow("1e300 dates fall back")
            << with(R"("created_at":1e300,"updated_at":-1e300,"task_last_activity_date":1.7976931348623157e308)")
            << true << "taskLastActivityDate"
            << "1700000000.000";
        QTest::newRow("1e308 milliseconds fall back") << with(R"("created_at":1e308)") << true << "createdAt"
                                                      << "1700000000.000";
        QTest::newRow("year 99999 text falls back")
            << with(R"("created_at":"99999-01-01T00:00:00Z")") << true << "createdAt"
            << "1700000000.000";
        QTest::newRow("number beyond double is a parser error") << with(R"("created_at":1e400)") << false << ""
                                                                << "";
        QTest::newRow("huge counts are stored as written")
            << with(R"("input_data":{"n":9223372036854775807,"m":-9223372036854775808,"o":18446744073709551616,)"
                    R"("p":1e308,"q":-0.0,"r":0.1})")
            << true << "inputData"
            << R"({"m":-9223372036854775808,"n":9223372036854775807,"o":18446744073709552000,"p":1e+308,"q":0,"r":0.1})";
        QTest::newRow("nesting too deep for the parser")
            << with(QByteArray(R"("input_data":)") + QByteArray(5000, '[') + QByteArray(5000, ']')) << false << ""
            << "";
        QTest::newRow("deep nesting the parser accepts")
            << with(QByteArray(R"("input_data":)") + QByteArray(1000, '[') + QByteArray(1000, ']')) << true
            << "inputData" << QString(QByteArray(1000, '[') + QByteArray(1000, ']'));
        QTest::newRow("invalid UTF-8") << with("\"input_data\":\"\xC3\x28\xFF\"") << false << ""
                                       << "";
        QTest::newRow("invalid UTF-8 in a key") << with("\"\xFE\":1") << false << ""
                                                << "";
        QTest::newRow("lone surrogate escape") << with("\"input_data\":\"\\ud800\"") << true << "workerState"
                                               << "notDelegated";
        QTest::newRow("NUL escape") << with("\"input_data\":\"a\\u0000b\"") << true << "inputData"
                                    << "\"a\\u0000b\"";
        QTest::newRow("10 MB input") << with("\"input_data\":\"" + tenMegabytes + "\"") << true << "status"
                                     << "queued";
        QTest::newRow("10 MB status") << with("\"status\":\"" + tenMegabytes + "\"") << false << ""
                                      << "";
        QTest::newRow("10 MB bl_id") << with("\"bl_id\":\"" + tenMegabytes + "\"") << false << ""
                                     << "";
        QTest::newRow("10 MB project id") << with("\"project_id\":\"" + tenMegabytes + "\"") << false << ""
                                          << "";
        QTest::newRow("10 MB date") << with("\"created_at\":\"" + tenMegabytes + "\"") << true << "createdAt"
                                    << "1700000000.000";
        QTest::newRow("10 MB fraction digits")
            << with("\"created_at\":\"2020-09-13T12:26:40." + QByteArray(10 * 1024 * 1024, '1') + "Z\"") << true
            << "status"
            << "queued";
        QTest::newRow("10 MB extra key") << with("\"" + tenMegabytes + "\":1") << true << "status"
                                         << "queued";
    }
    void hostileInput()
    {
        QFETCH(QByteArray, json);
        QFETCH(bool, accepted);
        QFETCH(QString, field);
        QFETCH(QString, expected);
        const TestSupport::PinnedClock clock(kNow);
        const auto task = BL_Task::fromBrimlockTaskJSON(json, std::nullopt, clock);
        QCOMPARE(task.ok(), accepted);
        if (!accepted) {
            QVERIFY(!task.errorMessage().isEmpty());
            QVERIFY2(task.errorMessage().size() < 200, qPrintable(task.errorMessage().left(300)));
            return;
        }
        QCOMPARE(fieldText(*task, field), expected);
    }

    // Fixed-seed random input: structured objects with random values for the
    // known keys and byte-level mutations of valid texts. Whatever comes in,
    // the reader returns a task whose fields hold sound JSON and dates inside
    // the calendar, or a short error.
    void randomizedInput()
    {
        QRandomGenerator random(20240611);
        const TestSupport::PinnedClock clock(kNow);
        const QStringList keys = {"id", "bl_id", "project_id", "status", "input_data", "output_data", "metadata",
            "worker_state", "delegation_state", "worker_session_key", "task_history", "task_conversation",
            "task_last_activity_date", "created_at", "updated_at", "extra"};
        const QStringList texts = {kTaskText, kTaskText.toUpper(), kProjectText, "queued", "in_progress", "Queued",
            "spawn_pending", "delegated/accepted", "", "2020-09-13T12:26:40Z", "2020-09-13T12:26:40.5+01:00",
            "9999-12-31T23:59:59Z", "\xF0\x9F\x98\x80/x"};
        const QList<double> numbers = {0, -1, 1e10, 1e10 + 1, 1e300, -1e300, 1.5, 9.2233720368547758e18,
            std::numeric_limits<double>::max(), -62135596801.0, 253402300800000.0};

        std::function<QJsonValue(int)> randomValue = [&](int depth) -> QJsonValue {
            switch (random.bounded(depth > 3 ? 4 : 6)) {
            case 0:
                return texts[random.bounded(int(texts.size()))];
            case 1:
                return numbers[random.bounded(int(numbers.size()))];
            case 2:
                return random.bounded(2) == 1;
            case 3:
                return QJsonValue(QJsonValue::Null);
            case 4: {
                QJsonArray array;
                for (int i = random.bounded(4); i > 0; --i)
                    array.append(randomValue(depth + 1));
                return array;
            }
            default: {
                QJsonObject object;
                for (int i = random.bounded(4); i > 0; --i)
                    object.insert(keys[random.bounded(int(keys.size()))], randomValue(depth + 1));
                return object;
            }
            }
        };

        QElapsedTimer elapsed;
        elapsed.start();
        int accepted = 0;
        int iterations = 0;
        for (; iterations < 40000 && elapsed.elapsed() < 2500; ++iterations) {
            QByteArray json;
            if (iterations % 2 == 0) {
                // Mostly sound required keys, so the reading goes deep.
                QJsonObject object {{"id", kTaskText}, {"project_id", kProjectText}, {"status", "queued"},
                    {"input_data", QJsonObject {{"title", "x"}}}};
                for (const QString &key : keys) {
                    switch (random.bounded(4)) {
                    case 0:
                        object.remove(key);
                        break;
                    case 1:
                        object.insert(key, randomValue(0));
                        break;
                    default:
                        break;
                    }
                }
                json = Json::write(object);
            } else {
                json = with(R"("created_at":"2020-09-13T12:26:40.25Z","output_data":[1,{"a":null}])");
                for (int edits = random.bounded(1, 6); edits > 0; --edits) {
                    const int at = random.bounded(int(json.size()) + 1);
                    switch (random.bounded(3)) {
                    case 0:
                        json.insert(at, char(random.bounded(256)));
                        break;
                    case 1:
                        json.remove(at, random.bounded(1, 4));
                        break;
                    default:
                        if (at < json.size())
                            json[at] = char(random.bounded(256));
                    }
                }
            }

            const auto task = BL_Task::fromBrimlockTaskJSON(json, std::nullopt, clock);
            const QByteArray context = "input: " + json.left(300);
            if (!task.ok()) {
                QVERIFY2(!task.errorMessage().isEmpty() && task.errorMessage().size() < 200, context.constData());
                QVERIFY2(task.error().domain == ingestionDomain() || task.error().domain == parserDomain(),
                    context.constData());
                continue;
            }
            ++accepted;
            // Every stored fragment reads back and is written again the same.
            QList<QByteArray> fragments
                = {task->inputData, task->metadata, task->taskHistoryData, task->taskConversationData};
            if (task->outputData)
                fragments.append(*task->outputData);
            if (task->extraMetadata) {
                QVERIFY2(Json::parseObject(*task->extraMetadata), context.constData());
                fragments.append(*task->extraMetadata);
            }
            for (const QByteArray &fragment : fragments) {
                const auto value = Json::parseFragment(fragment);
                QVERIFY2(value, (context + " fragment: " + fragment.left(200)).constData());
                QVERIFY2(Json::write(*value) == fragment, (context + " fragment: " + fragment.left(200)).constData());
            }
            for (const TimePoint &date : {task->createdAt, task->updatedAt, task->taskLastActivityDate})
                QVERIFY2(TimePoint::fromReferenceSecondsChecked(date.referenceSeconds()), context.constData());
            QVERIFY2(taskStatusFromRaw(rawValue(task->status)), context.constData());
        }
        qInfo("%d inputs, %d accepted", iterations, accepted);
        QVERIFY(accepted > 0);
    }
};

QTEST_GUILESS_MAIN(TaskIngestionTest)
#include "tst_taskingestion.moc"
