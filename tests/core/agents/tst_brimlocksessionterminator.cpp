#include "BrimlockStandIn.h"
#include "TestSupport.h"
#include "agents/BrimlockRuntime.h"
#include "agents/BrimlockSessionTerminator.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QScopeGuard>
#include <QtTest>
#include <csignal>

using namespace std::chrono_literals;

namespace {

// Runs every command for real and remembers the command lines.
class RecordingRunner final : public BrimlockCommandRunning
{
public:
    QCoro::Task<BrimlockCommandExecutionResult> run(QString command) override
    {
        commands.append(command);
        QCoro::Task<BrimlockCommandExecutionResult> inner = m_inner.run(command);
        co_return co_await std::move(inner);
    }
    QStringList commands;

private:
    ProcessBrimlockCommandRunner m_inner {10s};
};

struct Fixture
{
    TestSupport::TemporaryHome home;
    BrimlockStandIn standIn;
    QString executable = BrimlockStandIn::installInToolHome();
    std::shared_ptr<RecordingRunner> runner = std::make_shared<RecordingRunner>();
    BrimlockSessionTerminator terminator {runner};

    BrimlockSessionTerminationResult terminate(
        const QString &session, const std::optional<QString> &root = std::nullopt)
    {
        const auto result = awaitTask(terminator.terminate(session, root));
        if (!result)
            qFatal("terminate did not finish");
        return *result;
    }
    QList<QJsonObject> killCalls() const
    {
        QList<QJsonObject> calls;
        for (const QJsonObject &call : standIn.invocations()) {
            if (BrimlockStandIn::argv(call).mid(0, 2) == QStringList {"sessions", "kill"})
                calls.append(call);
        }
        return calls;
    }
};

bool isRunning(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), 0) == 0 && QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid));
}

} // namespace

class BrimlockSessionTerminatorTest : public QObject
{
    Q_OBJECT

private slots:
    void outcomes_data()
    {
        QTest::addColumn<QByteArray>("killReply");
        QTest::addColumn<bool>("succeeded");
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("commandsRun");

        const QString longLine = QString(600, u'a');
        QTest::newRow("first command succeeds") << QByteArray(R"({"stdout": "Session {session_id} killed.\n"})") << true
                                                << "Session kill command succeeded: Session sid-1 killed." << 1;
        QTest::newRow("first command succeeds silently")
            << QByteArray("{}") << true << "Session kill command succeeded." << 1;
        QTest::newRow("session not found counts as gone")
            << QByteArray(R"({"stdout": "Error: Session not found: {session_id}", "exit": 1})") << true
            << "Session kill command succeeded: Error: Session not found: sid-1" << 1;
        QTest::newRow("already completed, on standard error")
            << QByteArray(R"({"stderr": "The session has ALREADY COMPLETED.", "exit": 3})") << true
            << "Session kill command succeeded: The session has ALREADY COMPLETED." << 1;
        QTest::newRow("--json rejected, plain form succeeds")
            << QByteArray(R"({"json": {"stderr": "error: unknown option '--json'", "exit": 2},
                              "plain": {"stdout": "killed\r\nall\nworkers"}})")
            << true << "Session kill command succeeded: killed  all workers" << 2;
        QTest::newRow("long output is cut") << (R"({"stdout": ")" + longLine.toUtf8() + R"("})") << true
                                            << "Session kill command succeeded: " + longLine.left(500) + "..." << 1;
        QTest::newRow("everything fails")
            << QByteArray(R"({"stderr": "boom\nsecond line", "exit": 4})") << false
            << "Session kill failed. Attempts: `{cmd0}` -> exit 4: boom second line | `{cmd1}` -> exit 4: boom "
               "second line | `{cmd2}` -> exit 1: "
            << 3;
    }
    void outcomes()
    {
        QFETCH(QByteArray, killReply);
        QFETCH(bool, succeeded);
        QFETCH(QString, message);
        QFETCH(int, commandsRun);

        Fixture fixture;
        fixture.standIn.setScenario(R"({"kill": {"sid-1": )" + killReply + "}}");
        const BrimlockSessionTerminationResult result = fixture.terminate(QStringLiteral("  sid-1\n"));
        const QStringList &commands = fixture.runner->commands;
        QCOMPARE(commands.size(), commandsRun);
        for (int i = 0; i < commands.size(); ++i)
            message.replace(QStringLiteral("{cmd%1}").arg(i), commands[i]);
        QCOMPARE(result.message, message);
        QCOMPARE(result.succeeded, succeeded);

        const QString kill = u'\'' + fixture.executable + QStringLiteral("' sessions kill --session-id 'sid-1'");
        const QStringList expected {
            kill + QStringLiteral(" --json"), kill, QStringLiteral("pkill -f '[b]rimlock.*[-]-session-id sid-1'")};
        QCOMPARE(commands, expected.mid(0, commandsRun));
        const QList<QJsonObject> calls = fixture.killCalls();
        QCOMPARE(calls.size(), qMin(commandsRun, 2));
        QCOMPARE(
            BrimlockStandIn::argv(calls[0]), (QStringList {"sessions", "kill", "--session-id", "sid-1", "--json"}));
        if (calls.size() > 1)
            QCOMPARE(BrimlockStandIn::argv(calls[1]), (QStringList {"sessions", "kill", "--session-id", "sid-1"}));
    }

    void nothingRunsWithoutASessionOrATool()
    {
        Fixture fixture;
        BrimlockSessionTerminationResult result = fixture.terminate(QStringLiteral(" \t\n"));
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, QStringLiteral("Session kill skipped because session ID is empty."));

        BrimlockSessionTerminator noTool(fixture.runner, [] { return std::optional<QString>(QStringLiteral("  ")); });
        result = *awaitTask(noTool.terminate(QStringLiteral("sid-1"), std::nullopt));
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message, QStringLiteral("Brimlock binary is unavailable; cannot submit session kill command."));
        QVERIFY(fixture.runner->commands.isEmpty());
        QVERIFY(fixture.standIn.invocations().isEmpty());
    }

    void noToolInstalledAnywhere()
    {
        for (const char *path : {"/usr/local/bin/brimlock", "/opt/homebrew/bin/brimlock"}) {
            if (QFileInfo::exists(QLatin1String(path)))
                QSKIP("a Brimlock tool is installed on this machine");
        }
        TestSupport::TemporaryHome home;
        auto runner = std::make_shared<RecordingRunner>();
        BrimlockSessionTerminator terminator(runner); // the real executable search
        const auto result = awaitTask(terminator.terminate(QStringLiteral("sid-1"), QStringLiteral("/tmp")));
        QVERIFY(result);
        QVERIFY(!result->succeeded);
        QCOMPARE(
            result->message, QStringLiteral("Brimlock binary is unavailable; cannot submit session kill command."));
        QVERIFY(runner->commands.isEmpty()); // no pkill either
    }

    void workspaceRoot_data()
    {
        QTest::addColumn<QString>("root");
        QTest::addColumn<QString>("commandStart");
        QTest::addColumn<bool>("inRoot");
        QTest::newRow("root with a single quote") << "/it's root"
                                                  << "cd '{tmp}/it'\"'\"'s root' && '" << true;
        QTest::newRow("root of blanks") << "   "
                                        << "'" << false;
    }
    void workspaceRoot()
    {
        QFETCH(QString, root);
        QFETCH(QString, commandStart);
        QFETCH(bool, inRoot);
        Fixture fixture;
        fixture.standIn.setScenario(QByteArray(R"({"kill": {"*": {"exit": 0}}})"));
        const QString path = inRoot ? fixture.home.path() + root : root;
        if (inRoot)
            QVERIFY(QDir().mkpath(path));
        const BrimlockSessionTerminationResult result = fixture.terminate(QStringLiteral("it's-session"), path);
        QVERIFY(result.succeeded);
        QCOMPARE(fixture.runner->commands.size(), 1);
        const QString command = fixture.runner->commands[0];
        QVERIFY2(command.startsWith(QString(commandStart).replace(QStringLiteral("{tmp}"), fixture.home.path())),
            qPrintable(command));
        QVERIFY(command.endsWith(QStringLiteral(" --session-id 'it'\"'\"'s-session' --json")));
        const QJsonObject call = fixture.killCalls().value(0);
        QCOMPARE(BrimlockStandIn::argv(call).value(3), QStringLiteral("it's-session"));
        if (inRoot)
            QCOMPARE(call.value(QStringLiteral("cwd")).toString(), path);
        else
            QCOMPARE(call.value(QStringLiteral("cwd")).toString(), QDir::currentPath());
    }

    // The fallback ends the session's own processes, and nothing else: not a
    // process of another session, and not the shell that runs pkill, even when
    // the user's start-up files keep that shell around (an EXIT trap stops zsh
    // from handing its process over to pkill).
    void fallbackKillsOnlyTheSessionsProcesses()
    {
        Fixture fixture;
        QFile zshenv(fixture.home.home() + QStringLiteral("/.zshenv"));
        QVERIFY(zshenv.open(QIODevice::WriteOnly));
        zshenv.write("trap 'true' EXIT\n");
        zshenv.close();
        fixture.standIn.setScenario(QByteArray(R"({"agent": {"*": {"sleep": 60}},
                                                   "kill": {"*": {"stderr": "daemon unreachable", "exit": 5}}})"));

        auto startAgent = [&](const QString &session) {
            auto process = std::make_unique<QProcess>();
            process->setProgram(QStringLiteral("/usr/bin/env"));
            process->setArguments(BrimlockRuntime::shellInvocationArguments(u'\'' + fixture.executable
                    + QStringLiteral("' agent --agent 'coder' --session-id ") + session
                    + QStringLiteral(" --message \"work\" --timeout 0"),
                true));
            process->start();
            return process;
        };
        const QString session = QStringLiteral("5f0c1a52-8d7e-4d0b-9d2e-0f4a3c1b2a10");
        const QString other = QStringLiteral("9b1e2c3d-4e5f-4a6b-8c7d-0e1f2a3b4c5d");
        auto target = startAgent(session);
        auto bystander = startAgent(other);
        QVERIFY(TestSupport::waitUntil([&] { return fixture.standIn.invocations().size() == 2; }));
        qint64 bystanderAgent = 0;
        for (const QJsonObject &call : fixture.standIn.invocations()) {
            if (BrimlockStandIn::argv(call).contains(other))
                bystanderAgent = call.value(QStringLiteral("pid")).toInteger();
        }
        QVERIFY(isRunning(bystanderAgent));
        const auto cleanUp = qScopeGuard([&] {
            ::kill(pid_t(bystanderAgent), SIGTERM);
            for (QProcess *process : {target.get(), bystander.get()}) {
                process->terminate();
                process->waitForFinished(5000);
            }
        });

        const BrimlockSessionTerminationResult result = fixture.terminate(session);
        QCOMPARE(result.message, QStringLiteral("Primary session kill failed; fallback process kill succeeded."));
        QVERIFY(result.succeeded);
        QVERIFY(TestSupport::waitUntil([&] { return target->state() == QProcess::NotRunning; }, 5000));
        QVERIFY(isRunning(bystanderAgent));
        QCOMPARE(bystander->state(), QProcess::Running);
    }

    void pkillMatchingNothingFails()
    {
        Fixture fixture;
        fixture.standIn.setScenario(QByteArray(R"({"kill": {"*": {"stdout": "refused", "exit": 1}}})"));
        const BrimlockSessionTerminationResult result = fixture.terminate(QStringLiteral("no-such-session"));
        QVERIFY(!result.succeeded);
        QCOMPARE(result.message.count(QStringLiteral(" | ")), 2);
        QVERIFY(result.message.endsWith(
            QStringLiteral("`pkill -f '[b]rimlock.*[-]-session-id no-such-session'` -> exit 1: ")));
    }

    void runnerOutcomes_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("output");
        QTest::newRow("output and errors on one pipe")
            << "printf 'out\\n'; printf ' err \\n' >&2; exit 7" << 7 << "out\n err";
        QTest::newRow("not UTF-8") << "printf 'ok\\377'" << 0 << "";
        QTest::newRow("non-ASCII") << "printf 'h\\303\\251llo\\n\\n'" << 0 << QStringLiteral("h\u00e9llo");
        QTest::newRow("shell not found") << "no-such-command-xyz" << 127
                                         << "zsh:1: command not found: no-such-command-xyz";
    }
    void runnerOutcomes()
    {
        QFETCH(QString, command);
        QFETCH(int, exitCode);
        QFETCH(QString, output);
        TestSupport::TemporaryHome home;
        const auto result = awaitTask(ProcessBrimlockCommandRunner().run(command));
        QVERIFY(result);
        QCOMPARE(result->exitCode, exitCode);
        QCOMPARE(result->output, output);
    }

    void runnerCollectsALargeReplyPrintedAtExit()
    {
        Fixture fixture;
        const QString reply = QString(300000, u'r');
        fixture.standIn.setScenario(R"({"doctor": {"stdout": ")" + reply.toUtf8() + R"(", "exit": 3}})");
        const BrimlockCommandExecutionResult result
            = ProcessBrimlockCommandRunner().runBlocking(u'\'' + fixture.executable + QStringLiteral("' doctor"));
        QCOMPARE(result.exitCode, 3);
        QCOMPARE(result.output.size(), reply.size());
    }

    // A command that hangs is stopped, with everything it started; a child that
    // leaves a grandchild holding the pipe does not hold the runner.
    void runnerNeverWaitsForever()
    {
        Fixture fixture;
        fixture.standIn.setScenario(
            QByteArray(R"({"agent": {"slow": {"sleep": 30}, "forks": {"grandchild": 30, "stdout": "done"}}})"));
        const QString agent
            = u'\'' + fixture.executable + QStringLiteral("' agent --agent a --message x --session-id ");

        QElapsedTimer clock;
        clock.start();
        BrimlockCommandExecutionResult result = ProcessBrimlockCommandRunner(800ms).runBlocking(agent + "slow");
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(result.exitCode, -1);
        QCOMPARE(result.output, QStringLiteral("The command did not finish within 0.8 seconds and was stopped."));
        const qint64 slowPid = fixture.standIn.invocations().value(0).value(QStringLiteral("pid")).toInteger();
        QVERIFY(TestSupport::waitUntil([&] { return !isRunning(slowPid); }, 3000));

        clock.restart();
        result = ProcessBrimlockCommandRunner(20s).runBlocking(agent + "forks");
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(result, (BrimlockCommandExecutionResult {0, QStringLiteral("done")}));
        const qint64 grandchild
            = fixture.standIn.records(QStringLiteral("grandchild")).value(0).value("pid").toInteger();
        QVERIFY(isRunning(grandchild));
        ::kill(pid_t(grandchild), SIGTERM);
    }

    void summary()
    {
        QCOMPARE(BrimlockSessionTerminator::summary(QStringLiteral(" a\r\nb\n")), QStringLiteral("a  b"));
        QCOMPARE(BrimlockSessionTerminator::summary(QString(500, u'x')), QString(500, u'x'));
        // Characters as a reader sees them: an emoji sequence counts once.
        const QString family = QStringLiteral("\U0001F468\u200D\U0001F469\u200D\U0001F467");
        QCOMPARE(
            BrimlockSessionTerminator::summary(family.repeated(501)), family.repeated(500) + QStringLiteral("..."));
    }
};

QTEST_GUILESS_MAIN(BrimlockSessionTerminatorTest)
#include "tst_brimlocksessionterminator.moc"
