#include "TestSupport.h"
#include "platform/SettingsStore.h"
#include "terminal/CommandHistory.h"
#include "terminal/FallbackCommandRunner.h"
#include "terminal/Utf8StreamDecoder.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QtTest>

#include <csignal>

namespace {

BL_Workspace workspaceAt(const QString &path)
{
    return BL_Workspace {QUuid::createUuid(), std::nullopt, QStringLiteral("w"), path, {}, {}};
}

bool waitForIdle(FallbackCommandRunner &runner, const QUuid &id, int timeoutMs = 20000)
{
    return TestSupport::waitUntil([&] { return !runner.isRunning(id); }, timeoutMs);
}

bool groupIsGone(qint64 pgid)
{
    return ::kill(-static_cast<pid_t>(pgid), 0) != 0 && errno == ESRCH;
}

} // namespace

class FallbackCommandRunnerTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString folder(const QString &name)
    {
        const QString path = m_dir.filePath(name);
        QDir().mkpath(path);
        return path;
    }

private slots:
    void decoderKeepsSplitCharactersAndRepairsInvalidBytes_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<QString>("expected");
        QTest::newRow("split two-byte") << QList<QByteArray> {"caf\xc3", "\xa9!"} << QStringLiteral("café!");
        QTest::newRow("split four-byte three ways")
            << QList<QByteArray> {"\xf0\x9f", "\x98", "\x80"} << QString::fromUtf8("\xf0\x9f\x98\x80");
        QTest::newRow("invalid byte repaired") << QList<QByteArray> {"a\xff", "b"} << QStringLiteral("a\ufffdb");
        QTest::newRow("truncated at the end") << QList<QByteArray> {"x\xe2", "\x82"} << QStringLiteral("x\ufffd\ufffd");
    }

    void decoderKeepsSplitCharactersAndRepairsInvalidBytes()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(QString, expected);
        Utf8StreamDecoder decoder;
        QString text;
        for (const QByteArray &piece : pieces)
            text += decoder.decode(piece);
        text += decoder.finish();
        QCOMPARE(text, expected);
    }

    void storedHistories_data()
    {
        const QString a = QUuid::createUuid().toString(QUuid::WithoutBraces);
        const QString b = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
        QJsonArray five_hundred;
        for (int i = 0; i < 500; ++i)
            five_hundred.append(QStringLiteral("cmd %1").arg(i));
        QTest::addColumn<QJsonValue>("stored");
        QTest::addColumn<bool>("loads");
        QTest::addColumn<int>("workspaces");
        QTest::addColumn<int>("firstListLength");
        QTest::newRow("lists of texts, any case of id")
            << QJsonValue(QJsonObject {{a, QJsonArray {"ls", "pwd"}}, {b, QJsonArray {"make"}}}) << true << 2 << 2;
        QTest::newRow("key not a UUID is skipped")
            << QJsonValue(QJsonObject {{"nope", QJsonArray {"ls"}}, {a, QJsonArray {"pwd", "ls"}}}) << true << 1 << 2;
        QTest::newRow("a number in a list spoils all")
            << QJsonValue(QJsonObject {{a, QJsonArray {"ls", 3}}, {b, QJsonArray {"make"}}}) << false << 0 << 0;
        QTest::newRow("a value that is no list") << QJsonValue(QJsonObject {{a, "ls"}}) << false << 0 << 0;
        QTest::newRow("not a dictionary") << QJsonValue(QJsonArray {"ls"}) << false << 0 << 0;
        QTest::newRow("500 entries load as 400") << QJsonValue(QJsonObject {{a, five_hundred}}) << true << 1 << 400;
    }

    void storedHistories()
    {
        QFETCH(QJsonValue, stored);
        QFETCH(bool, loads);
        QFETCH(int, workspaces);
        QFETCH(int, firstListLength);
        MemorySettingsStore settings;
        settings.setValue(CommandHistory::storageKey, stored);
        const auto histories = CommandHistory::load(settings);
        QCOMPARE(histories.has_value(), loads);
        if (!loads)
            return;
        QCOMPARE(histories->size(), workspaces);
        QVERIFY(std::any_of(histories->begin(), histories->end(),
            [&](const QStringList &list) { return list.size() == firstListLength; }));

        // A runner over a wrong-shaped store writes a fresh value after its next run.
        FallbackCommandRunner runner(settings);
        runner.loadPersistedCommandHistoryIfNeeded();
        QCOMPARE(runner.histories(), *histories);
    }

    void historyOrderLimitAndFilter()
    {
        QStringList list;
        for (int i = 0; i < 401; ++i)
            list = CommandHistory::recorded(list, QStringLiteral("c%1").arg(i));
        QCOMPARE(list.size(), 400);
        QCOMPARE(list.first(), QStringLiteral("c400"));
        QCOMPARE(list.last(), QStringLiteral("c1")); // c0 dropped
        list = CommandHistory::recorded(list, QStringLiteral("c5"));
        QCOMPARE(list.first(), QStringLiteral("c5"));
        QCOMPARE(list.count(QStringLiteral("c5")), 1);
        QCOMPARE(CommandHistory::filtered({"git Status", "ls", "GIT log"}, QStringLiteral("  git ")),
            (QStringList {"git Status", "GIT log"}));
        QCOMPARE(CommandHistory::filtered({"a", "b"}, QStringLiteral(" ")), (QStringList {"a", "b"}));
    }

    void runsInTheFolderThroughZshWithTheTerminalVariables()
    {
        MemorySettingsStore settings;
        FallbackCommandRunner runner(settings);
        const BL_Workspace w = workspaceAt(folder(QStringLiteral("it's a dir")));
        runner.setInput(w.id,
            QStringLiteral("  printf '%s|' \"$TERM\" \"$TERM_PROGRAM\" \"$COLORTERM\" \"$ZSH_NAME\"; "
                           "pwd; echo oops 1>&2; exit 3  "));
        runner.runIntegratedCommand(w);
        QVERIFY(runner.isRunning(w.id));
        QVERIFY(runner.input(w.id).isEmpty());
        QVERIFY(waitForIdle(runner, w.id));
        const QString command = QStringLiteral("printf '%s|' \"$TERM\" \"$TERM_PROGRAM\" \"$COLORTERM\" \"$ZSH_NAME\"; "
                                               "pwd; echo oops 1>&2; exit 3");
        QCOMPARE(runner.output(w.id),
            QStringLiteral("$ ") + command + QStringLiteral("\nxterm-ghostty|ghostty|truecolor|zsh|") + w.rootPath
                + QStringLiteral("\noops\n\n\n[exit 3]"));
        // The trimmed command is remembered and written at once.
        QCOMPARE(runner.history(w.id), QStringList {command});
        QCOMPARE(CommandHistory::load(settings)->value(w.id), QStringList {command});
    }

    void blankInputAndOverlappingRunsAreIgnored()
    {
        MemorySettingsStore settings;
        FallbackCommandRunner runner(settings);
        const BL_Workspace w = workspaceAt(folder(QStringLiteral("blank")));
        runner.setInput(w.id, QStringLiteral("   "));
        runner.runIntegratedCommand(w);
        QVERIFY(!runner.isRunning(w.id));
        QCOMPARE(runner.input(w.id), QStringLiteral("   "));
        QVERIFY(runner.history(w.id).isEmpty());

        runner.setInput(w.id, QStringLiteral("sleep 0.3"));
        runner.runIntegratedCommand(w);
        runner.setInput(w.id, QStringLiteral("echo second"));
        runner.runIntegratedCommand(w); // ignored while the first runs
        QCOMPARE(runner.input(w.id), QStringLiteral("echo second"));
        QVERIFY(waitForIdle(runner, w.id));
        QCOMPARE(runner.output(w.id), QStringLiteral("$ sleep 0.3\n\n\n[exit 0]"));
        QCOMPARE(runner.history(w.id), QStringList {"sleep 0.3"});
    }

    void catEndsAtOnceAndASplitCharacterArrivesWhole()
    {
        MemorySettingsStore settings;
        FallbackCommandRunner runner(settings);
        const BL_Workspace w = workspaceAt(folder(QStringLiteral("cat")));
        runner.setInput(w.id, QStringLiteral("cat"));
        QElapsedTimer timer;
        timer.start();
        runner.runIntegratedCommand(w);
        QVERIFY(waitForIdle(runner, w.id, 10000));
        QCOMPARE(runner.output(w.id), QStringLiteral("$ cat\n\n\n[exit 0]"));

        runner.setInput(w.id, QStringLiteral("printf '\\xc3'; sleep 0.3; printf '\\xa9\\n'"));
        runner.runIntegratedCommand(w);
        QVERIFY(waitForIdle(runner, w.id));
        QVERIFY2(
            runner.output(w.id).contains(QStringLiteral("\n\u00e9\n\n\n[exit 0]")), qPrintable(runner.output(w.id)));
        QVERIFY(!runner.output(w.id).contains(QChar(0xfffd)));
    }

    void outputOfWhatTheCommandStartedIsReadToTheEnd()
    {
        MemorySettingsStore settings;
        FallbackCommandRunner runner(settings);
        const BL_Workspace w = workspaceAt(folder(QStringLiteral("late")));
        runner.setInput(w.id, QStringLiteral("(sleep 0.5; echo late) & echo early"));
        runner.runIntegratedCommand(w);
        QVERIFY(waitForIdle(runner, w.id));
        QVERIFY2(runner.output(w.id).endsWith(QStringLiteral("\nearly\nlate\n\n\n[exit 0]")),
            qPrintable(runner.output(w.id)));
    }

    void aKilledChildShowsTheSignalNumber()
    {
        MemorySettingsStore settings;
        FallbackCommandRunner runner(settings);
        const BL_Workspace w = workspaceAt(folder(QStringLiteral("kill")));
        runner.setInput(w.id, QStringLiteral("echo $((6 * 7)); sleep 30"));
        runner.runIntegratedCommand(w);
        QVERIFY(TestSupport::waitUntil([&] { return runner.output(w.id).contains(QStringLiteral("\n42\n")); }));
        const qint64 pid = runner.runningProcessID(w.id);
        QVERIFY(pid > 0);
        ::kill(-static_cast<pid_t>(pid), SIGKILL); // the shell and what it started
        QVERIFY(waitForIdle(runner, w.id));
        QVERIFY2(runner.output(w.id).endsWith(QStringLiteral("\n42\n\n\n[exit 9]")), qPrintable(runner.output(w.id)));
    }

    void stoppingLeavesNothingRunning()
    {
        MemorySettingsStore settings;
        auto runner = std::make_unique<FallbackCommandRunner>(settings);
        const BL_Workspace w = workspaceAt(folder(QStringLiteral("stop")));
        // A background child and one that ignores the polite signal.
        runner->setInput(w.id, QStringLiteral("sleep 60 & trap '' TERM; echo $((6 * 7)); sleep 60"));
        runner->runIntegratedCommand(w);
        QVERIFY(TestSupport::waitUntil([&] { return runner->output(w.id).contains(QStringLiteral("\n42\n")); }));
        const qint64 group = runner->runningProcessID(w.id);
        QVERIFY(group > 0);
        QVERIFY(!groupIsGone(group));
        runner.reset(); // what closing the window does
        QVERIFY(TestSupport::waitUntil([&] { return groupIsGone(group); }, 5000));
    }

    void theStopButtonEndsTheWholeGroupAndTheRunFinishes()
    {
        MemorySettingsStore settings;
        FallbackCommandRunner runner(settings);
        const BL_Workspace w = workspaceAt(folder(QStringLiteral("stop button")));
        runner.setInput(w.id, QStringLiteral("sleep 60 & trap '' TERM; echo $((6 * 7)); sleep 60"));
        runner.runIntegratedCommand(w);
        QVERIFY(TestSupport::waitUntil([&] { return runner.output(w.id).contains(QStringLiteral("\n42\n")); }));
        const qint64 group = runner.runningProcessID(w.id);
        runner.stop(w.id);
        QVERIFY(waitForIdle(runner, w.id, 10000));
        QVERIFY(TestSupport::waitUntil([&] { return groupIsGone(group); }, 5000));
        QVERIFY2(runner.output(w.id).contains(QStringLiteral("\n42\n\n\n[exit ")), qPrintable(runner.output(w.id)));
        // The command line takes the next command.
        runner.setInput(w.id, QStringLiteral("echo again"));
        runner.runIntegratedCommand(w);
        QVERIFY(waitForIdle(runner, w.id));
        QVERIFY(runner.output(w.id).endsWith(QStringLiteral("again\n\n\n[exit 0]")));
    }

    void endlessOutputIsCappedBehindAMarker()
    {
        MemorySettingsStore settings;
        FallbackCommandRunner runner(settings);
        const BL_Workspace w = workspaceAt(folder(QStringLiteral("cap")));
        runner.setInput(w.id, QStringLiteral("seq 1 400000"));
        runner.runIntegratedCommand(w);
        QVERIFY(waitForIdle(runner, w.id, 60000));
        const QString output = runner.output(w.id);
        QVERIFY(output.size() <= FallbackCommandRunner::outputLimit + 64);
        QVERIFY(output.startsWith(QStringLiteral("$ seq 1 400000\n") + FallbackCommandRunner::droppedOutputMarker()));
        QVERIFY(output.endsWith(QStringLiteral("\n399999\n400000\n\n\n[exit 0]")));
        // Cut at a line start: the first kept line is a whole number.
        const QString firstKept = output.section(u'\n', 2, 2);
        QVERIFY2(firstKept.toInt() > 1 && output.contains(u'\n' + QString::number(firstKept.toInt() + 1) + u'\n'),
            qPrintable(firstKept));
    }

    void aFailedLaunchIsReportedInThePane()
    {
        MemorySettingsStore settings;
        FallbackCommandRunner runner(settings);
        runner.program = QStringLiteral("/nonexistent/env");
        const BL_Workspace w = workspaceAt(folder(QStringLiteral("fail")));
        runner.setInput(w.id, QStringLiteral("ls"));
        runner.runIntegratedCommand(w);
        QVERIFY(waitForIdle(runner, w.id));
        QVERIFY2(runner.output(w.id).startsWith(QStringLiteral("$ ls\n\nError: ")), qPrintable(runner.output(w.id)));
        QCOMPARE(runner.history(w.id), QStringList {"ls"});
    }
};

QTEST_GUILESS_MAIN(FallbackCommandRunnerTest)
#include "tst_fallbackcommandrunner.moc"
