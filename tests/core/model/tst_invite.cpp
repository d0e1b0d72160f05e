#include "common/Json.h"
#include "model/BL_Invite.h"

#include <QRegularExpression>
#include <QSet>
#include <QtTest>

Q_DECLARE_METATYPE(std::optional<BL_InviteStatus>)
Q_DECLARE_METATYPE(std::optional<BL_NodeStatus>)

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

BL_Invite bareInvite()
{
    BL_Invite invite;
    invite.id = kID;
    invite.token = QStringLiteral("0123456789abcdef0123456789abcdef");
    invite.role = BL_TeamMembershipRole::viewer;
    invite.status = BL_InviteStatus::pending;
    invite.inviteURL = QString();
    invite.expiresAt = TimePoint::fromReferenceSeconds(800000000);
    invite.createdAt = TimePoint::fromReferenceSeconds(700000000.5);
    invite.updatedAt = TimePoint::fromReferenceSeconds(700000000.5);
    return invite;
}

} // namespace

class InviteTest : public QObject
{
    Q_OBJECT

private slots:
    void inviteStatusRawValues_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<std::optional<BL_InviteStatus>>("status");
        QTest::newRow("pending") << "pending" << std::optional(BL_InviteStatus::pending);
        QTest::newRow("accepted") << "accepted" << std::optional(BL_InviteStatus::accepted);
        QTest::newRow("expired") << "expired" << std::optional(BL_InviteStatus::expired);
        QTest::newRow("revoked") << "revoked" << std::optional(BL_InviteStatus::revoked);
        QTest::newRow("capitalised") << "Revoked" << std::optional<BL_InviteStatus>();
        QTest::newRow("other word") << "cancelled" << std::optional<BL_InviteStatus>();
    }
    void inviteStatusRawValues()
    {
        QFETCH(QString, raw);
        QFETCH(std::optional<BL_InviteStatus>, status);
        QCOMPARE(inviteStatusFromRaw(raw), status);
        if (status)
            QCOMPARE(rawValue(*status), raw);
    }

    void nodeStatusRawValues_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<std::optional<BL_NodeStatus>>("status");
        QTest::newRow("online") << "online" << std::optional(BL_NodeStatus::online);
        QTest::newRow("offline") << "offline" << std::optional(BL_NodeStatus::offline);
        QTest::newRow("unknown") << "unknown" << std::optional(BL_NodeStatus::unknown);
        QTest::newRow("capitalised") << "Online" << std::optional<BL_NodeStatus>();
        QTest::newRow("padded") << "unknown " << std::optional<BL_NodeStatus>();
    }
    void nodeStatusRawValues()
    {
        QFETCH(QString, raw);
        QFETCH(std::optional<BL_NodeStatus>, status);
        QCOMPARE(nodeStatusFromRaw(raw), status);
        if (status)
            QCOMPARE(rawValue(*status), raw);
    }

    void bareInviteLeavesOptionalKeysOut()
    {
        const QByteArray written = Json::write(bareInvite().toJson());
        QCOMPARE(written,
            sample(R"({"createdAt":700000000.5,"expiresAt":800000000,"id":"@ID@","inviteURL":"",)"
                   R"("role":"viewer","status":"pending","token":"0123456789abcdef0123456789abcdef",)"
                   R"("updatedAt":700000000.5})"));
        const auto read = BL_Invite::fromJson(parse(written));
        QVERIFY2(read.ok(), qPrintable(read.errorMessage()));
        QCOMPARE(*read, bareInvite());
    }

    void fullInviteRoundTrips()
    {
        BL_Invite invite = bareInvite();
        invite.organizationID = kOtherID;
        invite.teamID = kID;
        invite.email = QStringLiteral("ada@example.com");
        invite.status = BL_InviteStatus::accepted;
        invite.inviteURL = QStringLiteral("https://x.test/invite?token=0123");
        invite.acceptedByUserID = kOtherID;
        const QByteArray written = Json::write(invite.toJson());
        QCOMPARE(written,
            sample(R"({"acceptedByUserID":"@OTHER@","createdAt":700000000.5,"email":"ada@example.com",)"
                   R"("expiresAt":800000000,"id":"@ID@","inviteURL":"https:\/\/x.test\/invite?token=0123",)"
                   R"("organizationID":"@OTHER@","role":"viewer","status":"accepted","teamID":"@ID@",)"
                   R"("token":"0123456789abcdef0123456789abcdef","updatedAt":700000000.5})"));
        const auto read = BL_Invite::fromJson(parse(written));
        QVERIFY(read.ok());
        QCOMPARE(*read, invite);
        QCOMPARE(qHash(*read), qHash(invite));
    }

    void mainNodeKeepsStoredValues()
    {
        const QByteArray stored
            = R"({"createdAt":1,"hostLabel":"studio-mac","id":"@ID@","lastHeartbeatAt":12.75,)"
              R"("name":"Primary Node","organizationID":"@OTHER@","status":"online","updatedAt":2})";
        const auto node = BL_MainNode::fromJson(parse(stored));
        QVERIFY2(node.ok(), qPrintable(node.errorMessage()));
        QCOMPARE(node->status, BL_NodeStatus::online);
        QCOMPARE(node->lastHeartbeatAt, std::optional(TimePoint::fromReferenceSeconds(12.75)));
        QCOMPARE(Json::write(node->toJson()), sample(stored));

        const BL_MainNode made {kID, kOtherID, QStringLiteral("Primary Node"), std::nullopt, BL_NodeStatus::unknown,
            std::nullopt, TimePoint::fromReferenceSeconds(1), TimePoint::fromReferenceSeconds(1)};
        QCOMPARE(
            made.toJson().keys(), (QStringList {"createdAt", "id", "name", "organizationID", "status", "updatedAt"}));
        QCOMPARE(*BL_MainNode::fromJson(made.toJson()), made);
    }

    void strictFailures_data()
    {
        QTest::addColumn<bool>("isInvite");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("message");
        const QByteArray invite = R"({"id":"@ID@","token":"t","role":"member","status":"pending","inviteURL":"",)"
                                  R"("expiresAt":1,"createdAt":0,"updatedAt":0})";
        auto inviteWith = [&](const char *from, const char *to) { return QByteArray(invite).replace(from, to); };
        QTest::newRow("capitalised status")
            << true << inviteWith(R"("pending")", R"("Revoked")") << "Invalid status value: Revoked";
        QTest::newRow("cancelled status")
            << true << inviteWith(R"("pending")", R"("cancelled")") << "Invalid status value: cancelled";
        QTest::newRow("unknown role") << true << inviteWith(R"("member")", R"("guest")") << "Invalid role value: guest";
        QTest::newRow("missing token") << true << inviteWith(R"("token":"t",)", "")
                                       << "Missing value for key \"token\"";
        QTest::newRow("null invite URL") << true << inviteWith(R"("inviteURL":"")", R"("inviteURL":null)")
                                         << "Expected a text for key \"inviteURL\"";
        QTest::newRow("expiry as text") << true << inviteWith(R"("expiresAt":1)", R"("expiresAt":"1")")
                                        << "Expected a number for key \"expiresAt\"";
        QTest::newRow("accepting user not a UUID")
            << true << inviteWith(R"("token")", R"("acceptedByUserID":"me","token")")
            << "Invalid UUID for key \"acceptedByUserID\": me";
        const QByteArray node = R"({"id":"@ID@","organizationID":"@OTHER@","name":"n","status":"unknown",)"
                                R"("createdAt":0,"updatedAt":0})";
        auto nodeWith = [&](const char *from, const char *to) { return QByteArray(node).replace(from, to); };
        QTest::newRow("node without organization")
            << false << nodeWith(R"("organizationID":"@OTHER@",)", "") << "Missing value for key \"organizationID\"";
        QTest::newRow("node status capitalised")
            << false << nodeWith(R"("unknown")", R"("Online")") << "Invalid status value: Online";
        QTest::newRow("heartbeat beyond year 9999")
            << false << nodeWith(R"("status")", R"("lastHeartbeatAt":1e17,"status")")
            << "Invalid date for key \"lastHeartbeatAt\"";
    }
    void strictFailures()
    {
        QFETCH(bool, isInvite);
        QFETCH(QByteArray, json);
        QFETCH(QString, message);
        const QJsonValue value = parse(json);
        QCOMPARE(isInvite ? BL_Invite::fromJson(value).errorMessage() : BL_MainNode::fromJson(value).errorMessage(),
            message);
    }

    void equalityCoversEveryField()
    {
        BL_Invite a = bareInvite();
        BL_Invite b = a;
        QCOMPARE(a, b);
        b.token = QStringLiteral("ffffffffffffffffffffffffffffffff");
        QVERIFY(a != b);
        BL_Invite c = a;
        c.email = QString();
        QVERIFY(a != c);
        QCOMPARE(QSet<BL_Invite>({a, b, c, a}).size(), 3);
    }

    void madeTokensAreThirtyTwoLowerHexDigits()
    {
        static const QRegularExpression shape(QStringLiteral("^[0-9a-f]{32}$"));
        QSet<QString> tokens;
        for (int i = 0; i < 50; ++i) {
            const QString token = BL_Invite::makeToken();
            QVERIFY2(shape.match(token).hasMatch(), qPrintable(token));
            tokens.insert(token);
        }
        QCOMPARE(tokens.size(), 50);
    }
};

QTEST_GUILESS_MAIN(InviteTest)
#include "tst_invite.moc"
