#include "AgentTestSupport.h"
#include "BrimlockStandIn.h"
#include "TestSupport.h"
#include "agents/BL_DefaultDecisionEngine.h"
#include "agents/BL_ShellToolExecutor.h"
#include "common/Json.h"
#include "common/Text.h"
#include "common/UuidText.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QPromise>
#include <QtTest>

using AgentTest::runTask;
using Kind = BL_DefaultDecisionEngine::WorkerStatusKind;

Q_DECLARE_METATYPE(BL_DefaultDecisionEngine::WorkerStatusKind)

namespace {

const QString kPrefix = QStringLiteral("'/opt/bl/brimlock'");
const QUuid kTask = QUuid::fromString(QStringLiteral("6f1c2a9e-3b4d-4e5f-8a7b-1c2d3e4f5a6b"));
const QString kTaskText = QStringLiteral("6f1c2a9e-3b4d-4e5f-8a7b-1c2d3e4f5a6b");

// The tool's JSON reply carrying `texts` and, unless told otherwise, the session.
QString reply(const QStringList &texts, const std::optional<QString> &sessionID = kTaskText)
{
    QJsonArray payloads;
    for (const QString &text : texts)
        payloads.append(QJsonObject {{"text", text}});
    QJsonObject result {{"payloads", payloads}};
    if (sessionID)
        result.insert("meta", QJsonObject {{"agentMeta", QJsonObject {{"sessionId", *sessionID}}}});
    return QString::fromUtf8(
        QJsonDocument(QJsonObject {{"status", "ok"}, {"result", result}}).toJson(QJsonDocument::Compact));
}

QString statusText(const QString &status, const QString &detail = QString())
{
    QJsonObject object {{"workerStatus", status}};
    if (!detail.isNull())
        object.insert("detail", detail);
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact));
}

BL_Observation observed(const QString &standardOutput, const QString &command = QStringLiteral("cmd"))
{
    return BL_Observation {
        QStringLiteral("summary"), BL_ShellToolResultPayload {command, 0, standardOutput, QString()}.encoded()};
}

BL_DefaultDecisionEngine scriptedEngine(
    qint64 maxMonitorAttempts = 30, const QString &agentName = QStringLiteral("coder"))
{
    return BL_DefaultDecisionEngine(
        maxMonitorAttempts,
        [agentName] {
            QPromise<QString> promise;
            promise.start();
            promise.addResult(agentName);
            promise.finish();
            return promise.future();
        },
        [] { return std::optional<QString>(kPrefix); });
}

AgentTest::Outcome<BL_AgentDecision> decide(BL_DefaultDecisionEngine &engine,
    const BL_ThoughtActionObservationState &state, const std::optional<QString> &root = std::nullopt,
    const std::optional<QByteArray> &input = std::nullopt)
{
    return runTask(engine.nextDecision(kTask, QUuid::createUuid(), AgentTest::makeAgent("pool"), input, root, state));
}

QString dispatchCommand(const std::optional<QString> &root = std::nullopt)
{
    return BL_DefaultDecisionEngine::makeWorkerDispatchCommand(kPrefix, kTask, "coder", std::nullopt, root);
}

QString monitorCommand(const std::optional<QString> &root = std::nullopt)
{
    return BL_DefaultDecisionEngine::makeMonitorCommand(kPrefix, kTaskText, root);
}

// The state after the dispatch and `checks` monitoring commands, the newest
// reply being `standardOutput`.
BL_ThoughtActionObservationState afterChecks(int checks, const QString &standardOutput)
{
    BL_ThoughtActionObservationState state;
    state.actions.append(BL_AgentToolAction::runShell(dispatchCommand()));
    state.observations.append(observed(reply({"Dispatched `qs-worker-1`"})));
    for (int i = 0; i < checks; ++i) {
        state.actions.append(BL_AgentToolAction::runShell(monitorCommand()));
        state.observations.append(observed(reply({"still running"})));
    }
    state.observations.last() = observed(standardOutput);
    return state;
}

// What a command line hands the stand-in as its --message argument.
QString messageReceived(const BrimlockStandIn &standIn)
{
    const QStringList argv = BrimlockStandIn::argv(standIn.invocations().constLast());
    const qsizetype at = argv.indexOf(QStringLiteral("--message"));
    return at >= 0 && at + 1 < argv.size() ? argv.at(at + 1) : QStringLiteral("<none>");
}

} // namespace

class DefaultDecisionEngineTest : public QObject
{
    Q_OBJECT

private slots:
    // The exact dispatch line: the message is what the shell would have made
    // of the JSON string in double quotes, single-quoted so nothing expands.
    void dispatchCommandLines_data()
    {
        QTest::addColumn<std::optional<QString>>("root");
        QTest::addColumn<std::optional<QByteArray>>("input");
        QTest::addColumn<QString>("agent");
        QTest::addColumn<QString>("expected");

        const QString tail = QStringLiteral(" --timeout 0");
        const QString head = kPrefix + QStringLiteral(" agent --agent 'coder' --session-id ") + kTaskText
            + QStringLiteral(" --message ");
        const QString preamble = QStringLiteral(
            "(run: cd \\/tmp\\/p), then execute the task instructions below exactly as requested.\\n\\n");

        QTest::newRow("object input, root")
            << std::optional<QString>("/tmp/p") << std::optional<QByteArray>("{\"b\":1,\"a\":\"x/y\"}") << "coder"
            << QStringLiteral("cd '/tmp/p' && ") + head + QStringLiteral("'First change directory to \\/tmp\\/p ")
                + preamble + QStringLiteral("{\"a\":\"x\\\\/y\",\"b\":1}'") + tail;
        QTest::newRow("root with an apostrophe, no input")
            << std::optional<QString>("/tmp/it's") << std::optional<QByteArray>() << "coder"
            << QStringLiteral("cd '/tmp/it'\"'\"'s' && ") + head
                + QStringLiteral("'First change directory to \\/tmp\\/it'\"'\"'s (run: cd \\/tmp\\/it'\"'\"'s), then "
                                 "execute the task instructions below exactly as requested.\\n\\n{}'")
                + tail;
        QTest::newRow("blank root") << std::optional<QString>(" \n\t")
                                    << std::optional<QByteArray>("{\"prompt\":\"hi\"}") << "coder"
                                    << head + QStringLiteral("'{\"prompt\":\"hi\"}'") + tail;
        QTest::newRow("shell syntax stays text")
            << std::optional<QString>() << std::optional<QByteArray>("{\"prompt\":\"$(touch /x) `id` ${HOME}\"}")
            << "coder" << head + QStringLiteral("'{\"prompt\":\"$(touch \\\\/x) `id` ${HOME}\"}'") + tail;
        QTest::newRow("apostrophe in the task")
            << std::optional<QString>() << std::optional<QByteArray>("{\"prompt\":\"don't\"}") << "coder"
            << head + QStringLiteral("'{\"prompt\":\"don'\"'\"'t\"}'") + tail;
        QTest::newRow("text that is not JSON") << std::optional<QString>() << std::optional<QByteArray>("fix it")
                                               << "coder" << head + QStringLiteral("'fix it'") + tail;
        QTest::newRow("bytes that are not UTF-8") << std::optional<QString>() << std::optional<QByteArray>("\xff\xfe")
                                                  << "coder" << head + QStringLiteral("'{}'") + tail;
        QTest::newRow("agent name with an apostrophe")
            << std::optional<QString>() << std::optional<QByteArray>() << "o'brien"
            << kPrefix + QStringLiteral(" agent --agent 'o'\"'\"'brien' --session-id ") + kTaskText
                + QStringLiteral(" --message '{}'") + tail;
    }
    void dispatchCommandLines()
    {
        QFETCH(std::optional<QString>, root);
        QFETCH(std::optional<QByteArray>, input);
        QFETCH(QString, agent);
        QFETCH(QString, expected);
        BL_DefaultDecisionEngine engine = scriptedEngine(30, agent);
        const auto outcome = decide(engine, {}, root, input);
        QVERIFY(outcome.value);
        QCOMPARE(outcome.value->kind, BL_AgentDecision::Kind::action);
        QCOMPARE(outcome.value->action.kind, BL_AgentToolAction::Kind::runShell);
        QCOMPARE(outcome.value->action.command, expected);
    }

    void monitorCommandLines_data()
    {
        QTest::addColumn<std::optional<QString>>("root");
        QTest::addColumn<QString>("session");
        QTest::addColumn<QString>("expected");
        QTest::newRow("no root") << std::optional<QString>() << kTaskText
                                 << kPrefix + QStringLiteral(" sessions history --session-id '") + kTaskText
                + QStringLiteral("' --json");
        QTest::newRow("root") << std::optional<QString>("/tmp/it's") << QStringLiteral("s-1")
                              << QStringLiteral("cd '/tmp/it'\"'\"'s' && ") + kPrefix
                + QStringLiteral(" sessions history --session-id 's-1' --json");
        QTest::newRow("session with shell syntax")
            << std::optional<QString>() << QStringLiteral("$(x) it's")
            << kPrefix + QStringLiteral(" sessions history --session-id '$(x) it'\"'\"'s' --json");
    }
    void monitorCommandLines()
    {
        QFETCH(std::optional<QString>, root);
        QFETCH(QString, session);
        QFETCH(QString, expected);
        QCOMPARE(BL_DefaultDecisionEngine::makeMonitorCommand(kPrefix, session, root), expected);
    }

    void taskDefinitionIsCut()
    {
        const QString exact(6000, u'x');
        QCOMPARE(BL_DefaultDecisionEngine::decodeTaskDefinition(exact.toUtf8()), exact);
        const QString longer(6001, u'x');
        QCOMPARE(BL_DefaultDecisionEngine::decodeTaskDefinition(longer.toUtf8()),
            exact + QStringLiteral("\n...[truncated]"));
        QCOMPARE(BL_DefaultDecisionEngine::decodeTaskDefinition(QByteArray()), QStringLiteral("{}"));
        QCOMPARE(BL_DefaultDecisionEngine::decodeTaskDefinition(std::nullopt), QStringLiteral("{}"));
        QCOMPARE(BL_DefaultDecisionEngine::decodeTaskDefinition(QByteArray("[2, {\"b\":1,\"a\":2}]")),
            QStringLiteral("[2,{\"a\":2,\"b\":1}]"));
    }

    // Through a real zsh to the stand-in: command substitution, backticks and
    // parameters in the task reach the tool as text, and nothing runs.
    void dispatchReachesTheToolLiterally()
    {
        TestSupport::TemporaryHome home;
        BrimlockStandIn standIn;
        const QString executable = BrimlockStandIn::installInToolHome();
        const QString root = home.path() + QStringLiteral("/it's here");
        QVERIFY(QDir().mkpath(root));
        const QString one = home.path() + QStringLiteral("/one");
        const QString two = home.path() + QStringLiteral("/two");
        const QString prompt = QStringLiteral("Run $(touch ") + one + QStringLiteral(") and `touch ") + two
            + QStringLiteral("` in ${HOME} with \"quotes\", a back\\slash and a\nline");
        const QByteArray input = Json::write(QJsonObject {{"prompt", prompt}});

        // The real invocation prefix: the stand-in found in the tool home.
        BL_DefaultDecisionEngine engine(30, [] {
            QPromise<QString> promise;
            promise.start();
            promise.addResult(QStringLiteral("coder"));
            promise.finish();
            return promise.future();
        });
        const auto decision = decide(engine, {}, root, input);
        QVERIFY(decision.value);
        const QString command = decision.value->action.command;
        QVERIFY(command.startsWith(QStringLiteral("cd '") + home.path() + QStringLiteral("/it'\"'\"'s here' && '")
            + executable + QStringLiteral("' agent")));

        BLEventBus bus;
        BL_ShellToolExecutor executor(bus);
        const auto run = AgentTest::waitForOutcome(executor.executeSpawned(command, kTask, QUuid::createUuid(), {}));
        QVERIFY(run.value);
        QVERIFY(!QFileInfo::exists(one));
        QVERIFY(!QFileInfo::exists(two));

        const QJsonObject call = standIn.invocations().constLast();
        QCOMPARE(call.value("cwd").toString(), root);
        const QString message = messageReceived(standIn);
        QVERIFY2(message.contains(QStringLiteral("\"prompt\":\"Run $(touch ")), qPrintable(message));
        QVERIFY(message.contains(QStringLiteral("one) and `touch ")));
        QVERIFY(message.contains(QStringLiteral("two` in ${HOME} with \\\"quotes\\\"")));
        QVERIFY(message.startsWith(QStringLiteral("First change directory to ")));
    }

    // For text without "$" or backticks the tool receives exactly the bytes it
    // received when the JSON string stood in double quotes.
    void ordinaryTextReachesTheToolAsBefore()
    {
        TestSupport::TemporaryHome home;
        BrimlockStandIn standIn;
        const QString executable = BrimlockStandIn::installInToolHome();
        const QString root = home.path() + QStringLiteral("/project");
        QVERIFY(QDir().mkpath(root));
        const QByteArray input = Json::write(QJsonObject {
            {"prompt", "Fix a/b \"now\", don't wait\nback\\slash\ttab é"}, {"acceptance_criteria", "it's done"}});
        const QString prefix = Text::shellSingleQuoted(executable);
        const QString ours = BL_DefaultDecisionEngine::makeWorkerDispatchCommand(prefix, kTask, "coder", input, root);
        const QString message = BL_DefaultDecisionEngine::decorateTaskDefinitionWithProjectRoot(
            BL_DefaultDecisionEngine::decodeTaskDefinition(input), root);
        const QString doubleQuoted = BL_DefaultDecisionEngine::directoryPrefix(root) + prefix
            + QStringLiteral(" agent --agent 'coder' --session-id ") + kTaskText + QStringLiteral(" --message ")
            + QString::fromUtf8(Json::write(QJsonValue(message))) + QStringLiteral(" --timeout 0");

        BLEventBus bus;
        BL_ShellToolExecutor executor(bus);
        QVERIFY(AgentTest::waitForOutcome(executor.executeSpawned(doubleQuoted, kTask, QUuid(), {})).value);
        const QString before = messageReceived(standIn);
        QVERIFY(AgentTest::waitForOutcome(executor.executeSpawned(ours, kTask, QUuid(), {})).value);
        QCOMPARE(messageReceived(standIn), before);
        QCOMPARE(standIn.invocations().size(), 2);
    }

    void workerStatus_data()
    {
        QTest::addColumn<QString>("standardOutput");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<QString>("detail");

        QTest::newRow("no JSON") << "plain words" << Kind::undetermined << QString();
        QTest::newRow("text before the reply")
            << QStringLiteral("Starting agent...\n") + reply({"Dispatched `qs-worker-42` for the task"})
            << Kind::dispatched << QString();
        QTest::newRow("now running") << reply({"Worker is now running"}) << Kind::dispatched << QString();
        QTest::newRow("still running") << reply({"Worker still running, no errors yet"}) << Kind::running << QString();
        QTest::newRow("structured succeeded") << reply({statusText(" Succeeded ")}) << Kind::succeeded << QString();
        QTest::newRow("structured failed, blank detail")
            << reply({statusText(" Failed ", "  ")}) << Kind::failed << statusText(" Failed ", "  ");
        QTest::newRow("structured failed with detail")
            << reply({statusText("failed", " disk full ")}) << Kind::failed << "disk full";
        QTest::newRow("structured running") << reply({statusText("RUNNING")}) << Kind::running << QString();
        QTest::newRow("structured other value") << reply({statusText("queued")}) << Kind::undetermined << QString();
        QTest::newRow("quoted running marker")
            << reply({"status: \"workerStatus\":\"running\" so far"}) << Kind::running << QString();
        QTest::newRow("succeeded marker") << reply({"x workerStatus\":\"succeeded\""}) << Kind::succeeded << QString();
        QTest::newRow("success marker") << reply({"x workerStatus\":\"success\" y"}) << Kind::succeeded << QString();
        QTest::newRow("completed successfully")
            << reply({"All completed successfully."}) << Kind::succeeded << QString();
        QTest::newRow("failed marker") << reply({"x workerStatus\":\"failed\""}) << Kind::failed
                                       << "x workerStatus\":\"failed\"";
        QTest::newRow("failed word") << reply({"Build failed"}) << Kind::failed << "Build failed";
        QTest::newRow("error anywhere") << reply({"There were no errors."}) << Kind::failed << "There were no errors.";
        QTest::newRow("texts joined") << reply({"first", "", "Error here"}) << Kind::failed << "first\n\nError here";
        QTest::newRow("empty payloads") << reply({}) << Kind::undetermined << QString();
        QTest::newRow("result not an object") << "{\"result\": 3, \"failed\": true}" << Kind::undetermined << QString();
        QTest::newRow("text after the reply")
            << reply({"Build failed"}) + QStringLiteral(" trailing") << Kind::undetermined << QString();
        QTest::newRow("payloads not all objects")
            << "{\"result\":{\"payloads\":[{\"text\":\"failed\"},3]}}" << Kind::undetermined << QString();
    }
    void workerStatus()
    {
        QFETCH(QString, standardOutput);
        QFETCH(Kind, kind);
        QFETCH(QString, detail);
        const BL_DefaultDecisionEngine::WorkerStatus status
            = BL_DefaultDecisionEngine::resolveWorkerStatus(standardOutput);
        QCOMPARE(status.kind, kind);
        QCOMPARE(status.detail, detail);
    }

    void failureWithoutTextHasAFixedDetail()
    {
        // "error" only in a key, not in the joined texts: no text, no failure.
        QCOMPARE(BL_DefaultDecisionEngine::resolveWorkerStatus(reply({})).kind, Kind::undetermined);
        QCOMPARE(BL_DefaultDecisionEngine::resolveWorkerStatus(reply({statusText("failed", "")})).detail,
            statusText("failed", ""));
    }

    void sessionIdentifier()
    {
        BL_ThoughtActionObservationState state;
        QVERIFY(!BL_DefaultDecisionEngine::resolveWorkerSessionID(state));

        // From the newest reply that names one, when no command does.
        state.observations = {
            observed(reply({"a"}, QStringLiteral("older"))), observed(reply({"b"}, std::nullopt)), observed("no json")};
        QCOMPARE(BL_DefaultDecisionEngine::resolveWorkerSessionID(state), QStringLiteral("older"));
        state.observations.append(observed(reply({"c"}, QStringLiteral("newer"))));
        QCOMPARE(BL_DefaultDecisionEngine::resolveWorkerSessionID(state), QStringLiteral("newer"));

        // A command wins; spawnShell entries are skipped; a quoted id comes back whole.
        state.actions = {BL_AgentToolAction::spawnShell("x --session-id spawned"),
            BL_AgentToolAction::runShell(
                BL_DefaultDecisionEngine::makeMonitorCommand(kPrefix, "it's one", std::nullopt))};
        QCOMPARE(BL_DefaultDecisionEngine::resolveWorkerSessionID(state), QStringLiteral("it's one"));
        state.actions.prepend(BL_AgentToolAction::runShell(dispatchCommand(QStringLiteral("/tmp/p"))));
        QCOMPARE(BL_DefaultDecisionEngine::resolveWorkerSessionID(state), kTaskText);
        state.actions = {BL_AgentToolAction::runShell("brimlock x --session-id    s-2   --json")};
        QCOMPARE(BL_DefaultDecisionEngine::resolveWorkerSessionID(state), QStringLiteral("s-2"));
    }

    void finishesWithTheNewestPayload()
    {
        BL_DefaultDecisionEngine engine = scriptedEngine();
        BL_ThoughtActionObservationState state;
        state.actions = {BL_AgentToolAction::runShell(dispatchCommand())};

        state.observations = {BL_Observation {"no payload", std::nullopt}};
        auto outcome = decide(engine, state);
        QVERIFY(outcome.value);
        QCOMPARE(*outcome.value, BL_AgentDecision::finish(std::nullopt));

        state.observations = {observed("x"), BL_Observation {"not a result", QByteArray("{\"other\":1}")}};
        outcome = decide(engine, state);
        QCOMPARE(*outcome.value, BL_AgentDecision::finish(QByteArray("{\"other\":1}")));

        const BL_Observation done = observed(reply({"Task completed successfully."}));
        state.observations = {done};
        outcome = decide(engine, state);
        QCOMPARE(*outcome.value, BL_AgentDecision::finish(done.payload));

        const BL_Observation unknown = observed("nothing to parse");
        state.observations = {unknown};
        QCOMPARE(*decide(engine, state).value, BL_AgentDecision::finish(unknown.payload));
    }

    void monitorsWhileTheWorkerRuns()
    {
        BL_DefaultDecisionEngine engine = scriptedEngine();
        const BL_ThoughtActionObservationState state = afterChecks(0, reply({"Dispatched `qs-worker-7`"}));
        const auto outcome = decide(engine, state, QStringLiteral("/tmp/p"));
        QVERIFY(outcome.value);
        QCOMPARE(*outcome.value,
            BL_AgentDecision::makeAction(BL_AgentToolAction::runShell(monitorCommand(QStringLiteral("/tmp/p")))));
    }

    void errors_data()
    {
        QTest::addColumn<int>("checks");
        QTest::addColumn<QString>("newestReply");
        QTest::addColumn<bool>("dispatchNamesSession");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");

        QTest::newRow("no session id") << 0 << reply({"now running"}, std::nullopt) << false << 1
                                       << "Worker dispatch acknowledged but no session id was returned.";
        QTest::newRow("worker failed") << 2 << reply({statusText("failed", "tests red")}) << true << 2
                                       << "Delegated worker failed: tests red";
        QTest::newRow("checks used up") << 30 << reply({"still running"}) << true << 3
                                        << "Timed out waiting for delegated worker terminal status after 30 checks.";
        QTest::newRow("last check allowed") << 29 << reply({"still running"}) << true << 0 << QString();
    }
    void errors()
    {
        QFETCH(int, checks);
        QFETCH(QString, newestReply);
        QFETCH(bool, dispatchNamesSession);
        QFETCH(int, code);
        QFETCH(QString, message);

        BL_DefaultDecisionEngine engine = scriptedEngine(30);
        BL_ThoughtActionObservationState state = afterChecks(checks, newestReply);
        if (!dispatchNamesSession)
            state.actions.first() = BL_AgentToolAction::runShell(QStringLiteral("brimlock agent --message x"));
        QCOMPARE(BL_DefaultDecisionEngine::monitorCommandCount(state), checks);
        const auto outcome = decide(engine, state);
        if (code == 0) {
            QVERIFY(outcome.value);
            QCOMPARE(outcome.value->action.command, monitorCommand());
            return;
        }
        const auto error = outcome.errorAs<BL_DomainError>();
        QVERIFY(error);
        QCOMPARE(error->domain(), QStringLiteral("BL_DefaultDecisionEngine"));
        QCOMPARE(error->code(), code);
        QCOMPARE(error->localizedDescription(), message);
        const QString full = error->fullDescription();
        QVERIFY(full.contains(QStringLiteral("BL_DefaultDecisionEngine")));
        QVERIFY(full.contains(QStringLiteral("Code=") + QString::number(code)));
        QVERIFY(full.contains(message));
    }

    // spawnShell entries and other commands are not monitoring commands.
    void onlyRunShellChecksCount()
    {
        BL_ThoughtActionObservationState state;
        state.actions = {BL_AgentToolAction::runShell(monitorCommand()),
            BL_AgentToolAction::spawnShell(monitorCommand()), BL_AgentToolAction::runShell(dispatchCommand())};
        QCOMPARE(BL_DefaultDecisionEngine::monitorCommandCount(state), 1);
    }
};

QTEST_GUILESS_MAIN(DefaultDecisionEngineTest)
#include "tst_defaultdecisionengine.moc"
