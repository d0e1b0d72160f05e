#include "AgentToolsFixture.h"
#include "agenttools/CodexBarUsageRunner.h"
#include "common/Json.h"
#include "common/ProcessRunner.h"

#include <QElapsedTimer>
#include <QtTest>
#include <ctime>

using namespace std::chrono_literals;
using AgentToolsFixture::CodexBarStandIn;
using AgentToolsFixture::fetched;
using AgentToolsFixture::j;

namespace {

const TimePoint kT0 = TimePoint::fromUnixSeconds(1700000000); // 2023-11-14T22:13:20Z
const QString kParsePrefix = QStringLiteral("Failed to parse codexbar JSON: ");

QJsonArray asJson(const QList<ModelUsageSnapshot> &snapshots)
{
    QJsonArray array;
    for (const ModelUsageSnapshot &snapshot : snapshots)
        array.append(snapshot.toJson());
    return array;
}

QJsonArray expectedArray(const QByteArray &json)
{
    return QJsonDocument::fromJson(json).array();
}

QString compact(const QJsonArray &array)
{
    return QString::fromUtf8(QJsonDocument(array).toJson(QJsonDocument::Compact));
}

} // namespace

class tst_CodexBarUsageRunner : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void parseSnapshots_data();
    void parseSnapshots();
    void numberRule_data();
    void numberRule();
    void dateRule_data();
    void dateRule();
    void extractJSON_data();
    void extractJSON();

    void fetchUsage_data();
    void fetchUsage();
    void notInstalled_data();
    void notInstalled();
    void foundOnPath();
    void pathWithAnEqualsSign();
    void floodIsCutAndReportedAsUnreadable_data();
    void floodIsCutAndReportedAsUnreadable();

    void responseJson();
    void readingRecords_data();
    void readingRecords();
};

void tst_CodexBarUsageRunner::initTestCase()
{
    // Far east of UTC: a month taken in local time would differ.
    qputenv("TZ", "Pacific/Kiritimati");
    ::tzset();
}

void tst_CodexBarUsageRunner::parseSnapshots_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("expected"); // the snapshots' JSON
    QTest::addColumn<QString>("error");

    const auto row = [](const char *name, const char *text, const char *expected) {
        QTest::newRow(name) << QString::fromUtf8(j(text)) << j(expected) << QString();
    };
    const auto failing = [](const char *name, const char *text, const char *error) {
        QTest::newRow(name) << QString::fromUtf8(j(text)) << QByteArray("[]") << QString::fromUtf8(error);
    };

    // The wrapper layout.
    row("wrapper with only a used percent", "{'usage': {'currentSession': {'usedPercent': 40}}}",
        "[{'checkedAt': 1700000000, 'provider': 'codex', 'currentSessionUsedPercent': 40, "
        "'currentSessionRemainingPercent': 60}]");
    row("wrapper keeps the remaining percent it gives",
        "{'usage': {'currentSession': {'usedPercent': 40, 'remainingPercent': 75}}}",
        "[{'checkedAt': 1700000000, 'provider': 'codex', 'currentSessionUsedPercent': 40, "
        "'currentSessionRemainingPercent': 75}]");
    row("wrapper in full",
        "{'checkedAt': '2025-03-04T10:20:30Z', 'provider': 'openai', 'usage': {'currentSession': {'usedPercent': "
        "'12.5', 'resetDescription': 'in 3 hours'}, 'monthly': {'usedCredits': '3.1', 'month': 'March', "
        "'remainingPercent': 80, 'remainingCredits': 12}}}",
        "[{'checkedAt': 1741083630, 'provider': 'openai', 'currentSessionUsedPercent': 12.5, "
        "'currentSessionRemainingPercent': 87.5, 'currentSessionResetDescription': 'in 3 hours', "
        "'monthlyUsedCredits': 3.1, 'month': 'March', 'monthlyRemainingPercent': 80, 'creditsLeft': 12}]");
    row("wrapper monthly that is not an object", "{'usage': {'currentSession': {'usedPercent': 130}, 'monthly': [1]}}",
        "[{'checkedAt': 1700000000, 'provider': 'codex', 'currentSessionUsedPercent': 130, "
        "'currentSessionRemainingPercent': 0}]");
    row("wrapper date with fractional seconds is not read",
        "{'checkedAt': '2025-03-04T10:20:30.5Z', 'usage': {'currentSession': {'usedPercent': true}}}",
        "[{'checkedAt': 1700000000, 'provider': 'codex', 'currentSessionUsedPercent': 1, "
        "'currentSessionRemainingPercent': 99}]");

    // The raw provider layout.
    row("raw used over 100", "{'usage': {'primary': {'usedPercent': 120}}}",
        "[{'checkedAt': 1700000000, 'provider': 'codex', 'currentSessionUsedPercent': 120, "
        "'currentSessionRemainingPercent': 0, 'month': '2023-11'}]");
    row("raw used below 0", "{'provider': 'codex', 'usage': {'primary': {'usedPercent': -10}}}",
        "[{'checkedAt': 1700000000, 'provider': 'codex', 'currentSessionUsedPercent': -10, "
        "'currentSessionRemainingPercent': 110, 'month': '2023-11'}]");
    row("raw used as text", "{'usage': {'primary': {'usedPercent': '12.5', 'resetDescription': 'soon'}}}",
        "[{'checkedAt': 1700000000, 'provider': 'codex', 'currentSessionUsedPercent': 12.5, "
        "'currentSessionRemainingPercent': 87.5, 'currentSessionResetDescription': 'soon', 'month': '2023-11'}]");
    row("used text with a leading blank gives nothing", "{'usage': {'primary': {'usedPercent': ' 12.5'}}}", "[]");
    row("used text with a percent sign gives nothing", "{'usage': {'currentSession': {'usedPercent': '12.5%'}}}", "[]");
    row("raw update time", "{'usage': {'updatedAt': '2025-03-04T10:20:30Z', 'primary': {'usedPercent': 5}}}",
        "[{'checkedAt': 1741083630, 'provider': 'codex', 'currentSessionUsedPercent': 5, "
        "'currentSessionRemainingPercent': 95, 'month': '2025-03'}]");
    row("fractional update time falls back to the dashboard's",
        "{'usage': {'updatedAt': '2025-03-04T10:20:30.5Z', 'primary': {'usedPercent': 5}}, 'openaiDashboard': "
        "{'updatedAt': '2025-02-01T00:00:00+02:00'}}",
        "[{'checkedAt': 1738360800, 'provider': 'codex', 'currentSessionUsedPercent': 5, "
        "'currentSessionRemainingPercent': 95, 'month': '2025-01'}]");
    row("fractional update time and no dashboard date: the fetch time",
        "{'usage': {'updatedAt': '2025-03-04T10:20:30.5Z', 'primary': {'usedPercent': 5}}}",
        "[{'checkedAt': 1700000000, 'provider': 'codex', 'currentSessionUsedPercent': 5, "
        "'currentSessionRemainingPercent': 95, 'month': '2023-11'}]");
    row("month in UTC, only its days summed",
        "{'usage': {'updatedAt': '2025-03-31T23:30:00Z', 'primary': {'usedPercent': 5}, 'secondary': "
        "{'usedPercent': 30}}, 'openaiDashboard': {'creditsRemaining': '7.5', 'usageBreakdown': [{'day': "
        "'2025-03-01', 'totalCreditsUsed': 1.5}, {'day': '2025-03-31', 'totalCreditsUsed': '2'}, {'day': "
        "'2025-04-01', 'totalCreditsUsed': 7}, {'day': '2025-03-15'}, {'day': 20250310, 'totalCreditsUsed': 4}, "
        "{'day': '2025-03-20', 'totalCreditsUsed': 'lots'}]}, 'credits': {'remaining': 12}}",
        "[{'checkedAt': 1743463800, 'provider': 'codex', 'currentSessionUsedPercent': 5, "
        "'currentSessionRemainingPercent': 95, 'month': '2025-03', 'monthlyRemainingPercent': 70, "
        "'monthlyUsedCredits': 3.5, 'creditsLeft': 7.5}]");
    row("empty breakdown sums to 0",
        "{'usage': {'primary': {'usedPercent': 5}, 'secondary': {'usedPercent': 'x'}}, 'openaiDashboard': "
        "{'usageBreakdown': []}}",
        "[{'checkedAt': 1700000000, 'provider': 'codex', 'currentSessionUsedPercent': 5, "
        "'currentSessionRemainingPercent': 95, 'month': '2023-11', 'monthlyUsedCredits': 0}]");
    row("missing or mixed breakdown leaves the credits absent; account credits as fallback",
        "[{'usage': {'primary': {'usedPercent': 5}}, 'openaiDashboard': {}, 'credits': {'remaining': 12}}, "
        "{'provider': 'b', 'usage': {'primary': {'usedPercent': 6}}, 'openaiDashboard': {'usageBreakdown': [{}, "
        "1]}}]",
        "[{'checkedAt': 1700000000, 'provider': 'codex', 'currentSessionUsedPercent': 5, "
        "'currentSessionRemainingPercent': 95, 'month': '2023-11', 'creditsLeft': 12}, {'checkedAt': 1700000000, "
        "'provider': 'b', 'currentSessionUsedPercent': 6, 'currentSessionRemainingPercent': 94, 'month': "
        "'2023-11'}]");

    // Lists and printed text around the JSON.
    row("array whose second provider has no usage",
        "[{'provider': 'codex', 'usage': {'primary': {'usedPercent': 1}}}, {'provider': 'claude'}]",
        "[{'checkedAt': 1700000000, 'provider': 'codex', 'currentSessionUsedPercent': 1, "
        "'currentSessionRemainingPercent': 99, 'month': '2023-11'}]");
    row("array holding something else than objects", "[{'usage': {'primary': {'usedPercent': 1}}}, 2]", "[]");
    row("wrapper objects in an array are not read", "[{'usage': {'currentSession': {'usedPercent': 1}}}]", "[]");
    row("empty array", "[]", "[]");
    row("object without usage", "{'status': 'ok'}", "[]");
    row("nothing printed", "  \n ", "[]");
    row("warning line before the JSON", "warning: cache is stale\n{'usage': {'currentSession': {'usedPercent': 40}}}\n",
        "[{'checkedAt': 1700000000, 'provider': 'codex', 'currentSessionUsedPercent': 40, "
        "'currentSessionRemainingPercent': 60}]");
    failing("opening bracket in the warning line",
        "warning [cache] is stale\n{'usage': {'currentSession': {'usedPercent': 40}}}", "illegal number at offset 1");
    failing("not JSON", "Error: not signed in", "illegal value at offset 1");
    failing("bare number", "42", "illegal value at offset 1");
}

void tst_CodexBarUsageRunner::parseSnapshots()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, expected);
    QFETCH(QString, error);
    const Result<QList<ModelUsageSnapshot>> parsed = CodexBarUsageRunner::parseSnapshots(text, kT0);
    if (!error.isEmpty()) {
        QVERIFY(!parsed.ok());
        QCOMPARE(parsed.errorMessage(), error);
        return;
    }
    QVERIFY2(parsed.ok(), qPrintable(parsed.errorMessage()));
    QCOMPARE(compact(asJson(*parsed)), compact(expectedArray(expected)));
}

void tst_CodexBarUsageRunner::numberRule_data()
{
    QTest::addColumn<QJsonValue>("value");
    QTest::addColumn<std::optional<double>>("number");

    const auto none = std::optional<double>();
    QTest::newRow("number") << QJsonValue(12.5) << std::optional<double>(12.5);
    QTest::newRow("true") << QJsonValue(true) << std::optional<double>(1);
    QTest::newRow("false") << QJsonValue(false) << std::optional<double>(0);
    QTest::newRow("decimal text") << QJsonValue(QStringLiteral("12.5")) << std::optional<double>(12.5);
    QTest::newRow("signed exponent text") << QJsonValue(QStringLiteral("-2.5E-1")) << std::optional<double>(-0.25);
    QTest::newRow("plus sign") << QJsonValue(QStringLiteral("+3")) << std::optional<double>(3);
    QTest::newRow("leading point") << QJsonValue(QStringLiteral(".5")) << std::optional<double>(0.5);
    QTest::newRow("leading blank") << QJsonValue(QStringLiteral(" 12.5")) << none;
    QTest::newRow("trailing blank") << QJsonValue(QStringLiteral("12.5 ")) << none;
    QTest::newRow("percent sign") << QJsonValue(QStringLiteral("12.5%")) << none;
    QTest::newRow("empty text") << QJsonValue(QString()) << none;
    QTest::newRow("infinity") << QJsonValue(QStringLiteral("inf")) << none;
    QTest::newRow("not a number") << QJsonValue(QStringLiteral("nan")) << none;
    QTest::newRow("hexadecimal") << QJsonValue(QStringLiteral("0x10")) << none;
    QTest::newRow("decimal comma") << QJsonValue(QStringLiteral("12,5")) << none;
    QTest::newRow("null") << QJsonValue() << none;
    QTest::newRow("missing") << QJsonValue(QJsonValue::Undefined) << none;
    QTest::newRow("object") << QJsonValue(QJsonObject()) << none;
}

void tst_CodexBarUsageRunner::numberRule()
{
    QCOMPARE(CodexBarUsageRunner::number(fetched<QJsonValue>("value")), fetched<std::optional<double>>("number"));
}

void tst_CodexBarUsageRunner::dateRule_data()
{
    QTest::addColumn<std::optional<QString>>("text");
    QTest::addColumn<std::optional<double>>("unixSeconds");

    const auto text = [](const char *value) { return std::optional<QString>(QString::fromUtf8(value)); };
    const auto none = std::optional<double>();
    QTest::newRow("Z") << text("2025-03-04T10:20:30Z") << std::optional<double>(1741083630);
    QTest::newRow("offset with colon") << text("2025-03-04T12:20:30+02:00") << std::optional<double>(1741083630);
    QTest::newRow("fractional seconds") << text("2025-03-04T10:20:30.5Z") << none;
    QTest::newRow("date only") << text("2025-03-04") << none;
    QTest::newRow("no seconds") << text("2025-03-04T10:20Z") << none;
    QTest::newRow("no zone") << text("2025-03-04T10:20:30") << none;
    QTest::newRow("space for T") << text("2025-03-04 10:20:30Z") << none;
    QTest::newRow("empty") << text("") << none;
    QTest::newRow("missing") << std::optional<QString>() << none;
}

void tst_CodexBarUsageRunner::dateRule()
{
    QFETCH(std::optional<double>, unixSeconds);
    const std::optional<TimePoint> date = CodexBarUsageRunner::parseISODate(fetched<std::optional<QString>>("text"));
    QCOMPARE(date.has_value(), unixSeconds.has_value());
    if (date)
        QCOMPARE(date->unixSeconds(), *unixSeconds);
}

void tst_CodexBarUsageRunner::extractJSON_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<std::optional<QString>>("span");

    const auto span = [](const char *value) { return std::optional<QString>(QString::fromUtf8(value)); };
    QTest::newRow("object after a line") << QStringLiteral("note\n{\"a\": 1}\n") << span("{\"a\": 1}");
    QTest::newRow("mixed bracket kinds") << QStringLiteral("x [1} y") << span("[1}");
    QTest::newRow("from the first opening to the last closing") << QStringLiteral("a{b}c[d]e") << span("{b}c[d]");
    QTest::newRow("no opening bracket") << QStringLiteral("a}b") << std::optional<QString>();
    QTest::newRow("closing only before the opening") << QStringLiteral("a]b{c") << std::optional<QString>();
    QTest::newRow("no brackets") << QStringLiteral("plain") << std::optional<QString>();
}

void tst_CodexBarUsageRunner::extractJSON()
{
    QFETCH(QString, text);
    QCOMPARE(CodexBarUsageRunner::extractJSONObjectOrArray(text), fetched<std::optional<QString>>("span"));
}

void tst_CodexBarUsageRunner::fetchUsage_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("snapshots"); // empty: none expected
    QTest::addColumn<QString>("message");

    const QByteArray used40 = j("[{'checkedAt': 1700000000, 'provider': 'codex', 'currentSessionUsedPercent': 40, "
                                "'currentSessionRemainingPercent': 60}]");
    const QByteArray rawOn2025 = j("[{'checkedAt': 1741083630, 'provider': 'codex', 'currentSessionUsedPercent': 7, "
                                   "'currentSessionRemainingPercent': 93, 'month': '2025-03'}]");
    const QJsonObject wrapperJson {{QStringLiteral("usage"),
        QJsonObject {{QStringLiteral("currentSession"), QJsonObject {{QStringLiteral("usedPercent"), 40}}}}}};
    const QString wrapperText = QString::fromUtf8(Json::write(wrapperJson));
    const QString rawText
        = QString::fromUtf8(j("{'usage': {'updatedAt': '2025-03-04T10:20:30Z', 'primary': {'usedPercent': 7}}}"));

    const auto reply = [](const QJsonObject &object) { return QJsonDocument(object).toJson(QJsonDocument::Compact); };

    QTest::newRow("wrapper on stdout") << reply({{QStringLiteral("stdout"), wrapperText}}) << used40 << QString();
    QTest::newRow("warning line before the JSON")
        << reply({{QStringLiteral("prefix"), QStringLiteral("warning: cache is stale\n")},
               {QStringLiteral("stdout"), wrapperText}})
        << used40 << QString();
    QTest::newRow("usable JSON whatever the exit code")
        << reply({{QStringLiteral("stdout"), wrapperText}, {QStringLiteral("exit"), 1}}) << used40 << QString();
    QTest::newRow("output larger than a pipe")
        << reply({{QStringLiteral("pad"), 300000}, {QStringLiteral("stdout"), wrapperText}}) << used40 << QString();
    QTest::newRow("provider JSON on stderr")
        << reply({{QStringLiteral("stderr"), rawText}, {QStringLiteral("exit"), 1}}) << rawOn2025 << QString();
    QTest::newRow("not JSON on stdout") << reply({{QStringLiteral("stdout"), QStringLiteral("Error: not signed in")}})
                                        << QByteArray() << kParsePrefix + QStringLiteral("illegal value at offset 1");
    QTest::newRow("failure text on stderr")
        << reply(
               {{QStringLiteral("stderr"), QStringLiteral("codexbar: session expired\n")}, {QStringLiteral("exit"), 1}})
        << QByteArray() << kParsePrefix + QStringLiteral("illegal value at offset 1");
    QTest::newRow("object without usage on stdout")
        << reply({{QStringLiteral("stdout"), QStringLiteral("{\"status\": \"ok\"}\n")}}) << QByteArray()
        << QStringLiteral("{\"status\": \"ok\"}");
    QTest::newRow("object without usage on stderr wins over stdout")
        << reply({{QStringLiteral("stdout"), QStringLiteral("{\"a\": 1}")},
               {QStringLiteral("stderr"), QStringLiteral("{\"error\": \"rate limited\"}")}})
        << QByteArray() << QStringLiteral("{\"error\": \"rate limited\"}");
    QTest::newRow("empty array, exit 0") << reply({{QStringLiteral("stdout"), QStringLiteral("[]\n")}}) << QByteArray()
                                         << QStringLiteral("codexbar output did not include usage data.");
    QTest::newRow("empty array, exit 2") << reply(
        {{QStringLiteral("stdout"), QStringLiteral("[ ]")}, {QStringLiteral("exit"), 2}})
                                         << QByteArray() << QStringLiteral("codexbar command failed.");
    QTest::newRow("empty arrays on both streams")
        << reply({{QStringLiteral("stdout"), QStringLiteral("[]")}, {QStringLiteral("stderr"), QStringLiteral("[]")}})
        << QByteArray() << QStringLiteral("codexbar output did not include usage data.");
    QTest::newRow("nothing printed, exit 0")
        << reply({}) << QByteArray() << QStringLiteral("codexbar output did not include usage data.");
    QTest::newRow("nothing printed, exit 3")
        << reply({{QStringLiteral("exit"), 3}}) << QByteArray() << QStringLiteral("codexbar command failed.");
    QTest::newRow("hangs") << reply({{QStringLiteral("sleep"), 30}, {QStringLiteral("stdout"), wrapperText}})
                           << QByteArray()
                           << QStringLiteral("codexbar did not finish within 3 seconds and was stopped.");
}

void tst_CodexBarUsageRunner::fetchUsage()
{
    QFETCH(QByteArray, snapshots);
    QFETCH(QString, message);
    TestSupport::TemporaryHome home;
    CodexBarStandIn standIn;
    standIn.setReply(fetched<QByteArray>("reply"));
    CodexBarStandIn::installInToolHome();

    TestSupport::PinnedClock clock(kT0);
    CodexBarUsageOptions options;
    options.host = AgentToolsFixture::sandboxHost();
    options.timeout = 3s;
    options.clock = &clock;
    QElapsedTimer elapsed;
    elapsed.start();
    const std::optional<CodexBarUsageResult> result = awaitTask(CodexBarUsageRunner(options).fetchUsage());
    QVERIFY(result);
    QVERIFY2(elapsed.elapsed() < 15000, "a hung codexbar must end at its time limit");

    QCOMPARE(result->checkedAt, kT0);
    if (snapshots.isEmpty()) {
        QVERIFY(!result->snapshots);
        QCOMPARE(result->errorMessage, std::optional<QString>(message));
    } else {
        QVERIFY(!result->errorMessage);
        QVERIFY(result->snapshots);
        QCOMPARE(compact(asJson(*result->snapshots)), compact(expectedArray(snapshots)));
    }

    const QList<QJsonObject> invocations = standIn.invocations();
    QCOMPARE(invocations.size(), 1);
    QCOMPARE(invocations[0].value(QStringLiteral("argv")).toVariant().toStringList(),
        (QStringList {QStringLiteral("usage"), QStringLiteral("--provider"), QStringLiteral("codex"),
            QStringLiteral("--format"), QStringLiteral("json"), QStringLiteral("--json-only"),
            QStringLiteral("--no-color")}));
}

void tst_CodexBarUsageRunner::notInstalled_data()
{
    QTest::addColumn<bool>("nonExecutableOnPath");
    QTest::newRow("nowhere") << false;
    QTest::newRow("a file without the executable bit") << true;
}

void tst_CodexBarUsageRunner::notInstalled()
{
    TestSupport::TemporaryHome home;
    CodexBarStandIn standIn;
    const QString pathFolder = home.path() + QStringLiteral("/pathbin");
    if (fetched<bool>("nonExecutableOnPath")) {
        CodexBarStandIn::installAt(pathFolder + QStringLiteral("/codexbar"));
        QFile::setPermissions(pathFolder + QStringLiteral("/codexbar"), QFileDevice::ReadOwner);
    }
    TestSupport::PinnedClock clock(kT0);
    CodexBarUsageOptions options;
    options.host = AgentToolsFixture::sandboxHost(pathFolder);
    options.clock = &clock;

    const std::optional<CodexBarUsageResult> result = awaitTask(CodexBarUsageRunner(options).fetchUsage());
    QVERIFY(result);
    QCOMPARE(result->checkedAt, kT0);
    QVERIFY(!result->snapshots);
    QCOMPARE(result->errorMessage,
        std::optional<QString>(
            QStringLiteral("codexbar is not installed. Install it and make sure it is available on PATH.")));
    QVERIFY(standIn.invocations().isEmpty());
}

void tst_CodexBarUsageRunner::foundOnPath()
{
    TestSupport::TemporaryHome home;
    CodexBarStandIn standIn;
    const QString pathFolder = home.path() + QStringLiteral("/pathbin");
    const QString installed = CodexBarStandIn::installAt(pathFolder + QStringLiteral("/codexbar"));
    CodexBarUsageOptions options;
    options.host = AgentToolsFixture::sandboxHost(pathFolder);

    const std::optional<CodexBarUsageResult> result = awaitTask(CodexBarUsageRunner(options).fetchUsage());
    QVERIFY(result && result->snapshots);
    QCOMPARE(result->snapshots->size(), 1);
    QCOMPARE(
        result->snapshots->at(0).currentSessionResetDescription, std::optional<QString>(QStringLiteral("in 2 hours")));
    QCOMPARE(standIn.invocations().value(0).value(QStringLiteral("executable")).toString(), installed);
}

// codexbar is started by its own path: a folder named "a=b" is no variable
// assignment, and the first argument is no program.
void tst_CodexBarUsageRunner::pathWithAnEqualsSign()
{
    TestSupport::TemporaryHome home;
    CodexBarStandIn standIn;
    const QString pathFolder = home.path() + QStringLiteral("/tools=new");
    const QString installed = CodexBarStandIn::installAt(pathFolder + QStringLiteral("/codexbar"));
    CodexBarUsageOptions options;
    options.host = AgentToolsFixture::sandboxHost(pathFolder);

    const std::optional<CodexBarUsageResult> result = awaitTask(CodexBarUsageRunner(options).fetchUsage());
    QVERIFY(result);
    QVERIFY2(result->snapshots, qPrintable(result->errorMessage.value_or(QString())));
    QCOMPARE(result->snapshots->size(), 1);
    QCOMPARE(standIn.invocations().value(0).value(QStringLiteral("executable")).toString(), installed);
}

void tst_CodexBarUsageRunner::floodIsCutAndReportedAsUnreadable_data()
{
    QTest::addColumn<QString>("stream");
    QTest::newRow("standard output") << QStringLiteral("stdout");
    QTest::newRow("standard error") << QStringLiteral("stderr");
}

// Sixteen times the cap of output ends as the parse failure, with only the
// cap of it ever held in memory (the benchmark under bench/ floods a
// gigabyte and shows the peak).
void tst_CodexBarUsageRunner::floodIsCutAndReportedAsUnreadable()
{
    QFETCH(QString, stream);
    TestSupport::TemporaryHome home;
    CodexBarStandIn standIn;
    standIn.setReply(
        QJsonDocument(QJsonObject {{"flood", qint64(16 * kCapturedOutputLimitBytes)}, {"flood_stream", stream}})
            .toJson());
    CodexBarStandIn::installInToolHome();
    CodexBarUsageOptions options;
    options.host = AgentToolsFixture::sandboxHost();

    const std::optional<CodexBarUsageResult> result = awaitTask(CodexBarUsageRunner(options).fetchUsage(), 120000);
    QVERIFY(result);
    QVERIFY(!result->snapshots);
    QVERIFY2(result->errorMessage && result->errorMessage->startsWith(kParsePrefix),
        qPrintable(result->errorMessage.value_or(QString()).left(200)));
    QVERIFY(result->errorMessage->size() < 1000);
}

void tst_CodexBarUsageRunner::responseJson()
{
    ModelUsageAPIResponse bare {TimePoint::fromUnixSeconds(1700000000.25), std::nullopt, std::nullopt};
    QCOMPARE(Json::write(bare.toJson()), QByteArray("{\"checkedAt\":1700000000.25}"));

    ModelUsageSnapshot snapshot;
    snapshot.checkedAt = TimePoint::fromUnixSeconds(1741083630.5);
    snapshot.provider = QStringLiteral("codex");
    snapshot.currentSessionUsedPercent = 12.5;
    snapshot.currentSessionRemainingPercent = 87.5;
    snapshot.month = QStringLiteral("2025-03");
    snapshot.creditsLeft = 0;
    const ModelUsageAPIResponse full {kT0, QList<ModelUsageSnapshot> {snapshot}, QStringLiteral("partial")};
    QCOMPARE(Json::write(full.toJson()),
        QByteArray("{\"checkedAt\":1700000000,\"errorMessage\":\"partial\",\"snapshots\":[{\"checkedAt\":1741083630.5,"
                   "\"creditsLeft\":0,\"currentSessionRemainingPercent\":87.5,\"currentSessionUsedPercent\":12.5,"
                   "\"month\":\"2025-03\",\"provider\":\"codex\"}]}"));

    const Result<ModelUsageAPIResponse> readBack = ModelUsageAPIResponse::fromJson(full.toJson());
    QVERIFY2(readBack.ok(), qPrintable(readBack.errorMessage()));
    QVERIFY(*readBack == full);
}

void tst_CodexBarUsageRunner::readingRecords_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QString>("error"); // empty: reads

    QTest::newRow("null optionals are absent")
        << j("{'checkedAt': 1, 'snapshots': null, 'errorMessage': null}") << QString();
    QTest::newRow("snapshot with null optionals")
        << j("{'checkedAt': 1, 'snapshots': [{'checkedAt': 2, 'provider': 'codex', 'currentSessionUsedPercent': 1, "
             "'currentSessionRemainingPercent': 99, 'month': null, 'creditsLeft': null}]}")
        << QString();
    QTest::newRow("missing check time") << j("{'errorMessage': 'x'}")
                                        << QStringLiteral("ModelUsageAPIResponse: Missing value for key \"checkedAt\"");
    QTest::newRow("check time as text") << j("{'checkedAt': '2025-03-04T10:20:30Z'}")
                                        << QStringLiteral(
                                               "ModelUsageAPIResponse: Expected a date as seconds since 1970.");
    QTest::newRow("one bad snapshot fails the answer")
        << j("{'checkedAt': 1, 'snapshots': [{'checkedAt': 2, 'provider': 'codex', 'currentSessionUsedPercent': "
             "'1', 'currentSessionRemainingPercent': 99}]}")
        << QStringLiteral("ModelUsageSnapshot: Expected a number for key \"currentSessionUsedPercent\"");
}

void tst_CodexBarUsageRunner::readingRecords()
{
    QFETCH(QString, error);
    const Result<ModelUsageAPIResponse> read
        = ModelUsageAPIResponse::fromJson(QJsonDocument::fromJson(fetched<QByteArray>("json")).object());
    QCOMPARE(read.errorMessage(), error);
    if (read.ok()) {
        QVERIFY(!read->errorMessage);
        if (read->snapshots) {
            QCOMPARE(read->snapshots->size(), 1);
            QVERIFY(!read->snapshots->at(0).month && !read->snapshots->at(0).creditsLeft);
        }
    }
}

QTEST_GUILESS_MAIN(tst_CodexBarUsageRunner)
#include "tst_codexbarusagerunner.moc"
