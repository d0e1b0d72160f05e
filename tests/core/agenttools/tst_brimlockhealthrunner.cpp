#include "AgentToolsFixture.h"
#include "agenttools/BrimlockHealthRunner.h"
#include "common/ProcessRunner.h"

#include <QElapsedTimer>
#include <QtTest>

using namespace std::chrono_literals;
using AgentToolsFixture::FakeHealthAppState;
using AgentToolsFixture::fetched;
using AgentToolsFixture::j;
using Status = HealthCheckResult::Status;

Q_DECLARE_METATYPE(HealthCheckResult::Status)

namespace {

const QString kPassed2 = QStringLiteral("\n\nSub-agent check passed: found 2 sub-agent(s) in addition to main.");
const QString kNoSubAgent = QStringLiteral("\n\nSub-agent check failed: no sub-agent found beyond main. Create at "
                                           "least one additional agent with `brimlock agents`.");
const QString kUnreadable
    = QStringLiteral("\n\nExpected at least one sub-agent in addition to main, but failed to read agents output.");
const QString kDoctorDefault = QStringLiteral("Brimlock doctor: all checks passed.");

QStringList titles(const QList<HealthCheckResult> &results)
{
    QStringList list;
    for (const HealthCheckResult &result : results)
        list.append(result.title);
    return list;
}

} // namespace

class tst_BrimlockHealthRunner : public QObject
{
    Q_OBJECT

private slots:
    void subAgentRule_data();
    void subAgentRule();
    void searchReport_data();
    void searchReport();
    void quotedCommandLine();
    void standardChecks_data();
    void standardChecks();
    void executablePathWithQuote();
    void executableNotFound();
    void floodingCommandKeepsOnlyTheCap();
    void nodeRoleChecks_data();
    void nodeRoleChecks();
};

void tst_BrimlockHealthRunner::subAgentRule_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("count");
    QTest::addColumn<Status>("status");
    QTest::addColumn<QString>("suffix");

    QTest::newRow("only main") << QStringLiteral("- main") << 0 << 0 << Status::failed << kNoSubAgent;
    QTest::newRow("Main capitalised") << QStringLiteral("Agents:\n- Main (default)") << 0 << 0 << Status::failed
                                      << kNoSubAgent;
    QTest::newRow("indented agent with words")
        << QStringLiteral("   - reviewer writes reviews") << 0 << 1 << Status::success
        << QStringLiteral("\n\nSub-agent check passed: found 1 sub-agent(s) "
                          "in addition to main.");
    QTest::newRow("hyphen without space") << QStringLiteral("-reviewer") << 0 << 0 << Status::failed << kNoSubAgent;
    QTest::newRow("duplicates count per line")
        << QStringLiteral("- reviewer\n- reviewer") << 0 << 2 << Status::success << kPassed2;
    QTest::newRow("empty name counts") << QStringLiteral("-  word") << 0 << 1 << Status::success
                                       << QStringLiteral("\n\nSub-agent check passed: found 1 sub-agent(s) in "
                                                         "addition to main.");
    QTest::newRow("tabs trimmed, other breaks split")
        << QStringLiteral("\t- main\r- coder\x2028- review\t") << 0 << 2 << Status::success << kPassed2;
    QTest::newRow("no agent lines") << QStringLiteral("No agents configured.") << 0 << 0 << Status::failed
                                    << kNoSubAgent;
    QTest::newRow("exit 1 with a valid list")
        << QStringLiteral("- main\n- coder\n- review") << 1 << 2 << Status::failed << kUnreadable;
    QTest::newRow("could not run") << QStringLiteral("Failed to run command.") << -1 << 0 << Status::failed
                                   << kUnreadable;
}

void tst_BrimlockHealthRunner::subAgentRule()
{
    QFETCH(QString, text);
    QFETCH(int, exitCode);
    const BrimlockHealthRunner::CommandOutput output {exitCode, text};
    QCOMPARE(BrimlockHealthRunner::subAgentCount(text), fetched<int>("count"));
    QCOMPARE(BrimlockHealthRunner::subAgentStatus(output), fetched<Status>("status"));
    QCOMPARE(BrimlockHealthRunner::subAgentSuffix(output), fetched<QString>("suffix"));
}

void tst_BrimlockHealthRunner::searchReport_data()
{
    QTest::addColumn<std::optional<QString>>("processBin");
    QTest::addColumn<std::optional<QString>>("shellBin");
    QTest::addColumn<std::optional<QString>>("commandV");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("checked");
    QTest::addColumn<QString>("tail");

    const auto none = std::optional<QString>();
    QTest::newRow("nothing known")
        << none << none << none << QString() << QStringList()
        << QStringLiteral(
               "Process BRIMLOCK_BIN: <unset>\nLogin shell BRIMLOCK_BIN: <unset>\n"
               "Login shell command -v brimlock: <not found>\nProcess PATH: \nChecked candidates:\n- <none>");
    QTest::newRow("empty values count as unset")
        << std::optional<QString>(QString()) << std::optional<QString>(QString()) << std::optional<QString>(QString())
        << QStringLiteral("/usr/bin:/bin") << QStringList {QStringLiteral("/a")}
        << QStringLiteral("Process BRIMLOCK_BIN: <unset>\nLogin shell BRIMLOCK_BIN: <unset>\n"
                          "Login shell command -v brimlock: <not found>\nProcess PATH: /usr/bin:/bin\n"
                          "Checked candidates:\n- /a");
    QTest::newRow("values and candidates")
        << std::optional<QString>(QStringLiteral("/x/brimlock")) << std::optional<QString>(QStringLiteral("/y"))
        << std::optional<QString>(QStringLiteral("brimlock: aliased")) << QStringLiteral("/bin")
        << QStringList {QStringLiteral("BRIMLOCK_BIN(process): /x/brimlock"),
               QStringLiteral("/h/.brimlock/bin/brimlock")}
        << QStringLiteral("Process BRIMLOCK_BIN: /x/brimlock\nLogin shell BRIMLOCK_BIN: /y\n"
                          "Login shell command -v brimlock: brimlock: aliased\nProcess PATH: /bin\n"
                          "Checked candidates:\n- BRIMLOCK_BIN(process): /x/brimlock\n- /h/.brimlock/bin/brimlock");
}

void tst_BrimlockHealthRunner::searchReport()
{
    BrimlockBinaryResolutionDiagnostics diagnostics;
    diagnostics.processBRIMLOCK_BIN = fetched<std::optional<QString>>("processBin");
    diagnostics.loginShellBRIMLOCK_BIN = fetched<std::optional<QString>>("shellBin");
    diagnostics.loginShellCommandV = fetched<std::optional<QString>>("commandV");
    diagnostics.processPATH = fetched<QString>("path");
    diagnostics.checkedPaths = fetched<QStringList>("checked");
    QCOMPARE(BrimlockHealthRunner::unresolvedBinaryOutput(diagnostics),
        QStringLiteral("Unable to locate brimlock executable.\n"
                       "Set BRIMLOCK_BIN to an executable path, or install brimlock where the app can resolve it.\n\n")
            + fetched<QString>("tail"));
}

void tst_BrimlockHealthRunner::quotedCommandLine()
{
    QCOMPARE(BrimlockHealthRunner::quotedCommandLine({QStringLiteral("/opt/it's/brimlock"), QStringLiteral("agents")}),
        QStringLiteral("'/opt/it'\"'\"'s/brimlock' 'agents'"));
}

void tst_BrimlockHealthRunner::standardChecks_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<Status>("agentsStatus");
    QTest::addColumn<QString>("agentsOutput");
    QTest::addColumn<Status>("doctorStatus");
    QTest::addColumn<QString>("doctorOutput");

    QTest::newRow("sub-agents and a clean doctor")
        << j("{'agents': {'plain': {'stdout': '- main (default)\\n- coder (stand-in)\\n- reviewer extra words\\n'}}}")
        << Status::success << QStringLiteral("- main (default)\n- coder (stand-in)\n- reviewer extra words") + kPassed2
        << Status::success << kDoctorDefault;
    QTest::newRow("only main, doctor fails with both streams")
        << j("{'agents': {'names': ['main']}, 'doctor': {'stdout': 'Checking config\\n', 'stderr': 'config "
             "missing\\n', 'exit': 3}}")
        << Status::failed << QStringLiteral("- main (stand-in)") + kNoSubAgent << Status::failed
        << QStringLiteral("Checking config\nconfig missing");
    QTest::newRow("agents exit 1, doctor exit 0 whatever it prints")
        << j("{'agents': {'plain': {'stdout': '- coder\\n', 'exit': 1}}, 'doctor': {'stdout': 'ERROR: all broken', "
             "'exit': 0}}")
        << Status::failed << QStringLiteral("- coder") + kUnreadable << Status::success
        << QStringLiteral("ERROR: all broken");

    // More than a pipe holds, written just before the child exits.
    QString many;
    for (int i = 0; i < 20000; ++i)
        many += QStringLiteral("- agent%1 (stand-in model with a long description)\n").arg(i);
    QJsonObject large {{QStringLiteral("agents"),
        QJsonObject {{QStringLiteral("plain"), QJsonObject {{QStringLiteral("stdout"), many}}}}}};
    QTest::newRow("output larger than a pipe")
        << QJsonDocument(large).toJson(QJsonDocument::Compact) << Status::success
        << many.trimmed() + QStringLiteral("\n\nSub-agent check passed: found 20000 sub-agent(s) in addition to main.")
        << Status::success << kDoctorDefault;

    QTest::newRow("agents hangs") << j("{'agents': {'plain': {'stdout': '- coder\\n', 'sleep': 30}}}") << Status::failed
                                  << QStringLiteral("The command did not finish within 3 seconds and was stopped.")
            + kUnreadable << Status::success
                                  << kDoctorDefault;
    QTest::newRow("doctor hangs after printing")
        << j("{'doctor': {'stdout': 'Checking gateway', 'sleep_after': 30}}") << Status::success
        << QStringLiteral("- coder (stand-in)")
            + QStringLiteral("\n\nSub-agent check passed: found 1 sub-agent(s) in "
                             "addition to main.")
        << Status::failed
        << QStringLiteral("Checking gateway\nThe command did not finish within 3 seconds and was stopped.");
}

void tst_BrimlockHealthRunner::standardChecks()
{
    QFETCH(QByteArray, scenario);
    TestSupport::TemporaryHome home;
    BrimlockStandIn standIn;
    QJsonObject withDefaultAgents = QJsonDocument::fromJson(scenario).object();
    if (!withDefaultAgents.contains(QStringLiteral("agents")))
        withDefaultAgents.insert(
            QStringLiteral("agents"), QJsonObject {{QStringLiteral("names"), QJsonArray {"coder"}}});
    standIn.setScenario(withDefaultAgents);
    const QString binary = BrimlockStandIn::installInToolHome();

    HealthCheckOptions options;
    options.host = AgentToolsFixture::sandboxHost();
    options.commandTimeout = 3s;
    QElapsedTimer elapsed;
    elapsed.start();
    const QList<HealthCheckResult> results = BrimlockHealthRunner(options).runStandardChecks();
    QVERIFY2(elapsed.elapsed() < 20000, "a hung check must end at its time limit");

    QCOMPARE(
        titles(results), (QStringList {QStringLiteral("Sub-agent Availability"), QStringLiteral("Brimlock Doctor")}));
    QCOMPARE(results[0].command, binary + QStringLiteral(" agents"));
    QCOMPARE(results[1].command, binary + QStringLiteral(" doctor"));
    QCOMPARE(results[0].output, fetched<QString>("agentsOutput"));
    QCOMPARE(results[0].status, fetched<Status>("agentsStatus"));
    QCOMPARE(results[1].output, fetched<QString>("doctorOutput"));
    QCOMPARE(results[1].status, fetched<Status>("doctorStatus"));
    QVERIFY(!results[0].id.isNull());
    QVERIFY(results[0].id != results[1].id);

    // One after the other, through the login shell with the tool's bin folder
    // first on PATH.
    const QList<QJsonObject> invocations = standIn.invocations();
    QCOMPARE(invocations.size(), 2);
    QCOMPARE(BrimlockStandIn::argv(invocations[0]), QStringList {QStringLiteral("agents")});
    QCOMPARE(BrimlockStandIn::argv(invocations[1]), QStringList {QStringLiteral("doctor")});
    QVERIFY(BrimlockStandIn::env(invocations[0], QStringLiteral("PATH"))
                .startsWith(home.home() + QStringLiteral("/.brimlock/bin:")));
    QVERIFY(BrimlockStandIn::env(invocations[0], QStringLiteral("TERM_PROGRAM")) != QStringLiteral("ghostty"));
}

void tst_BrimlockHealthRunner::executablePathWithQuote()
{
    TestSupport::TemporaryHome home;
    BrimlockStandIn standIn;
    standIn.setScenario(j("{'agents': {'names': ['coder']}}"));
    const QString binary = BrimlockStandIn::installAt(home.home() + QStringLiteral("/it's tools/brimlock"));
    HealthCheckOptions options;
    options.host = AgentToolsFixture::sandboxHost();
    options.host->environment.insert(QStringLiteral("BRIMLOCK_BIN"), binary);

    const QList<HealthCheckResult> results = BrimlockHealthRunner(options).runStandardChecks();
    QCOMPARE(results[0].status, Status::success);
    QCOMPARE(results[0].command, binary + QStringLiteral(" agents"));
    QCOMPARE(results[1].output, kDoctorDefault);
    QCOMPARE(standIn.invocations().value(0).value(QStringLiteral("executable")).toString(), binary);
}

// A command that floods its output (sixteen times the cap here; the
// benchmark under bench/ floods a gigabyte) neither exhausts memory nor
// takes the batch down: the check keeps the head of the output up to the
// cap, marked as cut, and is judged as usual.
void tst_BrimlockHealthRunner::floodingCommandKeepsOnlyTheCap()
{
    TestSupport::TemporaryHome home;
    BrimlockStandIn standIn;
    standIn.setScenario(QJsonObject {
        {"agents", QJsonObject {{"plain", QJsonObject {{"flood", qint64(16 * kCapturedOutputLimitBytes)}}}}}});
    BrimlockStandIn::installInToolHome();
    HealthCheckOptions options;
    options.host = AgentToolsFixture::sandboxHost();

    const QList<HealthCheckResult> results = BrimlockHealthRunner(options).runStandardChecks();
    QCOMPARE(results.size(), 2);
    const HealthCheckResult &agents = results[0];
    QCOMPARE(agents.status, Status::failed);
    QVERIFY(agents.output.endsWith(kNoSubAgent));
    const QString kept = agents.output.chopped(kNoSubAgent.size());
    QVERIFY(kept.endsWith(QStringLiteral("\n...[truncated]")));
    QVERIFY(kept.startsWith(QStringLiteral("flooding output without end")));
    QVERIFY(kept.toUtf8().size() <= kCapturedOutputLimitBytes + 20);
    QCOMPARE(results[1].status, Status::success);
    QCOMPARE(results[1].output, kDoctorDefault);
}

void tst_BrimlockHealthRunner::executableNotFound()
{
    TestSupport::TemporaryHome home;
    BrimlockStandIn standIn;
    HealthCheckOptions options;
    options.host = AgentToolsFixture::sandboxHost();

    const QList<HealthCheckResult> results = BrimlockHealthRunner(options).runStandardChecks();
    const QString report = BrimlockHealthRunner::unresolvedBinaryOutput(
        BrimlockRuntime::brimlockBinaryResolutionDiagnostics(*options.host));
    QVERIFY(report.contains(QStringLiteral("\n- ") + home.home() + QStringLiteral("/.brimlock/bin/brimlock\n")));
    QCOMPARE(results.size(), 2);
    QCOMPARE(results[0].command, QStringLiteral("brimlock agents"));
    QCOMPARE(results[1].command, QStringLiteral("brimlock doctor"));
    for (const HealthCheckResult &result : results) {
        QCOMPARE(result.status, Status::failed);
        QCOMPARE(result.output, report);
    }
    QVERIFY(standIn.invocations().isEmpty());
}

void tst_BrimlockHealthRunner::nodeRoleChecks_data()
{
    QTest::addColumn<bool>("clientNode");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("attempted");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QStringList>("expectedTitles");
    QTest::addColumn<Status>("lastStatus");
    QTest::addColumn<QString>("lastCommand");
    QTest::addColumn<QString>("lastOutput");

    const QStringList standard {QStringLiteral("Sub-agent Availability"), QStringLiteral("Brimlock Doctor")};
    const QStringList withServer = standard + QStringList {QStringLiteral("Local Task Viewer Server")};
    QTest::newRow("client node, main node answers")
        << true << false << false << QString() << QStringList {QStringLiteral("Main Node Reachability")}
        << Status::success << QStringLiteral("Ping Main Node") << QStringLiteral("reachable");
    QTest::newRow("client node ignores the local server")
        << true << true << true << QStringLiteral("http://localhost:4321/?token=secret")
        << QStringList {QStringLiteral("Main Node Reachability")} << Status::failed << QStringLiteral("Ping Main Node")
        << QStringLiteral("Set a valid main-node LAN host and port.");
    QTest::newRow("server running") << false << true << true << QStringLiteral("http://localhost:4321/?token=secret")
                                    << withServer << Status::success << QStringLiteral("Local Server Status")
                                    << QStringLiteral(
                                           "Local task viewer is running at: http://localhost:4321/?token=secret");
    QTest::newRow("server running without address")
        << false << true << false << QString() << withServer << Status::success << QStringLiteral("Local Server Status")
        << QStringLiteral("Local task viewer is running at: unknown");
    QTest::newRow("server stopped") << false << false << true << QString() << withServer << Status::failed
                                    << QStringLiteral("Local Server Status")
                                    << QStringLiteral(
                                           "Local task viewer is not running. It may have stopped unexpectedly.");
    QTest::newRow("server never started")
        << false << false << false << QString() << standard << Status::success << QString() << kDoctorDefault;
}

void tst_BrimlockHealthRunner::nodeRoleChecks()
{
    TestSupport::TemporaryHome home;
    BrimlockStandIn standIn;
    standIn.setScenario(j("{'agents': {'names': ['coder']}}"));
    BrimlockStandIn::installInToolHome();

    FakeHealthAppState state;
    state.clientNodeMode = fetched<bool>("clientNode");
    state.viewerRunning = fetched<bool>("running");
    state.attemptedStart = fetched<bool>("attempted");
    QFETCH(QString, url);
    if (!url.isEmpty())
        state.viewerURL = QUrl(url);
    QFETCH(Status, lastStatus);
    QFETCH(QString, lastCommand);
    QFETCH(QString, lastOutput);
    state.ping = ClientNodePing {lastStatus == Status::success, lastCommand, lastOutput};

    HealthCheckOptions options;
    options.host = AgentToolsFixture::sandboxHost();
    const std::optional<QList<HealthCheckResult>> results
        = awaitTask(BrimlockHealthRunner(options).runAllChecks(state));
    QVERIFY(results);
    QCOMPARE(titles(*results), fetched<QStringList>("expectedTitles"));
    QCOMPARE(results->last().status, lastStatus);
    QCOMPARE(results->last().output, lastOutput);
    if (!lastCommand.isEmpty())
        QCOMPARE(results->last().command, lastCommand);
    QCOMPARE(state.pingCount, state.clientNodeMode ? 1 : 0);
    QCOMPARE(standIn.invocations().size(), state.clientNodeMode ? 0 : 2);
}

QTEST_GUILESS_MAIN(tst_BrimlockHealthRunner)
#include "tst_brimlockhealthrunner.moc"
