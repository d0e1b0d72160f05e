#include "common/Json.h"
#include "model/BL_Team.h"

#include <QSet>
#include <QtTest>

Q_DECLARE_METATYPE(std::optional<BL_TeamMembershipRole>)

namespace {

const QUuid kID(QStringLiteral("{6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c}"));
const QUuid kOtherID(QStringLiteral("{0a1b2c3d-4e5f-4a6b-8c7d-9e0f1a2b3c4d}"));

// Test JSON with "@ID@" and "@OTHER@" standing for the two sample UUIDs.
QByteArray sample(QByteArray text)
{
    return text.replace("@ID@", "6F1C2A9E-3B7D-4C1E-9A52-0D8E7F6A5B4C")
        .replace("@OTHER@", "0A1B2C3D-4E5F-4A6B-8C7D-9E0F1A2B3C4D");
}

QJsonValue parse(const QByteArray &text)
{
    const auto value = Json::parseFragment(sample(text));
    if (!value)
        qFatal("test JSON does not parse: %s", text.constData());
    return *value;
}

// The message of a failed read of `json` as the named record; empty on success.
QString readError(const QString &record, const QJsonValue &json)
{
    if (record == u"organization")
        return BL_Organization::fromJson(json).errorMessage();
    if (record == u"team")
        return BL_Team::fromJson(json).errorMessage();
    if (record == u"user")
        return BL_User::fromJson(json).errorMessage();
    if (record == u"membership")
        return BL_TeamMembership::fromJson(json).errorMessage();
    qFatal("unknown record");
}

BL_User minimalUser()
{
    return BL_User {kID, std::nullopt, std::nullopt, QStringLiteral("Ada"), std::nullopt, std::nullopt, std::nullopt,
        TimePoint::fromReferenceSeconds(700000000.5), TimePoint::fromReferenceSeconds(700000001)};
}

} // namespace

class TeamTest : public QObject
{
    Q_OBJECT

private slots:
    void roleRawValues_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<std::optional<BL_TeamMembershipRole>>("role");
        QTest::newRow("owner") << "owner" << std::optional(BL_TeamMembershipRole::owner);
        QTest::newRow("admin") << "admin" << std::optional(BL_TeamMembershipRole::admin);
        QTest::newRow("member") << "member" << std::optional(BL_TeamMembershipRole::member);
        QTest::newRow("viewer") << "viewer" << std::optional(BL_TeamMembershipRole::viewer);
        QTest::newRow("capitalised") << "Owner" << std::optional<BL_TeamMembershipRole>();
        QTest::newRow("padded") << "viewer " << std::optional<BL_TeamMembershipRole>();
        QTest::newRow("other word") << "editor" << std::optional<BL_TeamMembershipRole>();
    }
    void roleRawValues()
    {
        QFETCH(QString, raw);
        QFETCH(std::optional<BL_TeamMembershipRole>, role);
        QCOMPARE(teamMembershipRoleFromRaw(raw), role);
        if (role)
            QCOMPARE(rawValue(*role), raw);
    }

    void rolesListedInOrder()
    {
        QCOMPARE(allTeamMembershipRoles(),
            (QList<BL_TeamMembershipRole> {BL_TeamMembershipRole::owner, BL_TeamMembershipRole::admin,
                BL_TeamMembershipRole::member, BL_TeamMembershipRole::viewer}));
    }

    void makeSlug_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("slug");
        QTest::newRow("two words") << "Acme Corp"
                                   << "acme-corp";
        QTest::newRow("padding and punctuation") << "  Hello, World!  "
                                                 << "hello-world";
        QTest::newRow("dashes and underscores") << "--Team__42--"
                                                << "team-42";
        QTest::newRow("upper case") << "ORG"
                                    << "org";
        QTest::newRow("precomposed accent") << QStringLiteral("Caf\u00e9 Bar") << "caf-bar";
        QTest::newRow("line breaks and tabs") << "\n\tAlpha\tBeta\r\n"
                                              << "alpha-beta";
        QTest::newRow("emoji between words") << QStringLiteral("a\U0001F600\U0001F600b") << "a-b";
        QTest::newRow("empty") << ""
                               << "org";
        QTest::newRow("spaces only") << "    "
                                     << "org";
        QTest::newRow("dashes only") << "---"
                                     << "org";
        QTest::newRow("non-Latin only") << QStringLiteral("\u6771\u4eac\u30c1\u30fc\u30e0") << "org";
        QTest::newRow("non-ASCII digits") << QStringLiteral("team \u0661\u0662") << "team";
    }
    void makeSlug()
    {
        QFETCH(QString, name);
        QFETCH(QString, slug);
        QCOMPARE(BL_Organization::makeSlug(name), slug);
    }

    void recordsRoundTripExactly_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QByteArray>("json");
        QTest::newRow("organization")
            << "organization"
            << QByteArray(R"({"createdAt":1.25,"id":"@ID@","name":"Acme Corp","slug":"acme-corp","updatedAt":2})");
        QTest::newRow("team without organization")
            << "team" << QByteArray(R"({"createdAt":-3.5,"id":"@ID@","name":"Core","updatedAt":0})");
        QTest::newRow("team with organization")
            << "team"
            << QByteArray(R"({"createdAt":0,"id":"@ID@","name":"Core","organizationID":"@OTHER@","updatedAt":0})");
        QTest::newRow("minimal user")
            << "user" << QByteArray(R"({"createdAt":700000000.5,"id":"@ID@","name":"Ada","updatedAt":700000001})");
        QTest::newRow("full user")
            << "user"
            << QByteArray(R"({"authProvider":"google","avatarURL":"https:\/\/x.test\/a.png","createdAt":1,)"
                          R"("email":"Ada@Example.com","googleSubjectID":"sub-1","id":"@ID@","name":"  Ada ",)"
                          R"("providerSubject":"p-1","updatedAt":1})");
        QTest::newRow("membership")
            << "membership"
            << QByteArray(R"({"createdAt":1,"role":"viewer","teamID":"@ID@","updatedAt":2,"userID":"@OTHER@"})");
    }
    void recordsRoundTripExactly()
    {
        QFETCH(QString, record);
        QFETCH(QByteArray, json);
        const QJsonValue value = parse(json);
        QByteArray written;
        if (record == u"organization")
            written = Json::write(BL_Organization::fromJson(value)->toJson());
        else if (record == u"team")
            written = Json::write(BL_Team::fromJson(value)->toJson());
        else if (record == u"user")
            written = Json::write(BL_User::fromJson(value)->toJson());
        else
            written = Json::write(BL_TeamMembership::fromJson(value)->toJson());
        QCOMPARE(written, sample(json));
    }

    void readingNormalisesOnlyUuidCaseAndDropsUnknownKeys()
    {
        const auto organization = BL_Organization::fromJson(
            parse(R"({"id":"6f1c2a9e-3b7d-4c1e-9a52-0d8e7f6a5b4c","name":" X ","slug":"x","teamCount":4,)"
                  R"("createdAt":0,"updatedAt":0})"));
        QVERIFY2(organization.ok(), qPrintable(organization.errorMessage()));
        QCOMPARE(organization->id, kID);
        QCOMPARE(organization->name, QStringLiteral(" X "));
        const QByteArray written = Json::write(organization->toJson());
        QVERIFY(written.contains("6F1C2A9E-3B7D-4C1E-9A52-0D8E7F6A5B4C"));
        QVERIFY(!written.contains("teamCount"));

        const auto team
            = BL_Team::fromJson(parse(R"({"id":"@ID@","organizationID":null,"name":"T","createdAt":0,"updatedAt":0})"));
        QVERIFY(team.ok());
        QVERIFY(!team->organizationID);
        QVERIFY(!team->toJson().contains(QStringLiteral("organizationID")));

        const auto user = BL_User::fromJson(minimalUser().toJson());
        QVERIFY(user.ok());
        QCOMPARE(*user, minimalUser());
        QCOMPARE(minimalUser().toJson().keys(), (QStringList {"createdAt", "id", "name", "updatedAt"}));
    }

    void strictFailures_data()
    {
        QTest::addColumn<QString>("record");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("message");
        QTest::newRow("organization without slug")
            << "organization" << QByteArray(R"({"id":"@ID@","name":"n","createdAt":0,"updatedAt":0})")
            << "Missing value for key \"slug\"";
        QTest::newRow("organization with null name")
            << "organization" << QByteArray(R"({"id":"@ID@","name":null,"slug":"s","createdAt":0,"updatedAt":0})")
            << "Expected a text for key \"name\"";
        QTest::newRow("team with ISO date")
            << "team" << QByteArray(R"({"id":"@ID@","name":"n","createdAt":"2024-01-01T00:00:00Z","updatedAt":0})")
            << "Expected a number for key \"createdAt\"";
        QTest::newRow("team with short organization id")
            << "team"
            << QByteArray(R"({"id":"@ID@","organizationID":"0A1B2C3D","name":"n","createdAt":0,"updatedAt":0})")
            << "Invalid UUID for key \"organizationID\": 0A1B2C3D";
        QTest::newRow("team with id without dashes")
            << "team"
            << QByteArray(R"({"id":"6F1C2A9E3B7D4C1E9A520D8E7F6A5B4C","name":"n","createdAt":0,"updatedAt":0})")
            << "Invalid UUID for key \"id\": 6F1C2A9E3B7D4C1E9A520D8E7F6A5B4C";
        QTest::newRow("user with numeric email")
            << "user" << QByteArray(R"({"id":"@ID@","email":5,"name":"n","createdAt":0,"updatedAt":0})")
            << "Expected a text for key \"email\"";
        QTest::newRow("user with date before year 1")
            << "user" << QByteArray(R"({"id":"@ID@","name":"n","createdAt":-1e12,"updatedAt":0})")
            << "Invalid date for key \"createdAt\"";
        QTest::newRow("membership with capitalised role")
            << "membership"
            << QByteArray(R"({"teamID":"@ID@","userID":"@OTHER@","role":"Owner","createdAt":0,"updatedAt":0})")
            << "Invalid role value: Owner";
        QTest::newRow("membership with null role")
            << "membership"
            << QByteArray(R"({"teamID":"@ID@","userID":"@OTHER@","role":null,"createdAt":0,"updatedAt":0})")
            << "Expected a text for key \"role\"";
        QTest::newRow("membership without user")
            << "membership" << QByteArray(R"({"teamID":"@ID@","role":"owner","createdAt":0,"updatedAt":0})")
            << "Missing value for key \"userID\"";
        QTest::newRow("array in place of a record") << "user" << QByteArray("[]") << "Expected an object";
    }
    void strictFailures()
    {
        QFETCH(QString, record);
        QFETCH(QByteArray, json);
        QFETCH(QString, message);
        QCOMPARE(readError(record, parse(json)), message);
    }

    void equalityCoversEveryField()
    {
        BL_User a = minimalUser();
        BL_User b = a;
        QCOMPARE(qHash(a), qHash(b));
        b.avatarURL = QStringLiteral("https://x.test/a.png");
        QVERIFY(a != b);
        b.avatarURL = QString();
        QVERIFY(a != b);

        const BL_Organization first {
            kID, "Acme", "acme", TimePoint::fromReferenceSeconds(1), TimePoint::fromReferenceSeconds(2)};
        BL_Organization second = first;
        second.updatedAt = TimePoint::fromReferenceSeconds(3);
        QVERIFY(first != second);
        QCOMPARE(QSet<BL_Organization>({first, second, first}).size(), 2);

        const BL_TeamMembership membership {kID, kOtherID, BL_TeamMembershipRole::admin,
            TimePoint::fromReferenceSeconds(1), TimePoint::fromReferenceSeconds(1)};
        BL_TeamMembership swapped = membership;
        std::swap(swapped.teamID, swapped.userID);
        QVERIFY(membership != swapped);
        BL_TeamMembership otherRole = membership;
        otherRole.role = BL_TeamMembershipRole::owner;
        QCOMPARE(QSet<BL_TeamMembership>({membership, swapped, otherRole}).size(), 3);
    }
};

QTEST_GUILESS_MAIN(TeamTest)
#include "tst_team.moc"
