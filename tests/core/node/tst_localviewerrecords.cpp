#include "common/Json.h"
#include "node/LocalViewerRecords.h"

#include <QJsonDocument>
#include <QtTest>

using namespace LocalViewer;

namespace {

QJsonValue parse(const char *text)
{
    return QJsonDocument::fromJson(QByteArray(text)).object();
}

const QUuid kTask = QUuid::fromString(QStringLiteral("{0f8fad5b-d9cb-469f-a165-70867728950e}"));
const QUuid kProject = QUuid::fromString(QStringLiteral("{7c9e6679-7425-40de-944b-e07fc1f90ae7}"));

} // namespace

class TestLocalViewerRecords : public QObject
{
    Q_OBJECT

private slots:
    void taskSummaryWritesExactKeysAndForms()
    {
        TaskSummary summary;
        summary.id = kTask;
        summary.projectID = kProject;
        summary.status = QStringLiteral("in_progress");
        summary.title = QStringLiteral("<b>x</b>");
        summary.updatedAt = TimePoint::fromUnixSeconds(1767225600.25);
        summary.taskHistoryData = QByteArray("[]");
        const QByteArray json = encode(summary.toJson());
        QCOMPARE(json,
            QByteArray("{\"id\":\"0F8FAD5B-D9CB-469F-A165-70867728950E\",\"projectID\":"
                       "\"7C9E6679-7425-40DE-944B-E07FC1F90AE7\",\"status\":\"in_progress\","
                       "\"taskHistoryData\":\"W10=\",\"title\":\"<b>x<\\/b>\",\"updatedAt\":1767225600.25}"));
        // Read back: the same record.
        QCOMPARE(TaskSummary::fromJson(summary.toJson()), std::optional<TaskSummary>(summary));
    }

    void presenceAndNulls()
    {
        // A null optional reads as absent; a summary needs no worker state,
        // a detail does.
        const auto withNull = TaskSummary::fromJson(
            parse(R"({"id":"0f8fad5b-d9cb-469f-a165-70867728950e","projectID":"7C9E6679-7425-40DE-944B-E07FC1F90AE7",
                     "status":"whatever","title":"t","updatedAt":5,"workerState":null})"));
        QVERIFY(withNull);
        QVERIFY(!withNull->workerState);
        QCOMPARE(withNull->status, QStringLiteral("whatever"));
        QVERIFY(!TaskDetailResponse::fromJson(
            parse(R"({"id":"0f8fad5b-d9cb-469f-a165-70867728950e","projectID":"7C9E6679-7425-40DE-944B-E07FC1F90AE7",
                     "status":"queued","delegationState":"unallocated","createdAt":1,"updatedAt":1,"lastActivityAt":1,
                     "inputJSON":"{}","metadataJSON":"{}","historyJSON":"[]","conversationJSON":"[]"})")));
    }

    void requestBodies_data()
    {
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("reads");
        const QByteArray ids
            = R"("projectID":"7c9e6679-7425-40de-944b-e07fc1f90ae7","taskID":"0f8fad5b-d9cb-469f-a165-70867728950e")";
        QTest::newRow("delete lower-case ids") << QByteArray("delete") << "{" + ids + "}" << true;
        QTest::newRow("delete key case")
            << QByteArray("delete")
            << QByteArray(
                   R"({"projectID":"7c9e6679-7425-40de-944b-e07fc1f90ae7","taskId":"0f8fad5b-d9cb-469f-a165-70867728950e"})")
            << false;
        QTest::newRow("uuid in braces")
            << QByteArray("delete")
            << QByteArray(
                   R"({"projectID":"{7c9e6679-7425-40de-944b-e07fc1f90ae7}","taskID":"0f8fad5b-d9cb-469f-a165-70867728950e"})")
            << false;
        QTest::newRow("move in_progress") << QByteArray("move") << "{" + ids + R"(,"status":"in_progress"})" << true;
        QTest::newRow("move done") << QByteArray("move") << "{" + ids + R"(,"status":"done"})" << false;
        QTest::newRow("move in progress") << QByteArray("move") << "{" + ids + R"(,"status":"in progress"})" << false;
        QTest::newRow("create minimal") << QByteArray("create")
                                        << QByteArray(R"({"description":"x","status":"queued"})") << true;
        QTest::newRow("create description number")
            << QByteArray("create") << QByteArray(R"({"description":5,"status":"queued"})") << false;
        QTest::newRow("create null description")
            << QByteArray("create") << QByteArray(R"({"description":null,"status":"queued"})") << false;
        QTest::newRow("workspace extra key")
            << QByteArray("workspace") << QByteArray(R"({"name":"n","other":[1]})") << true;
        QTest::newRow("workspace broken json") << QByteArray("workspace") << QByteArray(R"({"name":"n")") << false;
        QTest::newRow("invite bad role") << QByteArray(
            "invite") << QByteArray(R"({"organizationID":"7c9e6679-7425-40de-944b-e07fc1f90ae7","role":"Owner"})")
                                         << false;
        QTest::newRow("invite fractional lifetime")
            << QByteArray("invite")
            << QByteArray(
                   R"({"organizationID":"7c9e6679-7425-40de-944b-e07fc1f90ae7","role":"viewer","expiresInSeconds":1.5})")
            << true;
        QTest::newRow("summary fractional count")
            << QByteArray("summary")
            << QByteArray(
                   R"({"id":"7c9e6679-7425-40de-944b-e07fc1f90ae7","name":"n","backlog":1.5,"queued":0,"inProgress":0,"completed":0,"failed":0})")
            << false;
        QTest::newRow("accept minimal") << QByteArray("accept") << QByteArray(R"({"token":"t","name":"n"})") << true;
    }

    void requestBodies()
    {
        QFETCH(QByteArray, kind);
        QFETCH(QByteArray, body);
        QFETCH(bool, reads);
        const std::optional<QJsonObject> object = decodeObject(body);
        const QJsonValue json = object ? QJsonValue(*object) : QJsonValue();
        bool ok = false;
        if (kind == "delete")
            ok = DeleteTaskRequest::fromJson(json).has_value();
        else if (kind == "move")
            ok = MoveTaskRequest::fromJson(json).has_value();
        else if (kind == "create")
            ok = CreateTaskRequest::fromJson(json).has_value();
        else if (kind == "workspace")
            ok = CreateWorkspaceRequest::fromJson(json).has_value();
        else if (kind == "invite")
            ok = CreateInviteRequest::fromJson(json).has_value();
        else if (kind == "summary")
            ok = WorkspaceSummary::fromJson(json).has_value();
        else if (kind == "accept")
            ok = AcceptInviteRequest::fromJson(json).has_value();
        QCOMPARE(ok, reads);
    }

    void clientDates_data()
    {
        QTest::addColumn<QJsonValue>("value");
        QTest::addColumn<QString>("error");
        const QString none;
        QTest::newRow("iso") << QJsonValue(QStringLiteral("2026-01-01T00:00:00Z")) << none;
        QTest::newRow("iso fraction") << QJsonValue(QStringLiteral("2026-01-01T00:00:00.000Z")) << none;
        QTest::newRow("iso offset") << QJsonValue(QStringLiteral("2026-01-01T02:00:00+02:00")) << none;
        QTest::newRow("seconds") << QJsonValue(1767225600.0) << none;
        QTest::newRow("milliseconds") << QJsonValue(1767225600000.0) << none;
        QTest::newRow("date only") << QJsonValue(QStringLiteral("2026-01-01"))
                                   << QStringLiteral("Invalid date string format: 2026-01-01");
        QTest::newRow("boolean") << QJsonValue(true) << QStringLiteral("Unsupported date format for client-node sync.");
    }

    void clientDates()
    {
        QFETCH(QJsonValue, value);
        QFETCH(QString, error);
        const Result<TimePoint> date = readClientDate(value);
        if (!error.isEmpty()) {
            QCOMPARE(date.errorMessage(), error);
            return;
        }
        QVERIFY(date.ok());
        QCOMPARE(date->unixSeconds(), 1767225600.0);
    }

    void splitBetweenSecondsAndMilliseconds()
    {
        QCOMPARE(readClientDate(QJsonValue(10000000000.0))->unixSeconds(), 10000000000.0);
        QCOMPARE(readClientDate(QJsonValue(10000000001.0))->unixSeconds(), 10000000.001);
    }

    void userAndInviteUseUnixSeconds()
    {
        BL_User user;
        user.id = kTask;
        user.name = QStringLiteral("Ana");
        user.createdAt = TimePoint::fromUnixSeconds(1700000000.5);
        user.updatedAt = TimePoint::fromUnixSeconds(1700000001.0);
        const QJsonObject json = userToJson(user);
        QCOMPARE(json.value("createdAt").toDouble(), 1700000000.5);
        QCOMPARE(json.value("id").toString(), QStringLiteral("0F8FAD5B-D9CB-469F-A165-70867728950E"));
        QVERIFY(!json.contains("email"));
        QCOMPARE(userFromJson(json), std::optional<BL_User>(user));

        BL_Invite invite;
        invite.id = kTask;
        invite.token = QStringLiteral("abc");
        invite.organizationID = kProject;
        invite.expiresAt = TimePoint::fromUnixSeconds(1700604800.0);
        invite.createdAt = invite.updatedAt = TimePoint::fromUnixSeconds(1700000000.0);
        const QJsonObject inviteJson = inviteToJson(invite);
        QCOMPARE(inviteJson.value("expiresAt").toDouble(), 1700604800.0);
        QCOMPARE(inviteJson.value("status").toString(), QStringLiteral("pending"));
        QVERIFY(!inviteJson.contains("teamID"));
        QCOMPARE(inviteFromJson(inviteJson), std::optional<BL_Invite>(invite));
    }

    void bootstrapFailsWithOneBadTask()
    {
        const QJsonValue json = parse(R"({"workspaces":[],"tasks":[{"id":"x"}]})");
        QVERIFY(!BootstrapResponse::fromJson(json));
        const auto empty = BootstrapResponse::fromJson(parse(R"({"workspaces":[],"tasks":[]})"));
        QVERIFY(empty);
        QVERIFY(!empty->activeWorkspaceID);
        QVERIFY(!empty->toJson().contains("activeWorkspaceID"));
    }
};

QTEST_GUILESS_MAIN(TestLocalViewerRecords)
#include "tst_localviewerrecords.moc"
