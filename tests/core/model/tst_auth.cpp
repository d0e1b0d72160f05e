#include "TestSupport.h"
#include "common/Json.h"
#include "model/BL_Auth.h"

#include <QSet>
#include <QtTest>

Q_DECLARE_METATYPE(std::optional<BL_NodeType>)

namespace {

const QUuid kID(QStringLiteral("{6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c}"));
const QUuid kOtherID(QStringLiteral("{0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}"));
const QUuid kThirdID(QStringLiteral("{99999999-8888-4777-8666-555555555555}"));

QJsonValue parse(const QByteArray &text)
{
    const auto value = Json::parseFragment(text);
    if (!value)
        qFatal("test JSON does not parse: %s", text.constData());
    return *value;
}

TimePoint at(double seconds)
{
    return TimePoint::fromReferenceSeconds(seconds);
}

BL_AuthContext sampleContext()
{
    BL_AuthContext context;
    context.user = BL_User {kID, QStringLiteral("ada@example.com"), std::nullopt, QStringLiteral("Ada"), "google",
        std::nullopt, std::nullopt, at(1), at(2)};
    context.teams = {BL_Team {kOtherID, std::nullopt, QStringLiteral("Core"), at(3), at(4)},
        BL_Team {kThirdID, kID, QStringLiteral("Ops"), at(5), at(6)}};
    context.memberships = {BL_TeamMembership {kOtherID, kID, BL_TeamMembershipRole::owner, at(7), at(7)}};
    context.projectGrants = {BL_ProjectAccessGrant {kThirdID, BL_TeamMembershipRole::viewer},
        BL_ProjectAccessGrant {kOtherID, BL_TeamMembershipRole::admin}};
    context.teamProjectIDsByTeamID = {{kOtherID, {kThirdID, kID}}, {kThirdID, {}}};
    return context;
}

} // namespace

class AuthTest : public QObject
{
    Q_OBJECT

private slots:
    void nodeTypeRawValues_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<std::optional<BL_NodeType>>("type");
        QTest::newRow("mainNode") << "mainNode" << std::optional(BL_NodeType::mainNode);
        QTest::newRow("subNode") << "subNode" << std::optional(BL_NodeType::subNode);
        QTest::newRow("clientNode") << "clientNode" << std::optional(BL_NodeType::clientNode);
        QTest::newRow("other case") << "MainNode" << std::optional<BL_NodeType>();
        QTest::newRow("lower case") << "clientnode" << std::optional<BL_NodeType>();
        QTest::newRow("snake case") << "main_node" << std::optional<BL_NodeType>();
        QTest::newRow("empty") << "" << std::optional<BL_NodeType>();
    }
    void nodeTypeRawValues()
    {
        QFETCH(QString, raw);
        QFETCH(std::optional<BL_NodeType>, type);
        QCOMPARE(nodeTypeFromRaw(raw), type);
        if (type)
            QCOMPARE(rawValue(*type), raw);
    }

    void nodeTypesListedInOrder()
    {
        QCOMPARE(allNodeTypes(),
            (QList<BL_NodeType> {BL_NodeType::mainNode, BL_NodeType::subNode, BL_NodeType::clientNode}));
    }

    void accessTokenValidity_data()
    {
        QTest::addColumn<QString>("token");
        QTest::addColumn<std::optional<double>>("expiresIn");
        QTest::addColumn<bool>("valid");
        QTest::newRow("no expiry") << "t" << std::optional<double>() << true;
        QTest::newRow("empty token, no expiry") << "" << std::optional<double>() << true;
        QTest::newRow("31 s ahead") << "t" << std::optional(31.0) << true;
        QTest::newRow("a hair over 30 s ahead") << "t" << std::optional(30.001) << true;
        QTest::newRow("exactly 30 s ahead") << "t" << std::optional(30.0) << false;
        QTest::newRow("10 s ahead") << "t" << std::optional(10.0) << false;
        QTest::newRow("now") << "t" << std::optional(0.0) << false;
        QTest::newRow("past") << "t" << std::optional(-3600.0) << false;
    }
    void accessTokenValidity()
    {
        QFETCH(QString, token);
        QFETCH(std::optional<double>, expiresIn);
        QFETCH(bool, valid);
        const TestSupport::PinnedClock clock;
        BL_AuthSession session {token, std::nullopt, std::nullopt};
        if (expiresIn)
            session.expiresAt = clock.now().addSeconds(*expiresIn);
        QCOMPARE(session.hasValidAccessToken(clock), valid);
        QCOMPARE(session.hasValidAccessToken(clock.now()), valid);
    }

    void storeFormRoundTrips()
    {
        const BL_AuthSession session {QStringLiteral("acc/1"), QStringLiteral("ref"), at(760000000.125)};
        const QByteArray written = Json::write(session.toJson());
        QCOMPARE(written, QByteArray(R"({"accessToken":"acc\/1","expiresAt":760000000.125,"refreshToken":"ref"})"));
        const auto read = BL_AuthSession::fromJson(parse(written));
        QVERIFY2(read.ok(), qPrintable(read.errorMessage()));
        QCOMPARE(*read, session);
        QCOMPARE(qHash(*read), qHash(session));

        const auto bare = BL_AuthSession::fromJson(parse(R"({"accessToken":"a","other":1})"));
        QVERIFY(bare.ok());
        QCOMPARE(*bare, (BL_AuthSession {QStringLiteral("a"), std::nullopt, std::nullopt}));
        QCOMPARE(Json::write(bare->toJson()), QByteArray(R"({"accessToken":"a"})"));
    }

    void sessionForms_data()
    {
        QTest::addColumn<bool>("cloud");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("message"); // empty: reads
        QTest::addColumn<std::optional<double>>("expiresAt");
        const std::optional<double> none;
        QTest::newRow("store: no optionals") << false << QByteArray(R"({"accessToken":"a"})") << "" << none;
        QTest::newRow("store: nulls") << false
                                      << QByteArray(R"({"accessToken":"a","refreshToken":null,"expiresAt":null})") << ""
                                      << none;
        QTest::newRow("store: date as text")
            << false << QByteArray(R"({"accessToken":"a","expiresAt":"2025-03-01T09:30:00Z"})")
            << "Expected a number for key \"expiresAt\"" << none;
        QTest::newRow("store: date beyond year 9999") << false << QByteArray(R"({"accessToken":"a","expiresAt":1e300})")
                                                      << "Invalid date for key \"expiresAt\"" << none;
        QTest::newRow("store: missing token")
            << false << QByteArray(R"({"refreshToken":"r"})") << "Missing value for key \"accessToken\"" << none;
        QTest::newRow("store: null token")
            << false << QByteArray(R"({"accessToken":null})") << "Expected a text for key \"accessToken\"" << none;
        QTest::newRow("store: not an object") << false << QByteArray(R"("a")") << "Expected an object" << none;
        QTest::newRow("cloud: ISO date") << true
                                         << QByteArray(R"({"accessToken":"a","expiresAt":"2001-01-01T00:01:00Z"})")
                                         << "" << std::optional(60.0);
        QTest::newRow("cloud: fraction and offset")
            << true << QByteArray(R"({"accessToken":"a","expiresAt":"2001-01-01T01:00:00.5+01:00"})") << ""
            << std::optional(0.5);
        QTest::newRow("cloud: null expiry")
            << true << QByteArray(R"({"accessToken":"a","expiresAt":null})") << "" << none;
        QTest::newRow("cloud: date as number") << true << QByteArray(R"({"accessToken":"a","expiresAt":60})")
                                               << "Expected a text for key \"expiresAt\"" << none;
        QTest::newRow("cloud: impossible date")
            << true << QByteArray(R"({"accessToken":"a","expiresAt":"2025-02-30T00:00:00Z"})")
            << "Invalid date for key \"expiresAt\": 2025-02-30T00:00:00Z" << none;
        QTest::newRow("cloud: missing token") << true << QByteArray(R"({"expiresAt":"2025-03-01T09:30:00Z"})")
                                              << "Missing value for key \"accessToken\"" << none;
    }
    void sessionForms()
    {
        QFETCH(bool, cloud);
        QFETCH(QByteArray, json);
        QFETCH(QString, message);
        QFETCH(std::optional<double>, expiresAt);
        const auto read = cloud ? BL_AuthSession::fromCloudJson(parse(json)) : BL_AuthSession::fromJson(parse(json));
        QCOMPARE(read.errorMessage(), message);
        if (read.ok()) {
            QCOMPARE(read->accessToken, QStringLiteral("a"));
            QVERIFY(!read->refreshToken);
            QCOMPARE(read->expiresAt.has_value(), expiresAt.has_value());
            if (expiresAt)
                QCOMPARE(read->expiresAt->referenceSeconds(), *expiresAt);
        }
    }

    void grantsFromBackend_data()
    {
        QTest::addColumn<QString>("projectID");
        QTest::addColumn<QString>("role");
        QTest::addColumn<bool>("kept");
        QTest::newRow("lower-case id") << "6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c"
                                       << "admin" << true;
        QTest::newRow("upper-case id") << "6F1C2A9E-3B7D-4C1E-9A52-0D8E7F6A5B4C"
                                       << "viewer" << true;
        QTest::newRow("capitalised role") << "6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c"
                                          << "Owner" << false;
        QTest::newRow("unknown role") << "6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c"
                                      << "guest" << false;
        QTest::newRow("id not UUID text") << "project-1"
                                          << "owner" << false;
        QTest::newRow("braced id") << "{6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c}"
                                   << "owner" << false;
    }
    void grantsFromBackend()
    {
        QFETCH(QString, projectID);
        QFETCH(QString, role);
        QFETCH(bool, kept);
        const auto grant = BL_ProjectAccessGrant::fromBackend(projectID, role);
        QCOMPARE(grant.has_value(), kept);
        if (kept) {
            QCOMPARE(grant->projectID, kID);
            QCOMPARE(rawValue(grant->role), role);
        }
    }

    void teamProjectsFromBackend()
    {
        QCOMPARE(BL_AuthContext::teamProjectIDsFromBackend({}), BL_AuthContext::TeamProjectIDs());
        const QMap<QString, QStringList> reply {
            {QStringLiteral("0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d"),
                {QStringLiteral("6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c"), QStringLiteral("not-a-uuid"),
                    QStringLiteral("6F1C2A9E-3B7D-4C1E-9A52-0D8E7F6A5B4C"),
                    QStringLiteral("99999999-8888-4777-8666-555555555555")}},
            {QStringLiteral("team-1"), {QStringLiteral("6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c")}},
            {QStringLiteral("99999999-8888-4777-8666-555555555555"), {}},
        };
        const BL_AuthContext::TeamProjectIDs expected {{kOtherID, {kID, kThirdID}}, {kThirdID, {}}};
        QCOMPARE(BL_AuthContext::teamProjectIDsFromBackend(reply), expected);
    }

    void registrationFromBackend_data()
    {
        QTest::addColumn<QString>("nodeType");
        QTest::addColumn<std::optional<BL_NodeType>>("expected");
        QTest::newRow("mainNode") << "mainNode" << std::optional(BL_NodeType::mainNode);
        QTest::newRow("subNode") << "subNode" << std::optional(BL_NodeType::subNode);
        QTest::newRow("clientNode") << "clientNode" << std::optional(BL_NodeType::clientNode);
        // An unknown word must not turn the installation into a client node.
        QTest::newRow("unknown word") << "edgeNode" << std::optional<BL_NodeType>();
        QTest::newRow("other case") << "ClientNode" << std::optional<BL_NodeType>();
        QTest::newRow("empty") << "" << std::optional<BL_NodeType>();
    }
    void registrationFromBackend()
    {
        QFETCH(QString, nodeType);
        QFETCH(std::optional<BL_NodeType>, expected);
        const auto registration
            = BL_NodeRegistration::fromBackendReply(QStringLiteral("6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c"),
                QStringLiteral("inst-1"), nodeType, QStringLiteral("ada@example.com"), at(5), std::nullopt);
        QCOMPARE(registration.nodeType, expected);
        QCOMPARE(registration.id, kID);
        QCOMPARE(registration.instanceID, QStringLiteral("inst-1"));
        QCOMPARE(registration.userEmail, std::optional(QStringLiteral("ada@example.com")));
        QCOMPARE(registration.createdAt, std::optional(at(5)));
        QVERIFY(!registration.updatedAt);
    }

    void registrationWithUnusableIdGetsFreshIds()
    {
        const auto first = BL_NodeRegistration::fromBackendReply(QStringLiteral("node-7"), QStringLiteral("i"),
            QStringLiteral("mainNode"), std::nullopt, std::nullopt, std::nullopt);
        const auto second = BL_NodeRegistration::fromBackendReply(QStringLiteral("node-7"), QStringLiteral("i"),
            QStringLiteral("mainNode"), std::nullopt, std::nullopt, std::nullopt);
        QVERIFY(!first.id.isNull());
        QVERIFY(first.id != second.id);
        QCOMPARE(first.id.version(), QUuid::Random);
    }

    void registrationJson()
    {
        const BL_NodeRegistration registration {
            kID, QStringLiteral("inst"), BL_NodeType::subNode, std::nullopt, at(1.5), at(2)};
        QCOMPARE(Json::write(registration.toJson()),
            QByteArray(R"({"createdAt":1.5,"id":"6F1C2A9E-3B7D-4C1E-9A52-0D8E7F6A5B4C",)"
                       R"("instanceID":"inst","nodeType":"subNode","updatedAt":2})"));
        QCOMPARE(*BL_NodeRegistration::fromJson(registration.toJson()), registration);

        BL_NodeRegistration unknownType = registration;
        unknownType.nodeType.reset();
        QVERIFY(!unknownType.toJson().contains(QStringLiteral("nodeType")));
        QCOMPARE(*BL_NodeRegistration::fromJson(unknownType.toJson()), unknownType);
        QVERIFY(unknownType != registration);

        QCOMPARE(BL_NodeRegistration::fromJson(
                     parse(R"({"id":"6F1C2A9E-3B7D-4C1E-9A52-0D8E7F6A5B4C","instanceID":"i","nodeType":"MainNode"})"))
                     .errorMessage(),
            QStringLiteral("Invalid nodeType value: MainNode"));
    }

    void contextRoundTrips()
    {
        const BL_AuthContext context = sampleContext();
        const QByteArray written = Json::write(context.toJson());
        QVERIFY(written.contains(R"("teamProjectIDsByTeamID":{"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D":)"
                                 R"(["6F1C2A9E-3B7D-4C1E-9A52-0D8E7F6A5B4C","99999999-8888-4777-8666-555555555555"],)"
                                 R"("99999999-8888-4777-8666-555555555555":[]})"));
        const auto read = BL_AuthContext::fromJson(parse(written));
        QVERIFY2(read.ok(), qPrintable(read.errorMessage()));
        QCOMPARE(*read, context);
        QCOMPARE(Json::write(read->toJson()), written);

        const BL_GoogleAuthExchangeResult exchange {
            BL_AuthSession {QStringLiteral("tok"), std::nullopt, at(99)}, context};
        const auto exchangeRead = BL_GoogleAuthExchangeResult::fromJson(parse(Json::write(exchange.toJson())));
        QVERIFY2(exchangeRead.ok(), qPrintable(exchangeRead.errorMessage()));
        QCOMPARE(*exchangeRead, exchange);
        QCOMPARE(qHash(*exchangeRead), qHash(exchange));
    }

    void contextFailuresNameTheirPlace_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("message");
        QTest::newRow("team without name")
            << "teams" << QByteArray(R"([{"id":"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D","createdAt":0,"updatedAt":0}])")
            << "teams[0]: Missing value for key \"name\"";
        QTest::newRow("membership role capitalised")
            << "memberships"
            << QByteArray(
                   R"([{"teamID":"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D",)"
                   R"("userID":"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D","role":"Admin","createdAt":0,"updatedAt":0}])")
            << "memberships[0]: Invalid role value: Admin";
        QTest::newRow("grant that is not an object")
            << "projectGrants" << QByteArray(R"(["x"])") << "projectGrants[0]: Expected an object";
        QTest::newRow("user without name")
            << "user" << QByteArray(R"({"id":"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D","createdAt":0,"updatedAt":0})")
            << "user: Missing value for key \"name\"";
        QTest::newRow("team key not a UUID") << "teamProjectIDsByTeamID" << QByteArray(R"({"core":[]})")
                                             << "Invalid UUID key in \"teamProjectIDsByTeamID\": core";
        QTest::newRow("project id not a UUID")
            << "teamProjectIDsByTeamID" << QByteArray(R"({"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D":["p"]})")
            << "Expected a UUID text in \"teamProjectIDsByTeamID\"";
        QTest::newRow("projects not an array")
            << "teamProjectIDsByTeamID" << QByteArray(R"({"0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D":"p"})")
            << "Expected an array in \"teamProjectIDsByTeamID\"";
        QTest::newRow("missing map") << "teamProjectIDsByTeamID" << QByteArray()
                                     << "Missing value for key \"teamProjectIDsByTeamID\"";
    }
    void contextFailuresNameTheirPlace()
    {
        QFETCH(QString, key);
        QFETCH(QByteArray, value);
        QFETCH(QString, message);
        QJsonObject json = sampleContext().toJson();
        if (value.isEmpty())
            json.remove(key);
        else
            json.insert(key, parse(value));
        QCOMPARE(BL_AuthContext::fromJson(json).errorMessage(), message);
    }

    void contextHashIgnoresMapOrder()
    {
        BL_AuthContext a = sampleContext();
        BL_AuthContext b = a;
        b.teamProjectIDsByTeamID.clear();
        b.teamProjectIDsByTeamID.insert(kThirdID, {});
        b.teamProjectIDsByTeamID.insert(kOtherID, {kID, kThirdID});
        QCOMPARE(a, b);
        QCOMPARE(qHash(a, 11), qHash(b, 11));

        BL_AuthContext reordered = a;
        std::swap(reordered.projectGrants[0], reordered.projectGrants[1]);
        QVERIFY(reordered != a);
        QCOMPARE(QSet<BL_AuthContext>({a, b, reordered}).size(), 2);
    }
};

QTEST_GUILESS_MAIN(AuthTest)
#include "tst_auth.moc"
