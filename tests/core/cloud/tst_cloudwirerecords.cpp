#include "TestSupport.h"
#include "cloud/CloudWireRecords.h"
#include "common/Json.h"
#include "common/UuidText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

using namespace CloudWire;

namespace {

const QString kTeam = QStringLiteral("7d1c1a5e-0000-4000-8000-0000000000a1");
const QString kUser = QStringLiteral("7d1c1a5e-0000-4000-8000-000000000001");
const QString kProjectA = QStringLiteral("7D1C1A5E-0000-4000-8000-0000000000B1");
const QString kProjectB = QStringLiteral("7d1c1a5e-0000-4000-8000-0000000000b2");

QJsonObject object(const char *json)
{
    return QJsonDocument::fromJson(json).object();
}

QJsonObject baseContext()
{
    return QJsonObject {
        {QStringLiteral("user"),
            QJsonObject {{QStringLiteral("id"), kUser}, {QStringLiteral("name"), QStringLiteral("Ada")}}},
        {QStringLiteral("teams"),
            QJsonArray {QJsonObject {{QStringLiteral("id"), kTeam}, {QStringLiteral("name"), QStringLiteral("T")}}}},
        {QStringLiteral("memberships"), QJsonArray {}},
        {QStringLiteral("project_grants"), QJsonArray {}},
    };
}

QByteArray taskJSON(const QString &id, const QString &project)
{
    return QStringLiteral(R"({"id":"%1","project_id":"%2","status":"queued","input_data":{"prompt":"p"}})")
        .arg(id, project)
        .toUtf8();
}

} // namespace

class TestCloudWireRecords : public QObject
{
    Q_OBJECT

private slots:
    void contextMapping_data()
    {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<bool>("decodes");
        QTest::addColumn<int>("memberships");
        QTest::addColumn<int>("grants");
        QTest::addColumn<int>("mappedTeams"); // entries of the team-project map

        QJsonObject missingMemberships = baseContext();
        missingMemberships.remove(QStringLiteral("memberships"));
        QTest::newRow("memberships missing fails") << missingMemberships << false << 0 << 0 << 0;
        QTest::newRow("empty lists decode") << baseContext() << true << 0 << 0 << 0;

        QJsonObject roles = baseContext();
        roles[QStringLiteral("memberships")] = QJsonArray {
            QJsonObject {{"team_id", kTeam}, {"user_id", kUser}, {"role", "owner"}},
            QJsonObject {{"team_id", kTeam}, {"user_id", kUser}, {"role", "Owner"}},
            QJsonObject {{"team_id", "nope"}, {"user_id", kUser}, {"role", "member"}},
        };
        roles[QStringLiteral("project_grants")] = QJsonArray {
            QJsonObject {{"project_id", kProjectA}, {"role", "viewer"}},
            QJsonObject {{"project_id", kProjectB}, {"role", "Viewer"}},
        };
        QTest::newRow("capitalised roles and bad ids dropped") << roles << true << 1 << 1 << 0;

        QJsonObject teamProjects = baseContext();
        teamProjects[QStringLiteral("team_projects")] = QJsonObject {
            {kTeam, QJsonArray {kProjectA, kProjectA.toLower(), QStringLiteral("x"), kProjectB}},
            {QStringLiteral("not-a-team"), QJsonArray {kProjectA}},
        };
        QTest::newRow("team projects: bad key skipped") << teamProjects << true << 0 << 0 << 1;

        QJsonObject nullUser = baseContext();
        nullUser[QStringLiteral("user")] = QJsonValue::Null;
        QTest::newRow("null user fails") << nullUser << false << 0 << 0 << 0;

        QJsonObject badDate = baseContext();
        badDate[QStringLiteral("teams")]
            = QJsonArray {QJsonObject {{"id", kTeam}, {"name", "T"}, {"created_at", "yesterday"}}};
        QTest::newRow("unreadable date fails") << badDate << false << 0 << 0 << 0;
    }
    void contextMapping()
    {
        QFETCH(QJsonObject, reply);
        QFETCH(bool, decodes);
        const Result<BL_AuthContext> context = readAuthContext(reply);
        QCOMPARE(context.ok(), decodes);
        if (!decodes) {
            QVERIFY(!context.errorMessage().isEmpty());
            return;
        }
        QTEST(int(context->memberships.size()), "memberships");
        QTEST(int(context->projectGrants.size()), "grants");
        QTEST(int(context->teamProjectIDsByTeamID.size()), "mappedTeams");
        if (!context->teamProjectIDsByTeamID.isEmpty()) {
            const QSet<QUuid> ids = context->teamProjectIDsByTeamID.value(*UuidText::parse(kTeam));
            QCOMPARE(ids, (QSet<QUuid> {*UuidText::parse(kProjectA), *UuidText::parse(kProjectB)}));
        }
    }

    void recordsMapLeniently()
    {
        TestSupport::PinnedClock clock;
        // A user without a usable id gets a new one each time; missing dates are now.
        const QJsonObject user = object(R"({"id":"u-1","name":"Ada","avatar_url":"x"})");
        const auto first = readUser(user, clock);
        const auto second = readUser(user, clock);
        QVERIFY(first.ok() && second.ok());
        QVERIFY(first->id != second->id);
        QCOMPARE(first->createdAt, clock.now());
        QVERIFY(!first->googleSubjectID);

        const auto noWorkspace = readProject(object(R"({"id":"p","name":"N"})"), clock);
        QVERIFY(noWorkspace.ok() && !noWorkspace.value());
        const auto workspace = readProject(QJsonObject {{"id", kProjectA}, {"name", "N"}}, clock);
        QVERIFY(workspace.ok() && workspace.value());
        QCOMPARE(workspace.value()->rootPath, QString());
        QCOMPARE(workspace.value()->id, *UuidText::parse(kProjectA));

        const auto invite = readInvite(QJsonObject {{"id", "x"}, {"team_id", kTeam}, {"email", "Bo@Example.COM"},
            {"role", "Owner"}, {"invite_url", "https://i"}, {"expires_at", "2026-01-06T10:00:00Z"},
            {"created_at", "2026-01-05T10:00:00.250Z"}});
        QVERIFY(invite.ok());
        QCOMPARE(invite->role, BL_TeamMembershipRole::member);
        QCOMPARE(invite->email, std::optional<QString>(QStringLiteral("bo@example.com")));
        QCOMPARE(invite->status, BL_InviteStatus::pending);
        QCOMPARE(invite->updatedAt, invite->createdAt);
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(invite->token).hasMatch());
        QVERIFY(!readInvite(object(R"({"id":"x","team_id":"t","email":"e","role":"member","invite_url":"u"})")).ok());

        const auto node = readNodeRegistration(object(R"({"id":"n","instance_id":"i","node_type":"superNode"})"));
        QVERIFY(node.ok());
        QVERIFY(!node->nodeType); // unknown: the caller keeps its own type
        QVERIFY(!node->createdAt);
        const auto known = readNodeRegistration(object(R"({"id":"n","instance_id":"i","node_type":"subNode"})"));
        QCOMPARE(known->nodeType, std::optional<BL_NodeType>(BL_NodeType::subNode));

        const auto exchange = readGoogleAuthExchange(
            QJsonObject {{"session", QJsonObject {{"accessToken", "a"}, {"expiresAt", "2026-01-05T10:00:00Z"}}},
                {"context", baseContext()}});
        QVERIFY(exchange.ok());
        QCOMPARE(exchange->session.expiresAt, TimePoint::fromIso8601(u"2026-01-05T10:00:00Z"));
    }

    void requestBodies()
    {
        const QJsonObject bare = registerNodeBody(
            QStringLiteral("inst"), BL_NodeType::mainNode, std::nullopt, QStringLiteral("Linux"), std::nullopt);
        QCOMPARE(bare.keys(), (QStringList {"instance_id", "node_type", "platform"}));
        QCOMPARE(bare.value("node_type").toString(), QStringLiteral("mainNode"));

        const QJsonObject heartbeat = heartbeatBody(QStringLiteral("inst"), BL_NodeHealthStatus::unhealthy,
            TimePoint::fromIso8601(u"2026-01-05T10:00:00.700Z").value(), 90,
            {{QStringLiteral("check_count"), QStringLiteral("0")},
                {QStringLiteral("source"), QStringLiteral("health_snapshot")}});
        QCOMPARE(Json::write(heartbeat),
            QByteArray(
                R"({"health_checked_at":"2026-01-05T10:00:00Z","health_status":"unhealthy","instance_id":"inst",)"
                R"("metadata":{"check_count":"0","source":"health_snapshot"},"uptime_seconds":90})"));

        const QUuid id = *UuidText::parse(kProjectA);
        const QJsonObject project = registerProjectBody(id, QStringLiteral("N"), QStringLiteral("/r"), std::nullopt);
        QCOMPARE(project.value("id").toString(), kProjectA.toLower());
        QVERIFY(!project.contains("teamId"));
        QCOMPARE(
            createInviteBody(QStringLiteral("e"), BL_TeamMembershipRole::viewer, 0).value("expiresInHours").toInt(), 0);
        QVERIFY(!workerStateBody(QStringLiteral("notDelegated"), std::nullopt).contains("worker_session_key"));
    }

    void taskMutationReplies_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<bool>("hasTask");
        const QString id = QStringLiteral("7d1c1a5e-0000-4000-8000-0000000000c1");
        QTest::newRow("empty") << QByteArray() << true << false;
        QTest::newRow("array") << QByteArray("[]") << true << false;
        QTest::newRow("no task keys") << QByteArray(R"({"ok":true})") << true << false;
        QTest::newRow("not JSON") << QByteArray("{") << false << false;
        QTest::newRow("wrapped") << (QByteArray(R"({"task":)") + taskJSON(id, kProjectB) + "}") << true << true;
        QTest::newRow("bare") << taskJSON(id, kProjectB) << true << true;
        QTest::newRow("task is null") << QByteArray(R"({"task":null})") << false << false;
        QTest::newRow("no project") << QByteArray(
            R"({"id":")" + id.toUtf8() + R"(","status":"queued","input_data":{}})")
                                    << false << false;
    }
    void taskMutationReplies()
    {
        QFETCH(QByteArray, body);
        const auto result = parseTaskMutationResponse(body);
        QTEST(result.ok(), "ok");
        if (result.ok())
            QTEST(result->has_value(), "hasTask");
    }

    void taskListReplies_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("count");
        const QByteArray a = taskJSON(QStringLiteral("7d1c1a5e-0000-4000-8000-0000000000c1"), kProjectB);
        const QByteArray b = taskJSON(QStringLiteral("7d1c1a5e-0000-4000-8000-0000000000c2"), kProjectB);
        QTest::newRow("empty body") << QByteArray() << false << 0;
        QTest::newRow("top-level array") << QByteArray("[" + a + "]") << true << 0;
        QTest::newRow("no tasks key") << QByteArray("{}") << true << 0;
        QTest::newRow("tasks is an object") << QByteArray(R"({"tasks":{}})") << true << 0;
        QTest::newRow("mixed elements") << QByteArray(R"({"tasks":[")"
                                                      "x"
                                                      R"(",1,)"
            + a + R"(,{"id":"7d1c1a5e-0000-4000-8000-0000000000c3","status":"queued","input_data":{}},)" + b + "]}")
                                        << true << 2;
    }
    void taskListReplies()
    {
        QFETCH(QByteArray, body);
        const auto result = parseTaskList(body);
        QTEST(result.ok(), "ok");
        if (result.ok()) {
            QTEST(int(result->size()), "count");
            if (result->size() == 2)
                QVERIFY(result->at(0).blID.toString().endsWith(QStringLiteral("c1}")));
        }
    }
};

QTEST_GUILESS_MAIN(TestCloudWireRecords)
#include "tst_cloudwirerecords.moc"
