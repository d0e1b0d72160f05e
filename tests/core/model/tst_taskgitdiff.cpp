#include "common/Json.h"
#include "model/BL_TaskGitDiff.h"

#include <QSet>
#include <QtTest>
#include <limits>

Q_DECLARE_METATYPE(std::optional<BL_TaskGitDiffState>)

namespace {

BL_TaskGitCheckpoint checkpoint(double seconds, const QString &commit)
{
    return BL_TaskGitCheckpoint {TimePoint::fromReferenceSeconds(seconds), commit, QStringLiteral("head1"), true};
}

BL_TaskGitDiffArtifact pendingArtifact()
{
    BL_TaskGitDiffArtifact artifact;
    artifact.state = BL_TaskGitDiffState::pending;
    artifact.repositoryRootPath = QStringLiteral("/work/repo");
    artifact.before
        = BL_TaskGitCheckpoint {TimePoint::fromReferenceSeconds(0), QStringLiteral("abc"), std::nullopt, false};
    artifact.isExact = true;
    return artifact;
}

BL_TaskGitDiffArtifact readyArtifact()
{
    BL_TaskGitDiffArtifact artifact = pendingArtifact();
    artifact.state = BL_TaskGitDiffState::ready;
    artifact.after = checkpoint(745000000.125, QStringLiteral("def"));
    artifact.diffFilePath = QStringLiteral("/data/task-logs/w/t.git.diff.patch");
    artifact.summary = BL_TaskGitDiffSummary {12, 3, 2};
    return artifact;
}

const QByteArray kPendingJson = R"({"before":{"capturedAt":0,"syntheticCommit":"abc","workingTreeDirty":false},)"
                                R"("isExact":true,"repositoryRootPath":"\/work\/repo","state":"pending"})";

} // namespace

class TaskGitDiffTest : public QObject
{
    Q_OBJECT

private slots:
    void stateRawValues_data()
    {
        QTest::addColumn<QString>("raw");
        QTest::addColumn<std::optional<BL_TaskGitDiffState>>("state");
        QTest::newRow("pending") << "pending" << std::optional(BL_TaskGitDiffState::pending);
        QTest::newRow("ready") << "ready" << std::optional(BL_TaskGitDiffState::ready);
        QTest::newRow("unavailable") << "unavailable" << std::optional(BL_TaskGitDiffState::unavailable);
        QTest::newRow("failed") << "failed" << std::optional(BL_TaskGitDiffState::failed);
        QTest::newRow("capitalised") << "Ready" << std::optional<BL_TaskGitDiffState>();
        QTest::newRow("padded") << " ready" << std::optional<BL_TaskGitDiffState>();
        QTest::newRow("empty") << "" << std::optional<BL_TaskGitDiffState>();
    }
    void stateRawValues()
    {
        QFETCH(QString, raw);
        QFETCH(std::optional<BL_TaskGitDiffState>, state);
        QCOMPARE(taskGitDiffStateFromRaw(raw), state);
        if (state)
            QCOMPARE(rawValue(*state), raw);
    }

    void artifactJsonIsExact()
    {
        QCOMPARE(Json::write(pendingArtifact().toJson()), kPendingJson);
        QCOMPARE(Json::write(readyArtifact().toJson()),
            QByteArray(R"({"after":{"capturedAt":745000000.125,"headCommit":"head1","syntheticCommit":"def",)"
                       R"("workingTreeDirty":true},)"
                       R"("before":{"capturedAt":0,"syntheticCommit":"abc","workingTreeDirty":false},)"
                       R"("diffFilePath":"\/data\/task-logs\/w\/t.git.diff.patch","isExact":true,)"
                       R"("repositoryRootPath":"\/work\/repo","state":"ready",)"
                       R"("summary":{"filesChanged":2,"linesAdded":12,"linesRemoved":3}})"));
    }

    void artifactsRoundTripThroughMetadata_data()
    {
        QTest::addColumn<BL_TaskGitDiffArtifact>("artifact");
        QTest::newRow("pending") << pendingArtifact();
        QTest::newRow("ready") << readyArtifact();
        BL_TaskGitDiffArtifact unavailable;
        unavailable.state = BL_TaskGitDiffState::unavailable;
        unavailable.errorMessage = QStringLiteral("Not a git repository");
        QTest::newRow("unavailable") << unavailable;
        BL_TaskGitDiffArtifact failed = pendingArtifact();
        failed.state = BL_TaskGitDiffState::failed;
        failed.isExact = false;
        failed.before->capturedAt = TimePoint::fromReferenceSeconds(-86400.75);
        failed.errorMessage = QStringLiteral("git diff failed: \"quoted\"\nsecond line");
        QTest::newRow("failed, before 2001") << failed;
    }
    void artifactsRoundTripThroughMetadata()
    {
        QFETCH(BL_TaskGitDiffArtifact, artifact);
        const QByteArray metadata = BL_TaskGitDiffArtifact::encode(artifact, R"({"workspace_id":"w"})");
        const auto decoded = BL_TaskGitDiffArtifact::decode(metadata);
        QVERIFY(decoded);
        QCOMPARE(*decoded, artifact);
        QCOMPARE(qHash(*decoded, 3), qHash(artifact, 3));
    }

    void pendingArtifactStoresOnlyItsFields()
    {
        const QByteArray metadata = BL_TaskGitDiffArtifact::encode(pendingArtifact(), "{}");
        QCOMPARE(metadata, QByteArray(R"({"git_diff_artifact":)" + kPendingJson + "}"));
        for (const char *key : {"after", "diffFilePath", "summary", "errorMessage", "null"})
            QVERIFY2(!metadata.contains(QByteArray("\"") + key + "\""), key);
    }

    void datesBeforeAndAtTheReferenceDate()
    {
        BL_TaskGitDiffArtifact artifact = pendingArtifact();
        artifact.before->capturedAt = TimePoint::fromIso8601(u"2001-01-01T00:00:00Z").value();
        QVERIFY(Json::write(artifact.toJson()).contains(R"("capturedAt":0,)"));
        artifact.before->capturedAt = TimePoint::fromIso8601(u"2000-12-31T23:59:59.5Z").value();
        QVERIFY(Json::write(artifact.toJson()).contains(R"("capturedAt":-0.5,)"));
    }

    void decodeGivesNothingForUnusableMetadata_data()
    {
        QTest::addColumn<QByteArray>("metadata");
        QTest::newRow("empty object") << QByteArray("{}");
        QTest::newRow("empty bytes") << QByteArray();
        QTest::newRow("not JSON") << QByteArray("git_diff_artifact");
        QTest::newRow("top-level array") << QByteArray(R"([{"git_diff_artifact":{}}])");
        QTest::newRow("bare string") << QByteArray(R"("x")");
        QTest::newRow("artifact is a string") << QByteArray(R"({"git_diff_artifact":"{}"})");
        QTest::newRow("artifact is a number") << QByteArray(R"({"git_diff_artifact":1})");
        QTest::newRow("artifact is null") << QByteArray(R"({"git_diff_artifact":null})");
        QTest::newRow("artifact is an array") << QByteArray(R"({"git_diff_artifact":[]})");
        QTest::newRow("no state") << QByteArray(R"({"git_diff_artifact":{"isExact":true}})");
        QTest::newRow("no isExact") << QByteArray(R"({"git_diff_artifact":{"state":"ready"}})");
        QTest::newRow("unknown state") << QByteArray(R"({"git_diff_artifact":{"state":"Ready","isExact":true}})");
        QTest::newRow("isExact as text") << QByteArray(R"({"git_diff_artifact":{"state":"ready","isExact":"true"}})");
        QTest::newRow("date as text") << QByteArray(
            R"({"git_diff_artifact":{"state":"pending","isExact":true,"before":{"capturedAt":"2024-01-01T00:00:00Z",)"
            R"("syntheticCommit":"a","workingTreeDirty":false}}})");
        QTest::newRow("date beyond year 9999")
            << QByteArray(R"({"git_diff_artifact":{"state":"pending","isExact":true,"before":{"capturedAt":1e300,)"
                          R"("syntheticCommit":"a","workingTreeDirty":false}}})");
        QTest::newRow("checkpoint missing commit")
            << QByteArray(R"({"git_diff_artifact":{"state":"pending","isExact":true,"before":{"capturedAt":1,)"
                          R"("workingTreeDirty":false}}})");
        QTest::newRow("checkpoint is a text")
            << QByteArray(R"({"git_diff_artifact":{"state":"pending","isExact":true,"before":"abc"}})");
        QTest::newRow("fractional line count")
            << QByteArray(R"({"git_diff_artifact":{"state":"ready","isExact":true,)"
                          R"("summary":{"linesAdded":1.5,"linesRemoved":0,"filesChanged":1}}})");
        QTest::newRow("line count beyond 64 bits")
            << QByteArray(R"({"git_diff_artifact":{"state":"ready","isExact":true,)"
                          R"("summary":{"linesAdded":1e19,"linesRemoved":0,"filesChanged":1}}})");
        QTest::newRow("summary missing a count") << QByteArray(
            R"({"git_diff_artifact":{"state":"ready","isExact":true,"summary":{"linesAdded":1,"linesRemoved":0}}})");
    }
    void decodeGivesNothingForUnusableMetadata()
    {
        QFETCH(QByteArray, metadata);
        QVERIFY(!BL_TaskGitDiffArtifact::decode(metadata));
    }

    void decodeReadsNullsAsAbsentAndIgnoresUnknownKeys()
    {
        const auto artifact = BL_TaskGitDiffArtifact::decode(
            R"({"other":1,"git_diff_artifact":{"state":"failed","isExact":false,"errorMessage":null,"before":null,)"
            R"("repositoryRootPath":"\/r","colour":"blue","summary":{"linesAdded":-1,"linesRemoved":)"
            R"(9223372036854775807,"filesChanged":0,"extra":true}}})");
        QVERIFY(artifact);
        QCOMPARE(artifact->state, BL_TaskGitDiffState::failed);
        QVERIFY(!artifact->errorMessage);
        QVERIFY(!artifact->before);
        QCOMPARE(artifact->repositoryRootPath, QStringLiteral("/r"));
        QCOMPARE(artifact->summary, (BL_TaskGitDiffSummary {-1, std::numeric_limits<qint64>::max(), 0}));
    }

    void nestedFailureNamesItsField()
    {
        const auto artifact = BL_TaskGitDiffArtifact::fromJson(Json::parseFragment(
            R"({"state":"ready","isExact":true,"after":{"capturedAt":1,"syntheticCommit":2,"workingTreeDirty":true}})")
                                                                   .value());
        QVERIFY(!artifact.ok());
        QCOMPARE(artifact.errorMessage(), QStringLiteral("after: Expected a text for key \"syntheticCommit\""));
        const auto state
            = BL_TaskGitDiffArtifact::fromJson(Json::parseFragment(R"({"state":"Queued","isExact":true})").value());
        QCOMPARE(state.errorMessage(), QStringLiteral("Invalid state value: Queued"));
    }

    void encodeRewritesMetadata_data()
    {
        QTest::addColumn<QByteArray>("metadata");
        QTest::addColumn<bool>("withArtifact");
        QTest::addColumn<QByteArray>("expected");
        const QByteArray artifact = R"("git_diff_artifact":)" + kPendingJson;
        QTest::newRow("into empty object") << QByteArray("{}") << true << QByteArray("{" + artifact + "}");
        QTest::newRow("into empty bytes") << QByteArray() << true << QByteArray("{" + artifact + "}");
        QTest::newRow("into non-JSON") << QByteArray("oops") << true << QByteArray("{" + artifact + "}");
        QTest::newRow("into an array drops it") << QByteArray(R"([1,2])") << true << QByteArray("{" + artifact + "}");
        QTest::newRow("other members sorted at every depth")
            << QByteArray(R"({ "z": {"b": 1, "a": [ {"d":1,"c":2} ]}, "a": "x/y" })") << true
            << QByteArray(R"({"a":"x\/y",)" + artifact + R"(,"z":{"a":[{"c":2,"d":1}],"b":1}})");
        QTest::newRow("replaces an earlier artifact") << QByteArray(R"({"git_diff_artifact":{"state":"ready"},"k":1})")
                                                      << true << QByteArray("{" + artifact + R"(,"k":1})");
        QTest::newRow("removing a missing artifact still rewrites")
            << QByteArray("{\n  \"b\" : 2,\n  \"a\" : 1\n}") << false << QByteArray(R"({"a":1,"b":2})");
        QTest::newRow("removes the artifact") << QByteArray(R"({"git_diff_artifact":{"state":"pending"},"k":null})")
                                              << false << QByteArray(R"({"k":null})");
        QTest::newRow("removing from non-JSON gives an empty object")
            << QByteArray("oops") << false << QByteArray("{}");
    }
    void encodeRewritesMetadata()
    {
        QFETCH(QByteArray, metadata);
        QFETCH(bool, withArtifact);
        QFETCH(QByteArray, expected);
        const auto artifact = withArtifact ? std::optional(pendingArtifact()) : std::nullopt;
        QCOMPARE(BL_TaskGitDiffArtifact::encode(artifact, metadata), expected);
    }

    void encodeKeepsMetadataForAnArtifactItCouldNotReadBack_data()
    {
        QTest::addColumn<double>("seconds");
        QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN();
        QTest::newRow("infinite") << std::numeric_limits<double>::infinity();
        QTest::newRow("beyond year 9999") << 1e300;
    }
    void encodeKeepsMetadataForAnArtifactItCouldNotReadBack()
    {
        QFETCH(double, seconds);
        const QByteArray stored = BL_TaskGitDiffArtifact::encode(readyArtifact(), R"({"k":1})");
        BL_TaskGitDiffArtifact broken = readyArtifact();
        broken.after->capturedAt = TimePoint::fromReferenceSeconds(seconds);
        QCOMPARE(BL_TaskGitDiffArtifact::encode(broken, stored), stored);
        broken = readyArtifact();
        broken.before->capturedAt = TimePoint::fromReferenceSeconds(seconds);
        QCOMPARE(BL_TaskGitDiffArtifact::encode(broken, stored), stored);
    }

    void equalityAndHashingCoverEveryField()
    {
        const BL_TaskGitDiffArtifact base = readyArtifact();
        QList<BL_TaskGitDiffArtifact> variants;
        auto vary = [&](auto change) {
            BL_TaskGitDiffArtifact copy = base;
            change(copy);
            variants.append(copy);
        };
        vary([](auto &a) { a.state = BL_TaskGitDiffState::failed; });
        vary([](auto &a) { a.repositoryRootPath.reset(); });
        vary([](auto &a) { a.before->headCommit = QStringLiteral("other"); });
        vary([](auto &a) { a.after->workingTreeDirty = false; });
        vary([](auto &a) { a.after->capturedAt = a.after->capturedAt.addSeconds(0.001); });
        vary([](auto &a) { a.diffFilePath = QString(); });
        vary([](auto &a) { a.summary->filesChanged = 3; });
        vary([](auto &a) { a.isExact = false; });
        vary([](auto &a) { a.errorMessage = QString(); });
        QSet<BL_TaskGitDiffArtifact> set {base};
        for (const auto &variant : variants) {
            QVERIFY(variant != base);
            set.insert(variant);
        }
        QCOMPARE(set.size(), variants.size() + 1);
        QVERIFY(set.contains(readyArtifact()));
    }
};

QTEST_GUILESS_MAIN(TaskGitDiffTest)
#include "tst_taskgitdiff.moc"
