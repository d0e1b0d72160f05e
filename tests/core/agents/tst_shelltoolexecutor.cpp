#include "AgentTestSupport.h"
#include "BrimlockStandIn.h"
#include "TestSupport.h"
#include "agents/BL_ShellToolExecutor.h"
#include "common/Text.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QtTest>

using namespace std::chrono_literals;
using AgentTest::detail;
using AgentTest::taskPayload;
using AgentTest::turnContent;

namespace {

// A process is gone once it has no entry in the process table, or only that
// of a zombie waiting to be reaped.
bool processAlive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    const QByteArray line = stat.readAll();
    const qsizetype close = line.lastIndexOf(')');
    return close < 0 || close + 2 >= line.size() || line.at(close + 2) != 'Z';
}

// The stand-in, an executor on a bus of its own and a recorder of that bus.
struct Fixture
{
    TestSupport::TemporaryHome home;
    BrimlockStandIn standIn;
    QString executable = BrimlockStandIn::installInToolHome();
    BLEventBus bus;
    AgentTest::EventRecorder recorder {bus};
    QUuid project = QUuid::createUuid();
    QUuid task = QUuid::createUuid();

    // A dispatch of the stand-in, answered as the scenario's "agent" entry says.
    QString agentCommand(const QString &session = QStringLiteral("s1")) const
    {
        return Text::shellSingleQuoted(executable) + QStringLiteral(" agent --agent coder --session-id ") + session
            + QStringLiteral(" --message hi --timeout 0");
    }
    void answer(const QJsonObject &reply) const
    {
        standIn.setScenario(QJsonObject {{"agent", QJsonObject {{"*", reply}}}});
    }

    QStringList details() const
    {
        QStringList result;
        for (const BL_Event &event : recorder.events())
            result.append(detail(event));
        return result;
    }
    QString chunks() const
    {
        QString result;
        for (const BL_Event &event : recorder.events())
            result += taskPayload(event).stdoutChunk.value_or(QString());
        return result;
    }
    qint64 standInPid(const QString &event = QStringLiteral("invocation")) const
    {
        const auto records = standIn.records(event);
        return records.isEmpty() ? 0 : qint64(records.constLast().value("pid").toInteger());
    }
};

BL_ShellToolResultPayload resultOf(const BL_Observation &observation)
{
    return BL_ShellToolResultPayload::decode(observation.payload.value_or(QByteArray()))
        .value_or(BL_ShellToolResultPayload {});
}

} // namespace

class ShellToolExecutorTest : public QObject
{
    Q_OBJECT

private slots:
    void silentCommand()
    {
        Fixture f;
        BL_ShellToolExecutor executor(f.bus);
        const auto outcome = AgentTest::waitForOutcome(executor.executeSpawned("true", f.task, f.project, {}));
        QVERIFY(outcome.value);
        QCOMPARE(outcome.value->summary, QStringLiteral("Shell exited 0."));
        QCOMPARE(resultOf(*outcome.value), (BL_ShellToolResultPayload {"true", 0, "", ""}));

        const QList<BL_Event> events = f.recorder.events();
        QCOMPARE(events.size(), 3);
        for (const BL_Event &event : events) {
            QCOMPARE(event.type, BL_EventType::taskModified);
            QCOMPARE(event.projectID, f.project);
            QCOMPARE(event.taskID, f.task);
            QVERIFY(!taskPayload(event).agentID);
            QVERIFY(!taskPayload(event).workerSessionKey);
        }
        QCOMPARE(detail(events[0]), QStringLiteral("system: Spawned shell command: true"));
        QCOMPARE(turnContent(events[0]), QStringLiteral("[system] Spawned shell command: true"));
        QCOMPARE(AgentTest::turnRole(events[0]), BL_TaskConversationRole::tool);
        QVERIFY(!taskPayload(events[0]).conversationTurn->agentID);
        QCOMPARE(taskPayload(events[1]).stdoutReset, true);
        QVERIFY(!taskPayload(events[1]).detail && !taskPayload(events[1]).conversationTurn);
        QCOMPARE(detail(events[2]), QStringLiteral("system: Shell exited with code 0."));
        QCOMPARE(turnContent(events[2]), QStringLiteral("[system] Shell exited with code 0."));
        QVERIFY(f.recorder.allOnMainThread());
        QCOMPARE(AgentTest::waitForOutcome(executor.hasRegisteredProcess(f.task)).value, false);
    }

    void summaries_data()
    {
        QTest::addColumn<QJsonObject>("reply");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QString>("stdout");

        QTest::newRow("agent reply") << QJsonObject {{"payloads", QJsonArray {" hi ", ""}}}
                                     << "Brimlock agent response: hi" << QString();
        const QString longReply(1001, u'r');
        QTest::newRow("long agent reply")
            << QJsonObject {{"text", longReply}}
            << "Brimlock agent response: " + longReply.left(1000) + "\n...[truncated]" << QString();
        const QString plain = "  " + QString(20001, u'p') + "\n\n";
        const QString cutPlain = QString(20000, u'p') + "\n...[truncated]";
        QTest::newRow("long plain output") << QJsonObject {{"stdout", plain}} << cutPlain << cutPlain;
        // A reply longer than the cut is no longer readable JSON.
        QTest::newRow("long JSON reply") << QJsonObject {{"text", QString(20100, u'j')}} << QString() << QString();
        QTest::newRow("emoji counted as characters")
            << QJsonObject {{"stdout", QString(3, u'a') + QString::fromUtf8("\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD")}}
            << QString::fromUtf8("aaa\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD") << QString();
    }
    void summaries()
    {
        QFETCH(QJsonObject, reply);
        QFETCH(QString, summary);
        QFETCH(QString, stdout);
        Fixture f;
        f.answer(reply);
        BL_ShellToolExecutor executor(f.bus);
        const auto outcome
            = AgentTest::waitForOutcome(executor.executeSpawned(f.agentCommand(), f.task, f.project, {}));
        QVERIFY(outcome.value);
        const BL_ShellToolResultPayload result = resultOf(*outcome.value);
        if (summary.isEmpty()) {
            QCOMPARE(result.standardOutput.size(), 20000 + 15);
            QCOMPARE(outcome.value->summary, result.standardOutput);
        } else {
            QCOMPARE(outcome.value->summary, summary);
        }
        if (!stdout.isEmpty())
            QCOMPARE(result.standardOutput, stdout);
        // Chunks carry the output exactly as read, uncut.
        QVERIFY(f.chunks().size() >= result.standardOutput.size() - 15);
        QVERIFY(Text::trimmed(f.chunks()).startsWith(result.standardOutput.left(100)));
    }

    void failingCommand()
    {
        Fixture f;
        f.answer(QJsonObject {{"stderr", "oops\n"}, {"exit", 3}});
        BL_ShellToolExecutor executor(f.bus);
        const QString command = f.agentCommand();
        const auto outcome = AgentTest::waitForOutcome(executor.executeSpawned(command, f.task, f.project, {}));
        const auto error = outcome.errorAs<BL_ToolExecutionError>();
        QVERIFY(error);
        QCOMPARE(error->kind(), BL_ToolExecutionError::Kind::nonZeroExit);
        QCOMPARE(error->exitCode(), 3);
        QCOMPARE(error->standardError(), QStringLiteral("oops"));
        QCOMPARE(error->localizedDescription(),
            QStringLiteral("Shell command failed with exit code 3: ") + command + QStringLiteral(" | stderr: oops"));
        QCOMPARE(error->fullDescription(),
            QStringLiteral("nonZeroExit(command: \"") + command + QStringLiteral("\", exitCode: 3, stderr: \"oops\")"));

        QCOMPARE(f.details(),
            (QStringList {"system: Spawned shell command: " + command, "", "Tool stderr: oops",
                "system: Shell exited with code 3."}));
        QCOMPARE(turnContent(f.recorder.events()[2]), QStringLiteral("[stderr] oops"));
        QCOMPARE(AgentTest::waitForOutcome(executor.hasRegisteredProcess(f.task)).value, false);

        // Without standard error the description has no stderr part.
        QCOMPARE(BL_ToolExecutionError::nonZeroExit("x", 1, "").localizedDescription(),
            QStringLiteral("Shell command failed with exit code 1: x"));
        QCOMPARE(BL_ToolExecutionError::nonZeroExit("say \"a\\b\"\n", 1, "").fullDescription(),
            QStringLiteral("nonZeroExit(command: \"say \\\"a\\\\b\\\"\\n\", exitCode: 1, stderr: \"\")"));
    }

    void standardErrorLines()
    {
        Fixture f;
        f.answer(QJsonObject {{"stderr", QStringLiteral("first\r\n   \n\x0bthird ") + QString(700, u'e')}});
        BL_ShellToolExecutor executor(f.bus);
        const auto outcome
            = AgentTest::waitForOutcome(executor.executeSpawned(f.agentCommand(), f.task, f.project, {}));
        QVERIFY(outcome.value);
        QStringList lines;
        for (const QString &text : f.details())
            if (text.startsWith(QStringLiteral("Tool stderr: ")))
                lines.append(text);
        QCOMPARE(lines,
            (QStringList {"Tool stderr: first",
                "Tool stderr: third " + QString(594, u'e') + QStringLiteral("\n...[truncated]")}));
    }

    // Output keeps its order between the reset and the exit message, a
    // character split across two reads arrives whole, and what the child
    // writes just before it exits is kept.
    void streamedOutput()
    {
        Fixture f;
        const QString tail(200000, u't');
        f.answer(QJsonObject {{"stdout_pieces", QJsonArray {"one\n", QStringLiteral("zwei \u00e9\u20ac\n"), tail}},
            {"piece_delay", 0.05}, {"stderr", "last words"}});
        BL_ShellToolExecutor executor(f.bus);
        const auto outcome
            = AgentTest::waitForOutcome(executor.executeSpawned(f.agentCommand(), f.task, f.project, {}));
        QVERIFY(outcome.value);
        TestSupport::drainMainThread();
        QCOMPARE(f.chunks(), QStringLiteral("one\nzwei \u00e9\u20ac\n") + tail);
        const BL_ShellToolResultPayload result = resultOf(*outcome.value);
        QVERIFY(result.standardOutput.startsWith(QStringLiteral("one\nzwei \u00e9\u20ac\nttt")));
        QCOMPARE(result.standardError, QStringLiteral("last words"));

        const QList<BL_Event> events = f.recorder.events();
        QVERIFY(detail(events.first()).startsWith(QStringLiteral("system: Spawned shell command: ")));
        QCOMPARE(taskPayload(events[1]).stdoutReset, true);
        QCOMPARE(detail(events.last()), QStringLiteral("system: Shell exited with code 0."));
        for (qsizetype i = 2; i + 1 < events.size(); ++i)
            QVERIFY(
                taskPayload(events[i]).stdoutChunk || detail(events[i]) == QStringLiteral("Tool stderr: last words"));
    }

    void splitCharacter()
    {
        Fixture f;
        const QString text = QStringLiteral("caf\u00e9 \U0001F600 done");
        f.answer(QJsonObject {{"stdout", text}, {"split_inside_character", true}, {"piece_delay", 0.2}});
        BL_ShellToolExecutor executor(f.bus);
        const auto outcome
            = AgentTest::waitForOutcome(executor.executeSpawned(f.agentCommand(), f.task, f.project, {}));
        QVERIFY(outcome.value);
        QCOMPARE(resultOf(*outcome.value).standardOutput, text);
        QCOMPARE(f.chunks(), text);
        QVERIFY(!f.chunks().contains(QChar::ReplacementCharacter));
    }

    void timeOut()
    {
        Fixture f;
        f.answer(QJsonObject {{"sleep", 30}});
        BL_ShellToolExecutor executor(f.bus, 1, 50ms);
        const QString command = f.agentCommand();
        QElapsedTimer clock;
        clock.start();
        const auto outcome = AgentTest::waitForOutcome(executor.executeSpawned(command, f.task, f.project, {}));
        QVERIFY(clock.elapsed() < 5000);
        const auto error = outcome.errorAs<BL_ToolExecutionError>();
        QVERIFY(error);
        QCOMPARE(error->kind(), BL_ToolExecutionError::Kind::timedOut);
        QCOMPARE(error->timeoutSeconds(), 1);
        QCOMPARE(error->localizedDescription(), QStringLiteral("Shell command timed out after 1s: ") + command);
        QCOMPARE(error->fullDescription(),
            QStringLiteral("timedOut(command: \"") + command + QStringLiteral("\", timeoutSeconds: 1)"));
        QCOMPARE(f.details().last(), QStringLiteral("system: Shell command timed out after 1s; terminating process."));
        QCOMPARE(AgentTest::waitForOutcome(executor.hasRegisteredProcess(f.task)).value, false);
        QVERIFY(TestSupport::waitUntil([&] { return !processAlive(f.standInPid()); }, 3000));
    }

    // A cancelled run stops its child and everything the child started, even
    // when the cancellation lands while the executor pauses between checks.
    void cancellationStopsTheWholeGroup()
    {
        Fixture f;
        f.answer(QJsonObject {{"grandchild", 30}, {"sleep_after", 30}});
        BL_ShellToolExecutor executor(f.bus, 500, 2000ms); // long pauses: the cancel lands in one
        CancellationToken cancellation;
        const QFuture<BL_Observation> running
            = executor.executeSpawned(f.agentCommand(), f.task, f.project, cancellation);
        QVERIFY(TestSupport::waitUntil([&] { return f.standInPid("grandchild") != 0; }));
        const qint64 child = f.standInPid();
        const qint64 grandchild = f.standInPid("grandchild");
        QVERIFY(processAlive(child) && processAlive(grandchild));

        cancellation.cancel();
        const auto outcome = AgentTest::waitForOutcome(running);
        QVERIFY(outcome.cancelled());
        QVERIFY(!processAlive(child));
        QVERIFY(TestSupport::waitUntil([&] { return !processAlive(grandchild); }, 3000));
        QCOMPARE(
            f.details().last(), QStringLiteral("system: Shell command cancellation requested; terminating process."));
        QCOMPARE(AgentTest::waitForOutcome(executor.hasRegisteredProcess(f.task)).value, false);
    }

    // Going away stops every running command with its whole group and waits
    // for it; nothing more reaches the bus and the command ends cancelled.
    void shutdownStopsRunningCommands()
    {
        Fixture f;
        f.answer(QJsonObject {{"grandchild", 30}, {"sleep_after", 30}});
        auto executor = std::make_unique<BL_ShellToolExecutor>(f.bus, 500, 100ms);
        const QFuture<BL_Observation> running = executor->executeSpawned(f.agentCommand(), f.task, f.project, {});
        QVERIFY(TestSupport::waitUntil([&] { return f.standInPid("grandchild") != 0; }));
        const qint64 child = f.standInPid();
        const qint64 grandchild = f.standInPid("grandchild");
        TestSupport::drainMainThread();
        const qsizetype published = f.recorder.events().size();

        executor.reset();
        QVERIFY(running.isFinished());
        QVERIFY(running.isCanceled() || running.resultCount() == 0);
        QVERIFY(!processAlive(child));
        QVERIFY(TestSupport::waitUntil([&] { return !processAlive(grandchild); }, 3000));
        TestSupport::drainMainThread();
        QCOMPARE(f.recorder.events().size(), published);
    }

    // Stopping a task's command ends the whole group, whatever signals its
    // members ignore, and says so only once nothing of it is left.
    void cancelByTask_data()
    {
        QTest::addColumn<QJsonArray>("ignored");
        QTest::addColumn<QJsonArray>("grandchildIgnores"); // empty: no grandchild
        QTest::newRow("termination") << QJsonArray {} << QJsonArray {};
        QTest::newRow("interrupt after termination") << QJsonArray {"TERM"} << QJsonArray {};
        QTest::newRow("child ignores both") << QJsonArray {"TERM", "INT"} << QJsonArray {};
        QTest::newRow("grandchild ignores termination") << QJsonArray {} << QJsonArray {"TERM"};
        QTest::newRow("grandchild ignores both") << QJsonArray {} << QJsonArray {"TERM", "INT"};
    }
    void cancelByTask()
    {
        QFETCH(QJsonArray, ignored);
        QFETCH(QJsonArray, grandchildIgnores);
        Fixture f;
        QJsonObject reply {{"ignore_signals", ignored}, {"sleep_after", 30}, {"stdout", "x"}};
        if (!grandchildIgnores.isEmpty()) {
            reply.insert("grandchild", 30);
            reply.insert("grandchild_ignore_signals", grandchildIgnores);
        }
        f.answer(reply);
        BL_ShellToolExecutor executor(f.bus, 500, 100ms);
        QCOMPARE(AgentTest::waitForOutcome(executor.cancel(f.task)).value, false);

        const QFuture<BL_Observation> running = executor.executeSpawned(f.agentCommand(), f.task, f.project, {});
        const QString ready = !grandchildIgnores.isEmpty() ? QStringLiteral("grandchild-ready")
            : ignored.isEmpty()                            ? QStringLiteral("invocation")
                                                           : QStringLiteral("signals-ignored");
        QVERIFY(TestSupport::waitUntil([&] { return f.standInPid(ready) != 0; }));
        QVERIFY(TestSupport::waitUntil(
            [&] { return AgentTest::waitForOutcome(executor.hasRegisteredProcess(f.task)).value == true; }));
        const qint64 child = f.standInPid();
        const qint64 grandchild = f.standInPid(QStringLiteral("grandchild"));
        QCOMPARE(AgentTest::waitForOutcome(executor.cancel(f.task)).value, true);
        QVERIFY(!processAlive(child));
        if (grandchild != 0)
            QVERIFY(!processAlive(grandchild));

        // The command reports how its child ended.
        const auto outcome = AgentTest::waitForOutcome(running);
        const auto error = outcome.errorAs<BL_ToolExecutionError>();
        QVERIFY(error);
        QVERIFY(error->exitCode() != 0);
        if (ignored.isEmpty() && grandchildIgnores.isEmpty())
            QCOMPARE(error->exitCode(), 15);
    }

    // The runner cancels a run's token and then stops its command: the
    // command that ends from that stop reports the cancellation, not the
    // signal's exit status.
    void cancellationWinsOverTheExitItCaused()
    {
        Fixture f;
        f.answer(QJsonObject {{"sleep_after", 30}, {"stdout", "x"}});
        BL_ShellToolExecutor executor(f.bus, 500, 5000ms); // the command waits in one long pause
        CancellationToken cancellation;
        const QFuture<BL_Observation> running
            = executor.executeSpawned(f.agentCommand(), f.task, f.project, cancellation);
        QVERIFY(TestSupport::waitUntil(
            [&] { return AgentTest::waitForOutcome(executor.hasRegisteredProcess(f.task)).value == true; }));
        cancellation.cancel();
        QCOMPARE(AgentTest::waitForOutcome(executor.cancel(f.task)).value, true);
        const auto outcome = AgentTest::waitForOutcome(running);
        QVERIFY(outcome.cancelled());
        QVERIFY(!f.details().contains(QStringLiteral("system: Shell exited with code 15.")));
    }

    void twoTasksAtOnce()
    {
        Fixture f;
        f.standIn.setScenario(QJsonObject {{"agent",
            QJsonObject {{"a", QJsonObject {{"stdout_pieces", QJsonArray {"a1 ", "a2"}}, {"piece_delay", 0.2}}},
                {"b", QJsonObject {{"stdout_pieces", QJsonArray {"b1 ", "b2"}}, {"piece_delay", 0.2}}}}}});
        BL_ShellToolExecutor executor(f.bus, 500, 50ms);
        const QUuid other = QUuid::createUuid();
        const QFuture<BL_Observation> first = executor.executeSpawned(f.agentCommand("a"), f.task, f.project, {});
        const QFuture<BL_Observation> second = executor.executeSpawned(f.agentCommand("b"), other, f.project, {});
        const auto a = AgentTest::waitForOutcome(first);
        const auto b = AgentTest::waitForOutcome(second);
        QVERIFY(a.value && b.value);
        QCOMPARE(a.value->summary, QStringLiteral("a1 a2"));
        QCOMPARE(b.value->summary, QStringLiteral("b1 b2"));
        QString forOther;
        for (const BL_Event &event : f.recorder.events())
            if (event.taskID == other)
                forOther += taskPayload(event).stdoutChunk.value_or(QString());
        QCOMPARE(forOther, QStringLiteral("b1 b2"));
        QCOMPARE(AgentTest::waitForOutcome(executor.hasRegisteredProcess(f.task)).value, false);
        QCOMPARE(AgentTest::waitForOutcome(executor.hasRegisteredProcess(other)).value, false);
    }

    void agentPayloadText()
    {
        QCOMPARE(BL_ShellToolExecutor::extractBrimlockAgentPayloadText("no brace"), QString());
        QCOMPARE(
            BL_ShellToolExecutor::extractBrimlockAgentPayloadText("x {\"result\":{\"payloads\":[{\"text\":\" a \"},"
                                                                  "{\"text\":\"\"},{\"other\":1},{\"text\":\"b\"}]}}"),
            QStringLiteral("a\nb"));
        QCOMPARE(BL_ShellToolExecutor::extractBrimlockAgentPayloadText("{\"result\":[]}"), QString());
    }
};

QTEST_GUILESS_MAIN(ShellToolExecutorTest)
#include "tst_shelltoolexecutor.moc"
