#include "common/Json.h"
#include "model/BL_Workspace.h"

#include <QSet>
#include <QtTest>

namespace {
const QUuid kWorkspaceID("{6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c}");
const QUuid kOrganizationID("{0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}");

QJsonValue parse(const QByteArray &text)
{
    const auto value = Json::parseFragment(text);
    if (!value)
        qFatal("test JSON does not parse: %s", text.constData());
    return *value;
}

BL_Workspace sampleWorkspace()
{
    return BL_Workspace {kWorkspaceID, kOrganizationID, QStringLiteral("Playground"), QStringLiteral("/home/a/play"),
        TimePoint::fromReferenceSeconds(721692800.25), TimePoint::fromReferenceSeconds(-12.5)};
}
} // namespace

class WorkspaceTest : public QObject
{
    Q_OBJECT

private slots:
    void workspaceJsonIsExact()
    {
        QCOMPARE(Json::write(sampleWorkspace().toJson()),
            QByteArray(R"({"createdAt":721692800.25,"id":"6F1C2A9E-3B7D-4C1E-9A52-0D8E7F6A5B4C",)"
                       R"("name":"Playground","organizationID":"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D",)"
                       R"("rootPath":"\/home\/a\/play","updatedAt":-12.5})"));
        BL_Workspace withoutOrganization = sampleWorkspace();
        withoutOrganization.organizationID.reset();
        QVERIFY(!withoutOrganization.toJson().contains(QStringLiteral("organizationID")));

        for (const BL_Workspace &workspace : {sampleWorkspace(), withoutOrganization}) {
            const auto read = BL_Workspace::fromJson(parse(Json::write(workspace.toJson())));
            QVERIFY2(read.ok(), qPrintable(read.errorMessage()));
            QCOMPARE(*read, workspace);
        }
    }

    void workspaceReadsLeniencyWhereAllowed()
    {
        // Lower-case UUIDs, a null organisation and unknown keys are fine.
        const auto read = BL_Workspace::fromJson(
            parse(R"({"id":"6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c","organizationID":null,"name":"",)"
                  R"("rootPath":"/x","createdAt":0,"updatedAt":1,"extra":[1]})"));
        QVERIFY2(read.ok(), qPrintable(read.errorMessage()));
        QCOMPARE(read->id, kWorkspaceID);
        QVERIFY(!read->organizationID);
        QCOMPARE(read->name, QString());
    }

    void workspaceStrictFailures_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("message");
        const QByteArray tail = R"("name":"n","rootPath":"/r","createdAt":0,"updatedAt":0})";
        const QByteArray id = R"({"id":"6F1C2A9E-3B7D-4C1E-9A52-0D8E7F6A5B4C",)";
        QTest::newRow("missing id") << QByteArray("{" + tail) << QStringLiteral("Missing value for key \"id\"");
        QTest::newRow("braced id") << QByteArray(R"({"id":"{6F1C2A9E-3B7D-4C1E-9A52-0D8E7F6A5B4C}",)"
            + tail) << QStringLiteral("Invalid UUID for key \"id\": {6F1C2A9E-3B7D-4C1E-9A52-0D8E7F6A5B4C}");
        QTest::newRow("bad organisation") << QByteArray(id + R"("organizationID":"org-1",)" + tail)
                                          << QStringLiteral("Invalid UUID for key \"organizationID\": org-1");
        QTest::newRow("null name") << QByteArray(id + R"("name":null,"rootPath":"/r","createdAt":0,"updatedAt":0})")
                                   << QStringLiteral("Expected a text for key \"name\"");
        QTest::newRow("ISO date") << QByteArray(
            id + R"("name":"n","rootPath":"/r","createdAt":"2024-01-01T00:00:00Z","updatedAt":0})")
                                  << QStringLiteral("Expected a number for key \"createdAt\"");
        QTest::newRow("date past year 9999")
            << QByteArray(id + R"("name":"n","rootPath":"/r","createdAt":0,"updatedAt":1e300})")
            << QStringLiteral("Invalid date for key \"updatedAt\"");
        QTest::newRow("not an object") << QByteArray("[1]") << QStringLiteral("Expected an object");
    }
    void workspaceStrictFailures()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, message);
        const auto read = BL_Workspace::fromJson(parse(json));
        QVERIFY(!read.ok());
        QCOMPARE(read.errorMessage(), message);
    }

    void workspaceEqualityCoversOptionalOrganization()
    {
        BL_Workspace a = sampleWorkspace();
        BL_Workspace b = a;
        QCOMPARE(a, b);
        QCOMPARE(qHash(a, 7), qHash(b, 7));
        b.organizationID.reset();
        QVERIFY(a != b);
        QCOMPARE(QSet<BL_Workspace>({a, b}).size(), 2);
    }

    void agentRoundTrip()
    {
        const BL_Agent agent {QUuid("{11111111-2222-4333-8444-555555555555}"), QStringLiteral("Worker 1"),
            QStringLiteral("gpt-x"), {QStringLiteral("code"), QStringLiteral("review")}, true,
            TimePoint::fromReferenceSeconds(1.5), TimePoint::fromReferenceSeconds(2)};
        QCOMPARE(Json::write(agent.toJson()),
            QByteArray(R"({"capabilities":["code","review"],"createdAt":1.5,)"
                       R"("id":"11111111-2222-4333-8444-555555555555","isEnabled":true,"model":"gpt-x",)"
                       R"("name":"Worker 1","updatedAt":2})"));
        const auto read = BL_Agent::fromJson(agent.toJson());
        QVERIFY2(read.ok(), qPrintable(read.errorMessage()));
        QCOMPARE(*read, agent);
        QCOMPARE(qHash(*read), qHash(agent));

        BL_Agent reordered = agent;
        reordered.capabilities = {QStringLiteral("review"), QStringLiteral("code")};
        QVERIFY(reordered != agent);
    }

    void agentStrictFailures_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("message");
        const QByteArray head = R"({"id":"11111111-2222-4333-8444-555555555555","name":"a","model":"m",)";
        QTest::newRow("capability not text")
            << QByteArray(head + R"("capabilities":["x",3],"isEnabled":true,"createdAt":0,"updatedAt":0})")
            << QStringLiteral("Expected a text in \"capabilities\"");
        QTest::newRow("enabled as number")
            << QByteArray(head + R"("capabilities":[],"isEnabled":1,"createdAt":0,"updatedAt":0})")
            << QStringLiteral("Expected a Boolean for key \"isEnabled\"");
        QTest::newRow("missing capabilities") << QByteArray(head + R"("isEnabled":true,"createdAt":0,"updatedAt":0})")
                                              << QStringLiteral("Missing value for key \"capabilities\"");
    }
    void agentStrictFailures()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, message);
        const auto read = BL_Agent::fromJson(parse(json));
        QVERIFY(!read.ok());
        QCOMPARE(read.errorMessage(), message);
    }

    void configParse_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("count");
        QTest::newRow("written by the system") << QByteArray(R"({"agent_count":3,"name":"Shop"})") << "Shop" << 3LL;
        QTest::newRow("members in other order") << QByteArray(R"({"name":"Shop","agent_count":3})") << "Shop" << 3LL;
        QTest::newRow("top-level array") << QByteArray(R"([{"name":"x"}])") << "folder" << 0LL;
        QTest::newRow("empty object") << QByteArray("{}") << "folder" << 0LL;
        QTest::newRow("project_name") << QByteArray(R"({"project_name":"P"})") << "P" << 0LL;
        QTest::newRow("nested project name beats fallback")
            << QByteArray(R"({"name":7,"project":{"name":"Nested"}})") << "Nested" << 0LL;
        QTest::newRow("project without text name") << QByteArray(R"({"project":{"name":1}})") << "folder" << 0LL;
        QTest::newRow("empty name kept") << QByteArray(R"({"name":"","project_name":"P"})") << "" << 0LL;
        QTest::newRow("name kept untrimmed") << QByteArray(R"({"name":"  a "})") << "  a " << 0LL;
        QTest::newRow("negative count") << QByteArray(R"({"agent_count":-2})") << "folder" << 0LL;
        QTest::newRow("fractional count passed over")
            << QByteArray(R"({"agent_count":2.5,"worker_count":4})") << "folder" << 4LL;
        QTest::newRow("numeric text passed over")
            << QByteArray(R"({"agent_count":"3","agent_pool_size":6})") << "folder" << 6LL;
        QTest::newRow("Boolean is no count") << QByteArray(R"({"agent_count":true})") << "folder" << 0LL;
        QTest::newRow("beyond 64 bits passed over")
            << QByteArray(R"({"agent_count":1e300,"agents":[1]})") << "folder" << 1LL;
        QTest::newRow("largest 64-bit count")
            << QByteArray(R"({"agent_count":9223372036854775807})") << "folder" << 9223372036854775807LL;
        QTest::newRow("agents array of strings") << QByteArray(R"({"agents":["a","b","c"]})") << "folder" << 3LL;
        QTest::newRow("workers array") << QByteArray(R"({"agents":"x","workers":[{},null]})") << "folder" << 2LL;
        QTest::newRow("agents count object") << QByteArray(R"({"agents":{"count":5}})") << "folder" << 5LL;
        QTest::newRow("earlier rule beats agents count")
            << QByteArray(R"({"agents":{"count":5},"worker_count":1})") << "folder" << 1LL;
        QTest::newRow("worker pool size")
            << QByteArray(R"({"agents":{"count":"5"},"worker_pool":{"size":8}})") << "folder" << 8LL;
        QTest::newRow("keys are case-sensitive") << QByteArray(R"({"Name":"X","Agent_Count":2})") << "folder" << 0LL;
    }
    void configParse()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, name);
        QFETCH(qint64, count);
        const auto config = BL_WorkspaceConfig::parse(bytes, QStringLiteral("folder"));
        QVERIFY2(config.ok(), qPrintable(config.errorMessage()));
        QCOMPARE(config->name, name);
        QCOMPARE(config->agentCount, count);
    }

    void configParseFailsOnlyOnNonJson_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("garbage") << QByteArray("name: x");
        QTest::newRow("truncated") << QByteArray(R"({"name":"x")");
        QTest::newRow("bare number") << QByteArray("42");
    }
    void configParseFailsOnlyOnNonJson()
    {
        QFETCH(QByteArray, bytes);
        const auto config = BL_WorkspaceConfig::parse(bytes, QStringLiteral("folder"));
        QVERIFY(!config.ok());
        QVERIFY(!config.errorMessage().isEmpty());
    }
};

QTEST_GUILESS_MAIN(WorkspaceTest)
#include "tst_workspace.moc"
