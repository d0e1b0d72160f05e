#include "BrimlockStandIn.h"
#include "TestSupport.h"
#include "agents/BrimlockSessionTerminator.h"

#include <QProcess>
#include <QtTest>

// The scripting of the Brimlock stand-in that other tests rely on, run the
// way the application runs the tool: a zsh login shell through /usr/bin/env.
class BrimlockStandInTest : public QObject
{
    Q_OBJECT

    static QString reply(const QString &text, const QString &session)
    {
        return QStringLiteral(
            R"({"status":"ok","result":{"payloads":[{"text":"%1"}],"meta":{"agentMeta":{"sessionId":"%2"}}}})")
            .arg(text, session);
    }

private slots:
    void scriptedReplies_data()
    {
        QTest::addColumn<QByteArray>("scenario");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QStringList>("outputs");
        QTest::addColumn<QList<int>>("exitCodes");

        const QString dispatch
            = QStringLiteral("brimlock agent --agent 'coder' --session-id s1 --message \"{}\" --timeout 0");
        const QString history = QStringLiteral("brimlock sessions history --session-id s1 --json");
        QTest::newRow("default dispatch")
            << QByteArray("{}") << QStringList {dispatch} << QStringList {reply("Task completed successfully.", "s1")}
            << QList<int> {0};
        QTest::newRow("text around the JSON, status object")
            << QByteArray(R"({"agent": {"s1": {"prefix": "Starting\n", "workerStatus": "failed", "detail": "no disk",
                                               "suffix": "\nbye", "exit": 0}}})")
            << QStringList {dispatch}
            << QStringList {"Starting\n" + reply(R"({\"workerStatus\":\"failed\",\"detail\":\"no disk\"})", "s1")
                   + "\nbye"}
            << QList<int> {0};
        QTest::newRow("history sequence, last repeats")
            << QByteArray(R"({"history": {"s1": [{"text": "Dispatched `qs-worker-1`"}, {"text": "still running"},
                                                  {"stdout": "plain", "stderr": "warn", "exit": 4}]}})")
            << QStringList {history, history, history, history}
            << QStringList {reply("Dispatched `qs-worker-1`", "s1"), reply("still running", "s1"), "plainwarn",
                   "plainwarn"}
            << QList<int> {0, 0, 4, 4};
        QTest::newRow("no session in the reply")
            << QByteArray(R"({"history": {"*": {"text": "done", "sessionId": null}}})") << QStringList {history}
            << QStringList {R"({"status":"ok","result":{"payloads":[{"text":"done"}]}})"} << QList<int> {0};
        QTest::newRow("agent lists and doctor")
            << QByteArray(R"({"agents": {"names": ["coder"]}, "doctor": {"stdout": "2 problems", "exit": 1}})")
            << QStringList {"brimlock agents --json", "brimlock agents list", "brimlock doctor"}
            << QStringList {R"({"agents": [{"name": "coder", "model": "stand-in"}]})", "- coder (stand-in)",
                   "2 problems"}
            << QList<int> {0, 0, 1};
    }
    void scriptedReplies()
    {
        QFETCH(QByteArray, scenario);
        QFETCH(QStringList, commands);
        QFETCH(QStringList, outputs);
        QFETCH(QList<int>, exitCodes);
        TestSupport::TemporaryHome home;
        BrimlockStandIn standIn;
        BrimlockStandIn::installInToolHome();
        standIn.setScenario(scenario);
        const ProcessBrimlockCommandRunner runner;
        for (int i = 0; i < commands.size(); ++i) {
            const BrimlockCommandExecutionResult result = runner.runBlocking(commands[i]);
            QCOMPARE(result.output, outputs[i]);
            QCOMPARE(result.exitCode, exitCodes[i]);
        }
        QCOMPARE(standIn.invocations().size(), commands.size());
    }

    // Output written in two pieces that split a character arrives in two reads.
    void splitInsideACharacter()
    {
        TestSupport::TemporaryHome home;
        BrimlockStandIn standIn;
        const QString executable = BrimlockStandIn::installInToolHome();
        standIn.setScenario(
            QByteArray(R"({"agent": {"*": {"stdout": "gr\u00fc\u00dfe", "split_inside_character": true}}})"));
        QProcess process;
        process.start(executable, {"agent", "--agent", "a", "--session-id", "s", "--message", "m", "--timeout", "0"});
        QList<QByteArray> reads;
        while (process.waitForReadyRead(5000))
            reads.append(process.readAllStandardOutput());
        process.waitForFinished();
        QCOMPARE(reads,
            (QList<QByteArray> {"gr\xc3",
                "\xbc\xc3\x9f"
                "e"}));
    }
};

QTEST_GUILESS_MAIN(BrimlockStandInTest)
#include "tst_brimlockstandin.moc"
